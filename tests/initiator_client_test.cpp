// The initiator client against the simulated service: the request records byte for byte, the
// statuses each request turns into, and the two-call lookups of sessions and devices.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "entry/mount_task.h"
#include "platform/sim/sim_machine.h"
#include "tests/test_support.h"

namespace vxd {
namespace {

using platform::IKE_AUTHENTICATION_INFORMATION;
using platform::IKE_AUTHENTICATION_PRESHARED_KEY;
using platform::ISCSI_LOGIN_OPTIONS;
using platform::ISCSI_TARGET_PORTALA;
using test::Bytes;

const std::string kTarget = "iqn.2026-12.com.example:disk1";

// No credentials, stated explicitly: only the three "specified" bits, every other byte zero.
Bytes ExpectedLoginOptions() {
    Bytes bytes(sizeof(ISCSI_LOGIN_OPTIONS), 0);
    test::PutLittleEndian(bytes, offsetof(ISCSI_LOGIN_OPTIONS, InformationSpecified), 0xE0, 4);
    return bytes;
}

Bytes ExpectedPortal(const std::string &address, std::uint16_t socket) {
    Bytes bytes(sizeof(ISCSI_TARGET_PORTALA), 0);
    std::copy(address.begin(), address.end(),
              bytes.begin() + offsetof(ISCSI_TARGET_PORTALA, Address));
    test::PutLittleEndian(bytes, offsetof(ISCSI_TARGET_PORTALA, Socket), socket, 2);
    return bytes;
}

class InitiatorRequests : public ::testing::Test {
  protected:
    void TearDown() override { EXPECT_TRUE(machine.Faults().empty()); }

    Bytes LastPortal() const {
        const auto calls = machine.CallsTo("AddIScsiSendTargetPortalA");
        return calls.empty() ? Bytes{} : calls.back().Bytes("Portal");
    }

    sim::Machine machine;
    CMountTask task;
};

// --- Security record ---------------------------------------------------------------------

TEST_F(InitiatorRequests, SecurityRecordNamesThePortalAddressWithAnEmptyKey) {
    EXPECT_EQ(task.SetPsKey("192.168.0.10"), 1);

    const auto calls = machine.CallsTo("SetIScsiIKEInfoA");
    ASSERT_EQ(calls.size(), 1u);
    const sim::CallRecord &call = calls[0];
    EXPECT_EQ(call.Arg("InitiatorName"), 0u);
    EXPECT_EQ(call.Arg("InitiatorPortNumber"), 0xFFFFFFFFu);
    EXPECT_EQ(call.Arg("Persist"), 1u);
    EXPECT_EQ(call.Bytes("Id"), (Bytes{192, 168, 0, 10}));

    const std::size_t key = offsetof(IKE_AUTHENTICATION_INFORMATION, PsKey);
    Bytes expected(sizeof(IKE_AUTHENTICATION_INFORMATION), 0);
    test::PutLittleEndian(expected, offsetof(IKE_AUTHENTICATION_INFORMATION, AuthMethod), 1, 4);
    test::PutLittleEndian(expected, key + offsetof(IKE_AUTHENTICATION_PRESHARED_KEY, SecurityFlags),
                          1, 8);
    test::PutLittleEndian(expected, key + offsetof(IKE_AUTHENTICATION_PRESHARED_KEY, IdType), 1, 1);
    test::PutLittleEndian(expected,
                          key + offsetof(IKE_AUTHENTICATION_PRESHARED_KEY, IdLengthInBytes), 4, 4);
    // The Id pointer points into the caller's stack; its target was checked above.
    Bytes received = call.Bytes("AuthInfo");
    ASSERT_EQ(received.size(), expected.size());
    const std::size_t id = key + offsetof(IKE_AUTHENTICATION_PRESHARED_KEY, Id);
    std::fill(received.begin() + id, received.begin() + id + sizeof(void *), 0);
    EXPECT_EQ(received, expected);
    EXPECT_TRUE(machine.Trace().empty());
}

TEST_F(InitiatorRequests, SecurityRecordForAHostNameCarriesTheAllOnesAddress) {
    EXPECT_EQ(task.SetPsKey("portal.example.net"), 1);
    const auto calls = machine.CallsTo("SetIScsiIKEInfoA");
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].Bytes("Id"), (Bytes{255, 255, 255, 255}));
}

TEST_F(InitiatorRequests, RefusedSecurityRecordGivesZeroAndTracesTheStatus) {
    machine.ikeStatus = 0xEFFF0009;
    EXPECT_EQ(task.SetPsKey("192.168.0.10"), 0);
    EXPECT_EQ(machine.TraceTexts(), (std::vector<std::string>{"SetPsKey ERROR CODE:efff0009"}));

    machine.ikeStatus = 0x57;
    EXPECT_EQ(task.SetPsKey("192.168.0.10"), 0);
    EXPECT_EQ(machine.TraceTexts(),
              (std::vector<std::string>{"SetPsKey ERROR CODE:efff0009", "SetPsKey ERROR CODE:57"}));
}

