#include "tools/scenario/scenario.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
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

// 1-based line and column of the byte at `offset`; columns count characters, not the
// continuation bytes of UTF-8 sequences.
void LineAndColumn(const std::string &text, std::size_t offset, std::size_t &line,
                   std::size_t &column) {
    line = 1;
    column = 1;
    for (std::size_t i = 0; i < offset && i < text.size(); ++i) {
        const auto byte = static_cast<unsigned char>(text[i]);
        if (byte == '\n') {
            ++line;
            column = 1;
        } else if ((byte & 0xC0) != 0x80) {
            ++column;
        }
    }
}

// nlohmann's message without its exception tag and its own position, which would repeat ours.
std::string ParseProblem(const std::string &message) {
    const std::size_t columnAt = message.find("column ");
    const std::size_t colon = message.find(": ", columnAt == std::string::npos ? 0 : columnAt);
    return colon == std::string::npos ? message : message.substr(colon + 2);
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
    bool number_integer(Json::number_integer_t value) {
        Element();
        return dom_.number_integer(value);
    }
    bool number_unsigned(Json::number_unsigned_t value) {
        Element();
        return dom_.number_unsigned(value);
    }
    bool number_float(Json::number_float_t value, const Json::string_t &text) {
        Element();
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
            duplicate_ = Path() + "duplicate key \"" + name + "\"";
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
                path += (path.empty() ? "" : ".") + levels_[i].key;
            }
        }
        return path.empty() ? path : path + ": ";
    }

    nlohmann::detail::json_sax_dom_parser<Json> dom_;
    std::vector<Level> levels_;
    std::string duplicate_;
    std::size_t errorPosition_ = 0;
    std::string errorText_;
};

