// Security record, send-target portal and login: one service request each.
#include <cstring>

#include "entry/mount_task.h"
#include "platform/trace.h"

namespace vxd {
namespace {

// Every discovery and login states explicitly that it carries no credentials.
platform::ISCSI_LOGIN_OPTIONS StandardLoginOptions() {
    platform::ISCSI_LOGIN_OPTIONS options;
    std::memset(&options, 0, sizeof options);
    options.Version = 0;
    options.InformationSpecified = kLoginOptionsSpecified;
    options.LoginFlags = 0;
    options.AuthType = platform::ISCSI_NO_AUTH_TYPE;
    options.HeaderDigest = platform::ISCSI_DIGEST_TYPE_NONE;
    options.DataDigest = platform::ISCSI_DIGEST_TYPE_NONE;
    options.MaximumConnections = 0;
    options.DefaultTime2Wait = 0;
    options.DefaultTime2Retain = 0;
    options.UsernameLength = 0;
    options.PasswordLength = 0;
    options.Username = nullptr;
    options.Password = nullptr;
    return options;
}

} // namespace

int CMountTask::SetPsKey(const std::string &portalAddress) const {
    // Text that is no IPv4 address gives all ones, which is still sent as the identity.
    const std::uint32_t address = platform::inet_addr(portalAddress.c_str());
    platform::UCHAR id[kIkeIdLength];
    std::memcpy(id, &address, sizeof id);

    platform::IKE_AUTHENTICATION_INFORMATION info;
    std::memset(&info, 0, sizeof info);
    info.AuthMethod = platform::IKE_AUTHENTICATION_PRESHARED_KEY_METHOD;
    info.PsKey.SecurityFlags = kIkeSecurityFlagsValid;
    info.PsKey.IdType = kIkeIdTypeIpv4Address;
    info.PsKey.IdLengthInBytes = kIkeIdLength;
    info.PsKey.Id = id;
    info.PsKey.KeyLengthInBytes = 0;
    info.PsKey.Key = nullptr;

    const platform::ISDSC_STATUS status =
        platform::SetIScsiIKEInfoA(nullptr, kAllInitiatorPorts, &info, 1);
    if (status != 0) {
        // The request goes on without the record; the line tells an administrator why.
        Trace(Format("SetPsKey ERROR CODE:%x", static_cast<unsigned>(status)));
        return 0;
    }
    return 1;
}

int CMountTask::AddTargetPortal(const std::string &portalAddress, int port) const {
    platform::ISCSI_TARGET_PORTALA portal;
    std::memset(&portal, 0, sizeof portal);
    portal.SymbolicName[0] = '\0';
    // At most 255 characters: the field's last byte stays NUL.
    const std::size_t length = portalAddress.copy(portal.Address, sizeof portal.Address - 1);
    portal.Address[length] = '\0';
    portal.Socket = static_cast<platform::USHORT>(static_cast<unsigned>(port) & 0xFFFFu);

    platform::ISCSI_LOGIN_OPTIONS options = StandardLoginOptions();
    const platform::ISDSC_STATUS status =
        platform::AddIScsiSendTargetPortalA(nullptr, kAllInitiatorPorts, &options, 0, &portal);
    return status == 0 ? 1 : 0;
}

LoginOutcome CMountTask::LoginTarget(const std::string &targetName, int persistent,
                                     platform::ISCSI_UNIQUE_SESSION_ID *sessionId) const {
    platform::ISCSI_LOGIN_OPTIONS options = StandardLoginOptions();
    platform::ISCSI_UNIQUE_CONNECTION_ID connectionId;
    std::memset(&connectionId, 0, sizeof connectionId);
    // The service's parameter is not const; it only reads the name.
    std::string name = targetName;

    const platform::ISDSC_STATUS status = platform::LoginIScsiTargetA(
        &name[0], 0, nullptr, kAllInitiatorPorts, nullptr, 0, nullptr, &options, 0, nullptr,
        static_cast<platform::BOOLEAN>(persistent), sessionId, &connectionId);
    if (status == platform::kStatusTargetAlreadyLoggedIn) {
        return kLoginAlreadyLoggedIn;
    }
    if (status == 0) {
        return kLoginLoggedIn;
    }
    return kLoginFailed;
}

} // namespace vxd