// --- Send-target portal ------------------------------------------------------------------

TEST_F(InitiatorRequests, PortalRecordAndLoginOptionsAreExact) {
    EXPECT_EQ(task.AddTargetPortal("192.168.0.10", 3260), 1);

    const auto calls = machine.CallsTo("AddIScsiSendTargetPortalA");
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].Arg("InitiatorInstance"), 0u);
    EXPECT_EQ(calls[0].Arg("InitiatorPortNumber"), 0xFFFFFFFFu);
    EXPECT_EQ(calls[0].Arg("SecurityFlags"), 0u);
    EXPECT_EQ(calls[0].Bytes("Portal"), ExpectedPortal("192.168.0.10", 3260));
    EXPECT_EQ(calls[0].Bytes("LoginOptions"), ExpectedLoginOptions());
    EXPECT_TRUE(machine.Trace().empty());
}

TEST_F(InitiatorRequests, PortalSocketIsThePortsLow16Bits) {
    const struct {
        int port;
        std::uint16_t socket;
    } cases[] = {{3260, 3260}, {0, 0}, {65535, 65535}, {65536, 0}, {0x12345, 0x2345}, {-1, 0xFFFF}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.port);
        EXPECT_EQ(task.AddTargetPortal("10.0.0.1", c.port), 1);
        EXPECT_EQ(LastPortal(), ExpectedPortal("10.0.0.1", c.socket));
    }
}

TEST_F(InitiatorRequests, PortalAddressIsCutToTheFieldWithItsLastByteNul) {
    const std::string exact(255, 'a');
    EXPECT_EQ(task.AddTargetPortal(exact, 3260), 1);
    EXPECT_EQ(LastPortal(), ExpectedPortal(exact, 3260));

    const std::string tooLong = std::string(255, 'b') + std::string(45, 'c');
    EXPECT_EQ(task.AddTargetPortal(tooLong, 3260), 1);
    // The field keeps its last byte NUL and the socket after it is intact.
    EXPECT_EQ(LastPortal(), ExpectedPortal(std::string(255, 'b'), 3260));
}

TEST_F(InitiatorRequests, PortalTextThatIsNoAddressIsSentUnchanged) {
    EXPECT_EQ(task.AddTargetPortal("portal.example.net", 860), 1);
    EXPECT_EQ(LastPortal(), ExpectedPortal("portal.example.net", 860));
}

TEST_F(InitiatorRequests, AnyRefusedPortalGivesZeroWithoutTrace) {
    for (const platform::ISDSC_STATUS status : {0xEFFF0001u, 122u, 0xEFFF003Fu, 1u}) {
        SCOPED_TRACE(status);
        machine.portalStatus = status;
        EXPECT_EQ(task.AddTargetPortal("192.168.0.10", 3260), 0);
    }
    EXPECT_TRUE(machine.Trace().empty());
}

// --- Login -------------------------------------------------------------------------------

TEST_F(InitiatorRequests, LoginPassesEveryParameter) {
    platform::ISCSI_UNIQUE_SESSION_ID sessionId{};
    EXPECT_EQ(task.LoginTarget(kTarget, 0, &sessionId), kLoginLoggedIn);

    const auto calls = machine.CallsTo("LoginIScsiTargetA");
    ASSERT_EQ(calls.size(), 1u);
    const sim::CallRecord &call = calls[0];
    EXPECT_EQ(call.String("TargetName"), kTarget);
    EXPECT_EQ(call.Arg("IsInformationalSession"), 0u);
    EXPECT_EQ(call.Arg("InitiatorInstance"), 0u);
    EXPECT_EQ(call.Arg("InitiatorPortNumber"), 0xFFFFFFFFu);
    EXPECT_EQ(call.Arg("TargetPortal"), 0u);
    EXPECT_EQ(call.Arg("SecurityFlags"), 0u);
    EXPECT_EQ(call.Arg("Mappings"), 0u);
    EXPECT_EQ(call.Bytes("LoginOptions"), ExpectedLoginOptions());
    EXPECT_EQ(call.Arg("KeySize"), 0u);
    EXPECT_EQ(call.Arg("Key"), 0u);
    EXPECT_EQ(call.Arg("IsPersistent"), 0u);
    EXPECT_EQ(call.Arg("UniqueSessionId"), reinterpret_cast<std::uintptr_t>(&sessionId));
    EXPECT_NE(call.Arg("UniqueConnectionId"), 0u);
    EXPECT_NE(call.Arg("UniqueConnectionId"), reinterpret_cast<std::uintptr_t>(&sessionId));
    EXPECT_TRUE(machine.Trace().empty());
}

