// The initiator client: records, constants and results of the requests to the iSCSI
// discovery service (security record, portal, login, sessions and their devices).
#pragma once

#include <array>
#include <cstddef>

#include "platform/platform.h"

namespace vxd {

// Result of a login: the integer values are part of the trace ("after Connection 32").
using LoginOutcome = int;
constexpr LoginOutcome kLoginFailed = 0;
constexpr LoginOutcome kLoginAlreadyLoggedIn = 16;
constexpr LoginOutcome kLoginLoggedIn = 32;

// The service's default initiator on all of its ports.
constexpr platform::ULONG kAllInitiatorPorts = 0xFFFFFFFF;

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

// The mount procedure's device buffer. `filled` is the number of records the latest
// successful lookup stored; records past it hold nothing anybody should compare.
struct DeviceBuffer {
    std::array<DeviceRecord, kDeviceBufferCapacity> records;
    std::size_t filled = 0;
};

} // namespace vxd
