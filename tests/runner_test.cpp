// The vxdmount runner: its arguments, its scenario files, and what it prints.
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "entry/vxdmount.h"
#include "platform/sim/sim_machine.h"
#include "tools/vxdmount/runner.h"
#include "tools/vxdmount/scenario.h"

namespace vxd::runner {
namespace {

const char kWaitLine[] = "________________Waitting Mounted______________";

std::string ParseError(const std::string &text) {
    Scenario scenario;
    std::string error;
    EXPECT_FALSE(ParseScenario(text, "case.json", scenario, error)) << text;
    EXPECT_EQ(error.rfind("case.json:", 0), 0u) << "the message must name the file: " << error;
    return error;
}

Scenario Parsed(const std::string &text) {
    Scenario scenario;
    std::string error;
    EXPECT_TRUE(ParseScenario(text, "case.json", scenario, error)) << error;
    return scenario;
}

std::vector<std::string> Lines(const std::string &text) {
    std::vector<std::string> lines;
    std::istringstream stream(text);
    for (std::string line; std::getline(stream, line);) {
        lines.push_back(line);
    }
    return lines;
}

struct RunOutcome {
    int status = -1;
    std::string out;
    std::string err;
};

RunOutcome RunWith(const std::vector<std::string> &arguments) {
    std::ostringstream out;
    std::ostringstream err;
    RunOutcome run;
    run.status = RunVxdMount(arguments, out, err);
    run.out = out.str();
    run.err = err.str();
    return run;
}

TEST(ScenarioFile, ReadsEveryKeyOfTheFormat) {
    const Scenario scenario = Parsed(R"({
      "$schema": "scenario.schema.json",
      "machine": {"san_policy": "offline_all", "automount": false, "mpio": true,
                  "disk_attributes": "unsupported"},
      "disks": [ {"disk": 7, "offline": false, "read_only": true, "layout": "gpt", "id": "x"},
                 {"disk": 0, "layout": "raw"} ],
      "drives": [ {"letter": "D", "disk": 1, "openable": false, "answers": true},
                  {"letter": "C", "disk": 0, "openable": true, "answers": false,
                   "in_use": true, "flush_error": 1117, "dismount_error": "0x5"} ],
      "service": {
        "ike_status": 5, "portal_status": "0xEFFF0004", "login_statuses": ["0x1F", 0],
        "portals": [ {"address": "192.0.2.1", "status": "0xEFFF0003", "targets": ["iqn.t"]} ],
        "targets": [ {"target": "iqn.a", "login_statuses": [7, "0xa"]},
                     {"target": "iqn.b", "login_statuses": [], "logout_statuses": [],
                      "on_login": {"devices": [9],
                                   "drives": [{"letter": "K", "disk": 9, "in_use": true}]}},
                     {"target": "iqn.c", "login_statuses": [0],
                      "logout_statuses": ["0xEFFF001F", 0]} ],
        "logout_statuses": ["0xEFFF0040"],
        "sessions": [ {"target": "iqn.x", "devices": [4, {"disk": 3, "lun": 9}]},
                      {"target": "iqn.y"} ],
        "persistent_logins": [ {"target": "iqn.x"},
                               {"target": "iqn.y", "portal": {"address": "192.0.2.2"}},
                               {"target": "iqn.y", "portal": {"address": "192.0.2.3",
                                                              "port": 860}} ],
        "registered_portals": [ {"address": "192.0.2.1"}, {"address": "192.0.2.1", "port": 1} ],
        "report_persistent_status": 1722, "remove_persistent_status": "0xEFFF0001",
        "remove_portal_status": 0,
        "reported_targets": ["iqn.r", "iqn.x"],
        "on_login": { "devices": [7, 8], "devices_after_ms": 2500,
                      "drives": [ {"letter": "F", "disk": 7, "after_ms": 1500},
                                  {"letter": "G", "disk": 8, "answers": false},
                                  {"volume": "\\\\?\\Volume{0a1b2c3d-0000-4000-8000-000000000002}\\",
                                   "disk": 7} ] }
      },
      "events": [ {"at_ms": 4000, "add_drive": {"letter": "H", "disk": 5, "openable": false}},
                  {"at_ms": 6000, "remove_drive": "E"} ],
      "cancel_at_ms": 2750
    })");

    ASSERT_EQ(scenario.drives.size(), 2u);
    EXPECT_EQ(scenario.drives[0].letter, 'D');
    EXPECT_EQ(scenario.drives[0].disk, 1u);
    EXPECT_FALSE(scenario.drives[0].openable);
    EXPECT_TRUE(scenario.drives[0].answers);
    EXPECT_FALSE(scenario.drives[0].inUse);
    EXPECT_EQ(scenario.drives[0].flushError, 0u);
    EXPECT_EQ(scenario.drives[1].letter, 'C');
    EXPECT_TRUE(scenario.drives[1].openable);
    EXPECT_FALSE(scenario.drives[1].answers);
    EXPECT_TRUE(scenario.drives[1].inUse);
    EXPECT_EQ(scenario.drives[1].flushError, 1117u);
    EXPECT_EQ(scenario.drives[1].dismountError, 5u);

    EXPECT_EQ(scenario.ikeStatus, 5u);
    EXPECT_EQ(scenario.portalStatus, 0xEFFF0004u);
    EXPECT_EQ(scenario.loginStatuses, (std::vector<scenario::Status>{0x1F, 0}));
    ASSERT_EQ(scenario.portals.size(), 1u);
    EXPECT_EQ(scenario.portals[0].address, "192.0.2.1");
    EXPECT_EQ(scenario.portals[0].status, 0xEFFF0003u);
    EXPECT_EQ(scenario.portals[0].targets, (std::vector<std::string>{"iqn.t"}));
    ASSERT_EQ(scenario.targets.size(), 3u);
    EXPECT_EQ(scenario.targets[0].target, "iqn.a");
    EXPECT_EQ(scenario.targets[0].loginStatuses, (std::vector<scenario::Status>{7, 10}));
    EXPECT_FALSE(scenario.targets[0].logoutStatuses.has_value());
    EXPECT_FALSE(scenario.targets[0].onLogin.has_value());
    ASSERT_TRUE(scenario.targets[1].logoutStatuses.has_value());
    EXPECT_TRUE(scenario.targets[1].logoutStatuses->empty());
    ASSERT_TRUE(scenario.targets[1].onLogin.has_value());
    EXPECT_EQ(scenario.targets[1].onLogin->disks, (std::vector<scenario::Disk>{9}));
    ASSERT_EQ(scenario.targets[1].onLogin->drives.size(), 1u);
    EXPECT_EQ(scenario.targets[1].onLogin->drives[0].drive.letter, 'K');
    EXPECT_TRUE(scenario.targets[1].onLogin->drives[0].drive.inUse);
    EXPECT_EQ(scenario.logoutStatuses, (std::vector<scenario::Status>{0xEFFF0040}));
    // A target's own answers, else the service's; an empty list of its own is its own.
    EXPECT_EQ(scenario::LogoutStatusesOf(scenario, "iqn.a"), scenario.logoutStatuses);
    EXPECT_TRUE(scenario::LogoutStatusesOf(scenario, "iqn.b").empty());
    EXPECT_EQ(scenario::LogoutStatusesOf(scenario, "iqn.c"),
              (std::vector<scenario::Status>{0xEFFF001F, 0}));
    EXPECT_EQ(scenario::LogoutStatusesOf(scenario, "IQN.C"), scenario.logoutStatuses);
    EXPECT_TRUE(scenario::LoginStatusesOf(scenario, "iqn.b").empty());
    EXPECT_EQ(scenario::LoginStatusesOf(scenario, "iqn.z"), scenario.loginStatuses);
    EXPECT_EQ(scenario::LoginEffectOf(scenario, "iqn.b").disks, (std::vector<scenario::Disk>{9}));
    EXPECT_EQ(&scenario::LoginEffectOf(scenario, "iqn.a"), &scenario.onLogin);

    ASSERT_EQ(scenario.persistentLogins.size(), 3u);
    EXPECT_EQ(scenario.persistentLogins[0].target, "iqn.x");
    EXPECT_FALSE(scenario.persistentLogins[0].portal.has_value());
    ASSERT_TRUE(scenario.persistentLogins[1].portal.has_value());
    EXPECT_EQ(scenario.persistentLogins[1].portal->address, "192.0.2.2");
    EXPECT_EQ(scenario.persistentLogins[1].portal->port, 3260u);
    ASSERT_TRUE(scenario.persistentLogins[2].portal.has_value());
    EXPECT_EQ(scenario.persistentLogins[2].portal->port, 860u);
    ASSERT_EQ(scenario.registeredPortals.size(), 2u);
    EXPECT_EQ(scenario.registeredPortals[0].port, 3260u);
    EXPECT_EQ(scenario.registeredPortals[1].port, 1u);
    EXPECT_EQ(scenario.reportPersistentStatus, std::optional<scenario::Status>(1722));
    EXPECT_EQ(scenario.removePersistentStatus, std::optional<scenario::Status>(0xEFFF0001));
    EXPECT_EQ(scenario.removePortalStatus, std::optional<scenario::Status>(0));
    EXPECT_EQ(scenario.cancelAtMs, std::optional<scenario::Ms>(2750));
    ASSERT_EQ(scenario.sessions.size(), 2u);
    EXPECT_EQ(scenario.sessions[0].target, "iqn.x");
    EXPECT_EQ(scenario.sessions[0].disks, (std::vector<scenario::Disk>{4, 3}));
    EXPECT_EQ(scenario.sessions[0].luns, (std::vector<std::uint32_t>{0, 9}));
    EXPECT_EQ(scenario.sessions[1].target, "iqn.y");
    EXPECT_TRUE(scenario.sessions[1].disks.empty());
    EXPECT_EQ(scenario::ReportedTargets(scenario), (std::vector<std::string>{"iqn.r", "iqn.x"}));

    EXPECT_EQ(scenario.onLogin.disks, (std::vector<scenario::Disk>{7, 8}));
    EXPECT_EQ(scenario.onLogin.devicesAfterMs, 2500u);
    ASSERT_EQ(scenario.onLogin.drives.size(), 3u);
    EXPECT_EQ(scenario.onLogin.drives[2].drive.letter, '\0');
    EXPECT_EQ(scenario.onLogin.drives[2].drive.volume,
              "\\\\?\\Volume{0a1b2c3d-0000-4000-8000-000000000002}\\");
    EXPECT_EQ(scenario.machine.sanPolicy, scenario::SanPolicy::kOfflineAll);
    EXPECT_FALSE(scenario.machine.automount);
    EXPECT_TRUE(scenario.machine.mpio);
    EXPECT_FALSE(scenario.machine.diskAttributesAnswered);
    ASSERT_EQ(scenario.disks.size(), 2u);
    EXPECT_EQ(scenario.disks[0].disk, 7u);
    EXPECT_EQ(scenario.disks[0].offline, std::optional<bool>(false));
    EXPECT_EQ(scenario.disks[0].readOnly, std::optional<bool>(true));
    EXPECT_EQ(scenario.disks[0].layout, "gpt");
    EXPECT_EQ(scenario.disks[0].id, "x");
    EXPECT_FALSE(scenario.disks[1].offline.has_value());
    EXPECT_EQ(scenario.disks[1].layout, "raw");
    EXPECT_EQ(scenario.onLogin.drives[0].drive.letter, 'F');
    EXPECT_EQ(scenario.onLogin.drives[0].drive.disk, 7u);
    EXPECT_EQ(scenario.onLogin.drives[0].afterMs, 1500u);
    EXPECT_EQ(scenario.onLogin.drives[1].afterMs, 0u);
    EXPECT_FALSE(scenario.onLogin.drives[1].drive.answers);