TEST_F(InitiatorRequests, PersistentRetryDiffersOnlyInThePersistentFlag) {
    machine.loginStatuses = {0xEFFF0010, 0};
    platform::ISCSI_UNIQUE_SESSION_ID sessionId{};
    EXPECT_EQ(task.LoginTarget(kTarget, 0, &sessionId), kLoginFailed);
    EXPECT_EQ(task.LoginTarget(kTarget, 1, &sessionId), kLoginLoggedIn);

    const auto calls = machine.CallsTo("LoginIScsiTargetA");
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[0].Arg("IsPersistent"), 0u);
    EXPECT_EQ(calls[1].Arg("IsPersistent"), 1u);
    // Pointers to the operation's own places may move between calls; the rest may not.
    for (const char *key :
         {"IsInformationalSession", "InitiatorInstance", "InitiatorPortNumber", "TargetPortal",
          "SecurityFlags", "Mappings", "KeySize", "Key", "UniqueSessionId"}) {
        EXPECT_EQ(calls[0].Arg(key), calls[1].Arg(key)) << key;
    }
    EXPECT_EQ(calls[0].strings, calls[1].strings);
    EXPECT_EQ(calls[0].bytes, calls[1].bytes);
}

TEST_F(InitiatorRequests, LoginStatusBecomesTheOutcome) {
    const struct {
        platform::ISDSC_STATUS status;
        LoginOutcome outcome;
    } cases[] = {
        {0, kLoginLoggedIn},
        {0xEFFF003F, kLoginAlreadyLoggedIn},
        // Near misses of the two statuses that count.
        {0xEFFF003E, kLoginFailed},
        {0x0FFF003F, kLoginFailed},
        {0xFFFF003F, kLoginFailed},
        {0x3F, kLoginFailed},
        {122, kLoginFailed},
        {0xEFFF0010, kLoginFailed},
        {0xFFFFFFFF, kLoginFailed},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.status);
        sim::Machine fresh;
        fresh.loginStatuses = {c.status};
        platform::ISCSI_UNIQUE_SESSION_ID sessionId{};
        EXPECT_EQ(task.LoginTarget(kTarget, 0, &sessionId), c.outcome);
        EXPECT_TRUE(fresh.Trace().empty());
    }
}

// --- Session lookup and devices ----------------------------------------------------------

class SessionLookup : public InitiatorRequests {
  protected:
    // Records hold a known pattern, and the last lookup claims three of them.
    DeviceBuffer devices = test::PatternedDevices(3);

    unsigned Find(const std::string &target = kTarget) {
        return task.FindSessionDevices(target, devices);
    }
    platform::ULONG DeviceNumber(std::size_t record) const {
        return devices.records.at(record).StorageDeviceNumber.DeviceNumber;
    }
    bool RecordUntouched(std::size_t record) const {
        return test::BytesOf(devices.records.at(record)) ==
               test::BytesOf(test::PatternedDevices().records.at(record));
    }
};

const std::vector<std::string> kDevicesFound = {"GetSession Error1", "GetSession Error2"};

TEST_F(SessionLookup, OneDiskSessionGivesTheServiceRecordByteForByte) {
    machine.AddSession(kTarget, {2});

    EXPECT_EQ(Find(), 1u);
    EXPECT_EQ(machine.TraceTexts(), kDevicesFound);
    EXPECT_EQ(DeviceNumber(0), 2u);
    EXPECT_EQ(devices.filled, 1u);
    EXPECT_TRUE(RecordUntouched(1));

    const auto sessionId = test::ListedSessionId(machine, kTarget);
    ASSERT_TRUE(sessionId.has_value());
    const auto service = test::ServiceDevices(machine, *sessionId);
    ASSERT_EQ(service.size(), 1u);
    EXPECT_EQ(test::BytesOf(devices.records[0]), test::BytesOf(service[0]));
}

TEST_F(SessionLookup, BothQueriesFollowTheTwoCallProtocol) {
    machine.AddSession("iqn.2026-12.com.example:other", {1});
    machine.AddSession(kTarget, {4, 5});

    EXPECT_EQ(Find(), 2u);

    const auto lists = machine.CallsTo("GetIScsiSessionListA");
    ASSERT_EQ(lists.size(), 2u);
    EXPECT_EQ(lists[0].Arg("BufferSize"), 4u);
    EXPECT_EQ(lists[0].Arg("SessionCount"), 0u);
    // The second call asks with exactly what the first reported.
    const std::size_t needed = 2 * sizeof(platform::ISCSI_SESSION_INFOA) +
                               std::string("iqn.2026-12.com.example:other").size() + 1 +
                               kTarget.size() + 1;
    EXPECT_EQ(lists[1].Arg("BufferSize"), needed);
    EXPECT_EQ(lists[1].Arg("SessionCount"), 2u);

    const auto deviceCalls = machine.CallsTo("GetDevicesForIScsiSessionA");
    ASSERT_EQ(deviceCalls.size(), 2u);
    EXPECT_EQ(deviceCalls[0].Arg("DeviceCount"), 4u);
    EXPECT_EQ(deviceCalls[0].Arg("Devices"), 0u);
    EXPECT_EQ(deviceCalls[1].Arg("DeviceCount"), 2u);
    EXPECT_NE(deviceCalls[1].Arg("Devices"), 0u);

    // The id asked for is the target's, not the first session's.
    const auto sessionId = test::ListedSessionId(machine, kTarget);
    ASSERT_TRUE(sessionId.has_value());
    EXPECT_EQ(deviceCalls[0].Bytes("UniqueSessionId"), test::BytesOf(*sessionId));
    EXPECT_EQ(deviceCalls[1].Bytes("UniqueSessionId"), test::BytesOf(*sessionId));
}

