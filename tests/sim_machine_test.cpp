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

platform::ISCSI_TARGET_PORTALA PortalRecord(const char *address, platform::USHORT socket) {
    platform::ISCSI_TARGET_PORTALA portal{};
    std::strncpy(portal.Address, address, sizeof portal.Address - 1);
    portal.Socket = socket;
    return portal;
}

// The rules that the test kit follows as well: a scenario must mean the same to both.
TEST(ServiceRules, SuccessiveAnswersTakeTheNextAndRepeatTheLast) {
    const std::vector<platform::ULONG> statuses{7, 8};
    EXPECT_EQ(sim::SuccessiveAnswer(statuses, 0), 7u);
    EXPECT_EQ(sim::SuccessiveAnswer(statuses, 1), 8u);
    EXPECT_EQ(sim::SuccessiveAnswer(statuses, 5), 8u);
    EXPECT_EQ(sim::SuccessiveAnswer(std::vector<platform::ULONG>{}, 3), 0u);
}

TEST(ServiceRules, PersistentLoginsAreListedInTwoCallsWithoutTheCallersPointers) {
    platform::ISCSI_LOGIN_OPTIONS options{};
    options.Version = 0;
    options.LoginFlags = 2;
    char user[] = "user";
    options.Username = reinterpret_cast<platform::UCHAR *>(user);
    const platform::ISCSI_TARGET_PORTALA portal = PortalRecord("192.0.2.10", 860);
    const std::vector<sim::PersistentLogin> logins = {
        sim::PersistentLoginOf("iqn.a", nullptr, platform::kAllInitiatorPorts, &portal, &options),
        sim::PersistentLoginOf("iqn.b", "ROOT\\ISCSIPRT\\0000_0", 1, nullptr, nullptr)};
    const platform::ULONG needed = 2 * sizeof(platform::PERSISTENT_ISCSI_LOGIN_INFOA);

    platform::ULONG count = 99;
    platform::ULONG size = 0;
    EXPECT_EQ(sim::ReportPersistentLogins(logins, &count, nullptr, &size), 122u);
    EXPECT_EQ(count, 2u);
    EXPECT_EQ(size, needed);
    std::vector<platform::PERSISTENT_ISCSI_LOGIN_INFOA> records(2);
    size = needed - 1;
    EXPECT_EQ(sim::ReportPersistentLogins(logins, &count, records.data(), &size), 122u);
    EXPECT_EQ(size, needed);
    EXPECT_EQ(sim::ReportPersistentLogins(logins, &count, records.data(), &size), 0u);
    EXPECT_STREQ(records[0].TargetName, "iqn.a");
    EXPECT_STREQ(records[0].TargetPortal.Address, "192.0.2.10");
    EXPECT_EQ(records[0].TargetPortal.Socket, 860u);
    EXPECT_EQ(records[0].InitiatorPortNumber, platform::kAllInitiatorPorts);
    EXPECT_EQ(records[0].LoginOptions.LoginFlags, 2u);
    EXPECT_EQ(records[0].LoginOptions.Username, nullptr);
    EXPECT_STREQ(records[1].InitiatorInstance, "ROOT\\ISCSIPRT\\0000_0");
    EXPECT_STREQ(records[1].TargetPortal.Address, "");

    // None kept: the first call still answers with the size, nothing.
    count = 99;
    size = 0;
    EXPECT_EQ(sim::ReportPersistentLogins({}, &count, nullptr, &size), 122u);
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(size, 0u);
    EXPECT_EQ(sim::ReportPersistentLogins({}, &count, records.data(), &size), 0u);
}

TEST(ServiceRules, APersistentLoginGoesWhenEverythingNamedMatches) {
    const platform::ISCSI_TARGET_PORTALA portal = PortalRecord("192.0.2.10", 3260);
    const platform::ISCSI_TARGET_PORTALA otherSocket = PortalRecord("192.0.2.10", 860);
    const platform::ISCSI_TARGET_PORTALA otherAddress = PortalRecord("192.0.2.11", 3260);
    const struct {
        const char *name;
        const char *instance;
        platform::ULONG port;
        const char *target;
        const platform::ISCSI_TARGET_PORTALA *portal;
        std::size_t left; // of the three below
    } cases[] = {
        {"the target in other letter case, nothing else named", nullptr,
         platform::kAllInitiatorPorts, "IQN.A", nullptr, 1},
        {"its portal", nullptr, platform::kAllInitiatorPorts, "iqn.a", &portal, 2},
        {"another socket", nullptr, platform::kAllInitiatorPorts, "iqn.a", &otherSocket, 3},
        {"another address", nullptr, platform::kAllInitiatorPorts, "iqn.a", &otherAddress, 3},
        {"its initiator", "ROOT\\ISCSIPRT\\0000_0", platform::kAllInitiatorPorts, "iqn.a", nullptr,
         2},
        {"another initiator", "ROOT\\ISCSIPRT\\0001_0", platform::kAllInitiatorPorts, "iqn.a",
         nullptr, 3},
        {"its port", nullptr, 1, "iqn.a", nullptr, 2},
        {"another port", nullptr, 2, "iqn.a", nullptr, 3},
        {"another target", nullptr, platform::kAllInitiatorPorts, "iqn.ab", nullptr, 3},
    };
    for (const auto &each : cases) {
        std::vector<sim::PersistentLogin> logins = {
            sim::PersistentLoginOf("iqn.a", nullptr, platform::kAllInitiatorPorts, &portal,
                                   nullptr),
            sim::PersistentLoginOf("iqn.a", "ROOT\\ISCSIPRT\\0000_0", 1, nullptr, nullptr),
            sim::PersistentLoginOf("iqn.b", nullptr, platform::kAllInitiatorPorts, &portal,
                                   nullptr)};
        const sim::ISDSC_STATUS status =
            sim::RemovePersistentLogins(logins, each.instance, each.port, each.target, each.portal);
        EXPECT_EQ(logins.size(), each.left) << each.name;
        EXPECT_EQ(status, each.left == 3 ? platform::kStatusCouldNotRemovePersistentLoginData : 0u)
            << each.name;
        EXPECT_EQ(logins.back().target, "iqn.b") << each.name;
    }
}

TEST(ServiceRules, APortalIsRegisteredOnceAndRemovedOnlyWhenRegistered) {
    std::vector<sim::Portal> portals;
    sim::RegisterPortal(portals, PortalRecord("192.0.2.10", 3260));
    sim::RegisterPortal(portals, PortalRecord("192.0.2.10", 3260));
    sim::RegisterPortal(portals, PortalRecord("192.0.2.10", 860));
    ASSERT_EQ(portals.size(), 2u);
    EXPECT_EQ(sim::UnregisterPortal(portals, PortalRecord("192.0.2.11", 3260)),
              platform::kStatusPortalNotFound);
    EXPECT_EQ(sim::UnregisterPortal(portals, PortalRecord("192.0.2.10", 3260)), 0u);
    EXPECT_EQ(sim::UnregisterPortal(portals, PortalRecord("192.0.2.10", 3260)),
              platform::kStatusPortalNotFound);
    ASSERT_EQ(portals.size(), 1u);
    EXPECT_EQ(portals[0].socket, 860u);
}

} // namespace
} // namespace vxd
