// The initiator client: the requests to Windows' iSCSI discovery service, as free functions
// that every export of the library uses. Each builds its records from its arguments, makes its
// service calls and reports what the service answered; retries, pacing and the meaning of a
// result are the caller's.
#pragma once

#include <array>
#include <cstddef>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "platform/trace.h"

namespace vxd {

// Result of a login: the integer values are part of the trace ("after Connection 32").
using LoginOutcome = int;
constexpr LoginOutcome kLoginFailed = 0;
constexpr LoginOutcome kLoginAlreadyLoggedIn = 16;
constexpr LoginOutcome kLoginLoggedIn = 32;

// Login options: AuthType, Password and Username marked as specified, all of them empty.
constexpr platform::ULONG kLoginOptionsSpecified = platform::ISCSI_LOGIN_OPTIONS_AUTH_TYPE |
                                                   platform::ISCSI_LOGIN_OPTIONS_PASSWORD |
                                                   platform::ISCSI_LOGIN_OPTIONS_USERNAME;

// IKE security record: the flags are only marked valid; the identity is an IPv4 address.
constexpr platform::ULONGLONG kIkeSecurityFlagsValid = 1;
constexpr platform::UCHAR kIkeIdTypeIpv4Address = 1;
constexpr platform::ULONG kIkeIdLength = 4;

using DeviceRecord = platform::ISCSI_DEVICE_ON_SESSIONA;
constexpr std::size_t kDeviceBufferCapacity = 26;

// A caller's device buffer. `filled` is the number of records the latest successful lookup
// stored; records past it hold nothing anybody should compare.
struct DeviceBuffer {
    std::array<DeviceRecord, kDeviceBufferCapacity> records;
    std::size_t filled = 0;
};

namespace iscsi {

// Login options that state that the login carries no user name, password or authentication.
platform::ISCSI_LOGIN_OPTIONS LoginOptionsWithoutCredentials();

// Login options with CHAP: `type` one-way or mutual, the user name and the secret as byte
// buffers with their lengths. The options point at the caller's buffers, which must outlive
// them; the service only reads through the pointers.
platform::ISCSI_LOGIN_OPTIONS LoginOptionsWithChap(platform::ISCSI_AUTH_TYPES type,
                                                   platform::UCHAR *user,
                                                   platform::ULONG userLength,
                                                   platform::UCHAR *secret,
                                                   platform::ULONG secretLength);

// Sets the machine's CHAP secret, the one that every target answers mutual CHAP with.
platform::ISDSC_STATUS SetInitiatorChapSecret(platform::UCHAR *secret, platform::ULONG length);

// The portal's IKE record: pre-shared-key method, empty key, the portal's IPv4 address as the
// identity (all ones for text that is no IPv4 address), kept by the service.
platform::ISDSC_STATUS SetPresharedKeyRecord(const std::string &portalAddress);

// A portal's record: `port` as its low 16 bits, the address as its first 255 characters.
platform::ISCSI_TARGET_PORTALA PortalRecord(const std::string &portalAddress, int port);

// The initiator that a registration or a login goes through: an initiator (HBA) instance and
// one of its ports, or, with no instance, whichever the service picks.
struct InitiatorPort {
    std::string instance;
    platform::ULONG port = platform::kAllInitiatorPorts;
};

// The portal among the initiator's send-target portals.
platform::ISDSC_STATUS AddSendTargetPortal(const std::string &portalAddress, int port);
platform::ISDSC_STATUS AddSendTargetPortal(const std::string &portalAddress, int port,
                                           const platform::ISCSI_LOGIN_OPTIONS &options,
                                           const InitiatorPort &initiator = InitiatorPort());

// A login to the target by name, through whatever portal the service picks.
platform::ISDSC_STATUS LoginToTarget(const std::string &targetName, bool persistent,
                                     platform::ISCSI_UNIQUE_SESSION_ID *sessionId);
platform::ISDSC_STATUS LoginToTarget(const std::string &targetName, bool persistent,
                                     platform::ISCSI_UNIQUE_SESSION_ID *sessionId,
                                     const platform::ISCSI_LOGIN_OPTIONS &options,
                                     const InitiatorPort &initiator = InitiatorPort());

// A login to the target through one portal, as one of its paths: the login options' flags
// enable multipath, so that the service makes a session beside those the target has.
platform::ISDSC_STATUS
LoginThroughPortal(const std::string &targetName, const std::string &portalAddress, int port,
                   bool persistent, platform::ISCSI_UNIQUE_SESSION_ID *sessionId,
                   const platform::ISCSI_LOGIN_OPTIONS &options, const InitiatorPort &initiator);

// The outcome that a login's status means: already logged in, logged in now, or failed.
LoginOutcome OutcomeOfLogin(platform::ISDSC_STATUS status);

// The devices of the first session listed for the target (names compared without regard to
// case), stored at the start of `devices`: their number, 0 when neither the session nor its
// devices are to be had. `trace` receives the lookup's lines; null writes none.
unsigned FindSessionDevices(const std::string &targetName, DeviceBuffer &devices, TraceSink trace);

// The devices of one session, as above.
unsigned GetSessionDevices(platform::ISCSI_UNIQUE_SESSION_ID sessionId, DeviceBuffer &devices,
                           TraceSink trace);

// iSCSI names compare without regard to case, as the service compares them.
bool SameIScsiName(const char *listed, const char *wanted);

// One session of the initiator's list: its id and the names it is listed under (either may be
// empty; published code disagrees on which of the two holds the target's name).
struct Session {
    platform::ISCSI_UNIQUE_SESSION_ID id{};
    std::string targetName;
    std::string targetNodeName;
    // The portal its first connection goes to, the path it took; empty when it lists none.
    std::string portalAddress;
    int portalSocket = 0;
};

// Whether a session is one of `target`'s, under either of its names.
bool IsSessionOf(const Session &session, const std::string &target);

// Every session that the initiator lists, in its order.
platform::ISDSC_STATUS ListSessions(std::vector<Session> &sessions);

// The disk numbers of a session's devices, in the service's order, each once, at most 26, with
// the LUN of each.
struct SessionDisks {
    std::array<platform::ULONG, kDeviceBufferCapacity> numbers{};
    std::array<platform::ULONG, kDeviceBufferCapacity> luns{};
    std::size_t count = 0;
    void Add(platform::ULONG disk, platform::ULONG lun);
    bool Has(platform::ULONG disk) const;
};
// Any LUN: AddSessionDisks takes every device.
constexpr platform::ULONG kAnyLun = ~platform::ULONG{0};
// Adds the session's devices, those of `lun` alone unless kAnyLun; `added` counts the devices
// that matched, already known or not.
platform::ISDSC_STATUS AddSessionDisks(platform::ISCSI_UNIQUE_SESSION_ID sessionId,
                                       SessionDisks &disks, platform::ULONG lun = kAnyLun,
                                       std::size_t *added = nullptr);

// Logs a session out; the service refuses while a device on it is in use.
platform::ISDSC_STATUS LogoutSession(platform::ISCSI_UNIQUE_SESSION_ID sessionId);

// The persistent logins that the initiator keeps, as it reports them.
platform::ISDSC_STATUS
ListPersistentLogins(std::vector<platform::PERSISTENT_ISCSI_LOGIN_INFOA> &logins);

// Removes one persistent login, named as the service reported it.
platform::ISDSC_STATUS RemovePersistentLogin(const platform::PERSISTENT_ISCSI_LOGIN_INFOA &login);

// Removes the portal from the initiator's send-target portals.
platform::ISDSC_STATUS RemoveSendTargetPortal(const std::string &portalAddress, int port);

// The targets the initiator knows, in its order; `refresh` asks every portal again first.
platform::ISDSC_STATUS ReportTargets(bool refresh, std::vector<std::string> &targets);

// Whether the initiator reaches `target` through the portal.
platform::ISDSC_STATUS ReachesTarget(const std::string &target, const std::string &portalAddress,
                                     int port, bool &reaches);

// Whether the portal is among the send-target portals.
platform::ISDSC_STATUS PortalRegistered(const std::string &portalAddress, int port,
                                        bool &registered);

// Whether a status means that the service, or the way to it, is not there at all.
bool ServiceUnavailable(platform::ISDSC_STATUS status);

// Whether a status means that the target refused the login's credentials, or their absence.
bool CredentialsRefused(platform::ISDSC_STATUS status);

} // namespace iscsi
} // namespace vxd
