// The whole mount request through CreateVXD on the simulated machine: result, trace, virtual
// time and what reached the platform.
#include <gtest/gtest.h>

#include <cstdint>
#include <new>
#include <ostream>
#include <stdexcept>
#include <string>
#include <vector>

#include "entry/vxdmount.h"
#include "platform/sim/sim_machine.h"

namespace {

using vxd::sim::CallRecord;
using vxd::sim::DriveSetup;
using vxd::sim::Machine;

constexpr const char *kPortal = "192.0.2.10";
constexpr const char *kTarget = "iqn.2026-12.com.example:disk1";
constexpr vxd::sim::ISDSC_STATUS kAlreadyLoggedIn = 0xEFFF003F;
constexpr vxd::sim::ISDSC_STATUS kLoginRefused = 0xEFFF0009;

using Lines = std::vector<std::string>;

Lines operator+(Lines first, const Lines &second) {
    first.insert(first.end(), second.begin(), second.end());
    return first;
}

Lines WaitLines(const std::string &oldLetters, const std::string &newLetters, int polls) {
    Lines lines;
    for (int i = 0; i < polls; ++i) {
        lines.push_back("old str:" + oldLetters);
        lines.push_back("new str:" + newLetters);
        lines.push_back("________________Waitting Mounted______________");
    }
    return lines;
}

// Everything up to the volume wait of a fresh login whose devices are there at once.
Lines FreshLoginLines(const std::string &opening = "493,192.0.2.10,3260,,,0") {
    return {opening,   "Disk NO:1", "after Connection 32", "GetSession Error1", "GetSession Error2",
            "uRet: 20"};
}

Lines ExistingLoginLines() {
    return {"493,192.0.2.10,3260,,,0", "Disk NO:1",         "after Connection 16",
            "GetSession Error1",       "GetSession Error2", "uRet: 10"};
}

DriveSetup Drive(char letter, vxd::sim::ULONG disk) {
    DriveSetup drive;
    drive.letter = letter;
    drive.disk = disk;
    return drive;
}

std::size_t IndexOfFirst(const Machine &machine, const std::string &name) {
    const auto &calls = machine.Calls();
    for (std::size_t i = 0; i < calls.size(); ++i) {
        if (calls[i].name == name) {
            return i;
        }
    }
    return calls.size();
}

void ExpectCleanMachine(const Machine &machine) {
    EXPECT_EQ(machine.OpenHandles(), 0u);
    EXPECT_TRUE(machine.Faults().empty()) << machine.Faults().front();
}

// Every wait is a number of one-second sleeps, and nothing else moves the clock.
void ExpectSleeps(const Machine &machine, std::size_t seconds) {
    const std::vector<CallRecord> sleeps = machine.CallsTo("Sleep");
    EXPECT_EQ(sleeps.size(), seconds);
    for (const CallRecord &sleep : sleeps) {
        EXPECT_EQ(sleep.Arg("dwMilliseconds"), 1000u);
    }
    EXPECT_EQ(machine.Now(), seconds * 1000);
}

// Drives C (disk 0) and D (disk 1); a login brings one device on disk 2.
class MountRequest : public ::testing::Test {
  protected:
    MountRequest() { machine.AddDrive('C', 0).AddDrive('D', 1); }
    void TearDown() override { ExpectCleanMachine(machine); }

    void VolumeArrives(char letter, vxd::sim::ULONG disk, vxd::sim::Ms afterMs) {
        machine.onLogin.drives.push_back({Drive(letter, disk), afterMs});
    }
    int Mount(const char *port = "3260") { return CreateVXD(kPortal, port, kTarget, "", ""); }

