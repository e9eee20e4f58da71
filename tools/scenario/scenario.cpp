#include "tools/scenario/scenario.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <set>

#include <nlohmann/json.hpp>
#include <valijson/adapters/nlohmann_json_adapter.hpp>
#include <valijson/schema.hpp>
#include <valijson/schema_parser.hpp>
#include <valijson/validation_results.hpp>
#include <valijson/validator.hpp>

#include "tools/scenario/schema_text.h"

namespace vxd::scenario {
namespace {

using Json = nlohmann::json;

// How much of a value or key a message shows, and of a path, in characters; a value's
// characters also in bytes once escaped, since one character may take six (\u0085).
constexpr std::size_t kShownCharacters = 40;
constexpr std::size_t kShownBytes = 120;
constexpr std::size_t kShownPathCharacters = 160;

bool IsContinuation(unsigned char byte) { return (byte & 0xC0) == 0x80; }

// The byte offset where character `count` of UTF-8 `text` starts, or its size.
std::size_t OffsetOfCharacter(const std::string &text, std::size_t count) {
    std::size_t offset = 0;
    for (std::size_t seen = 0; offset < text.size(); ++offset) {
        if (!IsContinuation(static_cast<unsigned char>(text[offset])) && seen++ == count) {
            break;
        }
    }
    return offset;
}

std::size_t CharacterCount(const std::string &text) {
    return static_cast<std::size_t>(std::count_if(text.begin(), text.end(), [](char byte) {
        return !IsContinuation(static_cast<unsigned char>(byte));
    }));
}

// The text with its middle left out when it is longer than `count` characters.
std::string Shortened(const std::string &text, std::size_t count) {
    const std::size_t characters = CharacterCount(text);
    if (characters <= count) {
        return text;
    }
    const std::size_t head = OffsetOfCharacter(text, count / 2);
    const std::size_t tail = OffsetOfCharacter(text, characters - count / 2);
    return text.substr(0, head) + "..." + text.substr(tail);
}

// Control characters (C0, DEL, C1, and the line and paragraph separators) as JSON escapes
// them, so that a message stays on one line; with `quoting`, quotes and backslashes too.
std::string Escaped(const std::string &text, bool quoting) {
    static const char kHex[] = "0123456789abcdef";
    const auto unicode = [](unsigned code) {
        return std::string("\\u") + kHex[(code >> 12) & 0xF] + kHex[(code >> 8) & 0xF] +
               kHex[(code >> 4) & 0xF] + kHex[code & 0xF];
    };
    std::string escaped;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto byte = static_cast<unsigned char>(text[i]);
        const auto next = [&](std::size_t ahead) {
            return i + ahead < text.size() ? static_cast<unsigned char>(text[i + ahead]) : 0u;
        };
        if (byte == '\n') {
            escaped += "\\n";
        } else if (byte == '\r') {
            escaped += "\\r";
        } else if (byte == '\t') {
            escaped += "\\t";
        } else if (byte < 0x20 || byte == 0x7F) {
            escaped += unicode(byte);
        } else if (byte == 0xC2 && next(1) >= 0x80 && next(1) <= 0x9F) {
            escaped += unicode(next(1));
            i += 1;
        } else if (byte == 0xE2 && next(1) == 0x80 && (next(2) == 0xA8 || next(2) == 0xA9)) {
            escaped += unicode(0x2000 + next(2) - 0x80);
            i += 2;
        } else if (quoting && (byte == '"' || byte == '\\')) {
            escaped += '\\';
            escaped += static_cast<char>(byte);
        } else {
            escaped += static_cast<char>(byte);
        }
    }
    return escaped;
}

// The text escaped, cut after kShownCharacters characters or before kShownBytes bytes,
// whichever comes first, with "..." where it was cut.
std::string Shown(const std::string &text, bool quoting) {
    std::string shown;
    std::size_t start = 0;
    for (std::size_t count = 0; start < text.size(); ++count) {
        std::size_t end = start + 1;
        while (end < text.size() && IsContinuation(static_cast<unsigned char>(text[end]))) {
            ++end;
        }
        const std::string character = Escaped(text.substr(start, end - start), quoting);
        if (count == kShownCharacters || shown.size() + character.size() > kShownBytes) {
            return shown + "...";
        }
        shown += character;
        start = end;
    }
    return shown;
}

// A value or key as JSON writes it, cut as Shown cuts it.
std::string Quoted(const std::string &text) { return "\"" + Shown(text, true) + "\""; }

// 1-based line and column of the byte at `offset`; columns count characters, not the
// continuation bytes of UTF-8 sequences, nor a byte-order mark, which editors do not show.
void LineAndColumn(const std::string &text, std::size_t offset, std::size_t &line,
                   std::size_t &column) {
    line = 1;
    column = 1;
    const std::size_t start = text.compare(0, 3, "\xEF\xBB\xBF") == 0 ? 3 : 0;
    for (std::size_t i = start; i < offset && i < text.size(); ++i) {
        const auto byte = static_cast<unsigned char>(text[i]);
        if (byte == '\n') {
            ++line;
            column = 1;
        } else if (!IsContinuation(byte)) {
            ++column;
        }
    }
}

// A secret's value as it stands in the text, from its first byte to its last (a string's
// closing quote, or the end of the text when there is none), with its key.
struct SecretValue {
    std::size_t begin;
    std::size_t end;
    std::string key;
};

// The end of the string whose opening quote is at `open`: its closing quote, or the last byte.
// `decoded` gets its ASCII characters, escapes decoded, so that "secr\u0065t" is a secret's
// key too.
std::size_t StringEnd(const std::string &text, std::size_t open, std::string &decoded) {
    decoded.clear();
    for (std::size_t i = open + 1; i < text.size(); ++i) {
        if (text[i] == '"') {
            return i;
        }
        if (text[i] != '\\' || i + 1 >= text.size()) {
            decoded += text[i];
            continue;
        }
        const char escape = text[++i];
        if (escape == 'u' && i + 4 < text.size()) {
            const unsigned long code = std::strtoul(text.substr(i + 1, 4).c_str(), nullptr, 16);
            decoded += code < 0x80 ? static_cast<char>(code) : '?';
            i += 4;
        } else {
            decoded += escape;
        }
    }
    return text.size() - 1;
}

// Where the values of "secret" and "initiator_secret" lie, as far as the text can be read as
// JSON: a parser that fails in or just after one would quote it.
std::vector<SecretValue> SecretValues(const std::string &text) {
    std::vector<SecretValue> values;
    const auto blank = [&text](std::size_t at) {
        return at < text.size() && std::strchr(" \t\r\n", text[at]) != nullptr && text[at] != '\0';
    };
    std::string key;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '"') {
            continue;
        }
        i = StringEnd(text, i, key);
        std::size_t at = i + 1;
        while (blank(at)) {
            ++at;
        }
        if (at >= text.size() || text[at] != ':' ||
            (key != "secret" && key != "initiator_secret")) {
            continue;
        }
        do {
            ++at;
        } while (blank(at));
        if (at >= text.size()) {
            break;
        }
        std::size_t end = at;
        if (text[at] == '"') {
            std::string ignored;
            end = StringEnd(text, at, ignored);
        } else {
            while (end + 1 < text.size() && std::strchr(",]} \t\r\n", text[end + 1]) == nullptr) {
                ++end;
            }
        }
        values.push_back({at, end, key});
    }
    return values;
}

