// Volume discovery against the simulated machine: drive-letter snapshots and their
// differences, and which letters' volumes lie on the session's disks.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "entry/mount_task.h"
#include "platform/sim/sim_machine.h"
#include "tests/test_support.h"

namespace vxd {
namespace {

using test::DevicesOnDisks;
using test::Drive;

class VolumeDiscovery : public ::testing::Test {
  protected:
    // Every handle opened was closed, and nothing was asked of the machine that it rejects.
    void TearDown() override {
        EXPECT_EQ(machine.OpenHandles(), 0u);
        EXPECT_TRUE(machine.Faults().empty());
    }

    std::string Snapshot() const {
        std::string letters;
        task.GetDriveLetters(letters);
        return letters;
    }
    std::vector<std::string> OpenedPaths() const {
        std::vector<std::string> paths;
        for (const sim::CallRecord &call : machine.CallsTo("CreateFileA")) {
            paths.push_back(call.String("lpFileName"));
        }
        return paths;
    }

    sim::Machine machine;
    CMountTask task;
};

// --- Snapshots ---------------------------------------------------------------------------

TEST_F(VolumeDiscovery, SnapshotHoldsOneLetterPerDriveInPlatformOrder) {
    machine.AddDrive('E', 1).AddDrive('A', 0).AddDrive('D', 2);
    EXPECT_EQ(Snapshot(), "ADE");

    // The string handed in is extended, not emptied.
    std::string letters = "X";
    task.GetDriveLetters(letters);
    EXPECT_EQ(letters, "XADE");

    // A count past the list's end still stops at the list's zero byte.
    machine.driveListResult = 255;
    EXPECT_EQ(Snapshot(), "ADE");

    const auto calls = machine.CallsTo("GetLogicalDriveStringsA");
    ASSERT_FALSE(calls.empty());
    EXPECT_EQ(calls[0].Arg("nBufferLength"), 256u);
}

TEST_F(VolumeDiscovery, SnapshotOfEveryLetter) {
    for (char letter = 'A'; letter <= 'Z'; ++letter) {
        machine.AddDrive(letter, 0);
    }
    EXPECT_EQ(Snapshot(), "ABCDEFGHIJKLMNOPQRSTUVWXYZ");

    // The disks of 26 letters at most are looked at, however many are asked for: a 27th
    // volume is never opened.
    machine.AddDrive('[', 1);
    ASSERT_EQ(Snapshot().size(), 27u);
    EXPECT_EQ(volumes::LettersExamined(Snapshot()), 26u);
    const volumes::LetterDisks disks = volumes::DisksOfLetters("ABCDEFGHIJKLMNOPQRSTUVWXYZ[", 27);
    EXPECT_TRUE(disks[25].known);
    const std::vector<std::string> opened = OpenedPaths();
    ASSERT_EQ(opened.size(), 26u);
    EXPECT_EQ(opened.back(), "\\\\.\\Z:");
}

TEST_F(VolumeDiscovery, NoDrivesOrAFailedListGiveAnEmptySnapshot) {
    EXPECT_EQ(Snapshot(), "");

    machine.AddDrive('C', 0);
    machine.driveListFails = true;
    EXPECT_EQ(Snapshot(), "");
    std::string fresh = "stale";
    EXPECT_NE(task.DriveLettersChanged("C", fresh), 0);
    EXPECT_EQ(fresh, "");
    EXPECT_EQ(task.DriveLettersChanged("", fresh), 0);

    // An answer of the whole buffer means the list did not fit, whatever the buffer holds.
    machine.driveListFails = false;
    machine.driveListResult = 256;
    EXPECT_EQ(Snapshot(), "");
}

TEST_F(VolumeDiscovery, ChangeTestIgnoresCaseAndReplacesTheFreshSnapshot) {
    machine.AddDrive('A', 0).AddDrive('D', 1).AddDrive('E', 2);
    const struct {
        const char *oldLetters;
        bool changed;
    } cases[] = {
        {"ADE", false}, {"ade", false}, {"aDe", false}, {"ADEF", true}, {"AD", true},
        {"ADF", true},  {"DAE", true},  {"", true},     {"BDE", true},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.oldLetters);
        std::string newLetters = "QQQQQQ";
        EXPECT_EQ(task.DriveLettersChanged(c.oldLetters, newLetters) != 0, c.changed);
        EXPECT_EQ(newLetters, "ADE");
    }

