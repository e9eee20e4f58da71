// VxdListTargets: which targets a portal offers, as the initiator's discovery finds them. A
// portal that is not registered is registered for the call and removed again; nothing is ever
// logged in.
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "entry/call_support.h"
#include "entry/vxdmount.h"
#include "iscsi/initiator_client.h"
#include "platform/secret_buffer.h"

namespace vxd {
namespace {

constexpr std::size_t kListRequestFirstSize = offsetof(VxdListTargetsRequest, progressContext) +
                                              sizeof(VxdListTargetsRequest::progressContext);

class ListTargetsCall {
  public:
    ListTargetsCall(const VxdListTargetsRequest &request, char *names, VxdULong &namesSize)
        : request_(request), names_(names), namesSize_(namesSize),
          progress_("VxdListTargets: ", request.progress, request.progressContext) {}
    ListTargetsCall(const ListTargetsCall &) = delete;
    ListTargetsCall &operator=(const ListTargetsCall &) = delete;
    // A portal registered for the call goes, however the call ends.
    ~ListTargetsCall() { RemovePortalIfRegisteredHere(); }

    int Run();

  private:
    int Check();
    int Finish(int status, platform::ISDSC_STATUS serviceStatus = 0);
    int Register();
    int FindOffered();
    int WriteNames();
    void RemovePortalIfRegisteredHere() noexcept;