// What nlohmann's parser names after "; expected ", its token names.
constexpr const char *kParserExpectations[] = {"<uninitialized>",
                                               "true literal",
                                               "false literal",
                                               "null literal",
                                               "string literal",
                                               "number literal",
                                               "'['",
                                               "'{'",
                                               "']'",
                                               "'}'",
                                               "':'",
                                               "','",
                                               "<parse error>",
                                               "end of input",
                                               "'[', '{', or a literal",
                                               "unknown token"};

// nlohmann's message in the reader's words: without its exception tag and its own position,
// which would repeat ours, and with the text it quotes cut. The parser stopped at byte
// `failedAt` of `text`, and what it quotes ends there: where that reaches into a secret's
// value, only the secret's key is named.
std::string ParseProblem(std::string message, const std::string &text, std::size_t failedAt) {
    if (message.rfind("[json.exception.", 0) == 0) {
        const std::size_t tagEnd = message.find("] ");
        message.erase(0, tagEnd == std::string::npos ? 0 : tagEnd + 2);
    }
    if (message.rfind("parse error", 0) == 0) {
        const std::size_t colon = message.find(": ");
        message.erase(0, colon == std::string::npos ? 0 : colon + 2);
    }
    const std::vector<SecretValue> secrets = SecretValues(text);
    // The parser quotes the text it read last, whatever it holds, quotes and the words that
    // follow the quote included: only its end is known, by what the parser may add after it.
    for (const char *opening : {"; last read: '", "parsing '"}) {
        const std::size_t from = message.find(opening);
        if (from == std::string::npos) {
            continue;
        }
        const std::size_t quoted = from + std::strlen(opening);
        std::size_t closing = message.size() - (message.back() == '\'' ? 1 : 0);
        for (const char *expected : kParserExpectations) {
            const std::string after = std::string("'; expected ") + expected;
            if (message.size() >= quoted + after.size() &&
                message.compare(message.size() - after.size(), after.size(), after) == 0) {
                closing = message.size() - after.size();
                break;
            }
        }
        // The quoted text is at most as long as the bytes it shows: it escapes, never shortens.
        const std::size_t reach = std::max(closing, quoted) - quoted;
        const auto secret =
            std::find_if(secrets.begin(), secrets.end(), [&](const SecretValue &value) {
                return value.begin <= failedAt + 1 && value.end + reach + 1 >= failedAt;
            });
        if (secret == secrets.end()) {
            message.replace(quoted, reach, Shown(message.substr(quoted, reach), false));
        } else {
            const std::size_t end = closing < message.size() ? closing + 1 : closing;
            message.replace(quoted - 1, end - (quoted - 1),
                            "the value of " + Quoted(secret->key) + ", not shown");
        }
        // One quote in a message: the next opening may stand inside the text just cut.
        break;
    }
    return Escaped(message, false);
}

// Where nlohmann's parser would go wrong without a word: it takes a NUL byte for the end of the
// text, and it nests as deep as the text does. The first such byte, or npos.
std::size_t StructureProblem(const std::string &text, std::string &problem) {
    std::size_t depth = 0;
    bool inString = false;
    bool escaped = false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char byte = text[i];
        if (byte == '\0') {
            problem = "malformed JSON: a NUL byte, which JSON text cannot hold";
            return i;
        }
        if (inString) {
            escaped = !escaped && byte == '\\';
            inString = escaped || byte != '"';
        } else if (byte == '"') {
            inString = true;
        } else if (byte == '[' || byte == '{') {
            if (++depth > kMaxScenarioDepth) {
                problem = "nested deeper than " + std::to_string(kMaxScenarioDepth) + " levels";
                return i;
            }
        } else if ((byte == ']' || byte == '}') && depth > 0) {
            --depth;
        }
    }
    return std::string::npos;
}

