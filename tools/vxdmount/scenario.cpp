#include "tools/vxdmount/scenario.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <functional>
#include <initializer_list>
#include <limits>
#include <memory>
#include <set>

#include <nlohmann/json.hpp>

namespace vxd::runner {
namespace {

using Json = nlohmann::json;

constexpr std::uint64_t kMaxUlong = std::numeric_limits<sim::ULONG>::max();
constexpr std::uint64_t kMaxMs = std::numeric_limits<sim::Ms>::max();

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

// The parser keeps the last of two equal keys without a word; a scenario must have one
// meaning, so the first repeated key is noted with its path while the text is parsed.
class DuplicateKeyFinder {
  public:
    bool operator()(int /*depth*/, Json::parse_event_t event, Json &parsed) {
        switch (event) {
        case Json::parse_event_t::object_start:
        case Json::parse_event_t::array_start:
            CountElement();
            levels_.push_back(Level{event == Json::parse_event_t::array_start, 0, {}, {}});
            break;
        case Json::parse_event_t::key: {
            Level &object = levels_.back();
            object.key = parsed.get<std::string>();
            if (!object.keys.insert(object.key).second && where_.empty()) {
                where_ = Path() + "duplicate key \"" + object.key + "\"";
            }
            break;
        }
        case Json::parse_event_t::value:
            CountElement();
            break;
        case Json::parse_event_t::object_end:
        case Json::parse_event_t::array_end:
            levels_.pop_back();
            break;
        }
        return true;
    }

    // Empty when no key was repeated; else "path: duplicate key "name"".
    const std::string &Found() const { return where_; }

  private:
    struct Level {
        bool isArray;
        std::size_t elements;
        std::string key;
        std::set<std::string> keys;
    };

    void CountElement() {
        if (!levels_.empty() && levels_.back().isArray) {
            ++levels_.back().elements;
        }
    }

    // The path of the object whose key is repeated, in the reader's notation.
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

    std::vector<Level> levels_;
    std::string where_;
};

// Reads the parsed document into a Scenario, reporting the first problem with its JSON path.
class ScenarioReader {
  public:
    explicit ScenarioReader(const std::string &fileName) : fileName_(fileName) {}

    bool Read(const Json &document, Scenario &scenario);
    const std::string &Error() const { return error_; }

  private:
    bool Fail(const std::string &where, const std::string &problem) {
        error_ = fileName_ + ": " + (where.empty() ? std::string() : where + ": ") + problem;
        return false;
    }

    bool Object(const Json &value, const std::string &where,
                std::initializer_list<const char *> knownKeys);
    bool Array(const Json &value, const std::string &where);
    bool Required(const Json &object, const char *key, const std::string &where);
    bool Unsigned(const Json &value, const std::string &where, std::uint64_t max,
                  std::uint64_t &number);
    bool Disk(const Json &value, const std::string &where, sim::ULONG &disk);
    bool Milliseconds(const Json &value, const std::string &where, sim::Ms &ms);
    bool Flag(const Json &value, const std::string &where, bool &flag);
    bool Status(const Json &value, const std::string &where, sim::ISDSC_STATUS &status);
    bool Letter(const Json &value, const std::string &where, char &letter);
    bool DiskList(const Json &value, const std::string &where, std::vector<sim::ULONG> &disks);
    bool DriveFields(const Json &value, const std::string &where, sim::DriveSetup &drive);
    bool Drive(const Json &value, const std::string &where, sim::DriveSetup &drive);
    bool Service(const Json &value, const std::string &where, Scenario &scenario);
    bool Session(const Json &value, const std::string &where, sim::SessionSetup &session);
    bool OnLogin(const Json &value, const std::string &where, sim::LoginEffect &effect);
    bool Event(const Json &value, const std::string &where, DriveEvent &event);