    ASSERT_EQ(scenario.events.size(), 2u);
    EXPECT_EQ(scenario.events[0].at, 4000u);
    ASSERT_TRUE(scenario.events[0].addDrive.has_value());
    EXPECT_EQ(scenario.events[0].addDrive->letter, 'H');
    EXPECT_FALSE(scenario.events[0].addDrive->openable);
    EXPECT_EQ(scenario.events[1].at, 6000u);
    EXPECT_FALSE(scenario.events[1].addDrive.has_value());
    EXPECT_EQ(scenario.events[1].removeDrive, 'E');
}

// The reader checks against the schema file exactly; every parse here also proves that valijson
// takes it, since it would abort on a malformed one.
TEST(ScenarioFile, EmbedsTheSchemaFileAsItIs) {
    std::ifstream file(VXD_SOURCE_DIR "/scenarios/scenario.schema.json", std::ios::binary);
    ASSERT_TRUE(file.is_open());
    std::ostringstream text;
    text << file.rdbuf();
    EXPECT_EQ(scenario::SchemaText(), text.str());
}

TEST(ScenarioFile, LeftOutKeysKeepTheMachineDefaults) {
    const Scenario scenario = Parsed(R"({"service": {"on_login": {"devices_after_ms": 10}}})");
    EXPECT_TRUE(scenario.drives.empty());
    EXPECT_EQ(scenario.ikeStatus, 0u);
    EXPECT_EQ(scenario.portalStatus, 0u);
    EXPECT_TRUE(scenario.loginStatuses.empty());
    EXPECT_TRUE(scenario.portals.empty());
    EXPECT_TRUE(scenario.targets.empty());
    EXPECT_TRUE(scenario.sessions.empty());
    EXPECT_EQ(scenario.onLogin.disks, (std::vector<scenario::Disk>{2}));
    EXPECT_TRUE(scenario.onLogin.drives.empty());
    EXPECT_TRUE(scenario.events.empty());
    EXPECT_FALSE(scenario.reportedTargets.has_value());
    EXPECT_TRUE(scenario.logoutStatuses.empty());
    EXPECT_TRUE(scenario.persistentLogins.empty());
    EXPECT_TRUE(scenario.registeredPortals.empty());
    EXPECT_FALSE(scenario.reportPersistentStatus.has_value());
    EXPECT_FALSE(scenario.removePersistentStatus.has_value());
    EXPECT_FALSE(scenario.removePortalStatus.has_value());
    EXPECT_FALSE(scenario.cancelAtMs.has_value());

    // Reported by default: the targets' names, then the sessions', each once, no empty one;
    // an empty list given is kept.
    const Scenario named = Parsed(R"({"service": {
      "targets": [{"target": "iqn.b", "login_statuses": []},
                  {"target": "iqn.a", "login_statuses": []}],
      "sessions": [{"target": "iqn.c"}, {"target": "iqn.a"}, {"target": ""},
                   {"target": "iqn.c"}]}})");
    EXPECT_EQ(scenario::ReportedTargets(named),
              (std::vector<std::string>{"iqn.b", "iqn.a", "iqn.c"}));
    const Scenario none = Parsed(R"({"service": {"sessions": [{"target": "iqn.c"}],
                                                 "reported_targets": []}})");
    EXPECT_TRUE(scenario::ReportedTargets(none).empty());

    const Scenario drive = Parsed(R"({"drives": [{"letter": "Z", "disk": 4294967295}]})");
    ASSERT_EQ(drive.drives.size(), 1u);
    EXPECT_EQ(drive.drives[0].disk, 4294967295u);
    EXPECT_TRUE(drive.drives[0].openable);
    EXPECT_TRUE(drive.drives[0].answers);
    EXPECT_FALSE(drive.drives[0].inUse);
    EXPECT_EQ(drive.drives[0].flushError, 0u);
    EXPECT_EQ(drive.drives[0].dismountError, 0u);
}

TEST(ScenarioFile, MalformedJsonGivesLineAndColumn) {
    // Columns count characters: the two-byte letter before the fault counts once.
    EXPECT_EQ(ParseError("{\n  \"drives\": [,]\n}").rfind("case.json:2:14: malformed JSON: ", 0),
              0u);
    EXPECT_EQ(ParseError("{\n  \"drives\": []\n").rfind("case.json:3:1: malformed JSON: ", 0), 0u);
    EXPECT_EQ(ParseError("{\"d\": \"\xC3\xA9\", x}").rfind("case.json:1:12: malformed JSON: ", 0),
              0u);
    EXPECT_EQ(ParseError("").rfind("case.json:1:1: malformed JSON: ", 0), 0u);
    // The parser's own position is not repeated after ours.
    EXPECT_EQ(ParseError("{,}").find("line"), std::string::npos);
}

TEST(ScenarioFile, UnknownKeysAreErrorsWherever) {
    const struct {
        const char *text;
        const char *message;
    } cases[] = {
        {R"({"drive": []})", R"(case.json: unknown key "drive")"},
        {R"({"drives": [{"letter": "C", "disk": 0, "colour": 1}]})",
         R"(case.json: drives[0]: unknown key "colour")"},
        {R"({"service": {"login_status": [0]}})", R"(case.json: service: unknown key)"},
        {R"({"service": {"sessions": [{"target": "t", "disks": [2]}]}})",
         R"(case.json: service.sessions[0]: unknown key "disks")"},
        {R"({"service": {"on_login": {"letters": []}}})",
         R"(case.json: service.on_login: unknown key "letters")"},
        {R"({"service": {"on_login": {"drives": [{"letter": "F", "disk": 2, "after": 1}]}}})",
         R"(case.json: service.on_login.drives[0]: unknown key "after")"},
        {R"({"events": [{"at_ms": 1, "remove_drive": "E", "why": "x"}]})",
         R"(case.json: events[0]: unknown key "why")"},
        {R"({"service": {"portals": [{"address": "a", "status": 0, "port": 1}]}})",
         R"(case.json: service.portals[0]: unknown key "port")"},
        // A delay belongs to a login's letters only.
        {R"({"events": [{"at_ms": 1, "add_drive": {"letter": "G", "disk": 5, "after_ms": 9}}]})",
         R"(case.json: events[0].add_drive: unknown key "after_ms")"},
        {R"({"service": {"targets": [{"target": "t", "login_statuses": [],
                                      "on_login": {"devices": [2], "letters": []}}]}})",
         R"(case.json: service.targets[0].on_login: unknown key "letters")"},
        {R"({"service": {"targets": [{"target": "t", "login_statuses": [],
                                      "logout_status": [0]}]}})",
         R"(case.json: service.targets[0]: unknown key "logout_status")"},
        // A persistent login's port belongs to its portal.
        {R"({"service": {"persistent_logins": [{"target": "t", "port": 3260}]}})",
         R"(case.json: service.persistent_logins[0]: unknown key "port")"},
        {R"({"service": {"registered_portals": [{"address": "a", "socket": 3260}]}})",
         R"(case.json: service.registered_portals[0]: unknown key "socket")"},
        {R"({"service": {"persistent_logins": [{"target": "t", "portal": {"address": "a",
                                                                         "status": 0}}]}})",
         R"(case.json: service.persistent_logins[0].portal: unknown key "status")"},
        {R"({"service": {"on_login": {"drives": [{"letter": "F", "disk": 2, "busy": true}]}}})",
         R"(case.json: service.on_login.drives[0]: unknown key "busy")"},
    };
    for (const auto &each : cases) {
        EXPECT_EQ(ParseError(each.text).rfind(each.message, 0), 0u) << each.text;
    }
}

TEST(ScenarioFile, RepeatedKeysAreErrors) {
    EXPECT_EQ(ParseError(R"({"events": [], "events": []})"),
              R"(case.json: duplicate key "events")");
    EXPECT_EQ(ParseError(R"({"drives": [{"letter": "C", "disk": 0},
                                        {"letter": "D", "disk": 1, "disk": 2}]})"),
              R"(case.json: drives[1]: duplicate key "disk")");
    EXPECT_EQ(ParseError(R"({"service": {"sessions": [{"target": "t", "devices": [[], 2]}],
                                         "on_login": {"drives": [], "drives": []}}})"),
              R"(case.json: service.on_login: duplicate key "drives")");
    // A portal or target listed twice would leave one of its answers unused.
    EXPECT_EQ(ParseError(R"({"service": {"portals": [{"address": "a", "status": 1},
                                                     {"address": "a", "status": 2}]}})"),
              R"(case.json: service.portals[1]: address "a" listed twice)");
    EXPECT_EQ(ParseError(R"({"service": {"targets": [{"target": "b", "login_statuses": []},
                                                     {"target": "a", "login_statuses": []},
                                                     {"target": "b", "login_statuses": []}]}})"),
              R"(case.json: service.targets[2]: target "b" listed twice)");
    EXPECT_EQ(ParseError(R"({"service": {"reported_targets": ["a", "b", "a"]}})"),
              R"(case.json: service.reported_targets[2]: target "a" listed twice)");
    // A portal registered twice would stay registered after its removal; the same address on
    // another port is another portal.
    EXPECT_EQ(ParseError(R"({"service": {"registered_portals": [{"address": "a", "port": 3260},
                                                                {"address": "a", "port": 860},
                                                                {"address": "a"}]}})"),
              R"(case.json: service.registered_portals[2]: portal "a:3260" listed twice)");
}