// Builds the document as nlohmann's own DOM parser does, without exceptions, and notes the first
// repeated key with its path: the parser would keep the last of two equal keys without a word,
// and JSON Schema never sees the first.
class DocumentBuilder {
  public:
    explicit DocumentBuilder(Json &document) : dom_(document, false) {}

    bool null() {
        Element();
        return dom_.null();
    }
    bool boolean(bool value) {
        Element();
        return dom_.boolean(value);
    }
    // Whole numbers that are not negative are unsigned, "-0" too, so that readers need to
    // know one kind only.
    bool number_integer(Json::number_integer_t value) {
        Element();
        return value >= 0 ? dom_.number_unsigned(static_cast<Json::number_unsigned_t>(value))
                          : dom_.number_integer(value);
    }
    bool number_unsigned(Json::number_unsigned_t value) {
        Element();
        return dom_.number_unsigned(value);
    }
    // JSON Schema takes 5.0, 1e2 and -0.0 for the integers they are, and so does the reader.
    bool number_float(Json::number_float_t value, const Json::string_t &text) {
        Element();
        constexpr Json::number_float_t kTwoTo63 = 9223372036854775808.0;
        if (std::isfinite(value) && value == std::floor(value)) {
            if (value >= 0 && value < 2 * kTwoTo63) {
                return dom_.number_unsigned(static_cast<Json::number_unsigned_t>(value));
            }
            if (value < 0 && value >= -kTwoTo63) {
                return dom_.number_integer(static_cast<Json::number_integer_t>(value));
            }
        }
        return dom_.number_float(value, text);
    }
    bool string(Json::string_t &value) {
        Element();
        return dom_.string(value);
    }
    bool binary(Json::binary_t &value) {
        Element();
        return dom_.binary(value);
    }
    bool start_object(std::size_t size) {
        Element();
        levels_.push_back(Level{false, 0, {}, {}});
        return dom_.start_object(size);
    }
    bool key(Json::string_t &name) {
        Level &object = levels_.back();
        object.key = name;
        if (!object.keys.insert(name).second && duplicate_.empty()) {
            duplicate_ = Path() + "duplicate key " + Quoted(name);
        }
        return dom_.key(name);
    }
    bool end_object() {
        levels_.pop_back();
        return dom_.end_object();
    }
    bool start_array(std::size_t size) {
        Element();
        levels_.push_back(Level{true, 0, {}, {}});
        return dom_.start_array(size);
    }
    bool end_array() {
        levels_.pop_back();
        return dom_.end_array();
    }
    bool parse_error(std::size_t position, const std::string & /*lastToken*/,
                     const nlohmann::detail::exception &problem) {
        errorPosition_ = position;
        errorText_ = problem.what();
        return false;
    }

    // Empty when no key was repeated; else "path: duplicate key "name"".
    const std::string &Duplicate() const { return duplicate_; }
    // nlohmann's count of the bytes read when it stopped, the last one included.
    std::size_t ErrorPosition() const { return errorPosition_; }
    const std::string &ErrorText() const { return errorText_; }

  private:
    struct Level {
        bool isArray;
        std::size_t elements;
        std::string key;
        std::set<std::string> keys;
    };

    // Counts a value, or the start of one, in the array around it.
    void Element() {
        if (!levels_.empty() && levels_.back().isArray) {
            ++levels_.back().elements;
        }
    }

    // The path of the innermost object, in the reader's notation, followed by ": ".
    std::string Path() const {
        std::string path;
        for (std::size_t i = 0; i + 1 < levels_.size(); ++i) {
            if (levels_[i].isArray) {
                path += "[" + std::to_string(levels_[i].elements - 1) + "]";
            } else {
                path += (path.empty() ? "" : ".") + Shown(levels_[i].key, false);
            }
        }
        return path.empty() ? path : Shortened(path, kShownPathCharacters) + ": ";
    }

    nlohmann::detail::json_sax_dom_parser<Json> dom_;
    std::vector<Level> levels_;
    std::string duplicate_;
    std::size_t errorPosition_ = 0;
    std::string errorText_;
};

std::string Position(const std::string &text, std::size_t offset) {
    std::size_t line = 0;
    std::size_t column = 0;
    LineAndColumn(text, offset, line, column);
    return ":" + std::to_string(line) + ":" + std::to_string(column) + ": ";
}

// Parses JSON text; on failure sets `problem` to what follows the file name in the message.
// Parsing stops at a structural problem, and the parser's own error wins only when it lies
// before it.
bool ParseJson(const std::string &text, Json &document, std::string &problem) {
    std::string structural;
    const std::size_t stop = StructureProblem(text, structural);
    const std::size_t end = stop == std::string::npos ? text.size() : stop;
    DocumentBuilder builder(document);
    const bool parsed = Json::sax_parse(
        text.begin(), text.begin() + static_cast<std::string::difference_type>(end), &builder);
    // The position counts the byte it stopped at from 1; past the end means the text ran out.
    const std::size_t failedAt = builder.ErrorPosition() == 0 ? 0 : builder.ErrorPosition() - 1;
    if (!parsed && (stop == std::string::npos || failedAt < stop)) {
        problem = Position(text, failedAt) +
                  "malformed JSON: " + ParseProblem(builder.ErrorText(), text, failedAt);
        return false;
    }
    if (stop != std::string::npos) {
        problem = Position(text, stop) + structural;
        return false;
    }
    if (!builder.Duplicate().empty()) {
        problem = ": " + builder.Duplicate();
        return false;
    }
    return true;
}

