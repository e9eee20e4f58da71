// The simulated machine itself, where the other tests lean on how it behaves.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "platform/sim/sim_machine.h"
#include "tests/test_support.h"

namespace vxd {
namespace {

using platform::ISCSI_SESSION_INFOA;

TEST(SimMachine, ListsDriveRootsAlphabetically) {
    sim::Machine machine;
    machine.AddDrive('E', 1).AddDrive('A', 0).AddDrive('C', 2);

    char roots[256];
    std::memset(roots, 0x7E, sizeof roots);
    EXPECT_EQ(machine.GetLogicalDriveStringsA(sizeof roots, roots), 12u);
    EXPECT_EQ(std::string(roots, 13), std::string("A:\\\0C:\\\0E:\\\0\0", 13));
    EXPECT_EQ(roots[13], 0x7E);

    // Too small a buffer: the size needed, and nothing written.
    std::memset(roots, 0x7E, sizeof roots);
    EXPECT_EQ(machine.GetLogicalDriveStringsA(12, roots), 13u);
    EXPECT_EQ(roots[0], 0x7E);
}

TEST(SimMachine, ScheduledChangesApplyOnceTheirTimeHasCome) {
    sim::Machine machine;
    machine.AddDrive('C', 0);
    machine.AddDriveAt(1000, test::Drive('F', 2));
    machine.RemoveDriveAt(0, 'C'); // already due: applies at the next call

    char roots[256] = {};
    machine.GetLogicalDriveStringsA(sizeof roots, roots);
    EXPECT_EQ(machine.DriveLetters(), "");
    machine.Sleep(999);
    EXPECT_EQ(machine.DriveLetters(), "");
    machine.Sleep(1);
    EXPECT_EQ(machine.Now(), 1000u);
    EXPECT_EQ(machine.DriveLetters(), "F");
}

TEST(SimMachine, SessionListAnswersInTwoCallsWithNamesAfterTheRecords) {
    sim::Machine machine;
    machine.AddSession("iqn.a", {1}).AddSession("iqn.bb", {2});
    const std::size_t needed = 2 * sizeof(ISCSI_SESSION_INFOA) + 6 + 7;

    platform::ULONG size = 4;
    platform::ULONG count = 0;
    ISCSI_SESSION_INFOA scratch{};
    EXPECT_EQ(machine.GetIScsiSessionListA(&size, &count, &scratch), 122u);
    EXPECT_EQ(size, needed);
    EXPECT_EQ(count, 2u);

    std::vector<unsigned char> buffer(needed);
    auto *records = reinterpret_cast<ISCSI_SESSION_INFOA *>(buffer.data());
    EXPECT_EQ(machine.GetIScsiSessionListA(&size, &count, records), 0u);
    EXPECT_EQ(count, 2u);
    const char *names = reinterpret_cast<const char *>(buffer.data()) + 2 * sizeof *records;
    EXPECT_EQ(records[0].TargetName, names);
    EXPECT_STREQ(records[0].TargetName, "iqn.a");
    EXPECT_EQ(records[1].TargetName, names + 6);
    EXPECT_STREQ(records[1].TargetName, "iqn.bb");
    EXPECT_NE(test::BytesOf(records[0].SessionId), test::BytesOf(records[1].SessionId));
}

TEST(SimMachine, EachCallTakesTheNextAnswerOverride) {
    sim::Machine machine;
    machine.AddSession("iqn.a", {1});
    machine.sessionListAnswers = {sim::AnswerOverride{5u, std::nullopt, std::nullopt},
                                  sim::AnswerOverride{std::nullopt, 77u, 9u}};

    platform::ULONG size = 4;
    platform::ULONG count = 0;
    ISCSI_SESSION_INFOA scratch{};
    EXPECT_EQ(machine.GetIScsiSessionListA(&size, &count, &scratch), 5u);
    // Only what the override names changes.
    EXPECT_EQ(count, 1u);

    size = 4;
    EXPECT_EQ(machine.GetIScsiSessionListA(&size, &count, &scratch), 122u);
    EXPECT_EQ(size, 77u);
    EXPECT_EQ(count, 9u);

    // Overrides used up: the machine answers for itself again.
    size = 4;
    EXPECT_EQ(machine.GetIScsiSessionListA(&size, &count, &scratch), 122u);
    EXPECT_EQ(size, sizeof(ISCSI_SESSION_INFOA) + 6);
    EXPECT_EQ(count, 1u);
}

} // namespace
} // namespace vxd