TEST_F(SessionLookup, DevicesKeepTheServicesOrderAndLaterRecordsStay) {
    machine.AddSession(kTarget, {7, 3, 5});
    devices = test::PatternedDevices(5);

    EXPECT_EQ(Find(), 3u);
    EXPECT_EQ(DeviceNumber(0), 7u);
    EXPECT_EQ(DeviceNumber(1), 3u);
    EXPECT_EQ(DeviceNumber(2), 5u);
    EXPECT_TRUE(RecordUntouched(3));
    EXPECT_EQ(devices.filled, 3u);
}

TEST_F(SessionLookup, TargetNameMatchesInAnyLetterCase) {
    machine.AddSession("IQN.2026-12.COM.EXAMPLE:DISK1", {6});
    EXPECT_EQ(Find("iqn.2026-12.com.example:disk1"), 1u);
    EXPECT_EQ(DeviceNumber(0), 6u);

    EXPECT_EQ(Find("Iqn.2026-12.Com.Example:Disk1"), 1u);

    // The alphabet's last letter folds too.
    machine.AddSession("iqn.2026-12.com.example:zz", {8});
    EXPECT_EQ(Find("IQN.2026-12.COM.EXAMPLE:ZZ"), 1u);
    EXPECT_EQ(DeviceNumber(0), 8u);

    // Past the alphabet nothing folds: '~' is not '^', 32 below it.
    machine.AddSession("iqn.2026-12.com.example:disk~", {9});
    EXPECT_EQ(Find("iqn.2026-12.com.example:disk^"), 0u);
    EXPECT_EQ(Find("IQN.2026-12.COM.EXAMPLE:DISK~"), 1u);
    EXPECT_EQ(DeviceNumber(0), 9u);
}

TEST_F(SessionLookup, FirstMatchingSessionWinsAndOthersArePassedOver) {
    machine.AddSession("jqn.2026-12.com.example:disk1", {3});  // only the first letter differs
    machine.AddSession("iqn.2026-12.com.example:disk10", {1}); // longer, not the same name
    machine.AddSession("iqn.2026-12.com.example:disk", {2});   // shorter
    machine.AddSession(kTarget, {4});
    machine.AddSession("IQN.2026-12.com.example:DISK1", {9});

    EXPECT_EQ(Find(), 1u);
    EXPECT_EQ(DeviceNumber(0), 4u);
}

TEST_F(SessionLookup, SessionWithoutTargetNameIsSkipped) {
    sim::SessionSetup nameless;
    nameless.target = kTarget;
    nameless.disks = {1};
    nameless.nullTargetName = true;
    machine.AddSession(nameless);
    machine.AddSession(kTarget, {3});

    EXPECT_EQ(Find(), 1u);
    EXPECT_EQ(DeviceNumber(0), 3u);
}

TEST_F(SessionLookup, MoreThanTheBufferHoldsStoresTheFirst26) {
    std::vector<platform::ULONG> disks;
    for (platform::ULONG disk = 100; disk < 130; ++disk) {
        disks.push_back(disk);
    }
    machine.AddSession(kTarget, disks);

    struct {
        DeviceBuffer devices = test::PatternedDevices();
        std::array<unsigned char, 2 * sizeof(DeviceRecord)> after;
    } guarded;
    guarded.after.fill(0x5A);
    EXPECT_EQ(task.FindSessionDevices(kTarget, guarded.devices), 26u);
    EXPECT_EQ(guarded.devices.filled, 26u);
    for (std::size_t i = 0; i < 26; ++i) {
        EXPECT_EQ(guarded.devices.records[i].StorageDeviceNumber.DeviceNumber, 100 + i);
    }
    for (const unsigned char byte : guarded.after) {
        ASSERT_EQ(byte, 0x5A);
    }
}

TEST_F(SessionLookup, DevicesThatGoAwayBetweenTheCallsCountAsTheSecondCallSays) {
    machine.AddSession(kTarget, {4, 5, 6});
    machine.deviceAnswers = {{}, {std::nullopt, 2u, std::nullopt}};

    EXPECT_EQ(Find(), 2u);
    EXPECT_EQ(DeviceNumber(0), 4u);
    EXPECT_EQ(DeviceNumber(1), 5u);
    EXPECT_TRUE(RecordUntouched(2));
    EXPECT_EQ(devices.filled, 2u);
}

TEST_F(SessionLookup, DevicesShowUpOnALaterCall) {
    sim::SessionSetup session;
    session.target = kTarget;
    session.disks = {2};
    session.devicesFrom = 3000;
    machine.AddSession(session);

    // Listed without devices, the service answers the size query with success.
    EXPECT_EQ(Find(), 0u);
    EXPECT_EQ(machine.TraceTexts(), (std::vector<std::string>{"Error code:0"}));
    machine.Sleep(3000);
    EXPECT_EQ(Find(), 1u);
    EXPECT_EQ(DeviceNumber(0), 2u);
}