// --- Explaining a value the schema rejects --------------------------------------------------

// Which rule valijson says broke, from its description; the details come from the schema.
enum class Broken {
    kUnknownKey,
    kMissingKey,
    kDependency,
    kType,
    kChoice,
    kRange,
    kPattern,
    kForbidden,
    kLength,
    kNone
};

Broken Classify(const std::string &description) {
    const struct {
        const char *prefix;
        Broken rule;
    } rules[] = {
        {"Object contains a property that could not be validated", Broken::kUnknownKey},
        {"Missing required property", Broken::kMissingKey},
        {"Missing dependency", Broken::kDependency},
        {"Value type not permitted", Broken::kType},
        {"Failed to validate against any child schemas allowed by oneOf", Broken::kChoice},
        {"Failed to validate against exactly one child schema", Broken::kChoice},
        {"Failed to validate against any schemas allowed by anyOf", Broken::kChoice},
        {"Expected number", Broken::kRange},
        {"Failed to match regex", Broken::kPattern},
        {"Target should not validate against schema specified in 'not'", Broken::kForbidden},
        {"String should be no fewer than", Broken::kLength},
    };
    for (const auto &rule : rules) {
        if (description.rfind(rule.prefix, 0) == 0) {
            return rule.rule;
        }
    }
    return Broken::kNone; // a summary of failures reported on their own
}

// Keys are compared whole: one that holds a NUL is not the key before it.
const Json *Member(const Json &object, const std::string &key) {
    if (!object.is_object()) {
        return nullptr;
    }
    const auto found = object.find(key);
    return found == object.end() ? nullptr : &*found;
}

std::string Text(const Json *value) {
    return value != nullptr && value->is_string() ? value->get<std::string>() : std::string();
}

// The definition that a "$ref" names, followed to the end, or the node itself.
const Json &Resolved(const Json &schema, const Json &node) {
    const std::string prefix = "#/definitions/";
    const Json *definitions = Member(schema, "definitions");
    const Json *resolved = &node;
    // A chain longer than the definitions can only be a cycle, which stops here.
    for (std::size_t step = 0; definitions != nullptr && step <= definitions->size(); ++step) {
        const std::string reference = Text(Member(*resolved, "$ref"));
        const Json *definition = reference.rfind(prefix, 0) == 0
                                     ? Member(*definitions, reference.substr(prefix.size()))
                                     : nullptr;
        if (definition == nullptr) {
            break;
        }
        resolved = definition;
    }
    return *resolved;
}

// A value of the document with its path and the part of the schema that describes it.
struct Place {
    const Json *value = nullptr;
    const Json *schema = nullptr;
    std::string path;
};

// The place one step inside `from`: an item of an array or a key of an object that the schema
// describes; none when it describes no such thing.
bool Inside(const Json &schema, const Place &from, const std::string &step, Place &inside) {
    const Json *next = nullptr;
    const Json *described = nullptr;
    if (from.value->is_array()) {
        const std::size_t index = std::strtoul(step.c_str(), nullptr, 10);
        next = index < from.value->size() ? &(*from.value)[index] : nullptr;
        described = Member(*from.schema, "items");
    } else {
        next = Member(*from.value, step);
        const Json *properties = Member(*from.schema, "properties");
        described = properties == nullptr ? nullptr : Member(*properties, step);
    }
    if (next == nullptr || described == nullptr) {
        return false;
    }
    inside.value = next;
    inside.schema = &Resolved(schema, *described);
    inside.path = from.path + (from.value->is_array() ? "[" + step + "]"
                                                      : (from.path.empty() ? "" : ".") + step);
    return true;
}

// Follows valijson's context ("<root>", then "[key]" or "[index]") from `start` through the
// document and the schema alike.
Place Locate(const Json &schema, const Place &start, const std::vector<std::string> &context) {
    Place place = start;
    for (std::size_t i = 1; i < context.size(); ++i) {
        const std::string step = context[i].substr(1, context[i].size() - 2);
        if (!Inside(schema, place, step, place)) {
            break;
        }
    }
    return place;
}

// A value as the message shows it: whole when it is a scalar, a string cut; a container only as
// its brackets, since it may be large or deep.
std::string Shown(const Json &value) {
    if (value.is_string()) {
        return Quoted(value.get_ref<const std::string &>());
    }
    if (value.is_array()) {
        return value.empty() ? "[]" : "[...]";
    }
    if (value.is_object()) {
        return value.empty() ? "{}" : "{...}";
    }
    return value.dump();
}

std::string Expected(const Json &described) {
    std::string type = Text(Member(described, "type"));
    const Json *minimum = Member(described, "minimum");
    const Json *maximum = Member(described, "maximum");
    if (type == "integer" && minimum != nullptr && maximum != nullptr) {
        return "a whole number from " + Shown(*minimum) + " to " + Shown(*maximum);
    }
    const struct {
        const char *type;
        const char *words;
    } names[] = {{"object", "an object"},
                 {"array", "an array"},
                 {"string", "a string"},
                 {"integer", "a whole number"},
                 {"boolean", "true or false"}};
    for (const auto &name : names) {
        if (type == name.type) {
            return name.words;
        }
    }
    return type;
}

