// vxdhost's portable parts: what its check tells an administrator about a failed request, its
// command line, and what it says of the calls of 1.2 and their statuses.
#include <gtest/gtest.h>

#include <cctype>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <functional>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "entry/statuses.h"
#include "entry/vxdmount.h"
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

// A machine that answers as each case sets it up, and counts the logins it was asked for.
struct FakeMachine : Machine {
    std::uint32_t portalStatus = 0;
    std::uint32_t loginStatus = 0;
    int logins = 0;
    std::uint32_t reportStatus = 0;
    std::vector<std::string> targets;
    std::vector<SessionFacts> sessions;
    std::map<std::uint32_t, DiskFacts> disks;
    std::map<char, std::uint32_t> letterDisks;

    std::uint32_t RegisterPortal(const CheckRequest & /*request*/) override { return portalStatus; }
    std::uint32_t InformationalLogin(const std::string & /*target*/, std::string &logout) override {
        ++logins;
        logout = "and logged out again";
        return loginStatus;
    }
    std::uint32_t ReportTargets(std::vector<std::string> &reported) override {
        reported = targets;
        return reportStatus;
    }
    std::uint32_t Sessions(std::vector<SessionFacts> &listed) override {
        listed = sessions;
        return 0;
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
};

const Fact kYes{Answer::kYes, ""};
const Fact kNo{Answer::kNo, ""};

DiskFacts Disk(const Fact &offline, const Fact &initialized, std::vector<VolumeFacts> volumes) {
    DiskFacts disk;
    disk.offline = offline;
    disk.readOnly = kNo;
    disk.initialized = initialized;
    disk.volumesKnown = kYes;
    disk.volumes = std::move(volumes);
    return disk;
}

const char kOpening[] = "493,10.0.0.5,3260,,,0";
const std::vector<std::string> kFresh = {
    kOpening,  "Disk NO:1", "after Connection 32", "GetSession Error1", "GetSession Error2",
    "uRet: 20"};

TEST(PostMortem, FollowsTheTraceToTheStepThatEndedTheRequestAndNamesItsCause) {
    struct Case {
        const char *name;
        std::vector<std::string> trace;
        std::string lettersAfter;
        std::function<void(FakeMachine &, Preflight &)> setUp;
        std::string verdict; // a part of it
        int logins;
    };
    const SessionFacts session{"IQN.2026-01.test:disk1", "5e55-0001", 0, {2}};
    const std::vector<Case> cases = {
        {"portal silent",
         {kOpening},
         "C",
         [](FakeMachine &m, Preflight &p) {
             m.portalStatus = 0xEFFF0003;
             p.portalAnswers = {Answer::kNo, "connection refused"};
         },
         "nothing answers there (connection refused)",
         0},
        {"portal answers but refuses",
         {kOpening},
         "C",
         [](FakeMachine &m, Preflight &) { m.portalStatus = 0xEFFF0009; },
         "could not be registered: ISDSC_AUTHENTICATION_FAILURE (0xEFFF0009)",
         0},
        {"service stopped",
         {kOpening, "SetPsKey ERROR CODE:efff003e"},
         "C",
         [](FakeMachine &m, Preflight &) { m.portalStatus = 0xEFFF003E; },
         "sc config MSiSCSI start= auto, then sc start MSiSCSI",
         0},
        {"not elevated",
         {kOpening},
         "C",
         [](FakeMachine &m, Preflight &p) {
             m.portalStatus = 5;
             p.elevated = kNo;
         },
         "not elevated: run the program as administrator",
         0},
        {"unknown target",
         {kOpening, "Disk NO:1", "after Connection 0"},
         "C",
         [](FakeMachine &m, Preflight &) {
             m.loginStatus = 0xEFFF0029;
             m.targets = {"iqn.2026-01.test:other"};
         },
         "is not among the targets that the initiator found",
         1},
        {"target refuses",
         {kOpening, "Disk NO:1", "after Connection 0"},
         "C",
         [](FakeMachine &m, Preflight &) {
             m.loginStatus = 0xEFFF000A;
             m.targets = {"iqn.2026-01.TEST:disk1"};
         },
         "refuses this initiator: ISDSC_AUTHORIZATION_FAILURE",
         1},
        {"no devices",
         {kOpening, "Disk NO:1", "after Connection 32", "Error code:0"},
         "C",
         [&](FakeMachine &m, Preflight &) {
             m.sessions = {{"iqn.2026-01.test:other", "1-2", 0, {3}}, session};
             m.sessions[1].disks.clear();
         },
         "brings no disk",
         0},
        {"a stray letter", kFresh, "CFGH",
         [&](FakeMachine &m, Preflight &) {
             m.sessions = {session};
             m.letterDisks = {{'F', 2}, {'G', 5}};
             m.disks[2] = Disk(kNo, kYes, {{"\\\\?\\Volume{f}\\", "F"}});
         },
         "(F: G: H:) and the request takes only a single one: G: H: are not shown to lie "
         "on iqn.2026-01.test:disk1's disks; remove their letters (mountvol G: /D)",
         0},
        {"offline", kFresh, "C",
         [&](FakeMachine &m, Preflight &) {
             m.sessions = {session};
             m.disks[2] = Disk(kYes, kYes, {});
         },
         "Set-Disk -Number 2 -IsOffline $false", 0},
        {"uninitialized", kFresh, "C",
         [&](FakeMachine &m, Preflight &) {
             m.sessions = {session};
             m.disks[2] = Disk(kNo, kNo, {});
         },
         "Initialize-Disk -Number 2", 0},
        {"volume without a letter", kFresh, "CD",
         [&](FakeMachine &m, Preflight &) {
             m.sessions = {session};
             m.disks[2] = Disk(kNo, kYes, {{"\\\\?\\Volume{v}\\", ""}});
         },
         "(mountvol E: \\\\?\\Volume{v}\\) and let new volumes get letters (mountvol /E)", 0},
        {"existing login, two devices",
         {kOpening, "Disk NO:1", "after Connection 16", "GetSession Error1", "GetSession Error2",
          "uRet: 10"},
         "C",
         [&](FakeMachine &m, Preflight &) {
             m.sessions = {session};
             m.sessions[0].disks = {2, 3};
         },
         "with 2 devices, and the request takes an existing login only with exactly one: log "
         "the session out (iscsicli LogoutTarget 5e55-0001)",
         0},
        {"no trace", {}, "C", [](FakeMachine &, Preflight &) {}, "its trace was not seen", 0},
    };
    for (const Case &c : cases) {
        FakeMachine machine;
        Preflight preflight;
        preflight.elevated = kYes;
        preflight.serviceRunning = kYes;
        preflight.portalAnswers = kYes;
        c.setUp(machine, preflight);
        const Diagnosis diagnosis = PostMortem({"10.0.0.5", 3260, "iqn.2026-01.test:disk1"},
                                               preflight, c.trace, 0, "C", c.lettersAfter, machine);
        EXPECT_NE(diagnosis.verdict.find(c.verdict), std::string::npos)
            << c.name << ": " << diagnosis.verdict;
        EXPECT_EQ(machine.logins, c.logins) << c.name;
    }
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
    EXPECT_EQ(CallStatusText(14, "a status of a later version"),
              "status 14: a status of a later version");
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
    result.alreadyLoggedIn = 1;
    result.diskCount = 1000; // more than the field holds: only its 26 are read
    const std::vector<std::string> logged = AttachReport(result, "done", machine);
    ASSERT_EQ(logged.size(), 3u);
    EXPECT_EQ(logged[2], "the target was logged in before the call; its sessions stay");

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
                              "4294967", "--keep-on-failure", "10.0.0.5", "3261", "iqn.x"});
    ASSERT_EQ(line.command, Command::kAttach) << line.error;
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

    const std::string seconds = "a whole number of seconds from 1 to 4294967";
    const std::string port = "the port is a whole number from 1 to 65535, not ";
    const std::vector<std::pair<std::vector<const char *>, std::string>> refused = {
        {{"attach", "--letter-wait", "0", "p", "1", "t"}, "--letter-wait needs " + seconds},
        {{"attach", "--letter-wait", "4294968", "p", "1", "t"}, "--letter-wait needs " + seconds},
        {{"attach", "--device-wait", "-3", "p", "1", "t"}, "--device-wait needs " + seconds},
        {{"attach", "--device-wait", "2.5", "p", "1", "t"}, "--device-wait needs " + seconds},
        {{"attach", "--device-wait"}, "--device-wait needs " + seconds},
        {{"attach", "p", "0", "t"}, port + "\"0\""},
        {{"attach", "p", "65536", "t"}, port + "\"65536\""},
        {{"attach", "p", "+3260", "t"}, port + "\"+3260\""},
        {{"attach", "p", "", "t"}, port + "\"\""},
        {{"attach", "p", "3260"}, "attach expects PORTAL PORT TARGET, got 2 arguments"},
        {{"attach", "p", "3260", "t", "x"}, "attach expects PORTAL PORT TARGET, got 4 arguments"},
        {{"attach", "--force", "p", "3260", "t"}, "attach has no option --force"},
        {{"attach", "--dll"}, "--dll needs a PATH"},
        {{"--check", "attach", "p", "3260", "t"},
         "--check goes with a CreateVXD request, not with "
         "attach"},
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
    EXPECT_FALSE(line.detach.removePortal);

    EXPECT_EQ(Parse({"detach", "--remove-portal", "10.0.0.5"}).error,
              "--remove-portal needs a PORTAL and a PORT");
    EXPECT_EQ(Parse({"detach", "--remove-portal", "10.0.0.5", "x", "iqn.x"}).error,
              "the port is a whole number from 1 to 65535, not \"x\"");
    EXPECT_EQ(Parse({"detach"}).error, "detach expects one TARGET, got 0 arguments");
    EXPECT_EQ(Parse({"detach", "a", "b"}).error, "detach expects one TARGET, got 2 arguments");
    EXPECT_EQ(Parse({"detach", "--keep-on-failure", "a"}).error,
              "detach has no option --keep-on-failure");
}

} // namespace
} // namespace vxdhost