// Every way a lookup can come up empty: result 0, the lines the lookup writes for it, and not
// a byte of the caller's buffer changed.
TEST(SessionLookupFailure, LeavesTheDeviceBufferUntouched) {
    using Answer = sim::AnswerOverride;
    const auto withTarget = [](sim::Machine &m) { m.AddSession(kTarget, {2}); };
    const std::vector<std::string> listFailed = {"failed to GetSessionList()"};
    const struct {
        const char *situation;
        std::function<void(sim::Machine &)> arrange;
        std::vector<std::string> trace;
    } cases[] = {
        {"no sessions: the size query answers success", [](sim::Machine &) {}, listFailed},
        {"size query answers another status",
         [&](sim::Machine &m) {
             withTarget(m);
             m.sessionListAnswers = {Answer{0xEFFF0001u, std::nullopt, std::nullopt}};
         },
         listFailed},
        {"the list grows between the two calls",
         [&](sim::Machine &m) {
             withTarget(m);
             m.sessionAddedAfterListQuery = sim::SessionSetup{"iqn.2026-12.com.example:late", {}};
         },
         listFailed},
        {"second list call fails",
         [&](sim::Machine &m) {
             withTarget(m);
             m.sessionListAnswers = {{}, Answer{0x1Fu, std::nullopt, std::nullopt}};
         },
         listFailed},
        {"second list call reports no sessions",
         [&](sim::Machine &m) {
             withTarget(m);
             m.sessionListAnswers = {{}, Answer{std::nullopt, std::nullopt, 0u}};
         },
         {}},
        {"session count does not fit the buffer",
         [&](sim::Machine &m) {
             withTarget(m);
             m.sessionListAnswers = {{}, Answer{std::nullopt, std::nullopt, 1000u}};
         },
         listFailed},
        {"no session of the target",
         [](sim::Machine &m) { m.AddSession("iqn.2026-12.com.example:other", {2}); },
         {}},
        {"device size query answers another status",
         [&](sim::Machine &m) {
             withTarget(m);
             m.deviceAnswers = {Answer{0xEFFF0001u, std::nullopt, std::nullopt}};
         },
         {"Error code:efff0001"}},
        {"second device call fails",
         [&](sim::Machine &m) {
             withTarget(m);
             m.deviceAnswers = {{}, Answer{0x1Fu, std::nullopt, std::nullopt}};
         },
         kDevicesFound},
        {"second device count exceeds what was allocated",
         [&](sim::Machine &m) {
             withTarget(m);
             m.deviceAnswers = {{}, Answer{std::nullopt, 5u, std::nullopt}};
         },
         kDevicesFound},
        {"largest device count whose byte size fits 32 bits is still asked for",
         [&](sim::Machine &m) {
             withTarget(m);
             const auto largest = static_cast<platform::ULONG>(0xFFFFFFFFu / sizeof(DeviceRecord));
             m.deviceAnswers = {Answer{std::nullopt, largest, std::nullopt},
                                Answer{0x1Fu, std::nullopt, std::nullopt}};
         },
         kDevicesFound},
        {"device count whose byte size overflows",
         [&](sim::Machine &m) {
             withTarget(m);
             m.deviceAnswers = {Answer{std::nullopt, 0xFFFFFFFFu, std::nullopt}};
         },
         {"GetSession Error1"}},
        // The devices went between the calls: success with none, which stores nothing.
        {"second device call reports no devices",
         [&](sim::Machine &m) {
             withTarget(m);
             m.deviceAnswers = {{}, Answer{std::nullopt, 0u, std::nullopt}};
         },
         kDevicesFound},
    };

    CMountTask task;
    for (const auto &c : cases) {
        SCOPED_TRACE(c.situation);
        sim::Machine machine;
        c.arrange(machine);
        DeviceBuffer devices = test::PatternedDevices(3);
        const Bytes before = test::BytesOf(devices);

        EXPECT_EQ(task.FindSessionDevices(kTarget, devices), 0u);
        EXPECT_EQ(machine.TraceTexts(), c.trace);
        EXPECT_EQ(test::BytesOf(devices), before);
        EXPECT_TRUE(machine.Faults().empty());

        // Without a sink the same lookup comes up just as empty and writes no line.
        sim::Machine again;
        c.arrange(again);
        EXPECT_EQ(iscsi::FindSessionDevices(kTarget, devices, nullptr), 0u);
        EXPECT_TRUE(again.Trace().empty());
        EXPECT_EQ(test::BytesOf(devices), before);
    }
}

// --- The requests of VxdAttach and VxdDetach ----------------------------------------------