TEST(ScenarioFile, WrongTypesAndMissingKeysAreErrors) {
    const struct {
        const char *text;
        const char *where;
    } cases[] = {
        {R"([])", "case.json: wrong type: expected an object"},
        {R"({"drives": {}})", "case.json: drives: wrong type: expected an array"},
        {R"({"drives": [3]})", "case.json: drives[0]: wrong type: expected an object"},
        {R"({"drives": [{"letter": "C", "disk": "0"}]})",
         "case.json: drives[0].disk: wrong type: expected a whole number from 0 to 4294967295"},
        {R"({"drives": [{"letter": "C", "disk": -1}]})",
         "case.json: drives[0].disk: number out of range: -1 is less than 0"},
        {R"({"drives": [{"letter": "C", "disk": 1.5}]})", "case.json: drives[0].disk: wrong type"},
        {R"({"drives": [{"letter": "C", "disk": 4294967296}]})",
         "case.json: drives[0].disk: number out of range: 4294967296 is more than 4294967295"},
        {R"({"drives": [{"letter": "C", "disk": 0, "openable": 1}]})",
         "case.json: drives[0].openable: wrong type: expected true or false"},
        {R"({"drives": [{"letter": "c", "disk": 0}]})",
         R"(case.json: drives[0].letter: "c" is not a drive letter: )"},
        {R"({"drives": [{"letter": "CD", "disk": 0}]})", "case.json: drives[0].letter:"},
        {R"({"drives": [{"letter": 5, "disk": 0}]})",
         "case.json: drives[0].letter: wrong type: expected a string"},
        {R"({"drives": [{"letter": "C"}]})", R"(case.json: drives[0]: missing key "disk")"},
        {R"({"drives": [{"disk": 0}]})", R"(case.json: drives[0]: missing key "letter")"},
        {R"({"service": {"sessions": [{"devices": [2]}]}})",
         R"(case.json: service.sessions[0]: missing key "target")"},
        {R"({"service": {"sessions": [{"target": 5}]}})", "case.json: service.sessions[0].target:"},
        {R"({"service": {"on_login": {"devices": ["2"]}}})",
         "case.json: service.on_login.devices[0]:"},
        {R"({"service": {"on_login": {"devices": [{"disk": 2, "lun": 256}]}}})",
         "case.json: service.on_login.devices[0]:"},
        {R"({"service": {"on_login": {"devices_after_ms": -5}}})",
         "case.json: service.on_login.devices_after_ms:"},
        // Above what valijson's int64_t reads as a positive number.
        {R"({"service": {"on_login": {"devices_after_ms": 9223372036854775808}}})",
         "case.json: service.on_login.devices_after_ms: number out of range: 9223372036854775808 "
         "is more than 9223372036854775807"},
        {R"({"service": {"targets": [{"target": "a"}]}})",
         R"(case.json: service.targets[0]: missing key "login_statuses")"},
        {R"({"service": {"reported_targets": ["iqn.a", ""]}})",
         R"(case.json: service.reported_targets[1]: "" is not a target name: at least one)"},
        {R"({"service": {"reported_targets": "iqn.a"}})",
         "case.json: service.reported_targets: wrong type: expected an array"},
        {R"({"events": [{"remove_drive": "E"}]})", R"(case.json: events[0]: missing key "at_ms")"},
        {R"({"events": [{"at_ms": 1}]})",
         R"(case.json: events[0]: needs exactly one of "add_drive" and "remove_drive")"},
        {R"({"events": [{"at_ms": 1, "remove_drive": "E", "add_drive": {"letter": "E",
           "disk": 1}}]})",
         "case.json: events[0]: needs exactly one of"},
        {R"({"events": [{"at_ms": 1, "remove_drive": "e"}]})",
         R"(case.json: events[0].remove_drive: "e" is not a drive letter)"},
        {R"({"drives": [{"letter": "C", "disk": 0, "in_use": "yes"}]})",
         "case.json: drives[0].in_use: wrong type: expected true or false"},
        {R"({"drives": [{"letter": "C", "disk": 0, "flush_error": -1}]})",
         "case.json: drives[0].flush_error: -1 is not a status: "},
        {R"({"service": {"on_login": {"drives": [{"letter": "F", "disk": 2,
                                                  "dismount_error": "50"}]}}})",
         R"(case.json: service.on_login.drives[0].dismount_error: "50" is not a status: )"},
        {R"({"service": {"logout_statuses": "0xEFFF0040"}})",
         "case.json: service.logout_statuses: wrong type: expected an array"},
        {R"({"service": {"targets": [{"target": "t", "login_statuses": [],
                                      "logout_statuses": [0, "busy"]}]}})",
         R"(case.json: service.targets[0].logout_statuses[1]: "busy" is not a status: )"},
        {R"({"service": {"targets": [{"target": "t", "on_login": {}}]}})",
         R"(case.json: service.targets[0]: missing key "login_statuses")"},
        {R"({"service": {"persistent_logins": [{"portal": {"address": "a"}}]}})",
         R"(case.json: service.persistent_logins[0]: missing key "target")"},
        {R"({"service": {"persistent_logins": [{"target": "t", "portal": {"port": 1}}]}})",
         R"(case.json: service.persistent_logins[0].portal: missing key "address")"},
        {R"({"service": {"persistent_logins": [{"target": "t", "portal": "a:3260"}]}})",
         "case.json: service.persistent_logins[0].portal: wrong type: expected an object"},
        {R"({"service": {"registered_portals": [{"address": "a", "port": 0}]}})",
         "case.json: service.registered_portals[0].port: number out of range: 0 is less than 1"},
        {R"({"service": {"registered_portals": [{"address": "a", "port": 65536}]}})",
         "case.json: service.registered_portals[0].port: number out of range: 65536 is more "
         "than 65535"},
        {R"({"service": {"registered_portals": [{"address": "a", "port": "3260"}]}})",
         "case.json: service.registered_portals[0].port: wrong type: expected a whole number "
         "from 1 to 65535"},
        {R"({"service": {"report_persistent_status": true}})",
         "case.json: service.report_persistent_status: true is not a status: "},
        {R"({"service": {"remove_portal_status": "0xEFFF00431"}})",
         R"(case.json: service.remove_portal_status: "0xEFFF00431" is not a status: )"},
        {R"({"cancel_at_ms": -1})",
         "case.json: cancel_at_ms: number out of range: -1 is less than 0"},
        {R"({"cancel_at_ms": 1.5})", "case.json: cancel_at_ms: wrong type"},
        {R"({"service": {"cancel_at_ms": 5}})",
         R"(case.json: service: unknown key "cancel_at_ms")"},
        // Credentials: a target or a portal with them may leave its answers out, not both.
        {R"({"service": {"targets": [{"target": "a", "logout_statuses": []}]}})",
         R"(case.json: service.targets[0]: missing key "login_statuses" or "chap")"},
        {R"({"service": {"portals": [{"address": "a"}]}})",
         R"(case.json: service.portals[0]: missing key "status", "chap" or "targets")"},
        {R"({"service": {"targets": [{"target": "a", "chap": {"user": "u"}}]}})",
         R"(case.json: service.targets[0].chap: missing key "secret")"},
        {R"({"service": {"portals": [{"address": "a", "chap": {"secret": "s"}}]}})",
         R"(case.json: service.portals[0].chap: missing key "user")"},
        {R"({"service": {"targets": [{"target": "a", "chap": {"user": "", "secret": "s"}}]}})",
         R"(case.json: service.targets[0].chap.user: "" is not a CHAP user name: )"},
        {R"({"service": {"targets": [{"target": "a", "chap": {"user": "u\u0000v",
                                                           "secret": "s"}}]}})",
         R"(case.json: service.targets[0].chap.user: "u\u0000v" is not a CHAP user name: )"},
        {R"({"service": {"targets": [{"target": "a", "chap": "u:s"}]}})",
         "case.json: service.targets[0].chap: wrong type: expected an object"},
        {R"({"service": {"targets": [{"target": "a", "chap": {"user": "u", "secret": "s",
                                                           "mutual": true}}]}})",
         R"(case.json: service.targets[0].chap: unknown key "mutual")"},
        {R"({"service": {"targets": [{"target": "a", "login_statuses": [],
                                      "initiator_secret": "s"}]}})",
         R"(case.json: service.targets[0]: "initiator_secret" needs "chap")"},
        {R"({"service": {"chap": {"user": "u", "secret": "s"}}})",
         R"(case.json: service: unknown key "chap")"},
    };
    for (const auto &each : cases) {
        EXPECT_EQ(ParseError(each.text).rfind(each.where, 0), 0u) << each.text;
    }
}

TEST(ScenarioFile, StatusesAreWholeNumbersOrHexStrings) {
    const auto status = [](const std::string &value) {
        const Scenario scenario = Parsed(R"({"service": {"ike_status": )" + value + "}}");
        return scenario.ikeStatus;
    };
    EXPECT_EQ(status("0"), 0u);
    EXPECT_EQ(status("3221225477"), 3221225477u);
    EXPECT_EQ(status(R"("0xEFFF003F")"), 0xEFFF003Fu);
    EXPECT_EQ(status(R"("0xefff003f")"), 0xEFFF003Fu);
    EXPECT_EQ(status(R"("0X1")"), 1u);
    EXPECT_EQ(status(R"("0xFFFFFFFF")"), 0xFFFFFFFFu);
    // Integral numbers in any spelling are the integers JSON Schema takes them for; "-0" once
    // sent the reader to the hexadecimal path, past the end of an empty string.
    EXPECT_EQ(status("-0"), 0u);
    EXPECT_EQ(status("-0.0"), 0u);
    EXPECT_EQ(status("5.0"), 5u);
    EXPECT_EQ(status("1e2"), 100u);
    EXPECT_EQ(status("1E+2"), 100u);
    EXPECT_EQ(status("4294967295.0"), 4294967295u);
    EXPECT_EQ(status("0.4294967295e10"), 4294967295u);

    // The message shows the value as read; a container only as its brackets.
    const struct {
        const char *text;
        const char *shown;
    } bad[] = {
        {R"("EFFF003F")", R"("EFFF003F")"},
        {R"("0x")", R"("0x")"},
        {R"("0x100000000")", R"("0x100000000")"},
        {R"("0xEFFF00G3")", R"("0xEFFF00G3")"},
        {R"("12")", R"("12")"},
        {"-1", "-1"},
        {"-1.0", "-1"},
        {"4294967296", "4294967296"},
        {"4294967296.0", "4294967296"},
        {"1.5", "1.5"},
        {"1e-2", "0.01"},
        {"true", "true"},
        {"null", "null"},
        {"[]", "[]"},
        {"[0]", "[...]"},
        {"{}", "{}"},
        {R"({"a": 1})", "{...}"},
    };
    for (const auto &each : bad) {
        const std::string error =
            ParseError(R"({"service": {"ike_status": )" + std::string(each.text) + "}}");
        EXPECT_EQ(error.rfind("case.json: service.ike_status: " + std::string(each.shown) +
                                  " is not a status: ",
                              0),
                  0u)
            << error;
        EXPECT_NE(error.find("0xEFFF003F"), std::string::npos) << "the message shows the form";
    }
}

TEST(ScenarioFile, ReadsTheCredentialsThatTargetsAndPortalsDemand) {
    const Scenario scenario = Parsed(R"({"service": {
      "portals": [{"address": "192.0.2.1", "chap": {"user": "finder", "secret": "d1sc0very-pass"}},
                  {"address": "192.0.2.2", "status": 5, "chap": {"user": "u", "secret": "\u00e9"}},
                  {"address": "192.0.2.3", "status": 7}],
      "targets": [{"target": "iqn.a", "chap": {"user": "alice", "secret": "0123456789ab"}},
                  {"target": "iqn.b", "login_statuses": [9],
                   "chap": {"user": "bob", "secret": "b0b-secret-16byt"},
                   "initiator_secret": "mutual-secret"},
                  {"target": "iqn.c", "login_statuses": []}]}})");
    ASSERT_EQ(scenario.portals.size(), 3u);
    // A portal with credentials alone answers 0 to the right ones.
    EXPECT_EQ(scenario.portals[0].status, 0u);
    ASSERT_TRUE(scenario.portals[0].chap.has_value());
    EXPECT_EQ(scenario.portals[0].chap->user, "finder");
    EXPECT_EQ(scenario.portals[0].chap->secret, "d1sc0very-pass");
    EXPECT_EQ(scenario.portals[1].status, 5u);
    EXPECT_EQ(scenario.portals[1].chap->secret, "\xC3\xA9"); // a secret is the text's bytes
    EXPECT_FALSE(scenario.portals[2].chap.has_value());

    ASSERT_EQ(scenario.targets.size(), 3u);
    EXPECT_TRUE(scenario.targets[0].loginStatuses.empty());
    ASSERT_TRUE(scenario.targets[0].chap.has_value());
    EXPECT_EQ(scenario.targets[0].chap->user, "alice");
    EXPECT_EQ(scenario.targets[0].chap->secret, "0123456789ab");
    EXPECT_FALSE(scenario.targets[0].initiatorSecret.has_value());
    EXPECT_EQ(scenario.targets[1].loginStatuses, (std::vector<scenario::Status>{9}));
    EXPECT_EQ(scenario.targets[1].initiatorSecret, std::optional<std::string>("mutual-secret"));
    EXPECT_FALSE(scenario.targets[2].chap.has_value());
    EXPECT_FALSE(scenario.targets[2].initiatorSecret.has_value());
}