    Machine machine;
};

// --- Fresh login ------------------------------------------------------------------------------

TEST_F(MountRequest, FreshMountWritesEveryLineInOrder) {
    VolumeArrives('F', 2, 1500); // seen by the third poll

    EXPECT_EQ(CreateVXD(kPortal, "3260", kTarget, "first", "second"), 1);

    EXPECT_EQ(machine.TraceTexts(), FreshLoginLines("493,192.0.2.10,3260,first,second,0") +
                                        WaitLines("CD", "CD", 2) + Lines{"Task Disk F:\\"});
    ExpectSleeps(machine, 2);
}

TEST_F(MountRequest, ProbesTheRootOfTheNewLetterLast) {
    VolumeArrives('F', 2, 1500);

    ASSERT_EQ(Mount(), 1);

    const std::vector<CallRecord> types = machine.CallsTo("GetDriveTypeA");
    const std::vector<CallRecord> infos = machine.CallsTo("GetVolumeInformationA");
    ASSERT_EQ(types.size(), 1u);
    ASSERT_EQ(infos.size(), 1u);
    EXPECT_EQ(types[0].String("lpRootPathName"), "F:\\");
    const CallRecord &info = infos[0];
    EXPECT_EQ(info.String("lpRootPathName"), "F:\\");
    EXPECT_EQ(info.Arg("lpVolumeNameBuffer"), 0u);
    EXPECT_EQ(info.Arg("nVolumeNameSize"), 0u);
    EXPECT_EQ(info.Arg("lpVolumeSerialNumber"), 0u);
    EXPECT_EQ(info.Arg("lpMaximumComponentLength"), 0u);
    EXPECT_EQ(info.Arg("lpFileSystemFlags"), 0u);
    EXPECT_NE(info.Arg("lpFileSystemNameBuffer"), 0u);
    EXPECT_EQ(info.Arg("nFileSystemNameSize"), 10u);
    EXPECT_EQ(info.Bytes("FileSystemNameBuffer"), std::vector<std::uint8_t>(10, 0));

    const auto &calls = machine.Calls();
    ASSERT_GE(calls.size(), 2u);
    EXPECT_EQ(calls[calls.size() - 2].name, "GetDriveTypeA");
    EXPECT_EQ(calls.back().name, "GetVolumeInformationA");
}

TEST_F(MountRequest, BaselineIsTakenAfterThePortalAndBeforeTheLogin) {
    VolumeArrives('F', 2, 0); // present by the time the login returns

    EXPECT_EQ(Mount(), 1);

    EXPECT_EQ(machine.TraceTexts(), FreshLoginLines() + Lines{"Task Disk F:\\"});
    ExpectSleeps(machine, 0);
    EXPECT_LT(IndexOfFirst(machine, "SetIScsiIKEInfoA"),
              IndexOfFirst(machine, "AddIScsiSendTargetPortalA"));
    EXPECT_LT(IndexOfFirst(machine, "AddIScsiSendTargetPortalA"),
              IndexOfFirst(machine, "GetLogicalDriveStringsA"));
    EXPECT_LT(IndexOfFirst(machine, "GetLogicalDriveStringsA"),
              IndexOfFirst(machine, "LoginIScsiTargetA"));
}

TEST_F(MountRequest, FailedFirstLoginIsRetriedPersistentlyAfterOneSecond) {
    machine.loginStatuses = {kLoginRefused, 0};
    VolumeArrives('F', 2, 0);

    EXPECT_EQ(Mount(), 1);

    // Only the outcome of the attempt that counts is traced.
    EXPECT_EQ(machine.TraceTexts(), FreshLoginLines() + Lines{"Task Disk F:\\"});
    ExpectSleeps(machine, 1);
    const std::vector<CallRecord> logins = machine.CallsTo("LoginIScsiTargetA");
    ASSERT_EQ(logins.size(), 2u);
    EXPECT_EQ(logins[0].Arg("IsPersistent"), 0u);
    EXPECT_EQ(logins[1].Arg("IsPersistent"), 1u);
    EXPECT_EQ(logins[0].at, 0u);
    EXPECT_EQ(logins[1].at, 1000u);
    EXPECT_EQ(logins[1].String("TargetName"), kTarget);
    EXPECT_EQ(logins[0].Arg("UniqueSessionId"), logins[1].Arg("UniqueSessionId"));
}

TEST_F(MountRequest, WaitsForDevicesThatShowUpLate) {
    machine.onLogin.devicesAfterMs = 3000;
    VolumeArrives('F', 2, 3500);

    EXPECT_EQ(Mount(), 1);

    // A session without devices yet answers the first device query with success and 0.
    const Lines head = {"493,192.0.2.10,3260,,,0", "Disk NO:1", "after Connection 32"};
    const Lines lookups = {"Error code:0", "Error code:0", "Error code:0"};
    const Lines found = {"GetSession Error1", "GetSession Error2", "uRet: 20"};
    EXPECT_EQ(machine.TraceTexts(),
              head + lookups + found + WaitLines("CD", "CD", 1) + Lines{"Task Disk F:\\"});
    ExpectSleeps(machine, 4);
}

TEST_F(MountRequest, SingleLetterIsTakenWhenThePollsRunOutWithoutAMatch) {
    VolumeArrives('F', 7, 1500); // on a disk the session does not have

    EXPECT_EQ(Mount(), 1);

    EXPECT_EQ(machine.TraceTexts(), FreshLoginLines() + WaitLines("CD", "CD", 2) +
                                        WaitLines("CD", "CDF", 118) + Lines{"Task Disk F:\\"});
    ExpectSleeps(machine, 120);
}

TEST_F(MountRequest, ProbeOfAVolumeThatCannotBeOpenedDoesNotChangeTheResult) {
    DriveSetup unreadable = Drive('F', 2);
    unreadable.openable = false;
    machine.onLogin.drives.push_back({unreadable, 1500});

    EXPECT_EQ(Mount(), 1);

    EXPECT_EQ(machine.TraceTexts().back(), "Task Disk F:\\");
    ExpectSleeps(machine, 120);
    ASSERT_EQ(machine.CallsTo("GetVolumeInformationA").size(), 1u);
}

TEST_F(MountRequest, TwoDevicesAndOneNewLetterSettleOnThatLetterAfterAllPolls) {
    machine.onLogin.disks = {2, 3};
    VolumeArrives('F', 2, 1500);

    EXPECT_EQ(Mount(), 1);

    EXPECT_EQ(machine.TraceTexts(), FreshLoginLines() + WaitLines("CD", "CD", 2) +
                                        WaitLines("CD", "CDF", 118) + Lines{"Task Disk F:\\"});
    ExpectSleeps(machine, 120);
}

TEST_F(MountRequest, MatchWithTwoNewLettersStillFails) {
    machine.onLogin.disks = {2, 3};
    VolumeArrives('F', 2, 1500);
    VolumeArrives('G', 3, 1500);

    EXPECT_EQ(Mount(), 0);

    // The letters cover both devices, so the wait ends at once; but no single letter is named.
    EXPECT_EQ(machine.TraceTexts(), FreshLoginLines() + WaitLines("CD", "CD", 2));
    ExpectSleeps(machine, 2);
    EXPECT_TRUE(machine.CallsTo("GetDriveTypeA").empty());
}

// --- The failure rows -------------------------------------------------------------------------

TEST_F(MountRequest, PortalThatCannotBeRegisteredEndsTheRequest) {
    machine.portalStatus = 0x0000045A;
    VolumeArrives('F', 2, 0);

    EXPECT_EQ(Mount(), 0);

    EXPECT_EQ(machine.TraceTexts(), Lines{"493,192.0.2.10,3260,,,0"});
    ExpectSleeps(machine, 0);
    EXPECT_EQ(machine.CallsTo("SetIScsiIKEInfoA").size(), 1u);
    EXPECT_TRUE(machine.CallsTo("GetLogicalDriveStringsA").empty());
    EXPECT_TRUE(machine.CallsTo("LoginIScsiTargetA").empty());
}

TEST_F(MountRequest, RefusedSecurityRecordDoesNotStopTheRequest) {
    machine.ikeStatus = 0x0000139F;
    VolumeArrives('F', 2, 0);

    EXPECT_EQ(Mount(), 1);

    EXPECT_EQ(machine.TraceTexts().back(), "Task Disk F:\\");
    EXPECT_EQ(machine.CallsTo("LoginIScsiTargetA").size(), 1u);
}

TEST_F(MountRequest, TwoFailedLoginsEndTheRequest) {
    machine.loginStatuses = {kLoginRefused};

    EXPECT_EQ(Mount(), 0);

    EXPECT_EQ(machine.TraceTexts(),
              (Lines{"493,192.0.2.10,3260,,,0", "Disk NO:1", "after Connection 0"}));
    ExpectSleeps(machine, 1);
    EXPECT_EQ(machine.CallsTo("LoginIScsiTargetA").size(), 2u);
    EXPECT_TRUE(machine.CallsTo("GetIScsiSessionListA").empty());
}

TEST_F(MountRequest, SessionWithoutDevicesIsLookedUpSixtyOneTimes) {
    machine.onLogin.disks = {};

    EXPECT_EQ(Mount(), 0);

    const Lines head = {"493,192.0.2.10,3260,,,0", "Disk NO:1", "after Connection 32"};
    EXPECT_EQ(machine.TraceTexts(), head + Lines(61, "Error code:0"));
    ExpectSleeps(machine, 60);
    EXPECT_EQ(machine.CallsTo("GetDevicesForIScsiSessionA").size(), 61u);
    EXPECT_EQ(machine.CallsTo("GetLogicalDriveStringsA").size(), 1u); // the baseline only
}

TEST_F(MountRequest, LoginThatBringsNoSessionIsLookedUpSixtyOneTimes) {
    machine.onLogin.createsSession = false;

    EXPECT_EQ(Mount(), 0);

    const Lines head = {"493,192.0.2.10,3260,,,0", "Disk NO:1", "after Connection 32"};
    EXPECT_EQ(machine.TraceTexts(), head + Lines(61, "failed to GetSessionList()"));
    ExpectSleeps(machine, 60);
}

TEST_F(MountRequest, NoNewLetterFailsAfterOneHundredTwentyPolls) {
    EXPECT_EQ(Mount(), 0);

    EXPECT_EQ(machine.TraceTexts(), FreshLoginLines() + WaitLines("CD", "CD", 120));
    ExpectSleeps(machine, 120);
    EXPECT_EQ(machine.CallsTo("GetLogicalDriveStringsA").size(), 121u);
    EXPECT_TRUE(machine.CallsTo("GetDriveTypeA").empty());
}

TEST_F(MountRequest, TwoNewLettersFailAfterOneHundredTwentyPolls) {
    VolumeArrives('F', 2, 1500); // the target's volume
    VolumeArrives('G', 5, 1500); // somebody else's, at the same moment

    EXPECT_EQ(Mount(), 0);

    EXPECT_EQ(machine.TraceTexts(),
              FreshLoginLines() + WaitLines("CD", "CD", 2) + WaitLines("CD", "CDFG", 118));
    ExpectSleeps(machine, 120);
    EXPECT_TRUE(machine.CallsTo("GetDriveTypeA").empty());
}

// --- A target that was already logged in ------------------------------------------------------

class ExistingLogin : public MountRequest {
  protected:
    ExistingLogin() { machine.loginStatuses = {kAlreadyLoggedIn}; }
};

TEST_F(ExistingLogin, LetterInTheBaselineIsFoundAtOnce) {
    machine.AddSession(kTarget, {2});
    machine.AddDrive('F', 2);

    EXPECT_EQ(Mount(), 1);

    EXPECT_EQ(machine.TraceTexts(), ExistingLoginLines() + Lines{"Task Disk F:\\"});
    ExpectSleeps(machine, 0);
    EXPECT_EQ(machine.CallsTo("LoginIScsiTargetA").size(), 1u);
    ASSERT_EQ(machine.CallsTo("GetDriveTypeA").size(), 1u);
    EXPECT_EQ(machine.CallsTo("GetDriveTypeA")[0].String("lpRootPathName"), "F:\\");
    EXPECT_EQ(machine.CallsTo("GetVolumeInformationA").size(), 1u);
}

TEST_F(ExistingLogin, TwoDevicesEndTheRequestWithoutALine) {
    machine.AddSession(kTarget, {2, 3});
    machine.AddDrive('F', 2);

    EXPECT_EQ(Mount(), 0);

    EXPECT_EQ(machine.TraceTexts(), ExistingLoginLines());
    ExpectSleeps(machine, 0);
    EXPECT_TRUE(machine.CallsTo("CreateFileA").empty());
}

TEST_F(ExistingLogin, NoLetterOnTheDiskFailsAfterSixtyRetries) {
    machine.AddSession(kTarget, {2});
    // Only the baseline is searched: a letter that arrives later is not looked at.
    machine.AddDriveAt(3000, Drive('G', 2));

    EXPECT_EQ(Mount(), 0);

    EXPECT_EQ(machine.TraceTexts(), ExistingLoginLines() + Lines{"Get Mount Points Error!"});
    ExpectSleeps(machine, 60);
    EXPECT_EQ(machine.CallsTo("CreateFileA").size(), 61u * 2); // C and D, 61 times
    EXPECT_TRUE(machine.CallsTo("GetDriveTypeA").empty());
}

TEST_F(ExistingLogin, LetterWhoseVolumeBecomesReadableDuringTheRetriesIsFound) {
    machine.AddSession(kTarget, {2});
    DriveSetup unreadable = Drive('F', 2);
    unreadable.openable = false;
    machine.AddDrive(unreadable);
    machine.AddDriveAt(5000, Drive('F', 2));

    EXPECT_EQ(Mount(), 1);

    EXPECT_EQ(machine.TraceTexts(), ExistingLoginLines() + Lines{"Task Disk F:\\"});
    ExpectSleeps(machine, 5);
}

// --- Arguments --------------------------------------------------------------------------------

struct PortCase {
    const char *text;
    const char *shown; // in the opening line
    std::uint64_t socket;
};

// Names the case in test listings; white space is spelled out so every name stays one word.
void PrintTo(const PortCase &port, std::ostream *out) {
    if (port.text == nullptr) {
        *out << "null";
        return;
    }
    *out << "text<";
    for (const char *c = port.text; *c != '\0'; ++c) {
        switch (*c) {
        case ' ':
            *out << "SP";
            break;
        case '\t':
            *out << "TAB";
            break;
        case '\n':
            *out << "LF";
            break;
        case '\r':
            *out << "CR";
            break;
        default:
            *out << *c;
        }
    }
    *out << ">";
}

class PortConversion : public MountRequest, public ::testing::WithParamInterface<PortCase> {};

TEST_P(PortConversion, FollowsAtoiAndTheRequestGoesOn) {
    const PortCase &port = GetParam();
    VolumeArrives('F', 2, 0);

    EXPECT_EQ(Mount(port.text), 1);

    EXPECT_EQ(machine.TraceTexts().front(), std::string("493,192.0.2.10,") + port.shown + ",,,0");
    EXPECT_EQ(machine.TraceTexts().back(), "Task Disk F:\\");
    const std::vector<CallRecord> portals = machine.CallsTo("AddIScsiSendTargetPortalA");
    ASSERT_EQ(portals.size(), 1u);
    EXPECT_EQ(portals[0].Arg("Socket"), port.socket);
}

INSTANTIATE_TEST_SUITE_P(
    MountRequest, PortConversion,
    ::testing::Values(PortCase{"3260", "3260", 3260}, PortCase{"3260abc", "3260", 3260},
                      PortCase{"32 60", "32", 32}, PortCase{" \t\n+3260", "3260", 3260},
                      PortCase{"-5", "-5", 65531}, PortCase{"abc", "0", 0}, PortCase{"", "0", 0},
                      PortCase{"0x1F", "0", 0}, PortCase{"+", "0", 0},
                      PortCase{"70000", "70000", 4464}, PortCase{"65536", "65536", 0},
                      PortCase{"99999999999", "2147483647", 65535},
                      PortCase{"-99999999999", "-2147483648", 0}, PortCase{nullptr, "0", 0},
                      PortCase{"\r860", "860", 860}));

TEST_F(MountRequest, ExtrasOnlyChangeTheOpeningLine) {
    VolumeArrives('F', 2, 1500);
    ASSERT_EQ(CreateVXD(kPortal, "3260", kTarget, "", ""), 1);
    const Lines withoutExtras = machine.TraceTexts();

    Machine other;
    other.AddDrive('C', 0).AddDrive('D', 1);
    other.onLogin.drives.push_back({Drive('F', 2), 1500});
    ASSERT_EQ(CreateVXD(kPortal, "3260", kTarget, "user=x", "note"), 1);
    Lines withExtras = other.TraceTexts();
    ExpectCleanMachine(other);

    EXPECT_EQ(withoutExtras.front(), "493,192.0.2.10,3260,,,0");
    EXPECT_EQ(withExtras.front(), "493,192.0.2.10,3260,user=x,note,0");
    withExtras.front() = withoutExtras.front();
    EXPECT_EQ(withExtras, withoutExtras);
}

TEST_F(MountRequest, NullStringsCountAsEmpty) {
    VolumeArrives('F', 2, 0);
    EXPECT_EQ(CreateVXD(kPortal, "3260", kTarget, nullptr, nullptr), 1);
    EXPECT_EQ(machine.TraceTexts().front(), "493,192.0.2.10,3260,,,0");

    Machine other;
    other.onLogin.drives.push_back({Drive('F', 2), 0});
    EXPECT_EQ(CreateVXD(nullptr, "3260", nullptr, nullptr, nullptr), 1);
    ExpectCleanMachine(other);
    EXPECT_EQ(other.TraceTexts().front(), "493,,3260,,,0");
    ASSERT_EQ(other.CallsTo("inet_addr").size(), 1u);
    EXPECT_EQ(other.CallsTo("inet_addr")[0].String("cp"), "");
    ASSERT_EQ(other.CallsTo("LoginIScsiTargetA").size(), 1u);
    EXPECT_NE(other.CallsTo("LoginIScsiTargetA")[0].Arg("TargetName"), 0u);
    EXPECT_EQ(other.CallsTo("LoginIScsiTargetA")[0].String("TargetName"), "");
}

TEST_F(MountRequest, LongTextsAndPercentSignsAreWrittenWhole) {
    VolumeArrives('F', 2, 0);
    const std::string address = std::string(300, '1') + "%s%n";
    const std::string extra1 = std::string(5000, 'x') + "%s%d%n%%";
    const std::string extra2 = "100%";

    EXPECT_EQ(CreateVXD(address.c_str(), "3260", kTarget, extra1.c_str(), extra2.c_str()), 1);

    EXPECT_EQ(machine.TraceTexts(),
              FreshLoginLines("493," + address + ",3260," + extra1 + "," + extra2 + ",0") +
                  Lines{"Task Disk F:\\"});
}

// --- The boundary -----------------------------------------------------------------------------

TEST_F(MountRequest, OutOfMemoryInAPlatformCallEndsTheRequestWithZero) {
    VolumeArrives('F', 2, 1500);
    machine.onCall = [](const CallRecord &call) {
        if (call.name == "Sleep") {
            throw std::bad_alloc();
        }
    };

    int result = -1;
    EXPECT_NO_THROW(result = Mount());

    EXPECT_EQ(result, 0);
    EXPECT_EQ(machine.TraceTexts(),
              FreshLoginLines() + WaitLines("CD", "CD", 1) + Lines{"CreateVXD: out of memory"});
}

TEST_F(MountRequest, OutOfMemoryWhileTracingEndsTheRequestWithZero) {
    VolumeArrives('F', 2, 1500);
    machine.onTrace = [](const vxd::sim::TraceLine &line) {
        if (line.text == "uRet: 20") {
            throw std::bad_alloc();
        }
    };

    int result = -1;
    EXPECT_NO_THROW(result = Mount());

    EXPECT_EQ(result, 0);
    EXPECT_EQ(machine.TraceTexts(), FreshLoginLines() + Lines{"CreateVXD: out of memory"});
    EXPECT_TRUE(machine.CallsTo("Sleep").empty());
}

TEST_F(MountRequest, OtherExceptionsEndTheRequestAndReleaseTheOpenVolume) {
    VolumeArrives('F', 2, 0);
    // The volume's handle is open in the library when the query throws.
    machine.onCall = [](const CallRecord &call) {
        if (call.name == "DeviceIoControl") {
            throw std::runtime_error("device gone");
        }
    };

    int result = -1;
    EXPECT_NO_THROW(result = Mount());

    EXPECT_EQ(result, 0);
    EXPECT_EQ(machine.TraceTexts(), FreshLoginLines() + Lines{"CreateVXD: internal error"});
    EXPECT_EQ(machine.CallsTo("CloseHandle").size(), 1u);
}

TEST_F(MountRequest, ExceptionThatIsNoStandardOneIsAnInternalError) {
    machine.onCall = [](const CallRecord &call) {
        if (call.name == "LoginIScsiTargetA") {
            throw 42;
        }
    };

    int result = -1;
    EXPECT_NO_THROW(result = Mount());

    EXPECT_EQ(result, 0);
    EXPECT_EQ(machine.TraceTexts(),
              (Lines{"493,192.0.2.10,3260,,,0", "Disk NO:1", "CreateVXD: internal error"}));
}

TEST_F(MountRequest, NothingCrossesTheBoundaryEvenWhenTheTraceAlwaysThrows) {
    machine.onTrace = [](const vxd::sim::TraceLine &) { throw std::bad_alloc(); };

    int result = -1;
    EXPECT_NO_THROW(result = Mount());

    EXPECT_EQ(result, 0);
    EXPECT_EQ(machine.TraceTexts(), (Lines{"493,192.0.2.10,3260,,,0", "CreateVXD: out of memory"}));
}

// --- Successive requests ----------------------------------------------------------------------

TEST_F(MountRequest, EachRequestStartsWithItsOwnTargetList) {
    machine.loginStatuses = {0, kAlreadyLoggedIn};
    VolumeArrives('F', 2, 1500);

    ASSERT_EQ(Mount(), 1);
    const std::size_t firstLines = machine.TraceTexts().size();
    EXPECT_EQ(Mount(), 1);

    const Lines all = machine.TraceTexts();
    EXPECT_EQ(Lines(all.begin(), all.begin() + static_cast<long>(firstLines)),
              FreshLoginLines() + WaitLines("CD", "CD", 2) + Lines{"Task Disk F:\\"});
    EXPECT_EQ(Lines(all.begin() + static_cast<long>(firstLines), all.end()),
              ExistingLoginLines() + Lines{"Task Disk F:\\"});
    EXPECT_EQ(machine.CallsTo("LoginIScsiTargetA").size(), 2u);
}

} // namespace
