// The rules of the iSCSI initiator service that both of its players follow: the simulated
// machine of the runner and the tests, and the test kit that plays the service under Windows.
// Each keeps its own state; these say what a call does to that state and what it answers, so
// that a scenario means the same to both.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "platform/iscsi_discovery.h"

namespace vxd::sim {

using platform::ISDSC_STATUS;
using platform::ULONG;

// A persistent login, as the service keeps it and lists it.
struct PersistentLogin {
    std::string target;
    std::string initiatorInstance;
    ULONG initiatorPortNumber = platform::kAllInitiatorPorts;
    std::string portalAddress; // empty: none was named
    platform::USHORT portalSocket = 0;
    platform::ISCSI_LOGIN_OPTIONS loginOptions{};
    // The credentials the login carried, which the service keeps for the next boot and hands
    // back behind the records when it lists its persistent logins.
    std::vector<std::uint8_t> username;
    std::vector<std::uint8_t> password;
};

// CHAP credentials that a target (or a portal, for discovery) demands.
struct Chap {
    std::string user;
    std::vector<std::uint8_t> secret;
};

// What a target that demands `demanded` answers a login's options: 0 for the right user name
// and secret with one-way or mutual CHAP, else ISDSC_AUTHENTICATION_FAILURE. Mutual CHAP needs
// the machine's secret (`machineSecret`; ISDSC_INVALID_INITIATOR_CHAP_SECRET without one) and,
// where the target holds one for this initiator (`targetInitiatorSecret`), that very secret.
ISDSC_STATUS CheckCredentials(const platform::ISCSI_LOGIN_OPTIONS *options, const Chap &demanded,
                              const std::vector<std::uint8_t> *targetInitiatorSecret,
                              const std::vector<std::uint8_t> &machineSecret);

// A send-target portal, as the service keeps it.
struct Portal {
    std::string address;
    platform::USHORT socket = 0;
};

// The answer of one of successive calls, after `earlier` calls: each takes the next status, the
// last repeats, and with none given every call answers 0.
template <typename Status>
Status SuccessiveAnswer(const std::vector<Status> &statuses, std::size_t earlier) {
    return statuses.empty() ? Status{0} : statuses[std::min(earlier, statuses.size() - 1)];
}

// iSCSI names compare without regard to letter case.
bool SameNameIgnoringCase(const std::string &a, const std::string &b);

// The machine's one initiator instance; a registration or a login that names another is
// answered ISDSC_INITIATOR_INSTANCE_NOT_FOUND. Null names none: any initiator.
constexpr char kInitiatorInstance[] = "ROOT\\ISCSIPRT\\0000_0";
ISDSC_STATUS InitiatorStatus(const char *initiatorInstance);

// A portal record's address, which fills its field without a NUL at most.
std::string AddressOf(const platform::ISCSI_TARGET_PORTALA &portal);

// The persistent login that a login with IsPersistent makes, from its arguments; all but the
// target's name may be null.
PersistentLogin PersistentLoginOf(const char *targetName, const char *initiatorInstance,
                                  ULONG initiatorPortNumber,
                                  const platform::ISCSI_TARGET_PORTALA *targetPortal,
                                  const platform::ISCSI_LOGIN_OPTIONS *loginOptions);

// ReportIScsiPersistentLoginsA, in two calls: without a buffer, or with one too small, 122
// with the count and the size needed; then the records, and behind them the credentials they
// point at. `count` and `bufferSizeInBytes` are
// not null.
ISDSC_STATUS ReportPersistentLogins(const std::vector<PersistentLogin> &logins, ULONG *count,
                                    platform::PERSISTENT_ISCSI_LOGIN_INFOA *records,
                                    ULONG *bufferSizeInBytes);

// RemoveIScsiPersistentTargetA: removes every login of the target (in any letter case) whose
// initiator instance (null: any), port number (kAllInitiatorPorts: any) and portal (null: any)
// match; ISDSC_COULD_NOT_REMOVE_PERSISTENT_LOGIN_DATA when none did. `targetName` is not null.
ISDSC_STATUS RemovePersistentLogins(std::vector<PersistentLogin> &logins,
                                    const char *initiatorInstance, ULONG initiatorPortNumber,
                                    const char *targetName,
                                    const platform::ISCSI_TARGET_PORTALA *portal);

// AddIScsiSendTargetPortalA answered with 0 registers its portal, once.
void RegisterPortal(std::vector<Portal> &portals, const platform::ISCSI_TARGET_PORTALA &portal);

// Discovery. `offered` holds the targets each portal offers, by its address. The initiator
// knows `known` first, then each registered portal's targets, in the order the portals were
// registered, each name once (letter case aside).
using PortalTargets = std::map<std::string, std::vector<std::string>>;
std::vector<std::string> KnownTargets(const std::vector<std::string> &known,
                                      const std::vector<Portal> &portals,
                                      const PortalTargets &offered);
// The registered portals that offer `target`, in registration order.
std::vector<Portal> PortalsOffering(const std::string &target, const std::vector<Portal> &portals,
                                    const PortalTargets &offered);

// RemoveIScsiSendTargetPortalA: 0 and the portal gone when it was registered, else
// ISDSC_PORTAL_NOT_FOUND.
ISDSC_STATUS UnregisterPortal(std::vector<Portal> &portals,
                              const platform::ISCSI_TARGET_PORTALA &portal);

} // namespace vxd::sim