    // The alphabet's last letter folds too.
    machine.AddDrive('Z', 3);
    std::string newLetters;
    EXPECT_EQ(task.DriveLettersChanged("adez", newLetters), 0);

    // Only letters fold: '@' and '`', '[' and '{' lie 32 apart as 'A' and 'a' do, and differ.
    EXPECT_NE(volumes::CompareLettersIgnoringCase("@DE", "`DE"), 0);
    EXPECT_NE(volumes::CompareLettersIgnoringCase("[DE", "{DE"), 0);
}

TEST_F(VolumeDiscovery, ChangeShowsAsTheMachineChanges) {
    machine.AddDrive('A', 0).AddDrive('D', 1).AddDrive('E', 2);
    const std::string oldLetters = Snapshot();
    machine.AddDriveAt(2000, Drive('F', 3));
    std::string newLetters;
    machine.Sleep(1000);
    EXPECT_EQ(task.DriveLettersChanged(oldLetters, newLetters), 0);
    machine.Sleep(1000);
    EXPECT_NE(task.DriveLettersChanged(oldLetters, newLetters), 0);
    EXPECT_EQ(newLetters, "ADEF");
    EXPECT_EQ(task.NewDriveLetters(oldLetters, newLetters), "F");
}

TEST(NewDriveLetters, KeepsTheOrderOfLettersTheOldSnapshotLacks) {
    const struct {
        const char *oldLetters;
        const char *newLetters;
        const char *added;
    } cases[] = {
        {"ADE", "ADEF", "F"},  {"ADE", "ADF", "F"}, {"", "ADE", "ADE"}, {"ADE", "", ""},
        {"ADEF", "ADE", ""},   {"C", "FDA", "FDA"}, {"ADE", "ADE", ""}, {"AE", "ADEG", "DG"},
        {"ade", "ADE", "ADE"}, // membership is exact: case counts here
        {"ADE", "aDe", "ae"},
    };
    const CMountTask task;
    for (const auto &c : cases) {
        SCOPED_TRACE(std::string(c.oldLetters) + " -> " + c.newLetters);
        EXPECT_EQ(task.NewDriveLetters(c.oldLetters, c.newLetters), c.added);
    }
}

// --- Disk matching -----------------------------------------------------------------------

TEST_F(VolumeDiscovery, LetterOnTheDevicesDiskMatches) {
    machine.AddDrive('F', 2);
    const DeviceBuffer devices = DevicesOnDisks({2});
    EXPECT_EQ(task.NewLettersOnSessionDisks("F", devices), 1);
    EXPECT_EQ(task.FindLetterOnSessionDisk("F", devices), 'F');

    machine.AddDrive('F', 1);
    EXPECT_EQ(task.NewLettersOnSessionDisks("F", devices), 0);
    EXPECT_EQ(task.FindLetterOnSessionDisk("F", devices), '\0');
}

TEST_F(VolumeDiscovery, NewLettersMustCoverEveryDevice) {
    const DeviceBuffer devices = DevicesOnDisks({2, 3});
    machine.AddDrive('F', 3).AddDrive('G', 2);
    EXPECT_EQ(task.NewLettersOnSessionDisks("FG", devices), 1);
    EXPECT_EQ(task.NewLettersOnSessionDisks("GF", devices), 1);

    machine.AddDrive('F', 2);
    EXPECT_EQ(task.NewLettersOnSessionDisks("FG", devices), 0);

    // One letter may serve several devices on the same disk.
    machine.AddDrive('F', 2).AddDrive('G', 9);
    EXPECT_EQ(task.NewLettersOnSessionDisks("FG", DevicesOnDisks({2, 2})), 1);
}

TEST_F(VolumeDiscovery, FirstLetterOnTheDiskWins) {
    machine.AddDrive('D', 0).AddDrive('E', 1).AddDrive('F', 1);
    EXPECT_EQ(task.FindLetterOnSessionDisk("DEF", DevicesOnDisks({1})), 'E');
    EXPECT_EQ(task.FindLetterOnSessionDisk("FED", DevicesOnDisks({1})), 'F');
    // Only record 0 counts.
    EXPECT_EQ(task.FindLetterOnSessionDisk("DEF", DevicesOnDisks({7, 1})), '\0');
}

TEST_F(VolumeDiscovery, NoLettersMatchesNothingAndOpensNothing) {
    const DeviceBuffer devices = DevicesOnDisks({2});
    EXPECT_EQ(task.NewLettersOnSessionDisks("", devices), 1);
    EXPECT_EQ(task.FindLetterOnSessionDisk("", devices), '\0');
    EXPECT_TRUE(machine.CallsTo("CreateFileA").empty());
}

TEST_F(VolumeDiscovery, OnlyTheFirstExtentCounts) {
    sim::DriveSetup spanned = Drive('F', 1);
    spanned.moreExtents = {2};
    machine.AddDrive(spanned);
    EXPECT_EQ(task.NewLettersOnSessionDisks("F", DevicesOnDisks({2})), 0);
    EXPECT_EQ(task.FindLetterOnSessionDisk("F", DevicesOnDisks({2})), '\0');
    EXPECT_EQ(task.NewLettersOnSessionDisks("F", DevicesOnDisks({1})), 1);
    EXPECT_EQ(task.FindLetterOnSessionDisk("F", DevicesOnDisks({1})), 'F');
}

TEST_F(VolumeDiscovery, VolumeWithMoreExtentsThanTheReplyHoldsLiesOnItsFirstDisk) {
    sim::DriveSetup spanned = Drive('F', 3);
    spanned.moreExtents.assign(40, 7);
    machine.AddDrive(spanned);
    EXPECT_EQ(task.FindLetterOnSessionDisk("F", DevicesOnDisks({3})), 'F');
    EXPECT_EQ(task.NewLettersOnSessionDisks("F", DevicesOnDisks({7})), 0);
}

TEST_F(VolumeDiscovery, SilentVolumeLiesOnNoDisk) {
    // Disk 0 too: an empty reply must not read as disk 0.
    for (const platform::ULONG disk : {0u, 2u}) {
        SCOPED_TRACE(disk);
        machine.AddDrive(test::SilentDrive('E', disk));
        const DeviceBuffer devices = DevicesOnDisks({disk});
        EXPECT_EQ(task.NewLettersOnSessionDisks("E", devices), 0);
        EXPECT_EQ(task.FindLetterOnSessionDisk("E", devices), '\0');

        machine.AddDrive('F', disk);
        EXPECT_EQ(task.FindLetterOnSessionDisk("EF", devices), 'F');
        EXPECT_EQ(task.NewLettersOnSessionDisks("EF", DevicesOnDisks({disk, disk})), 1);
    }
}

TEST_F(VolumeDiscovery, ReplyCountsWhenItsByteCountCoversTheFirstDiskAndFitsTheReply) {
    // The first extent's disk number ends 12 bytes in; the reply has room for 772.
    const struct {
        platform::DWORD bytes;
        char letter;
    } cases[] = {{11, '\0'}, {12, 'F'}, {772, 'F'}, {773, '\0'}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.bytes);
        sim::DriveSetup drive = Drive('F', 2);
        drive.extentsBytes = c.bytes;
        machine.AddDrive(drive);
        EXPECT_EQ(task.FindLetterOnSessionDisk("F", DevicesOnDisks({2})), c.letter);
    }
}