    const VxdListTargetsRequest &request_;
    char *names_;
    VxdULong &namesSize_;
    Progress progress_;
    std::string portal_;
    int port_ = kDefaultPortalPort;
    std::string chapUser_;
    SecretBuffer chapSecret_;
    bool registeredHere_ = false;
    std::vector<std::string> targets_;
};

int ListTargetsCall::Check() {
    if (names_ == nullptr && namesSize_ != 0) {
        progress_.Line("names is NULL but *namesSize is %lu",
                       static_cast<unsigned long>(namesSize_));
        return VXD_STATUS_INVALID_ARGUMENT;
    }
    if (request_.portalAddress != nullptr && !IsDottedIpv4(request_.portalAddress)) {
        progress_.Line("the portal's address is not a dotted IPv4 address such as 192.168.0.10");
        return VXD_STATUS_INVALID_ARGUMENT;
    }
    if (request_.chapUserName == nullptr) {
        if (request_.chapSecret != nullptr || request_.chapSecretLength != 0) {
            progress_.Line("CHAP needs chapUserName");
            return VXD_STATUS_INVALID_ARGUMENT;
        }
    } else {
        const std::size_t length = strnlen(request_.chapUserName, kLongestChapUser + 1);
        if (request_.portalAddress == nullptr || length == 0 || length > kLongestChapUser) {
            progress_.Line(request_.portalAddress == nullptr
                               ? "discovery CHAP needs a portal to register"
                               : "the CHAP user name is empty or longer than 255 characters");
            return VXD_STATUS_INVALID_ARGUMENT;
        }
        if (!SecretLengthFits(progress_, "CHAP secret", request_.chapSecret,
                              request_.chapSecretLength)) {
            return VXD_STATUS_INVALID_ARGUMENT;
        }
        if (!chapSecret_.Assign(request_.chapSecret, request_.chapSecretLength)) {
            return VXD_STATUS_OUT_OF_MEMORY;
        }
        chapUser_.assign(request_.chapUserName, length);
    }
    if (request_.portalAddress != nullptr) {
        portal_ = request_.portalAddress;
        port_ = request_.portalPort == 0 ? kDefaultPortalPort : request_.portalPort;
    }
    return VXD_STATUS_OK;
}

int ListTargetsCall::Finish(int status, platform::ISDSC_STATUS serviceStatus) {
    RemovePortalIfRegisteredHere();
    if (status == VXD_STATUS_OK) {
        progress_.Line("done: %lu targets", static_cast<unsigned long>(targets_.size()));
    } else if (serviceStatus != 0) {
        progress_.Line("failed: %s (%s)", VxdStatusText(status), StatusWords(serviceStatus).text);
    } else {
        progress_.Line("failed: %s", VxdStatusText(status));
    }
    return status;
}

// The portal, registered only when the service does not have it yet.
int ListTargetsCall::Register() {
    bool registered = false;
    platform::ISDSC_STATUS status = iscsi::PortalRegistered(portal_, port_, registered);
    if (status == 0 && registered) {
        progress_.Line("the portal %s:%d is registered already, and stays", portal_.c_str(), port_);
        return VXD_STATUS_OK;
    }
    if (status == 0) {
        platform::ISCSI_LOGIN_OPTIONS options = iscsi::LoginOptionsWithoutCredentials();
        if (chapSecret_.Size() > 0) {
            options = iscsi::LoginOptionsWithChap(
                platform::ISCSI_CHAP_AUTH_TYPE, reinterpret_cast<platform::UCHAR *>(&chapUser_[0]),
                static_cast<platform::ULONG>(chapUser_.size()), chapSecret_.Data(),
                static_cast<platform::ULONG>(chapSecret_.Size()));
        }
        status = iscsi::AddSendTargetPortal(portal_, port_, options);
    }
    chapSecret_.Clear();
    if (status != 0) {
        if (iscsi::ServiceUnavailable(status)) {
            return Finish(VXD_STATUS_SERVICE_UNAVAILABLE, status);
        }
        return Finish(!chapUser_.empty() && iscsi::CredentialsRefused(status)
                          ? VXD_STATUS_AUTH_FAILED
                          : VXD_STATUS_PORTAL_FAILED,
                      status);
    }
    registeredHere_ = true;
    progress_.Line("registered the portal %s:%d for the call", portal_.c_str(), port_);
    return VXD_STATUS_OK;
}

// Every target the initiator knows, refreshed, and of those the ones the portal reaches.
int ListTargetsCall::FindOffered() {
    std::vector<std::string> known;
    platform::ISDSC_STATUS status = iscsi::ReportTargets(!portal_.empty(), known);
    for (const std::string &target : known) {
        if (status != 0) {
            break;
        }
        bool reaches = portal_.empty();
        if (!reaches) {
            status = iscsi::ReachesTarget(target, portal_, port_, reaches);
            // A target the service forgot between the two questions is not offered.
            status = status == platform::kStatusTargetNotFound ? 0 : status;
        }
        if (reaches) {
            targets_.push_back(target);
        }
    }
    if (status != 0) {
        targets_.clear();
        return Finish(StatusOfFailure(status, VXD_STATUS_PORTAL_FAILED), status);
    }
    return VXD_STATUS_OK;
}

int ListTargetsCall::WriteNames() {
    std::size_t needed = 1;
    for (const std::string &target : targets_) {
        needed += target.size() + 1;
    }
    if (needed > namesSize_) {
        progress_.Line("%lu targets take %lu bytes; the buffer has %lu",
                       static_cast<unsigned long>(targets_.size()),
                       static_cast<unsigned long>(needed), static_cast<unsigned long>(namesSize_));
        namesSize_ = static_cast<VxdULong>(needed);
        return Finish(VXD_STATUS_BUFFER_TOO_SMALL);
    }
    char *at = names_;
    for (const std::string &target : targets_) {
        std::memcpy(at, target.c_str(), target.size() + 1);
        at += target.size() + 1;
    }
    *at = '\0';
    namesSize_ = static_cast<VxdULong>(needed);
    return Finish(VXD_STATUS_OK);
}

void ListTargetsCall::RemovePortalIfRegisteredHere() noexcept {
    if (!registeredHere_) {
        return;
    }
    registeredHere_ = false;
    const platform::ISDSC_STATUS status = iscsi::RemoveSendTargetPortal(portal_, port_);
    if (status == 0) {
        progress_.Line("removed the portal %s:%d, which it registered", portal_.c_str(), port_);
    } else {
        progress_.Line("cannot remove the portal %s:%d, which it registered (%s)", portal_.c_str(),
                       port_, StatusWords(status).text);
    }
}

int ListTargetsCall::Run() {
    const int checked = Check();
    if (checked != VXD_STATUS_OK) {
        return Finish(checked);
    }
    if (!portal_.empty()) {
        progress_.Line("the targets that %s:%d offers", portal_.c_str(), port_);
        const int registered = Register();
        if (registered != VXD_STATUS_OK) {
            return registered;
        }
    } else {
        progress_.Line("the targets the initiator knows");
    }
    const int found = FindOffered();
    return found != VXD_STATUS_OK ? found : WriteNames();
}

} // namespace
} // namespace vxd

extern "C" int VXDMOUNT_CALL VxdListTargets(const VxdListTargetsRequest *request, char *names,
                                            VxdULong *namesSize) {
    if (request == nullptr || namesSize == nullptr ||
        !vxd::Covers(request->size, vxd::kListRequestFirstSize)) {
        return VXD_STATUS_INVALID_ARGUMENT;
    }
    // A C++ exception cannot cross into the host: it ends here, as a status.
    try {
        vxd::ListTargetsCall call(*request, names, *namesSize);
        return call.Run();
    } catch (const std::bad_alloc &) {
        return VXD_STATUS_OUT_OF_MEMORY;
    } catch (...) {
        return VXD_STATUS_INTERNAL_ERROR;
    }
}
