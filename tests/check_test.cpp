// vxdhost's portable parts: what its check tells an administrator about a failed request, its
// command line, and what it says of the calls of 1.2 and their statuses.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <functional>
#include <initializer_list>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "entry/statuses.h"
#include "entry/vxdmount.h"
#include "tools/credentials/credentials.h"
#include "tools/vxdhost/call_report.h"
#include "tools/vxdhost/command_line.h"
#include "tools/vxdhost/post_mortem.h"
#include "tools/vxdhost/statuses.h"

namespace vxdhost {
namespace {

// code -> name, from the published list kept in tests/data.
std::map<std::uint32_t, std::string> PublishedStatuses() {
    std::map<std::uint32_t, std::string> statuses;
    std::ifstream file(VXD_SOURCE_DIR "/tests/data/iscsi-discovery-statuses.tsv");
    EXPECT_TRUE(file.is_open());
    for (std::string line; std::getline(file, line);) {
        if (line.empty() || line[0] == '#') {
            continue;
        }
        std::istringstream fields(line);
        std::string code;
        std::string name;
        fields >> code >> name;
        EXPECT_TRUE(statuses.emplace(std::stoul(code, nullptr, 16), name).second) << line;
    }
    return statuses;
}

TEST(DiscoveryStatuses, TableHoldsEveryPublishedStatusOnceAndNothingElse) {
    std::map<std::uint32_t, std::string> unmatched = PublishedStatuses();
    ASSERT_EQ(unmatched.size(), 104u);
    for (const DiscoveryStatus &status : DiscoveryStatuses()) {
        const auto published = unmatched.find(status.code);
        ASSERT_TRUE(published != unmatched.end())
            << std::hex << status.code << " " << status.name << ": not published, or twice";
        EXPECT_EQ(status.name, published->second);
        unmatched.erase(published);

        EXPECT_EQ(FindDiscoveryStatus(status.code), &status) << status.name;
        // A clause that vxdhost puts after "NAME (CODE): ".
        const std::string meaning = status.meaning;
        ASSERT_FALSE(meaning.empty()) << status.name;
        EXPECT_TRUE(std::islower(static_cast<unsigned char>(meaning.front()))) << meaning;
        EXPECT_NE(meaning.back(), '.') << meaning;
    }
    EXPECT_TRUE(unmatched.empty()) << unmatched.size() << " published statuses are missing";
}

TEST(DiscoveryStatuses, TextNamesTheCodeAndItsMeaningOrIsEmpty) {
    EXPECT_EQ(DiscoveryStatusText(0xEFFF003E),
              "ISDSC_SERVICE_NOT_RUNNING (0xEFFF003E): the Microsoft iSCSI Initiator service "
              "(MSiSCSI) is not running");
    EXPECT_EQ(
        DiscoveryStatusText(0xAFFF002E).rfind("ISDSC_OPERATION_NOT_ALL_SUCCESS (0xAFFF002E): ", 0),
        0u);
    // Windows' own codes, and a discovery code with the warnings' high word, are not ours.
    for (std::uint32_t code : {0x0u, 0x5u, 0xEFFF0000u, 0xEFFF0069u, 0xAFFF003Eu}) {
        EXPECT_EQ(FindDiscoveryStatus(code), nullptr) << std::hex << code;
        EXPECT_EQ(DiscoveryStatusText(code), "") << std::hex << code;
    }
}

// The statuses as vxdhost names them (their table is checked above): the discovery library's,
// and Windows' own with the text the fake machine gives for 5 and none for 87.
const char kNonSpecific[] = "ISDSC_NON_SPECIFIC_ERROR (0xEFFF0001): an error occurred that the "
                            "initiator does not describe further";
const char kConnectionFailed[] = "ISDSC_CONNECTION_FAILED (0xEFFF0003): the initiator could not "
                                 "open a TCP connection to the portal or target";
const char kAuthenticationFailure[] =
    "ISDSC_AUTHENTICATION_FAILURE (0xEFFF0009): the target could not authenticate the initiator: "
    "check the CHAP user name and secret";
const char kAuthorizationFailure[] = "ISDSC_AUTHORIZATION_FAILURE (0xEFFF000A): the target does "
                                     "not allow this initiator to use it";
const char kTargetNotFound[] = "ISDSC_TARGET_NOT_FOUND (0xEFFF0029): the target is not among "
                               "those the initiator found behind its portals";
const char kUserInfoBad[] = "ISDSC_LOGIN_USER_INFO_BAD (0xEFFF002A): the CHAP user name or "
                            "secret given for the login is not valid";
const char kServiceNotRunning[] = "ISDSC_SERVICE_NOT_RUNNING (0xEFFF003E): the Microsoft iSCSI "
                                  "Initiator service (MSiSCSI) is not running";
const char kAccessDenied[] = "error 5 (0x00000005): Access is denied";
const char kInvalidParameter[] = "error 87 (0x00000057)";

const char kTarget[] = "iqn.2026-01.test:disk1";

CheckRequest Request() { return {"10.0.0.5", 3260, kTarget}; }

const Fact kYes{Answer::kYes, ""};
const Fact kNo{Answer::kNo, ""};

// A disk that is online, writable and initialized, with these volumes.
DiskFacts Healthy(std::vector<VolumeFacts> volumes) {
    DiskFacts disk;
    disk.offline = kNo;
    disk.readOnly = kNo;
    disk.initialized = kYes;
    disk.volumesKnown = kYes;
    disk.volumes = std::move(volumes);
    return disk;
}

// A machine that answers as each case sets it up, and counts the logins it was asked for. It
// starts with the target's session on disk 2, healthy and without volumes.
struct FakeMachine : Machine {
    std::uint32_t portalStatus = 0;
    std::uint32_t loginStatus = 0;
    std::string logout = "and logged out again";
    int logins = 0;
    std::uint32_t reportStatus = 0;
    std::vector<std::string> targets;
    std::uint32_t sessionsStatus = 0;
    std::vector<SessionFacts> sessions = {{kTarget, "5e55-0001", 0, {2}}};
    std::map<std::uint32_t, DiskFacts> disks = {{2, Healthy({})}};
    std::map<char, std::uint32_t> letterDisks;

    std::uint32_t RegisterPortal(const CheckRequest & /*request*/) override { return portalStatus; }
    std::uint32_t InformationalLogin(const std::string & /*target*/,
                                     std::string &loggedOut) override {
        ++logins;
        loggedOut = logout;
        return loginStatus;
    }
    std::uint32_t ReportTargets(std::vector<std::string> &reported) override {
        reported = targets;
        return reportStatus;
    }
    std::uint32_t initiatorsStatus = 0;
    std::vector<std::string> initiators = {"ROOT\\ISCSIPRT\\0000_0", "PCI\\HBA\\1"};
    std::uint32_t Initiators(std::vector<std::string> &listed) override {
        listed = initiators;
        return initiatorsStatus;
    }
    std::uint32_t Sessions(std::vector<SessionFacts> &listed) override {
        listed = sessions;
        return sessionsStatus;
    }
    DiskFacts Disk(std::uint32_t number) override { return disks[number]; }
    Fact LetterDisk(char letter, std::uint32_t &disk) override {
        const auto found = letterDisks.find(letter);
        if (found == letterDisks.end()) {
            return {Answer::kUnknown, "error 2"};
        }
        disk = found->second;
        return {Answer::kYes, ""};
    }
    std::string SystemText(std::uint32_t code) override {
        return code == 5 ? "Access is denied" : "";
    }
    std::uint32_t initiatorNameStatus = 0;
    std::uint32_t InitiatorName(std::string &name) override {
        name = "iqn.1991-05.com.microsoft:host7";
        return initiatorNameStatus;
    }
    Fact sanPolicy = {Answer::kYes, ""};
    std::uint32_t sanPolicyValue = 2;
    Fact SanPolicy(std::uint32_t &policy) override {
        policy = sanPolicyValue;
        return sanPolicy;
    }
    Fact autoMount = {Answer::kYes, ""};
    Fact AutoMount() override { return autoMount; }
    std::string letters = "CD";
    std::string Letters() override { return letters; }
};

// What a post-mortem starts from: the request failed with drive letter C: before and after it,
// the process is elevated, the service runs and the portal answers.
struct Situation {
    std::vector<std::string> trace;
    int result = 0;
    std::string lettersBefore = "C";
    std::string lettersAfter = "C";
    Preflight preflight;
    FakeMachine machine;