TEST(InitiatorNames, CompareWithoutRegardToLetterCaseOnly) {
    const struct {
        const char *listed;
        const char *wanted;
        bool same;
    } cases[] = {
        {"iqn.2026-12.com.example:disk1", "iqn.2026-12.com.example:disk1", true},
        {"IQN.2026-12.COM.EXAMPLE:DISK1", "iqn.2026-12.com.example:disk1", true},
        {"iqn.2026-12.com.example:zz", "IQN.2026-12.COM.EXAMPLE:ZZ", true},
        {"", "", true},
        {"iqn.2026-12.com.example:disk~", "iqn.2026-12.com.example:disk^", false},
        {"iqn.2026-12.com.example:disk", "iqn.2026-12.com.example:disk1", false},
        {"iqn.2026-12.com.example:disk1", "iqn.2026-12.com.example:disk", false},
        {"jqn.2026-12.com.example:disk1", "iqn.2026-12.com.example:disk1", false},
        {nullptr, "iqn.2026-12.com.example:disk1", false},
        {"iqn.2026-12.com.example:disk1", nullptr, false},
        {nullptr, nullptr, false},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(std::string(c.listed == nullptr ? "null" : c.listed) + " / " +
                     (c.wanted == nullptr ? "null" : c.wanted));
        EXPECT_EQ(iscsi::SameIScsiName(c.listed, c.wanted), c.same);
    }
}

// The statuses that say what became of a request: the service out of reach, or credentials
// refused (every one that docs/api.md names, and the statuses next to them not).
TEST(InitiatorStatuses, TellAnUnreachableServiceAndRefusedCredentials) {
    const struct {
        platform::ISDSC_STATUS status;
        bool unavailable;
        bool refused;
    } cases[] = {
        {0, false, false},
        {0xEFFF003E, true, false}, // ISDSC_SERVICE_NOT_RUNNING
        {1722, true, false},       // RPC_S_SERVER_UNAVAILABLE
        {1721, false, false},
        {1723, false, false},
        {0xEFFF003F, false, false}, // already logged in
        {0xEFFF0009, false, true},  // ISDSC_AUTHENTICATION_FAILURE
        {0xEFFF000A, false, true},  // ISDSC_AUTHORIZATION_FAILURE
        {0xEFFF0028, false, true},  // ISDSC_TARGET_AUTHINFO_UNAVAILABLE
        {0xEFFF002A, false, true},  // ISDSC_LOGIN_USER_INFO_BAD
        {0xEFFF0034, false, true},  // ISDSC_NO_AUTH_INFO_AVAILABLE
        {0xEFFF004A, false, true},  // ISDSC_INVALID_CHAP_SECRET, the first of the range
        {0xEFFF004C, false, true},
        {0xEFFF004E, false, true}, // ISDSC_INVALID_LOGON_AUTH_TYPE, the last of the range
        {0xEFFF0049, false, false},
        {0xEFFF004F, false, false},
        {0xEFFF0029, false, false}, // target not found
        {0xEFFF0002, false, false}, // login failed
        {5, false, false},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.status);
        EXPECT_EQ(iscsi::ServiceUnavailable(c.status), c.unavailable);
        EXPECT_EQ(iscsi::CredentialsRefused(c.status), c.refused);
    }
}