// Whether `text` holds any four bytes in a row of `secret`.
bool HoldsPartOf(const std::string &text, const std::string &secret) {
    for (std::size_t at = 0; at + 4 <= secret.size(); ++at) {
        if (text.find(secret.substr(at, 4)) != std::string::npos) {
            return true;
        }
    }
    return false;
}

// A secret in a scenario is test data, but a kit reads its file inside someone's program and
// writes the message to the debug channel: the message names the key, never the value, also
// where the JSON in the value is broken and the parser would quote what it read.
TEST(ScenarioFile, NoMessageShowsASecret) {
    const std::string secret = "Qz7#kP2!vW9x";
    const std::string target = R"({"service": {"targets": [{"target": "t", "chap": {"user": "u", )";
    const std::string mutual =
        R"({"service": {"targets": [{"target": "t", "chap": {"user": "u", "secret": "s"}, )";
    const std::string secretRule =
        " is not a secret: at least one character, none of them NUL; its bytes (UTF-8) are "
        "the secret, and no "
        "message of the runner or the test kit ever shows them";
    const std::string inSecret = "; last read: the value of \"secret\", not shown";
    const struct {
        std::string text;
        std::string message;
    } cases[] = {
        {target + R"("secret": ""}}]}})",
         "case.json: service.targets[0].chap.secret: the value" + secretRule},
        {mutual + R"("initiator_secret": ""}]}})",
         "case.json: service.targets[0].initiator_secret: the value" + secretRule},
        {target + R"("secret": ")" + secret + R"(\u0000"}}]}})",
         "case.json: service.targets[0].chap.secret: the value" + secretRule},
        {target + R"("secret": 12}}]}})",
         "case.json: service.targets[0].chap.secret: wrong type: expected a string"},
        {target + R"("secret": [")" + secret + R"("]}}]}})",
         "case.json: service.targets[0].chap.secret: wrong type: expected a string"},
        // The parser stops inside the secret: what it read is left out.
        {target + R"("secret": ")" + secret + "\x01\"}}]}}",
         "case.json:1:87: malformed JSON: syntax error while parsing value - invalid string: "
         "control character U+0001 (SOH) must be escaped to \\u0001" +
             inSecret},
        {target + R"("secret": ")" + secret,
         "case.json:1:87: malformed JSON: syntax error while parsing value - invalid string: "
         "missing closing quote" +
             inSecret},
        {target + R"("secret": ")" + secret + "\xFF\"}}]}}",
         "case.json:1:87: malformed JSON: syntax error while parsing value - invalid string: "
         "ill-formed UTF-8 byte" +
             inSecret},
        {mutual + R"("initiator_secret": ")" + secret + R"(\q"}]}})",
         "case.json:1:114: malformed JSON: syntax error while parsing value - invalid string: "
         "forbidden character after backslash; last read: the value of \"initiator_secret\", "
         "not shown"},
        {target + R"("secret": 9)" + secret + "}}]}}",
         "case.json:1:75: malformed JSON: syntax error while parsing object - invalid literal" +
             inSecret + "; expected '}'"},
        {target + R"("secret": 1e999}}]}})",
         "case.json:1:78: malformed JSON: number overflow parsing the value of \"secret\", not "
         "shown"},
        // Past the secret the parser may still quote it with what follows.
        {target + R"("secret": ")" + secret + R"(" x}}]}})",
         "case.json:1:89: malformed JSON: syntax error while parsing object - invalid literal" +
             inSecret + "; expected '}'"},
        {target + R"("secret": ")" + secret + std::string("\0", 1) + R"("}}]}})",
         "case.json:1:87: malformed JSON: a NUL byte, which JSON text cannot hold"},
        // A key is a secret's however it is spelt.
        {target + R"("secr\u0065t": ")" + secret + "\x01\"}}]}}",
         "case.json:1:92: malformed JSON: syntax error while parsing value - invalid string: "
         "control character U+0001 (SOH) must be escaped to \\u0001" +
             inSecret},
        // Elsewhere the parser's quote is shown, as in any file.
        {R"({"service": {"targets": [{"target": "t", "chap": {"user": "u)" + std::string("\x01") +
             R"(", "secret": ")" + secret + R"("}}]}})",
         "case.json:1:61: malformed JSON: syntax error while parsing value - invalid string: "
         "control character U+0001 (SOH) must be escaped to \\u0001; last read: '\"u<U+0001>'"},
        {target + R"("secret": ")" + secret + R"(", "secret": "x"}}]}})",
         R"(case.json: service.targets[0].chap: duplicate key "secret")"},
    };
    for (const auto &each : cases) {
        const std::string error = ParseError(each.text);
        EXPECT_EQ(error, each.message) << each.text;
        EXPECT_FALSE(HoldsPartOf(error, secret)) << error;
    }
}

std::string Repeated(const std::string &text, std::size_t times) {
    std::string repeated;
    for (std::size_t i = 0; i < times; ++i) {
        repeated += text;
    }
    return repeated;
}

bool HasControlCharacter(const std::string &text) {
    return std::any_of(text.begin(), text.end(), [](char byte) {
        return static_cast<unsigned char>(byte) < 0x20 || byte == 0x7F;
    });
}

// What people write by hand and what an attacker crafts: each file gets one line that names
// the fault, the large ones made here. Before, the deep ones overflowed the stack while the
// message was built, NUL ended the text or a name, and long values hid the rule.
TEST(ScenarioFile, HostileFilesGetOneLineEach) {
    const std::string status = R"({"service": {"ike_status": )";
    const std::string deepArrays = Repeated("[", 100000) + Repeated("]", 100000);
    const std::string longName(10000, 'n');
    const std::string shownName = "\"" + std::string(40, 'n') + "...\"";
    const std::string statusRule = " is not a status: a whole number from 0 to 4294967295, or "
                                   "\"0x\" and 1 to 8 hexadecimal digits such as \"0xEFFF003F\"";
    const std::string nameRule =
        " is not a name: a text without a NUL character, which would end it where it becomes "
        "a C string";
    const struct {
        std::string text;
        std::string message;
    } cases[] = {
        // Level 65 opens at column 28 + 62 in the status, at 1 + 64 * 5 in the objects.
        {status + deepArrays + "}}", "case.json:1:90: nested deeper than 64 levels"},
        {Repeated(R"({"a":)", 100000) + "1" + Repeated("}", 100000),
         "case.json:1:321: nested deeper than 64 levels"},
        {std::string(vxd::scenario::kMaxScenarioBytes, '['),
         "case.json:1:65: nested deeper than 64 levels"},
        {status + Repeated("[", 62) + Repeated("]", 62) + "}}",
         "case.json: service.ike_status: [...]" + statusRule},
        // Brackets in strings do not nest.
        {status + "\"" + std::string(1000, '[') + "\"}}",
         "case.json: service.ike_status: \"" + std::string(40, '[') + "...\"" + statusRule},
        {"{}" + std::string(vxd::scenario::kMaxScenarioBytes - 1, ' '),
         "case.json: larger than 1 MiB: a scenario file holds at most 1048576 bytes"},
        // A NUL is an error where it stands, not the end of the text.
        {std::string("{}\0junk", 7),
         "case.json:1:3: malformed JSON: a NUL byte, which JSON text cannot hold"},
        {std::string("{\n  \"drives\": [\0]\n}", 19),
         "case.json:2:14: malformed JSON: a NUL byte, which JSON text cannot hold"},
        {std::string("{\"a\0\": 1}", 9),
         "case.json:1:4: malformed JSON: a NUL byte, which JSON text cannot hold"},
        // ... but a syntax error before it comes first.
        {std::string("{,}\0", 4),
         "case.json:1:2: malformed JSON: syntax error while parsing object key - unexpected ','; "
         "expected string literal"},
        // Names become C strings: "iqn.a\0tail" would have been a second "iqn.a".
        {R"({"service": {"reported_targets": ["iqn.a", "iqn.a\u0000tail"]}})",
         "case.json: service.reported_targets[1]: \"iqn.a\\u0000tail\" is not a target name: at "
         "least one character, none of them NUL"},
        {R"({"service": {"targets": [{"target": "\u0000", "login_statuses": []}]}})",
         "case.json: service.targets[0].target: \"\\u0000\"" + nameRule},
        {R"({"service": {"sessions": [{"target": "iqn.x\u0000"}]}})",
         "case.json: service.sessions[0].target: \"iqn.x\\u0000\"" + nameRule},
        {R"({"service": {"portals": [{"address": "1.2.3.4\u0000:9", "status": 0}]}})",
         "case.json: service.portals[0].address: \"1.2.3.4\\u0000:9\"" + nameRule},
        {R"({"service": {"persistent_logins": [{"target": "iqn.x\u0000y"}]}})",
         "case.json: service.persistent_logins[0].target: \"iqn.x\\u0000y\"" + nameRule},
        {R"({"service": {"persistent_logins": [{"target": "iqn.x",
                                                "portal": {"address": "\u0000"}}]}})",
         "case.json: service.persistent_logins[0].portal.address: \"\\u0000\"" + nameRule},
        {R"({"service": {"registered_portals": [{"address": "10.0.0.1\u0000"}]}})",
         "case.json: service.registered_portals[0].address: \"10.0.0.1\\u0000\"" + nameRule},
        // Control characters are escaped, keys compared whole.
        {R"({"service": {"a\nb": 1}})", R"(case.json: service: unknown key "a\nb")"},
        {R"({"drives\u0000x": []})", R"(case.json: unknown key "drives\u0000x")"},
        {R"({"a\u007f\u0085\u2028\"\\": 1})",
         R"(case.json: unknown key "a\u007f\u0085\u2028\"\\")"},
        {status + R"("\u001b[31m0"}})",
         R"(case.json: service.ike_status: "\u001b[31m0")" + statusRule},
        {"{\"a\tb\": 1}", "case.json:1:4: malformed JSON: syntax error while parsing object key - "
                          "invalid string: control character U+0009 (HT) must be escaped to "
                          "\\u0009 or \\t; last read: '\"a<U+0009>'; expected string literal"},
        // A byte-order mark is no column.
        {"\xEF\xBB\xBF{,}", "case.json:1:2: malformed JSON: syntax error while parsing object key "
                            "- unexpected ','; expected string literal"},
        // The parser's words without its tag, and what it quotes cut.
        {status + "1e999}}", "case.json:1:32: malformed JSON: number overflow parsing '1e999'"},
        {status + std::string(400, '9') + "e999}}",
         "case.json:1:431: malformed JSON: number overflow parsing '" + std::string(40, '9') +
             "...'"},
        {status + "\"" + longName + "\x01\"}}",
         "case.json:1:10029: malformed JSON: syntax error while parsing value - invalid string: "
         "control character U+0001 (SOH) must be escaped to \\u0001; last read: '\"" +
             std::string(39, 'n') + "...'"},
        {status + "\"\xFF\"}}",
         "case.json:1:29: malformed JSON: syntax error while parsing value - "
         "invalid string: ill-formed UTF-8 byte; last read: '\"\xFF'"},
        // Long values and paths are cut, so that the rule shows.
        {status + "\"" + longName + "\"}}",
         "case.json: service.ike_status: " + shownName + statusRule},
        {"{\"" + longName + "\": 1}", "case.json: unknown key " + shownName},
        {R"({"service": {"reported_targets": [")" + longName + R"(", ")" + longName + R"("]}})",
         "case.json: service.reported_targets[1]: target " + shownName + " listed twice"},
        {Repeated("{\"" + longName + "\": ", 60) + R"({"b": 1, "b": 2})" + Repeated("}", 60),
         "case.json: " + std::string(40, 'n') + "...." + std::string(36, 'n') + "..." +
             std::string(33, 'n') + "...." + std::string(40, 'n') + "...: duplicate key \"b\""},
        // One bad item among many is explained without a report on every other.
        {R"({"service": {"login_statuses": [)" + Repeated("\"x\", ", 20000) + "0]}}",
         "case.json: service.login_statuses[0]: \"x\"" + statusRule},
        {R"({"service": {"login_statuses": [)" + Repeated("0, ", 20000) + "\"x\"]}}",
         "case.json: service.login_statuses[20000]: \"x\"" + statusRule},
    };
    for (const auto &each : cases) {
        const std::string error = ParseError(each.text);
        EXPECT_EQ(error, each.message) << each.text.substr(0, 80);
        EXPECT_FALSE(HasControlCharacter(error)) << error;
        EXPECT_LT(error.size(), 400u);
    }

    // The limits are inclusive, and the file's name is on one line too.
    Scenario scenario;
    std::string error;
    EXPECT_TRUE(ParseScenario("{}" + std::string(vxd::scenario::kMaxScenarioBytes - 2, ' '),
                              "case.json", scenario, error))
        << error;
    EXPECT_FALSE(ParseScenario("{,}", "odd\nname.json", scenario, error));
    EXPECT_EQ(error.rfind("odd\\nname.json:1:2: malformed JSON: ", 0), 0u) << error;
    // A device that never ends is read no further than the limit.
    EXPECT_FALSE(LoadScenario("/dev/zero", scenario, error));
    EXPECT_EQ(error, "/dev/zero: larger than 1 MiB: a scenario file holds at most 1048576 bytes");
}

