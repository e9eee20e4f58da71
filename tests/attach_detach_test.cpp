// VxdAttach and VxdDetach on the simulated machine: each status by the path that should reach
// it, the waits and their cancel, the undo of a failed attach, and a detach that loses no data.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "entry/vxdmount.h"
#include "platform/sim/sim_machine.h"
#include "tests/attach_support.h"

namespace vxd::test {
namespace {

using sim::Machine;
using sim::Ms;

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
    EXPECT_EQ(machine.Now(), 2000u); // paced at a second: F: is there at the third look
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
}

TEST(Attach, EachStatusComesFromTheStepThatShouldGiveIt) {
    struct Case {
        const char *name;
        std::function<void(Machine &)> setUp;
        int status;
        sim::ISDSC_STATUS serviceStatus;
        Ms endsAt; // virtual time when the call returns
        std::size_t logins;
    };
    const std::vector<Case> cases = {
        {"security record refused: goes on", [](Machine &m) { m.ikeStatus = 0xEFFF0001; },
         VXD_STATUS_OK, 0, 2000, 1},
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
         VXD_STATUS_OK, 0, 3000, 2},
        {"credentials refused", [](Machine &m) { m.loginStatuses = {0xEFFF0009}; },
         VXD_STATUS_AUTH_FAILED, 0xEFFF0009, 1000, 2},
        {"CHAP secret refused", [](Machine &m) { m.loginStatuses = {0xEFFF004A}; },
         VXD_STATUS_AUTH_FAILED, 0xEFFF004A, 1000, 2},
        {"service stopped at the login", [](Machine &m) { m.loginStatuses = {kServiceNotRunning}; },
         VXD_STATUS_SERVICE_UNAVAILABLE, kServiceNotRunning, 0, 1},
        {"the session brings no disk", [](Machine &m) { m.onLogin.disks.clear(); },
         VXD_STATUS_NO_DEVICE, 0, 5000, 1},
        {"the disk's volume gets no letter", [](Machine &m) { m.onLogin.drives.clear(); },
         VXD_STATUS_NO_LETTER, 0, 7000, 1},
    };
    for (const Case &c : cases) {
        Machine machine;
        PlainMachine(machine);
        c.setUp(machine);
        Attach attach;
        attach.request.deviceWaitMs = 5000;
        attach.request.letterWaitMs = 7000;
        EXPECT_EQ(attach.Run(), c.status) << c.name;
        EXPECT_EQ(attach.result.status, c.status) << c.name;
        EXPECT_EQ(attach.result.serviceStatus, c.serviceStatus) << c.name;
        EXPECT_EQ(machine.Now(), c.endsAt) << c.name;
        EXPECT_EQ(machine.CallsTo("LoginIScsiTargetA").size(), c.logins) << c.name;
        ASSERT_FALSE(attach.progress.empty()) << c.name;
        EXPECT_EQ(attach.progress.back().rfind(
                      c.status == VXD_STATUS_OK ? "VxdAttach: done" : "VxdAttach: failed: ", 0),
                  0u)
            << c.name << ": " << attach.progress.back();
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
    };
    const std::string tooLong(224, 'q');
    const std::vector<Case> cases = {
        {"no target", [](Attach &a) { a.request.targetName = nullptr; }},
        {"empty target", [](Attach &a) { a.request.targetName = ""; }},
        {"target too long", [&tooLong](Attach &a) { a.request.targetName = tooLong.c_str(); }},
        {"no portal", [](Attach &a) { a.request.portalAddress = nullptr; }},
        {"a part above 255", [](Attach &a) { a.request.portalAddress = "300.1.2.3"; }},
        {"a host name", [](Attach &a) { a.request.portalAddress = "san.example.net"; }},
        {"three parts", [](Attach &a) { a.request.portalAddress = "10.0.0"; }},
        {"a leading zero", [](Attach &a) { a.request.portalAddress = "10.0.0.010"; }},
        {"a trailing point", [](Attach &a) { a.request.portalAddress = "10.0.0.1."; }},
        {"unknown flags", [](Attach &a) { a.request.flags = 0x100; }},
        {"a request of no known version", [](Attach &a) { a.request.size = 8; }},
    };
    for (const Case &c : cases) {
        Machine machine;
        PlainMachine(machine);
        Attach attach;
        c.spoil(attach);
        EXPECT_EQ(attach.Run(), VXD_STATUS_INVALID_ARGUMENT) << c.name;
        EXPECT_EQ(attach.result.status, VXD_STATUS_INVALID_ARGUMENT) << c.name;
        EXPECT_TRUE(ServiceCalls(machine).empty()) << c.name;
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
        bool loggedIn; // the call made a session, which must go
    };
    const std::vector<Case> cases = {
        {"before it begins", [](Machine &) {}, 0, false},
        {"between the two logins",
         [](Machine &m) {
             m.loginStatuses = {kTargetNotFound, 0};
         },
         400, false},
        {"waiting for the disk", [](Machine &m) { m.onLogin.devicesAfterMs = 30000; }, 2350, true},
        {"waiting for the letter", [](Machine &m) { m.onLogin.drives.clear(); }, 4210, true},
    };
    for (const Case &c : cases) {
        Machine machine;
        PlainMachine(machine);
        c.setUp(machine);
        Attach attach;
        attach.request.cancelEvent = machine.CreateEvent();
        machine.SignalEventAt(attach.request.cancelEvent, c.cancelAt);
        EXPECT_EQ(attach.Run(), VXD_STATUS_CANCELLED) << c.name;
        EXPECT_LE(machine.Now(), c.cancelAt + 100) << c.name;
        EXPECT_TRUE(machine.CallsTo("Sleep").empty()) << c.name; // the event stands for sleeps
        EXPECT_EQ(machine.CallsTo("LogoutIScsiTarget").size(), c.loggedIn ? 1u : 0u) << c.name;
        EXPECT_EQ(machine.SessionCount(), 0u) << c.name;
        if (c.cancelAt == 0) {
            EXPECT_TRUE(ServiceCalls(machine).empty());
        }
    }
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
         0},
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
         5000},
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
    };
    // A folder-backed drive (as under Wine) answers 1 and 50: nothing to flush or dismount.
    const std::vector<Case> cases = {
        {"flush not supported", 1, 0, VXD_STATUS_OK},
        {"dismount not supported", 0, 50, VXD_STATUS_OK},
        {"flush fails", 1117, 0, VXD_STATUS_VOLUME_IN_USE},
        {"dismount fails", 0, 5, VXD_STATUS_VOLUME_IN_USE},
    };
    for (const Case &c : cases) {
        Machine machine;
        AttachedMachine(machine);
        sim::DriveSetup drive = test::Drive('F', 2);
        drive.flushError = c.flushError;
        drive.dismountError = c.dismountError;
        machine.AddDrive(drive);
        Detach detach;
        EXPECT_EQ(detach.Run(), c.status) << c.name;
        EXPECT_EQ(machine.SessionCount(), c.status == VXD_STATUS_OK ? 0u : 1u) << c.name;
        if (c.status != VXD_STATUS_OK) {
            EXPECT_EQ(detach.result.serviceStatus, c.flushError + c.dismountError) << c.name;
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

TEST(Chap, LengthsAndCombinationsAreCheckedBeforeAnythingIsSent) {
    const std::vector<std::uint8_t> eleven(11, 'a');
    const std::vector<std::uint8_t> seventeen(17, 'b');
    const std::vector<std::uint8_t> twelve(12, 'c');
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
        {"an empty user name", [&](Attach &a) { WithChap(a, twelve, ""); },
         "VxdAttach: the CHAP user name is empty or longer than 255 characters"},
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
}

} // namespace
} // namespace vxd::test
