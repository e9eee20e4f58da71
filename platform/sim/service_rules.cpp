#include "platform/sim/service_rules.h"

#include <cctype>
#include <cstring>

namespace vxd::sim {
namespace {

template <std::size_t N> void CopyText(char (&field)[N], const std::string &text) {
    const std::size_t length = std::min(text.size(), N - 1);
    std::memcpy(field, text.data(), length);
    field[length] = '\0';
}

bool SamePortal(const Portal &known, const platform::ISCSI_TARGET_PORTALA &portal) {
    return known.address == AddressOf(portal) && known.socket == portal.Socket;
}

constexpr ISDSC_STATUS kStatusInvalidInitiatorChapSecret = 0xEFFF004C;

} // namespace

ISDSC_STATUS InitiatorStatus(const char *initiatorInstance) {
    return initiatorInstance == nullptr ||
                   SameNameIgnoringCase(initiatorInstance, kInitiatorInstance)
               ? 0
               : platform::kStatusInitiatorInstanceNotFound;
}

bool SameNameIgnoringCase(const std::string &a, const std::string &b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) ==
                      std::tolower(static_cast<unsigned char>(y));
           });
}

std::string AddressOf(const platform::ISCSI_TARGET_PORTALA &portal) {
    return std::string(portal.Address, strnlen(portal.Address, sizeof portal.Address));
}

PersistentLogin PersistentLoginOf(const char *targetName, const char *initiatorInstance,
                                  ULONG initiatorPortNumber,
                                  const platform::ISCSI_TARGET_PORTALA *targetPortal,
                                  const platform::ISCSI_LOGIN_OPTIONS *loginOptions) {
    PersistentLogin login;
    login.target = targetName;
    login.initiatorInstance = initiatorInstance == nullptr ? std::string() : initiatorInstance;
    login.initiatorPortNumber = initiatorPortNumber;
    if (targetPortal != nullptr) {
        login.portalAddress = AddressOf(*targetPortal);
        login.portalSocket = targetPortal->Socket;
    }
    if (loginOptions != nullptr) {
        login.loginOptions = *loginOptions;
        if (loginOptions->Username != nullptr) {
            login.username.assign(loginOptions->Username,
                                  loginOptions->Username + loginOptions->UsernameLength);
        }
        if (loginOptions->Password != nullptr) {
            login.password.assign(loginOptions->Password,
                                  loginOptions->Password + loginOptions->PasswordLength);
        }
    }
    return login;
}

ISDSC_STATUS CheckCredentials(const platform::ISCSI_LOGIN_OPTIONS *options, const Chap &demanded,
                              const std::vector<std::uint8_t> *targetInitiatorSecret,
                              const std::vector<std::uint8_t> &machineSecret) {
    // Compared where they lie: no copy of a secret is made, so none is left behind unwiped.
    const auto same = [](const platform::UCHAR *data, ULONG length, const auto &expected) {
        return data != nullptr && length == expected.size() &&
               std::equal(expected.begin(), expected.end(), data,
                          [](auto want, platform::UCHAR got) {
                              return static_cast<platform::UCHAR>(want) == got;
                          });
    };
    if (options == nullptr ||
        (options->AuthType != platform::ISCSI_CHAP_AUTH_TYPE &&
         options->AuthType != platform::ISCSI_MUTUAL_CHAP_AUTH_TYPE) ||
        (options->InformationSpecified & platform::ISCSI_LOGIN_OPTIONS_AUTH_TYPE) == 0) {
        return platform::kStatusAuthenticationFailure;
    }
    if (!same(options->Username, options->UsernameLength, demanded.user) ||
        !same(options->Password, options->PasswordLength, demanded.secret)) {
        return platform::kStatusAuthenticationFailure;
    }
    if (options->AuthType == platform::ISCSI_MUTUAL_CHAP_AUTH_TYPE) {
        if (machineSecret.empty()) {
            return kStatusInvalidInitiatorChapSecret;
        }
        // The target proves itself with the secret it holds for this initiator.
        if (targetInitiatorSecret != nullptr && *targetInitiatorSecret != machineSecret) {
            return platform::kStatusAuthenticationFailure;
        }
    }
    return 0;
}