// The session list of VxdAttach and VxdDetach: every session with both of its names, however
// the service answers the two calls.
TEST(InitiatorSessionList, ListsEverySessionWithItsNamesOrTheStatusThatStoppedIt) {
    using Answer = sim::AnswerOverride;
    const struct {
        const char *situation;
        std::function<void(sim::Machine &)> arrange;
        platform::ISDSC_STATUS status;
        std::vector<std::string> names; // each session's "TargetName|TargetNodeName"
        std::size_t calls;
    } cases[] = {
        {"no sessions", [](sim::Machine &) {}, 0, {}, 1},
        {"each name as listed",
         [](sim::Machine &m) {
             m.AddSession(kTarget, {2});
             sim::SessionSetup underNodeName;
             underNodeName.target = kTarget;
             underNodeName.nullTargetName = true;
             underNodeName.nodeName = "IQN.2026-12.COM.EXAMPLE:DISK1";
             m.AddSession(underNodeName);
             sim::SessionSetup both{"iqn.2026-12.com.example:other", {}};
             both.nodeName = "iqn.2026-12.com.example:node";
             m.AddSession(both);
         },
         0,
         {kTarget + "|", "|IQN.2026-12.COM.EXAMPLE:DISK1",
          "iqn.2026-12.com.example:other|iqn.2026-12.com.example:node"},
         2},
        {"the list grows between the calls, once",
         [](sim::Machine &m) {
             m.AddSession(kTarget, {2});
             m.sessionAddedAfterListQuery = sim::SessionSetup{"iqn.2026-12.com.example:late", {}};
         },
         0,
         {kTarget + "|", "iqn.2026-12.com.example:late|"},
         4},
        {"the list grows at every round",
         [](sim::Machine &m) {
             m.AddSession(kTarget, {2});
             const Answer grew{platform::kErrorInsufficientBuffer, std::nullopt, std::nullopt};
             m.sessionListAnswers = {{}, grew, {}, grew, {}, grew};
         },
         platform::kErrorInsufficientBuffer,
         {},
         6},
        {"the first call refused",
         [](sim::Machine &m) {
             m.AddSession(kTarget, {2});
             m.sessionListAnswers = {Answer{0xEFFF003E, std::nullopt, std::nullopt}};
         },
         0xEFFF003E,
         {},
         1},
        {"the second call refused",
         [](sim::Machine &m) {
             m.AddSession(kTarget, {2});
             m.sessionListAnswers = {{}, Answer{0xEFFF0001, std::nullopt, std::nullopt}};
         },
         0xEFFF0001,
         {},
         2},
        {"a count past the records",
         [](sim::Machine &m) {
             m.AddSession(kTarget, {2});
             m.sessionListAnswers = {{}, Answer{std::nullopt, std::nullopt, 1000u}};
         },
         platform::kErrorInvalidData,
         {},
         2},
        {"the second call lists none",
         [](sim::Machine &m) {
             m.AddSession(kTarget, {2});
             m.sessionListAnswers = {{}, Answer{std::nullopt, std::nullopt, 0u}};
         },
         0,
         {},
         2},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.situation);
        sim::Machine machine;
        c.arrange(machine);
        std::vector<iscsi::Session> sessions;
        EXPECT_EQ(iscsi::ListSessions(sessions), c.status);
        std::vector<std::string> names;
        names.reserve(sessions.size());
        for (const iscsi::Session &session : sessions) {
            names.push_back(session.targetName + "|" + session.targetNodeName);
        }
        EXPECT_EQ(names, c.names);
        EXPECT_EQ(machine.CallsTo("GetIScsiSessionListA").size(), c.calls);
        EXPECT_TRUE(machine.Faults().empty());
    }
    // The ids are the service's own, in its order.
    sim::Machine machine;
    machine.AddSession("iqn.2026-12.com.example:other", {1});
    machine.AddSession(kTarget, {2});
    std::vector<iscsi::Session> sessions;
    ASSERT_EQ(iscsi::ListSessions(sessions), 0u);
    ASSERT_EQ(sessions.size(), 2u);
    const auto id = test::ListedSessionId(machine, kTarget);
    ASSERT_TRUE(id.has_value());
    EXPECT_EQ(test::BytesOf(sessions[1].id), test::BytesOf(*id));
}

// A session's disk numbers, added to what the caller holds: each disk once, at most 26.
TEST(InitiatorSessionDisks, AddsEachDiskOnceOrTheStatusThatStoppedIt) {
    using Answer = sim::AnswerOverride;
    std::vector<platform::ULONG> thirty;
    for (platform::ULONG disk = 100; disk < 130; ++disk) {
        thirty.push_back(disk);
    }
    const std::vector<platform::ULONG> first26(thirty.begin(), thirty.begin() + 26);
    const struct {
        const char *situation;
        std::vector<platform::ULONG> disks; // the session's, in the service's order
        std::deque<Answer> answers;
        std::vector<platform::ULONG> held; // the caller's before the call
        platform::ISDSC_STATUS status;
        std::vector<platform::ULONG> after;
    } cases[] = {
        {"in the service's order", {7, 3, 5}, {}, {}, 0, {7, 3, 5}},
        {"a disk on two devices", {4, 4, 5}, {}, {}, 0, {4, 5}},
        {"a disk the caller holds already", {4, 5}, {}, {4}, 0, {4, 5}},
        {"30 disks", thirty, {}, {}, 0, first26},
        {"no devices", {}, {}, {}, 0, {}},
        {"the size query refused",
         {2},
         {Answer{0xEFFF0001, std::nullopt, std::nullopt}},
         {},
         0xEFFF0001,
         {}},
        {"more records than 4 GB hold",
         {2},
         {Answer{std::nullopt, 0xFFFFFFFFu, std::nullopt}},
         {},
         platform::kErrorNotEnoughMemory,
         {}},
        {"the second call refused",
         {2},
         {{}, Answer{0x1Fu, std::nullopt, std::nullopt}},
         {},
         0x1F,
         {}},
        {"more devices at the second call than were allocated",
         {2, 3},
         {{}, Answer{std::nullopt, 3u, std::nullopt}},
         {},
         platform::kErrorInvalidData,
         {}},
        {"fewer devices at the second call",
         {2, 3},
         {{}, Answer{std::nullopt, 1u, std::nullopt}},
         {},
         0,
         {2}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.situation);
        sim::Machine machine;
        machine.AddSession(kTarget, c.disks);
        machine.deviceAnswers = c.answers;
        const auto id = test::ListedSessionId(machine, kTarget);
        ASSERT_TRUE(id.has_value());
        iscsi::SessionDisks disks;
        for (const platform::ULONG disk : c.held) {
            disks.Add(disk, 0);
        }
        EXPECT_EQ(iscsi::AddSessionDisks(*id, disks), c.status);
        EXPECT_EQ(
            std::vector<platform::ULONG>(disks.numbers.begin(),
                                         disks.numbers.begin() + static_cast<long>(disks.count)),
            c.status == 0 ? c.after : c.held);
        EXPECT_TRUE(machine.Faults().empty());
    }
}

