// Security record, send-target portal and login: one service request each.
#include <cstring>

#include "iscsi/initiator_client.h"

namespace vxd::iscsi {

platform::ISDSC_STATUS SetPresharedKeyRecord(const std::string &portalAddress) {
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

    return platform::SetIScsiIKEInfoA(nullptr, platform::kAllInitiatorPorts, &info, 1);
}

platform::ISDSC_STATUS AddSendTargetPortal(const std::string &portalAddress, int port) {
    return AddSendTargetPortal(portalAddress, port, LoginOptionsWithoutCredentials());
}

platform::ISCSI_TARGET_PORTALA PortalRecord(const std::string &portalAddress, int port) {
    platform::ISCSI_TARGET_PORTALA portal;
    std::memset(&portal, 0, sizeof portal);
    portal.SymbolicName[0] = '\0';
    // At most 255 characters: the field's last byte stays NUL.
    const std::size_t length = portalAddress.copy(portal.Address, sizeof portal.Address - 1);
    portal.Address[length] = '\0';
    portal.Socket = static_cast<platform::USHORT>(static_cast<unsigned>(port) & 0xFFFFu);
    return portal;
}

namespace {

// The service's parameter is not const; it only reads the instance name. Null: any initiator.
char *InstanceArgument(std::string &copy) { return copy.empty() ? nullptr : &copy[0]; }

} // namespace

platform::ISDSC_STATUS AddSendTargetPortal(const std::string &portalAddress, int port,
                                           const platform::ISCSI_LOGIN_OPTIONS &options,
                                           const InitiatorPort &initiator) {
    platform::ISCSI_TARGET_PORTALA portal = PortalRecord(portalAddress, port);

    // The service's parameter is not const; it only reads the options.
    platform::ISCSI_LOGIN_OPTIONS sent = options;
    std::string instance = initiator.instance;
    return platform::AddIScsiSendTargetPortalA(InstanceArgument(instance), initiator.port, &sent, 0,
                                               &portal);
}

platform::ISDSC_STATUS LoginToTarget(const std::string &targetName, bool persistent,
                                     platform::ISCSI_UNIQUE_SESSION_ID *sessionId) {
    return LoginToTarget(targetName, persistent, sessionId, LoginOptionsWithoutCredentials());
}

platform::ISDSC_STATUS LoginToTarget(const std::string &targetName, bool persistent,
                                     platform::ISCSI_UNIQUE_SESSION_ID *sessionId,
                                     const platform::ISCSI_LOGIN_OPTIONS &loginOptions,
                                     const InitiatorPort &initiator) {
    platform::ISCSI_LOGIN_OPTIONS options = loginOptions;
    platform::ISCSI_UNIQUE_CONNECTION_ID connectionId;
    std::memset(&connectionId, 0, sizeof connectionId);
    // The service's parameter is not const; it only reads the name.
    std::string name = targetName;
    std::string instance = initiator.instance;
    return platform::LoginIScsiTargetA(&name[0], 0, InstanceArgument(instance), initiator.port,
                                       nullptr, 0, nullptr, &options, 0, nullptr,
                                       persistent ? 1 : 0, sessionId, &connectionId);
}

platform::ISDSC_STATUS LoginThroughPortal(const std::string &targetName,
                                          const std::string &portalAddress, int port,
                                          bool persistent,
                                          platform::ISCSI_UNIQUE_SESSION_ID *sessionId,
                                          const platform::ISCSI_LOGIN_OPTIONS &loginOptions,
                                          const InitiatorPort &initiator) {
    platform::ISCSI_LOGIN_OPTIONS options = loginOptions;
    options.LoginFlags |= platform::ISCSI_LOGIN_FLAG_MULTIPATH_ENABLED;
    platform::ISCSI_TARGET_PORTALA portal = PortalRecord(portalAddress, port);
    platform::ISCSI_UNIQUE_CONNECTION_ID connectionId;
    std::memset(&connectionId, 0, sizeof connectionId);
    std::string name = targetName;
    std::string instance = initiator.instance;
    return platform::LoginIScsiTargetA(&name[0], 0, InstanceArgument(instance), initiator.port,
                                       &portal, 0, nullptr, &options, 0, nullptr,
                                       persistent ? 1 : 0, sessionId, &connectionId);
}

LoginOutcome OutcomeOfLogin(platform::ISDSC_STATUS status) {
    if (status == platform::kStatusTargetAlreadyLoggedIn) {
        return kLoginAlreadyLoggedIn;
    }
    if (status == 0) {
        return kLoginLoggedIn;
    }
    return kLoginFailed;
}

platform::ISDSC_STATUS SetInitiatorChapSecret(platform::UCHAR *secret, platform::ULONG length) {
    return platform::SetIScsiInitiatorCHAPSharedSecret(length, secret);
}

bool ServiceUnavailable(platform::ISDSC_STATUS status) {
    // The library reaches the service through RPC: a stopped service can answer either way.
    return status == platform::kStatusServiceNotRunning ||
           status == platform::kRpcServerUnavailable;
}

bool CredentialsRefused(platform::ISDSC_STATUS status) {
    // Which of these a target answers for a wrong secret is not documented: all of them mean
    // that the credentials, or their absence, were refused.
    return status == platform::kStatusAuthenticationFailure ||
           status == platform::kStatusAuthorizationFailure ||
           status == platform::kStatusTargetAuthInfoUnavailable ||
           status == platform::kStatusLoginUserInfoBad ||
           status == platform::kStatusNoAuthInfoAvailable ||
           (status >= platform::kStatusFirstInvalidChap &&
            status <= platform::kStatusLastInvalidChap);
}

} // namespace vxd::iscsi