ISDSC_STATUS ReportPersistentLogins(const std::vector<PersistentLogin> &logins, ULONG *count,
                                    platform::PERSISTENT_ISCSI_LOGIN_INFOA *records,
                                    ULONG *bufferSizeInBytes) {
    std::size_t needed = logins.size() * sizeof(platform::PERSISTENT_ISCSI_LOGIN_INFOA);
    for (const PersistentLogin &login : logins) {
        needed += login.username.size() + login.password.size();
    }
    *count = static_cast<ULONG>(logins.size());
    if (records == nullptr || *bufferSizeInBytes < needed) {
        *bufferSizeInBytes = static_cast<ULONG>(needed);
        return platform::kErrorInsufficientBuffer;
    }
    auto *credentials = reinterpret_cast<platform::UCHAR *>(records) +
                        logins.size() * sizeof(platform::PERSISTENT_ISCSI_LOGIN_INFOA);
    const auto place = [&credentials](const std::vector<std::uint8_t> &bytes) {
        platform::UCHAR *placed = bytes.empty() ? nullptr : credentials;
        std::copy(bytes.begin(), bytes.end(), credentials);
        credentials += bytes.size();
        return placed;
    };
    for (std::size_t i = 0; i < logins.size(); ++i) {
        const PersistentLogin &from = logins[i];
        platform::PERSISTENT_ISCSI_LOGIN_INFOA record;
        std::memset(&record, 0, sizeof record);
        CopyText(record.TargetName, from.target);
        record.IsInformationalSession = 0;
        CopyText(record.InitiatorInstance, from.initiatorInstance);
        record.InitiatorPortNumber = from.initiatorPortNumber;
        CopyText(record.TargetPortal.Address, from.portalAddress);
        record.TargetPortal.Socket = from.portalSocket;
        record.SecurityFlags = 0;
        record.Mappings = nullptr;
        record.LoginOptions = from.loginOptions;
        // The service keeps no pointers of the caller's: its own copies come behind the records.
        record.LoginOptions.Username = place(from.username);
        record.LoginOptions.UsernameLength = static_cast<ULONG>(from.username.size());
        record.LoginOptions.Password = place(from.password);
        record.LoginOptions.PasswordLength = static_cast<ULONG>(from.password.size());
        std::memcpy(&records[i], &record, sizeof record);
    }
    *bufferSizeInBytes = static_cast<ULONG>(needed);
    return 0;
}

ISDSC_STATUS RemovePersistentLogins(std::vector<PersistentLogin> &logins,
                                    const char *initiatorInstance, ULONG initiatorPortNumber,
                                    const char *targetName,
                                    const platform::ISCSI_TARGET_PORTALA *portal) {
    const auto matches = [&](const PersistentLogin &login) {
        return SameNameIgnoringCase(login.target, targetName) &&
               (initiatorInstance == nullptr || login.initiatorInstance == initiatorInstance) &&
               (initiatorPortNumber == platform::kAllInitiatorPorts ||
                login.initiatorPortNumber == initiatorPortNumber) &&
               (portal == nullptr || (login.portalAddress == AddressOf(*portal) &&
                                      login.portalSocket == portal->Socket));
    };
    const std::size_t before = logins.size();
    logins.erase(std::remove_if(logins.begin(), logins.end(), matches), logins.end());
    return logins.size() == before ? platform::kStatusCouldNotRemovePersistentLoginData : 0;
}

void RegisterPortal(std::vector<Portal> &portals, const platform::ISCSI_TARGET_PORTALA &portal) {
    if (std::none_of(portals.begin(), portals.end(),
                     [&portal](const Portal &known) { return SamePortal(known, portal); })) {
        portals.push_back(Portal{AddressOf(portal), portal.Socket});
    }
}

ISDSC_STATUS UnregisterPortal(std::vector<Portal> &portals,
                              const platform::ISCSI_TARGET_PORTALA &portal) {
    const auto known = std::find_if(portals.begin(), portals.end(),
                                    [&portal](const Portal &p) { return SamePortal(p, portal); });
    if (known == portals.end()) {
        return platform::kStatusPortalNotFound;
    }
    portals.erase(known);
    return 0;
}

std::vector<std::string> KnownTargets(const std::vector<std::string> &known,
                                      const std::vector<Portal> &portals,
                                      const PortalTargets &offered) {
    std::vector<std::string> targets;
    const auto add = [&targets](const std::string &target) {
        if (std::none_of(targets.begin(), targets.end(), [&target](const std::string &listed) {
                return SameNameIgnoringCase(listed, target);
            })) {
            targets.push_back(target);
        }
    };
    std::for_each(known.begin(), known.end(), add);
    for (const Portal &portal : portals) {
        const auto found = offered.find(portal.address);
        if (found != offered.end()) {
            std::for_each(found->second.begin(), found->second.end(), add);
        }
    }
    return targets;
}

std::vector<Portal> PortalsOffering(const std::string &target, const std::vector<Portal> &portals,
                                    const PortalTargets &offered) {
    std::vector<Portal> offering;
    for (const Portal &portal : portals) {
        const auto found = offered.find(portal.address);
        if (found != offered.end() && std::any_of(found->second.begin(), found->second.end(),
                                                  [&target](const std::string &t) {
                                                      return SameNameIgnoringCase(t, target);
                                                  })) {
            offering.push_back(portal);
        }
    }
    return offering;
}

} // namespace vxd::sim