// Parses JSON text; on failure sets `problem` to what follows the file name in the message.
bool ParseJson(const std::string &text, Json &document, std::string &problem) {
    DocumentBuilder builder(document);
    if (!Json::sax_parse(text, &builder)) {
        // The position counts the byte it stopped at from 1; past the end means the text ran out.
        const std::size_t offset = builder.ErrorPosition() == 0 ? 0 : builder.ErrorPosition() - 1;
        std::size_t line = 0;
        std::size_t column = 0;
        LineAndColumn(text, offset, line, column);
        problem = ":" + std::to_string(line) + ":" + std::to_string(column) +
                  ": malformed JSON: " + ParseProblem(builder.ErrorText());
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
enum class Broken { kUnknownKey, kMissingKey, kType, kChoice, kRange, kPattern, kLength, kNone };

Broken Classify(const std::string &description) {
    const struct {
        const char *prefix;
        Broken rule;
    } rules[] = {
        {"Object contains a property that could not be validated", Broken::kUnknownKey},
        {"Missing required property", Broken::kMissingKey},
        {"Value type not permitted", Broken::kType},
        {"Failed to validate against any child schemas allowed by oneOf", Broken::kChoice},
        {"Failed to validate against exactly one child schema", Broken::kChoice},
        {"Failed to validate against any schemas allowed by anyOf", Broken::kChoice},
        {"Expected number", Broken::kRange},
        {"Failed to match regex", Broken::kPattern},
        {"String should be no fewer than", Broken::kLength},
    };
    for (const auto &rule : rules) {
        if (description.rfind(rule.prefix, 0) == 0) {
            return rule.rule;
        }
    }
    return Broken::kNone; // a summary of failures reported on their own
}

const Json *Member(const Json &object, const char *key) {
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
                                     ? Member(*definitions, reference.substr(prefix.size()).c_str())
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

// Follows valijson's context ("<root>", then "[key]" or "[index]") through the document and
// the schema alike.
Place Locate(const Json &document, const Json &schema, const std::vector<std::string> &context) {
    Place place{&document, &Resolved(schema, schema), std::string()};
    for (std::size_t i = 1; i < context.size(); ++i) {
        const std::string step = context[i].substr(1, context[i].size() - 2);
        const bool inArray = place.value->is_array();
        const Json *next = nullptr;
        const Json *described = nullptr;
        if (inArray) {
            const std::size_t index = std::strtoul(step.c_str(), nullptr, 10);
            next = index < place.value->size() ? &(*place.value)[index] : nullptr;
            described = Member(*place.schema, "items");
        } else {
            next = Member(*place.value, step.c_str());
            const Json *properties = Member(*place.schema, "properties");
            described = properties == nullptr ? nullptr : Member(*properties, step.c_str());
        }
        if (next == nullptr || described == nullptr) {
            break;
        }
        place.path += inArray ? "[" + step + "]" : (place.path.empty() ? "" : ".") + step;
        place.value = next;
        place.schema = &Resolved(schema, *described);
    }
    return place;
}

std::string Shown(const Json &value) {
    return value.dump(-1, ' ', false, Json::error_handler_t::replace);
}

std::string Quoted(const std::string &text) { return "\"" + text + "\""; }

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

// The rule as one readable phrase, or empty when it belongs to a branch of "anyOf" or "oneOf"
// that the schema here does not state itself: the failed choice says more.
std::string Rule(Broken broken, const Place &at) {
    const Json &value = *at.value;
    const Json &described = *at.schema;
    switch (broken) {
    case Broken::kUnknownKey: {
        const Json *properties = Member(described, "properties");
        for (const auto &member : value.items()) {
            if (properties == nullptr || Member(*properties, member.key().c_str()) == nullptr) {
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
            if (Member(value, Text(&key).c_str()) == nullptr) {
                return "missing key " + Quoted(Text(&key));
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
            return Shown(value) + " is not a " + Text(Member(described, "title")) + ": " +
                   Text(Member(described, "description"));
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
    case Broken::kLength:
        return Member(described, broken == Broken::kPattern ? "pattern" : "minLength") == nullptr
                   ? std::string()
                   : Shown(value) + " is not a " + Text(Member(described, "title")) + ": " +
                         Text(Member(described, "description"));
    case Broken::kNone:
        break;
    }
    return std::string();
}

// Valijson reports every failure, and the summaries of the values around it; the message names
// the deepest one, the most specific rule first.
std::string Explain(const Json &document, const Json &schema,
                    const valijson::ValidationResults &results) {
    std::size_t bestDepth = 0;
    Broken bestRule = Broken::kNone;
    std::string best = "does not match the scenario schema";
    for (const valijson::ValidationResults::Error &error : results) {
        const Broken broken = Classify(error.description);
        const std::size_t depth = error.context.size();
        if (broken == Broken::kNone || depth < bestDepth ||
            (depth == bestDepth && broken >= bestRule)) {
            continue;
        }
        const Place at = Locate(document, schema, error.context);
        const std::string rule = Rule(broken, at);
        if (!rule.empty()) {
            bestDepth = depth;
            bestRule = broken;
            best = at.path.empty() ? rule : at.path + ": " + rule;
        }
    }
    return best;
}

bool Validate(const Json &document, std::string &problem) {
    Json schemaDocument;
    if (!ParseJson(kSchemaText, schemaDocument, problem)) {
        problem = ": the embedded schema" + problem;
        return false;
    }
    valijson::Schema schema;
    valijson::SchemaParser parser(valijson::SchemaParser::kDraft7);
    parser.populateSchema(valijson::adapters::NlohmannJsonAdapter(schemaDocument), schema);
    valijson::Validator validator;
    valijson::ValidationResults results;
    if (validator.validate(schema, valijson::adapters::NlohmannJsonAdapter(document), &results)) {
        return true;
    }
    problem = ": " + Explain(document, schemaDocument, results);
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
    if (value.is_number_unsigned()) {
        return value.get<Status>();
    }
    return static_cast<Status>(std::strtoul(Text(&value).c_str() + 2, nullptr, 16));
}

char ReadLetter(const Json &value) { return Text(&value).front(); }

Disk ReadDisk(const Json &value) { return value.get<Disk>(); }

void ReadDriveFields(const Json &value, Drive &drive) {
    With(value, "letter", [&](const Json &letter) { drive.letter = ReadLetter(letter); });
    With(value, "disk", [&](const Json &disk) { drive.disk = ReadDisk(disk); });
    With(value, "openable", [&](const Json &flag) { drive.openable = flag.get<bool>(); });
    With(value, "answers", [&](const Json &flag) { drive.answers = flag.get<bool>(); });
}

Drive ReadDrive(const Json &value) {
    Drive drive;
    ReadDriveFields(value, drive);
    return drive;
}

void ReadService(const Json &service, Scenario &scenario) {
    With(service, "ike_status", [&](const Json &v) { scenario.ikeStatus = ReadStatus(v); });
    With(service, "portal_status", [&](const Json &v) { scenario.portalStatus = ReadStatus(v); });
    ReadList(service, "portals", scenario.portals, [](const Json &v) {
        PortalAnswer portal{Text(Member(v, "address")), 0};
        With(v, "status", [&](const Json &status) { portal.status = ReadStatus(status); });
        return portal;
    });
    ReadList(service, "login_statuses", scenario.loginStatuses, ReadStatus);
    ReadList(service, "targets", scenario.targets, [](const Json &v) {
        TargetLogins target{Text(Member(v, "target")), {}};
        ReadList(v, "login_statuses", target.loginStatuses, ReadStatus);
        return target;
    });
    ReadList(service, "sessions", scenario.sessions, [](const Json &v) {
        Session session{Text(Member(v, "target")), {}};
        ReadList(v, "devices", session.disks, ReadDisk);
        return session;
    });
    With(service, "reported_targets", [&](const Json &names) {
        std::vector<std::string> &reported = scenario.reportedTargets.emplace();
        for (const Json &name : names) {
            reported.push_back(Text(&name));
        }
    });
    With(service, "on_login", [&](const Json &onLogin) {
        LoginEffect &effect = scenario.onLogin;
        ReadList(onLogin, "devices", effect.disks, ReadDisk);
        With(onLogin, "devices_after_ms",
             [&](const Json &v) { effect.devicesAfterMs = v.get<Ms>(); });
        ReadList(onLogin, "drives", effect.drives, [](const Json &v) {
            LoginEffect::DelayedDrive delayed;
            ReadDriveFields(v, delayed.drive);
            With(v, "after_ms", [&](const Json &ms) { delayed.afterMs = ms.get<Ms>(); });
            return delayed;
        });
    });
}

Scenario Read(const Json &document) {
    Scenario scenario;
    ReadList(document, "drives", scenario.drives, ReadDrive);
    With(document, "service", [&](const Json &service) { ReadService(service, scenario); });
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

} // namespace

const char *SchemaText() { return kSchemaText; }

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
    if (!ParseJson(text, document, problem) || !Validate(document, problem)) {
        error = fileName + problem;
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
            "target", [](const std::string &name) { return name; }, problem)) {
        error = fileName + problem;
        return false;
    }
    scenario = std::move(read);
    return true;
}

bool LoadScenario(const std::string &path, Scenario &scenario, std::string &error) {
    const std::unique_ptr<std::FILE, int (*)(std::FILE *)> file(std::fopen(path.c_str(), "rb"),
                                                                &std::fclose);
    if (!file) {
        error = path + ": cannot open: " + std::strerror(errno);
        return false;
    }
    std::string text;
    char chunk[4096];
    std::size_t got = 0;
    while ((got = std::fread(chunk, 1, sizeof chunk, file.get())) > 0) {
        text.append(chunk, got);
    }
    if (std::ferror(file.get())) {
        error = path + ": cannot read: " + std::strerror(errno);
        return false;
    }
    return ParseScenario(text, path, scenario, error);
}

} // namespace vxd::scenario