// "VALUE is not a TITLE: DESCRIPTION", from the schema's own words; a secret (writeOnly) is
// "the value", never shown.
std::string NotA(const Json &value, const Json &described) {
    const Json *writeOnly = Member(described, "writeOnly");
    const bool secret = writeOnly != nullptr && writeOnly->is_boolean() && writeOnly->get<bool>();
    return (secret ? std::string("the value") : Shown(value)) + " is not a " +
           Text(Member(described, "title")) + ": " + Text(Member(described, "description"));
}

// The first key that each choice of `choices` requires, "a", "b" and "c" with `last` before the
// last; empty when a choice requires none.
std::string ChoiceKeys(const Json &choices, const char *last) {
    std::string keys;
    for (std::size_t i = 0; i < choices.size(); ++i) {
        const Json *required = Member(choices[i], "required");
        if (required == nullptr || required->empty()) {
            return std::string();
        }
        keys += (i == 0                    ? ""
                 : i + 1 == choices.size() ? last
                                           : ", ") +
                Quoted(Text(&required->front()));
    }
    return keys;
}

// The rule as one readable phrase, or empty when it belongs to a branch of "anyOf" or "oneOf"
// that the schema here does not state itself: the failed choice says more.
std::string Rule(Broken broken, const Place &at) {
    const Json &value = *at.value;
    const Json &described = *at.schema;
    switch (broken) {
    case Broken::kUnknownKey: {
        const Json *properties = Member(described, "properties");
        for (const auto &member : value.items()) {
            if (properties == nullptr || Member(*properties, member.key()) == nullptr) {
                return "unknown key " + Quoted(member.key());
            }
        }
        return std::string();
    }
    case Broken::kMissingKey: {
        const Json *required = Member(described, "required");
        if (required == nullptr) {
            return std::string();
        }
        for (const Json &key : *required) {
            if (Member(value, Text(&key)) == nullptr) {
                return "missing key " + Quoted(Text(&key));
            }
        }
        return std::string();
    }
    case Broken::kDependency: {
        const Json *dependencies = Member(described, "dependencies");
        if (dependencies == nullptr) {
            return std::string();
        }
        for (const auto &dependency : dependencies->items()) {
            if (Member(value, dependency.key()) == nullptr || !dependency.value().is_array()) {
                continue;
            }
            for (const Json &needed : dependency.value()) {
                if (Member(value, Text(&needed)) == nullptr) {
                    return Quoted(dependency.key()) + " needs " + Quoted(Text(&needed));
                }
            }
        }
        return std::string();
    }
    case Broken::kType:
        return Member(described, "type") == nullptr ? std::string()
                                                    : "wrong type: expected " + Expected(described);
    case Broken::kChoice: {
        const Json *oneOf = Member(described, "oneOf");
        if (oneOf == nullptr) {
            // A choice of keys ("login_statuses" or "chap") names them; one of forms, the form.
            const Json *anyOf = Member(described, "anyOf");
            const std::string keys = anyOf == nullptr ? std::string() : ChoiceKeys(*anyOf, " or ");
            return keys.empty() ? NotA(value, described) : "missing key " + keys;
        }
        std::string keys;
        for (std::size_t i = 0; i < oneOf->size(); ++i) {
            const Json *required = Member((*oneOf)[i], "required");
            const std::string key =
                required == nullptr || required->empty() ? std::string() : Text(&required->front());
            keys += (i == 0 ? "" : i + 1 == oneOf->size() ? " and " : ", ") + Quoted(key);
        }
        return "needs exactly one of " + keys;
    }
    case Broken::kRange: {
        // Compared here, not taken from valijson's words: it reads integers as int64_t, so a
        // whole number above that range looks negative to it.
        const Json *minimum = Member(described, "minimum");
        const Json *maximum = Member(described, "maximum");
        if (maximum != nullptr && value > *maximum) {
            return "number out of range: " + Shown(value) + " is more than " + Shown(*maximum);
        }
        if (minimum != nullptr && value < *minimum) {
            return "number out of range: " + Shown(value) + " is less than " + Shown(*minimum);
        }
        return std::string();
    }
    case Broken::kPattern:
    case Broken::kForbidden:
    case Broken::kLength: {
        const char *rule = broken == Broken::kPattern     ? "pattern"
                           : broken == Broken::kForbidden ? "not"
                                                          : "minLength";
        return Member(described, rule) == nullptr ? std::string() : NotA(value, described);
    }
    case Broken::kNone:
        break;
    }
    return std::string();
}

// Valijson reports every failure at `at`, and the summaries of the values around it; the
// message names the deepest one, the most specific rule first.
std::string Explain(const Json &schema, const Place &at,
                    const valijson::ValidationResults &results) {
    std::size_t bestDepth = 0;
    Broken bestRule = Broken::kNone;
    std::string best =
        (at.path.empty() ? "" : at.path + ": ") + "does not match the scenario schema";
    for (const valijson::ValidationResults::Error &error : results) {
        const Broken broken = Classify(error.description);
        const std::size_t depth = error.context.size();
        if (broken == Broken::kNone || depth < bestDepth ||
            (depth == bestDepth && broken >= bestRule)) {
            continue;
        }
        const Place place = Locate(schema, at, error.context);
        const std::string rule = Rule(broken, place);
        if (!rule.empty()) {
            bestDepth = depth;
            bestRule = broken;
            best = place.path.empty() ? rule : place.path + ": " + rule;
        }
    }
    return best;
}

// Checks values against parts of the schema, each compiled when first needed.
class SchemaChecker {
  public:
    explicit SchemaChecker(const Json &schema) : schema_(schema) {}

    // Stops at the first failure and keeps no details: cheap for any size of value.
    bool Passes(const Json &value, const Json &part) {
        return validator_.validate(Compiled(part), valijson::adapters::NlohmannJsonAdapter(value),
                                   nullptr);
    }