// The same moment: events in file order first, then the login's letters.
TEST(ScenarioStaging, SameMomentChangesApplyEventsFirstThenLoginLetters) {
    // F from an event on a foreign disk is replaced by the login's F on the session's disk,
    // and G, added and removed at one moment, is never seen.
    const Scenario scenario = Parsed(R"({
      "drives": [{"letter": "C", "disk": 0}],
      "service": {"on_login": {"devices": [2],
                               "drives": [{"letter": "F", "disk": 2, "after_ms": 1500}]}},
      "events": [{"at_ms": 1000, "add_drive": {"letter": "G", "disk": 5}},
                 {"at_ms": 1000, "remove_drive": "G"},
                 {"at_ms": 1500, "add_drive": {"letter": "F", "disk": 9}}]
    })");
    sim::Machine machine;
    StageScenario(scenario, machine);
    EXPECT_EQ(CreateVXD("192.0.2.10", "3260", "iqn.x", "", ""), 1);
    // A match at the third poll; F on disk 9 or a lingering G would have run the polls out.
    EXPECT_EQ(machine.Now(), 2000u);
    EXPECT_EQ(machine.DriveLetters(), "CF");
    EXPECT_EQ(machine.TraceTexts().back(), "Task Disk F:\\");
}

TEST(ScenarioStaging, ListedSessionsStandBeforeTheRequest) {
    Scenario scenario = Parsed(R"({
      "drives": [{"letter": "C", "disk": 0}, {"letter": "E", "disk": 3}],
      "service": {"login_statuses": ["0xEFFF003F"],
                  "sessions": [{"target": "iqn.other", "devices": [7]},
                               {"target": "iqn.x", "devices": [3]}]}
    })");
    sim::Machine machine;
    StageScenario(scenario, machine);
    EXPECT_EQ(machine.SessionCount(), 2u);
    EXPECT_EQ(CreateVXD("192.0.2.10", "3260", "iqn.x", "", ""), 1);
    EXPECT_EQ(machine.TraceTexts().back(), "Task Disk E:\\");
    EXPECT_EQ(machine.Now(), 0u);
}

// Requests to different portals and targets each get their own answers, and each target
// counts its own logins.
TEST(ScenarioStaging, PortalsAndTargetsGetAnswersOfTheirOwn) {
    const Scenario scenario = Parsed(R"({
      "drives": [{"letter": "C", "disk": 0}],
      "service": {"portals": [{"address": "192.0.2.1", "status": "0xEFFF0003"}],
                  "login_statuses": ["0xEFFF0012"],
                  "targets": [{"target": "iqn.x", "login_statuses": ["0xEFFF0012", 0]}],
                  "on_login": {"drives": [{"letter": "F", "disk": 2}]}}
    })");
    sim::Machine machine;
    StageScenario(scenario, machine);
    EXPECT_EQ(CreateVXD("192.0.2.1", "3260", "iqn.x", "", ""), 0);
    EXPECT_TRUE(machine.CallsTo("LoginIScsiTargetA").empty());
    EXPECT_EQ(CreateVXD("192.0.2.10", "3260", "iqn.y", "", ""), 0);
    EXPECT_EQ(machine.CallsTo("LoginIScsiTargetA").size(), 2u);
    // iqn.y's two failed logins leave iqn.x at its first status: the retry succeeds.
    EXPECT_EQ(CreateVXD("192.0.2.10", "3260", "iqn.x", "", ""), 1);
    const auto logins = machine.CallsTo("LoginIScsiTargetA");
    ASSERT_EQ(logins.size(), 4u);
    EXPECT_EQ(logins[3].Arg("IsPersistent"), 1u);
    EXPECT_EQ(machine.TraceTexts().back(), "Task Disk F:\\");
}

void VXDMOUNT_CALL Collect(void *context, const char *line) {
    static_cast<std::vector<std::string> *>(context)->push_back(line);
}

VxdAttachResult AttachTo(const char *target, int expected) {
    VxdAttachRequest request{};
    request.size = sizeof request;
    request.portalAddress = "192.0.2.10";
    request.targetName = target;
    VxdAttachResult result{};
    result.size = sizeof result;
    EXPECT_EQ(VxdAttach(&request, &result), expected) << target;
    return result;
}

struct DetachOutcome {
    int status;
    VxdDetachResult result;
};

DetachOutcome DetachFrom(const char *target, unsigned long flags) {
    VxdDetachRequest request{};
    request.size = sizeof request;
    request.targetName = target;
    request.portalAddress = "192.0.2.10";
    request.flags = flags;
    DetachOutcome outcome{};
    outcome.result.size = sizeof outcome.result;
    outcome.status = VxdDetach(&request, &outcome.result);
    return outcome;
}

// Two targets logged in at once each bring the letters of their own login, and a logout takes
// away only its session's.
TEST(ScenarioStaging, TargetsWithLoginEffectsOfTheirOwnBringTheirOwnLetters) {
    const Scenario scenario = Parsed(R"({
      "drives": [{"letter": "C", "disk": 0}],
      "service": {"targets": [{"target": "iqn.a", "login_statuses": [],
                               "on_login": {"devices": [3],
                                            "drives": [{"letter": "G", "disk": 3,
                                                        "after_ms": 500}]}}],
                  "on_login": {"devices": [2],
                               "drives": [{"letter": "F", "disk": 2, "after_ms": 1500}]}}
    })");
    sim::Machine machine;
    StageScenario(scenario, machine);
    EXPECT_STREQ(AttachTo("iqn.a", VXD_STATUS_OK).letters, "G");
    EXPECT_STREQ(AttachTo("iqn.b", VXD_STATUS_OK).letters, "F");
    EXPECT_EQ(machine.DriveLetters(), "CFG");
    const DetachOutcome detached = DetachFrom("iqn.a", 0);
    EXPECT_EQ(detached.status, VXD_STATUS_OK);
    EXPECT_STREQ(detached.result.letters, "G");
    EXPECT_EQ(machine.DriveLetters(), "CF");
    // A later login brings its letter again.
    EXPECT_STREQ(AttachTo("iqn.a", VXD_STATUS_OK).letters, "G");
    EXPECT_EQ(machine.DriveLetters(), "CFG");
}

// What the file says of persistent logins, registered portals, volumes and the service's
// refusals, as VxdDetach meets it.
TEST(ScenarioStaging, DetachMeetsTheFilesLoginsPortalsVolumesAndRefusals) {
    const auto file = [](const std::string &driveKeys, const std::string &serviceKeys) {
        return R"({"drives": [{"letter": "C", "disk": 0}, {"letter": "F", "disk": 2)" + driveKeys +
               R"(}],
          "service": {"sessions": [{"target": "iqn.x", "devices": [2]}],
                      "persistent_logins": [
                        {"target": "IQN.X", "portal": {"address": "192.0.2.10", "port": 860}},
                        {"target": "iqn.other"}],
                      "registered_portals": [{"address": "192.0.2.10"}])" +
               serviceKeys + "}}";
    };
    const struct {
        const char *name;
        std::string text;
        unsigned long flags;
        int status;
        sim::ISDSC_STATUS serviceStatus;
        bool loggedOut;
        sim::Ms endsAt;
    } cases[] = {
        {"as attached", file("", ""), 0, VXD_STATUS_OK, 0, true, 0},
        {"a volume in use", file(R"(, "in_use": true)", ""), 0, VXD_STATUS_VOLUME_IN_USE, 5, false,
         0},
        {"a volume in use, forced", file(R"(, "in_use": true)", ""), VXD_DETACH_FORCE,
         VXD_STATUS_OK, 0, true, 0},
        {"a flush that fails", file(R"(, "flush_error": 1117)", ""), 0, VXD_STATUS_VOLUME_IN_USE,
         1117, false, 0},
        {"a folder-backed drive", file(R"(, "flush_error": 1, "dismount_error": 50)", ""), 0,
         VXD_STATUS_OK, 0, true, 0},
        {"a device the service finds busy", file("", R"(, "logout_statuses": ["0xEFFF0040"])"), 0,
         VXD_STATUS_VOLUME_IN_USE, 0xEFFF0040, false, 10000},
        {"the target's own logouts win", file("", R"(, "logout_statuses": ["0xEFFF0040"],
                    "targets": [{"target": "iqn.x", "login_statuses": [],
                                 "logout_statuses": ["0xEFFF001F", 0]}])"),
         0, VXD_STATUS_OK, 0, true, 1000},
        {"a persistent login that stays", file("", R"(, "remove_persistent_status": "0xEFFF0001")"),
         0, VXD_STATUS_LOGOUT_FAILED, 0xEFFF0001, true, 0},
        {"no list of persistent logins", file("", R"(, "report_persistent_status": 1722)"), 0,
         VXD_STATUS_SERVICE_UNAVAILABLE, 1722, false, 0},
    };
    for (const auto &each : cases) {
        for (const unsigned long removePortal :
             {0ul, static_cast<unsigned long>(VXD_DETACH_REMOVE_PORTAL)}) {
            sim::Machine machine;
            StageScenario(Parsed(each.text), machine);
            const DetachOutcome detached = DetachFrom("iqn.x", each.flags | removePortal);
            EXPECT_EQ(detached.status, each.status) << each.name;
            EXPECT_EQ(detached.result.serviceStatus, each.serviceStatus) << each.name;
            EXPECT_EQ(machine.SessionCount(), each.loggedOut ? 0u : 1u) << each.name;
            EXPECT_EQ(machine.DriveLetters(), each.loggedOut ? "C" : "CF") << each.name;
            EXPECT_EQ(machine.Now(), each.endsAt) << each.name;
            const bool done = each.status == VXD_STATUS_OK;
            // The persistent login listed with its portal is the one removed; the other
            // target's stays.
            ASSERT_EQ(machine.persistentLogins.size(), done ? 1u : 2u) << each.name;
            EXPECT_EQ(machine.persistentLogins.back().target, "iqn.other") << each.name;
            EXPECT_EQ(machine.portals.size(), done && removePortal != 0 ? 0u : 1u) << each.name;
            EXPECT_TRUE(machine.Faults().empty()) << each.name;
        }
    }

    // The service's own answer to removing a portal gives way to the file's.
    sim::Machine machine;
    StageScenario(Parsed(file("", R"(, "remove_portal_status": "0xEFFF0001")")), machine);
    const DetachOutcome refused = DetachFrom("iqn.x", VXD_DETACH_REMOVE_PORTAL);
    EXPECT_EQ(refused.status, VXD_STATUS_PORTAL_FAILED);
    EXPECT_EQ(refused.result.serviceStatus, 0xEFFF0001u);
    EXPECT_EQ(machine.portals.size(), 1u);
}

