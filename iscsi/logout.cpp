// Taking a target away: its sessions' logout, its persistent logins, its portal.
#include <cstring>

#include "iscsi/initiator_client.h"
#include "platform/secret_buffer.h"

namespace vxd::iscsi {

platform::ISDSC_STATUS LogoutSession(platform::ISCSI_UNIQUE_SESSION_ID sessionId) {
    return platform::LogoutIScsiTarget(&sessionId);
}

platform::ISDSC_STATUS
ListPersistentLogins(std::vector<platform::PERSISTENT_ISCSI_LOGIN_INFOA> &logins) {
    platform::ULONG count = 0;
    platform::ULONG bufferSize = 0;
    platform::ISDSC_STATUS status =
        platform::ReportIScsiPersistentLoginsA(&count, nullptr, &bufferSize);
    if (status == 0 || (status == platform::kErrorInsufficientBuffer && bufferSize == 0)) {
        return 0; // none kept
    }
    // The list may grow between the two calls; a few rounds settle it. The answer may carry
    // the logins' CHAP credentials behind the records, so its buffer is wiped when it goes.
    for (int round = 0; round < 3 && status == platform::kErrorInsufficientBuffer; ++round) {
        SecretBuffer buffer;
        if (!buffer.Allocate(bufferSize)) {
            return platform::kErrorNotEnoughMemory;
        }
        auto *records = reinterpret_cast<platform::PERSISTENT_ISCSI_LOGIN_INFOA *>(buffer.Data());
        status = platform::ReportIScsiPersistentLoginsA(&count, records, &bufferSize);
        if (status == 0) {
            const std::size_t fit = buffer.Size() / sizeof(platform::PERSISTENT_ISCSI_LOGIN_INFOA);
            if (count > fit) {
                return platform::kErrorInvalidData;
            }
            logins.assign(records, records + count);
            // What the credentials pointed at is gone with the buffer.
            for (platform::PERSISTENT_ISCSI_LOGIN_INFOA &login : logins) {
                login.LoginOptions.Username = nullptr;
                login.LoginOptions.Password = nullptr;
            }
        }
    }
    return status;
}

platform::ISDSC_STATUS RemovePersistentLogin(const platform::PERSISTENT_ISCSI_LOGIN_INFOA &login) {
    // The service's parameters are not const; it only reads them. Each is fed back as the
    // service reported it, so that exactly this login goes.
    platform::PERSISTENT_ISCSI_LOGIN_INFOA copy;
    std::memcpy(&copy, &login, sizeof copy);
    copy.TargetName[sizeof copy.TargetName - 1] = '\0';
    copy.InitiatorInstance[sizeof copy.InitiatorInstance - 1] = '\0';
    char *instance = copy.InitiatorInstance[0] == '\0' ? nullptr : copy.InitiatorInstance;
    return platform::RemoveIScsiPersistentTargetA(instance, copy.InitiatorPortNumber,
                                                  copy.TargetName, &copy.TargetPortal);
}

platform::ISDSC_STATUS RemoveSendTargetPortal(const std::string &portalAddress, int port) {
    platform::ISCSI_TARGET_PORTALA portal = PortalRecord(portalAddress, port);
    return platform::RemoveIScsiSendTargetPortalA(nullptr, platform::kAllInitiatorPorts, &portal);
}

} // namespace vxd::iscsi