    // Every failure, with its place; as large as the failures are many.
    void Failures(const Json &value, const Json &part, valijson::ValidationResults &results) {
        validator_.validate(Compiled(part), valijson::adapters::NlohmannJsonAdapter(value),
                            &results);
    }

  private:
    // A part of the schema as a schema of its own, which its references resolve in.
    const valijson::Schema &Compiled(const Json &part) {
        std::unique_ptr<valijson::Schema> &compiled = compiled_[&part];
        if (!compiled) {
            Json whole = part;
            if (const Json *definitions = Member(schema_, "definitions")) {
                whole["definitions"] = *definitions;
            }
            compiled = std::make_unique<valijson::Schema>();
            valijson::SchemaParser parser(valijson::SchemaParser::kDraft7);
            parser.populateSchema(valijson::adapters::NlohmannJsonAdapter(whole), *compiled);
        }
        return *compiled;
    }

    const Json &schema_;
    valijson::Validator validator_;
    std::map<const Json *, std::unique_ptr<valijson::Schema>> compiled_;
};

// The first item or key inside `at` that breaks its own part of the schema.
bool FailingInside(const Json &schema, SchemaChecker &checker, const Place &at, Place &inside) {
    if (at.value->is_array() && Member(*at.schema, "items") != nullptr) {
        for (std::size_t i = 0; i < at.value->size(); ++i) {
            if (Inside(schema, at, std::to_string(i), inside) &&
                !checker.Passes(*inside.value, *inside.schema)) {
                return true;
            }
        }
    } else if (at.value->is_object()) {
        for (const auto &member : at.value->items()) {
            if (Inside(schema, at, member.key(), inside) &&
                !checker.Passes(*inside.value, *inside.schema)) {
                return true;
            }
        }
    }
    return false;
}

bool Validate(const Json &document, std::string &problem) {
    Json schema;
    if (!ParseJson(kSchemaText, schema, problem)) {
        problem = ": the embedded schema" + problem;
        return false;
    }
    SchemaChecker checker(schema);
    Place at{&document, &Resolved(schema, schema), std::string()};
    if (checker.Passes(document, *at.schema)) {
        return true;
    }
    // Down to the innermost value that fails by itself: valijson's report of every failure of
    // an array of a hundred thousand bad items would take hundreds of megabytes, and one says
    // enough.
    for (Place inside; FailingInside(schema, checker, at, inside);) {
        at = inside;
    }
    valijson::ValidationResults results;
    checker.Failures(*at.value, *at.schema, results);
    problem = ": " + Explain(schema, at, results);
    return false;
}

// --- Reading a valid document: the schema has checked every type and range ------------------

template <typename Read> void With(const Json &object, const char *key, Read read) {
    if (const Json *value = Member(object, key)) {
        read(*value);
    }
}

template <typename Item, typename Read>
void ReadList(const Json &object, const char *key, std::vector<Item> &items, Read read) {
    With(object, key, [&](const Json &list) {
        items.clear();
        for (const Json &item : list) {
            items.push_back(read(item));
        }
    });
}

Status ReadStatus(const Json &value) {
    if (value.is_number_integer()) {
        return static_cast<Status>(value.get<std::uint64_t>());
    }
    // "0x" and one to eight hexadecimal digits.
    const std::string text = Text(&value);
    return text.size() > 2 ? static_cast<Status>(std::strtoul(text.c_str() + 2, nullptr, 16)) : 0;
}

char ReadLetter(const Json &value) { return Text(&value).front(); }

Disk ReadDisk(const Json &value) { return value.get<Disk>(); }

// "devices": each a disk number, or a disk with its LUN; a plain number's LUN is its index.
void ReadDevices(const Json &value, std::vector<Disk> &disks, std::vector<std::uint32_t> &luns) {
    With(value, "devices", [&](const Json &list) {
        disks.clear();
        luns.clear();
        for (const Json &device : list) {
            // The schema has made sure that an object holds both.
            const Json *disk = device.is_object() ? Member(device, "disk") : &device;
            const Json *lun = device.is_object() ? Member(device, "lun") : nullptr;
            if (disk == nullptr) {
                continue;
            }
            disks.push_back(ReadDisk(*disk));
            luns.push_back(lun != nullptr ? lun->get<std::uint32_t>()
                                          : static_cast<std::uint32_t>(luns.size()));
        }
    });
}

void ReadDriveFields(const Json &value, Drive &drive) {
    With(value, "letter", [&](const Json &letter) { drive.letter = ReadLetter(letter); });
    With(value, "volume", [&](const Json &name) {
        drive.letter = '\0';
        drive.volume = Text(&name);
    });
    With(value, "disk", [&](const Json &disk) { drive.disk = ReadDisk(disk); });
    With(value, "openable", [&](const Json &flag) { drive.openable = flag.get<bool>(); });
    With(value, "answers", [&](const Json &flag) { drive.answers = flag.get<bool>(); });
    With(value, "in_use", [&](const Json &flag) { drive.inUse = flag.get<bool>(); });
    With(value, "flush_error", [&](const Json &error) { drive.flushError = ReadStatus(error); });
    With(value, "dismount_error",
         [&](const Json &error) { drive.dismountError = ReadStatus(error); });
}

Drive ReadDrive(const Json &value) {
    Drive drive;
    ReadDriveFields(value, drive);
    return drive;
}