TEST(RunnerArguments, NoPositionalArgumentsMountTheDefaultTarget) {
    Options options;
    std::string error;
    ASSERT_TRUE(ParseArguments({"--timeline"}, options, error)) << error;
    EXPECT_TRUE(options.timeline);
    EXPECT_FALSE(options.realTime);
    EXPECT_TRUE(options.scenarioPath.empty());
    EXPECT_EQ(options.portalAddress, "192.0.2.10");
    EXPECT_EQ(options.portalPort, "3260");
    EXPECT_EQ(options.targetName, "iqn.2026-12.com.example:disk1");
    EXPECT_EQ(options.extra1, "");
    EXPECT_EQ(options.extra2, "");
}

TEST(RunnerArguments, OptionsMayStandAnywhereAndDoubleDashEndsThem) {
    Options options;
    std::string error;
    ASSERT_TRUE(ParseArguments({"10.0.0.1", "--scenario", "a.json", "860", "--real-time", "iqn.t",
                                "--", "-x", "--timeline"},
                               options, error))
        << error;
    EXPECT_EQ(options.scenarioPath, "a.json");
    EXPECT_TRUE(options.realTime);
    EXPECT_FALSE(options.timeline);
    EXPECT_EQ(options.portalAddress, "10.0.0.1");
    EXPECT_EQ(options.portalPort, "860");
    EXPECT_EQ(options.targetName, "iqn.t");
    EXPECT_EQ(options.extra1, "-x");
    EXPECT_EQ(options.extra2, "--timeline");

    Options joined;
    ASSERT_TRUE(ParseArguments({"--scenario=b.json"}, joined, error)) << error;
    EXPECT_EQ(joined.scenarioPath, "b.json");
}

TEST(RunnerArguments, AttachAndDetachTakeTheirOwnOptionsAndArguments) {
    Options attach;
    std::string error;
    ASSERT_TRUE(
        ParseArguments({"attach", "--device-wait", "2.5", "10.0.0.1", "--letter-wait=7", "860",
                        "--keep-on-failure", "--cancel-at", "1500", "iqn.t", "--timeline",
                        "--online", "--assign-letter", "--mount-folder", "C:\\mnt\\data"},
                       attach, error))
        << error;
    EXPECT_EQ(attach.flags, unsigned{VXD_ATTACH_BRING_ONLINE | VXD_ATTACH_ASSIGN_LETTER});
    EXPECT_EQ(attach.mountFolder, "C:\\mnt\\data");
    EXPECT_EQ(attach.command, Command::kAttach);
    EXPECT_EQ(attach.deviceWaitMs, 2500u);
    EXPECT_EQ(attach.letterWaitMs, 7000u);
    EXPECT_TRUE(attach.keepOnFailure);
    EXPECT_EQ(attach.cancelAtMs, std::optional<sim::Ms>(1500));
    EXPECT_TRUE(attach.timeline);
    EXPECT_EQ(attach.portalAddress, "10.0.0.1");
    EXPECT_EQ(attach.portalPort, "860");
    EXPECT_EQ(attach.targetName, "iqn.t");

    // Without arguments the defaults; the waits left to the library.
    Options plain;
    ASSERT_TRUE(ParseArguments({"attach"}, plain, error)) << error;
    EXPECT_EQ(plain.command, Command::kAttach);
    EXPECT_EQ(plain.deviceWaitMs, 0u);
    EXPECT_EQ(plain.letterWaitMs, 0u);
    EXPECT_FALSE(plain.keepOnFailure);
    EXPECT_FALSE(plain.cancelAtMs.has_value());
    EXPECT_EQ(plain.targetName, "iqn.2026-12.com.example:disk1");
    for (const auto &[text, milliseconds] : std::vector<std::pair<std::string, unsigned long>>{
             {"0", 0}, {"0.001", 1}, {"1.25", 1250}, {"4294967.295", 4294967295ul}}) {
        Options waits;
        ASSERT_TRUE(ParseArguments({"attach", "--letter-wait", text}, waits, error)) << text;
        EXPECT_EQ(waits.letterWaitMs, milliseconds) << text;
    }

    Options detach;
    ASSERT_TRUE(
        ParseArguments({"detach", "--force", "--remove-portal", "10.0.0.2", "3261", "--", "-iqn.t"},
                       detach, error))
        << error;
    EXPECT_EQ(detach.command, Command::kDetach);
    EXPECT_TRUE(detach.force);
    EXPECT_TRUE(detach.removePortal);
    EXPECT_EQ(detach.portalAddress, "10.0.0.2");
    EXPECT_EQ(detach.portalPort, "3261");
    EXPECT_EQ(detach.targetName, "-iqn.t");

    // 1.5: one LUN, for either call; a re-open; the initiator and its port.
    Options lun;
    ASSERT_TRUE(ParseArguments({"detach", "--lun", "0"}, lun, error)) << error;
    EXPECT_EQ(lun.flags, unsigned{VXD_DETACH_ONE_LUN});
    Options paths;
    ASSERT_TRUE(ParseArguments({"attach", "--multipath", "--portal", "10.0.0.4:861"}, paths, error))
        << error;
    EXPECT_EQ(paths.flags, unsigned{VXD_ATTACH_MULTIPATH});
    EXPECT_EQ(paths.extraPortals,
              (std::vector<std::pair<std::string, unsigned short>>{{"10.0.0.4", 861}}));
    Options reopen;
    ASSERT_TRUE(ParseArguments({"attach", "--lun=255", "--no-login", "--initiator", "HBA:2"},
                               reopen, error))
        << error;
    EXPECT_EQ(reopen.flags, unsigned{VXD_ATTACH_ONE_LUN | VXD_ATTACH_NO_LOGIN});
    EXPECT_EQ(reopen.lun, 255u);
    EXPECT_EQ(reopen.initiatorInstance, "HBA");
    EXPECT_EQ(reopen.initiatorPort, 2u);
    Options targets;
    ASSERT_TRUE(ParseArguments({"targets", "10.0.0.3", "861"}, targets, error)) << error;
    EXPECT_EQ(targets.command, Command::kTargets);
    EXPECT_EQ(targets.portalAddress, "10.0.0.3");
    EXPECT_EQ(targets.portalPort, "861");
    Options known;
    ASSERT_TRUE(ParseArguments({"targets"}, known, error)) << error;
    EXPECT_TRUE(known.portalAddress.empty());
    for (const std::vector<std::string> &refused :
         {std::vector<std::string>{"attach", "--lun", "256"},
          {"--lun", "1"},
          {"attach", "--initiator", ":1"},
          {"attach", "--initiator", "HBA:x"},
          {"targets", "a", "1", "b"},
          {"targets", "--mutual-chap", "a"}}) {
        Options bad;
        std::string why;
        EXPECT_FALSE(ParseArguments(refused, bad, why)) << refused.back();
    }

    // CHAP: the user name and where each secret comes from; the flags.
    Options chap;
    ASSERT_TRUE(
        ParseArguments({"attach", "--chap-user", "alice", "--chap-secret-file=/s",
                        "--initiator-secret-file", "/i", "--discovery-chap", "--mutual-chap"},
                       chap, error))
        << error;
    EXPECT_EQ(chap.chap.user, "alice");
    EXPECT_EQ(chap.chap.secretFile, "/s");
    EXPECT_FALSE(chap.chap.secretFromStandardInput);
    EXPECT_EQ(chap.chap.initiatorSecretFile, "/i");
    EXPECT_TRUE(chap.chap.discovery);
    EXPECT_TRUE(chap.chap.mutual);
    EXPECT_EQ(chap.targetName, "iqn.2026-12.com.example:disk1");
    Options piped;
    ASSERT_TRUE(ParseArguments({"attach", "--chap-secret-stdin", "--chap-user=bob"}, piped, error))
        << error;
    EXPECT_TRUE(piped.chap.secretFromStandardInput);
    EXPECT_EQ(piped.chap.user, "bob");
    EXPECT_FALSE(plain.chap.Any());

    // A first word "attach" after "--" is a portal, as CreateVXD always took it.
    Options portal;
    ASSERT_TRUE(ParseArguments({"--", "attach", "860", "iqn.t"}, portal, error)) << error;
    EXPECT_EQ(portal.command, Command::kCreateVxd);
    EXPECT_EQ(portal.portalAddress, "attach");
}

TEST(RunnerArguments, UsageErrors) {
    const std::vector<std::vector<std::string>> bad = {
        {"10.0.0.1"},
        {"10.0.0.1", "860"},
        {"10.0.0.1", "860", "iqn.t", "a", "b", "c"},
        {"--fast"},
        {"-1", "860", "iqn.t"},
        {"--scenario"},
        {"--scenario="},
        // A command is the first argument, and each has its own options and arguments.
        {"--timeline", "attach"},
        {"attach", "10.0.0.1"},
        {"attach", "10.0.0.1", "860", "iqn.t", "extra"},
        {"attach", "10.0.0.1", "port", "iqn.t"},
        {"attach", "10.0.0.1", "65536", "iqn.t"},
        {"attach", "10.0.0.1", "-1", "iqn.t"},
        {"attach", "--device-wait"},
        {"attach", "--device-wait", "-1"},
        {"attach", "--device-wait", "1.2345"},
        {"attach", "--device-wait", "1."},
        {"attach", "--letter-wait", "4294967.296"},
        {"attach", "--letter-wait=1e3"},
        {"attach", "--cancel-at", "soon"},
        {"attach", "--cancel-at", "9223372036854775808"},
        {"attach", "--force"},
        {"attach", "--scenario"},
        {"detach", "--keep-on-failure"},
        {"detach", "--cancel-at", "5"},
        {"detach", "iqn.a", "iqn.b"},
        {"detach", "--remove-portal", "10.0.0.1"},
        {"detach", "--remove-portal", "10.0.0.1", "port", "iqn.t"},
        {"detach", "10.0.0.1", "3260", "iqn.t"},
        // CHAP: a user name with one secret, flags with both, and never a secret itself.
        {"attach", "--chap-user", "alice"},
        {"attach", "--chap-user"},
        {"attach", "--chap-user="},
        {"attach", "--chap-secret-file", "/s"},
        {"attach", "--chap-secret-stdin"},
        {"attach", "--chap-user", "a", "--chap-secret-file", "/s", "--chap-secret-stdin"},
        {"attach", "--chap-secret-stdin=yes", "--chap-user", "a"},
        {"attach", "--discovery-chap"},
        {"attach", "--mutual-chap"},
        {"attach", "--initiator-secret-file", "/i"},
        {"attach", "--chap-user", "a", "--chap-secret-file"},
        {"attach", "--chap-user", "a", "--chap-secret", "placeholder"},
        {"attach", "--chap-secret=placeholder"},
        {"detach", "--chap-user", "a", "--chap-secret-file", "/s"},
        {"--chap-user", "a", "--chap-secret-stdin"},
    };
    for (const auto &arguments : bad) {
        Options options;
        std::string error;
        EXPECT_FALSE(ParseArguments(arguments, options, error))
            << arguments[0] << " " << arguments.back();
        EXPECT_FALSE(error.empty());

        const RunOutcome run = RunWith(arguments);
        EXPECT_EQ(run.status, kExitUsage) << arguments[0];
        EXPECT_EQ(run.out, "");
        EXPECT_NE(run.err.find("usage: vxdmount"), std::string::npos) << run.err;
    }

    // What looks like a secret given on the command line is refused without being repeated.
    for (const std::vector<std::string> &arguments :
         {std::vector<std::string>{"attach", "--chap-secret=placeholder"},
          {"attach", "--initiator-secret=placeholder"},
          {"detach", "--password=placeholder"},
          {"--chap-secret=placeholder"}}) {
        const RunOutcome run = RunWith(arguments);
        EXPECT_EQ(run.status, kExitUsage);
        EXPECT_EQ(run.err.find("placeholder"), std::string::npos) << run.err;
    }
    Options options;
    std::string error;
    EXPECT_FALSE(ParseArguments({"attach", "--initiator-secret", "placeholder"}, options, error));
    EXPECT_EQ(error, "--initiator-secret: no option takes a secret on the command line, where "
                     "other users of the machine can read it; use --initiator-secret-file FILE");
    EXPECT_FALSE(ParseArguments({"attach", "--chap-user", "a"}, options, error));
    EXPECT_EQ(error,
              "--chap-user needs its secret: --chap-secret-file FILE or --chap-secret-stdin");
}