    std::string fileName_;
    std::string error_;
};

std::string Member(const std::string &where, const char *key) {
    return where.empty() ? std::string(key) : where + "." + key;
}

std::string Element(const std::string &where, std::size_t index) {
    return where + "[" + std::to_string(index) + "]";
}

bool ScenarioReader::Object(const Json &value, const std::string &where,
                            std::initializer_list<const char *> knownKeys) {
    if (!value.is_object()) {
        return Fail(where, "must be an object");
    }
    for (const auto &member : value.items()) {
        bool known = false;
        for (const char *key : knownKeys) {
            known = known || member.key() == key;
        }
        if (!known) {
            return Fail(where, "unknown key \"" + member.key() + "\"");
        }
    }
    return true;
}

bool ScenarioReader::Array(const Json &value, const std::string &where) {
    return value.is_array() || Fail(where, "must be an array");
}

bool ScenarioReader::Required(const Json &object, const char *key, const std::string &where) {
    return object.contains(key) || Fail(where, std::string("missing key \"") + key + "\"");
}

bool ScenarioReader::Unsigned(const Json &value, const std::string &where, std::uint64_t max,
                              std::uint64_t &number) {
    if (!value.is_number_unsigned()) {
        return Fail(where, "must be a whole number from 0 to " + std::to_string(max));
    }
    number = value.get<std::uint64_t>();
    return number <= max ||
           Fail(where, std::to_string(number) + " is larger than " + std::to_string(max));
}

bool ScenarioReader::Disk(const Json &value, const std::string &where, sim::ULONG &disk) {
    std::uint64_t number = 0;
    if (!Unsigned(value, where, kMaxUlong, number)) {
        return false;
    }
    disk = static_cast<sim::ULONG>(number);
    return true;
}

bool ScenarioReader::Milliseconds(const Json &value, const std::string &where, sim::Ms &ms) {
    std::uint64_t number = 0;
    if (!Unsigned(value, where, kMaxMs, number)) {
        return false;
    }
    ms = number;
    return true;
}

bool ScenarioReader::Flag(const Json &value, const std::string &where, bool &flag) {
    if (!value.is_boolean()) {
        return Fail(where, "must be true or false");
    }
    flag = value.get<bool>();
    return true;
}

// A status is a number or a hexadecimal string such as "0xEFFF003F", as the service's
// documentation writes them.
bool ScenarioReader::Status(const Json &value, const std::string &where,
                            sim::ISDSC_STATUS &status) {
    const std::string forms =
        "a whole number from 0 to 4294967295 or a hexadecimal string such as \"0xEFFF003F\"";
    if (value.is_number()) {
        if (!value.is_number_unsigned() || value.get<std::uint64_t>() > kMaxUlong) {
            return Fail(where, "must be a status: " + forms);
        }
        status = static_cast<sim::ISDSC_STATUS>(value.get<std::uint64_t>());
        return true;
    }
    if (!value.is_string()) {
        return Fail(where, "must be a status: " + forms);
    }
    const std::string &text = value.get_ref<const std::string &>();
    const std::string notAStatus = "\"" + text + "\" is not a status; write " + forms;
    const bool prefixed = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
    if (!prefixed || text.size() > 10) {
        return Fail(where, notAStatus);
    }
    std::uint64_t number = 0;
    for (std::size_t i = 2; i < text.size(); ++i) {
        const char digit = text[i];
        int nibble = -1;
        if (digit >= '0' && digit <= '9') {
            nibble = digit - '0';
        } else if (digit >= 'a' && digit <= 'f') {
            nibble = digit - 'a' + 10;
        } else if (digit >= 'A' && digit <= 'F') {
            nibble = digit - 'A' + 10;
        }
        if (nibble < 0) {
            return Fail(where, notAStatus);
        }
        number = number * 16 + static_cast<std::uint64_t>(nibble);
    }
    status = static_cast<sim::ISDSC_STATUS>(number);
    return true;
}

bool ScenarioReader::Letter(const Json &value, const std::string &where, char &letter) {
    if (!value.is_string()) {
        return Fail(where, "must be a drive letter, a string from \"A\" to \"Z\"");
    }
    const std::string &text = value.get_ref<const std::string &>();
    if (text.size() != 1 || text[0] < 'A' || text[0] > 'Z') {
        return Fail(where, "\"" + text + "\" is not a drive letter from \"A\" to \"Z\"");
    }
    letter = text[0];
    return true;
}

bool ScenarioReader::DiskList(const Json &value, const std::string &where,
                              std::vector<sim::ULONG> &disks) {
    if (!Array(value, where)) {
        return false;
    }
    disks.clear();
    for (std::size_t i = 0; i < value.size(); ++i) {
        sim::ULONG disk = 0;
        if (!Disk(value[i], Element(where, i), disk)) {
            return false;
        }
        disks.push_back(disk);
    }
    return true;
}

// The fields every drive has; the caller has checked the keys.
bool ScenarioReader::DriveFields(const Json &value, const std::string &where,
                                 sim::DriveSetup &drive) {
    if (!Required(value, "letter", where) || !Required(value, "disk", where) ||
        !Letter(value["letter"], Member(where, "letter"), drive.letter) ||
        !Disk(value["disk"], Member(where, "disk"), drive.disk)) {
        return false;
    }
    if (value.contains("openable") &&
        !Flag(value["openable"], Member(where, "openable"), drive.openable)) {
        return false;
    }
    return !value.contains("answers") ||
           Flag(value["answers"], Member(where, "answers"), drive.answers);
}

bool ScenarioReader::Drive(const Json &value, const std::string &where, sim::DriveSetup &drive) {
    return Object(value, where, {"letter", "disk", "openable", "answers"}) &&
           DriveFields(value, where, drive);
}

bool ScenarioReader::Session(const Json &value, const std::string &where,
                             sim::SessionSetup &session) {
    if (!Object(value, where, {"target", "devices"}) || !Required(value, "target", where)) {
        return false;
    }
    if (!value["target"].is_string()) {
        return Fail(Member(where, "target"), "must be a string");
    }
    session.target = value["target"].get<std::string>();
    return !value.contains("devices") ||
           DiskList(value["devices"], Member(where, "devices"), session.disks);
}

bool ScenarioReader::OnLogin(const Json &value, const std::string &where,
                             sim::LoginEffect &effect) {
    if (!Object(value, where, {"devices", "devices_after_ms", "drives"})) {
        return false;
    }
    if (value.contains("devices") &&
        !DiskList(value["devices"], Member(where, "devices"), effect.disks)) {
        return false;
    }
    if (value.contains("devices_after_ms") &&
        !Milliseconds(value["devices_after_ms"], Member(where, "devices_after_ms"),
                      effect.devicesAfterMs)) {
        return false;
    }
    if (!value.contains("drives")) {
        return true;
    }
    const std::string drivesWhere = Member(where, "drives");
    const Json &drives = value["drives"];
    if (!Array(drives, drivesWhere)) {
        return false;
    }
    for (std::size_t i = 0; i < drives.size(); ++i) {
        const std::string driveWhere = Element(drivesWhere, i);
        sim::LoginEffect::DelayedDrive delayed;
        if (!Object(drives[i], driveWhere, {"letter", "disk", "openable", "answers", "after_ms"}) ||
            !DriveFields(drives[i], driveWhere, delayed.drive)) {
            return false;
        }
        if (drives[i].contains("after_ms") &&
            !Milliseconds(drives[i]["after_ms"], Member(driveWhere, "after_ms"), delayed.afterMs)) {
            return false;
        }
        effect.drives.push_back(delayed);
    }
    return true;
}

bool ScenarioReader::Service(const Json &value, const std::string &where, Scenario &scenario) {
    if (!Object(value, where,
                {"ike_status", "portal_status", "login_statuses", "sessions", "on_login"})) {
        return false;
    }
    if (value.contains("ike_status") &&
        !Status(value["ike_status"], Member(where, "ike_status"), scenario.ikeStatus)) {
        return false;
    }
    if (value.contains("portal_status") &&
        !Status(value["portal_status"], Member(where, "portal_status"), scenario.portalStatus)) {
        return false;
    }
    if (value.contains("login_statuses")) {
        const std::string listWhere = Member(where, "login_statuses");
        const Json &list = value["login_statuses"];
        if (!Array(list, listWhere)) {
            return false;
        }
        for (std::size_t i = 0; i < list.size(); ++i) {
            sim::ISDSC_STATUS status = 0;
            if (!Status(list[i], Element(listWhere, i), status)) {
                return false;
            }
            scenario.loginStatuses.push_back(status);
        }
    }
    if (value.contains("sessions")) {
        const std::string listWhere = Member(where, "sessions");
        const Json &list = value["sessions"];
        if (!Array(list, listWhere)) {
            return false;
        }
        for (std::size_t i = 0; i < list.size(); ++i) {
            sim::SessionSetup session;
            if (!Session(list[i], Element(listWhere, i), session)) {
                return false;
            }
            scenario.sessions.push_back(session);
        }
    }
    return !value.contains("on_login") ||
           OnLogin(value["on_login"], Member(where, "on_login"), scenario.onLogin);
}

bool ScenarioReader::Event(const Json &value, const std::string &where, DriveEvent &event) {
    if (!Object(value, where, {"at_ms", "add_drive", "remove_drive"}) ||
        !Required(value, "at_ms", where) ||
        !Milliseconds(value["at_ms"], Member(where, "at_ms"), event.at)) {
        return false;
    }
    const bool adds = value.contains("add_drive");
    if (adds == value.contains("remove_drive")) {
        return Fail(where, "needs exactly one of \"add_drive\" and \"remove_drive\"");
    }
    if (!adds) {
        return Letter(value["remove_drive"], Member(where, "remove_drive"), event.removeDrive);
    }
    sim::DriveSetup drive;
    if (!Drive(value["add_drive"], Member(where, "add_drive"), drive)) {
        return false;
    }
    event.addDrive = drive;
    return true;
}

bool ScenarioReader::Read(const Json &document, Scenario &scenario) {
    if (!document.is_object()) {
        return Fail("", "the scenario must be a JSON object");
    }
    if (!Object(document, "", {"drives", "service", "events"})) {
        return false;
    }
    if (document.contains("drives")) {
        const Json &drives = document["drives"];
        if (!Array(drives, "drives")) {
            return false;
        }
        for (std::size_t i = 0; i < drives.size(); ++i) {
            sim::DriveSetup drive;
            if (!Drive(drives[i], Element("drives", i), drive)) {
                return false;
            }
            scenario.drives.push_back(drive);
        }
    }
    if (document.contains("service") && !Service(document["service"], "service", scenario)) {
        return false;
    }
    if (document.contains("events")) {
        const Json &events = document["events"];
        if (!Array(events, "events")) {
            return false;
        }
        for (std::size_t i = 0; i < events.size(); ++i) {
            DriveEvent event;
            if (!Event(events[i], Element("events", i), event)) {
                return false;
            }
            scenario.events.push_back(event);
        }
    }
    return true;
}

} // namespace

Scenario DefaultScenario() {
    Scenario scenario;
    sim::DriveSetup system;
    system.letter = 'C';
    system.disk = 0;
    sim::DriveSetup data;
    data.letter = 'D';
    data.disk = 1;
    scenario.drives = {system, data};
    scenario.onLogin.disks = {2};
    sim::DriveSetup mounted;
    mounted.letter = 'F';
    mounted.disk = 2;
    scenario.onLogin.drives = {{mounted, 1500}};
    return scenario;
}

bool ParseScenario(const std::string &text, const std::string &fileName, Scenario &scenario,
                   std::string &error) {
    Json document;
    DuplicateKeyFinder duplicates;
    try {
        document = Json::parse(text, std::ref(duplicates));
    } catch (const Json::parse_error &problem) {
        // nlohmann counts the byte it stopped at from 1; past the end means the text ran out.
        const std::size_t offset = problem.byte == 0 ? 0 : problem.byte - 1;
        std::size_t line = 0;
        std::size_t column = 0;
        LineAndColumn(text, offset, line, column);
        error = fileName + ":" + std::to_string(line) + ":" + std::to_string(column) +
                ": malformed JSON: " + ParseProblem(problem.what());
        return false;
    }
    if (!duplicates.Found().empty()) {
        error = fileName + ": " + duplicates.Found();
        return false;
    }
    Scenario read;
    ScenarioReader reader(fileName);
    if (!reader.Read(document, read)) {
        error = reader.Error();
        return false;
    }
    scenario = read;
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

void StageScenario(const Scenario &scenario, sim::Machine &machine) {
    for (const sim::DriveSetup &drive : scenario.drives) {
        machine.AddDrive(drive);
    }
    machine.ikeStatus = scenario.ikeStatus;
    machine.portalStatus = scenario.portalStatus;
    machine.loginStatuses = scenario.loginStatuses;
    for (const sim::SessionSetup &session : scenario.sessions) {
        machine.AddSession(session);
    }
    machine.onLogin = scenario.onLogin;
    for (const DriveEvent &event : scenario.events) {
        if (event.addDrive) {
            machine.AddDriveAt(event.at, *event.addDrive);
        } else {
            machine.RemoveDriveAt(event.at, event.removeDrive);
        }
    }
}

} // namespace vxd::runner