    Situation() {
        preflight.elevated = kYes;
        preflight.serviceRunning = kYes;
        preflight.startType = "automatically";
        preflight.libraryLoads = {Answer::kYes, "C:\\Windows\\system32\\iscsidsc.dll"};
        preflight.portalAnswers = {Answer::kYes, "connected in 1 ms"};
    }
};

struct Case {
    const char *name;
    std::function<void(Situation &)> setUp;
    std::vector<std::string> findings;
    std::string verdict;
};

// Each case after `trace`: every finding and the verdict, whole, and the informational logins.
void ExpectDiagnoses(const std::vector<std::string> &trace, int logins,
                     const std::vector<Case> &cases) {
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        Situation situation;
        situation.trace = trace;
        c.setUp(situation);
        const Diagnosis diagnosis =
            PostMortem(Request(), situation.preflight, situation.trace, situation.result,
                       situation.lettersBefore, situation.lettersAfter, situation.machine);
        EXPECT_EQ(diagnosis.findings, c.findings);
        EXPECT_EQ(diagnosis.verdict, c.verdict);
        EXPECT_EQ(situation.machine.logins, logins);
    }
}

const char kOpening[] = "493,10.0.0.5,3260,,,0";
const std::vector<std::string> kLoginFailed = {kOpening, "Disk NO:1", "after Connection 0"};
const std::vector<std::string> kLoggedIn = {kOpening, "Disk NO:1", "after Connection 32"};
const std::vector<std::string> kFresh = {
    kOpening,  "Disk NO:1", "after Connection 32", "GetSession Error1", "GetSession Error2",
    "uRet: 20"};
const std::vector<std::string> kExisting = {
    kOpening,  "Disk NO:1", "after Connection 16", "GetSession Error1", "GetSession Error2",
    "uRet: 10"};

std::vector<std::string> operator+(std::vector<std::string> lines,
                                   const std::vector<std::string> &more) {
    lines.insert(lines.end(), more.begin(), more.end());
    return lines;
}

const char kServiceVerdict[] =
    "The Microsoft iSCSI Initiator service (MSiSCSI) is not running: start it and have it start "
    "with Windows (sc config MSiSCSI start= auto, then sc start MSiSCSI).";
const char kElevationVerdict[] = "The initiator refused the request because the process is not "
                                 "elevated: run the program as administrator.";

std::string Registering(const std::string &answer) {
    return "registering the portal 10.0.0.5:3260 again (a repeat of the request's): " + answer;
}

TEST(PostMortem, PortalNotRegistered) {
    const std::string refused = "The portal 10.0.0.5:3260 could not be registered: ";
    ExpectDiagnoses(
        {kOpening}, 0,
        {
            {"portal silent",
             [](Situation &s) {
                 s.machine.portalStatus = 0xEFFF0003;
                 s.preflight.portalAnswers = {Answer::kNo, "connection refused"};
             },
             {Registering(kConnectionFailed)},
             "The portal 10.0.0.5:3260 could not be registered because nothing answers there "
             "(connection refused): check the address and the port, that the target's iSCSI "
             "service runs, and that no firewall blocks TCP port 3260 (Test-NetConnection "
             "10.0.0.5 -Port 3260)."},
            {"portal answers but refuses",
             [](Situation &s) { s.machine.portalStatus = 0xEFFF0009; },
             {Registering(kAuthenticationFailure)},
             refused + kAuthenticationFailure + "."},
            {"portal refuses, whether it answers unknown",
             [](Situation &s) {
                 s.machine.portalStatus = 0xEFFF0003;
                 s.preflight.portalAnswers = {Answer::kUnknown, "no socket"};
             },
             {Registering(kConnectionFailed)},
             refused + kConnectionFailed + "."},
            {"portal accepted now",
             [](Situation &s) { s.machine.portalStatus = 0; },
             {Registering("accepted now")},
             "The portal 10.0.0.5:3260 was refused during the request but is accepted now: it "
             "was out of reach for a while; run the request again."},
            {"portal accepted now, though nothing answered the preflight",
             [](Situation &s) {
                 s.preflight.portalAnswers = {Answer::kNo, "timed out"};
             },
             {Registering("accepted now")},
             "The portal 10.0.0.5:3260 was refused during the request but is accepted now: it "
             "was out of reach for a while; run the request again."},
            {"service stopped, as the initiator says",
             [](Situation &s) {
                 s.trace.push_back("SetPsKey ERROR CODE:efff003e");
                 s.machine.portalStatus = 0xEFFF003E;
             },
             {std::string("the portal's security record was refused (the request goes on "
                          "without it): ") +
                  kServiceNotRunning,
              Registering(kServiceNotRunning)},
             kServiceVerdict},
            {"service stopped, as the preflight saw",
             [](Situation &s) { s.preflight.serviceRunning = kNo; },
             {Registering("accepted now")},
             kServiceVerdict},
            {"not elevated",
             [](Situation &s) {
                 s.machine.portalStatus = 5;
                 s.preflight.elevated = kNo;
             },
             {Registering(kAccessDenied)},
             kElevationVerdict},
            {"access denied, elevation unknown",
             [](Situation &s) {
                 s.machine.portalStatus = 5;
                 s.preflight.elevated = {Answer::kUnknown, "error 1"};
             },
             {Registering(kAccessDenied)},
             kElevationVerdict},
            {"access denied though elevated",
             [](Situation &s) { s.machine.portalStatus = 5; },
             {Registering(kAccessDenied)},
             refused + kAccessDenied + "."},
            {"not elevated, another status",
             [](Situation &s) {
                 s.machine.portalStatus = 0xEFFF0009;
                 s.preflight.elevated = kNo;
             },
             {Registering(kAuthenticationFailure)},
             refused + kAuthenticationFailure + "."},
            {"security record refused with Windows' status",
             [](Situation &s) {
                 s.trace.push_back("SetPsKey ERROR CODE:57");
                 s.machine.portalStatus = 87;
             },
             {std::string("the portal's security record was refused (the request goes on "
                          "without it): ") +
                  kInvalidParameter,
              Registering(kInvalidParameter)},
             refused + kInvalidParameter + "."},
        });
}

std::string InformationalLogin(const std::string &answer) {
    return "an informational login to iqn.2026-01.test:disk1 (it brings no disk): " + answer;
}

TEST(PostMortem, BothLoginsFailed) {
    const std::string bothTargets = "the initiator knows 2 targets: iqn.2026-01.test:other, "
                                    "iqn.2026-01.TEST:disk1; iqn.2026-01.test:disk1 is among them";
    const std::string notOffered =
        "The target iqn.2026-01.test:disk1 is not among the targets that the initiator found "
        "behind its portals: check the name (iscsicli ListTargets lists them) and that the "
        "target admits this initiator.";
    const std::string succeedNow =
        "The logins to iqn.2026-01.test:disk1 failed during the request but succeed now: the "
        "target was out of reach for a while; run the request again.";
    const std::string refuses = "The target iqn.2026-01.test:disk1 refuses this initiator: ";
    const std::string withoutChap = "; the request logs in without CHAP, so the target must "
                                    "admit this initiator's name without authentication.";
    const std::string fails = "Logging in to iqn.2026-01.test:disk1 fails: ";
    const auto offered = [](Situation &s) {
        s.machine.targets = {"iqn.2026-01.test:other", "iqn.2026-01.TEST:disk1"};
    };
    ExpectDiagnoses(
        kLoginFailed, 1,
        {
            {"unknown target",
             [](Situation &s) {
                 s.machine.loginStatus = 0xEFFF0029;
                 s.machine.targets = {"iqn.2026-01.test:other"};
             },
             {"the initiator knows 1 target: iqn.2026-01.test:other; iqn.2026-01.test:disk1 is "
              "not among them",
              InformationalLogin(kTargetNotFound)},
             notOffered},
            {"no target known",
             [](Situation &s) { s.machine.loginStatus = 0xEFFF0029; },
             {"the initiator knows 0 targets; iqn.2026-01.test:disk1 is not among them",
              InformationalLogin(kTargetNotFound)},
             notOffered},
            {"a longer name is another target",
             [](Situation &s) {
                 s.machine.loginStatus = 0xEFFF0029;
                 s.machine.targets = {"iqn.2026-01.test:disk10"};
             },
             {"the initiator knows 1 target: iqn.2026-01.test:disk10; iqn.2026-01.test:disk1 "
              "is not among them",
              InformationalLogin(kTargetNotFound)},
             notOffered},
            {"unknown target, though a login succeeds",
             [](Situation &s) { s.machine.targets = {"iqn.2026-01.test:other"}; },
             {"the initiator knows 1 target: iqn.2026-01.test:other; iqn.2026-01.test:disk1 is "
              "not among them",
              InformationalLogin("accepted, and logged out again")},
             notOffered},
            {"target refuses: authentication",
             [&](Situation &s) {
                 offered(s);
                 s.machine.loginStatus = 0xEFFF0009;
             },
             {bothTargets, InformationalLogin(kAuthenticationFailure)},
             refuses + kAuthenticationFailure + withoutChap},
            {"target refuses: authorization",
             [&](Situation &s) {
                 offered(s);
                 s.machine.loginStatus = 0xEFFF000A;
             },
             {bothTargets, InformationalLogin(kAuthorizationFailure)},
             refuses + kAuthorizationFailure + withoutChap},
            {"target refuses: user information",
             [&](Situation &s) {
                 offered(s);
                 s.machine.loginStatus = 0xEFFF002A;
             },
             {bothTargets, InformationalLogin(kUserInfoBad)},
             refuses + kUserInfoBad + withoutChap},
            {"logins succeed now",
             offered,
             {bothTargets, InformationalLogin("accepted, and logged out again")},
             succeedNow},
            {"logins succeed now, the logout fails",
             [&](Situation &s) {
                 offered(s);
                 s.machine.logout = "but the logout failed: error 87 (0x00000057)";
             },
             {bothTargets,
              InformationalLogin("accepted, but the logout failed: error 87 (0x00000057)")},
             succeedNow},
            {"login fails with another status",
             [&](Situation &s) {
                 offered(s);
                 s.machine.loginStatus = 0xEFFF0003;
             },
             {bothTargets, InformationalLogin(kConnectionFailed)},
             fails + kConnectionFailed + "."},
            {"target list fails",
             [](Situation &s) {
                 s.machine.reportStatus = 5;
                 s.machine.loginStatus = 0xEFFF0003;
             },
             {std::string("could not tell which targets the initiator knows: ") + kAccessDenied,
              InformationalLogin(kConnectionFailed)},
             fails + kConnectionFailed + "."},
            {"target list fails, the target refuses",
             [](Situation &s) {
                 s.machine.reportStatus = 0xEFFF0001;
                 s.machine.loginStatus = 0xEFFF000A;
             },
             {std::string("could not tell which targets the initiator knows: ") + kNonSpecific,
              InformationalLogin(kAuthorizationFailure)},
             refuses + kAuthorizationFailure + withoutChap},
            {"service stopped, as the initiator says",
             [](Situation &s) {
                 s.machine.reportStatus = 0xEFFF003E;
                 s.machine.loginStatus = 0xEFFF003E;
             },
             {std::string("could not tell which targets the initiator knows: ") +
                  kServiceNotRunning,
              InformationalLogin(kServiceNotRunning)},
             kServiceVerdict},
            {"service stopped, as the preflight saw",
             [&](Situation &s) {
                 offered(s);
                 s.preflight.serviceRunning = kNo;
                 s.machine.loginStatus = 0xEFFF0003;
             },
             {bothTargets, InformationalLogin(kConnectionFailed)},
             kServiceVerdict},
            {"not elevated",
             [](Situation &s) {
                 s.preflight.elevated = kNo;
                 s.machine.reportStatus = 5;
                 s.machine.loginStatus = 5;
             },
             {std::string("could not tell which targets the initiator knows: ") + kAccessDenied,
              InformationalLogin(kAccessDenied)},
             kElevationVerdict},
        });
}

const char kOneDevice[] = "the session 5e55-0001 to iqn.2026-01.test:disk1 has 1 device, on disk 2";
const char kDevicesLate[] = "The session to iqn.2026-01.test:disk1 has its disk now, but it came "
                            "after the request's 61 seconds of device lookups: run the request "
                            "again.";

TEST(PostMortem, NoDevicesInTime) {
    const std::string noSession =
        "The login to iqn.2026-01.test:disk1 succeeded, but no session to it can be found: it "
        "ended soon after; the System event log (source iScsiPrt) says why.";
    const std::string noLun =
        "The session to iqn.2026-01.test:disk1 brings no disk: the target grants this initiator "
        "no LUN; map a LUN to this initiator on the target, then run the request again.";
    const std::string answered = "the request's device lookups were answered with ";
    ExpectDiagnoses(
        kLoggedIn, 0,
        {
            {"no devices",
             [](Situation &s) {
                 s.trace = s.trace + std::vector<std::string>{"Error code:0", "Error code:0"};
                 s.machine.sessions = {{"iqn.2026-01.test:other", "1-2", 0, {3}},
                                       {kTarget, "5e55-0001", 0, {}}};
             },
             {answered + "status 0 and no devices",
              "the session 5e55-0001 to iqn.2026-01.test:disk1 has no devices"},
             noLun},
            {"device statuses each once, in order",
             [](Situation &s) {
                 s.trace = s.trace + std::vector<std::string>{"Error code:efff0001", "Error code:0",
                                                              "Error code:efff0001",
                                                              "Error code:57", "Error code:0"};
             },
             {answered + kNonSpecific, answered + "status 0 and no devices",
              answered + kInvalidParameter, kOneDevice},
             kDevicesLate},
            {"session list failures counted",
             [](Situation &s) {
                 s.trace = s.trace + std::vector<std::string>{"failed to GetSessionList()",
                                                              "Error code:0",
                                                              "failed to GetSessionList()",
                                                              "failed to GetSessionList()"};
             },
             {answered + "status 0 and no devices",
              "the request could not read the session list 3 times", kOneDevice},
             kDevicesLate},
            {"one session list failure",
             [](Situation &s) { s.trace.push_back("failed to GetSessionList()"); },
             {"the request could not read the session list 1 time", kOneDevice},
             kDevicesLate},
            {"no session to the target",
             [](Situation &s) {
                 s.machine.sessions = {{"iqn.2026-01.test:other", "1-2", 0, {3}}};
             },
             {"the initiator lists 1 session, none to iqn.2026-01.test:disk1"},
             noSession},
            {"no session at all",
             [](Situation &s) { s.machine.sessions.clear(); },
             {"the initiator lists 0 sessions, none to iqn.2026-01.test:disk1"},
             noSession},
            {"two sessions to other targets",
             [](Situation &s) {
                 s.machine.sessions = {{"iqn.2026-01.test:other", "1-2", 0, {3}},
                                       {"iqn.2026-01.test:disk10", "1-3", 0, {4}}};
             },
             {"the initiator lists 2 sessions, none to iqn.2026-01.test:disk1"},
             noSession},
            {"session list unreadable",
             [](Situation &s) { s.machine.sessionsStatus = 5; },
             {std::string("could not read the initiator's sessions: ") + kAccessDenied},
             noSession},
            {"device listing fails",
             [](Situation &s) {
                 s.machine.sessions[0] = {kTarget, "5e55-0001", 0xEFFF0001, {}};
             },
             {std::string("the session 5e55-0001 to iqn.2026-01.test:disk1 cannot list its "
                          "devices: ") +
              kNonSpecific},
             std::string(
                 "The devices of the session to iqn.2026-01.test:disk1 cannot be listed: ") +
                 kNonSpecific + "."},
            {"devices came late", [](Situation &) {}, {kOneDevice}, kDevicesLate},
            {"two devices came late",
             [](Situation &s) {
                 s.machine.sessions[0].disks = {2, 3};
             },
             {"the session 5e55-0001 to iqn.2026-01.test:disk1 has 2 devices, on disk 2, 3"},
             kDevicesLate},
            {"the target's first session counts",
             [](Situation &s) {
                 s.machine.sessions = {{"iqn.2026-01.test:other", "1-2", 0, {3}},
                                       {"IQN.2026-01.TEST:DISK1", "5e55-0002", 0, {}},
                                       {kTarget, "5e55-0001", 0, {2}}};
             },
             {"the session 5e55-0002 to iqn.2026-01.test:disk1 has no devices"},
             noLun},
            {"service stopped",
             [](Situation &s) { s.preflight.serviceRunning = kNo; },
             {kOneDevice},
             kServiceVerdict},
        });
}

// The findings that the target's session and a healthy disk 2 give.
const char kNoNewLetter[] = "no new drive letter arrived since the request began";
const std::vector<std::string> kDisk2Healthy = {"disk 2 is online", "disk 2 is writable",
                                                "disk 2 is initialized"};

std::vector<std::string> Lines(std::initializer_list<std::vector<std::string>> parts) {
    std::vector<std::string> lines;
    for (const std::vector<std::string> &part : parts) {
        lines = lines + part;
    }
    return lines;
}

TEST(PostMortem, FreshLoginGotNoSingleNewLetter) {
    const std::string noVolume = "iqn.2026-01.test:disk1's disk 2 carries no volume: create one "
                                 "(New-Partition -DiskNumber 2 -UseMaximumSize "
                                 "-AssignDriveLetter | Format-Volume).";
    const std::string offline =
        "iqn.2026-01.test:disk1's disk 2 is offline, as Windows' SAN policy keeps new iSCSI "
        "disks: bring it online (Set-Disk -Number 2 -IsOffline $false) and have new disks come "
        "online (Set-StorageSetting -NewDiskPolicy OnlineAll).";
    const std::string blank = "iqn.2026-01.test:disk1's disk 2 is not initialized: initialize and "
                              "format it (Initialize-Disk -Number 2; New-Partition -DiskNumber 2 "
                              "-UseMaximumSize -AssignDriveLetter | Format-Volume).";
    const std::string readOnly = "iqn.2026-01.test:disk1's disk 2 is read-only, which keeps its "
                                 "volume from being mounted: Set-Disk -Number 2 -IsReadOnly "
                                 "$false.";
    const std::string unknownState = "No drive letter came for iqn.2026-01.test:disk1's disk 2, "
                                     "and its state could not be told: look at it with Get-Disk "
                                     "-Number 2 or in Disk Management (diskmgmt.msc).";
    const std::string noDisks = "No drive letter came for iqn.2026-01.test:disk1, and its "
                                "session's disks could not be told.";
    const std::string twoDevices =
        "the session 5e55-0001 to iqn.2026-01.test:disk1 has 2 devices, on disk 2, 3";
    const std::string several = "Several new drive letters arrived during the wait (F: G:) and "
                                "the request takes only a single one: ";
    const Fact attributesUnknown{Answer::kUnknown, "IOCTL_DISK_GET_DISK_ATTRIBUTES: error 50"};
    const std::string onlineUnknown =
        "could not tell whether disk 2 is online (IOCTL_DISK_GET_DISK_ATTRIBUTES: error 50)";
    const std::string readOnlyUnknown =
        "could not tell whether disk 2 is read-only (IOCTL_DISK_GET_DISK_ATTRIBUTES: error 50)";
    const std::string disk3OnlineUnknown =
        "could not tell whether disk 3 is online (IOCTL_DISK_GET_DISK_ATTRIBUTES: error 50)";
    const std::string initializedUnknown =
        "could not tell whether disk 2 is initialized (IOCTL_DISK_GET_DRIVE_LAYOUT_EX: error 50)";
    ExpectDiagnoses(
        kFresh, 0,
        {
            {"disk carries no volume", [](Situation &) {},
             Lines({{kNoNewLetter, kOneDevice}, kDisk2Healthy, {"disk 2 carries no volume"}}),
             noVolume},
            {"offline",
             [](Situation &s) { s.machine.disks[2].offline = kYes; },
             {kNoNewLetter, kOneDevice, "disk 2 is offline", "disk 2 is writable",
              "disk 2 is initialized", "disk 2 carries no volume"},
             offline},
            {"uninitialized",
             [](Situation &s) { s.machine.disks[2].initialized = kNo; },
             {kNoNewLetter, kOneDevice, "disk 2 is online", "disk 2 is writable",
              "disk 2 is not initialized (no partition table)", "disk 2 carries no volume"},
             blank},
            {"read-only",
             [](Situation &s) { s.machine.disks[2].readOnly = kYes; },
             {kNoNewLetter, kOneDevice, "disk 2 is online", "disk 2 is read-only",
              "disk 2 is initialized", "disk 2 carries no volume"},
             readOnly},
            {"offline comes first",
             [](Situation &s) {
                 s.machine.disks[2] = {kYes, kYes, kNo, kYes, {{"\\\\?\\Volume{v}\\", ""}}};
             },
             {kNoNewLetter, kOneDevice, "disk 2 is offline", "disk 2 is read-only",
              "disk 2 is not initialized (no partition table)",
              "disk 2 carries the volume \\\\?\\Volume{v}\\, which has no drive letter"},
             offline},
            {"uninitialized before read-only",
             [](Situation &s) {
                 s.machine.disks[2].initialized = kNo;
                 s.machine.disks[2].readOnly = kYes;
             },
             {kNoNewLetter, kOneDevice, "disk 2 is online", "disk 2 is read-only",
              "disk 2 is not initialized (no partition table)", "disk 2 carries no volume"},
             blank},
            {"read-only before a volume without a letter",
             [](Situation &s) {
                 s.machine.disks[2].readOnly = kYes;
                 s.machine.disks[2].volumes = {{"\\\\?\\Volume{v}\\", ""}};
             },
             {kNoNewLetter, kOneDevice, "disk 2 is online", "disk 2 is read-only",
              "disk 2 is initialized",
              "disk 2 carries the volume \\\\?\\Volume{v}\\, which has no drive letter"},
             readOnly},
            {"the first of two offline disks",
             [](Situation &s) {
                 s.machine.sessions[0].disks = {2, 3};
                 s.machine.disks[2].offline = kYes;
                 s.machine.disks[3] = Healthy({});
                 s.machine.disks[3].offline = kYes;
             },
             {kNoNewLetter, twoDevices, "disk 2 is offline", "disk 2 is writable",
              "disk 2 is initialized", "disk 2 carries no volume", "disk 3 is offline",
              "disk 3 is writable", "disk 3 is initialized", "disk 3 carries no volume"},
             offline},
            {"the first of two uninitialized disks",
             [](Situation &s) {
                 s.machine.sessions[0].disks = {2, 3};
                 s.machine.disks[2].initialized = kNo;
                 s.machine.disks[3] = Healthy({});
                 s.machine.disks[3].initialized = kNo;
             },
             {kNoNewLetter, twoDevices, "disk 2 is online", "disk 2 is writable",
              "disk 2 is not initialized (no partition table)", "disk 2 carries no volume",
              "disk 3 is online", "disk 3 is writable",
              "disk 3 is not initialized (no partition table)", "disk 3 carries no volume"},
             blank},
            {"the first of two read-only disks",
             [](Situation &s) {
                 s.machine.sessions[0].disks = {2, 3};
                 s.machine.disks[2].readOnly = kYes;
                 s.machine.disks[3] = Healthy({});
                 s.machine.disks[3].readOnly = kYes;
             },
             {kNoNewLetter, twoDevices, "disk 2 is online", "disk 2 is read-only",
              "disk 2 is initialized", "disk 2 carries no volume", "disk 3 is online",
              "disk 3 is read-only", "disk 3 is initialized", "disk 3 carries no volume"},
             readOnly},
            {"the second of two disks offline",
             [](Situation &s) {
                 s.machine.sessions[0].disks = {2, 3};
                 s.machine.disks[3] = Healthy({{"\\\\?\\Volume{w}\\", "W"}});
                 s.machine.disks[3].offline = kYes;
             },
             Lines(
                 {{kNoNewLetter, twoDevices},
                  kDisk2Healthy,
                  {"disk 2 carries no volume", "disk 3 is offline", "disk 3 is writable",
                   "disk 3 is initialized", "disk 3 carries the volume \\\\?\\Volume{w}\\ at W:"}}),
             "iqn.2026-01.test:disk1's disk 3 is offline, as Windows' SAN policy keeps new iSCSI "
             "disks: bring it online (Set-Disk -Number 3 -IsOffline $false) and have new disks "
             "come online (Set-StorageSetting -NewDiskPolicy OnlineAll)."},
            {"a disk listed twice is asked once",
             [](Situation &s) {
                 s.machine.sessions[0].disks = {2, 2};
             },
             Lines({{kNoNewLetter,
                     "the session 5e55-0001 to iqn.2026-01.test:disk1 has 2 devices, on disk 2, 2"},
                    kDisk2Healthy,
                    {"disk 2 carries no volume"}}),
             noVolume},
            {"volume without a letter",
             [](Situation &s) {
                 s.lettersAfter = "CD";
                 s.machine.disks[2].volumes = {{"\\\\?\\Volume{v}\\", ""}};
             },
             Lines({{"new drive letters since the request began: D:", kOneDevice},
                    kDisk2Healthy,
                    {"disk 2 carries the volume \\\\?\\Volume{v}\\, which has no drive letter"}}),
             "The volume \\\\?\\Volume{v}\\ on iqn.2026-01.test:disk1's disk has no drive letter: "
             "give it one (mountvol E: \\\\?\\Volume{v}\\) and let new volumes get letters "
             "(mountvol /E)."},
            {"the first volume without a letter, and the first free letter from D:",
             [](Situation &s) {
                 s.lettersBefore = s.lettersAfter = "AB";
                 s.machine.disks[2].volumes = {{"\\\\?\\Volume{u}\\", ""},
                                               {"\\\\?\\Volume{v}\\", ""}};
             },
             Lines({{kNoNewLetter, kOneDevice},
                    kDisk2Healthy,
                    {"disk 2 carries the volume \\\\?\\Volume{u}\\, which has no drive letter",
                     "disk 2 carries the volume \\\\?\\Volume{v}\\, which has no drive letter"}}),
             "The volume \\\\?\\Volume{u}\\ on iqn.2026-01.test:disk1's disk has no drive letter: "
             "give it one (mountvol D: \\\\?\\Volume{u}\\) and let new volumes get letters "
             "(mountvol /E)."},
            {"volume without a letter, only Z: free",
             [](Situation &s) {
                 s.lettersBefore = s.lettersAfter = "CDEFGHIJKLMNOPQRSTUVWXY";
                 s.machine.disks[2].volumes = {{"\\\\?\\Volume{v}\\", ""}};
             },
             Lines({{kNoNewLetter, kOneDevice},
                    kDisk2Healthy,
                    {"disk 2 carries the volume \\\\?\\Volume{v}\\, which has no drive letter"}}),
             "The volume \\\\?\\Volume{v}\\ on iqn.2026-01.test:disk1's disk has no drive letter: "
             "give it one (mountvol Z: \\\\?\\Volume{v}\\) and let new volumes get letters "
             "(mountvol /E)."},
            {"volume without a letter, none free",
             [](Situation &s) {
                 s.lettersBefore = s.lettersAfter = "ABCDEFGHIJKLMNOPQRSTUVWXYZ";
                 s.machine.disks[2].volumes = {{"\\\\?\\Volume{v}\\", ""}};
             },
             Lines({{kNoNewLetter, kOneDevice},
                    kDisk2Healthy,
                    {"disk 2 carries the volume \\\\?\\Volume{v}\\, which has no drive letter"}}),
             "The volume \\\\?\\Volume{v}\\ on iqn.2026-01.test:disk1's disk has no drive letter: "
             "give it one (mountvol X: \\\\?\\Volume{v}\\) and let new volumes get letters "
             "(mountvol /E)."},
            {"letters that were there before",
             [](Situation &s) {
                 s.lettersBefore = s.lettersAfter = "CFG";
                 s.machine.disks[2].volumes = {{"\\\\?\\Volume{f}\\", "FG"}};
             },
             Lines({{kNoNewLetter, kOneDevice},
                    kDisk2Healthy,
                    {"disk 2 carries the volume \\\\?\\Volume{f}\\ at F: G:"}}),
             "iqn.2026-01.test:disk1's disk carries only volumes whose letters were there before "
             "the request (F: G:), so no new letter could come; with the target logged in now, "
             "run the request again and it looks the letter up."},
            {"letter came late",
             [](Situation &s) {
                 s.lettersAfter = "CF";
                 s.machine.disks[2].volumes = {{"\\\\?\\Volume{f}\\", "F"}};
             },
             Lines({{"new drive letters since the request began: F:", kOneDevice},
                    kDisk2Healthy,
                    {"disk 2 carries the volume \\\\?\\Volume{f}\\ at F:"}}),
             "iqn.2026-01.test:disk1's volume has its letter now (F:), but it came after the "
             "request's wait: run the request again."},
            {"one of two volumes' letters came late",
             [](Situation &s) {
                 s.lettersBefore = "CF";
                 s.lettersAfter = "CFG";
                 s.machine.disks[2].volumes = {{"\\\\?\\Volume{f}\\", "F"},
                                               {"\\\\?\\Volume{g}\\", "G"}};
             },
             Lines({{"new drive letters since the request began: G:", kOneDevice},
                    kDisk2Healthy,
                    {"disk 2 carries the volume \\\\?\\Volume{f}\\ at F:",
                     "disk 2 carries the volume \\\\?\\Volume{g}\\ at G:"}}),
             "iqn.2026-01.test:disk1's volume has its letter now (F: G:), but it came after the "
             "request's wait: run the request again."},
            {"several new letters, all ours",
             [](Situation &s) {
                 s.lettersAfter = "CFG";
                 s.machine.letterDisks = {{'F', 2}, {'G', 2}};
                 s.machine.disks[2].volumes = {{"\\\\?\\Volume{f}\\", "F"},
                                               {"\\\\?\\Volume{g}\\", "G"}};
             },
             Lines({{"new drive letters since the request began: F: G:", kOneDevice,
                     "F: lies on disk 2, one of iqn.2026-01.test:disk1's",
                     "G: lies on disk 2, one of iqn.2026-01.test:disk1's"},
                    kDisk2Healthy,
                    {"disk 2 carries the volume \\\\?\\Volume{f}\\ at F:",
                     "disk 2 carries the volume \\\\?\\Volume{g}\\ at G:"}}),
             several + "all of them lie on iqn.2026-01.test:disk1's disks; leave a letter to one "
                       "volume only (mountvol X: /D for the others), then run the request "
                       "again."},
            {"several new letters, one stray",
             [](Situation &s) {
                 s.lettersAfter = "CFG";
                 s.machine.letterDisks = {{'F', 2}, {'G', 5}};
                 s.machine.disks[2].volumes = {{"\\\\?\\Volume{f}\\", "F"}};
             },
             Lines({{"new drive letters since the request began: F: G:", kOneDevice,
                     "F: lies on disk 2, one of iqn.2026-01.test:disk1's",
                     "G: lies on disk 5, not one of iqn.2026-01.test:disk1's"},
                    kDisk2Healthy,
                    {"disk 2 carries the volume \\\\?\\Volume{f}\\ at F:"}}),
             several + "G: is not shown to lie on iqn.2026-01.test:disk1's disks; remove its "
                       "letter (mountvol G: /D) or keep other volumes from arriving during a "
                       "request, then run it again."},
            {"several new letters, two strays",
             [](Situation &s) {
                 s.lettersAfter = "CFGH";
                 s.machine.letterDisks = {{'F', 2}, {'G', 5}};
                 s.machine.disks[2].volumes = {{"\\\\?\\Volume{f}\\", "F"}};
             },
             Lines({{"new drive letters since the request began: F: G: H:", kOneDevice,
                     "F: lies on disk 2, one of iqn.2026-01.test:disk1's",
                     "G: lies on disk 5, not one of iqn.2026-01.test:disk1's",
                     "could not tell which disk H: lies on (error 2)"},
                    kDisk2Healthy,
                    {"disk 2 carries the volume \\\\?\\Volume{f}\\ at F:"}}),
             "Several new drive letters arrived during the wait (F: G: H:) and the request takes "
             "only a single one: G: H: are not shown to lie on iqn.2026-01.test:disk1's disks; "
             "remove their letters (mountvol G: /D) or keep other volumes from arriving during a "
             "request, then run it again."},
            {"several new letters, no session",
             [](Situation &s) {
                 s.lettersAfter = "CFG";
                 s.machine.sessions.clear();
                 s.machine.letterDisks = {{'F', 2}, {'G', 2}};
             },
             {"new drive letters since the request began: F: G:",
              "the initiator lists 0 sessions, none to iqn.2026-01.test:disk1",
              "F: lies on disk 2, not one of iqn.2026-01.test:disk1's",
              "G: lies on disk 2, not one of iqn.2026-01.test:disk1's"},
             several + "F: G: are not shown to lie on iqn.2026-01.test:disk1's disks; remove "
                       "their letters (mountvol F: /D) or keep other volumes from arriving "
                       "during a request, then run it again."},
            {"disk state unknown: attributes",
             [&](Situation &s) {
                 s.machine.disks[2].offline = attributesUnknown;
                 s.machine.disks[2].readOnly = attributesUnknown;
             },
             {kNoNewLetter, kOneDevice, onlineUnknown, readOnlyUnknown, "disk 2 is initialized",
              "disk 2 carries no volume"},
             unknownState},
            {"disk state unknown: layout",
             [](Situation &s) {
                 s.machine.disks[2].initialized = {Answer::kUnknown,
                                                   "IOCTL_DISK_GET_DRIVE_LAYOUT_EX: error 50"};
             },
             {kNoNewLetter, kOneDevice, "disk 2 is online", "disk 2 is writable",
              initializedUnknown, "disk 2 carries no volume"},
             unknownState},
            {"disk state unknown: volumes",
             [](Situation &s) {
                 s.machine.disks[2].volumesKnown = {Answer::kUnknown, "FindFirstVolumeA: error 5"};
             },
             Lines({{kNoNewLetter, kOneDevice},
                    kDisk2Healthy,
                    {"could not tell which volumes disk 2 carries (FindFirstVolumeA: error 5)"}}),
             unknownState},
            {"read-only unknown alone leaves the state known",
             [&](Situation &s) { s.machine.disks[2].readOnly = attributesUnknown; },
             {kNoNewLetter, kOneDevice, "disk 2 is online", readOnlyUnknown,
              "disk 2 is initialized", "disk 2 carries no volume"},
             noVolume},
            {"disk state unknown on the second disk",
             [&](Situation &s) {
                 s.machine.sessions[0].disks = {2, 3};
                 s.machine.disks[3] = Healthy({});
                 s.machine.disks[3].offline = attributesUnknown;
             },
             Lines({{kNoNewLetter, twoDevices},
                    kDisk2Healthy,
                    {"disk 2 carries no volume", disk3OnlineUnknown, "disk 3 is writable",
                     "disk 3 is initialized", "disk 3 carries no volume"}}),
             unknownState},
            {"no session",
             [](Situation &s) { s.machine.sessions.clear(); },
             {kNoNewLetter, "the initiator lists 0 sessions, none to iqn.2026-01.test:disk1"},
             noDisks},
            {"session without devices",
             [](Situation &s) { s.machine.sessions[0].disks.clear(); },
             {kNoNewLetter, "the session 5e55-0001 to iqn.2026-01.test:disk1 has no devices"},
             noDisks},
            {"service stopped: neither letters nor disks asked",
             [](Situation &s) {
                 s.preflight.serviceRunning = kNo;
                 s.lettersAfter = "CFG";
             },
             {"new drive letters since the request began: F: G:", kOneDevice},
             kServiceVerdict},
            {"not elevated: the disks answer all the same",
             [](Situation &s) { s.preflight.elevated = kNo; },
             Lines({{kNoNewLetter, kOneDevice}, kDisk2Healthy, {"disk 2 carries no volume"}}),
             noVolume},
        });
}

TEST(PostMortem, ExistingLoginWithoutItsLetter) {
    const std::string late = "iqn.2026-01.test:disk1's volume has its letter now (F:), but it "
                             "came after the request's wait: run the request again.";
    ExpectDiagnoses(
        kExisting + std::vector<std::string>{"Get Mount Points Error!"}, 0,
        {
            {"volume without a letter",
             [](Situation &s) {
                 s.machine.disks[2].volumes = {{"\\\\?\\Volume{v}\\", ""}};
             },
             Lines({{kNoNewLetter, kOneDevice},
                    kDisk2Healthy,
                    {"disk 2 carries the volume \\\\?\\Volume{v}\\, which has no drive letter"}}),
             "The volume \\\\?\\Volume{v}\\ on iqn.2026-01.test:disk1's disk has no drive letter: "
             "give it one (mountvol D: \\\\?\\Volume{v}\\) and let new volumes get letters "
             "(mountvol /E)."},
            {"a letter that was there before has come since",
             [](Situation &s) {
                 s.lettersBefore = s.lettersAfter = "CF";
                 s.machine.disks[2].volumes = {{"\\\\?\\Volume{f}\\", "F"}};
             },
             Lines({{kNoNewLetter, kOneDevice},
                    kDisk2Healthy,
                    {"disk 2 carries the volume \\\\?\\Volume{f}\\ at F:"}}),
             late},
            {"several new letters are no fault here",
             [](Situation &s) {
                 s.lettersAfter = "CFG";
                 s.machine.letterDisks = {{'F', 2}, {'G', 5}};
                 s.machine.disks[2].volumes = {{"\\\\?\\Volume{f}\\", "F"}};
             },
             Lines({{"new drive letters since the request began: F: G:", kOneDevice,
                     "F: lies on disk 2, one of iqn.2026-01.test:disk1's",
                     "G: lies on disk 5, not one of iqn.2026-01.test:disk1's"},
                    kDisk2Healthy,
                    {"disk 2 carries the volume \\\\?\\Volume{f}\\ at F:"}}),
             late},
            {"offline",
             [](Situation &s) { s.machine.disks[2].offline = kYes; },
             {kNoNewLetter, kOneDevice, "disk 2 is offline", "disk 2 is writable",
              "disk 2 is initialized", "disk 2 carries no volume"},
             "iqn.2026-01.test:disk1's disk 2 is offline, as Windows' SAN policy keeps new iSCSI "
             "disks: bring it online (Set-Disk -Number 2 -IsOffline $false) and have new disks "
             "come online (Set-StorageSetting -NewDiskPolicy OnlineAll)."},
        });
}

TEST(PostMortem, ExistingLoginWithOtherThanOneDevice) {
    const std::string logOut = ", and the request takes an existing login only with exactly one: "
                               "log the session out (iscsicli LogoutTarget ";
    ExpectDiagnoses(
        kExisting, 0,
        {
            {"two devices",
             [](Situation &s) {
                 s.machine.sessions[0].disks = {2, 3};
             },
             {kNoNewLetter,
              "the session 5e55-0001 to iqn.2026-01.test:disk1 has 2 devices, on disk 2, 3"},
             "iqn.2026-01.test:disk1 was already logged in, with 2 devices" + logOut +
                 "5e55-0001) and run the request again."},
            {"no session",
             [](Situation &s) { s.machine.sessions.clear(); },
             {kNoNewLetter, "the initiator lists 0 sessions, none to iqn.2026-01.test:disk1"},
             "iqn.2026-01.test:disk1 was already logged in, with a number of devices other than "
             "one" +
                 logOut + "SESSION-ID) and run the request again."},
            {"one device by now, letters and disks not asked",
             [](Situation &s) {
                 s.lettersAfter = "CFG";
                 s.machine.disks[2].offline = kYes;
             },
             {"new drive letters since the request began: F: G:", kOneDevice},
             "iqn.2026-01.test:disk1 was already logged in, with 1 device" + logOut +
                 "5e55-0001) and run the request again."},
            {"service stopped",
             [](Situation &s) {
                 s.preflight.serviceRunning = kNo;
                 s.machine.sessionsStatus = 0xEFFF003E;
             },
             {kNoNewLetter,
              std::string("could not read the initiator's sessions: ") + kServiceNotRunning},
             kServiceVerdict},
        });
}

// Where the request stopped, read from its trace; each step told apart by what it asks and
// says, with the machine below.
TEST(PostMortem, ReadsTheTraceToTheStepWhereTheRequestStopped) {
    enum class Step {
        kNoTraceFailed,
        kNoTraceSucceeded,
        kSucceeded,
        kPortal,
        kLogin,
        kDevices,
        kNewVolume,
        kExistingLetter,
        kExistingDevices
    };
    struct Said {
        std::vector<std::string> findings;
        std::string verdict;
        int logins;
    };
    const std::string notSeen = ", but its trace was not seen, so where it stopped cannot be "
                                "told: close any other debug-output viewer and run the check "
                                "again.";
    const std::string sessionsUnread =
        std::string("could not read the initiator's sessions: ") + kAccessDenied;
    const std::vector<std::string> lettersUnknown = {
        "new drive letters since the request began: F: G:", sessionsUnread,
        "could not tell which disk F: lies on (error 2)",
        "could not tell which disk G: lies on (error 2)"};
    const std::map<Step, Said> said = {
        {Step::kNoTraceFailed, {{}, "The request failed" + notSeen, 0}},
        {Step::kNoTraceSucceeded, {{}, "The request succeeded" + notSeen, 0}},
        {Step::kSucceeded,
         {{}, "The request succeeded: iqn.2026-01.test:disk1's volume is at F:.", 0}},
        {Step::kPortal,
         {{Registering("accepted now")},
          "The portal 10.0.0.5:3260 was refused during the request but is accepted now: it was "
          "out of reach for a while; run the request again.",
          0}},
        {Step::kLogin,
         {{"the initiator knows 1 target: iqn.2026-01.test:disk1; iqn.2026-01.test:disk1 is "
           "among them",
           InformationalLogin("accepted, and logged out again")},
          "The logins to iqn.2026-01.test:disk1 failed during the request but succeed now: the "
          "target was out of reach for a while; run the request again.",
          1}},
        {Step::kDevices,
         {{sessionsUnread},
          "The login to iqn.2026-01.test:disk1 succeeded, but no session to it can be found: it "
          "ended soon after; the System event log (source iScsiPrt) says why.",
          0}},
        {Step::kNewVolume,
         {lettersUnknown,
          "Several new drive letters arrived during the wait (F: G:) and the request takes only "
          "a single one: F: G: are not shown to lie on iqn.2026-01.test:disk1's disks; remove "
          "their letters (mountvol F: /D) or keep other volumes from arriving during a request, "
          "then run it again.",
          0}},
        {Step::kExistingLetter,
         {lettersUnknown,
          "No drive letter came for iqn.2026-01.test:disk1, and its session's disks could not "
          "be told.",
          0}},
        {Step::kExistingDevices,
         {{"new drive letters since the request began: F: G:", sessionsUnread},
          "iqn.2026-01.test:disk1 was already logged in, with a number of devices other than one, "
          "and the "
          "request takes an existing login only with exactly one: log the session out (iscsicli "
          "LogoutTarget SESSION-ID) and run the request again.",
          0}},
    };
    struct Reading {
        const char *name;
        std::vector<std::string> trace;
        int result;
        Step step;
    };
    const std::vector<std::string> waiting = {"old str:C", "new str:C",
                                              "________________Waitting Mounted______________"};
    const std::vector<Reading> readings = {
        {"no trace", {}, 0, Step::kNoTraceFailed},
        {"no trace, the request succeeded", {}, 1, Step::kNoTraceSucceeded},
        {"no opening line",
         {"Disk NO:1", "after Connection 32", "uRet: 20"},
         0,
         Step::kNoTraceFailed},
        {"opening line only", {kOpening}, 0, Step::kPortal},
        {"no disk counted", {kOpening, "after Connection 32", "uRet: 20"}, 0, Step::kPortal},
        {"no login outcome", {kOpening, "Disk NO:1"}, 0, Step::kLogin},
        {"both logins failed", kLoginFailed, 0, Step::kLogin},
        {"logged in, no devices", kLoggedIn, 0, Step::kDevices},
        {"an existing login, no devices",
         {kOpening, "Disk NO:1", "after Connection 16", "GetSession Error1"},
         0,
         Step::kDevices},
        {"a fresh login's wait", kFresh + waiting, 0, Step::kNewVolume},
        {"a fresh login, mount points missing",
         kFresh + std::vector<std::string>{"Get Mount Points Error!"}, 0, Step::kNewVolume},
        {"an existing login's disk has no letter",
         kExisting + std::vector<std::string>{"Get Mount Points Error!"}, 0, Step::kExistingLetter},
        {"an existing login's devices", kExisting, 0, Step::kExistingDevices},
        {"success", kFresh + waiting + std::vector<std::string>{"Task Disk F:\\"}, 1,
         Step::kSucceeded},
        {"an existing login's success", kExisting + std::vector<std::string>{"Task Disk F:\\"}, 1,
         Step::kSucceeded},
        {"a letter, but the request failed",
         kFresh + waiting + std::vector<std::string>{"Task Disk F:\\"}, 0, Step::kNewVolume},
        {"succeeded, but no letter written", kFresh + waiting, 1, Step::kNewVolume},
    };
    for (const Reading &reading : readings) {
        SCOPED_TRACE(reading.name);
        FakeMachine machine;
        machine.targets = {kTarget};
        machine.sessionsStatus = 5;
        Situation situation;
        const Diagnosis diagnosis = PostMortem(Request(), situation.preflight, reading.trace,
                                               reading.result, "C", "CFG", machine);
        const Said &expected = said.at(reading.step);
        EXPECT_EQ(diagnosis.findings, expected.findings);
        EXPECT_EQ(diagnosis.verdict, expected.verdict);
        EXPECT_EQ(machine.logins, expected.logins);
    }
}

// What vxdhost attach --check concludes from a call's result, its progress lines and the
// machine: for a refused login, the credentials that the target must hold for this initiator.
TEST(AttachPostMortem, NamesWhatTheTargetMustHoldForThisInitiator) {
    const std::string name = "the initiator's name is iqn.1991-05.com.microsoft:host7";
    const std::string forThis = "this initiator's name, iqn.1991-05.com.microsoft:host7";
    const std::string portal = "VxdAttach: the portal 10.0.0.5:3260 is registered";
    const std::string secretSet =
        "VxdAttach: set the initiator's CHAP secret, which is the machine's for every target";
    const std::string refusedChap = std::string("The target iqn.2026-01.test:disk1 refused the "
                                                "CHAP credentials: ") +
                                    kAuthenticationFailure + "; it must hold, for " + forThis +
                                    ", the CHAP user name \"alice\" and the secret from ";
    const std::string correct =
        ": correct whichever differs, on the target or here, and attach again.";
    const std::string proves = " With mutual CHAP the target also proves itself with the secret "
                               "it holds for this initiator, which must be ";
    struct AttachCase {
        const char *name;
        std::function<void(AttachFacts &, Preflight &, FakeMachine &)> setUp;
        std::vector<std::string> findings;
        std::string verdict;
    };
    const std::vector<AttachCase> cases = {
        {"done",
         [](AttachFacts &facts, Preflight &, FakeMachine &) {
             facts.status = VXD_STATUS_OK;
             facts.letters = "F: G:";
         },
         {},
         "The attach succeeded: iqn.2026-01.test:disk1's volumes are at F: G:."},
        {"refused without credentials",
         [](AttachFacts &, Preflight &, FakeMachine &) {},
         {name},
         std::string("The target iqn.2026-01.test:disk1 refuses this initiator without "
                     "credentials: ") +
             kAuthenticationFailure +
             "; attach with --chap-user NAME and --chap-secret-file FILE (or --chap-secret-stdin), "
             "the CHAP user name and secret that the target holds for " +
             forThis + "."},
        {"one-way CHAP refused",
         [](AttachFacts &facts, Preflight &, FakeMachine &) {
             facts.chapUser = "alice";
             facts.secretSource = "C:\\keys\\disk1.txt";
         },
         {name},
         refusedChap + "C:\\keys\\disk1.txt" + correct},
        {"mutual CHAP that set the machine's secret",
         [&](AttachFacts &facts, Preflight &, FakeMachine &) {
             facts.chapUser = "alice";
             facts.secretSource = "standard input";
             facts.initiatorSecretSource = "C:\\keys\\machine.txt";
             facts.progress = {portal, secretSet};
         },
         {name},
         refusedChap + "standard input" + correct + proves + "the one from C:\\keys\\machine.txt."},
        {"mutual CHAP with the machine's secret",
         [](AttachFacts &facts, Preflight &, FakeMachine &) {
             facts.chapUser = "alice";
             facts.secretSource = "s.txt";
             facts.mutualChap = true;
         },
         {name},
         refusedChap + "s.txt" + correct + proves +
             "the machine's initiator secret (set it with --initiator-secret-file FILE)."},
        {"mutual CHAP on a machine without a secret",
         [](AttachFacts &facts, Preflight &, FakeMachine &) {
             facts.chapUser = "alice";
             facts.secretSource = "s.txt";
             facts.mutualChap = true;
             facts.serviceStatus = 0xEFFF004C;
         },
         {name},
         "Mutual CHAP needs the machine's initiator secret, and the initiator has none that it "
         "can use: ISDSC_INVALID_INITIATOR_CHAP_SECRET (0xEFFF004C): the initiator's CHAP "
         "secret, used for mutual CHAP, is not valid; set it with --initiator-secret-file FILE "
         "(the machine's for every target): the secret that iqn.2026-01.test:disk1 holds to "
         "prove itself to " +
             forThis + "."},
        {"the machine's secret refused",
         [](AttachFacts &facts, Preflight &, FakeMachine &) {
             facts.chapUser = "alice";
             facts.secretSource = "s.txt";
             facts.initiatorSecretSource = "i.txt";
             facts.serviceStatus = 0xEFFF004A;
         },
         {name},
         "The service refused the initiator secret from i.txt: ISDSC_INVALID_CHAP_SECRET "
         "(0xEFFF004A): the CHAP secret is not valid; it must be 12 to 16 bytes that the "
         "initiator takes as a CHAP secret."},
        {"discovery refused by the portal",
         [](AttachFacts &facts, Preflight &, FakeMachine &) {
             facts.chapUser = "alice";
             facts.secretSource = "s.txt";
             facts.discoveryChap = true;
         },
         {name},
         std::string("The portal 10.0.0.5:3260 refused the discovery credentials: ") +
             kAuthenticationFailure + "; it must hold, for " + forThis +
             ", the CHAP user name \"alice\" and the secret from s.txt, or, where discovery "
             "needs no CHAP, attach without --discovery-chap."},
        {"discovery accepted, the login refused",
         [&](AttachFacts &facts, Preflight &, FakeMachine &) {
             facts.chapUser = "alice";
             facts.secretSource = "s.txt";
             facts.discoveryChap = true;
             facts.progress = {portal};
         },
         {name},
         refusedChap + "s.txt" + correct},
        {"the initiator's name unknown",
         [](AttachFacts &facts, Preflight &, FakeMachine &machine) {
             facts.serviceStatus = 0xEFFF000A;
             machine.initiatorNameStatus = 5;
         },
         {"could not tell the initiator's name: " + std::string(kAccessDenied)},
         std::string("The target iqn.2026-01.test:disk1 refuses this initiator without "
                     "credentials: ") +
             kAuthorizationFailure +
             "; attach with --chap-user NAME and --chap-secret-file FILE (or --chap-secret-stdin), "
             "the CHAP user name and secret that the target holds for this initiator's name "
             "(which could not be read here)."},
        // The faults that stop every call come first.
        {"service stopped",
         [](AttachFacts &facts, Preflight &preflight, FakeMachine &) {
             facts.status = VXD_STATUS_SERVICE_UNAVAILABLE;
             facts.serviceStatus = 0xEFFF003E;
             preflight.serviceRunning = kNo;
         },
         {},
         kServiceVerdict},
        {"service unreachable",
         [](AttachFacts &facts, Preflight &, FakeMachine &) {
             facts.status = VXD_STATUS_SERVICE_UNAVAILABLE;
             facts.serviceStatus = 1722;
         },
         {},
         "The Microsoft iSCSI Initiator service (MSiSCSI) cannot be reached: error 1722 "
         "(0x000006BA); start it and have it start with Windows (sc config MSiSCSI start= auto, "
         "then sc start MSiSCSI)."},
        {"not elevated",
         [](AttachFacts &facts, Preflight &preflight, FakeMachine &) {
             facts.status = VXD_STATUS_PORTAL_FAILED;
             facts.serviceStatus = 5;
             preflight.elevated = kNo;
         },
         {},
         kElevationVerdict},
        {"an argument refused",
         [](AttachFacts &facts, Preflight &, FakeMachine &) {
             facts.status = VXD_STATUS_INVALID_ARGUMENT;
             facts.serviceStatus = 0;
             facts.progress = {
                 "VxdAttach: the CHAP secret is 20 bytes long; Windows takes 12 to 16",
                 "VxdAttach: failed: an argument is missing or malformed"};
         },
         {},
         "The library refused the request before sending anything: the CHAP secret is 20 bytes "
         "long; Windows takes 12 to 16."},
        {"cancelled",
         [](AttachFacts &facts, Preflight &, FakeMachine &) {
             facts.status = VXD_STATUS_CANCELLED;
             facts.serviceStatus = 0;
         },
         {},
         "The attach was cancelled; the library undid the login it made."},
        {"no letter",
         [](AttachFacts &facts, Preflight &, FakeMachine &) {
             facts.status = VXD_STATUS_NO_LETTER;
             facts.serviceStatus = 0;
         },
         {},
         "The attach failed with VXD_STATUS_NO_LETTER: the progress lines above tell at which "
         "step."},
        // 1.4: each verdict reads what Windows says now and names the remedy.
        {"disk offline: the SAN policy",
         [](AttachFacts &facts, Preflight &, FakeMachine &machine) {
             facts.status = VXD_STATUS_DISK_OFFLINE;
             facts.serviceStatus = 0;
             facts.disks = {2};
             facts.diskAttributes = {VXD_DISK_OFFLINE | VXD_DISK_READ_ONLY};
             machine.disks[2].offline = kYes;
             machine.disks[2].readOnly = kYes;
         },
         {"disk 2 is offline", "disk 2 is read-only",
          "the machine's SAN policy is offline shared (SanPolicy 2)"},
         "iqn.2026-01.test:disk1's disk 2 is offline, as the SAN policy keeps new disks on a "
         "shared bus: a cluster's shared disks stay offline on purpose, since two machines "
         "writing one disk lose data. If no other machine uses this LUN, attach with --online "
         "(it brings the disk online and writable), or once: Set-Disk -Number 2 -IsOffline "
         "$false -IsReadOnly $false."},
        {"disk offline: bringing it online refused",
         [](AttachFacts &facts, Preflight &, FakeMachine &machine) {
             facts.status = VXD_STATUS_DISK_OFFLINE;
             facts.serviceStatus = 5;
             facts.disks = {2};
             facts.diskAttributes = {VXD_DISK_OFFLINE};
             machine.sanPolicy = {Answer::kUnknown, "SanPolicy: error 2"};
         },
         {"disk 2 is online", "disk 2 is writable",
          "could not read the machine's SAN policy (SanPolicy: error 2); Windows Server's "
          "default is offline shared"},
         "iqn.2026-01.test:disk1's disk 2 could not be brought online: error 5 (0x00000005): "
         "Access is denied; run the attach as administrator, or Set-Disk -Number 2 -IsOffline "
         "$false -IsReadOnly $false."},
        {"a clone",
         [](AttachFacts &facts, Preflight &, FakeMachine &machine) {
             facts.status = VXD_STATUS_DISK_COLLISION;
             facts.serviceStatus = 0;
             facts.disks = {2};
             facts.diskAttributes = {VXD_DISK_OFFLINE | VXD_DISK_COLLISION};
             machine.disks[2].offline = kYes;
             machine.disks[2].identity = "MBR signature 1A2B3C4D";
             machine.disks[2].collision = kYes;
             machine.disks[2].collidingDisk = 1;
         },
         {"disk 2 is offline", "disk 2 is writable",
          "disk 2's identity is its MBR signature 1A2B3C4D, also disk 1's"},
         "iqn.2026-01.test:disk1's disk 2 stays offline because its signature is also disk 1's: "
         "it is a clone or a snapshot of it, and Windows keeps such a copy offline. Attach it on "
         "a machine that does not have the original, or give the copy a new signature "
         "(diskpart: select disk 2, uniqueid disk id=NEW), then attach again: its data stays as "
         "it is, but whatever knows the copy by its signature or disk ID (boot entries, cluster "
         "resources, a backup's catalog) no longer finds it."},
        {"a blank disk",
         [](AttachFacts &facts, Preflight &, FakeMachine &machine) {
             facts.status = VXD_STATUS_NO_VOLUME;
             facts.serviceStatus = 0;
             facts.disks = {2};
             facts.diskAttributes = {VXD_DISK_NO_VOLUME};
             machine.disks[2].initialized = kNo;
         },
         {"disk 2 is online", "disk 2 is writable"},
         "iqn.2026-01.test:disk1's disk 2 holds no volume that Windows can mount (it is not "
         "initialized): if it is a new, empty LUN, initialize and format it (Initialize-Disk "
         "-Number 2; New-Partition -DiskNumber 2 -UseMaximumSize | Format-Volume); if it should "
         "hold data, the target maps another LUN than the one you expect. The attach never "
         "partitions or formats."},
        {"no letter free to give",
         [](AttachFacts &facts, Preflight &, FakeMachine &machine) {
             facts.status = VXD_STATUS_MOUNT_FAILED;
             facts.serviceStatus = 0;
             machine.letters = "CDEFGHIJKLMNOPQRSTUVWXYZ";
         },
         {"no drive letter from D to Z is free"},
         "Every drive letter from D to Z is taken: free one (mountvol X: /D), or attach with "
         "--mount-folder DIR instead."},
        {"the mount refused",
         [](AttachFacts &facts, Preflight &, FakeMachine &) {
             facts.status = VXD_STATUS_MOUNT_FAILED;
             facts.serviceStatus = 5;
         },
         {"the first free drive letter is E:"},
         "Windows refused to mount iqn.2026-01.test:disk1's volume: error 5 (0x00000005): "
         "Access is denied; the folder must exist, be empty and lie on an NTFS volume, and the "
         "attach must run as administrator."},
        {"a volume without a letter, automount off",
         [](AttachFacts &facts, Preflight &, FakeMachine &machine) {
             facts.status = VXD_STATUS_NO_LETTER;
             facts.serviceStatus = 0;
             facts.volumes = {"\\\\?\\Volume{0a1b2c3d-0000-4000-8000-000000000002}\\"};
             machine.autoMount = kNo;
         },
         {"automount is off (NoAutoMount 1): new volumes get no drive letter",
          "the first free drive letter is E:"},
         "The volume \\\\?\\Volume{0a1b2c3d-0000-4000-8000-000000000002}\\ on "
         "iqn.2026-01.test:disk1's disk is there but has no drive letter, since automount is "
         "off: turn it on (mountvol /E); attach with --assign-letter or --mount-folder DIR, or "
         "use the volume by its name."},
        {"login failed",
         [](AttachFacts &facts, Preflight &, FakeMachine &) {
             facts.status = VXD_STATUS_LOGIN_FAILED;
             facts.serviceStatus = 0xEFFF0029;
         },
         {},
         std::string("The attach failed with VXD_STATUS_LOGIN_FAILED (the service's status: ") +
             kTargetNotFound + "): the progress lines above tell at which step."},
        {"an initiator instance the service does not have",
         [](AttachFacts &facts, Preflight &, FakeMachine &) {
             facts.status = VXD_STATUS_PORTAL_FAILED;
             facts.serviceStatus = 0xEFFF0017;
         },
         {"the initiator's instances: ROOT\\ISCSIPRT\\0000_0, PCI\\HBA\\1"},
         "The service refused the initiator (ISDSC_INITIATOR_INSTANCE_NOT_FOUND (0xEFFF0017): "
         "the initiator instance (adapter and port) named in the request does not exist): pass "
         "--initiator one of the instances above, with a port it has or none, or leave "
         "--initiator out for any."},
    };
    for (const AttachCase &c : cases) {
        SCOPED_TRACE(c.name);
        Situation situation;
        AttachFacts facts;
        facts.request = Request();
        facts.status = VXD_STATUS_AUTH_FAILED;
        facts.serviceStatus = 0xEFFF0009;
        c.setUp(facts, situation.preflight, situation.machine);
        const Diagnosis diagnosis = AttachPostMortem(facts, situation.preflight, situation.machine);
        EXPECT_EQ(diagnosis.findings, c.findings);
        EXPECT_EQ(diagnosis.verdict, c.verdict);
        EXPECT_EQ(situation.machine.logins, 0) << "an attach's check makes no login of its own";
    }
}

TEST(PreflightFindings, EachFactAsToldWithItsRemedy) {
    struct Case {
        const char *name;
        std::function<void(Preflight &)> setUp;
        std::vector<std::string> findings;
    };
    const char kElevated[] = "the process is elevated";
    const char kRunning[] = "the MSiSCSI service is running; it starts automatically";
    const char kLoads[] = "iscsidsc.dll loads: C:\\Windows\\system32\\iscsidsc.dll";
    const char kAnswers[] = "the portal 10.0.0.5:3260 answers on TCP (connected in 1 ms)";
    const char kTestKit[] = "iscsidsc.dll is the vxdmount test kit, which plays the initiator "
                            "as a scenario file says: never deploy it";
    const std::vector<Case> cases = {
        {"all well", [](Preflight &) {}, {kElevated, kRunning, kLoads, kAnswers}},
        {"not elevated",
         [](Preflight &p) { p.elevated = kNo; },
         {"the process is not elevated: the initiator refuses most requests from it; run the "
          "program as administrator",
          kRunning, kLoads, kAnswers}},
        {"elevation unknown",
         [](Preflight &p) {
             p.elevated = {Answer::kUnknown, "error 6"};
         },
         {"could not tell whether the process is elevated (error 6)", kRunning, kLoads, kAnswers}},
        {"service stopped, disabled",
         [](Preflight &p) {
             p.serviceRunning = kNo;
             p.startType = "never (disabled)";
         },
         {kElevated,
          "the MSiSCSI service is not running: start it and have it start with Windows (sc "
          "config MSiSCSI start= auto, then sc start MSiSCSI); it starts never (disabled)",
          kLoads, kAnswers}},
        {"service running, started by hand",
         [](Preflight &p) { p.startType = "manually"; },
         {kElevated,
          "the MSiSCSI service is running; it starts manually: have it start with Windows (sc "
          "config MSiSCSI start= auto)",
          kLoads, kAnswers}},
        {"service unknown, start type unknown",
         [](Preflight &p) {
             p.serviceRunning = {Answer::kUnknown, "error 1060"};
             p.startType.clear();
         },
         {kElevated, "could not tell whether the MSiSCSI service runs (error 1060)", kLoads,
          kAnswers}},
        {"service unknown, started by hand",
         [](Preflight &p) {
             p.serviceRunning = {Answer::kUnknown, "error 5"};
             p.startType = "manually";
         },
         {kElevated,
          "could not tell whether the MSiSCSI service runs (error 5); it starts manually: have "
          "it start with Windows (sc config MSiSCSI start= auto)",
          kLoads, kAnswers}},
        {"library missing",
         [](Preflight &p) {
             p.libraryLoads = {Answer::kNo, "error 126"};
         },
         {kElevated, kRunning,
          "iscsidsc.dll does not load (error 126): add the Microsoft iSCSI Initiator to Windows",
          kAnswers}},
        {"library unknown",
         [](Preflight &p) {
             p.libraryLoads = {Answer::kUnknown, "no path"};
         },
         {kElevated, kRunning, "could not tell whether iscsidsc.dll loads (no path)", kAnswers}},
        {"the test kit",
         [](Preflight &p) {
             p.libraryLoads = {Answer::kYes, "C:\\vxd\\iscsidsc.dll"};
             p.testKit = true;
         },
         {kElevated, kRunning, "iscsidsc.dll loads: C:\\vxd\\iscsidsc.dll", kTestKit, kAnswers}},
        {"portal silent",
         [](Preflight &p) {
             p.portalAnswers = {Answer::kNo, "connection refused"};
         },
         {kElevated, kRunning, kLoads,
          "nothing answers on 10.0.0.5:3260 (connection refused): check the address, the port "
          "and the firewall (Test-NetConnection 10.0.0.5 -Port 3260)"}},
        {"portal unknown",
         [](Preflight &p) {
             p.portalAnswers = {Answer::kUnknown, "no socket: error 10093"};
         },
         {kElevated, kRunning, kLoads,
          "could not tell whether the portal answers (no socket: error 10093)"}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        Preflight preflight = Situation().preflight;
        c.setUp(preflight);
        EXPECT_EQ(PreflightFindings({"10.0.0.5", 3260, kTarget}, preflight), c.findings);
    }
}

TEST(StatusText, NamesTheLibrarysStatusesAndWindowsCodesWithTheirText) {
    FakeMachine machine;
    EXPECT_EQ(StatusText(0, machine), "0 (success)");
    EXPECT_EQ(StatusText(0xEFFF0003, machine), kConnectionFailed);
    EXPECT_EQ(StatusText(5, machine), kAccessDenied);
    EXPECT_EQ(StatusText(87, machine), kInvalidParameter);
    EXPECT_EQ(StatusText(0xAFFF003E, machine), "error 2952724542 (0xAFFF003E)");
}

// VXD_STATUS_NAME -> number, as entry/vxdmount.h defines them; a name defined twice fails.
std::map<std::string, int> HeaderStatuses() {
    std::map<std::string, int> statuses;
    std::ifstream header(VXD_SOURCE_DIR "/entry/vxdmount.h");
    EXPECT_TRUE(header.is_open());
    // Every definition of a VXD_STATUS_ name, whatever follows it: a value that is not a plain
    // number, or a comment after it, fails rather than goes unchecked.
    const std::regex define(R"(^\s*#\s*define\s+(VXD_STATUS_\w+)(.*)$)");
    for (std::string line; std::getline(header, line);) {
        std::smatch match;
        if (std::regex_match(line, match, define)) {
            const std::string value =
                std::regex_replace(match[2].str(), std::regex(R"(^\s+|\s+$)"), "");
            EXPECT_TRUE(std::regex_match(value, std::regex("[0-9]+")))
                << match[1] << " is not a plain number: " << value;
            EXPECT_TRUE(statuses.emplace(match[1], std::stoi(value)).second)
                << match[1] << " defined twice";
        }
    }
    return statuses;
}

TEST(CallStatuses, TableHoldsEveryStatusOfTheHeaderOnceWithItsNumberAndNothingElse) {
    std::map<std::string, int> unmatched = HeaderStatuses();
    ASSERT_FALSE(unmatched.empty());
    std::set<int> codes;
    for (const vxd::StatusName *status = vxd::StatusNamesBegin(); status != vxd::StatusNamesEnd();
         ++status) {
        const auto defined = unmatched.find(status->name);
        ASSERT_TRUE(defined != unmatched.end())
            << status->name << ": not defined in vxdmount.h, or twice in the table";
        EXPECT_EQ(status->code, defined->second) << status->name;
        unmatched.erase(defined);
        EXPECT_TRUE(codes.insert(status->code).second) << status->code << " twice";

        EXPECT_EQ(vxd::FindStatusName(status->code), status) << status->name;
        // VxdStatusText answers from the same table that vxdhost names the statuses from.
        EXPECT_STREQ(VxdStatusText(status->code), status->text) << status->name;
        // A clause that vxdhost puts after "NAME (N): ".
        const std::string text = status->text;
        ASSERT_FALSE(text.empty()) << status->name;
        EXPECT_TRUE(std::islower(static_cast<unsigned char>(text.front()))) << text;
        EXPECT_NE(text.back(), '.') << text;
    }
    EXPECT_TRUE(unmatched.empty()) << unmatched.begin()->first << " is missing from the table";
}

TEST(CallStatuses, TheFirstThirteenStatusesKeepTheirNumbers) {
    const std::map<std::string, int> fixed = {{"VXD_STATUS_OK", 0},
                                              {"VXD_STATUS_INVALID_ARGUMENT", 1},
                                              {"VXD_STATUS_SERVICE_UNAVAILABLE", 2},
                                              {"VXD_STATUS_PORTAL_FAILED", 3},
                                              {"VXD_STATUS_LOGIN_FAILED", 4},
                                              {"VXD_STATUS_AUTH_FAILED", 5},
                                              {"VXD_STATUS_NO_DEVICE", 6},
                                              {"VXD_STATUS_NO_LETTER", 7},
                                              {"VXD_STATUS_CANCELLED", 8},
                                              {"VXD_STATUS_NOT_ATTACHED", 9},
                                              {"VXD_STATUS_VOLUME_IN_USE", 10},
                                              {"VXD_STATUS_LOGOUT_FAILED", 11},
                                              {"VXD_STATUS_OUT_OF_MEMORY", 12}};
    const std::map<std::string, int> header = HeaderStatuses();
    for (const auto &[name, code] : header) {
        const auto kept = fixed.find(name);
        if (kept != fixed.end()) {
            EXPECT_EQ(code, kept->second) << name;
        } else {
            EXPECT_GT(code, 12) << name << " takes the number of one of the first thirteen";
        }
    }
    for (const auto &kept : fixed) {
        EXPECT_EQ(header.count(kept.first), 1u) << kept.first << " is gone from vxdmount.h";
    }
    ASSERT_EQ(header.count("VXD_STATUS_INTERNAL_ERROR"), 1u);
    EXPECT_EQ(header.at("VXD_STATUS_INTERNAL_ERROR"), 13);
}

TEST(CallStatuses, NamedWithTheLibrarysText) {
    EXPECT_EQ(CallStatusText(VXD_STATUS_NO_LETTER, VxdStatusText(VXD_STATUS_NO_LETTER)),
              "VXD_STATUS_NO_LETTER (7): the disk's volume got no drive letter in time");
    // The text is the loaded library's, whatever this vxdhost's table says.
    EXPECT_EQ(CallStatusText(VXD_STATUS_CANCELLED, "cancelled by the caller"),
              "VXD_STATUS_CANCELLED (8): cancelled by the caller");
    // A status of a later library keeps its number and its text.
    EXPECT_EQ(CallStatusText(20, "a status of a later version"),
              "status 20: a status of a later version");
    EXPECT_EQ(CallStatusText(-1, VxdStatusText(-1)), "status -1: an unknown status");
    EXPECT_EQ(CallStatusText(VXD_STATUS_OK, nullptr), "VXD_STATUS_OK (0): (no text)");

    EXPECT_EQ(ExitStatusOf(VXD_STATUS_OK), kExitDone);
    EXPECT_EQ(ExitStatusOf(VXD_STATUS_CANCELLED), kExitCancelled);
    for (int status : {1, 2, 7, 9, 10, 11, 12, 13, 14, -1}) {
        EXPECT_EQ(ExitStatusOf(status), kExitFailed) << status;
    }
    EXPECT_NE(kExitUsage, kExitFailed);
    EXPECT_NE(kExitUsage, kExitCancelled);
}

TEST(CallReport, LettersAreListedWithinTheirField) {
    EXPECT_EQ(LetterList("FG", 27), "F: G:");
    EXPECT_EQ(LetterList("", 27), "none");
    // A field that the library filled to its end without a NUL is not read past.
    char full[27];
    std::memset(full, 'Z', sizeof full);
    EXPECT_EQ(LetterList(full, sizeof full).size(), 27u * 3 - 1);
}

TEST(CallReport, AttachTellsTheLettersOrTheStatusesOfTheFailure) {
    FakeMachine machine;
    VxdAttachResult result{};
    result.size = sizeof result;
    result.status = VXD_STATUS_OK;
    std::strcpy(result.letters, "FG");
    result.diskCount = 2;
    result.diskNumbers[0] = 2;
    result.diskNumbers[1] = 5;
    EXPECT_EQ(AttachReport(result, "done", machine),
              (std::vector<std::string>{"VxdAttach returned VXD_STATUS_OK (0): done",
                                        "letters F: G: on disks 2, 5"}));
    // 1.5: each disk's LUN and the paths.
    result.pathCount = 2;
    result.diskLuns[1] = 3;
    EXPECT_EQ(AttachReport(result, "done", machine)[2],
              "disk 2 is LUN 0, disk 5 is LUN 3; 2 paths");
    result.pathCount = 0;
    result.alreadyLoggedIn = 1;
    result.diskCount = 1000; // more than the field holds: only its 26 are read
    const std::vector<std::string> logged = AttachReport(result, "done", machine);
    ASSERT_EQ(logged.size(), 3u);
    EXPECT_EQ(logged[2], "the target was logged in before the call; its sessions stay");
    // 1.4: each disk's attributes in words, the volumes and the letters given.
    result.alreadyLoggedIn = 0;
    result.diskCount = 2;
    result.diskAttributes[0] = VXD_DISK_BROUGHT_ONLINE | VXD_DISK_MADE_WRITABLE;
    result.diskAttributes[1] = VXD_DISK_STATE_UNKNOWN;
    result.volumeCount = 1;
    std::strcpy(result.volumeNames[0], "\\\\?\\Volume{0a1b2c3d-0000-4000-8000-000000000002}\\");
    std::strcpy(result.assignedLetters, "G");
    EXPECT_EQ(AttachReport(result, "done", machine),
              (std::vector<std::string>{
                  "VxdAttach returned VXD_STATUS_OK (0): done", "letters F: G: on disks 2, 5",
                  "disk 2: brought online by this call, made writable by this call",
                  "disk 5: state unknown: Windows did not answer its attribute queries",
                  "volume \\\\?\\Volume{0a1b2c3d-0000-4000-8000-000000000002}\\",
                  "letters given by the call: G:"}));

    VxdAttachResult failed{};
    failed.size = sizeof failed;
    failed.status = VXD_STATUS_LOGIN_FAILED;
    failed.serviceStatus = 0xEFFF0029;
    EXPECT_EQ(AttachReport(failed, VxdStatusText(failed.status), machine),
              (std::vector<std::string>{
                  "VxdAttach returned VXD_STATUS_LOGIN_FAILED (4): the login to the target failed",
                  "the service's status: ISDSC_TARGET_NOT_FOUND (0xEFFF0029): the target is not "
                  "among those the initiator found behind its portals"}));
    // Windows' own codes get Windows' own text.
    failed.status = VXD_STATUS_NO_DEVICE;
    failed.serviceStatus = 5;
    EXPECT_EQ(AttachReport(failed, "x", machine).back(),
              "the service's status: error 5 (0x00000005): Access is denied");
    failed.serviceStatus = 0;
    EXPECT_EQ(AttachReport(failed, "x", machine).size(), 1u);
}

TEST(CallReport, DetachTellsWhatItDidAndWhatStoppedIt) {
    FakeMachine machine;
    VxdDetachResult result{};
    result.size = sizeof result;
    result.status = VXD_STATUS_OK;
    std::strcpy(result.letters, "F");
    result.sessionsLoggedOut = 2;
    result.persistentLoginsRemoved = 1;
    EXPECT_EQ(DetachReport(result, "done", false, machine),
              (std::vector<std::string>{"VxdDetach returned VXD_STATUS_OK (0): done",
                                        "letters taken away: F:", "sessions logged out: 2",
                                        "persistent logins removed: 1", "letters in use: none"}));

    VxdDetachResult busy{};
    busy.size = sizeof busy;
    busy.status = VXD_STATUS_VOLUME_IN_USE;
    busy.serviceStatus = 5;
    std::strcpy(busy.lettersInUse, "GH");
    const std::vector<std::string> refused =
        DetachReport(busy, VxdStatusText(busy.status), false, machine);
    ASSERT_EQ(refused.size(), 7u);
    EXPECT_EQ(refused[0],
              "VxdDetach returned VXD_STATUS_VOLUME_IN_USE (10): a volume of the target is in use");
    EXPECT_EQ(refused[4], "letters in use: G: H:");
    EXPECT_EQ(refused[5].rfind("files are open on G: H:: close them, or detach with --force", 0),
              0u);
    EXPECT_EQ(refused[6], "the service's status: error 5 (0x00000005): Access is denied");
    // Forced, the advice to force is not given again.
    const std::vector<std::string> forced = DetachReport(busy, "in use", true, machine);
    EXPECT_EQ(forced.size(), 6u);
    EXPECT_EQ(forced[5].rfind("the service's status: ", 0), 0u);
}

CommandLine Parse(std::vector<const char *> arguments) {
    arguments.insert(arguments.begin(), "vxdhost");
    return ParseCommandLine(static_cast<int>(arguments.size()), arguments.data());
}

TEST(CommandLine, CreateVxdsRequestIsReadAsBefore) {
    CommandLine line = Parse({"--check", "--dll", "C:\\x\\v.dll", "--timestamps", "10.0.0.5",
                              " 3260 (iSCSI)", "iqn.x", "a"});
    ASSERT_EQ(line.command, Command::kMount);
    EXPECT_EQ(line.dll, "C:\\x\\v.dll");
    EXPECT_TRUE(line.mount.check);
    EXPECT_TRUE(line.mount.timestamps);
    EXPECT_EQ(line.mount.port, " 3260 (iSCSI)"); // passed on as typed, as CreateVXD reads it
    EXPECT_EQ(line.mount.extra1, "a");
    EXPECT_EQ(line.mount.extra2, "");
    EXPECT_EQ(Parse({"1.2.3.4", "3260", "iqn.x", "a", "b"}).mount.extra2, "b");
    EXPECT_EQ(Parse({"--dll", "v.dll", "--version"}).command, Command::kVersion);
    EXPECT_EQ(Parse({"--help"}).command, Command::kHelp);
    EXPECT_EQ(Parse({"/?"}).command, Command::kHelp);
    EXPECT_EQ(Parse({"1.2.3.4", "3260"}).error, "expected 3 to 5 arguments, got 2");
    EXPECT_EQ(Parse({"1", "2", "3", "4", "5", "6"}).error, "expected 3 to 5 arguments, got 6");
    EXPECT_EQ(Parse({"--dll"}).error, "--dll needs a PATH");
}

TEST(CommandLine, AttachTakesItsWaitsInSecondsAndAPortNumber) {
    CommandLine line = Parse({"--dll", "a.dll", "attach", "--device-wait", "3", "--letter-wait",
                              "4294967", "--keep-on-failure", "--online", "--assign-letter",
                              "--mount-folder", "C:\\mnt\\data", "10.0.0.5", "3261", "iqn.x"});
    ASSERT_EQ(line.command, Command::kAttach) << line.error;
    EXPECT_TRUE(line.attach.bringOnline);
    EXPECT_TRUE(line.attach.assignLetter);
    EXPECT_EQ(line.attach.mountFolder, "C:\\mnt\\data");
    EXPECT_EQ(line.dll, "a.dll");
    EXPECT_EQ(line.attach.portal, "10.0.0.5");
    EXPECT_EQ(line.attach.port, 3261);
    EXPECT_EQ(line.attach.target, "iqn.x");
    EXPECT_EQ(line.attach.deviceWaitMs, 3000ul);
    EXPECT_EQ(line.attach.letterWaitMs, 4294967000ul);
    EXPECT_TRUE(line.attach.keepOnFailure);

    line = Parse({"attach", "--dll", "b.dll", "10.0.0.5", "65535", "iqn.x"});
    ASSERT_EQ(line.command, Command::kAttach) << line.error;
    EXPECT_EQ(line.dll, "b.dll");
    EXPECT_EQ(line.attach.port, 65535);
    EXPECT_EQ(line.attach.deviceWaitMs, 60000ul);
    EXPECT_EQ(line.attach.letterWaitMs, 120000ul);
    EXPECT_FALSE(line.attach.keepOnFailure);
    EXPECT_FALSE(line.attach.bringOnline || line.attach.assignLetter);
    EXPECT_TRUE(line.attach.mountFolder.empty());
    EXPECT_FALSE(line.attach.oneLun || line.attach.noLogin);
    EXPECT_EQ(line.attach.initiatorPort, 0xFFFFFFFFul);

    line = Parse({"attach", "--lun", "0", "--no-login", "--initiator", "ROOT\\ISCSIPRT\\0000_0:0",
                  "10.0.0.5", "3260", "iqn.x"});
    ASSERT_EQ(line.command, Command::kAttach) << line.error;
    EXPECT_TRUE(line.attach.oneLun && line.attach.noLogin);
    EXPECT_EQ(line.attach.lun, 0ul);
    EXPECT_EQ(line.attach.initiatorInstance, "ROOT\\ISCSIPRT\\0000_0");
    EXPECT_EQ(line.attach.initiatorPort, 0ul);
    line = Parse({"attach", "--multipath", "--portal", "10.0.0.6", "--portal", "10.0.0.7:3261", "p",
                  "1", "t"});
    ASSERT_EQ(line.command, Command::kAttach) << line.error;
    EXPECT_TRUE(line.attach.multipath);
    EXPECT_EQ(line.attach.extraPortals, (std::vector<std::pair<std::string, unsigned short>>{
                                            {"10.0.0.6", 0}, {"10.0.0.7", 3261}}));
    line = Parse({"attach", "--lun", "255", "--initiator", "HBA", "p", "1", "t"});
    EXPECT_EQ(line.attach.lun, 255ul);
    EXPECT_EQ(line.attach.initiatorPort, 0xFFFFFFFFul);

    const std::string seconds = "a whole number of seconds from 1 to 4294967";
    const std::string port = "the port is a whole number from 1 to 65535, not ";
    const std::vector<std::pair<std::vector<const char *>, std::string>> refused = {
        {{"attach", "--letter-wait", "0", "p", "1", "t"}, "--letter-wait needs " + seconds},
        {{"attach", "--letter-wait", "4294968", "p", "1", "t"}, "--letter-wait needs " + seconds},
        {{"attach", "--device-wait", "-3", "p", "1", "t"}, "--device-wait needs " + seconds},
        {{"attach", "--device-wait", "2.5", "p", "1", "t"}, "--device-wait needs " + seconds},
        {{"attach", "--device-wait"}, "--device-wait needs " + seconds},
        {{"attach", "--mount-folder"}, "--mount-folder needs a folder, such as C:\\mnt\\data"},
        {{"attach", "p", "0", "t"}, port + "\"0\""},
        {{"attach", "p", "65536", "t"}, port + "\"65536\""},
        {{"attach", "p", "+3260", "t"}, port + "\"+3260\""},
        {{"attach", "p", "", "t"}, port + "\"\""},
        {{"attach", "p", "3260"}, "attach expects PORTAL PORT TARGET, got 2 arguments"},
        {{"attach", "p", "3260", "t", "x"}, "attach expects PORTAL PORT TARGET, got 4 arguments"},
        {{"attach", "--force", "p", "3260", "t"}, "attach has no option --force"},
        {{"attach", "--dll"}, "--dll needs a PATH"},
        {{"attach", "--lun", "256", "p", "1", "t"}, "--lun needs a LUN from 0 to 255"},
        {{"attach", "--portal", "10.0.0.6", "p", "1", "t"},
         "--portal adds a path: it needs --multipath"},
        {{"attach", "--multipath", "--portal", "10.0.0.6:0", "p", "1", "t"},
         "--portal needs ADDR[:PORT], such as 192.168.0.11:3260"},
        {{"attach", "--initiator", ":1", "p", "1", "t"},
         "--initiator needs an INSTANCE[:PORT], such as ROOT\\ISCSIPRT\\0000_0:1"},
        {{"attach", "--initiator", "HBA:x", "p", "1", "t"},
         "--initiator's PORT is a whole number, not \"x\""},
        {{"--check", "attach", "p", "3260", "t"},
         "--check goes after attach (vxdhost attach --check ...): before it, it checks a "
         "CreateVXD request"},
        {{"--check", "detach", "t"}, "--check goes with a CreateVXD request, not with detach"},
        {{"--timestamps", "detach", "t"},
         "--timestamps goes with a CreateVXD request, not with "
         "detach"},
    };
    for (const auto &[arguments, error] : refused) {
        const CommandLine parsed = Parse(arguments);
        EXPECT_EQ(parsed.command, Command::kUsageError) << error;
        EXPECT_EQ(parsed.error, error);
    }
}

TEST(CommandLine, DetachTakesItsFlagsAndThePortalToRemove) {
    CommandLine line = Parse({"detach", "--force", "--remove-portal", "10.0.0.5", "3260", "iqn.x"});
    ASSERT_EQ(line.command, Command::kDetach) << line.error;
    EXPECT_TRUE(line.detach.force);
    EXPECT_TRUE(line.detach.removePortal);
    EXPECT_EQ(line.detach.portal, "10.0.0.5");
    EXPECT_EQ(line.detach.port, 3260);
    EXPECT_EQ(line.detach.target, "iqn.x");

    line = Parse({"detach", "iqn.x"});
    ASSERT_EQ(line.command, Command::kDetach) << line.error;
    EXPECT_FALSE(line.detach.force);
    EXPECT_FALSE(line.detach.removePortal || line.detach.oneLun);
    line = Parse({"detach", "--lun", "3", "iqn.x"});
    EXPECT_TRUE(line.detach.oneLun);
    EXPECT_EQ(line.detach.lun, 3ul);

    EXPECT_EQ(Parse({"detach", "--remove-portal", "10.0.0.5"}).error,
              "--remove-portal needs a PORTAL and a PORT");
    EXPECT_EQ(Parse({"detach", "--remove-portal", "10.0.0.5", "x", "iqn.x"}).error,
              "the port is a whole number from 1 to 65535, not \"x\"");
    EXPECT_EQ(Parse({"detach"}).error, "detach expects one TARGET, got 0 arguments");
    EXPECT_EQ(Parse({"detach", "a", "b"}).error, "detach expects one TARGET, got 2 arguments");
    EXPECT_EQ(Parse({"detach", "--keep-on-failure", "a"}).error,
              "detach has no option --keep-on-failure");
}

TEST(CommandLine, TargetsTakesAPortalAndItsDiscoveryChap) {
    CommandLine line =
        Parse({"targets", "--chap-user", "u", "--chap-secret-file", "s", "10.0.0.5", "3261"});
    ASSERT_EQ(line.command, Command::kTargets) << line.error;
    EXPECT_EQ(line.targets.portal, "10.0.0.5");
    EXPECT_EQ(line.targets.port, 3261);
    EXPECT_EQ(line.targets.chap.user, "u");
    line = Parse({"targets"});
    ASSERT_EQ(line.command, Command::kTargets) << line.error;
    EXPECT_TRUE(line.targets.portal.empty());
    EXPECT_EQ(Parse({"targets", "a", "1", "b"}).error,
              "targets expects [PORTAL [PORT]], got 3 arguments");
    EXPECT_EQ(Parse({"targets", "--chap-user", "u", "--chap-secret-stdin"}).error,
              "discovery CHAP needs a PORTAL");
    EXPECT_EQ(Parse({"targets", "--lun", "1", "p"}).error, "targets has no option --lun");
    EXPECT_NE(Parse({"targets", "--chap-user", "u", "--chap-secret-stdin", "--mutual-chap", "p"})
                  .error.find("targets takes --chap-user and its secret alone"),
              std::string::npos);
}

TEST(CommandLine, AttachTakesCredentialsButNeverASecret) {
    CommandLine line = Parse({"attach", "--check", "--chap-user", "alice", "--chap-secret-file",
                              "C:\\s.txt", "--initiator-secret-file", "C:\\i.txt",
                              "--discovery-chap", "--mutual-chap", "10.0.0.5", "3260", "iqn.x"});
    ASSERT_EQ(line.command, Command::kAttach) << line.error;
    EXPECT_TRUE(line.attach.check);
    EXPECT_EQ(line.attach.chap.user, "alice");
    EXPECT_EQ(line.attach.chap.secretFile, "C:\\s.txt");
    EXPECT_EQ(line.attach.chap.initiatorSecretFile, "C:\\i.txt");
    EXPECT_TRUE(line.attach.chap.discovery);
    EXPECT_TRUE(line.attach.chap.mutual);
    EXPECT_EQ(vxd::credentials::AttachFlags(line.attach.chap),
              static_cast<unsigned long>(VXD_ATTACH_DISCOVERY_CHAP | VXD_ATTACH_MUTUAL_CHAP |
                                         VXD_ATTACH_SET_INITIATOR_SECRET));
    EXPECT_EQ(line.attach.target, "iqn.x");
    line = Parse({"attach", "--chap-secret-stdin", "--chap-user", "bob", "p", "1", "t"});
    ASSERT_EQ(line.command, Command::kAttach) << line.error;
    EXPECT_TRUE(line.attach.chap.secretFromStandardInput);
    EXPECT_EQ(vxd::credentials::AttachFlags(line.attach.chap), 0ul);
    EXPECT_FALSE(Parse({"attach", "p", "1", "t"}).attach.chap.Any());

    const std::string onCommandLine =
        ": no option takes a secret on the command line, where other users of the machine can "
        "read it; use ";
    const std::vector<std::pair<std::vector<const char *>, std::string>> refused = {
        {{"attach", "--chap-user", "a", "p", "1", "t"},
         "--chap-user needs its secret: --chap-secret-file FILE or --chap-secret-stdin"},
        {{"attach", "--chap-secret-file", "s", "p", "1", "t"},
         "--chap-secret-file needs --chap-user NAME"},
        {{"attach", "--chap-secret-stdin", "p", "1", "t"},
         "--chap-secret-stdin needs --chap-user NAME"},
        {{"attach", "--initiator-secret-file", "i", "p", "1", "t"},
         "--initiator-secret-file needs --chap-user NAME and its secret"},
        {{"attach", "--discovery-chap", "p", "1", "t"},
         "--discovery-chap needs --chap-user NAME and its secret"},
        {{"attach", "--mutual-chap", "p", "1", "t"},
         "--mutual-chap needs --chap-user NAME and its secret"},
        {{"attach", "--chap-user", "a", "--chap-secret-file", "s", "--chap-secret-stdin", "p", "1",
          "t"},
         "--chap-secret-file and --chap-secret-stdin both give the CHAP secret: give it one way"},
        {{"attach", "--chap-user"}, "--chap-user needs a NAME"},
        {{"attach", "--chap-user", "a", "--chap-secret-file"}, "--chap-secret-file needs a FILE"},
        {{"attach", "--chap-secret-stdin=placeholder", "p", "1", "t"},
         "--chap-secret-stdin takes no value"},
        // Whatever follows '=' may be a secret typed by mistake: it is never repeated.
        {{"attach", "--chap-secret", "placeholder", "p", "1", "t"},
         "--chap-secret" + onCommandLine + "--chap-secret-file FILE or --chap-secret-stdin"},
        {{"attach", "--chap-secret=placeholder", "p", "1", "t"},
         "--chap-secret" + onCommandLine + "--chap-secret-file FILE or --chap-secret-stdin"},
        {{"attach", "--chap-secret-text=placeholder", "p", "1", "t"},
         "--chap-secret-text" + onCommandLine + "--chap-secret-file FILE or --chap-secret-stdin"},
        {{"attach", "--password=placeholder", "p", "1", "t"},
         "--password" + onCommandLine + "--chap-secret-file FILE or --chap-secret-stdin"},
        {{"attach", "--initiator-secret=placeholder", "p", "1", "t"},
         "--initiator-secret" + onCommandLine + "--initiator-secret-file FILE"},
        {{"attach", "--colour=placeholder", "p", "1", "t"}, "attach has no option --colour"},
        {{"detach", "--chap-secret=placeholder", "t"}, "detach has no option --chap-secret"},
        {{"detach", "--chap-user", "a", "t"}, "detach has no option --chap-user"},
    };
    for (const auto &[arguments, error] : refused) {
        const CommandLine parsed = Parse(arguments);
        EXPECT_EQ(parsed.command, Command::kUsageError) << error;
        EXPECT_EQ(parsed.error, error);
    }
}

// A source of secrets that hands out what each file holds, a few bytes at a time, as a pipe
// may.
struct FakeSecretFiles : vxd::credentials::SecretSource {
    std::map<std::string, std::string> files;
    std::string standardInput;
    bool console = false;
    std::string reading;
    std::size_t at = 0;
    std::vector<std::string> opened;

    bool OpenFile(const std::string &path, std::string &error) override {
        opened.push_back(path);
        const auto found = files.find(path);
        if (found == files.end()) {
            error = "error 2: The system cannot find the file specified";
            return false;
        }
        reading = found->second;
        at = 0;
        return true;
    }
    bool OpenStandardInput(std::string &error) override {
        opened.emplace_back("-");
        if (console) {
            error = "it is a console";
            return false;
        }
        reading = standardInput;
        at = 0;
        return true;
    }
    long Read(unsigned char *into, std::size_t size, std::string &error) override {
        if (reading == "unreadable") {
            error = "error 5: Access is denied";
            return -1;
        }
        const std::size_t count = std::min<std::size_t>({size, 5, reading.size() - at});
        std::memcpy(into, reading.data() + at, count);
        at += count;
        return static_cast<long>(count);
    }
};

std::string Bytes(const vxd::credentials::Secret &secret) {
    return std::string(reinterpret_cast<const char *>(secret.Data()), secret.Size());
}

TEST(Credentials, SecretsComeFromFilesOrStandardInputWithoutOneLineEnd) {
    FakeSecretFiles source;
    source.files = {{"lf", "0123456789abcdef\n"},
                    {"crlf", "0123456789abcdef\r\n"},
                    {"bare", "0123456789ab"},
                    {"two", "0123456789ab\n\n"},
                    {"cr", "0123456789ab\r"},
                    {"inner", "01234\n56789ab\n"},
                    {"empty", ""},
                    {"most", std::string(256, 's') + "\r\n"},
                    {"more", std::string(257, 's')},
                    {"far more", std::string(5000, 's')},
                    {"unreadable", "unreadable"},
                    {"i", "initiator-secret\n"}};
    source.standardInput = "piped-secret\r\n";
    const struct {
        const char *file; // "-": standard input
        std::string secret;
    } read[] = {{"lf", "0123456789abcdef"},
                {"crlf", "0123456789abcdef"},
                {"bare", "0123456789ab"},
                {"two", "0123456789ab\n"},
                {"cr", "0123456789ab\r"},
                {"inner", "01234\n56789ab"},
                {"empty", ""},
                {"most", std::string(256, 's')},
                {"-", "piped-secret"}};
    for (const auto &each : read) {
        vxd::credentials::Options options;
        options.user = "u";
        options.secretFromStandardInput = std::string(each.file) == "-";
        options.secretFile = options.secretFromStandardInput ? "" : each.file;
        vxd::credentials::Secrets secrets;
        std::string error;
        EXPECT_TRUE(vxd::credentials::ReadSecrets(options, source, secrets, error)) << error;
        EXPECT_EQ(Bytes(secrets.chap), each.secret) << each.file;
        EXPECT_EQ(secrets.initiator.Size(), 0u);
    }

    const std::string tooLong = ": it is more than 256 bytes long, which no CHAP secret is "
                                "(Windows takes 12 to 16)";
    const struct {
        std::string file;
        std::string initiator;
        std::string error;
    } refused[] = {
        {"more", "", "cannot read the CHAP secret from more" + tooLong},
        {"far more", "", "cannot read the CHAP secret from far more" + tooLong},
        {"absent", "",
         "cannot read the CHAP secret from absent: error 2: The system cannot find the file "
         "specified"},
        {"unreadable", "",
         "cannot read the CHAP secret from unreadable: error 5: Access is denied"},
        {"bare", "more", "cannot read the initiator secret from more" + tooLong},
    };
    for (const auto &each : refused) {
        vxd::credentials::Options options;
        options.user = "u";
        options.secretFile = each.file;
        options.initiatorSecretFile = each.initiator;
        vxd::credentials::Secrets secrets;
        std::string error;
        EXPECT_FALSE(vxd::credentials::ReadSecrets(options, source, secrets, error));
        EXPECT_EQ(error, each.error);
        // Nothing is kept of a failed read, the CHAP secret read before it included.
        EXPECT_EQ(secrets.chap.Size(), 0u);
        EXPECT_EQ(secrets.initiator.Size(), 0u);
    }

    // Both secrets, each from its own source; the initiator's from a file only.
    vxd::credentials::Options both;
    both.user = "u";
    both.secretFromStandardInput = true;
    both.initiatorSecretFile = "i";
    vxd::credentials::Secrets secrets;
    std::string error;
    source.opened.clear();
    ASSERT_TRUE(vxd::credentials::ReadSecrets(both, source, secrets, error)) << error;
    EXPECT_EQ(Bytes(secrets.chap), "piped-secret");
    EXPECT_EQ(Bytes(secrets.initiator), "initiator-secret");
    EXPECT_EQ(source.opened, (std::vector<std::string>{"-", "i"}));
    // A console would show the secret as it is typed.
    source.console = true;
    EXPECT_FALSE(vxd::credentials::ReadSecrets(both, source, secrets, error));
    EXPECT_EQ(error, "cannot read the CHAP secret from standard input: it is a console");

    // A cleared secret leaves zeros where its bytes were.
    vxd::credentials::Secret secret;
    std::memcpy(secret.Room(), "0123456789ab", 12);
    secret.Grew(12);
    const unsigned char *bytes = secret.Data();
    secret.Clear();
    EXPECT_EQ(secret.Size(), 0u);
    EXPECT_TRUE(std::all_of(bytes, bytes + 12, [](unsigned char byte) { return byte == 0; }));
}

} // namespace
} // namespace vxdhost