void ReadLoginEffect(const Json &value, LoginEffect &effect) {
    ReadDevices(value, effect.disks, effect.luns);
    With(value, "devices_after_ms", [&](const Json &v) { effect.devicesAfterMs = v.get<Ms>(); });
    ReadList(value, "drives", effect.drives, [](const Json &v) {
        LoginEffect::DelayedDrive delayed;
        ReadDriveFields(v, delayed.drive);
        With(v, "after_ms", [&](const Json &ms) { delayed.afterMs = ms.get<Ms>(); });
        return delayed;
    });
}

Chap ReadChap(const Json &value) {
    return Chap{Text(Member(value, "user")), Text(Member(value, "secret"))};
}

PortalAddress ReadPortalAddress(const Json &value) {
    PortalAddress portal{Text(Member(value, "address")), 3260};
    With(value, "port", [&](const Json &port) { portal.port = port.get<std::uint16_t>(); });
    return portal;
}

void ReadService(const Json &service, Scenario &scenario) {
    With(service, "ike_status", [&](const Json &v) { scenario.ikeStatus = ReadStatus(v); });
    With(service, "portal_status", [&](const Json &v) { scenario.portalStatus = ReadStatus(v); });
    ReadList(service, "portals", scenario.portals, [](const Json &v) {
        PortalAnswer portal{Text(Member(v, "address")), 0, std::nullopt, {}};
        With(v, "status", [&](const Json &status) { portal.status = ReadStatus(status); });
        ReadList(v, "targets", portal.targets, [](const Json &name) { return Text(&name); });
        With(v, "chap", [&](const Json &chap) { portal.chap = ReadChap(chap); });
        return portal;
    });
    ReadList(service, "login_statuses", scenario.loginStatuses, ReadStatus);
    ReadList(service, "targets", scenario.targets, [](const Json &v) {
        TargetLogins target{
            Text(Member(v, "target")), {}, std::nullopt, std::nullopt, std::nullopt, std::nullopt};
        ReadList(v, "login_statuses", target.loginStatuses, ReadStatus);
        With(v, "logout_statuses", [&](const Json &list) {
            std::vector<Status> &statuses = target.logoutStatuses.emplace();
            for (const Json &status : list) {
                statuses.push_back(ReadStatus(status));
            }
        });
        With(v, "on_login",
             [&](const Json &effect) { ReadLoginEffect(effect, target.onLogin.emplace()); });
        With(v, "chap", [&](const Json &chap) { target.chap = ReadChap(chap); });
        With(v, "initiator_secret",
             [&](const Json &secret) { target.initiatorSecret = Text(&secret); });
        return target;
    });
    ReadList(service, "logout_statuses", scenario.logoutStatuses, ReadStatus);
    ReadList(service, "sessions", scenario.sessions, [](const Json &v) {
        Session session{Text(Member(v, "target")), {}, {}};
        ReadDevices(v, session.disks, session.luns);
        return session;
    });
    ReadList(service, "persistent_logins", scenario.persistentLogins, [](const Json &v) {
        PersistentLogin login{Text(Member(v, "target")), std::nullopt};
        With(v, "portal", [&](const Json &portal) { login.portal = ReadPortalAddress(portal); });
        return login;
    });
    ReadList(service, "registered_portals", scenario.registeredPortals, ReadPortalAddress);
    With(service, "report_persistent_status",
         [&](const Json &v) { scenario.reportPersistentStatus = ReadStatus(v); });
    With(service, "remove_persistent_status",
         [&](const Json &v) { scenario.removePersistentStatus = ReadStatus(v); });
    With(service, "remove_portal_status",
         [&](const Json &v) { scenario.removePortalStatus = ReadStatus(v); });
    With(service, "reported_targets", [&](const Json &names) {
        std::vector<std::string> &reported = scenario.reportedTargets.emplace();
        for (const Json &name : names) {
            reported.push_back(Text(&name));
        }
    });
    With(service, "on_login",
         [&](const Json &onLogin) { ReadLoginEffect(onLogin, scenario.onLogin); });
}

void ReadMachine(const Json &value, MachinePolicies &machine) {
    With(value, "san_policy", [&](const Json &policy) {
        const std::string text = Text(&policy);
        machine.sanPolicy = text == "offline_shared" ? SanPolicy::kOfflineShared
                            : text == "offline_all"  ? SanPolicy::kOfflineAll
                                                     : SanPolicy::kOnlineAll;
    });
    With(value, "automount", [&](const Json &flag) { machine.automount = flag.get<bool>(); });
    With(value, "mpio", [&](const Json &flag) { machine.mpio = flag.get<bool>(); });
    With(value, "disk_attributes", [&](const Json &answer) {
        machine.diskAttributesAnswered = Text(&answer) != "unsupported";
    });
}

DiskState ReadDiskState(const Json &value) {
    DiskState state;
    With(value, "disk", [&](const Json &disk) { state.disk = ReadDisk(disk); });
    With(value, "offline", [&](const Json &flag) { state.offline = flag.get<bool>(); });
    With(value, "read_only", [&](const Json &flag) { state.readOnly = flag.get<bool>(); });
    With(value, "layout", [&](const Json &layout) { state.layout = Text(&layout); });
    With(value, "id", [&](const Json &id) { state.id = Text(&id); });
    return state;
}