TEST_F(VolumeDiscovery, UnopenableVolumeLiesOnNoDiskAndTheLookupGoesOn) {
    machine.AddDrive(test::UnopenableDrive('A')).AddDrive('D', 3).AddDrive('E', 1);
    const DeviceBuffer devices = DevicesOnDisks({3});
    EXPECT_EQ(task.FindLetterOnSessionDisk("ADE", devices), 'D');
    EXPECT_EQ(task.NewLettersOnSessionDisks("AD", DevicesOnDisks({3, 3})), 1);

    machine.AddDrive(test::UnopenableDrive('E'));
    EXPECT_EQ(task.FindLetterOnSessionDisk("ADE", devices), 'D');

    EXPECT_EQ(task.NewLettersOnSessionDisks("A", DevicesOnDisks({0})), 0);
    EXPECT_EQ(task.FindLetterOnSessionDisk("A", DevicesOnDisks({0})), '\0');
}

TEST_F(VolumeDiscovery, RecordsTheLookupDidNotFillMatchNoDisk) {
    machine.AddDrive('F', 2).AddDrive('G', 2);
    // Record 1 holds disk 2 from an earlier lookup, but the latest one filled only record 0.
    DeviceBuffer devices = DevicesOnDisks({2, 2});
    devices.filled = 1;
    EXPECT_EQ(task.NewLettersOnSessionDisks("FG", devices), 0);
    EXPECT_EQ(task.NewLettersOnSessionDisks("F", devices), 1);

    devices.filled = 0;
    EXPECT_EQ(task.NewLettersOnSessionDisks("F", devices), 0);
    EXPECT_EQ(task.FindLetterOnSessionDisk("F", devices), '\0');
}