// The persistent logins, however the service answers its two calls; the answer's buffer holds
// the logins' credentials, so it is wiped before it goes, and the records keep no pointer to
// it.
TEST(InitiatorPersistentLogins, ListsThemOrTheStatusThatStoppedItAndWipesTheirCredentials) {
    using Answer = sim::AnswerOverride;
    const std::vector<std::uint8_t> password = {'k', 'e', 'p', 't', '-', 's', 'e',
                                                'c', 'r', 'e', 't', '!', '1'};
    const auto keptTwo = [&password](sim::Machine &m) {
        sim::PersistentLogin chap;
        chap.target = kTarget;
        chap.portalAddress = "192.0.2.10";
        chap.portalSocket = 3260;
        chap.username = {'h', 'o', 's', 't'};
        chap.password = password;
        sim::PersistentLogin plain;
        plain.target = "iqn.2026-12.com.example:other";
        plain.initiatorInstance = "ROOT\\ISCSIPRT\\0000_0";
        plain.initiatorPortNumber = 1;
        m.persistentLogins = {chap, plain};
    };
    const Answer grew{platform::kErrorInsufficientBuffer, std::nullopt, std::nullopt};
    const struct {
        const char *situation;
        std::function<void(sim::Machine &)> arrange;
        platform::ISDSC_STATUS status;
        std::size_t listed;
        std::size_t calls;
    } cases[] = {
        {"none kept", [](sim::Machine &) {}, 0, 0, 1},
        {"none kept, answered with success",
         [](sim::Machine &m) {
             m.persistentLoginAnswers = {Answer{0u, std::nullopt, std::nullopt}};
         },
         0, 0, 1},
        {"two kept", keptTwo, 0, 2, 2},
        {"the list grows between the calls, once",
         [&](sim::Machine &m) {
             keptTwo(m);
             m.persistentLoginAnswers = {{}, grew};
         },
         0, 2, 3},
        {"the list grows at every round",
         [&](sim::Machine &m) {
             keptTwo(m);
             m.persistentLoginAnswers = {{}, grew, grew, grew};
         },
         platform::kErrorInsufficientBuffer, 0, 4},
        {"the first call refused",
         [&](sim::Machine &m) {
             keptTwo(m);
             m.persistentLoginAnswers = {Answer{0xEFFF003E, std::nullopt, std::nullopt}};
         },
         0xEFFF003E, 0, 1},
        {"the second call refused",
         [&](sim::Machine &m) {
             keptTwo(m);
             m.persistentLoginAnswers = {{}, Answer{0xEFFF0001, std::nullopt, std::nullopt}};
         },
         0xEFFF0001, 0, 2},
        {"a count past the records",
         [&](sim::Machine &m) {
             keptTwo(m);
             m.persistentLoginAnswers = {{}, Answer{std::nullopt, std::nullopt, 1000u}};
         },
         platform::kErrorInvalidData, 0, 2},
        {"no room on the heap",
         [&](sim::Machine &m) {
             keptTwo(m);
             m.heapBlocksBeforeRefusal = 0;
         },
         platform::kErrorNotEnoughMemory, 0, 1},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.situation);
        sim::Machine machine;
        c.arrange(machine);
        std::vector<platform::PERSISTENT_ISCSI_LOGIN_INFOA> logins;
        EXPECT_EQ(iscsi::ListPersistentLogins(logins), c.status);
        ASSERT_EQ(logins.size(), c.listed);
        EXPECT_EQ(machine.CallsTo("ReportIScsiPersistentLoginsA").size(), c.calls);
        if (c.listed == 2) {
            EXPECT_STREQ(logins[0].TargetName, kTarget.c_str());
            EXPECT_STREQ(logins[0].TargetPortal.Address, "192.0.2.10");
            EXPECT_EQ(logins[0].TargetPortal.Socket, 3260u);
            EXPECT_EQ(logins[0].LoginOptions.UsernameLength, 4u);
            EXPECT_EQ(logins[0].LoginOptions.PasswordLength, password.size());
            EXPECT_STREQ(logins[1].TargetName, "iqn.2026-12.com.example:other");
            EXPECT_STREQ(logins[1].InitiatorInstance, "ROOT\\ISCSIPRT\\0000_0");
            EXPECT_EQ(logins[1].InitiatorPortNumber, 1u);
        }
        for (const platform::PERSISTENT_ISCSI_LOGIN_INFOA &login : logins) {
            EXPECT_EQ(login.LoginOptions.Username, nullptr);
            EXPECT_EQ(login.LoginOptions.Password, nullptr);
        }
        EXPECT_EQ(machine.LiveHeapBlocks(), 0u);
        for (const std::vector<std::uint8_t> &freed : machine.FreedHeapBlocks()) {
            EXPECT_EQ(std::search(freed.begin(), freed.end(), password.begin(), password.end()),
                      freed.end());
        }
        EXPECT_TRUE(machine.Faults().empty());
    }
}

} // namespace
} // namespace vxd