Scenario Read(const Json &document) {
    Scenario scenario;
    ReadList(document, "drives", scenario.drives, ReadDrive);
    With(document, "machine", [&](const Json &machine) { ReadMachine(machine, scenario.machine); });
    ReadList(document, "disks", scenario.disks, ReadDiskState);
    With(document, "service", [&](const Json &service) { ReadService(service, scenario); });
    With(document, "cancel_at_ms", [&](const Json &ms) { scenario.cancelAtMs = ms.get<Ms>(); });
    ReadList(document, "events", scenario.events, [](const Json &v) {
        DriveEvent event;
        With(v, "at_ms", [&](const Json &ms) { event.at = ms.get<Ms>(); });
        With(v, "add_drive", [&](const Json &drive) { event.addDrive = ReadDrive(drive); });
        With(v, "remove_drive",
             [&](const Json &letter) { event.removeDrive = ReadLetter(letter); });
        return event;
    });
    return scenario;
}

// A portal or target listed twice would leave one of its answers unused; the schema cannot say
// that its items differ in one key only.
template <typename Item, typename Name>
bool Unrepeated(const std::vector<Item> &items, const std::string &where, const char *what,
                Name name, std::string &problem) {
    std::set<std::string> seen;
    for (std::size_t i = 0; i < items.size(); ++i) {
        if (!seen.insert(name(items[i])).second) {
            problem = ": " + where + "[" + std::to_string(i) + "]: " + what + " " +
                      Quoted(name(items[i])) + " listed twice";
            return false;
        }
    }
    return true;
}

// The message: the file's name, on one line, then the problem, which starts with ':'.
std::string Named(const std::string &fileName, const std::string &problem) {
    return Escaped(fileName, false) + problem;
}

const char kTooLarge[] = ": larger than 1 MiB: a scenario file holds at most 1048576 bytes";
static_assert(kMaxScenarioBytes == 1048576, "the message states the limit");

} // namespace

const char *SchemaText() { return kSchemaText; }

const TargetLogins *TargetEntry(const Scenario &scenario, const std::string &target) {
    const auto found =
        std::find_if(scenario.targets.begin(), scenario.targets.end(),
                     [&target](const TargetLogins &entry) { return entry.target == target; });
    return found == scenario.targets.end() ? nullptr : &*found;
}

const std::vector<Status> &LoginStatusesOf(const Scenario &scenario, const std::string &target) {
    const TargetLogins *entry = TargetEntry(scenario, target);
    return entry != nullptr ? entry->loginStatuses : scenario.loginStatuses;
}

const std::vector<Status> &LogoutStatusesOf(const Scenario &scenario, const std::string &target) {
    const TargetLogins *entry = TargetEntry(scenario, target);
    return entry != nullptr && entry->logoutStatuses ? *entry->logoutStatuses
                                                     : scenario.logoutStatuses;
}

const LoginEffect &LoginEffectOf(const Scenario &scenario, const std::string &target) {
    const TargetLogins *entry = TargetEntry(scenario, target);
    return entry != nullptr && entry->onLogin ? *entry->onLogin : scenario.onLogin;
}

std::vector<std::string> ReportedTargets(const Scenario &scenario) {
    if (scenario.reportedTargets) {
        return *scenario.reportedTargets;
    }
    std::vector<std::string> names;
    // An empty name would end the report's multi-string early.
    const auto add = [&names](const std::string &name) {
        if (!name.empty() && std::find(names.begin(), names.end(), name) == names.end()) {
            names.push_back(name);
        }
    };
    for (const TargetLogins &target : scenario.targets) {
        add(target.target);
    }
    for (const Session &session : scenario.sessions) {
        add(session.target);
    }
    return names;
}

bool ParseScenario(const std::string &text, const std::string &fileName, Scenario &scenario,
                   std::string &error) {
    Json document;
    std::string problem;
    if (text.size() > kMaxScenarioBytes) {
        error = Named(fileName, kTooLarge);
        return false;
    }
    if (!ParseJson(text, document, problem) || !Validate(document, problem)) {
        error = Named(fileName, problem);
        return false;
    }
    Scenario read = Read(document);
    if (!Unrepeated(
            read.portals, "service.portals", "address",
            [](const PortalAnswer &portal) { return portal.address; }, problem) ||
        !Unrepeated(
            read.targets, "service.targets", "target",
            [](const TargetLogins &target) { return target.target; }, problem) ||
        !Unrepeated(
            read.reportedTargets.value_or(std::vector<std::string>()), "service.reported_targets",
            "target", [](const std::string &name) { return name; }, problem) ||
        !Unrepeated(
            read.registeredPortals, "service.registered_portals", "portal",
            [](const PortalAddress &portal) {
                return portal.address + ":" + std::to_string(portal.port);
            },
            problem)) {
        error = Named(fileName, problem);
        return false;
    }
    scenario = std::move(read);
    return true;
}

bool LoadScenario(const std::string &path, Scenario &scenario, std::string &error) {
    const std::unique_ptr<std::FILE, int (*)(std::FILE *)> file(std::fopen(path.c_str(), "rb"),
                                                                &std::fclose);
    if (!file) {
        error = Named(path, std::string(": cannot open: ") + std::strerror(errno));
        return false;
    }
    // One byte more than a scenario may hold tells that the file is too large; /dev/zero never
    // ends.
    std::string text;
    char chunk[4096];
    std::size_t got = 0;
    while (text.size() <= kMaxScenarioBytes &&
           (got = std::fread(chunk, 1, std::min(sizeof chunk, kMaxScenarioBytes + 1 - text.size()),
                             file.get())) > 0) {
        text.append(chunk, got);
    }
    if (std::ferror(file.get())) {
        error = Named(path, std::string(": cannot read: ") + std::strerror(errno));
        return false;
    }
    return ParseScenario(text, path, scenario, error);
}

} // namespace vxd::scenario
