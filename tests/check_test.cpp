// vxdhost's check: what it tells an administrator about a failed request.
#include <gtest/gtest.h>

#include <cctype>
#include <cstdint>
#include <fstream>
#include <functional>
#include <map>
#include <sstream>
#include <string>
#include <vector>

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

} // namespace
} // namespace vxdhost