TEST(RunnerOutput, DefaultRunPrintsExactlyTheTraceAndACloseOnStderr) {
    const RunOutcome run = RunWith({});

    sim::Machine reference;
    StageScenario(DefaultScenario(), reference);
    ASSERT_EQ(CreateVXD("192.0.2.10", "3260", "iqn.2026-12.com.example:disk1", "", ""), 1);

    EXPECT_EQ(run.status, kExitMounted);
    EXPECT_EQ(Lines(run.out), reference.TraceTexts());
    std::size_t waits = 0;
    for (const std::string &line : Lines(run.out)) {
        waits += line == kWaitLine ? 1 : 0;
    }
    EXPECT_EQ(waits, 2u);
    EXPECT_EQ(run.err, "vxdmount: result 1, drive F:, virtual time 2.000s\n");
}

TEST(RunnerOutput, TimelineStampsEveryLineAndShowsThePlatformCalls) {
    const RunOutcome run = RunWith({"--timeline"});
    EXPECT_EQ(run.status, kExitMounted);

    sim::Machine reference;
    StageScenario(DefaultScenario(), reference);
    CreateVXD("192.0.2.10", "3260", "iqn.2026-12.com.example:disk1", "", "");

    std::vector<std::string> traceLines;
    std::vector<std::string> callLines;
    std::string previousStamp;
    for (const std::string &line : Lines(run.out)) {
        const std::size_t stampEnd = line.find("s] ");
        ASSERT_EQ(line[0], '[') << line;
        ASSERT_NE(stampEnd, std::string::npos) << line;
        const std::string stamp = line.substr(0, stampEnd + 3);
        EXPECT_GE(stamp, previousStamp) << "virtual time never goes back";
        previousStamp = stamp;
        const std::string rest = line.substr(stamp.size());
        if (rest.rfind("    ", 0) == 0) {
            callLines.push_back(rest.substr(4));
        } else {
            traceLines.push_back(rest);
        }
    }
    EXPECT_EQ(traceLines, reference.TraceTexts());
    ASSERT_EQ(callLines.size(), reference.Calls().size());
    for (std::size_t i = 0; i < callLines.size(); ++i) {
        EXPECT_EQ(callLines[i], reference.Calls()[i].text);
    }
    EXPECT_EQ(Lines(run.out).back(), "[  2.000s] Task Disk F:\\");
    EXPECT_EQ(TimelineStamp(0), "[  0.000s] ");
    EXPECT_EQ(TimelineStamp(121500), "[121.500s] ");
}

TEST(RunnerOutput, AttachPrintsItsProgressThenItsLettersAndClosesWithItsStatus) {
    const RunOutcome run = RunWith({"attach"});

    sim::Machine reference;
    StageScenario(DefaultScenario(), reference);
    std::vector<std::string> progress;
    VxdAttachRequest request{};
    request.size = sizeof request;
    request.portalAddress = "192.0.2.10";
    request.targetName = "iqn.2026-12.com.example:disk1";
    request.progress = &Collect;
    request.progressContext = &progress;
    VxdAttachResult result{};
    result.size = sizeof result;
    ASSERT_EQ(VxdAttach(&request, &result), VXD_STATUS_OK);

    EXPECT_EQ(run.status, kExitMounted);
    progress.push_back("F:");
    EXPECT_EQ(Lines(run.out), progress);
    EXPECT_EQ(run.err, "vxdmount: VxdAttach returned VXD_STATUS_OK, virtual time 1.500s\n");
    // The calls are the same as the reference's, with no cancel event to wait on.
    EXPECT_TRUE(reference.CallsTo("WaitForSingleObject").empty());

    // In a timeline the letters come last too, stamped like every other line.
    const RunOutcome timeline = RunWith({"attach", "--timeline"});
    ASSERT_FALSE(Lines(timeline.out).empty());
    EXPECT_EQ(Lines(timeline.out).back(), "[  1.500s] F:");
    for (const std::string &line : Lines(timeline.out)) {
        EXPECT_EQ(line.rfind('[', 0), 0u) << line;
    }
}

TEST(RunnerOutput, EachCallClosesWithItsStatusByNameAndItsExitStatus) {
    const std::string examples = VXD_SOURCE_DIR "/scenarios/";
    const std::string cancelling = ::testing::TempDir() + "runner_cancel_at.json";
    {
        std::ofstream file(cancelling);
        file << R"({"service": {"on_login": {"devices_after_ms": 9000}}, "cancel_at_ms": 3250})";
    }
    const struct {
        std::vector<std::string> arguments;
        int status;
        const char *closing;
    } cases[] = {
        {{"attach", "--letter-wait", "1"},
         kExitFailed,
         "vxdmount: VxdAttach returned VXD_STATUS_NO_LETTER, virtual time 1.000s\n"},
        {{"attach", "--cancel-at", "1500"},
         kExitCancelled,
         "vxdmount: VxdAttach returned VXD_STATUS_CANCELLED, virtual time 1.500s\n"},
        {{"attach", "--scenario", cancelling},
         kExitCancelled,
         "vxdmount: VxdAttach returned VXD_STATUS_CANCELLED, virtual time 3.250s\n"},
        {{"attach", "--scenario", examples + "portal_refused.json"},
         kExitFailed,
         "vxdmount: VxdAttach returned VXD_STATUS_PORTAL_FAILED, service status 0xEFFF0003, "
         "virtual time 0.000s\n"},
        {{"attach", "10.0.0.1", "0", "iqn.2026-12.com.example:disk1"},
         kExitMounted,
         "vxdmount: VxdAttach returned VXD_STATUS_OK, virtual time 1.500s\n"},
        // 1.4: each example's status, and what its flag makes of it.
        {{"attach", "--scenario", examples + "disk_offline.json"},
         kExitFailed,
         "vxdmount: VxdAttach returned VXD_STATUS_DISK_OFFLINE, virtual time 2.000s\n"},
        {{"attach", "--online", "--scenario", examples + "attach_online.json"},
         kExitMounted,
         "vxdmount: VxdAttach returned VXD_STATUS_OK, virtual time 2.500s\n"},
        {{"attach", "--online", "--scenario", examples + "disk_collision.json"},
         kExitFailed,
         "vxdmount: VxdAttach returned VXD_STATUS_DISK_COLLISION, virtual time 0.000s\n"},
        {{"attach", "--scenario", examples + "blank_disk.json"},
         kExitFailed,
         "vxdmount: VxdAttach returned VXD_STATUS_NO_VOLUME, virtual time 0.000s\n"},
        {{"attach", "--letter-wait", "9", "--scenario", examples + "attach_assign_letter.json"},
         kExitFailed,
         "vxdmount: VxdAttach returned VXD_STATUS_NO_LETTER, virtual time 9.000s\n"},
        {{"attach", "--assign-letter", "--scenario", examples + "attach_assign_letter.json"},
         kExitMounted,
         "vxdmount: VxdAttach returned VXD_STATUS_OK, virtual time 4.500s\n"},
        {{"attach", "--mount-folder", "C:\\mnt\\data", "--scenario",
          examples + "attach_mount_folder.json"},
         kExitMounted,
         "vxdmount: VxdAttach returned VXD_STATUS_OK, virtual time 1.500s\n"},
        {{"attach", "--mount-folder", "C:\\mnt\\data", "--scenario",
          examples + "mount_folder_two_volumes.json"},
         kExitFailed,
         "vxdmount: VxdAttach returned VXD_STATUS_MOUNT_FAILED, virtual time 1.500s\n"},
        {{"detach"},
         kExitFailed,
         "vxdmount: VxdDetach returned VXD_STATUS_NOT_ATTACHED, virtual time 0.000s\n"},
        {{"detach", "--scenario", examples + "detach_attached.json"},
         kExitMounted,
         "vxdmount: VxdDetach returned VXD_STATUS_OK, virtual time 0.000s\n"},
        {{"detach", "--scenario", examples + "detach_device_busy.json"},
         kExitFailed,
         "vxdmount: VxdDetach returned VXD_STATUS_VOLUME_IN_USE, service status 0xEFFF0040, "
         "virtual time 10.000s\n"},
        {{"detach", "--scenario", examples + "detach_volume_in_use.json"},
         kExitFailed,
         "vxdmount: VxdDetach returned VXD_STATUS_VOLUME_IN_USE, service status 0x5, virtual "
         "time 0.000s\n"},
    };
    for (const auto &each : cases) {
        const RunOutcome run = RunWith(each.arguments);
        EXPECT_EQ(run.status, each.status) << each.arguments.back();
        EXPECT_EQ(run.err, each.closing) << each.arguments.back();
        // Whatever the outcome, the last progress line says it.
        ASSERT_FALSE(Lines(run.out).empty()) << each.arguments.back();
        const std::string last = Lines(run.out).back();
        if (each.status != kExitMounted) {
            EXPECT_TRUE(last.find(": failed: ") != std::string::npos ||
                        last.find(": stopped: ") != std::string::npos)
                << last;
        }
    }
    std::remove(cancelling.c_str());
}

TEST(RunnerOutput, UnreadableScenarioExitsTwoNamingTheFile) {
    const RunOutcome run = RunWith({"--scenario", "/nonexistent/machine.json"});
    EXPECT_EQ(run.status, kExitUsage);
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err.rfind("vxdmount: /nonexistent/machine.json: cannot open: ", 0), 0u)
        << run.err;
}

// --- CHAP: the secrets come from files or standard input, and never show -------------------

