// The login options that every login and discovery of the library carries. Kept apart from the
// requests, so that vxdhost builds the same options without binding to the discovery library.
#include <cstring>

#include "iscsi/initiator_client.h"

namespace vxd::iscsi {

platform::ISCSI_LOGIN_OPTIONS LoginOptionsWithoutCredentials() {
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

platform::ISCSI_LOGIN_OPTIONS LoginOptionsWithChap(platform::ISCSI_AUTH_TYPES type,
                                                   platform::UCHAR *user,
                                                   platform::ULONG userLength,
                                                   platform::UCHAR *secret,
                                                   platform::ULONG secretLength) {
    platform::ISCSI_LOGIN_OPTIONS options = LoginOptionsWithoutCredentials();
    options.InformationSpecified = kLoginOptionsSpecified;
    options.AuthType = type;
    options.UsernameLength = userLength;
    options.Username = user;
    options.PasswordLength = secretLength;
    options.Password = secret;
    return options;
}

} // namespace vxd::iscsi
