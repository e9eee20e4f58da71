// VxdAttach and VxdDetach on the simulated machine: each status by the path that should reach
// it, the waits and their cancel, the undo of a failed attach, and a detach that loses no data.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <functional>
#include <map>
#include <new>
#include <stdexcept>
#include <string>
#include <vector>

#include "entry/vxdmount.h"
#include "platform/sim/sim_machine.h"
#include "tests/attach_support.h"

namespace vxd::test {
namespace {

using sim::Machine;
using sim::Ms;
using Answer = sim::AnswerOverride;

TEST(Attach, AnswersAFreshLoginWithItsLetterAndDiskAsSoonAsTheVolumeArrives) {
    Machine machine;
    PlainMachine(machine);
    Attach attach;
    EXPECT_EQ(attach.Run(), VXD_STATUS_OK);
    EXPECT_EQ(attach.result.status, VXD_STATUS_OK);
    EXPECT_EQ(attach.result.serviceStatus, 0u);
    EXPECT_STREQ(attach.result.letters, "F");
    EXPECT_EQ(attach.result.diskCount, 1u);
    EXPECT_EQ(attach.result.diskNumbers[0], 2u);
    EXPECT_EQ(attach.result.alreadyLoggedIn, 0);
    EXPECT_EQ(machine.Now(), 1500u); // paced at 250 ms: F: is answered the moment it arrives
    EXPECT_EQ(ServiceCalls(machine),
              (std::vector<std::string>{"SetIScsiIKEInfoA", "AddIScsiSendTargetPortalA",
                                        "LoginIScsiTargetA", "GetDevicesForIScsiSessionA",
                                        "GetDevicesForIScsiSessionA"}));
    EXPECT_EQ(machine.CallsTo("LoginIScsiTargetA")[0].Arg("IsPersistent"), 0u);
    EXPECT_EQ(machine.SessionCount(), 1u);
    ASSERT_FALSE(attach.progress.empty());
    EXPECT_EQ(attach.progress.back(), "VxdAttach: done: F:");
    // The progress lines go to the debug channel as well, and CreateVXD's lines do not.
    EXPECT_EQ(machine.TraceTexts(), attach.progress);
    ExpectClean(machine);
}

TEST(Attach, SendsTheSameSecurityRecordPortalAndLoginAsCreateVxd) {
    std::vector<sim::CallRecord> created;
    {
        Machine machine;
        PlainMachine(machine);
        ASSERT_EQ(CreateVXD(kPortal, "3260", kTarget, "", ""), 1);
        created = machine.Calls();
    }
    Machine machine;
    PlainMachine(machine);
    Attach attach;
    ASSERT_EQ(attach.Run(), VXD_STATUS_OK);
    for (const char *name :
         {"SetIScsiIKEInfoA", "AddIScsiSendTargetPortalA", "LoginIScsiTargetA"}) {
        const auto ours = machine.CallsTo(name);
        std::vector<sim::CallRecord> theirs;
        for (const sim::CallRecord &call : created) {
            if (call.name == name) {
                theirs.push_back(call);
            }
        }
        ASSERT_EQ(ours.size(), theirs.size()) << name;
        // Pointers differ from run to run; the records' bytes and the values may not.
        EXPECT_EQ(ours[0].text, theirs[0].text) << name;
        for (const char *record : {"Portal", "LoginOptions", "Id"}) {
            EXPECT_EQ(ours[0].Bytes(record), theirs[0].Bytes(record)) << name << " " << record;
        }
        for (const char *argument : {"InitiatorPortNumber", "Persist", "SecurityFlags", "Socket",
                                     "IsInformationalSession", "KeySize", "IsPersistent"}) {
            EXPECT_EQ(ours[0].Arg(argument), theirs[0].Arg(argument)) << name << " " << argument;
        }
    }
}

TEST(Attach, ReportsEveryLetterOnTheSessionsDisksAndNothingElse) {
    Machine machine;
    PlainMachine(machine);
    // Two LUNs, the first with two partitions; G: on another session's disk arrives at the same
    // moment as F:, and counts for nothing.
    machine.onLogin.disks = {2, 3};
    machine.onLogin.drives = {{test::Drive('F', 2), 1500},
                              {test::Drive('G', 5), 1500},
                              {test::Drive('H', 3), 1500},
                              {test::Drive('K', 2), 1500}};
    Attach attach;
    EXPECT_EQ(attach.Run(), VXD_STATUS_OK);
    EXPECT_STREQ(attach.result.letters, "FHK");
    EXPECT_EQ(attach.result.diskCount, 2u);
    EXPECT_EQ(attach.result.diskNumbers[0], 2u);
    EXPECT_EQ(attach.result.diskNumbers[1], 3u);

    // CreateVXD counts new letters, so the same machine fails it.
    Machine again;
    PlainMachine(again);
    again.onLogin.drives = {{test::Drive('F', 2), 1500}, {test::Drive('G', 5), 1500}};
    EXPECT_EQ(CreateVXD(kPortal, "3260", kTarget, "", ""), 0);
    Machine third;
    PlainMachine(third);
    third.onLogin.drives = {{test::Drive('F', 2), 1500}, {test::Drive('G', 5), 1500}};
    Attach single;
    EXPECT_EQ(single.Run(), VXD_STATUS_OK);
    EXPECT_STREQ(single.result.letters, "F");

    // A volume that cannot be opened (a network drive) lies on no disk, not even on disk 0,
    // the session's here.
    Machine networked;
    networked.AddDrive('C', 1);
    networked.onLogin.disks = {0};
    networked.onLogin.drives = {{test::UnopenableDrive('M'), 500}, {test::Drive('F', 0), 1500}};
    Attach withNetworkDrive;
    EXPECT_EQ(withNetworkDrive.Run(), VXD_STATUS_OK);
    EXPECT_STREQ(withNetworkDrive.result.letters, "F");

    // Two disks of which only one gets a letter in time: the letters found are taken, and a
    // line says that a disk has none.
    Machine halfLettered;
    PlainMachine(halfLettered);
    halfLettered.onLogin.disks = {2, 3};
    Attach half;
    half.request.letterWaitMs = 4000;
    EXPECT_EQ(half.Run(), VXD_STATUS_OK);
    EXPECT_STREQ(half.result.letters, "F");
    EXPECT_EQ(half.result.diskCount, 2u);
    EXPECT_EQ(halfLettered.Now(), 4000u);
    EXPECT_NE(Joined(half.progress)
                  .find("VxdAttach: not every disk of the session has a lettered volume; taking "
                        "those that have\n"),
              std::string::npos);
    EXPECT_EQ(half.progress.back(), "VxdAttach: done: F:");
}

TEST(Attach, TellsEachWaitWhenItBeginsAndEveryTenSecondsAfter) {
    struct Case {
        const char *name;
        std::function<void(Machine &)> setUp;
        std::vector<std::string> waitLines;
        Ms endsAt;
    };
    const std::vector<Case> cases = {
        {"the disk at once, its letter at 1.5 s",
         [](Machine &) {},
         {"VxdAttach: waiting up to 120000 ms for the letters of the session's volumes"},
         1500},
        {"the disk at 10.5 s, its letter before",
         [](Machine &m) { m.onLogin.devicesAfterMs = 10500; },
         {"VxdAttach: waiting up to 60000 ms for the session's disks",
          "VxdAttach: still waiting for the session's disks after 10 s"},
         10500},
        {"the letter at 21.5 s",
         [](Machine &m) {
             m.onLogin.drives = {{test::Drive('F', 2), 21500}};
         },
         {"VxdAttach: waiting up to 120000 ms for the letters of the session's volumes",
          "VxdAttach: still waiting for the letters of the session's volumes after 10 s",
          "VxdAttach: still waiting for the letters of the session's volumes after 20 s"},
         21500},
    };
    for (const Case &c : cases) {
        Machine machine;
        PlainMachine(machine);
        c.setUp(machine);
        Attach attach;
        EXPECT_EQ(attach.Run(), VXD_STATUS_OK) << c.name;
        EXPECT_EQ(machine.Now(), c.endsAt) << c.name;
        std::vector<std::string> waitLines;
        for (const std::string &line : attach.progress) {
            if (line.find("waiting") != std::string::npos) {
                waitLines.push_back(line);
            }
        }
        EXPECT_EQ(waitLines, c.waitLines) << c.name;
    }
}

TEST(Attach, ATargetAlreadyLoggedInAnswersWithTheLettersItsDisksHaveAndIsNeverLoggedOut) {
    Machine machine;
    machine.AddDrive('C', 0).AddDrive('E', 2);
    machine.AddSession("IQN.2026-12.COM.EXAMPLE:DISK1", {2}); // listed in other letter case
    machine.loginStatuses = {kAlreadyLoggedIn};
    Attach attach;
    EXPECT_EQ(attach.Run(), VXD_STATUS_OK);
    EXPECT_STREQ(attach.result.letters, "E");
    EXPECT_EQ(attach.result.alreadyLoggedIn, 1);
    EXPECT_EQ(machine.Now(), 0u);

    // Without a letter it fails, and the session that was there stays.
    machine.RemoveDrive('E');
    Attach failing;
    failing.request.letterWaitMs = 3000;
    EXPECT_EQ(failing.Run(), VXD_STATUS_NO_LETTER);
    EXPECT_EQ(failing.result.alreadyLoggedIn, 1);
    EXPECT_TRUE(machine.CallsTo("LogoutIScsiTarget").empty());
    EXPECT_EQ(machine.SessionCount(), 1u);
    ExpectClean(machine);

    // The target's sessions under either name the service lists them by, each with its disks;
    // another target's count for nothing. A device list that fails is asked again a second
    // later, the sessions after it included.
    Machine listed;
    listed.AddDrive('C', 0).AddDrive('E', 2).AddDrive('G', 3).AddDrive('H', 7);
    listed.AddSession("iqn.2026-12.com.example:other", {7});
    sim::SessionSetup underNodeName;
    underNodeName.target = kTarget;
    underNodeName.nullTargetName = true;
    underNodeName.nodeName = "IQN.2026-12.COM.EXAMPLE:DISK1";
    underNodeName.disks = {3};
    underNodeName.luns = {1}; // another LUN: one LUN on two disks is two unclaimed paths
    listed.AddSession(underNodeName);
    listed.AddSession(kTarget, {2});
    listed.loginStatuses = {kAlreadyLoggedIn};
    listed.deviceAnswers = {Answer{0xEFFF0001, std::nullopt, std::nullopt}};
    Attach both;
    EXPECT_EQ(both.Run(), VXD_STATUS_OK);
    EXPECT_STREQ(both.result.letters, "EG");
    ASSERT_EQ(both.result.diskCount, 2u);
    EXPECT_EQ(both.result.diskNumbers[0], 3u);
    EXPECT_EQ(both.result.diskNumbers[1], 2u);
    EXPECT_EQ(listed.Now(), 250u);
    EXPECT_EQ(listed.CallsTo("GetDevicesForIScsiSessionA").size(), 1u + 4u);
    ExpectClean(listed);
}

// Three LUNs behind one login, disks 2, 3 and 4, each with a lettered volume 1.5 s later.
void ThreeLuns(Machine &machine, std::vector<sim::ULONG> luns = {}) {
    machine.AddDrive('C', 0);
    machine.onLogin.disks = {2, 3, 4};
    machine.onLogin.luns = std::move(luns);
    machine.onLogin.drives = {
        {test::Drive('F', 2), 1500}, {test::Drive('G', 3), 1500}, {test::Drive('H', 4), 1500}};
}

TEST(Attach, OneLunIsWaitedForAndAnsweredAloneWithItsLunAndPath) {
    struct Case {
        const char *name;
        std::vector<sim::ULONG> luns; // none: the device's index
        unsigned long lun;
        int status;
        const char *letters;
        sim::ULONG disk;
    };
    const std::vector<Case> cases = {
        {"the second of three", {}, 1, VXD_STATUS_OK, "G", 3},
        {"LUNs numbered by the target", {7, 3, 9}, 9, VXD_STATUS_OK, "H", 4},
        {"a LUN the target does not have", {}, 5, VXD_STATUS_NO_DEVICE, "", 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        Machine machine;
        ThreeLuns(machine, c.luns);
        Attach attach;
        attach.request.flags = VXD_ATTACH_ONE_LUN;
        attach.request.lun = c.lun;
        attach.request.deviceWaitMs = 2000;
        EXPECT_EQ(attach.Run(), c.status) << Joined(attach.progress);
        EXPECT_STREQ(attach.result.letters, c.letters);
        if (c.status != VXD_STATUS_OK) {
            EXPECT_NE(Joined(attach.progress).find("no device of LUN 5 showed"), std::string::npos);
            EXPECT_EQ(machine.SessionCount(), 0u);
            continue;
        }
        ASSERT_EQ(attach.result.diskCount, 1u);
        EXPECT_EQ(attach.result.diskNumbers[0], c.disk);
        EXPECT_EQ(attach.result.diskLuns[0], c.lun);
        EXPECT_EQ(attach.result.pathCount, 1u);
        EXPECT_EQ(attach.result.volumeCount, 1u);
        ExpectClean(machine);
    }
    // Without the flag every LUN's disk comes, each with its LUN.
    Machine machine;
    ThreeLuns(machine, {7, 3, 9});
    Attach all;
    EXPECT_EQ(all.Run(), VXD_STATUS_OK);
    EXPECT_STREQ(all.result.letters, "FGH");
    ASSERT_EQ(all.result.diskCount, 3u);
    EXPECT_EQ(all.result.diskLuns[0], 7u);
    EXPECT_EQ(all.result.diskLuns[2], 9u);
}

TEST(Attach, TheInitiatorPortGoesToTheRegistrationAndEveryLogin) {
    Machine machine;
    PlainMachine(machine);
    machine.loginStatuses = {kTargetNotFound, 0};
    Attach attach;
    attach.request.initiatorInstance = "ROOT\\ISCSIPRT\\0000_0";
    attach.request.initiatorPortNumber = 1;
    EXPECT_EQ(attach.Run(), VXD_STATUS_OK);
    std::vector<sim::CallRecord> sent = machine.CallsTo("AddIScsiSendTargetPortalA");
    const std::vector<sim::CallRecord> logins = machine.CallsTo("LoginIScsiTargetA");
    ASSERT_EQ(logins.size(), 2u);
    sent.insert(sent.end(), logins.begin(), logins.end());
    for (const sim::CallRecord &call : sent) {
        EXPECT_EQ(call.String("InitiatorInstance"), "ROOT\\ISCSIPRT\\0000_0") << call.name;
        EXPECT_EQ(call.Arg("InitiatorPortNumber"), 1u) << call.name;
    }
    ASSERT_EQ(machine.persistentLogins.size(), 1u);
    EXPECT_EQ(machine.persistentLogins[0].initiatorInstance, "ROOT\\ISCSIPRT\\0000_0");

    // An instance the machine does not have stops the call at the registration.
    Machine other;
    PlainMachine(other);
    Attach unknown;
    unknown.request.initiatorInstance = "PCI\\HBA\\1";
    EXPECT_EQ(unknown.Run(), VXD_STATUS_PORTAL_FAILED);
    EXPECT_EQ(unknown.result.serviceStatus, 0xEFFF0017u);
    EXPECT_TRUE(other.CallsTo("LoginIScsiTargetA").empty());
}

TEST(Attach, MultipathLogsInThroughEveryPortalThatLacksASessionAndCountsThePaths) {
    const char *second = "192.0.2.11";
    struct Case {
        const char *name;
        std::function<void(Machine &)> setUp;
        int status;
        std::vector<std::string> loginsThrough; // the portal each login named
        unsigned long paths;
        const char *line;
    };
    const std::vector<Case> cases = {
        {"two paths to one disk",
         [](Machine &m) { m.mpio = true; },
         VXD_STATUS_OK,
         {kPortal, second},
         2,
         "VxdAttach: 2 paths carry the disks"},
        {"a portal that fails",
         [second](Machine &m) {
             m.mpio = true;
             m.portalStatuses[second] = 0xEFFF0003;
         },
         VXD_STATUS_OK,
         {kPortal},
         1,
         "VxdAttach: path 192.0.2.11:3260: the portal could not be registered (0xEFFF0003)"},
        {"a path whose logins fail",
         [second](Machine &m) {
             m.mpio = true;
             m.portalLoginStatuses[second] = kTargetNotFound;
         },
         VXD_STATUS_OK,
         {kPortal, second, second},
         1,
         "VxdAttach: path 192.0.2.11:3260: the login failed (0xEFFF0029)"},
        {"no multipath I/O",
         [](Machine &) {},
         VXD_STATUS_MULTIPATH_UNCLAIMED,
         {kPortal, second},
         2,
         "LUN 0 is disks 2 and 3 through two paths: Windows' multipath I/O does not claim it. "
         "Install the Multipath I/O feature (Install-WindowsFeature Multipath-IO), claim iSCSI "
         "devices for its DSM (mpclaim -r -i -a \"\", which restarts), then attach again"},
        {"every portal fails",
         [](Machine &m) { m.portalStatus = 0xEFFF0003; },
         VXD_STATUS_PORTAL_FAILED,
         {},
         0,
         nullptr},
        {"a path there already",
         [](Machine &m) {
             m.mpio = true;
             sim::SessionSetup first;
             first.target = kTarget;
             first.disks = {2};
             first.portal = kPortal;
             m.AddSession(first);
             m.AddDrive('F', 2);
         },
         VXD_STATUS_OK,
         {second},
         2,
         "VxdAttach: path 192.0.2.10:3260: session ffff800000000001-4000013700000001 was there "
         "already, and stays"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        Machine machine;
        PlainMachine(machine);
        c.setUp(machine);
        const VxdPortal extra[] = {{second, 0},
                                   {kPortal, 3260}}; // the first portal again: one path
        Attach attach;
        attach.request.flags = VXD_ATTACH_MULTIPATH;
        attach.request.extraPortals = extra;
        attach.request.extraPortalCount = 2;
        EXPECT_EQ(attach.Run(), c.status) << Joined(attach.progress);
        std::vector<std::string> through;
        for (const sim::CallRecord &login : machine.CallsTo("LoginIScsiTargetA")) {
            through.push_back(login.String("TargetPortal"));
            const std::vector<std::uint8_t> &options = login.Bytes("LoginOptions");
            ASSERT_GE(options.size(), 12u);
            EXPECT_EQ(options[8] & platform::ISCSI_LOGIN_FLAG_MULTIPATH_ENABLED, 2);
        }
        EXPECT_EQ(through, c.loginsThrough);
        EXPECT_EQ(attach.result.pathCount, c.paths);
        if (c.line != nullptr) {
            EXPECT_NE(Joined(attach.progress).find(std::string(c.line) + "\n"), std::string::npos);
        }
        if (c.status != VXD_STATUS_OK) {
            // The undo logs out every path it made, the redundant one included.
            EXPECT_EQ(machine.SessionCount(), 0u);
            continue;
        }
        EXPECT_EQ(attach.result.diskCount, 1u);
        EXPECT_STREQ(attach.result.letters, "F");
        // Detach logs out every path.
        Detach detach;
        EXPECT_EQ(detach.Run(), VXD_STATUS_OK);
        EXPECT_EQ(detach.result.sessionsLoggedOut, c.paths);
        EXPECT_EQ(machine.SessionCount(), 0u);
        ExpectClean(machine);
    }
}

// After a reboot: the target's session and persistent login are there, and a re-open answers
// from them without one call that changes the service's state.
TEST(Attach, AReopenAnswersFromTheSessionsAsTheyAreAndChangesNothing) {
    const std::vector<std::string> asking = {"GetIScsiSessionListA", "GetIScsiSessionListA",
                                             "GetDevicesForIScsiSessionA",
                                             "GetDevicesForIScsiSessionA"};
    struct Case {
        const char *name;
        bool session;    // there at once
        bool persistent; // a persistent login of the target
        Ms sessionAt;    // else the service logs in at this time (0: never)
        int status;
        Ms endsAt;
    };
    const std::vector<Case> cases = {
        {"attached", true, true, 0, VXD_STATUS_OK, 0},
        {"a session without a persistent login", true, false, 0, VXD_STATUS_OK, 0},
        {"the boot's login still to come", false, true, 1200, VXD_STATUS_OK, 1250},
        {"a persistent login that never logs in", false, true, 0, VXD_STATUS_NOT_ATTACHED, 2000},
        {"neither", false, false, 0, VXD_STATUS_NOT_ATTACHED, 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        Machine machine;
        machine.AddDrive('C', 0).AddDrive('E', 2);
        sim::SessionSetup session;
        session.target = kTarget;
        session.disks = {2};
        if (c.session) {
            machine.AddSession(session);
        } else if (c.sessionAt != 0) {
            machine.AddSessionAt(c.sessionAt, session);
        }
        if (c.persistent) {
            sim::PersistentLogin login;
            login.target = kTarget;
            machine.persistentLogins.push_back(login);
        }
        Attach attach;
        attach.request.flags = VXD_ATTACH_NO_LOGIN;
        attach.request.deviceWaitMs = 2000;
        EXPECT_EQ(attach.Run(), c.status) << Joined(attach.progress);
        EXPECT_EQ(machine.Now(), c.endsAt);
        EXPECT_EQ(attach.result.alreadyLoggedIn, c.status == VXD_STATUS_OK ? 1 : 0);
        EXPECT_STREQ(attach.result.letters, c.status == VXD_STATUS_OK ? "E" : "");
        for (const std::string &call : ServiceCalls(machine)) {
            EXPECT_TRUE(call == "GetIScsiSessionListA" || call == "GetDevicesForIScsiSessionA" ||
                        call == "ReportIScsiPersistentLoginsA")
                << call;
        }
        EXPECT_EQ(machine.persistentLogins.size(), c.persistent ? 1u : 0u);
        EXPECT_EQ(machine.SessionCount(), c.status == VXD_STATUS_OK ? 1u : 0u);
        ExpectClean(machine);
    }
}

// A volume without a letter on disk 2, arriving 1.5 s after the login, on a machine whose
// automount gives it none.
constexpr const char *kNoLetterVolume = "\\\\?\\Volume{0a1b2c3d-0000-4000-8000-000000000002}\\";
void UnletteredVolume(Machine &machine) {
    machine.automount = false;
    sim::DriveSetup volume = test::Drive('\0', 2);
    volume.volume = kNoLetterVolume;
    machine.onLogin.drives = {{volume, 1500}};
}

TEST(Attach, EachStatusComesFromTheStepThatShouldGiveIt) {
    struct Case {
        const char *name;
        std::function<void(Machine &)> setUp;
        int status;
        sim::ISDSC_STATUS serviceStatus;
        Ms endsAt; // virtual time when the call returns
        std::size_t logins;
        // Since 1.4: the request's flags and folder, and what the result says of disk 2.
        unsigned long flags = 0;
        const char *folder = nullptr;
        unsigned long attributes = 0;
        const char *letters = nullptr; // null: "F" when it succeeds
        const char *assigned = "";
        const char *line = nullptr; // a progress line that the call must write
    };
    const auto offlineShared = [](Machine &m) { m.sanPolicy = sim::SanPolicy::kOfflineShared; };
    const auto folder = [](Machine &m) { m.folders["C:\\mnt\\data\\"] = true; };
    const std::vector<Case> cases = {
        {"security record refused: goes on", [](Machine &m) { m.ikeStatus = 0xEFFF0001; },
         VXD_STATUS_OK, 0, 1500, 1},
        {"service stopped at the security record",
         [](Machine &m) { m.ikeStatus = kServiceNotRunning; }, VXD_STATUS_SERVICE_UNAVAILABLE,
         kServiceNotRunning, 0, 0},
        {"portal refused", [](Machine &m) { m.portalStatus = 0xEFFF0003; },
         VXD_STATUS_PORTAL_FAILED, 0xEFFF0003, 0, 0},
        {"service out of reach at the portal", [](Machine &m) { m.portalStatus = 1722; },
         VXD_STATUS_SERVICE_UNAVAILABLE, 1722, 0, 0},
        {"both logins fail", [](Machine &m) { m.loginStatuses = {kTargetNotFound}; },
         VXD_STATUS_LOGIN_FAILED, kTargetNotFound, 1000, 2},
        {"the second, persistent login succeeds",
         [](Machine &m) {
             m.loginStatuses = {kTargetNotFound, 0};
         },
         VXD_STATUS_OK, 0, 2500, 2},
        {"credentials refused", [](Machine &m) { m.loginStatuses = {0xEFFF0009}; },
         VXD_STATUS_AUTH_FAILED, 0xEFFF0009, 1000, 2},
        {"CHAP secret refused", [](Machine &m) { m.loginStatuses = {0xEFFF004A}; },
         VXD_STATUS_AUTH_FAILED, 0xEFFF004A, 1000, 2},
        {"service stopped at the login", [](Machine &m) { m.loginStatuses = {kServiceNotRunning}; },
         VXD_STATUS_SERVICE_UNAVAILABLE, kServiceNotRunning, 0, 1},
        // A busy service is asked again a second apart, ten times, then answered as before.
        {"a login busy for a while",
         [](Machine &m) {
             m.loginStatuses = {kSessionBusy, kDeviceBusy, 0};
         },
         VXD_STATUS_OK, 0, 3500, 3, 0, nullptr, 0, nullptr, "",
         "VxdAttach: the service is busy (0xEFFF0040); trying again in 1 s"},
        {"both logins busy for good", [](Machine &m) { m.loginStatuses = {kSessionBusy}; },
         VXD_STATUS_LOGIN_FAILED, kSessionBusy, 21000, 22},
        {"the device list busy for a while",
         [](Machine &m) {
             m.deviceAnswers = {Answer{kSessionBusy, std::nullopt, std::nullopt},
                                Answer{kDeviceBusy, std::nullopt, std::nullopt}};
         },
         VXD_STATUS_OK, 0, 2000, 1},
        {"the session brings no disk", [](Machine &m) { m.onLogin.disks.clear(); },
         VXD_STATUS_NO_DEVICE, 0, 5000, 1},
        // The last failure of the device list is the one answered, though later looks failed
        // in no other way.
        {"the device list fails once, then stays empty",
         [](Machine &m) {
             m.onLogin.disks.clear();
             m.deviceAnswers = {Answer{0xEFFF0001, std::nullopt, std::nullopt}};
         },
         VXD_STATUS_NO_DEVICE, 0xEFFF0001, 5000, 1},
        {"service stopped while the disks are awaited",
         [](Machine &m) {
             m.deviceAnswers = {Answer{kServiceNotRunning, std::nullopt, std::nullopt}};
         },
         VXD_STATUS_SERVICE_UNAVAILABLE, kServiceNotRunning, 0, 1},
        // More device records than 4 GB hold: a list that the library has no room for, which
        // waiting does not change.
        {"more disks than the library can hold",
         [](Machine &m) {
             m.deviceAnswers = {Answer{std::nullopt, 0xFFFFFFFFu, std::nullopt}};
         },
         VXD_STATUS_OUT_OF_MEMORY, 8, 0, 1},
        {"the disk's volume gets no letter", [](Machine &m) { m.onLogin.drives.clear(); },
         VXD_STATUS_NO_LETTER, 0, 7000, 1},
        // 1.4: the disk's own state. An offline disk is answered its grace after it showed,
        // not at the end of the letter wait.
        {"SAN policy: the disk stays offline", offlineShared, VXD_STATUS_DISK_OFFLINE, 0, 2000, 1,
         0, nullptr, VXD_DISK_OFFLINE | VXD_DISK_READ_ONLY, "", "",
         "VxdAttach: disk 2 is offline and read-only, as the machine's SAN policy keeps new "
         "shared disks: pass VXD_ATTACH_BRING_ONLINE (vxdhost attach --online), or Set-Disk "
         "-Number 2 -IsOffline $false -IsReadOnly $false"},
        {"online within its grace: goes on",
         [](Machine &m) {
             m.disks[2].offline = true;
             m.BringDiskOnlineAt(1750, 2);
         },
         VXD_STATUS_OK, 0, 2250, 1, 0, nullptr, 0},
        {"SAN policy, brought online", offlineShared, VXD_STATUS_OK, 0, 2500, 1,
         VXD_ATTACH_BRING_ONLINE, nullptr, VXD_DISK_BROUGHT_ONLINE | VXD_DISK_MADE_WRITABLE,
         nullptr, "",
         "VxdAttach: brought disk 2 online and writable, persistently, as Set-Disk does"},
        {"bringing it online refused",
         [](Machine &m) {
             m.sanPolicy = sim::SanPolicy::kOfflineAll;
             m.diskSetError = 5;
         },
         VXD_STATUS_DISK_OFFLINE, 5, 2000, 1, VXD_ATTACH_BRING_ONLINE, nullptr,
         VXD_DISK_OFFLINE | VXD_DISK_READ_ONLY},
        {"a clone of the machine's disk 0",
         [](Machine &m) {
             m.disks[0].id = "golden image";
             m.disks[2].id = "golden image";
         },
         VXD_STATUS_DISK_COLLISION, 0, 0, 1, VXD_ATTACH_BRING_ONLINE, nullptr,
         VXD_DISK_OFFLINE | VXD_DISK_COLLISION, "", "", nullptr},
        {"a blank disk", [](Machine &m) { m.disks[2].layout = "raw"; }, VXD_STATUS_NO_VOLUME, 0, 0,
         1, 0, nullptr, VXD_DISK_NO_VOLUME, ""},
        {"online but read-only: goes on", [](Machine &m) { m.disks[2].readOnly = true; },
         VXD_STATUS_OK, 0, 1500, 1, 0, nullptr, VXD_DISK_READ_ONLY, nullptr, "",
         "VxdAttach: disk 2 is online but read-only, so its volumes cannot be written: pass "
         "VXD_ATTACH_BRING_ONLINE (vxdhost attach --online), or Set-Disk -Number 2 -IsReadOnly "
         "$false"},
        {"read-only, made writable", [](Machine &m) { m.disks[2].readOnly = true; }, VXD_STATUS_OK,
         0, 1500, 1, VXD_ATTACH_BRING_ONLINE, nullptr, VXD_DISK_MADE_WRITABLE},
        {"read-only, its attribute kept",
         [](Machine &m) {
             m.disks[2].readOnly = true;
             m.diskSetError = 5;
         },
         VXD_STATUS_OK, 0, 1500, 1, VXD_ATTACH_BRING_ONLINE, nullptr, VXD_DISK_READ_ONLY, nullptr,
         "",
         "VxdAttach: disk 2 stays read-only: its read-only attribute cannot be cleared (error 5)"},
        // As Wine and older systems do: 1.3's answer, at 1.3's moment.
        {"the attribute queries unanswered",
         [](Machine &m) {
             m.diskAttributesAnswered = false;
             m.disks[2].layout = "raw";
         },
         VXD_STATUS_OK, 0, 1500, 1, VXD_ATTACH_BRING_ONLINE, nullptr, VXD_DISK_STATE_UNKNOWN},
        // Volumes without a letter.
        {"a volume without a letter", UnletteredVolume, VXD_STATUS_NO_LETTER, 0, 7000, 1, 0,
         nullptr, 0, "", "",
         "VxdAttach: the volume \\\\?\\Volume{0a1b2c3d-0000-4000-8000-000000000002}\\ on disk 2 "
         "has "
         "no letter: automount may be off (mountvol /E turns it on), or its partition is marked "
         "to get no default letter; pass VXD_ATTACH_ASSIGN_LETTER or a mountFolder, or use the "
         "volume by its name"},
        {"automount gives it the first free letter",
         [](Machine &m) {
             UnletteredVolume(m);
             m.automount = true;
         },
         VXD_STATUS_OK, 0, 1500, 1, 0, nullptr, 0, "E"},
        {"a letter given its grace after the volume came", UnletteredVolume, VXD_STATUS_OK, 0, 4500,
         1, VXD_ATTACH_ASSIGN_LETTER, nullptr, 0, "E", "E"},
        {"no letter free",
         [](Machine &m) {
             UnletteredVolume(m);
             for (char letter = 'E'; letter <= 'Z'; ++letter) {
                 m.AddDrive(letter, 0);
             }
         },
         VXD_STATUS_MOUNT_FAILED, 0, 4500, 1, VXD_ATTACH_ASSIGN_LETTER, nullptr, 0, "", "",
         "VxdAttach: no letter from D to Z is free for the volume "
         "\\\\?\\Volume{0a1b2c3d-0000-4000-8000-000000000002}\\"},
        {"the letter refused",
         [](Machine &m) {
             UnletteredVolume(m);
             m.mountPointError = 120;
         },
         VXD_STATUS_MOUNT_FAILED, 120, 4500, 1, VXD_ATTACH_ASSIGN_LETTER, nullptr, 0, ""},
        {"mounted at a folder", folder, VXD_STATUS_OK, 0, 1500, 1, 0, "C:\\mnt\\data", 0, nullptr,
         "",
         "VxdAttach: mounted the volume "
         "\\\\?\\Volume{5d1c0000-0000-4000-8000-000000000046}\\ at C:\\mnt\\data\\"},
        // Where Windows lists no volume on the disk (Wine), the letter names it.
        {"a volume known by its letter only, at a folder",
         [folder](Machine &m) {
             folder(m);
             m.onLogin.drives[0].drive.listed = false;
         },
         VXD_STATUS_OK, 0, 1500, 1, 0, "C:\\mnt\\data", 0},
        {"a folder that does not exist", [](Machine &) {}, VXD_STATUS_MOUNT_FAILED, 3, 0, 0, 0,
         "C:\\mnt\\none\\", 0, ""},
        {"a folder that is not empty", [](Machine &m) { m.folders["C:\\mnt\\data\\"] = false; },
         VXD_STATUS_MOUNT_FAILED, 145, 1500, 1, 0, "C:\\mnt\\data\\", 0, ""},
        {"two volumes for one folder",
         [folder](Machine &m) {
             folder(m);
             m.onLogin.drives.push_back({test::Drive('G', 2), 1500});
         },
         VXD_STATUS_MOUNT_FAILED, 0, 1500, 1, 0, "C:\\mnt\\data\\", 0, ""},
    };
    for (const Case &c : cases) {
        Machine machine;
        PlainMachine(machine);
        c.setUp(machine);
        Attach attach;
        attach.request.deviceWaitMs = 5000;
        attach.request.letterWaitMs = 7000;
        attach.request.flags = c.flags;
        attach.request.mountFolder = c.folder;
        EXPECT_EQ(attach.Run(), c.status) << c.name << "\n" << Joined(attach.progress);
        EXPECT_EQ(attach.result.status, c.status) << c.name;
        EXPECT_EQ(attach.result.serviceStatus, c.serviceStatus) << c.name;
        EXPECT_EQ(attach.result.diskAttributes[0], c.attributes) << c.name;
        if (c.letters != nullptr || c.status == VXD_STATUS_OK) {
            EXPECT_STREQ(attach.result.letters, c.letters == nullptr ? "F" : c.letters) << c.name;
        }
        EXPECT_STREQ(attach.result.assignedLetters, c.assigned) << c.name;
        if (c.line != nullptr) {
            EXPECT_NE(Joined(attach.progress).find(std::string(c.line) + "\n"), std::string::npos)
                << c.name << "\n"
                << Joined(attach.progress);
        }

        EXPECT_EQ(machine.Now(), c.endsAt) << c.name;
        EXPECT_EQ(machine.CallsTo("LoginIScsiTargetA").size(), c.logins) << c.name;
        ASSERT_FALSE(attach.progress.empty()) << c.name;
        const std::string closing = c.status == VXD_STATUS_OK ? std::string("VxdAttach: done")
                                                              : std::string("VxdAttach: failed: ") +
                                                                    VxdStatusText(c.status);
        EXPECT_EQ(attach.progress.back().rfind(closing, 0), 0u)
            << c.name << ": " << attach.progress.back();
        // A failure leaves no session of the call's behind.
        EXPECT_EQ(machine.SessionCount(), c.status == VXD_STATUS_OK ? 1u : 0u) << c.name;
        // The waits are paced at a second or faster.
        for (const sim::CallRecord &sleep : machine.CallsTo("Sleep")) {
            EXPECT_LE(sleep.Arg("dwMilliseconds"), 1000u) << c.name;
        }
        ExpectClean(machine);
    }
}

TEST(Attach, RefusesWhatItCannotSendAndSendsNothing) {
    struct Case {
        const char *name;
        std::function<void(Attach &)> spoil;
        const char *line; // the progress line that names what is wrong; null: none at all
    };
    const std::string tooLong(224, 'q');
    const char *badTarget =
        "VxdAttach: the target's name is missing, or longer than 223 characters";
    const char *badPortal =
        "VxdAttach: the portal's address is not a dotted IPv4 address such as 192.168.0.10";
    // A handle that the machine never gave: no event, nothing to wait on.
    int notAnEvent = 0;
    void *const noEvent = &notAnEvent;
    const std::vector<Case> cases = {
        {"no target", [](Attach &a) { a.request.targetName = nullptr; }, badTarget},
        {"empty target", [](Attach &a) { a.request.targetName = ""; }, badTarget},
        {"target too long", [&tooLong](Attach &a) { a.request.targetName = tooLong.c_str(); },
         badTarget},
        {"no portal", [](Attach &a) { a.request.portalAddress = nullptr; }, badPortal},
        {"a part above 255", [](Attach &a) { a.request.portalAddress = "300.1.2.3"; }, badPortal},
        {"a host name", [](Attach &a) { a.request.portalAddress = "san.example.net"; }, badPortal},
        {"three parts", [](Attach &a) { a.request.portalAddress = "10.0.0"; }, badPortal},
        {"an empty part", [](Attach &a) { a.request.portalAddress = "10..0.1"; }, badPortal},
        {"a leading zero", [](Attach &a) { a.request.portalAddress = "10.0.0.010"; }, badPortal},
        // inet_addr would take these for 10.0.0.1 and 0.0.0.1: the record would name another.
        {"a hexadecimal part", [](Attach &a) { a.request.portalAddress = "0x0A.0.0.1"; },
         badPortal},
        {"a part that wraps to 1 in 32 bits",
         [](Attach &a) { a.request.portalAddress = "4294967297.0.0.1"; }, badPortal},
        {"a trailing point", [](Attach &a) { a.request.portalAddress = "10.0.0.1."; }, badPortal},
        {"a letter after the last part", [](Attach &a) { a.request.portalAddress = "10.0.0.1a"; },
         badPortal},
        {"unknown flags", [](Attach &a) { a.request.flags = 0x200; },
         "VxdAttach: unknown flags 0x200"},
        {"1.5's flags in a request of 1.4",
         [](Attach &a) {
             a.request.size = offsetof(VxdAttachRequest, extraPortals);
             a.request.flags = VXD_ATTACH_NO_LOGIN;
         },
         "VxdAttach: unknown flags 0x100"},
        {"a LUN no SCSI address holds",
         [](Attach &a) {
             a.request.flags = VXD_ATTACH_ONE_LUN;
             a.request.lun = 256;
         },
         "VxdAttach: LUN 256 is not one that a SCSI address holds (0 to 255)"},
        {"a count of extra portals without them",
         [](Attach &a) {
             a.request.flags = VXD_ATTACH_MULTIPATH;
             a.request.extraPortalCount = 1;
         },
         "VxdAttach: extraPortals: at most 7 portals, and a count needs the portals"},
        {"extra portals without multipath",
         [](Attach &a) {
             static const VxdPortal second = {"192.0.2.11", 0};
             a.request.extraPortals = &second;
             a.request.extraPortalCount = 1;
         },
         "VxdAttach: extraPortals need VXD_ATTACH_MULTIPATH"},
        {"an extra portal that is no address",
         [](Attach &a) {
             static const VxdPortal second = {"san-b", 0};
             a.request.flags = VXD_ATTACH_MULTIPATH;
             a.request.extraPortals = &second;
             a.request.extraPortalCount = 1;
         },
         "VxdAttach: extra portal 1 is not a dotted IPv4 address such as 192.168.0.11"},
        {"an empty initiator instance", [](Attach &a) { a.request.initiatorInstance = ""; },
         "VxdAttach: the initiator instance is empty or longer than 255 characters"},
        {"a re-open with CHAP",
         [](Attach &a) {
             a.request.flags = VXD_ATTACH_NO_LOGIN;
             a.request.chapUserName = "user";
             a.request.chapSecret = reinterpret_cast<const unsigned char *>("0123456789ab");
             a.request.chapSecretLength = 12;
         },
         "VxdAttach: VXD_ATTACH_NO_LOGIN logs in nowhere: it takes no CHAP fields, no "
         "initiatorInstance and no VXD_ATTACH_MULTIPATH"},
        // A caller of 1.3 cannot mean 1.4's flags.
        {"1.4's flags in a request of 1.3",
         [](Attach &a) {
             a.request.size = offsetof(VxdAttachRequest, mountFolder);
             a.request.flags = VXD_ATTACH_BRING_ONLINE;
         },
         "VxdAttach: unknown flags 0x10"},
        {"an empty mount folder", [](Attach &a) { a.request.mountFolder = ""; },
         "VxdAttach: the mount folder is empty or longer than 259 characters"},
        {"a cancel event that is no event",
         [noEvent](Attach &a) { a.request.cancelEvent = noEvent; },
         "VxdAttach: the cancel event is not a handle that can be waited on"},
        {"a request of no known version", [](Attach &a) { a.request.size = 8; }, nullptr},
    };
    for (const Case &c : cases) {
        Machine machine;
        PlainMachine(machine);
        Attach attach;
        c.spoil(attach);
        EXPECT_EQ(attach.Run(), VXD_STATUS_INVALID_ARGUMENT) << c.name;
        EXPECT_EQ(attach.result.status, VXD_STATUS_INVALID_ARGUMENT) << c.name;
        EXPECT_TRUE(ServiceCalls(machine).empty()) << c.name;
        if (c.line == nullptr) {
            EXPECT_TRUE(attach.progress.empty()) << c.name;
            continue;
        }
        EXPECT_EQ(attach.progress,
                  (std::vector<std::string>{c.line, "VxdAttach: failed: an argument is missing or "
                                                    "malformed; nothing was sent to the iSCSI "
                                                    "service"}))
            << c.name;
    }
    const std::string longest(223, 'q');
    Machine machine;
    Attach accepted;
    accepted.request.targetName = longest.c_str();
    accepted.request.portalAddress = "255.0.0.0";
    accepted.request.letterWaitMs = 1;
    EXPECT_EQ(accepted.Run(), VXD_STATUS_NO_LETTER);

    // Without a result of a known version there is nowhere to answer: nothing is written.
    EXPECT_EQ(VxdAttach(&accepted.request, nullptr), VXD_STATUS_INVALID_ARGUMENT);
    VxdAttachResult shortResult;
    std::memset(&shortResult, 0x5A, sizeof shortResult);
    shortResult.size = 40;
    EXPECT_EQ(VxdAttach(&accepted.request, &shortResult), VXD_STATUS_INVALID_ARGUMENT);
    EXPECT_EQ(shortResult.status, 0x5A5A5A5A);
    EXPECT_EQ(VxdAttach(nullptr, &accepted.result), VXD_STATUS_INVALID_ARGUMENT);
}

TEST(Attach, ReadsAndWritesOnlyWhatTheCallersVersionCovers) {
    Machine machine;
    PlainMachine(machine);
    // A later caller's structures: larger, with fields this library does not know.
    struct LaterResult {
        VxdAttachResult known;
        unsigned char later[16];
    } later;
    std::memset(&later, 0x5A, sizeof later);
    later.known.size = sizeof later;
    struct LaterRequest {
        VxdAttachRequest known;
        unsigned char later[16];
    } request{};
    request.known.size = sizeof request;
    request.known.portalAddress = kPortal;
    request.known.targetName = kTarget;
    EXPECT_EQ(VxdAttach(&request.known, &later.known), VXD_STATUS_OK);
    EXPECT_STREQ(later.known.letters, "F");
    EXPECT_EQ(later.known.size, sizeof later);
    for (const unsigned char byte : later.later) {
        EXPECT_EQ(byte, 0x5A);
    }
}

TEST(Attach, ACancelDuringAnyWaitEndsTheCallAtOnceAndUndoesTheLoginItMade) {
    struct Case {
        const char *name;
        std::function<void(Machine &)> setUp;
        Ms cancelAt;
        bool loggedIn;                 // the call made a session, which must go
        const char *during = nullptr;  // signalled while this request is with the service
        const char *notSent = nullptr; // the request that the cancel kept from being sent
    };
    const std::vector<Case> cases = {
        {"before it begins", [](Machine &) {}, 0, false},
        // Another thread cancels while a request is with the service: it is answered, and the
        // next one is not sent.
        {"while the security record is sent", [](Machine &) {}, 0, false, "SetIScsiIKEInfoA",
         "AddIScsiSendTargetPortalA"},
        {"while the portal is registered", [](Machine &) {}, 0, false, "AddIScsiSendTargetPortalA",
         "LoginIScsiTargetA"},
        {"between the two logins",
         [](Machine &m) {
             m.loginStatuses = {kTargetNotFound, 0};
         },
         400, false},
        {"waiting for the disk", [](Machine &m) { m.onLogin.devicesAfterMs = 30000; }, 2350, true},
        {"while the service is busy", [](Machine &m) { m.loginStatuses = {kSessionBusy}; }, 2500,
         false},
        {"while the device list is busy",
         [](Machine &m) {
             m.deviceAnswers = {Answer{kDeviceBusy, std::nullopt, std::nullopt},
                                Answer{kDeviceBusy, std::nullopt, std::nullopt},
                                Answer{kDeviceBusy, std::nullopt, std::nullopt}};
         },
         1700, true},
        {"waiting for the letter", [](Machine &m) { m.onLogin.drives.clear(); }, 4210, true},
    };
    for (const Case &c : cases) {
        Machine machine;
        PlainMachine(machine);
        c.setUp(machine);
        Attach attach;
        platform::HANDLE event = machine.CreateEvent();
        attach.request.cancelEvent = event;
        if (c.during == nullptr) {
            machine.SignalEventAt(event, c.cancelAt);
        } else {
            machine.onCall = [&machine, &c, event](const sim::CallRecord &call) {
                if (call.name == c.during) {
                    machine.SignalEventAt(event, machine.Now());
                }
            };
        }
        EXPECT_EQ(attach.Run(), VXD_STATUS_CANCELLED) << c.name;
        EXPECT_LE(machine.Now(), c.cancelAt + 100) << c.name;
        EXPECT_TRUE(machine.CallsTo("Sleep").empty()) << c.name; // the event stands for sleeps
        EXPECT_EQ(machine.CallsTo("LogoutIScsiTarget").size(), c.loggedIn ? 1u : 0u) << c.name;
        EXPECT_EQ(machine.SessionCount(), 0u) << c.name;
        EXPECT_EQ(attach.progress.back(), "VxdAttach: failed: the call was cancelled") << c.name;
        if (c.cancelAt == 0 && c.during == nullptr) {
            EXPECT_TRUE(ServiceCalls(machine).empty());
        }
        if (c.during != nullptr) {
            EXPECT_EQ(machine.CallsTo(c.during).size(), 1u) << c.name;
            EXPECT_TRUE(machine.CallsTo(c.notSent).empty()) << c.name;
        }
        ExpectClean(machine);
    }

    // A cancelled call's undo asks the logout once: a busy service keeps the session, and the
    // call still answers at once.
    Machine busy;
    PlainMachine(busy);
    busy.onLogin.drives.clear();
    busy.logoutStatuses = {kDeviceBusy};
    Attach cancelled;
    cancelled.request.cancelEvent = busy.CreateEvent();
    busy.SignalEventAt(cancelled.request.cancelEvent, 2000);
    EXPECT_EQ(cancelled.Run(), VXD_STATUS_CANCELLED);
    EXPECT_LE(busy.Now(), 2100u);
    EXPECT_EQ(busy.CallsTo("LogoutIScsiTarget").size(), 1u);
    EXPECT_NE(Joined(cancelled.progress).find("cannot log out the session it made (0xEFFF0040)"),
              std::string::npos);

    // An event that the host closes while the call waits can cancel nothing any more: the call
    // stops waiting on it at once, sleeps instead and answers as it would have.
    Machine machine;
    PlainMachine(machine);
    Attach attach;
    attach.request.cancelEvent = machine.CreateEvent();
    machine.CloseEventAt(attach.request.cancelEvent, 500);
    EXPECT_EQ(attach.Run(), VXD_STATUS_OK);
    EXPECT_STREQ(attach.result.letters, "F");
    EXPECT_EQ(machine.Now(), 1500u);
    const auto waits = machine.CallsTo("WaitForSingleObject");
    ASSERT_FALSE(waits.empty());
    EXPECT_EQ(waits.back().at, 500u); // the first wait after the close, and the last
    const auto sleeps = machine.CallsTo("Sleep");
    ASSERT_EQ(sleeps.size(), 4u);
    EXPECT_EQ(sleeps[0].at, 500u);
    EXPECT_EQ(machine.Faults(),
              std::vector<std::string>{"WaitForSingleObject on a handle that is no event"});
}

TEST(Attach, UndoesItsLoginAndPersistentLoginOnFailureUnlessAskedToKeepThem) {
    for (const bool keep : {false, true}) {
        Machine machine;
        PlainMachine(machine);
        machine.onLogin.drives.clear();
        machine.loginStatuses = {kTargetNotFound, 0}; // the second login is persistent
        sim::PersistentLogin earlier;
        earlier.target = kTarget;
        earlier.portalAddress = "198.51.100.1";
        earlier.portalSocket = 3260;
        machine.persistentLogins = {earlier};
        Attach attach;
        attach.request.letterWaitMs = 2000;
        attach.request.flags = keep ? VXD_ATTACH_KEEP_ON_FAILURE : 0;
        EXPECT_EQ(attach.Run(), VXD_STATUS_NO_LETTER);
        EXPECT_EQ(machine.SessionCount(), keep ? 1u : 0u);
        // The persistent login that was there before the call stays in any case.
        ASSERT_EQ(machine.persistentLogins.size(), keep ? 2u : 1u);
        EXPECT_EQ(machine.persistentLogins[0].portalAddress, "198.51.100.1");
        // The portal and the security record stay: other targets may use them.
        EXPECT_TRUE(machine.CallsTo("RemoveIScsiSendTargetPortalA").empty());
        EXPECT_EQ(machine.portals.size(), 1u);
        ExpectClean(machine);
    }
}

sim::PersistentLogin KeptLogin(const char *target, const char *instance, platform::ULONG port,
                               const char *portal, platform::USHORT socket) {
    sim::PersistentLogin login;
    login.target = target;
    login.initiatorInstance = instance;
    login.initiatorPortNumber = port;
    login.portalAddress = portal;
    login.portalSocket = socket;
    return login;
}

bool SameLogin(const sim::PersistentLogin &a, const sim::PersistentLogin &b) {
    return a.target == b.target && a.initiatorInstance == b.initiatorInstance &&
           a.initiatorPortNumber == b.initiatorPortNumber && a.portalAddress == b.portalAddress &&
           a.portalSocket == b.portalSocket;
}

// The persistent login that a failed attach made goes, and nothing that was there before the
// call: what the undo cannot do, or may not do without taking more, it leaves and tells.
TEST(Attach, TheUndoTakesOnlyWhatTheCallMadeAndTellsWhatItCannotUndo) {
    constexpr platform::ULONG kAllPorts = 0xFFFFFFFF;
    const char *const otherInitiator = "ROOT\\ISCSIPRT\\0000_0";
    struct Case {
        const char *name;
        std::function<void(Machine &)> setUp;
        std::vector<sim::PersistentLogin> before;
        const char *line; // what the undo says
        bool sessionStays;
        bool persistentStays; // the persistent login the call made
        std::size_t lists;    // ReportIScsiPersistentLoginsA calls
    };
    const std::vector<Case> cases = {
        {"logins kept before for other portals and targets",
         [](Machine &) {},
         {KeptLogin(kTarget, "", kAllPorts, "198.51.100.1", 3260),
          KeptLogin(kTarget, "", kAllPorts, "", 3261),
          KeptLogin("iqn.2026-12.com.example:other", "", kAllPorts, "", 0)},
         "VxdAttach: removed the persistent login it made",
         false,
         false,
         4},
        // The removal names the target and the portal, and no initiator or port: it would take
        // these too.
        {"a login kept before for the same portal on another initiator",
         [](Machine &) {},
         {KeptLogin(kTarget, otherInitiator, kAllPorts, "", 0)},
         "VxdAttach: the persistent login it made stays: removing it would remove the one kept "
         "before for the same portal",
         false,
         true,
         4},
        {"a login kept before for the same portal on one port",
         [](Machine &) {},
         {KeptLogin(kTarget, "", 0, "", 0)},
         "VxdAttach: the persistent login it made stays: removing it would remove the one kept "
         "before for the same portal",
         false,
         true,
         4},
        {"the logout refused",
         [](Machine &m) { m.logoutStatuses = {0xEFFF0001}; },
         {},
         "VxdAttach: cannot log out the session it made (0xEFFF0001)",
         true,
         false,
         3},
        {"the removal refused",
         [](Machine &m) { m.removePersistentStatus = 0xEFFF0042; },
         {},
         "VxdAttach: cannot remove the persistent login it made (0xEFFF0042)",
         false,
         true,
         3},
        // Without the list from before, the call cannot tell which login is its own.
        {"no list before the persistent login",
         [](Machine &m) { m.reportPersistentStatus = 0xEFFF0001; },
         {},
         "VxdAttach: cannot list the persistent logins (0xEFFF0001); the one made here may stay",
         false,
         true,
         1},
        {"no list at the undo",
         [](Machine &m) {
             m.onCall = [&m](const sim::CallRecord &call) {
                 if (call.name == "LoginIScsiTargetA" && call.Arg("IsPersistent") == 1) {
                     m.reportPersistentStatus = 0xEFFF0001;
                 }
             };
         },
         {},
         "VxdAttach: cannot list the persistent logins (0xEFFF0001); the one made here may stay",
         false,
         true,
         2},
    };
    for (const Case &c : cases) {
        Machine machine;
        PlainMachine(machine);
        machine.onLogin.drives.clear();
        machine.loginStatuses = {kTargetNotFound, 0}; // the second login is persistent
        machine.persistentLogins = c.before;
        c.setUp(machine);
        Attach attach;
        attach.request.letterWaitMs = 2000;
        EXPECT_EQ(attach.Run(), VXD_STATUS_NO_LETTER) << c.name;
        EXPECT_NE(Joined(attach.progress).find(std::string(c.line) + "\n"), std::string::npos)
            << c.name << "\n"
            << Joined(attach.progress);
        EXPECT_EQ(attach.progress.back(),
                  "VxdAttach: failed: the disk's volume got no drive letter in time")
            << c.name;
        EXPECT_EQ(machine.SessionCount(), c.sessionStays ? 1u : 0u) << c.name;
        EXPECT_EQ(machine.CallsTo("ReportIScsiPersistentLoginsA").size(), c.lists) << c.name;
        // Every login kept before is there as it was; the call's own as the case says.
        EXPECT_EQ(machine.persistentLogins.size(), c.before.size() + (c.persistentStays ? 1 : 0))
            << c.name;
        for (const sim::PersistentLogin &kept : c.before) {
            EXPECT_TRUE(std::any_of(
                machine.persistentLogins.begin(), machine.persistentLogins.end(),
                [&kept](const sim::PersistentLogin &now) { return SameLogin(now, kept); }))
                << c.name << ": " << kept.portalAddress << ":" << kept.portalSocket;
        }
        ExpectClean(machine);
    }
}

// A target attached as the plain machine has it, with a persistent login kept for it.
void AttachedMachine(Machine &machine) {
    PlainMachine(machine);
    machine.onLogin.drives.clear();
    machine.AddDrive('F', 2);
    machine.AddSession(kTarget, {2});
    sim::PersistentLogin persistent;
    persistent.target = kTarget;
    machine.persistentLogins = {persistent};
    machine.portals = {{kPortal, 3260}};
}

// A progress function that throws, as a C++ host's may: from the first line that starts with
// `from`, once or at every line after.
struct ThrowingProgress {
    const char *from;
    bool badAlloc;
    bool everyLine;
    bool thrown = false;
    std::vector<std::string> lines;

    static void VXDMOUNT_CALL Line(void *context, const char *line) {
        auto &self = *static_cast<ThrowingProgress *>(context);
        self.lines.push_back(line);
        const bool first = !self.thrown && std::string(line).rfind(self.from, 0) == 0;
        if (!first && !(self.thrown && self.everyLine)) {
            return;
        }
        self.thrown = true;
        if (self.badAlloc) {
            throw std::bad_alloc();
        }
        throw std::runtime_error("the host's own");
    }
};

// Whatever throws inside a call ends at the export, which answers for it; a session that the
// attach made is logged out all the same, and a detach leaves no volume locked or open.
TEST(AttachThenDetach, AnExceptionEndsAtTheExportAndLeavesNothingHalfDone) {
    struct Case {
        const char *name;
        bool badAlloc;
        bool everyLine; // the undo's lines throw too
        int status;
    };
    const std::vector<Case> cases = {
        {"out of memory", true, false, VXD_STATUS_OUT_OF_MEMORY},
        {"another exception", false, false, VXD_STATUS_INTERNAL_ERROR},
        {"an exception at every line after", false, true, VXD_STATUS_INTERNAL_ERROR},
    };
    for (const Case &c : cases) {
        Machine machine;
        PlainMachine(machine);
        ThrowingProgress progress{"VxdAttach: logged in", c.badAlloc, c.everyLine};
        Attach attach;
        attach.request.progress = &ThrowingProgress::Line;
        attach.request.progressContext = &progress;
        EXPECT_EQ(attach.Run(), c.status) << c.name;
        EXPECT_EQ(attach.result.status, c.status) << c.name;
        EXPECT_EQ(machine.CallsTo("LogoutIScsiTarget").size(), 1u) << c.name;
        EXPECT_EQ(machine.SessionCount(), 0u) << c.name;
        EXPECT_STREQ(attach.result.letters, "") << c.name;
        ExpectClean(machine);

        Machine attached;
        AttachedMachine(attached);
        attached.AddDrive('E', 2);
        ThrowingProgress detachProgress{"VxdDetach: F: flushed and locked", c.badAlloc,
                                        c.everyLine};
        Detach detach;
        detach.request.progress = &ThrowingProgress::Line;
        detach.request.progressContext = &detachProgress;
        EXPECT_EQ(detach.Run(), c.status) << c.name;
        EXPECT_EQ(detach.result.status, c.status) << c.name;
        EXPECT_FALSE(attached.Locked('E')) << c.name;
        EXPECT_FALSE(attached.Locked('F')) << c.name;
        EXPECT_TRUE(attached.CallsTo("LogoutIScsiTarget").empty()) << c.name;
        EXPECT_EQ(attached.SessionCount(), 1u) << c.name;
        EXPECT_EQ(detach.result.sessionsLoggedOut, 0u) << c.name;
        ExpectClean(attached);
    }
}

// The undo takes back the letters and folders that the call gave, and leaves the disk
// attributes that it changed as they are now.
TEST(Attach, TheUndoTakesBackTheLettersAndFoldersItGaveButNoDiskAttribute) {
    {
        // A letter that cannot be taken back is told, and the undo goes on.
        Machine refusing;
        PlainMachine(refusing);
        UnletteredVolume(refusing);
        refusing.deleteMountPointError = 5;
        refusing.onLogin.disks = {2, 3}; // disk 3 never gets a volume: the call waits on
        Attach attach;
        attach.request.flags = VXD_ATTACH_ASSIGN_LETTER;
        attach.request.cancelEvent = refusing.CreateEvent();
        refusing.SignalEventAt(attach.request.cancelEvent, 5000);
        EXPECT_EQ(attach.Run(), VXD_STATUS_CANCELLED);
        EXPECT_NE(Joined(attach.progress)
                      .find("VxdAttach: cannot take back E:\\, which it gave (error 5)\n"),
                  std::string::npos);
        EXPECT_EQ(refusing.SessionCount(), 0u);
        ExpectClean(refusing);
    }
    Machine machine;
    PlainMachine(machine);
    UnletteredVolume(machine);
    machine.sanPolicy = sim::SanPolicy::kOfflineShared;
    machine.onLogin.disks = {2, 3};
    Attach attach;
    attach.request.flags = VXD_ATTACH_BRING_ONLINE | VXD_ATTACH_ASSIGN_LETTER;
    attach.request.cancelEvent = machine.CreateEvent();
    // Online at 2 s, the volume at 2.5 s, its letter 3 s later; disk 3 holds none.
    machine.SignalEventAt(attach.request.cancelEvent, 6000);
    EXPECT_EQ(attach.Run(), VXD_STATUS_CANCELLED);
    const auto given = machine.CallsTo("SetVolumeMountPointA");
    ASSERT_EQ(given.size(), 1u);
    EXPECT_EQ(given[0].at, 5500u);
    EXPECT_EQ(given[0].String("lpszVolumeMountPoint"), "E:\\");
    const auto taken = machine.CallsTo("DeleteVolumeMountPointA");
    ASSERT_EQ(taken.size(), 1u);
    EXPECT_EQ(taken[0].String("lpszVolumeMountPoint"), "E:\\");
    EXPECT_NE(Joined(attach.progress).find("VxdAttach: took back E:\\, which it gave\n"),
              std::string::npos);
    EXPECT_STREQ(attach.result.assignedLetters, "");
    EXPECT_STREQ(attach.result.letters, "");
    EXPECT_EQ(attach.result.volumeCount, 1u);
    EXPECT_STREQ(attach.result.volumeNames[0], kNoLetterVolume);
    EXPECT_EQ(attach.result.diskAttributes[0],
              unsigned{VXD_DISK_BROUGHT_ONLINE | VXD_DISK_MADE_WRITABLE});
    EXPECT_FALSE(machine.DiskOffline(2));
    EXPECT_FALSE(machine.DiskReadOnly(3));
    ExpectClean(machine);

    // A folder given just before a fault of the host's.
    Machine folder;
    PlainMachine(folder);
    folder.folders["C:\\mnt\\data\\"] = true;
    ThrowingProgress progress{"VxdAttach: mounted the volume", false, false};
    Attach mounting;
    mounting.request.mountFolder = "C:\\mnt\\data\\";
    mounting.request.progress = &ThrowingProgress::Line;
    mounting.request.progressContext = &progress;
    EXPECT_EQ(mounting.Run(), VXD_STATUS_INTERNAL_ERROR);
    EXPECT_EQ(folder.CallsTo("DeleteVolumeMountPointA").size(), 1u);
    EXPECT_TRUE(folder.folders["C:\\mnt\\data\\"]); // empty again
    EXPECT_EQ(folder.SessionCount(), 0u);
    ExpectClean(folder);
}

TEST(Detach, FlushesLocksAndDismountsBeforeTheLogoutThenRemovesThePersistentLogin) {
    Machine machine;
    AttachedMachine(machine);
    Detach detach;
    EXPECT_EQ(detach.Run(), VXD_STATUS_OK);
    EXPECT_STREQ(detach.result.letters, "F");
    EXPECT_EQ(detach.result.sessionsLoggedOut, 1u);
    EXPECT_EQ(detach.result.persistentLoginsRemoved, 1u);
    EXPECT_EQ(machine.SessionCount(), 0u);
    EXPECT_TRUE(machine.persistentLogins.empty());
    EXPECT_EQ(machine.DriveLetters(), "CD");
    EXPECT_EQ(machine.portals.size(), 1u); // only when asked
    std::vector<std::string> order;
    for (const sim::CallRecord &call : machine.Calls()) {
        if (call.name == "DeviceIoControl" && call.Arg("dwIoControlCode") != 0x560000) {
            order.push_back(call.Arg("dwIoControlCode") == 0x90018 ? "lock" : "dismount");
        } else if (call.name == "FlushFileBuffers" || call.name == "LogoutIScsiTarget" ||
                   call.name == "RemoveIScsiPersistentTargetA") {
            order.push_back(call.name);
        } else if (call.name == "CloseHandle" && !order.empty() && order.back() != "close") {
            order.push_back("close");
        }
    }
    EXPECT_EQ(order,
              (std::vector<std::string>{"FlushFileBuffers", "lock", "dismount", "LogoutIScsiTarget",
                                        "close", "RemoveIScsiPersistentTargetA"}));
    ExpectClean(machine);

    // A second detach finds nothing and changes nothing.
    Detach again;
    EXPECT_EQ(again.Run(), VXD_STATUS_NOT_ATTACHED);
    EXPECT_EQ(again.result.sessionsLoggedOut, 0u);
    EXPECT_TRUE(machine.CallsTo("LogoutIScsiTarget").size() == 1u);

    // A volume without a letter, mounted at a folder, is held by its name and its folder
    // goes before the logout; one in use refuses the detach as a lettered one does.
    for (const bool inUse : {false, true}) {
        Machine unlettered;
        AttachedMachine(unlettered);
        // A folder that stays is told; the detach goes on.
        if (!inUse) {
            unlettered.deleteMountPointError = 5;
        }
        unlettered.RemoveDrive('F');
        sim::DriveSetup volume = test::Drive('\0', 2);
        volume.volume = kNoLetterVolume;
        volume.folders = {"C:\\mnt\\data\\"};
        volume.inUse = inUse;
        unlettered.folders["C:\\mnt\\data\\"] = false;
        unlettered.AddDrive(volume);
        Detach byName;
        EXPECT_EQ(byName.Run(), inUse ? VXD_STATUS_VOLUME_IN_USE : VXD_STATUS_OK);
        const std::string lines = Joined(byName.progress);
        EXPECT_NE(
            lines.find(std::string("VxdDetach: ") + kNoLetterVolume +
                       (inUse ? " is in use (files are open on it)\n" : " flushed and locked\n")),
            std::string::npos)
            << lines;
        EXPECT_EQ(unlettered.SessionCount(), inUse ? 1u : 0u);
        EXPECT_EQ(lines.find("VxdDetach: cannot remove the mount point C:\\mnt\\data\\ (error 5); "
                             "remove it with mountvol C:\\mnt\\data\\ /D\n") != std::string::npos,
                  !inUse)
            << lines;
        EXPECT_STREQ(byName.result.letters, "");
        EXPECT_STREQ(byName.result.lettersInUse, "");
        const auto removed = unlettered.CallsTo("DeleteVolumeMountPointA");
        ASSERT_EQ(removed.size(), inUse ? 0u : 1u);
        if (!inUse) {
            EXPECT_EQ(removed[0].String("lpszVolumeMountPoint"), "C:\\mnt\\data\\");
            std::vector<std::string> order;
            for (const sim::CallRecord &call : unlettered.Calls()) {
                if (call.name == "DeleteVolumeMountPointA" || call.name == "LogoutIScsiTarget") {
                    order.push_back(call.name);
                }
            }
            EXPECT_EQ(order,
                      (std::vector<std::string>{"DeleteVolumeMountPointA", "LogoutIScsiTarget"}));
        }
        ExpectClean(unlettered);
    }
}

TEST(Detach, AVolumeInUseRefusesTheDetachWithNothingChangedUnlessForced) {
    for (const bool force : {false, true}) {
        Machine machine;
        AttachedMachine(machine);
        machine.AddDrive('E', 2); // a second volume of the target, locked before F: refuses
        sim::DriveSetup busy = test::Drive('F', 2);
        busy.inUse = true;
        machine.AddDrive(busy);
        Detach detach;
        detach.request.flags = force ? VXD_DETACH_FORCE : 0;
        const int status = detach.Run();
        EXPECT_STREQ(detach.result.lettersInUse, "F");
        if (force) {
            EXPECT_EQ(status, VXD_STATUS_OK);
            EXPECT_STREQ(detach.result.letters, "EF");
            EXPECT_EQ(machine.SessionCount(), 0u);
        } else {
            EXPECT_EQ(status, VXD_STATUS_VOLUME_IN_USE);
            EXPECT_EQ(detach.result.sessionsLoggedOut, 0u);
            EXPECT_STREQ(detach.result.letters, "");
            EXPECT_EQ(machine.SessionCount(), 1u);
            EXPECT_EQ(machine.persistentLogins.size(), 1u);
            EXPECT_FALSE(machine.Locked('E'));
            EXPECT_FALSE(machine.Dismounted('E'));
            EXPECT_TRUE(machine.CallsTo("LogoutIScsiTarget").empty());
            EXPECT_NE(Joined(detach.progress).find("F: is in use"), std::string::npos);
        }
        ExpectClean(machine);
    }

    // A caller of 1.2 has no lettersInUse: the refusal writes nothing past what its size covers.
    Machine machine;
    AttachedMachine(machine);
    sim::DriveSetup busy = test::Drive('F', 2);
    busy.inUse = true;
    machine.AddDrive(busy);
    Detach older;
    std::memset(&older.result, 0x5A, sizeof older.result);
    older.result.size = offsetof(VxdDetachResult, lettersInUse);
    EXPECT_EQ(older.Run(), VXD_STATUS_VOLUME_IN_USE);
    EXPECT_EQ(older.result.serviceStatus, 5u);
    EXPECT_EQ(older.result.sessionsLoggedOut, 0u);
    for (const char byte : older.result.lettersInUse) {
        EXPECT_EQ(static_cast<unsigned char>(byte), 0x5A);
    }
    ExpectClean(machine);
}

TEST(Detach, ReportsExactlyWhatItDidWhenTheServiceRefuses) {
    struct Case {
        const char *name;
        std::vector<sim::ISDSC_STATUS> logouts;
        int status;
        sim::ISDSC_STATUS serviceStatus;
        unsigned long loggedOut;
        const char *letters;
        Ms endsAt;
    };
    const std::vector<Case> cases = {
        {"the second session's device is busy",
         {0, kDeviceBusy},
         VXD_STATUS_VOLUME_IN_USE,
         kDeviceBusy,
         1,
         "F",
         10000},
        {"the second logout fails",
         {0, 0xEFFF001C},
         VXD_STATUS_LOGOUT_FAILED,
         0xEFFF001C,
         1,
         "F",
         0},
        {"a session busy for a while",
         {kSessionBusy, kSessionBusy, 0},
         VXD_STATUS_OK,
         0,
         2,
         "FG",
         2000},
        {"a session busy for good",
         {kSessionBusy},
         VXD_STATUS_LOGOUT_FAILED,
         kSessionBusy,
         0,
         "",
         10000},
    };
    for (const Case &c : cases) {
        Machine machine;
        AttachedMachine(machine);
        machine.AddDrive('G', 3);
        machine.AddSession(kTarget, {3});
        machine.targetLogoutStatuses[kTarget] = c.logouts;
        Detach detach;
        EXPECT_EQ(detach.Run(), c.status) << c.name;
        EXPECT_EQ(detach.result.serviceStatus, c.serviceStatus) << c.name;
        EXPECT_EQ(detach.result.sessionsLoggedOut, c.loggedOut) << c.name;
        EXPECT_STREQ(detach.result.letters, c.letters) << c.name;
        EXPECT_EQ(detach.result.persistentLoginsRemoved, c.status == VXD_STATUS_OK ? 1u : 0u)
            << c.name;
        EXPECT_EQ(machine.SessionCount(), 2u - c.loggedOut) << c.name;
        EXPECT_EQ(machine.Now(), c.endsAt) << c.name;
        EXPECT_FALSE(machine.Locked('G')) << c.name;
        ExpectClean(machine);
    }
}

TEST(Detach, VolumesThatCannotBeFlushedOrDismountedRefuseOnlyForRealFailures) {
    struct Case {
        const char *name;
        platform::DWORD flushError;
        platform::DWORD dismountError;
        int status;
        platform::DWORD serviceStatus;
        const char *line = nullptr; // what the refusal says
        bool openFailsAtTheLock = false;
    };
    // A folder-backed drive (as under Wine) answers 1 and 50: nothing to flush or dismount.
    const std::vector<Case> cases = {
        {"flush not supported", 1, 0, VXD_STATUS_OK, 0},
        {"dismount not supported", 0, 50, VXD_STATUS_OK, 0},
        {"flush fails", 1117, 0, VXD_STATUS_VOLUME_IN_USE, 1117,
         "VxdDetach: F: cannot be flushed (error 1117)"},
        {"dismount fails", 0, 5, VXD_STATUS_VOLUME_IN_USE, 5,
         "VxdDetach: F: cannot be dismounted (error 5)"},
        // Another program opens the volume for itself between the look at its disk and the lock.
        {"opened elsewhere before the lock", 0, 0, VXD_STATUS_VOLUME_IN_USE, 21,
         "VxdDetach: F: cannot be opened (error 21)", true},
    };
    for (const Case &c : cases) {
        Machine machine;
        AttachedMachine(machine);
        sim::DriveSetup drive = test::Drive('F', 2);
        drive.flushError = c.flushError;
        drive.dismountError = c.dismountError;
        machine.AddDrive(drive);
        if (c.openFailsAtTheLock) {
            machine.onCall = [&machine](const sim::CallRecord &call) {
                if (call.name == "CreateFileA" && call.String("lpFileName") == "\\\\.\\F:") {
                    machine.EditDrive('F')->openable = false;
                }
            };
        }
        Detach detach;
        EXPECT_EQ(detach.Run(), c.status) << c.name;
        EXPECT_EQ(machine.SessionCount(), c.status == VXD_STATUS_OK ? 0u : 1u) << c.name;
        EXPECT_EQ(detach.result.serviceStatus, c.serviceStatus) << c.name;
        if (c.line != nullptr) {
            EXPECT_NE(Joined(detach.progress).find(std::string(c.line) + "\n"), std::string::npos)
                << c.name;
        }
        EXPECT_FALSE(machine.Locked('F')) << c.name;
        ExpectClean(machine);
    }
}

TEST(Detach, RemovesThePortalOnlyWhenAskedAndLeavesOtherTargetsAlone) {
    Machine machine;
    AttachedMachine(machine);
    machine.AddDrive('H', 7);
    machine.AddSession("iqn.2026-12.com.example:other", {7});
    Detach detach;
    detach.request.flags = VXD_DETACH_REMOVE_PORTAL;
    detach.request.portalAddress = kPortal;
    EXPECT_EQ(detach.Run(), VXD_STATUS_OK);
    EXPECT_TRUE(machine.portals.empty());
    EXPECT_EQ(machine.SessionTargets(), std::vector<std::string>{"iqn.2026-12.com.example:other"});
    EXPECT_EQ(machine.DriveLetters(), "CDH");

    // A persistent login alone is still the target's; the portal already gone is no failure.
    sim::PersistentLogin persistent;
    persistent.target = kTarget;
    machine.persistentLogins = {persistent};
    Detach second;
    second.request.flags = VXD_DETACH_REMOVE_PORTAL;
    second.request.portalAddress = kPortal;
    EXPECT_EQ(second.Run(), VXD_STATUS_OK);
    EXPECT_EQ(second.result.persistentLoginsRemoved, 1u);

    machine.persistentLogins = {persistent};
    machine.portals = {{kPortal, 3260}};
    machine.removePortalStatus = 0xEFFF0001;
    Detach refused;
    refused.request.flags = VXD_DETACH_REMOVE_PORTAL;
    refused.request.portalAddress = kPortal;
    EXPECT_EQ(refused.Run(), VXD_STATUS_PORTAL_FAILED);
    EXPECT_EQ(refused.result.serviceStatus, 0xEFFF0001u);

    Detach invalid;
    invalid.request.flags = VXD_DETACH_REMOVE_PORTAL;
    invalid.request.portalAddress = "portal.example.net";
    EXPECT_EQ(invalid.Run(), VXD_STATUS_INVALID_ARGUMENT);
    machine.logoutStatuses = {kServiceNotRunning};
    machine.AddSession(kTarget, {2});
    Detach stopped;
    EXPECT_EQ(stopped.Run(), VXD_STATUS_SERVICE_UNAVAILABLE);

    // A persistent login kept on one initiator and port is removed as the service listed it;
    // a service that stops at that removal, or at the portal's, is told as such.
    for (const bool atThePortal : {false, true}) {
        Machine stops;
        stops.AddDrive('C', 0);
        stops.persistentLogins = {KeptLogin(kTarget, "ROOT\\ISCSIPRT\\0000_0", 1, kPortal, 3260)};
        stops.portals = {{kPortal, 3260}};
        if (atThePortal) {
            stops.removePortalStatus = kServiceNotRunning;
        } else {
            stops.removePersistentStatus = kServiceNotRunning;
        }
        Detach detach;
        detach.request.flags = VXD_DETACH_REMOVE_PORTAL;
        detach.request.portalAddress = kPortal;
        EXPECT_EQ(detach.Run(), VXD_STATUS_SERVICE_UNAVAILABLE) << atThePortal;
        EXPECT_EQ(detach.result.serviceStatus, kServiceNotRunning) << atThePortal;
        EXPECT_EQ(detach.result.persistentLoginsRemoved, atThePortal ? 1u : 0u) << atThePortal;
        EXPECT_EQ(stops.CallsTo("RemoveIScsiSendTargetPortalA").size(), atThePortal ? 1u : 0u)
            << atThePortal;
        const auto removals = stops.CallsTo("RemoveIScsiPersistentTargetA");
        ASSERT_EQ(removals.size(), 1u) << atThePortal;
        EXPECT_EQ(removals[0].String("InitiatorInstance"), "ROOT\\ISCSIPRT\\0000_0");
        EXPECT_EQ(removals[0].Arg("InitiatorPortNumber"), 1u);
        EXPECT_EQ(detach.progress.back(),
                  "VxdDetach: stopped: the iSCSI initiator service (MSiSCSI) cannot be reached "
                  "(0xEFFF003E)")
            << atThePortal;
        ExpectClean(stops);
    }
}

TEST(Detach, RefusesWhatItCannotSendAndSendsNothing) {
    struct Case {
        const char *name;
        std::function<void(Detach &)> spoil;
        const char *line; // the progress line that names what is wrong; null: none at all
    };
    const std::string tooLong(224, 'q');
    const char *badTarget =
        "VxdDetach: the target's name is missing, or longer than 223 characters";
    const char *badPortal =
        "VxdDetach: the portal to remove is not a dotted IPv4 address such as 192.168.0.10";
    const std::vector<Case> cases = {
        {"no target", [](Detach &d) { d.request.targetName = nullptr; }, badTarget},
        {"empty target", [](Detach &d) { d.request.targetName = ""; }, badTarget},
        {"target too long", [&tooLong](Detach &d) { d.request.targetName = tooLong.c_str(); },
         badTarget},
        {"unknown flags", [](Detach &d) { d.request.flags = 0x8; }, "VxdDetach: unknown flags 0x8"},
        {"1.5's flag in a request of 1.4",
         [](Detach &d) {
             d.request.size = offsetof(VxdDetachRequest, lun);
             d.request.flags = VXD_DETACH_ONE_LUN;
         },
         "VxdDetach: unknown flags 0x4"},
        {"a LUN no SCSI address holds",
         [](Detach &d) {
             d.request.flags = VXD_DETACH_ONE_LUN;
             d.request.lun = 300;
         },
         "VxdDetach: LUN 300 is not one that a SCSI address holds (0 to 255)"},
        {"no portal to remove", [](Detach &d) { d.request.flags = VXD_DETACH_REMOVE_PORTAL; },
         badPortal},
        {"a portal that is a host name",
         [](Detach &d) {
             d.request.flags = VXD_DETACH_REMOVE_PORTAL;
             d.request.portalAddress = "san.example.net";
         },
         badPortal},
        {"a request of no known version", [](Detach &d) { d.request.size = 8; }, nullptr},
    };
    for (const Case &c : cases) {
        Machine machine;
        AttachedMachine(machine);
        Detach detach;
        c.spoil(detach);
        EXPECT_EQ(detach.Run(), VXD_STATUS_INVALID_ARGUMENT) << c.name;
        EXPECT_EQ(detach.result.status, VXD_STATUS_INVALID_ARGUMENT) << c.name;
        EXPECT_TRUE(ServiceCalls(machine).empty()) << c.name;
        EXPECT_EQ(machine.SessionCount(), 1u) << c.name;
        if (c.line == nullptr) {
            EXPECT_TRUE(detach.progress.empty()) << c.name;
            continue;
        }
        EXPECT_EQ(detach.progress,
                  (std::vector<std::string>{c.line, "VxdDetach: stopped: an argument is missing or "
                                                    "malformed; nothing was sent to the iSCSI "
                                                    "service"}))
            << c.name;
    }

    // Without a result of a known version there is nowhere to answer: nothing is written.
    Machine machine;
    AttachedMachine(machine);
    Detach detach;
    EXPECT_EQ(VxdDetach(&detach.request, nullptr), VXD_STATUS_INVALID_ARGUMENT);
    VxdDetachResult shortResult;
    std::memset(&shortResult, 0x5A, sizeof shortResult);
    shortResult.size = offsetof(VxdDetachResult, persistentLoginsRemoved);
    EXPECT_EQ(VxdDetach(&detach.request, &shortResult), VXD_STATUS_INVALID_ARGUMENT);
    EXPECT_EQ(shortResult.status, 0x5A5A5A5A);
    EXPECT_EQ(VxdDetach(nullptr, &detach.result), VXD_STATUS_INVALID_ARGUMENT);
    EXPECT_EQ(detach.result.status, VXD_STATUS_INVALID_ARGUMENT);
    EXPECT_TRUE(ServiceCalls(machine).empty());
    EXPECT_EQ(machine.SessionCount(), 1u);
}

// A list that fails while the detach looks at what the target has stops it with nothing
// changed, and with the status of what failed.
TEST(Detach, ALookupThatFailsStopsItBeforeAnythingChanges) {
    struct Case {
        const char *name;
        std::function<void(Machine &)> setUp;
        int status;
        sim::ISDSC_STATUS serviceStatus;
        const char *words; // the service status as the closing line gives it
    };
    const std::vector<Case> cases = {
        {"service stopped at the session list",
         [](Machine &m) {
             m.sessionListAnswers = {Answer{kServiceNotRunning, std::nullopt, std::nullopt}};
         },
         VXD_STATUS_SERVICE_UNAVAILABLE, kServiceNotRunning, "0xEFFF003E"},
        {"the session list refused",
         [](Machine &m) {
             m.sessionListAnswers = {{}, Answer{0xEFFF0001, std::nullopt, std::nullopt}};
         },
         VXD_STATUS_LOGOUT_FAILED, 0xEFFF0001, "0xEFFF0001"},
        {"a session count past the list's records",
         [](Machine &m) {
             m.sessionListAnswers = {{}, Answer{std::nullopt, std::nullopt, 1000u}};
         },
         VXD_STATUS_LOGOUT_FAILED, 13, "error 13"},
        {"the persistent logins refused", [](Machine &m) { m.reportPersistentStatus = 0xEFFF0001; },
         VXD_STATUS_LOGOUT_FAILED, 0xEFFF0001, "0xEFFF0001"},
        {"no room for the persistent logins", [](Machine &m) { m.heapBlocksBeforeRefusal = 0; },
         VXD_STATUS_OUT_OF_MEMORY, 8, "error 8"},
        {"the device list refused",
         [](Machine &m) {
             m.deviceAnswers = {Answer{0xEFFF0001, std::nullopt, std::nullopt}};
         },
         VXD_STATUS_LOGOUT_FAILED, 0xEFFF0001, "0xEFFF0001"},
        {"more devices than the library can hold",
         [](Machine &m) {
             m.deviceAnswers = {Answer{std::nullopt, 0xFFFFFFFFu, std::nullopt}};
         },
         VXD_STATUS_OUT_OF_MEMORY, 8, "error 8"},
    };
    for (const Case &c : cases) {
        Machine machine;
        AttachedMachine(machine);
        c.setUp(machine);
        Detach detach;
        EXPECT_EQ(detach.Run(), c.status) << c.name;
        EXPECT_EQ(detach.result.serviceStatus, c.serviceStatus) << c.name;
        EXPECT_EQ(detach.progress.back(), std::string("VxdDetach: stopped: ") +
                                              VxdStatusText(c.status) + " (" + c.words + ")")
            << c.name;
        EXPECT_EQ(detach.result.sessionsLoggedOut, 0u) << c.name;
        EXPECT_EQ(detach.result.persistentLoginsRemoved, 0u) << c.name;
        EXPECT_EQ(machine.SessionCount(), 1u) << c.name;
        EXPECT_EQ(machine.persistentLogins.size(), 1u) << c.name;
        EXPECT_TRUE(machine.CallsTo("FlushFileBuffers").empty()) << c.name;
        EXPECT_TRUE(machine.CallsTo("LogoutIScsiTarget").empty()) << c.name;
        ExpectClean(machine);
    }
}

// The target's sessions under either name the service lists them by, two paths to one disk
// included; only the volumes on their disks are taken, and a volume that does not answer is
// left alone.
TEST(Detach, OneLunLogsOutOnlyWhenNoOtherLunOfTheTargetHasAMountedVolume) {
    struct Case {
        const char *name;
        unsigned long lun;
        bool otherInUse; // G: on LUN 1's disk 3
        int status;
        const char *letters;
        unsigned long loggedOut;
    };
    const std::vector<Case> cases = {
        {"another LUN mounted", 0, true, VXD_STATUS_OK, "F", 0},
        {"the other LUNs without volumes", 0, false, VXD_STATUS_OK, "F", 1},
        {"a LUN the target does not have", 7, true, VXD_STATUS_NOT_ATTACHED, "", 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        Machine machine;
        machine.AddDrive('C', 0).AddDrive('F', 2);
        machine.AddSession(kTarget, {2, 3, 4}); // LUNs 0, 1 and 2
        sim::PersistentLogin persistent;
        persistent.target = kTarget;
        machine.persistentLogins = {persistent};
        if (c.otherInUse) {
            machine.AddDrive('G', 3);
        }
        Detach detach;
        detach.request.flags = VXD_DETACH_ONE_LUN;
        detach.request.lun = c.lun;
        EXPECT_EQ(detach.Run(), c.status) << Joined(detach.progress);
        EXPECT_STREQ(detach.result.letters, c.letters);
        EXPECT_EQ(detach.result.sessionsLoggedOut, c.loggedOut);
        EXPECT_EQ(machine.SessionCount(), 1u - c.loggedOut);
        EXPECT_EQ(machine.persistentLogins.size(), 1u - c.loggedOut);
        if (c.status == VXD_STATUS_OK && c.loggedOut == 0) {
            EXPECT_TRUE(machine.Dismounted('F'));
            EXPECT_FALSE(machine.Dismounted('G'));
        }
        EXPECT_FALSE(machine.Locked('F'));
        ExpectClean(machine);
    }
}

TEST(Detach, TakesTheSessionsUnderEitherNameAndOnlyTheVolumesOnTheirDisks) {
    Machine machine;
    machine.AddDrive('C', 0).AddDrive('F', 2).AddDrive('G', 3).AddDrive('H', 7);
    machine.AddDrive(test::UnopenableDrive('N'));
    machine.AddSession(kTarget, {2});
    sim::SessionSetup underNodeName;
    underNodeName.target = kTarget;
    underNodeName.nullTargetName = true;
    underNodeName.nodeName = "IQN.2026-12.COM.EXAMPLE:DISK1";
    underNodeName.disks = {3};
    machine.AddSession(underNodeName);
    machine.AddSession("iqn.2026-12.com.example:other", {7});
    machine.AddSession(kTarget, {2}); // a second path to disk 2
    Detach detach;
    EXPECT_EQ(detach.Run(), VXD_STATUS_OK);
    EXPECT_STREQ(detach.result.letters, "FG");
    EXPECT_EQ(detach.result.sessionsLoggedOut, 3u);
    EXPECT_EQ(machine.SessionTargets(), std::vector<std::string>{"iqn.2026-12.com.example:other"});
    EXPECT_EQ(machine.DriveLetters(), "CHN");
    std::map<std::string, std::size_t> opened;
    for (const sim::CallRecord &call : machine.CallsTo("CreateFileA")) {
        ++opened[call.String("lpFileName")];
    }
    // Each letter and each volume by name is looked at once; only the target's letters are
    // opened again, to be locked, and their volumes not a second time by name.
    const std::string volume = "\\\\?\\Volume{5d1c0000-0000-4000-8000-0000000000";
    EXPECT_EQ(opened, (std::map<std::string, std::size_t>{{"\\\\.\\C:", 1},
                                                          {"\\\\.\\F:", 2},
                                                          {"\\\\.\\G:", 2},
                                                          {"\\\\.\\H:", 1},
                                                          {"\\\\.\\N:", 1},
                                                          {volume + "43}", 1},
                                                          {volume + "46}", 1},
                                                          {volume + "47}", 1},
                                                          {volume + "48}", 1}}));
    ExpectClean(machine);
}

TEST(AttachThenDetach, LeavesTheMachineAsItWasAndCanAttachAgain) {
    Machine machine;
    PlainMachine(machine);
    machine.loginStatuses = {kTargetNotFound, 0, 0}; // the first attach logs in persistently
    Attach first;
    ASSERT_EQ(first.Run(), VXD_STATUS_OK);
    EXPECT_EQ(machine.persistentLogins.size(), 1u);
    Detach detach;
    ASSERT_EQ(detach.Run(), VXD_STATUS_OK);
    EXPECT_STREQ(detach.result.letters, "F");
    EXPECT_EQ(detach.result.persistentLoginsRemoved, 1u);
    EXPECT_EQ(machine.DriveLetters(), "CD");
    Attach second;
    ASSERT_EQ(second.Run(), VXD_STATUS_OK);
    EXPECT_STREQ(second.result.letters, "F");
    ExpectClean(machine);
}

TEST(Chap, OneWayAndMutualChapLogInAndThePersistentLoginKeepsTheCredentials) {
    struct Case {
        const char *name;
        unsigned long flags;
        bool giveInitiatorSecret;
        bool machineHasSecret;
        platform::ISCSI_AUTH_TYPES authType;
    };
    const std::vector<Case> cases = {
        {"one-way", 0, false, false, platform::ISCSI_CHAP_AUTH_TYPE},
        {"mutual, setting the machine's secret", VXD_ATTACH_SET_INITIATOR_SECRET, true, false,
         platform::ISCSI_MUTUAL_CHAP_AUTH_TYPE},
        {"mutual with the machine's secret", VXD_ATTACH_MUTUAL_CHAP, false, true,
         platform::ISCSI_MUTUAL_CHAP_AUTH_TYPE},
    };
    for (const Case &c : cases) {
        Machine machine;
        ChapTarget(machine);
        machine.loginStatuses = {kTargetNotFound, 0}; // the second, persistent login succeeds
        if (c.machineHasSecret) {
            machine.initiatorSecret = kInitiatorSecret;
        }
        Attach attach;
        WithChap(attach, kSecret);
        attach.request.flags = c.flags;
        if (c.giveInitiatorSecret) {
            attach.request.initiatorSecret = kInitiatorSecret.data();
            attach.request.initiatorSecretLength =
                static_cast<unsigned long>(kInitiatorSecret.size());
        }
        EXPECT_EQ(attach.Run(), VXD_STATUS_OK) << c.name;
        EXPECT_STREQ(attach.result.letters, "F") << c.name;
        EXPECT_EQ(machine.initiatorSecret, c.giveInitiatorSecret || c.machineHasSecret
                                               ? kInitiatorSecret
                                               : std::vector<std::uint8_t>())
            << c.name;
        EXPECT_EQ(machine.CallsTo("SetIScsiInitiatorCHAPSharedSecret").size(),
                  c.giveInitiatorSecret ? 1u : 0u)
            << c.name;
        // Both logins carried the credentials as CHAP wants them; the portal, none.
        for (const sim::CallRecord &login : machine.CallsTo("LoginIScsiTargetA")) {
            platform::ISCSI_LOGIN_OPTIONS options;
            ASSERT_EQ(login.Bytes("LoginOptions").size(), sizeof options);
            std::memcpy(&options, login.Bytes("LoginOptions").data(), sizeof options);
            EXPECT_EQ(options.AuthType, c.authType) << c.name;
            EXPECT_EQ(options.InformationSpecified, 0xE0u) << c.name;
            EXPECT_EQ(options.UsernameLength, std::strlen(kChapUser)) << c.name;
            EXPECT_EQ(options.PasswordLength, kSecret.size()) << c.name;
        }
        ASSERT_EQ(machine.persistentLogins.size(), 1u) << c.name;
        EXPECT_EQ(machine.persistentLogins[0].username,
                  std::vector<std::uint8_t>(kChapUser, kChapUser + std::strlen(kChapUser)))
            << c.name;
        EXPECT_EQ(machine.persistentLogins[0].password, kSecret) << c.name;
        EXPECT_EQ(machine.persistentLogins[0].loginOptions.AuthType, c.authType) << c.name;
        platform::ISCSI_LOGIN_OPTIONS portal;
        std::memcpy(&portal,
                    machine.CallsTo("AddIScsiSendTargetPortalA")[0].Bytes("LoginOptions").data(),
                    sizeof portal);
        EXPECT_EQ(portal.AuthType, platform::ISCSI_NO_AUTH_TYPE) << c.name;
        ExpectClean(machine);
    }
}

TEST(Chap, RefusedCredentialsGiveAuthFailedWithTheServicesStatus) {
    const std::vector<std::uint8_t> wrongSecret = {'s', 'e', 'c', 'r', 'e', 't', '-',
                                                   'o', 'f', '-', 't', 'w', 'o'};
    struct Case {
        const char *name;
        std::function<void(Machine &, Attach &)> setUp;
        sim::ISDSC_STATUS serviceStatus;
    };
    const std::vector<Case> cases = {
        {"a wrong secret", [&](Machine &, Attach &a) { WithChap(a, wrongSecret); }, 0xEFFF0009},
        {"a wrong user", [](Machine &, Attach &a) { WithChap(a, kSecret, "host-8"); }, 0xEFFF0009},
        {"no credentials at all", [](Machine &, Attach &) {}, 0xEFFF0009},
        {"mutual CHAP on a machine without a secret",
         [](Machine &, Attach &a) {
             WithChap(a, kSecret);
             a.request.flags = VXD_ATTACH_MUTUAL_CHAP;
         },
         0xEFFF004C},
        {"a machine secret that the target does not hold",
         [&](Machine &m, Attach &a) {
             m.initiatorSecret = wrongSecret;
             WithChap(a, kSecret);
             a.request.flags = VXD_ATTACH_MUTUAL_CHAP;
         },
         0xEFFF0009},
        {"a portal that refuses discovery with these credentials",
         [&](Machine &m, Attach &a) {
             m.portalChap[kPortal] = sim::Chap{kChapUser, wrongSecret};
             WithChap(a, kSecret);
             a.request.flags = VXD_ATTACH_DISCOVERY_CHAP;
         },
         0xEFFF0009},
    };
    for (const Case &c : cases) {
        Machine machine;
        ChapTarget(machine);
        Attach attach;
        c.setUp(machine, attach);
        EXPECT_EQ(attach.Run(), VXD_STATUS_AUTH_FAILED) << c.name;
        EXPECT_EQ(attach.result.serviceStatus, c.serviceStatus) << c.name;
        EXPECT_EQ(machine.SessionCount(), 0u) << c.name;
        ExpectClean(machine);
    }
    // Discovery CHAP with the right credentials passes the portal.
    Machine machine;
    ChapTarget(machine);
    machine.portalChap[kPortal] = sim::Chap{kChapUser, kSecret};
    Attach attach;
    WithChap(attach, kSecret);
    attach.request.flags = VXD_ATTACH_DISCOVERY_CHAP;
    EXPECT_EQ(attach.Run(), VXD_STATUS_OK);
}

// Each step that carries credentials answers with its own status: setting the machine's secret
// and the portal's discovery, each refused in every way the service refuses.
TEST(Chap, EachStepThatCarriesCredentialsAnswersForItself) {
    struct Case {
        const char *name;
        std::function<void(Machine &)> setUp;
        unsigned long flags;
        int status;
        sim::ISDSC_STATUS serviceStatus;
        std::vector<std::string> sent;
    };
    const std::vector<std::string> secretSet = {"SetIScsiIKEInfoA",
                                                "SetIScsiInitiatorCHAPSharedSecret"};
    const std::vector<std::string> portalSent = {"SetIScsiIKEInfoA", "AddIScsiSendTargetPortalA"};
    const std::vector<std::string> all = {
        "SetIScsiIKEInfoA",  "SetIScsiInitiatorCHAPSharedSecret", "AddIScsiSendTargetPortalA",
        "LoginIScsiTargetA", "GetDevicesForIScsiSessionA",        "GetDevicesForIScsiSessionA"};
    const std::vector<Case> cases = {
        // A warning: the secret was taken, and the mutual login passes with it.
        {"the secret taken though short", [](Machine &m) { m.chapSecretStatus = 0xAFFF0048; },
         VXD_ATTACH_SET_INITIATOR_SECRET, VXD_STATUS_OK, 0, all},
        {"the secret refused as a secret", [](Machine &m) { m.chapSecretStatus = 0xEFFF004A; },
         VXD_ATTACH_SET_INITIATOR_SECRET, VXD_STATUS_AUTH_FAILED, 0xEFFF004A, secretSet},
        {"the secret refused otherwise", [](Machine &m) { m.chapSecretStatus = 87; },
         VXD_ATTACH_SET_INITIATOR_SECRET, VXD_STATUS_LOGIN_FAILED, 87, secretSet},
        {"no service to take the secret", [](Machine &m) { m.chapSecretStatus = 1722; },
         VXD_ATTACH_SET_INITIATOR_SECRET, VXD_STATUS_SERVICE_UNAVAILABLE, 1722, secretSet},
        // A portal that refuses for a reason other than the credentials is a portal failure.
        {"a discovery refused for no credential",
         [](Machine &m) {
             m.portalChap[kPortal] = sim::Chap{kChapUser, kSecret};
             m.portalStatus = 0xEFFF0003;
         },
         VXD_ATTACH_DISCOVERY_CHAP, VXD_STATUS_PORTAL_FAILED, 0xEFFF0003, portalSent},
    };
    for (const Case &c : cases) {
        Machine machine;
        ChapTarget(machine);
        c.setUp(machine);
        Attach attach;
        WithChap(attach, kSecret);
        attach.request.flags = c.flags;
        if ((c.flags & VXD_ATTACH_SET_INITIATOR_SECRET) != 0) {
            attach.request.initiatorSecret = kInitiatorSecret.data();
            attach.request.initiatorSecretLength =
                static_cast<unsigned long>(kInitiatorSecret.size());
        }
        EXPECT_EQ(attach.Run(), c.status) << c.name;
        EXPECT_EQ(attach.result.serviceStatus, c.serviceStatus) << c.name;
        std::vector<std::string> sent = ServiceCalls(machine);
        sent.erase(std::remove(sent.begin(), sent.end(), "LogoutIScsiTarget"), sent.end());
        EXPECT_EQ(sent, c.sent) << c.name;
        const bool secretTaken = c.status == VXD_STATUS_OK;
        EXPECT_EQ(Joined(attach.progress)
                          .find("VxdAttach: set the initiator's CHAP secret, which is the "
                                "machine's for every target") != std::string::npos,
                  secretTaken)
            << c.name;
        EXPECT_EQ(machine.SessionCount(), secretTaken ? 1u : 0u) << c.name;
        EXPECT_EQ(machine.LiveHeapBlocks(), 0u) << c.name;
        ExpectClean(machine);
    }
}

TEST(Chap, LengthsAndCombinationsAreCheckedBeforeAnythingIsSent) {
    const std::vector<std::uint8_t> eleven(11, 'a');
    const std::vector<std::uint8_t> seventeen(17, 'b');
    const std::vector<std::uint8_t> twelve(12, 'c');
    const std::string longUser(256, 'u');
    struct Case {
        const char *name;
        std::function<void(Attach &)> spoil;
        const char *line; // what the progress line says is wrong
    };
    const std::vector<Case> cases = {
        {"an 11-byte secret", [&](Attach &a) { WithChap(a, eleven); },
         "VxdAttach: the CHAP secret is 11 bytes long; Windows takes 12 to 16"},
        {"a 17-byte secret", [&](Attach &a) { WithChap(a, seventeen); },
         "VxdAttach: the CHAP secret is 17 bytes long; Windows takes 12 to 16"},
        {"an 11-byte initiator secret",
         [&](Attach &a) {
             WithChap(a, twelve);
             a.request.initiatorSecret = eleven.data();
             a.request.initiatorSecretLength = 11;
             a.request.flags = VXD_ATTACH_SET_INITIATOR_SECRET;
         },
         "VxdAttach: the initiator secret is 11 bytes long; Windows takes 12 to 16"},
        {"an initiator secret without the flag that sets it",
         [&](Attach &a) {
             WithChap(a, twelve);
             a.request.initiatorSecret = twelve.data();
             a.request.initiatorSecretLength = 12;
         },
         "VxdAttach: initiatorSecret needs VXD_ATTACH_SET_INITIATOR_SECRET, since it sets the "
         "machine's secret for every target"},
        {"the flag without an initiator secret",
         [&](Attach &a) {
             WithChap(a, twelve);
             a.request.flags = VXD_ATTACH_SET_INITIATOR_SECRET;
         },
         "VxdAttach: VXD_ATTACH_SET_INITIATOR_SECRET needs initiatorSecret"},
        {"a secret without a user name",
         [&](Attach &a) {
             WithChap(a, twelve);
             a.request.chapUserName = nullptr;
         },
         "VxdAttach: CHAP needs chapUserName"},
        {"a secret length without a user name", [](Attach &a) { a.request.chapSecretLength = 12; },
         "VxdAttach: CHAP needs chapUserName"},
        {"an initiator secret without a user name",
         [&](Attach &a) {
             a.request.initiatorSecret = twelve.data();
             a.request.initiatorSecretLength = 12;
         },
         "VxdAttach: CHAP needs chapUserName"},
        {"a CHAP flag without a user name",
         [](Attach &a) { a.request.flags = VXD_ATTACH_MUTUAL_CHAP; },
         "VxdAttach: CHAP needs chapUserName"},
        {"an empty user name", [&](Attach &a) { WithChap(a, twelve, ""); },
         "VxdAttach: the CHAP user name is empty or longer than 255 characters"},
        {"a 256-character user name", [&](Attach &a) { WithChap(a, twelve, longUser.c_str()); },
         "VxdAttach: the CHAP user name is empty or longer than 255 characters"},
        // A length without the bytes is no secret: the line does not take the length for one.
        {"a user name without a secret",
         [](Attach &a) {
             a.request.chapUserName = kChapUser;
             a.request.chapSecretLength = 13;
         },
         "VxdAttach: the CHAP secret is 0 bytes long; Windows takes 12 to 16"},
        {"a 17-byte initiator secret",
         [&](Attach &a) {
             WithChap(a, twelve);
             a.request.initiatorSecret = seventeen.data();
             a.request.initiatorSecretLength = 17;
             a.request.flags = VXD_ATTACH_SET_INITIATOR_SECRET;
         },
         "VxdAttach: the initiator secret is 17 bytes long; Windows takes 12 to 16"},
        {"a CHAP flag in a request of 1.2",
         [](Attach &a) {
             a.request.size = offsetof(VxdAttachRequest, flags) + sizeof a.request.flags;
             a.request.flags = VXD_ATTACH_MUTUAL_CHAP;
         },
         "VxdAttach: unknown flags 0x8"},
    };
    for (const Case &c : cases) {
        Machine machine;
        ChapTarget(machine);
        Attach attach;
        c.spoil(attach);
        EXPECT_EQ(attach.Run(), VXD_STATUS_INVALID_ARGUMENT) << c.name;
        EXPECT_TRUE(ServiceCalls(machine).empty()) << c.name;
        ASSERT_FALSE(attach.progress.empty()) << c.name;
        EXPECT_EQ(attach.progress.front(), c.line) << c.name;
        EXPECT_EQ(machine.LiveHeapBlocks(), 0u) << c.name;
    }

    // A caller of 1.2 passes a shorter request: whatever lies past it is not read.
    Machine machine;
    PlainMachine(machine);
    Attach older;
    WithChap(older, eleven);
    older.request.size = offsetof(VxdAttachRequest, flags) + sizeof older.request.flags;
    EXPECT_EQ(older.Run(), VXD_STATUS_OK);
    EXPECT_TRUE(machine.CallsTo("HeapAlloc").empty());

    // A heap without room for the copy of the secret, or of the initiator's: nothing is sent,
    // and a copy already made is wiped and freed.
    for (const std::size_t blocksGiven : {0u, 1u}) {
        Machine full;
        ChapTarget(full);
        full.heapBlocksBeforeRefusal = blocksGiven;
        Attach attach;
        WithChap(attach, kSecret);
        attach.request.flags = VXD_ATTACH_SET_INITIATOR_SECRET;
        attach.request.initiatorSecret = kInitiatorSecret.data();
        attach.request.initiatorSecretLength = static_cast<VxdULong>(kInitiatorSecret.size());
        EXPECT_EQ(attach.Run(), VXD_STATUS_OUT_OF_MEMORY) << blocksGiven;
        EXPECT_EQ(attach.result.status, VXD_STATUS_OUT_OF_MEMORY) << blocksGiven;
        EXPECT_EQ(attach.result.serviceStatus, 0u) << blocksGiven;
        EXPECT_EQ(attach.progress,
                  std::vector<std::string>{"VxdAttach: failed: the library ran out of memory"})
            << blocksGiven;
        EXPECT_TRUE(ServiceCalls(full).empty()) << blocksGiven;
        EXPECT_EQ(full.CallsTo("HeapAlloc").size(), blocksGiven + 1) << blocksGiven;
        EXPECT_EQ(full.LiveHeapBlocks(), 0u) << blocksGiven;
        ASSERT_EQ(full.FreedHeapBlocks().size(), blocksGiven) << blocksGiven;
        for (const std::vector<std::uint8_t> &freed : full.FreedHeapBlocks()) {
            EXPECT_FALSE(Holds(freed, kSecret)) << blocksGiven;
        }
        ExpectClean(full);
    }
}

// Two portals: the first offers two targets, the second one of them and one more.
void TwoPortals(Machine &machine) {
    machine.portalTargets[kPortal] = {"iqn.a", kTarget};
    machine.portalTargets["192.0.2.11"] = {kTarget, "iqn.c"};
    machine.portals = {{"192.0.2.11", 3260}};
}

TEST(ListTargets, NamesWhatThePortalOffersInTheServicesOrderAndLogsInNowhere) {
    struct Case {
        const char *name;
        const char *portal; // null: the targets the initiator knows
        unsigned long size;
        bool namesBuffer;
        int status;
        unsigned long sizeAfter;
        std::string names;
        std::size_t registrations; // AddIScsiSendTargetPortalA calls, each undone
    };
    // The service lists the portal registered before first.
    const std::string both = std::string(kTarget) + '\0' + "iqn.a" + '\0' + '\0';
    const std::string second = std::string(kTarget) + '\0' + "iqn.c" + '\0' + '\0';
    const auto sizeOf = [](const std::string &names) {
        return static_cast<unsigned long>(names.size());
    };
    const std::vector<Case> cases = {
        {"a portal registered for the call", kPortal, 64, true, VXD_STATUS_OK, sizeOf(both), both,
         1},
        {"a portal registered before", "192.0.2.11", 64, true, VXD_STATUS_OK, sizeOf(second),
         second, 0},
        {"the targets the initiator knows", nullptr, 64, true, VXD_STATUS_OK, sizeOf(second),
         second, 0},
        {"a size query", kPortal, 0, false, VXD_STATUS_BUFFER_TOO_SMALL, sizeOf(both), "", 1},
        {"one byte short", kPortal, sizeOf(both) - 1, true, VXD_STATUS_BUFFER_TOO_SMALL,
         sizeOf(both), "", 1},
        {"a portal that offers none", "192.0.2.12", 1, true, VXD_STATUS_OK, 1, std::string(1, '\0'),
         1},
        {"a bad portal", "10.0.0", 64, true, VXD_STATUS_INVALID_ARGUMENT, 64, "", 0},
        {"no buffer for a size", kPortal, 8, false, VXD_STATUS_INVALID_ARGUMENT, 8, "", 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        Machine machine;
        TwoPortals(machine);
        std::vector<std::string> progress;
        VxdListTargetsRequest request{};
        request.size = sizeof request;
        request.portalAddress = c.portal;
        request.progress = &Collect;
        request.progressContext = &progress;
        std::string names(64, 'x');
        VxdULong size = c.size;
        EXPECT_EQ(VxdListTargets(&request, c.namesBuffer ? &names[0] : nullptr, &size), c.status)
            << Joined(progress);
        EXPECT_EQ(size, c.sizeAfter);
        if (c.status == VXD_STATUS_OK) {
            EXPECT_EQ(names.substr(0, c.names.size()), c.names);
        }
        EXPECT_EQ(machine.CallsTo("AddIScsiSendTargetPortalA").size(), c.registrations);
        EXPECT_EQ(machine.CallsTo("RemoveIScsiSendTargetPortalA").size(), c.registrations);
        EXPECT_EQ(machine.portals.size(), 1u);
        EXPECT_TRUE(machine.CallsTo("LoginIScsiTargetA").empty());
        for (const sim::CallRecord &report : machine.CallsTo("ReportIScsiTargetsA")) {
            if (report.Arg("Buffer") == 0) { // the first question refreshes, with a portal
                EXPECT_EQ(report.Arg("ForceUpdate"), c.portal != nullptr ? 1u : 0u);
            }
        }
        ExpectClean(machine);
    }
    VxdULong size = 0;
    EXPECT_EQ(VxdListTargets(nullptr, nullptr, &size), VXD_STATUS_INVALID_ARGUMENT);
    VxdListTargetsRequest request{};
    request.size = sizeof request;
    EXPECT_EQ(VxdListTargets(&request, nullptr, nullptr), VXD_STATUS_INVALID_ARGUMENT);

    // Discovery CHAP goes to the registration; the portal's refusal of it is its own status.
    Machine machine;
    TwoPortals(machine);
    machine.portalChap[kPortal] = sim::Chap{kChapUser, kSecret};
    request.portalAddress = kPortal;
    request.chapUserName = kChapUser;
    const std::vector<std::uint8_t> wrong(kSecret.size(), 'w');
    request.chapSecret = wrong.data();
    request.chapSecretLength = static_cast<VxdULong>(wrong.size());
    EXPECT_EQ(VxdListTargets(&request, nullptr, &size), VXD_STATUS_AUTH_FAILED);
    request.chapSecret = kSecret.data();
    EXPECT_EQ(VxdListTargets(&request, nullptr, &size), VXD_STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(size, sizeOf(both));
}

} // namespace
} // namespace vxd::test