TEST_F(VolumeDiscovery, EachVolumeIsQueriedOnceInLetterOrderBeforeAnyComparison) {
    machine.AddDrive('D', 1).AddDrive(test::UnopenableDrive('E')).AddDrive('F', 2);
    // D matches at once; E and F are still queried.
    EXPECT_EQ(task.FindLetterOnSessionDisk("DEF", DevicesOnDisks({1})), 'D');

    EXPECT_EQ(OpenedPaths(), (std::vector<std::string>{"\\\\.\\D:", "\\\\.\\E:", "\\\\.\\F:"}));
    for (const sim::CallRecord &open : machine.CallsTo("CreateFileA")) {
        EXPECT_EQ(open.Arg("dwDesiredAccess"), 0xC0000000u);
        EXPECT_EQ(open.Arg("dwShareMode"), 3u);
        EXPECT_EQ(open.Arg("lpSecurityAttributes"), 0u);
        EXPECT_EQ(open.Arg("dwCreationDisposition"), 3u);
        EXPECT_EQ(open.Arg("dwFlagsAndAttributes"), 0u);
        EXPECT_EQ(open.Arg("hTemplateFile"), 0u);
    }

    // Open, query, close for each volume that opens; nothing for the one that does not.
    std::vector<std::string> sequence;
    for (const sim::CallRecord &call : machine.Calls()) {
        sequence.push_back(call.name);
    }
    EXPECT_EQ(sequence, (std::vector<std::string>{"CreateFileA", "DeviceIoControl", "CloseHandle",
                                                  "CreateFileA", "CreateFileA", "DeviceIoControl",
                                                  "CloseHandle"}));

    const auto opens = machine.CallsTo("CreateFileA");
    const auto queries = machine.CallsTo("DeviceIoControl");
    const auto closes = machine.CallsTo("CloseHandle");
    ASSERT_EQ(queries.size(), 2u);
    ASSERT_EQ(closes.size(), 2u);
    const std::uint64_t handles[] = {opens[0].Arg("result"), opens[2].Arg("result")};
    for (std::size_t i = 0; i < 2; ++i) {
        EXPECT_EQ(queries[i].Arg("hDevice"), handles[i]);
        EXPECT_EQ(queries[i].Arg("dwIoControlCode"), 0x560000u);
        EXPECT_EQ(queries[i].Arg("lpInBuffer"), 0u);
        EXPECT_EQ(queries[i].Arg("nInBufferSize"), 0u);
        EXPECT_EQ(queries[i].Arg("nOutBufferSize"), 772u);
        EXPECT_NE(queries[i].Arg("lpBytesReturned"), 0u);
        EXPECT_EQ(queries[i].Arg("lpOverlapped"), 0u);
        EXPECT_EQ(closes[i].Arg("hObject"), handles[i]);
    }
}

} // namespace
} // namespace vxd