// A target that admits one-way CHAP, one that demands mutual CHAP and a portal whose discovery
// needs CHAP; the secrets are test data.
const char kChapScenario[] = R"({
  "drives": [{"letter": "C", "disk": 0}],
  "service": {
    "portals": [{"address": "192.0.2.20", "chap": {"user": "finder", "secret": "Dv4$Lq8@Ns2&"}},
                {"address": "192.0.2.21", "chap": {"user": "alice", "secret": "Qz7#kP2!vW9x"}}],
    "targets": [{"target": "iqn.one-way", "chap": {"user": "alice", "secret": "Qz7#kP2!vW9x"}},
                {"target": "iqn.mutual", "chap": {"user": "bob", "secret": "Hb5%Tm1*Yc6+"},
                 "initiator_secret": "Mn3$bV8^cX1zL6"}],
    "on_login": {"devices": [2], "drives": [{"letter": "F", "disk": 2, "after_ms": 1500}]}}})";
const std::vector<std::string> kChapSecrets = {"Dv4$Lq8@Ns2&", "Qz7#kP2!vW9x", "Hb5%Tm1*Yc6+",
                                               "Mn3$bV8^cX1zL6", "Xw0&Jd7=Gr3?"};

// A file in the test's temporary folder holding exactly `bytes`.
std::string TempFile(const std::string &name, const std::string &bytes) {
    std::string path = ::testing::TempDir() + name;
    std::ofstream file(path, std::ios::binary);
    file << bytes;
    return path;
}

// The read end of a pipe that holds `bytes` and then ends, as a shell's `<` or `|` gives it.
class InputPipe {
  public:
    explicit InputPipe(const std::string &bytes) {
        int ends[2] = {-1, -1};
        EXPECT_EQ(pipe(ends), 0);
        EXPECT_EQ(write(ends[1], bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
        close(ends[1]);
        read_ = ends[0];
    }
    ~InputPipe() { close(read_); }
    InputPipe(const InputPipe &) = delete;
    InputPipe &operator=(const InputPipe &) = delete;
    int get() const { return read_; }

  private:
    int read_ = -1;
};

RunOutcome RunWithInput(const std::vector<std::string> &arguments, int standardInput) {
    std::ostringstream out;
    std::ostringstream err;
    RunOutcome run;
    run.status = RunVxdMount(arguments, out, err, standardInput);
    run.out = out.str();
    run.err = err.str();
    return run;
}

TEST(RunnerCredentials, AttachLogsInWithTheSecretsOfItsFilesOrStandardInput) {
    const std::string scenario = TempFile("chap_scenario.json", kChapScenario);
    const std::string right = TempFile("chap_right", "Qz7#kP2!vW9x\n");
    const std::string rightCrLf = TempFile("chap_right_crlf", "Qz7#kP2!vW9x\r\n");
    const std::string bare = TempFile("chap_bare", "Qz7#kP2!vW9x");
    const std::string twoLineEnds = TempFile("chap_two_line_ends", "Qz7#kP2!vW9x\n\n");
    const std::string wrong = TempFile("chap_wrong", "Xw0&Jd7=Gr3?\n");
    const std::string bob = TempFile("chap_bob", "Hb5%Tm1*Yc6+\n");
    const std::string initiator = TempFile("chap_initiator", "Mn3$bV8^cX1zL6\n");
    const std::string finder = TempFile("chap_finder", "Dv4$Lq8@Ns2&\n");
    const std::string tooLong = TempFile("chap_too_long", "Qz7#kP2!vW9xQz7#kP2!\n");
    const std::string huge = TempFile("chap_huge", std::string(300, 'h'));
    const std::vector<std::string> oneWay = {"attach",     "--scenario", scenario,
                                             "192.0.2.10", "3260",       "iqn.one-way"};
    const std::vector<std::string> mutual = {"attach",     "--scenario", scenario,
                                             "192.0.2.10", "3260",       "iqn.mutual"};
    const std::vector<std::string> discovery = {"attach",     "--scenario", scenario,
                                                "192.0.2.20", "3260",       "iqn.one-way"};
    const auto with = [](std::vector<std::string> arguments, const std::vector<std::string> &more) {
        arguments.insert(arguments.end(), more.begin(), more.end());
        return arguments;
    };
    const std::string ok = "vxdmount: VxdAttach returned VXD_STATUS_OK, virtual time 1.500s\n";
    const std::string refused = "vxdmount: VxdAttach returned VXD_STATUS_AUTH_FAILED, service "
                                "status 0xEFFF0009, virtual time 1.000s\n";
    const struct {
        const char *name;
        std::vector<std::string> arguments;
        std::string input; // standard input, a pipe
        int status;
        std::string closing;
    } cases[] = {
        {"one-way CHAP, a file with a line end",
         with(oneWay, {"--chap-user", "alice", "--chap-secret-file", right}), "", kExitMounted, ok},
        {"a Windows line end",
         with(oneWay, {"--chap-user=alice", "--chap-secret-file=" + rightCrLf}), "", kExitMounted,
         ok},
        {"no line end", with(oneWay, {"--chap-user", "alice", "--chap-secret-file", bare}), "",
         kExitMounted, ok},
        {"standard input", with(oneWay, {"--chap-user", "alice", "--chap-secret-stdin"}),
         "Qz7#kP2!vW9x\n", kExitMounted, ok},
        // Only one line end is dropped: the second is the secret's, and it is wrong.
        {"two line ends", with(oneWay, {"--chap-user", "alice", "--chap-secret-file", twoLineEnds}),
         "", kExitFailed, refused},
        {"standard input with two line ends",
         with(oneWay, {"--chap-user", "alice", "--chap-secret-stdin"}), "Qz7#kP2!vW9x\r\n\r\n",
         kExitFailed, refused},
        {"a wrong secret", with(oneWay, {"--chap-user", "alice", "--chap-secret-file", wrong}), "",
         kExitFailed, refused},
        {"a wrong user", with(oneWay, {"--chap-user", "alicia", "--chap-secret-file", right}), "",
         kExitFailed, refused},
        {"no CHAP", oneWay, "", kExitFailed, refused},
        // Mutual CHAP: the machine's secret set by the call, or the machine's own, which this one
        // has not got.
        {"mutual, setting the machine's secret",
         with(mutual, {"--chap-user", "bob", "--chap-secret-file", bob, "--initiator-secret-file",
                       initiator}),
         "", kExitMounted, ok},
        {"mutual with the machine's secret, none",
         with(mutual, {"--chap-user", "bob", "--chap-secret-file", bob, "--mutual-chap"}), "",
         kExitFailed,
         "vxdmount: VxdAttach returned VXD_STATUS_AUTH_FAILED, service status 0xEFFF004C, "
         "virtual time 1.000s\n"},
        {"mutual, the target answers with another secret",
         with(mutual,
              {"--chap-user", "bob", "--chap-secret-stdin", "--initiator-secret-file", wrong}),
         "Hb5%Tm1*Yc6+", kExitFailed, refused},
        {"one-way to a target that demands mutual",
         with(mutual, {"--chap-user", "bob", "--chap-secret-file", bob}), "", kExitMounted, ok},
        // Discovery: the portal checks the same credentials as the target, and only with the
        // flag are they sent to it.
        {"discovery CHAP",
         with({"attach", "--scenario", scenario, "192.0.2.21", "3260", "iqn.one-way"},
              {"--chap-user", "alice", "--chap-secret-file", right, "--discovery-chap"}),
         "", kExitMounted, ok},
        {"discovery CHAP that the target refuses",
         with(discovery,
              {"--chap-user", "finder", "--chap-secret-file", finder, "--discovery-chap"}),
         "", kExitFailed, refused},
        {"discovery CHAP without the flag",
         with(discovery, {"--chap-user", "alice", "--chap-secret-file", right}), "", kExitFailed,
         "vxdmount: VxdAttach returned VXD_STATUS_PORTAL_FAILED, service status 0xEFFF0009, "
         "virtual time 0.000s\n"},
        // The library judges the length, and says which one is wrong.
        {"20 bytes", with(oneWay, {"--chap-user", "alice", "--chap-secret-file", tooLong}), "",
         kExitFailed,
         "vxdmount: VxdAttach returned VXD_STATUS_INVALID_ARGUMENT, virtual time 0.000s\n"},
        // What cannot be a secret, or cannot be read, ends the run before the call.
        {"a file too large", with(oneWay, {"--chap-user", "alice", "--chap-secret-file", huge}), "",
         kExitUsage,
         "vxdmount: cannot read the CHAP secret from " + huge +
             ": it is more than 256 bytes long, which no CHAP secret is (Windows takes 12 to "
             "16)\n"},
        {"no such file",
         with(oneWay, {"--chap-user", "alice", "--chap-secret-file", "/nonexistent/secret"}), "",
         kExitUsage,
         "vxdmount: cannot read the CHAP secret from /nonexistent/secret: No such file or "
         "directory\n"},
        {"a folder",
         with(mutual, {"--chap-user", "bob", "--chap-secret-file", bob, "--initiator-secret-file",
                       ::testing::TempDir()}),
         "", kExitUsage,
         "vxdmount: cannot read the initiator secret from " + ::testing::TempDir() +
             ": Is a directory\n"},
    };
    for (const auto &each : cases) {
        SCOPED_TRACE(each.name);
        const InputPipe input(each.input);
        const RunOutcome run = RunWithInput(each.arguments, input.get());
        EXPECT_EQ(run.status, each.status);
        EXPECT_EQ(run.err, each.closing);
        for (const std::string &secret : kChapSecrets) {
            EXPECT_FALSE(HoldsPartOf(run.out + run.err, secret)) << run.out << run.err;
        }
    }
    // The 20 bytes: the library's line says which length is wrong.
    const RunOutcome longer =
        RunWith(with(oneWay, {"--chap-user", "alice", "--chap-secret-file", tooLong}));
    EXPECT_NE(
        longer.out.find("VxdAttach: the CHAP secret is 20 bytes long; Windows takes 12 to 16\n"),
        std::string::npos)
        << longer.out;
}

// Every line of a timeline, the platform calls' too, with the secrets of a mutual login that
// sets the machine's secret, of discovery, and of a refused login: none holds four of a
// secret's bytes in a row.
TEST(RunnerCredentials, NoSecretInTheOutputOrTheTimeline) {
    const std::string scenario = TempFile("chap_timeline.json", kChapScenario);
    const std::string bob = TempFile("chap_timeline_bob", "Hb5%Tm1*Yc6+\n");
    const std::string initiator = TempFile("chap_timeline_initiator", "Mn3$bV8^cX1zL6\n");
    const std::string wrong = TempFile("chap_timeline_wrong", "Xw0&Jd7=Gr3?\n");
    const RunOutcome mutual =
        RunWith({"attach", "--timeline", "--scenario", scenario, "--chap-user", "bob",
                 "--chap-secret-file", bob, "--initiator-secret-file", initiator,
                 "--discovery-chap", "192.0.2.10", "3260", "iqn.mutual"});
    EXPECT_EQ(mutual.status, kExitMounted) << mutual.err;
    EXPECT_NE(mutual.out.find("    SetIScsiInitiatorCHAPSharedSecret(14 bytes) -> 0\n"),
              std::string::npos)
        << mutual.out;
    EXPECT_NE(mutual.out.find("VxdAttach: logging in with mutual CHAP\n"), std::string::npos);
    const RunOutcome refused =
        RunWith({"attach", "--timeline", "--scenario", scenario, "--chap-user", "alice",
                 "--chap-secret-file", wrong, "192.0.2.10", "3260", "iqn.one-way"});
    EXPECT_EQ(refused.status, kExitFailed);
    for (const RunOutcome *run : {&mutual, &refused}) {
        for (const std::string &secret : kChapSecrets) {
            EXPECT_FALSE(HoldsPartOf(run->out + run->err, secret)) << secret;
        }
    }
}

} // namespace
} // namespace vxd::runner
