// VxdAttach: the same security record, portal and login as CreateVXD, then the session's disks
// and the letters of the volumes on them, found by disk rather than by counting new letters;
// cancellable at every wait, and undone on failure. Since 1.4 it also watches each disk's own
// state while it waits (offline, read-only, a clone, blank), finds the volumes by name, and
// gives a letter or a folder when asked.
#include <algorithm>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "disks/disk_state.h"
#include "entry/call_support.h"
#include "entry/vxdmount.h"
#include "iscsi/initiator_client.h"
#include "platform/secret_buffer.h"
#include "volumes/volume_discovery.h"

namespace vxd {
namespace {

constexpr unsigned long kDefaultDeviceWaitMs = 60000;
constexpr unsigned long kDefaultLetterWaitMs = 120000;
constexpr unsigned long kWaitReportMs = 10000;
// The waits of VxdAttach look four times a second, so that what arrives is answered within
// 250 ms; CreateVXD keeps its pace of a second.
constexpr unsigned long kAttachPollMs = 250;
// How long a disk may stay offline after it appeared, and a volume without a letter after it
// appeared, before the call takes it as the machine's answer: the service, the partition
// manager and the mount manager may still be bringing them up.
constexpr unsigned long kOfflineGraceMs = 2000;
constexpr unsigned long kLetterGraceMs = 3000;
constexpr unsigned long kNotYet = ~0ul;
constexpr std::size_t kLongestMountFolder = 259;

// The CHAP fields came with 1.3; a caller of 1.2 passes a shorter request.
constexpr std::size_t kAttachRequestChapEnd = offsetof(VxdAttachRequest, initiatorSecretLength) +
                                              sizeof(VxdAttachRequest::initiatorSecretLength);
constexpr unsigned long kChapFlags =
    VXD_ATTACH_DISCOVERY_CHAP | VXD_ATTACH_SET_INITIATOR_SECRET | VXD_ATTACH_MUTUAL_CHAP;
// mountFolder and the two flags came with 1.4, and the result's fields after alreadyLoggedIn.
constexpr std::size_t kAttachRequestFolderEnd =
    offsetof(VxdAttachRequest, mountFolder) + sizeof(VxdAttachRequest::mountFolder);
constexpr unsigned long kReadinessFlags = VXD_ATTACH_BRING_ONLINE | VXD_ATTACH_ASSIGN_LETTER;
constexpr std::size_t kAttachResultVolumesEnd =
    offsetof(VxdAttachResult, assignedLetters) + sizeof(VxdAttachResult::assignedLetters);
// 1.5: the portals, the LUN and the initiator, and the result's paths and LUNs.
constexpr std::size_t kAttachRequestInitiatorEnd =
    offsetof(VxdAttachRequest, initiatorPortNumber) + sizeof(VxdAttachRequest::initiatorPortNumber);
constexpr unsigned long kLunFlags = VXD_ATTACH_MULTIPATH | VXD_ATTACH_ONE_LUN | VXD_ATTACH_NO_LOGIN;
constexpr unsigned long kMostExtraPortals = 7;
constexpr std::size_t kAttachResultLunsEnd =
    offsetof(VxdAttachResult, diskLuns) + sizeof(VxdAttachResult::diskLuns);

// A letter of the target's volumes, with its disk.
struct FoundLetter {
    char letter;
    platform::ULONG disk;
};

// One of the session's disks as the call watches it.
struct WatchedDisk {
    platform::ULONG number;
    unsigned long attributes = 0; // VXD_DISK_...
    bool settled = false;         // nothing more to read
    bool toldReadOnly = false;
    unsigned long broughtOnlineAt = kNotYet; // when this call cleared its offline attribute
};

// A volume on the session's disks, found by name.
struct SeenVolume {
    std::string name;
    platform::ULONG disk;
    unsigned long seenAt; // ms into the letter wait
    std::string letters;
};

bool SamePersistentLogin(const platform::PERSISTENT_ISCSI_LOGIN_INFOA &a,
                         const platform::PERSISTENT_ISCSI_LOGIN_INFOA &b) {
    return std::strncmp(a.TargetName, b.TargetName, sizeof a.TargetName) == 0 &&
           std::strncmp(a.InitiatorInstance, b.InitiatorInstance, sizeof a.InitiatorInstance) ==
               0 &&
           a.InitiatorPortNumber == b.InitiatorPortNumber &&
           std::strncmp(a.TargetPortal.Address, b.TargetPortal.Address,
                        sizeof a.TargetPortal.Address) == 0 &&
           a.TargetPortal.Socket == b.TargetPortal.Socket;
}

// Whether removing `made` may take `kept` with it. The service removes every login of the
// target through the portal that the removal names, on the initiator and port it names; a login
// that names neither, as this call's do, stands for them all.
bool RemovalMayTake(const platform::PERSISTENT_ISCSI_LOGIN_INFOA &made,
                    const platform::PERSISTENT_ISCSI_LOGIN_INFOA &kept) {
    return iscsi::SameIScsiName(kept.TargetName, made.TargetName) &&
           std::strncmp(kept.TargetPortal.Address, made.TargetPortal.Address,
                        sizeof kept.TargetPortal.Address) == 0 &&
           kept.TargetPortal.Socket == made.TargetPortal.Socket;
}

class AttachCall {
  public:
    AttachCall(const VxdAttachRequest &request, VxdAttachResult &result)
        : request_(request), result_(result),
          progress_("VxdAttach: ", request.progress, request.progressContext) {}
    AttachCall(const AttachCall &) = delete;
    AttachCall &operator=(const AttachCall &) = delete;

    // Whatever ends the call, even an exception, a login that it made and that did not lead to
    // its letters goes.
    ~AttachCall() { UndoUnlessKept(); }

    int Run();

  private:
    int Steps();
    int Check();
    int CheckCredentials(bool chapFields);
    int CheckPathFields();
    int FindSessionsToReopen();
    int ListTargetSessions(std::vector<iscsi::Session> &sessions, int otherwise);
    int LoginPaths();
    platform::ISDSC_STATUS LoginPath(const std::string &address, int port);
    int CheckPathsClaimed();
    platform::ISCSI_LOGIN_OPTIONS LoginOptions();
    int SetInitiatorSecret();
    int Finish(int status, platform::ULONG serviceStatus = 0);
    bool Wait(platform::DWORD milliseconds);
    void TellWaiting(const char *what, unsigned long limitMs, unsigned long waitedMs);
    bool Cancelled();
    template <typename Ask> platform::ISDSC_STATUS WhileBusy(Ask ask);
    int Login();
    int WaitForDisks();
    int WaitForLetters();
    bool CollectLetters(const std::string &baseline);
    int WatchDisks(unsigned long waited);
    int WatchDisk(WatchedDisk &watched, unsigned long waited);
    void CollectVolumes(const std::string &baseline, unsigned long waited);
    bool EveryDiskLettered() const;
    int AssignLetters(unsigned long waited);
    int MountFolder(bool last, bool &mounted);
    void TellUnlettered();
    void AddLetter(char letter, platform::ULONG disk);
    void WriteReadiness();
    void TakeBackMountPoints();
    void UndoUnlessKept() noexcept;
    void RemovePersistentLoginsMadeHere();

    const VxdAttachRequest &request_;
    VxdAttachResult &result_;
    Progress progress_;
    platform::HANDLE cancelEvent_ = nullptr;
    bool cancelSeen_ = false; // an auto-reset event is signalled once
    std::string portal_;
    std::string target_;
    int port_ = kDefaultPortalPort;
    unsigned long deviceWaitMs_ = kDefaultDeviceWaitMs;
    unsigned long letterWaitMs_ = kDefaultLetterWaitMs;

    std::string baseline_; // the letters before the login
    bool alreadyLoggedIn_ = false;
    bool madeSession_ = false;
    platform::ISCSI_UNIQUE_SESSION_ID session_{};
    bool triedPersistent_ = false;
    std::vector<platform::PERSISTENT_ISCSI_LOGIN_INFOA> persistentBefore_;
    platform::ISDSC_STATUS persistentBeforeStatus_ = 0; // how listing persistentBefore_ went
    iscsi::SessionDisks disks_;
    // CHAP: the caller's user name and copies of its secrets, wiped as soon as they are sent.
    bool chap_ = false;
    bool discoveryChap_ = false;
    platform::ISCSI_AUTH_TYPES authType_ = platform::ISCSI_NO_AUTH_TYPE;
    std::string chapUser_;
    SecretBuffer chapSecret_;
    SecretBuffer initiatorSecret_;
    std::vector<FoundLetter> letters_;
    // 1.4: the disks' state, the volumes, and the mount points that this call gave.
    std::vector<WatchedDisk> watched_;
    std::vector<SeenVolume> volumes_;
    std::vector<std::string> given_;
    std::string assigned_;
    std::string mountFolder_;
    platform::DWORD checkError_ = 0;
    bool bringOnline_ = false;
    bool assignLetter_ = false;
    // 1.5: one LUN, no login, the initiator, and the sessions that carry the disks.
    platform::ULONG lun_ = iscsi::kAnyLun;
    bool noLogin_ = false;
    iscsi::InitiatorPort initiator_;
    unsigned long pathCount_ = 0;
    bool multipath_ = false;
    bool knowsPaths_ = false; // a caller of 1.5, who knows VXD_STATUS_MULTIPATH_UNCLAIMED
    std::vector<std::pair<std::string, int>> paths_;              // the request's portal first
    std::vector<platform::ISCSI_UNIQUE_SESSION_ID> madeSessions_; // each logged out by the undo
    bool succeeded_ = false;
    bool undone_ = false;
};

int AttachCall::Check() {
    const bool chapFields = Covers(request_.size, kAttachRequestChapEnd);
    const bool folderField = Covers(request_.size, kAttachRequestFolderEnd);
    const bool pathFields = Covers(request_.size, kAttachRequestInitiatorEnd);
    const unsigned long knownFlags = VXD_ATTACH_KEEP_ON_FAILURE | (chapFields ? kChapFlags : 0) |
                                     (folderField ? kReadinessFlags : 0) |
                                     (pathFields ? kLunFlags : 0);
    if (!IsTargetName(request_.targetName)) {
        progress_.Line("the target's name is missing, or longer than %u characters",
                       static_cast<unsigned>(platform::kMaxIScsiNameLen));
        return VXD_STATUS_INVALID_ARGUMENT;
    }
    if (!IsDottedIpv4(request_.portalAddress)) {
        progress_.Line("the portal's address is not a dotted IPv4 address such as 192.168.0.10");
        return VXD_STATUS_INVALID_ARGUMENT;
    }
    if ((request_.flags & ~knownFlags) != 0) {
        progress_.Line("unknown flags 0x%lx", request_.flags & ~knownFlags);
        return VXD_STATUS_INVALID_ARGUMENT;
    }
    if (folderField && request_.mountFolder != nullptr) {
        const std::size_t length = strnlen(request_.mountFolder, kLongestMountFolder + 1);
        if (length == 0 || length > kLongestMountFolder) {
            progress_.Line("the mount folder is empty or longer than %u characters",
                           static_cast<unsigned>(kLongestMountFolder));
            return VXD_STATUS_INVALID_ARGUMENT;
        }
        mountFolder_.assign(request_.mountFolder, length);
        if (mountFolder_.back() != '\\') {
            mountFolder_.push_back('\\');
        }
        // Before anything is sent: a folder that cannot take the volume stops the call here.
        checkError_ = volumes::CheckMountFolder(mountFolder_);
        if (checkError_ != 0) {
            progress_.Line("%s cannot take the volume (%s): it must be an existing, empty "
                           "folder on an NTFS volume",
                           mountFolder_.c_str(), StatusWords(checkError_).text);
            return VXD_STATUS_MOUNT_FAILED;
        }
    }
    bringOnline_ = (request_.flags & VXD_ATTACH_BRING_ONLINE) != 0;
    assignLetter_ = (request_.flags & VXD_ATTACH_ASSIGN_LETTER) != 0;
    const int credentials = CheckCredentials(chapFields);
    if (credentials != VXD_STATUS_OK) {
        return credentials;
    }
    knowsPaths_ = pathFields;
    if (pathFields) {
        const int paths = CheckPathFields();
        if (paths != VXD_STATUS_OK) {
            return paths;
        }
    }
    cancelEvent_ = request_.cancelEvent;
    if (cancelEvent_ != nullptr) {
        const platform::DWORD answer = platform::WaitForSingleObject(cancelEvent_, 0);
        if (answer == platform::kWaitFailed) {
            progress_.Line("the cancel event is not a handle that can be waited on");
            return VXD_STATUS_INVALID_ARGUMENT;
        }
        if (answer == platform::kWaitObject0) {
            progress_.Line("cancelled before it began");
            return VXD_STATUS_CANCELLED;
        }
    }
    portal_ = request_.portalAddress;
    target_ = request_.targetName;
    port_ = request_.portalPort == 0 ? kDefaultPortalPort : request_.portalPort;
    // The request's portal is the first path; a portal named twice is one path.
    std::vector<std::pair<std::string, int>> paths{{portal_, port_}};
    for (const std::pair<std::string, int> &path : paths_) {
        if (std::find(paths.begin(), paths.end(), path) == paths.end()) {
            paths.push_back(path);
        }
    }
    paths_ = std::move(paths);
    deviceWaitMs_ = request_.deviceWaitMs == 0 ? kDefaultDeviceWaitMs : request_.deviceWaitMs;
    letterWaitMs_ = request_.letterWaitMs == 0 ? kDefaultLetterWaitMs : request_.letterWaitMs;
    return VXD_STATUS_OK;
}

// The CHAP fields, checked before anything is sent: the lines name what is wrong, never a
// secret's bytes.
int AttachCall::CheckCredentials(bool chapFields) {
    if (!chapFields) {
        return VXD_STATUS_OK;
    }
    const unsigned long flags = request_.flags;
    if (request_.chapUserName == nullptr) {
        if (request_.chapSecret != nullptr || request_.chapSecretLength != 0 ||
            request_.initiatorSecret != nullptr || (flags & kChapFlags) != 0) {
            progress_.Line("CHAP needs chapUserName");
            return VXD_STATUS_INVALID_ARGUMENT;
        }
        return VXD_STATUS_OK;
    }
    const std::size_t userLength = strnlen(request_.chapUserName, kLongestChapUser + 1);
    if (userLength == 0 || userLength > kLongestChapUser) {
        progress_.Line("the CHAP user name is empty or longer than %u characters",
                       static_cast<unsigned>(kLongestChapUser));
        return VXD_STATUS_INVALID_ARGUMENT;
    }
    if (!SecretLengthFits(progress_, "CHAP secret", request_.chapSecret,
                          request_.chapSecretLength)) {
        return VXD_STATUS_INVALID_ARGUMENT;
    }
    const bool setSecret = (flags & VXD_ATTACH_SET_INITIATOR_SECRET) != 0;
    if ((request_.initiatorSecret != nullptr) != setSecret) {
        // Setting the secret changes it for every target: only on purpose, and only with one.
        progress_.Line(setSecret
                           ? "VXD_ATTACH_SET_INITIATOR_SECRET needs initiatorSecret"
                           : "initiatorSecret needs VXD_ATTACH_SET_INITIATOR_SECRET, since it "
                             "sets the machine's secret for every target");
        return VXD_STATUS_INVALID_ARGUMENT;
    }
    if (setSecret && !SecretLengthFits(progress_, "initiator secret", request_.initiatorSecret,
                                       request_.initiatorSecretLength)) {
        return VXD_STATUS_INVALID_ARGUMENT;
    }
    if (!chapSecret_.Assign(request_.chapSecret, request_.chapSecretLength) ||
        (setSecret &&
         !initiatorSecret_.Assign(request_.initiatorSecret, request_.initiatorSecretLength))) {
        return VXD_STATUS_OUT_OF_MEMORY;
    }
    chap_ = true;
    chapUser_.assign(request_.chapUserName, userLength);
    discoveryChap_ = (flags & VXD_ATTACH_DISCOVERY_CHAP) != 0;
    authType_ = setSecret || (flags & VXD_ATTACH_MUTUAL_CHAP) != 0
                    ? platform::ISCSI_MUTUAL_CHAP_AUTH_TYPE
                    : platform::ISCSI_CHAP_AUTH_TYPE;
    return VXD_STATUS_OK;
}

// The fields of 1.5. A re-open sends nothing, so what only a login would use is refused.
int AttachCall::CheckPathFields() {
    multipath_ = (request_.flags & VXD_ATTACH_MULTIPATH) != 0;
    const unsigned long extra = request_.extraPortals == nullptr ? 0 : request_.extraPortalCount;
    if ((request_.extraPortals == nullptr && request_.extraPortalCount != 0) ||
        extra > kMostExtraPortals || (extra > 0 && !multipath_)) {
        progress_.Line(extra > 0 && !multipath_
                           ? "extraPortals need VXD_ATTACH_MULTIPATH"
                           : "extraPortals: at most %lu portals, and a count needs the portals",
                       kMostExtraPortals);
        return VXD_STATUS_INVALID_ARGUMENT;
    }
    for (unsigned long i = 0; i < extra; ++i) {
        const VxdPortal &portal = request_.extraPortals[i];
        if (!IsDottedIpv4(portal.address)) {
            progress_.Line("extra portal %lu is not a dotted IPv4 address such as 192.168.0.11",
                           i + 1);
            return VXD_STATUS_INVALID_ARGUMENT;
        }
        paths_.emplace_back(portal.address, portal.port == 0 ? kDefaultPortalPort : portal.port);
    }
    if ((request_.flags & VXD_ATTACH_ONE_LUN) != 0) {
        if (request_.lun > kLargestLun) {
            progress_.Line("LUN %lu is not one that a SCSI address holds (0 to %lu)",
                           static_cast<unsigned long>(request_.lun), kLargestLun);
            return VXD_STATUS_INVALID_ARGUMENT;
        }
        lun_ = request_.lun;
    }
    if (request_.initiatorInstance != nullptr) {
        const std::size_t length =
            strnlen(request_.initiatorInstance, platform::kMaxIScsiHbaNameLen);
        if (length == 0 || length >= platform::kMaxIScsiHbaNameLen) {
            progress_.Line("the initiator instance is empty or longer than %u characters",
                           static_cast<unsigned>(platform::kMaxIScsiHbaNameLen - 1));
            return VXD_STATUS_INVALID_ARGUMENT;
        }
        initiator_.instance.assign(request_.initiatorInstance, length);
        initiator_.port = request_.initiatorPortNumber;
    }
    noLogin_ = (request_.flags & VXD_ATTACH_NO_LOGIN) != 0;
    if (noLogin_ && (chap_ || !initiator_.instance.empty() || multipath_)) {
        progress_.Line("VXD_ATTACH_NO_LOGIN logs in nowhere: it takes no CHAP fields, no "
                       "initiatorInstance and no VXD_ATTACH_MULTIPATH");
        return VXD_STATUS_INVALID_ARGUMENT;
    }
    return VXD_STATUS_OK;
}

platform::ISCSI_LOGIN_OPTIONS AttachCall::LoginOptions() {
    if (!chap_) {
        return iscsi::LoginOptionsWithoutCredentials();
    }
    return iscsi::LoginOptionsWithChap(
        authType_, reinterpret_cast<platform::UCHAR *>(&chapUser_[0]),
        static_cast<platform::ULONG>(chapUser_.size()), chapSecret_.Data(),
        static_cast<platform::ULONG>(chapSecret_.Size()));
}

// The machine's own secret, which every target answers mutual CHAP with.
int AttachCall::SetInitiatorSecret() {
    const platform::ISDSC_STATUS status = iscsi::SetInitiatorChapSecret(
        initiatorSecret_.Data(), static_cast<platform::ULONG>(initiatorSecret_.Size()));
    initiatorSecret_.Clear();
    if (status != 0 && status != platform::kStatusShortChapSecret) {
        if (iscsi::ServiceUnavailable(status)) {
            return Finish(VXD_STATUS_SERVICE_UNAVAILABLE, status);
        }
        return Finish(iscsi::CredentialsRefused(status) ? VXD_STATUS_AUTH_FAILED
                                                        : VXD_STATUS_LOGIN_FAILED,
                      status);
    }
    progress_.Line("set the initiator's CHAP secret, which is the machine's for every target");
    return VXD_STATUS_OK;
}

int AttachCall::Finish(int status, platform::ULONG serviceStatus) {
    result_.status = status;
    result_.serviceStatus = serviceStatus;
    succeeded_ = status == VXD_STATUS_OK;
    return status;
}

int AttachCall::Run() {
    const int status = Steps();
    UndoUnlessKept();
    WriteReadiness();
    const platform::ULONG serviceStatus = result_.serviceStatus;
    if (status == VXD_STATUS_OK) {
        std::string shown;
        for (const FoundLetter &found : letters_) {
            shown += shown.empty() ? "" : " ";
            shown += found.letter;
            shown += ":";
        }
        // A volume mounted at a folder only: the folder is where it is.
        if (shown.empty() && !mountFolder_.empty()) {
            shown = mountFolder_;
        }
        progress_.Line("done: %s", shown.c_str());
    } else if (serviceStatus != 0) {
        progress_.Line("failed: %s (%s)", VxdStatusText(status), StatusWords(serviceStatus).text);
    } else {
        progress_.Line("failed: %s", VxdStatusText(status));
    }
    return status;
}

// Waits on the cancel event in place of a sleep: false when it was signalled.
bool AttachCall::Wait(platform::DWORD milliseconds) {
    if (cancelEvent_ != nullptr) {
        const platform::DWORD answer = platform::WaitForSingleObject(cancelEvent_, milliseconds);
        if (answer == platform::kWaitObject0) {
            cancelSeen_ = true;
            return false;
        }
        if (answer != platform::kWaitFailed) {
            return true;
        }
        // The caller closed its event meanwhile: the call goes on without a way to cancel it.
        cancelEvent_ = nullptr;
    }
    platform::Sleep(milliseconds);
    return true;
}

// A wait is told when it begins and every ten seconds after: a call that finds what it waits
// for at once writes nothing about waiting.
void AttachCall::TellWaiting(const char *what, unsigned long limitMs, unsigned long waitedMs) {
    if (waitedMs == 0) {
        progress_.Line("waiting up to %lu ms for %s", limitMs, what);
    } else if (waitedMs % kWaitReportMs < kAttachPollMs) {
        progress_.Line("still waiting for %s after %lu s", what, waitedMs / 1000);
    }
}

bool AttachCall::Cancelled() {
    return cancelSeen_ ||
           (cancelEvent_ != nullptr &&
            platform::WaitForSingleObject(cancelEvent_, 0) == platform::kWaitObject0);
}

// A busy service is asked again a second apart, cancellable as every wait of the call.
template <typename Ask> platform::ISDSC_STATUS AttachCall::WhileBusy(Ask ask) {
    return AskWhileBusy(ask, [this](platform::ISDSC_STATUS busy) {
        TellBusy(progress_, busy);
        return Wait(kPollIntervalMs);
    });
}

int AttachCall::Steps() {
    const int checked = Check();
    if (checked != VXD_STATUS_OK) {
        return Finish(checked, checkError_);
    }
    if (noLogin_) {
        const int found = FindSessionsToReopen();
        if (found != VXD_STATUS_OK) {
            return found;
        }
        const int disks = WaitForDisks();
        return disks != VXD_STATUS_OK ? disks : WaitForLetters();
    }
    progress_.Line("%s at %s:%d", target_.c_str(), portal_.c_str(), port_);

    // As CreateVXD: the security record's failure does not stop the request.
    const platform::ISDSC_STATUS ike = iscsi::SetPresharedKeyRecord(portal_);
    if (iscsi::ServiceUnavailable(ike)) {
        return Finish(VXD_STATUS_SERVICE_UNAVAILABLE, ike);
    }
    if (ike != 0) {
        progress_.Line("the portal's security record was refused (%s); going on without it",
                       StatusWords(ike).text);
    }
    if (initiatorSecret_.Size() > 0) {
        const int set = SetInitiatorSecret();
        if (set != VXD_STATUS_OK) {
            return set;
        }
    }
    if (Cancelled()) {
        return Finish(VXD_STATUS_CANCELLED);
    }
    if (multipath_) {
        volumes::AppendDriveLetters(baseline_);
        const int login = LoginPaths();
        chapSecret_.Clear();
        if (login != VXD_STATUS_OK) {
            return login;
        }
        const int disks = WaitForDisks();
        return disks != VXD_STATUS_OK ? disks : WaitForLetters();
    }
    const platform::ISDSC_STATUS portal = iscsi::AddSendTargetPortal(
        portal_, port_, discoveryChap_ ? LoginOptions() : iscsi::LoginOptionsWithoutCredentials(),
        initiator_);
    if (portal != 0) {
        if (iscsi::ServiceUnavailable(portal)) {
            return Finish(VXD_STATUS_SERVICE_UNAVAILABLE, portal);
        }
        return Finish(discoveryChap_ && iscsi::CredentialsRefused(portal)
                          ? VXD_STATUS_AUTH_FAILED
                          : VXD_STATUS_PORTAL_FAILED,
                      portal);
    }
    progress_.Line("the portal %s:%d is registered", portal_.c_str(), port_);
    volumes::AppendDriveLetters(baseline_);

    const int login = Login();
    // Past the login nothing needs the secret: the copy goes at once, whatever came of it.
    chapSecret_.Clear();
    if (login != VXD_STATUS_OK) {
        return login;
    }
    const int disks = WaitForDisks();
    if (disks != VXD_STATUS_OK) {
        return disks;
    }
    return WaitForLetters();
}

// A login, and one second later a persistent one if it failed, as CreateVXD logs in.
int AttachCall::Login() {
    if (Cancelled()) {
        return Finish(VXD_STATUS_CANCELLED);
    }
    if (chap_) {
        progress_.Line(authType_ == platform::ISCSI_MUTUAL_CHAP_AUTH_TYPE
                           ? "logging in with mutual CHAP"
                           : "logging in with CHAP");
    }
    platform::ISDSC_STATUS status = WhileBusy([this] {
        return iscsi::LoginToTarget(target_, false, &session_, LoginOptions(), initiator_);
    });
    if (cancelSeen_) {
        return Finish(VXD_STATUS_CANCELLED);
    }
    if (status != 0 && status != platform::kStatusTargetAlreadyLoggedIn &&
        !iscsi::ServiceUnavailable(status)) {
        progress_.Line("the login failed (%s); one more, persistent, in 1 s",
                       StatusWords(status).text);
        if (!Wait(kPollIntervalMs)) {
            return Finish(VXD_STATUS_CANCELLED);
        }
        // A persistent login may be kept even when the login itself fails: what was kept
        // before tells which ones this call made.
        persistentBeforeStatus_ = iscsi::ListPersistentLogins(persistentBefore_);
        triedPersistent_ = true;
        // The persistent login keeps the same credentials, so the target comes back at boot.
        status = WhileBusy([this] {
            return iscsi::LoginToTarget(target_, true, &session_, LoginOptions(), initiator_);
        });
        if (cancelSeen_) {
            return Finish(VXD_STATUS_CANCELLED);
        }
    }
    if (status == platform::kStatusTargetAlreadyLoggedIn) {
        alreadyLoggedIn_ = true;
        result_.alreadyLoggedIn = 1;
        progress_.Line("%s was already logged in; its sessions stay as they are", target_.c_str());
        return VXD_STATUS_OK;
    }
    if (status != 0) {
        if (iscsi::ServiceUnavailable(status)) {
            return Finish(VXD_STATUS_SERVICE_UNAVAILABLE, status);
        }
        return Finish(iscsi::CredentialsRefused(status) ? VXD_STATUS_AUTH_FAILED
                                                        : VXD_STATUS_LOGIN_FAILED,
                      status);
    }
    madeSession_ = true;
    madeSessions_.push_back(session_);
    progress_.Line("logged in: session %s", SessionIdText(session_).text);
    return VXD_STATUS_OK;
}

// One path's login, as Login() logs in: once, and a second later persistently if it failed.
platform::ISDSC_STATUS AttachCall::LoginPath(const std::string &address, int port) {
    const auto login = [this, &address, port](bool persistent) {
        return WhileBusy([this, &address, port, persistent] {
            return iscsi::LoginThroughPortal(target_, address, port, persistent, &session_,
                                             LoginOptions(), initiator_);
        });
    };
    platform::ISDSC_STATUS status = login(false);
    if (status != 0 && !cancelSeen_ && !iscsi::ServiceUnavailable(status) &&
        status != platform::kStatusTargetAlreadyLoggedIn) {
        progress_.Line("the login through %s:%d failed (%s); one more, persistent, in 1 s",
                       address.c_str(), port, StatusWords(status).text);
        if (!Wait(kPollIntervalMs)) {
            return status;
        }
        if (!triedPersistent_) {
            persistentBeforeStatus_ = iscsi::ListPersistentLogins(persistentBefore_);
            triedPersistent_ = true;
        }
        status = login(true);
    }
    return status;
}

// VXD_ATTACH_MULTIPATH: each portal is registered and logged in through, but those that carry a
// session of the target already. A path that fails is told and the others go on; the call
// fails only when no path carries a session.
int AttachCall::LoginPaths() {
    std::vector<iscsi::Session> sessions;
    const int listed = ListTargetSessions(sessions, VXD_STATUS_LOGIN_FAILED);
    if (listed != VXD_STATUS_OK) {
        return listed;
    }
    // A session through any portal, a path of this call's or not, was there before the call.
    if (std::any_of(sessions.begin(), sessions.end(),
                    [this](const iscsi::Session &s) { return iscsi::IsSessionOf(s, target_); })) {
        alreadyLoggedIn_ = true;
        result_.alreadyLoggedIn = 1;
    }
    int failure = VXD_STATUS_OK;
    platform::ISDSC_STATUS failureStatus = 0;
    const auto failed = [&failure, &failureStatus](int status, platform::ISDSC_STATUS service) {
        if (failure == VXD_STATUS_OK) {
            failure = status;
            failureStatus = service;
        }
    };
    for (std::size_t i = 0; i < paths_.size(); ++i) {
        const std::string &address = paths_[i].first;
        const int port = paths_[i].second;
        const auto carried =
            std::find_if(sessions.begin(), sessions.end(), [&](const iscsi::Session &s) {
                return iscsi::IsSessionOf(s, target_) && s.portalAddress == address &&
                       s.portalSocket == port;
            });
        if (carried != sessions.end()) {
            progress_.Line("path %s:%d: session %s was there already, and stays", address.c_str(),
                           port, SessionIdText(carried->id).text);
            continue;
        }
        if (Cancelled()) {
            return Finish(VXD_STATUS_CANCELLED);
        }
        platform::ISDSC_STATUS status = 0;
        if (i > 0) {
            status = iscsi::SetPresharedKeyRecord(address);
            if (status != 0 && !iscsi::ServiceUnavailable(status)) {
                progress_.Line("path %s:%d: the security record was refused (%s); going on without "
                               "it",
                               address.c_str(), port, StatusWords(status).text);
                status = 0;
            }
        }
        if (status == 0) {
            status = iscsi::AddSendTargetPortal(
                address, port,
                discoveryChap_ ? LoginOptions() : iscsi::LoginOptionsWithoutCredentials(),
                initiator_);
        }
        if (iscsi::ServiceUnavailable(status)) {
            return Finish(VXD_STATUS_SERVICE_UNAVAILABLE, status);
        }
        if (status != 0) {
            progress_.Line("path %s:%d: the portal could not be registered (%s)", address.c_str(),
                           port, StatusWords(status).text);
            failed(discoveryChap_ && iscsi::CredentialsRefused(status) ? VXD_STATUS_AUTH_FAILED
                                                                       : VXD_STATUS_PORTAL_FAILED,
                   status);
            continue;
        }
        status = LoginPath(address, port);
        if (cancelSeen_) {
            return Finish(VXD_STATUS_CANCELLED);
        }
        if (iscsi::ServiceUnavailable(status)) {
            return Finish(VXD_STATUS_SERVICE_UNAVAILABLE, status);
        }
        if (status != 0) {
            progress_.Line("path %s:%d: the login failed (%s)", address.c_str(), port,
                           StatusWords(status).text);
            failed(iscsi::CredentialsRefused(status) ? VXD_STATUS_AUTH_FAILED
                                                     : VXD_STATUS_LOGIN_FAILED,
                   status);
            continue;
        }
        madeSessions_.push_back(session_);
        progress_.Line("path %s:%d: logged in: session %s", address.c_str(), port,
                       SessionIdText(session_).text);
    }
    if (madeSessions_.empty() && !alreadyLoggedIn_) {
        return Finish(failure, failureStatus);
    }
    return VXD_STATUS_OK;
}

// One LUN seen as two disks through two paths: Windows' multipath I/O does not claim it, and
// each path's disk is the same data. Bringing the second online would let two disks write it.
int AttachCall::CheckPathsClaimed() {
    // A caller of an earlier version is answered as before, with every disk.
    for (std::size_t i = 0; knowsPaths_ && i < disks_.count; ++i) {
        for (std::size_t j = i + 1; j < disks_.count; ++j) {
            if (disks_.luns[i] != disks_.luns[j]) {
                continue;
            }
            progress_.Line("LUN %lu is disks %lu and %lu through two paths: Windows' multipath "
                           "I/O does not claim it. Install the Multipath I/O feature "
                           "(Install-WindowsFeature Multipath-IO), claim iSCSI devices for its "
                           "DSM (mpclaim -r -i -a \"\", which restarts), then attach again",
                           static_cast<unsigned long>(disks_.luns[i]),
                           static_cast<unsigned long>(disks_.numbers[i]),
                           static_cast<unsigned long>(disks_.numbers[j]));
            return Finish(VXD_STATUS_MULTIPATH_UNCLAIMED);
        }
    }
    return VXD_STATUS_OK;
}

// The initiator's sessions, asked while the service is busy; a failure ends the call with
// `otherwise` unless the service or the memory is what failed.
int AttachCall::ListTargetSessions(std::vector<iscsi::Session> &sessions, int otherwise) {
    const platform::ISDSC_STATUS listed =
        WhileBusy([&sessions] { return iscsi::ListSessions(sessions); });
    if (cancelSeen_) {
        return Finish(VXD_STATUS_CANCELLED);
    }
    return listed == 0 ? VXD_STATUS_OK : Finish(StatusOfFailure(listed, otherwise), listed);
}

// VXD_ATTACH_NO_LOGIN: the target as it is attached now, asked and never changed. A target
// with a persistent login but no session yet (the service logs it in at boot) is waited for.
int AttachCall::FindSessionsToReopen() {
    progress_.Line("re-opening %s as it is attached; nothing is registered or logged in",
                   target_.c_str());
    std::vector<iscsi::Session> sessions;
    const int listed = ListTargetSessions(sessions, VXD_STATUS_NO_DEVICE);
    if (listed != VXD_STATUS_OK) {
        return listed;
    }
    const auto count =
        std::count_if(sessions.begin(), sessions.end(), [this](const iscsi::Session &session) {
            return iscsi::IsSessionOf(session, target_);
        });
    alreadyLoggedIn_ = true;
    result_.alreadyLoggedIn = 1;
    if (count > 0) {
        progress_.Line("%s has %lu sessions", target_.c_str(), static_cast<unsigned long>(count));
        return VXD_STATUS_OK;
    }
    std::vector<platform::PERSISTENT_ISCSI_LOGIN_INFOA> kept;
    const platform::ISDSC_STATUS keptStatus = iscsi::ListPersistentLogins(kept);
    const bool persistent =
        keptStatus == 0 &&
        std::any_of(kept.begin(), kept.end(),
                    [this](const platform::PERSISTENT_ISCSI_LOGIN_INFOA &l) {
                        return iscsi::SameIScsiName(l.TargetName, target_.c_str());
                    });
    if (iscsi::ServiceUnavailable(keptStatus)) {
        return Finish(VXD_STATUS_SERVICE_UNAVAILABLE, keptStatus);
    }
    if (!persistent) {
        progress_.Line("%s has no session and no persistent login: nothing to re-open",
                       target_.c_str());
        result_.alreadyLoggedIn = 0;
        return Finish(VXD_STATUS_NOT_ATTACHED, keptStatus);
    }
    progress_.Line("%s has no session yet but a persistent login, which the service logs in at "
                   "boot: waiting for its session",
                   target_.c_str());
    return VXD_STATUS_OK;
}

// The session's disks (with VXD_ATTACH_ONE_LUN, those of the LUN alone): the one this call
// made, or every session of a target that was logged in before, asked until they show.
int AttachCall::WaitForDisks() {
    platform::ISDSC_STATUS lastFailure = 0;
    bool sawSession = false;
    for (unsigned long waited = 0;;) {
        disks_ = iscsi::SessionDisks();
        pathCount_ = 0;
        unsigned long targetSessions = 0;
        platform::ISDSC_STATUS status = 0;
        if (madeSession_) {
            status = WhileBusy([this] { return iscsi::AddSessionDisks(session_, disks_, lun_); });
            pathCount_ = disks_.count > 0 ? 1 : 0;
        } else {
            std::vector<iscsi::Session> sessions;
            status = WhileBusy([&sessions] { return iscsi::ListSessions(sessions); });
            for (const iscsi::Session &session : sessions) {
                if (status == 0 && iscsi::IsSessionOf(session, target_)) {
                    sawSession = true;
                    ++targetSessions;
                    std::size_t carried = 0;
                    status = WhileBusy([this, &session, &carried] {
                        carried = 0;
                        return iscsi::AddSessionDisks(session.id, disks_, lun_, &carried);
                    });
                    pathCount_ += carried > 0 ? 1 : 0;
                }
            }
        }
        if (cancelSeen_) {
            return Finish(VXD_STATUS_CANCELLED);
        }
        if (iscsi::ServiceUnavailable(status)) {
            return Finish(VXD_STATUS_SERVICE_UNAVAILABLE, status);
        }
        // A list that the library has no room for: waiting makes none.
        if (status == platform::kErrorNotEnoughMemory) {
            return Finish(VXD_STATUS_OUT_OF_MEMORY, status);
        }
        lastFailure = status != 0 ? status : lastFailure;
        // With several paths, each of them is waited for: a later path's disk may differ.
        if (status == 0 && disks_.count > 0 && (!multipath_ || pathCount_ >= targetSessions)) {
            break;
        }
        if (waited >= deviceWaitMs_) {
            if (status == 0 && disks_.count > 0) {
                progress_.Line("%lu of the target's %lu sessions show its disks; going on with "
                               "those",
                               pathCount_, targetSessions);
                break;
            }
            if (noLogin_ && !sawSession) {
                progress_.Line("%s got no session in %lu ms", target_.c_str(), deviceWaitMs_);
                result_.alreadyLoggedIn = 0;
                return Finish(VXD_STATUS_NOT_ATTACHED, lastFailure);
            }
            if (lun_ != iscsi::kAnyLun) {
                progress_.Line("no device of LUN %lu showed on the target's sessions",
                               static_cast<unsigned long>(lun_));
            }
            return Finish(VXD_STATUS_NO_DEVICE, lastFailure);
        }
        TellWaiting(lun_ == iscsi::kAnyLun ? "the session's disks" : "the disk of the LUN",
                    deviceWaitMs_, waited);
        const platform::DWORD pause = static_cast<platform::DWORD>(
            std::min<unsigned long>(kAttachPollMs, deviceWaitMs_ - waited));
        if (!Wait(pause)) {
            return Finish(VXD_STATUS_CANCELLED);
        }
        waited += pause;
    }
    std::string shown;
    for (std::size_t i = 0; i < disks_.count; ++i) {
        shown += (i == 0 ? "" : ", ") + std::to_string(disks_.numbers[i]);
    }
    if (lun_ == iscsi::kAnyLun) {
        progress_.Line("the session's disks: %s", shown.c_str());
    } else {
        progress_.Line("LUN %lu is disk %s", static_cast<unsigned long>(lun_), shown.c_str());
    }
    result_.diskCount = static_cast<unsigned long>(disks_.count);
    for (std::size_t i = 0; i < disks_.count; ++i) {
        result_.diskNumbers[i] = disks_.numbers[i];
        watched_.push_back(WatchedDisk{disks_.numbers[i]});
    }
    if (pathCount_ > 1) {
        progress_.Line("%lu paths carry the disks", pathCount_);
    }
    return CheckPathsClaimed();
}

// Adds the letters whose volumes lie on the session's disks, among those that are not in
// `baseline`; true when every disk has at least one.
bool AttachCall::CollectLetters(const std::string &baseline) {
    std::string current;
    volumes::AppendDriveLetters(current);
    // A letter seen at an earlier look that has gone since names nothing any more.
    letters_.erase(std::remove_if(letters_.begin(), letters_.end(),
                                  [&current](const FoundLetter &found) {
                                      return current.find(found.letter) == std::string::npos;
                                  }),
                   letters_.end());
    const std::string candidates = volumes::LettersAdded(baseline, current);
    const std::size_t count = volumes::LettersExamined(candidates);
    const volumes::LetterDisks disks = volumes::DisksOfLetters(candidates, count);
    for (std::size_t j = 0; j < count; ++j) {
        const bool onSessionDisk =
            disks[j].known &&
            std::find(disks_.numbers.begin(),
                      disks_.numbers.begin() + static_cast<long>(disks_.count),
                      disks[j].disk) != disks_.numbers.begin() + static_cast<long>(disks_.count);
        const bool known = std::any_of(letters_.begin(), letters_.end(), [&](const FoundLetter &f) {
            return f.letter == candidates[j];
        });
        if (onSessionDisk && !known) {
            letters_.push_back({candidates[j], disks[j].disk});
            progress_.Line("%c: lies on disk %lu", candidates[j],
                           static_cast<unsigned long>(disks[j].disk));
        }
    }
    return EveryDiskLettered();
}

// After a fresh login only letters that were not there before count; a target that was
// already logged in answers with the letters its disks have now. Each look also reads the
// disks' state and the volumes by name; with mountFolder the call ends once the volume is
// mounted there.
int AttachCall::WaitForLetters() {
    const std::string baseline = alreadyLoggedIn_ ? std::string() : baseline_;
    for (unsigned long waited = 0;;) {
        const int disks = WatchDisks(waited);
        if (disks != VXD_STATUS_OK) {
            return disks;
        }
        bool lettered = CollectLetters(baseline);
        CollectVolumes(baseline, waited);
        const bool last = waited >= letterWaitMs_;
        if (!mountFolder_.empty()) {
            bool mounted = false;
            const int folder = MountFolder(last, mounted);
            if (folder != VXD_STATUS_OK) {
                return folder;
            }
            if (mounted) {
                break;
            }
        } else if (assignLetter_ && !lettered) {
            const int assigned = AssignLetters(waited);
            if (assigned != VXD_STATUS_OK) {
                return assigned;
            }
            lettered = EveryDiskLettered();
        }
        if (lettered && mountFolder_.empty()) {
            break;
        }
        if (last) {
            if (letters_.empty()) {
                TellUnlettered();
                return Finish(VXD_STATUS_NO_LETTER);
            }
            progress_.Line("not every disk of the session has a lettered volume; taking those "
                           "that have");
            break;
        }
        TellWaiting("the letters of the session's volumes", letterWaitMs_, waited);
        const platform::DWORD pause = static_cast<platform::DWORD>(
            std::min<unsigned long>(kAttachPollMs, letterWaitMs_ - waited));
        if (!Wait(pause)) {
            return Finish(VXD_STATUS_CANCELLED);
        }
        waited += pause;
    }
    std::sort(letters_.begin(), letters_.end(),
              [](const FoundLetter &a, const FoundLetter &b) { return a.letter < b.letter; });
    std::size_t written = 0;
    for (const FoundLetter &found : letters_) {
        if (written + 1 < sizeof result_.letters) {
            result_.letters[written++] = found.letter;
        }
    }
    result_.letters[written] = '\0';
    return Finish(VXD_STATUS_OK);
}

int AttachCall::WatchDisks(unsigned long waited) {
    for (WatchedDisk &watched : watched_) {
        if (watched.settled) {
            continue;
        }
        const int status = WatchDisk(watched, waited);
        if (status != VXD_STATUS_OK) {
            return status;
        }
    }
    return VXD_STATUS_OK;
}

// One look at a disk that is not settled yet: a disk that Windows does not describe, or that is
// online (writable, or read-only as the caller accepts), is settled; an offline one waits out
// its grace, then fails the call or, with VXD_ATTACH_BRING_ONLINE, is brought online.
int AttachCall::WatchDisk(WatchedDisk &watched, unsigned long waited) {
    const unsigned long number = watched.number;
    const disks::DiskState state = disks::ReadDisk(watched.number);
    if (!state.attributesKnown) {
        watched.attributes |= VXD_DISK_STATE_UNKNOWN;
        watched.settled = true;
        progress_.Line("disk %lu: Windows does not tell its attributes (%s); going on without them",
                       number, StatusWords(state.attributesError).text);
        return VXD_STATUS_OK;
    }
    watched.attributes &= ~static_cast<unsigned long>(VXD_DISK_OFFLINE | VXD_DISK_READ_ONLY);
    watched.attributes |=
        (state.offline ? VXD_DISK_OFFLINE : 0) | (state.readOnly ? VXD_DISK_READ_ONLY : 0);
    if (state.offline) {
        platform::ULONG other = 0;
        if (disks::FindCollision(state, other)) {
            watched.attributes |= VXD_DISK_COLLISION;
            progress_.Line("disk %lu stays offline: its %s is also disk %lu's (a clone or a "
                           "snapshot of it); Windows keeps such a copy offline, and the call "
                           "never writes a signature: see VXD_STATUS_DISK_COLLISION in the docs",
                           number, state.identity.c_str(), static_cast<unsigned long>(other));
            return Finish(VXD_STATUS_DISK_COLLISION);
        }
        if (watched.broughtOnlineAt != kNotYet) {
            if (waited - watched.broughtOnlineAt < kOfflineGraceMs) {
                return VXD_STATUS_OK;
            }
            progress_.Line("disk %lu is still offline %lu ms after it was brought online", number,
                           kOfflineGraceMs);
            return Finish(VXD_STATUS_DISK_OFFLINE);
        }
        if (waited < kOfflineGraceMs) {
            return VXD_STATUS_OK;
        }
        if (!bringOnline_) {
            progress_.Line("disk %lu is offline%s, as the machine's SAN policy keeps new shared "
                           "disks: pass VXD_ATTACH_BRING_ONLINE (vxdhost attach --online), or "
                           "Set-Disk -Number %lu -IsOffline $false -IsReadOnly $false",
                           number, state.readOnly ? " and read-only" : "", number);
            return Finish(VXD_STATUS_DISK_OFFLINE);
        }
        const platform::DWORD error =
            disks::MakeOnlineAndWritable(watched.number, true, state.readOnly);
        if (error != 0) {
            progress_.Line("disk %lu cannot be brought online (%s)", number,
                           StatusWords(error).text);
            return Finish(VXD_STATUS_DISK_OFFLINE, error);
        }
        watched.attributes |=
            VXD_DISK_BROUGHT_ONLINE | (state.readOnly ? VXD_DISK_MADE_WRITABLE : 0);
        watched.broughtOnlineAt = waited;
        progress_.Line("brought disk %lu online%s, persistently, as Set-Disk does", number,
                       state.readOnly ? " and writable" : "");
        return VXD_STATUS_OK;
    }
    if (state.readOnly && bringOnline_) {
        const platform::DWORD error = disks::MakeOnlineAndWritable(watched.number, false, true);
        if (error == 0) {
            watched.attributes |= VXD_DISK_MADE_WRITABLE;
            progress_.Line("made disk %lu writable, persistently, as Set-Disk does", number);
            return VXD_STATUS_OK; // read again at the next look
        }
        progress_.Line("disk %lu stays read-only: its read-only attribute cannot be cleared (%s)",
                       number, StatusWords(error).text);
    } else if (state.readOnly && !watched.toldReadOnly) {
        watched.toldReadOnly = true;
        progress_.Line("disk %lu is online but read-only, so its volumes cannot be written: pass "
                       "VXD_ATTACH_BRING_ONLINE (vxdhost attach --online), or Set-Disk -Number "
                       "%lu -IsReadOnly $false",
                       number, number);
    }
    if (state.layout == disks::Layout::kRaw ||
        (state.layout != disks::Layout::kUnknown && state.mountable == 0)) {
        watched.attributes |= VXD_DISK_NO_VOLUME;
        progress_.Line("disk %lu holds no volume that Windows mounts (%s); the call never "
                       "partitions or formats: initialize and format it (Initialize-Disk, "
                       "New-Partition, Format-Volume) if it is meant to be empty",
                       number,
                       state.layout == disks::Layout::kRaw ? "it is not initialized"
                                                           : "it has no data partition");
        return Finish(VXD_STATUS_NO_VOLUME);
    }
    watched.settled = true;
    return VXD_STATUS_OK;
}

void AttachCall::AddLetter(char letter, platform::ULONG disk) {
    if (std::none_of(letters_.begin(), letters_.end(),
                     [letter](const FoundLetter &f) { return f.letter == letter; })) {
        letters_.push_back({letter, disk});
        progress_.Line("%c: lies on disk %lu", letter, static_cast<unsigned long>(disk));
    }
}

// The volumes on the session's disks, by name, with the letters they are mounted at. Where
// Windows tells no volume's disks (Wine), a letter found on a disk names its volume.
void AttachCall::CollectVolumes(const std::string &baseline, unsigned long waited) {
    const auto onSessionDisk = [this](platform::ULONG disk) {
        return std::find(disks_.numbers.begin(),
                         disks_.numbers.begin() + static_cast<long>(disks_.count),
                         disk) != disks_.numbers.begin() + static_cast<long>(disks_.count);
    };
    const auto seen = [this](const std::string &name) {
        return std::find_if(volumes_.begin(), volumes_.end(),
                            [&name](const SeenVolume &v) { return v.name == name; });
    };
    for (const volumes::VolumeOnDisks &volume : volumes::ListVolumes()) {
        const auto disk = std::find_if(volume.disks.begin(), volume.disks.end(), onSessionDisk);
        if (disk == volume.disks.end()) {
            continue;
        }
        auto known = seen(volume.name);
        if (known == volumes_.end()) {
            volumes_.push_back(SeenVolume{volume.name, *disk, waited, std::string()});
            known = volumes_.end() - 1;
            // A lettered volume is told by its letter; one without is told here.
            if (volume.letters.empty()) {
                progress_.Line("the volume %s lies on disk %lu and has no letter yet",
                               volume.name.c_str(), static_cast<unsigned long>(*disk));
            }
        }
        known->letters = volume.letters;
        for (const char letter : volume.letters) {
            if (baseline.find(letter) == std::string::npos) {
                AddLetter(letter, *disk);
            }
        }
    }
    for (const FoundLetter &found : letters_) {
        const bool named = std::any_of(volumes_.begin(), volumes_.end(), [&](const SeenVolume &v) {
            return v.letters.find(found.letter) != std::string::npos;
        });
        if (named) {
            continue;
        }
        const std::string name = volumes::VolumeOfLetter(found.letter);
        if (!name.empty() && seen(name) == volumes_.end()) {
            volumes_.push_back(SeenVolume{name, found.disk, waited, std::string(1, found.letter)});
        }
    }
}

bool AttachCall::EveryDiskLettered() const {
    for (std::size_t i = 0; i < disks_.count; ++i) {
        const platform::ULONG disk = disks_.numbers[i];
        if (std::none_of(letters_.begin(), letters_.end(),
                         [disk](const FoundLetter &f) { return f.disk == disk; })) {
            return false;
        }
    }
    return true;
}

// VXD_ATTACH_ASSIGN_LETTER: a volume still without a letter its grace after it appeared gets
// the first free one.
int AttachCall::AssignLetters(unsigned long waited) {
    for (SeenVolume &volume : volumes_) {
        if (!volume.letters.empty() || waited - volume.seenAt < kLetterGraceMs) {
            continue;
        }
        const char letter = volumes::FirstFreeLetter();
        if (letter == '\0') {
            progress_.Line("no letter from D to Z is free for the volume %s", volume.name.c_str());
            return Finish(VXD_STATUS_MOUNT_FAILED);
        }
        const std::string root = std::string(1, letter) + ":\\";
        const platform::DWORD error = volumes::MountVolume(root, volume.name);
        if (error != 0) {
            progress_.Line("%s cannot be given to the volume %s (%s)", root.c_str(),
                           volume.name.c_str(), StatusWords(error).text);
            return Finish(VXD_STATUS_MOUNT_FAILED, error);
        }
        given_.push_back(root);
        assigned_.push_back(letter);
        volume.letters.push_back(letter);
        progress_.Line("gave %c: to the volume %s, which had no letter", letter,
                       volume.name.c_str());
        AddLetter(letter, volume.disk);
    }
    return VXD_STATUS_OK;
}

// mountFolder: the target's one volume, once every disk shows one (or at the end of the wait).
int AttachCall::MountFolder(bool last, bool &mounted) {
    mounted = false;
    bool everyDisk = true;
    for (std::size_t i = 0; i < disks_.count; ++i) {
        const platform::ULONG disk = disks_.numbers[i];
        everyDisk =
            everyDisk && std::any_of(volumes_.begin(), volumes_.end(),
                                     [disk](const SeenVolume &v) { return v.disk == disk; });
    }
    if (volumes_.empty() && last && !letters_.empty()) {
        // Lettered volumes whose names Windows does not tell cannot be mounted elsewhere.
        progress_.Line("no volume of the target could be named to mount at %s",
                       mountFolder_.c_str());
        return Finish(VXD_STATUS_MOUNT_FAILED);
    }
    if (volumes_.empty() || (!everyDisk && !last)) {
        return VXD_STATUS_OK;
    }
    if (volumes_.size() > 1) {
        std::string names;
        for (const SeenVolume &volume : volumes_) {
            names += (names.empty() ? "" : ", ") + volume.name;
        }
        progress_.Line("the target has %lu volumes (%s) and one folder takes one: mount them "
                       "yourself, or leave mountFolder out",
                       static_cast<unsigned long>(volumes_.size()), names.c_str());
        return Finish(VXD_STATUS_MOUNT_FAILED);
    }
    const platform::DWORD error = volumes::MountVolume(mountFolder_, volumes_[0].name);
    if (error != 0) {
        progress_.Line("the volume %s cannot be mounted at %s (%s)", volumes_[0].name.c_str(),
                       mountFolder_.c_str(), StatusWords(error).text);
        return Finish(VXD_STATUS_MOUNT_FAILED, error);
    }
    given_.push_back(mountFolder_);
    progress_.Line("mounted the volume %s at %s", volumes_[0].name.c_str(), mountFolder_.c_str());
    mounted = true;
    return VXD_STATUS_OK;
}

// Why a volume that is there may have no letter, and what to pass.
void AttachCall::TellUnlettered() {
    const bool noneFree = volumes::FirstFreeLetter() == '\0';
    for (const SeenVolume &volume : volumes_) {
        if (!volume.letters.empty()) {
            continue;
        }
        progress_.Line("the volume %s on disk %lu has no letter: %s; pass "
                       "VXD_ATTACH_ASSIGN_LETTER or a mountFolder, or use the volume by its name",
                       volume.name.c_str(), static_cast<unsigned long>(volume.disk),
                       noneFree ? "no letter from D to Z is free"
                                : "automount may be off (mountvol /E turns it on), or its "
                                  "partition is marked to get no default letter");
    }
}

// The fields of 1.4, for a caller whose result holds them.
void AttachCall::WriteReadiness() {
    if (Covers(result_.size, kAttachResultLunsEnd)) {
        result_.pathCount = pathCount_;
        for (std::size_t i = 0; i < disks_.count && i < kDiskNumberListSize; ++i) {
            result_.diskLuns[i] = disks_.luns[i];
        }
    }
    if (!Covers(result_.size, kAttachResultVolumesEnd)) {
        return;
    }
    for (std::size_t i = 0; i < watched_.size() && i < kDiskNumberListSize; ++i) {
        result_.diskAttributes[i] = watched_[i].attributes;
    }
    std::size_t count = 0;
    for (const SeenVolume &volume : volumes_) {
        if (count < sizeof result_.volumeNames / sizeof result_.volumeNames[0] &&
            volume.name.size() < sizeof result_.volumeNames[0]) {
            std::memcpy(result_.volumeNames[count++], volume.name.c_str(), volume.name.size() + 1);
        }
    }
    result_.volumeCount = static_cast<unsigned long>(count);
    const std::size_t letters = std::min(assigned_.size(), sizeof result_.assignedLetters - 1);
    std::memcpy(result_.assignedLetters, assigned_.data(), letters);
    result_.assignedLetters[letters] = '\0';
}

// The undo's first step: the letters and folders this call gave go before the session does.
// Disk attributes that it changed stay as they are now.
void AttachCall::TakeBackMountPoints() {
    for (auto point = given_.rbegin(); point != given_.rend(); ++point) {
        const platform::DWORD error = volumes::RemoveMountPoint(*point);
        if (error == 0) {
            progress_.Line("took back %s, which it gave", point->c_str());
        } else {
            progress_.Line("cannot take back %s, which it gave (%s)", point->c_str(),
                           StatusWords(error).text);
        }
    }
    given_.clear();
    assigned_.clear();
}

void AttachCall::RemovePersistentLoginsMadeHere() {
    std::vector<platform::PERSISTENT_ISCSI_LOGIN_INFOA> now;
    // Without the list from before the login, none can be told apart as this call's.
    platform::ISDSC_STATUS listed = persistentBeforeStatus_;
    if (listed == 0) {
        listed = iscsi::ListPersistentLogins(now);
    }
    if (listed != 0) {
        progress_.Line("cannot list the persistent logins (%s); the one made here may stay",
                       StatusWords(listed).text);
        return;
    }
    for (const platform::PERSISTENT_ISCSI_LOGIN_INFOA &login : now) {
        const bool ours =
            iscsi::SameIScsiName(login.TargetName, target_.c_str()) &&
            std::none_of(persistentBefore_.begin(), persistentBefore_.end(),
                         [&login](const platform::PERSISTENT_ISCSI_LOGIN_INFOA &before) {
                             return SamePersistentLogin(before, login);
                         });
        if (!ours) {
            continue;
        }
        const bool takesOneKept =
            std::any_of(persistentBefore_.begin(), persistentBefore_.end(),
                        [&login](const platform::PERSISTENT_ISCSI_LOGIN_INFOA &before) {
                            return RemovalMayTake(login, before);
                        });
        if (takesOneKept) {
            progress_.Line("the persistent login it made stays: removing it would remove the one "
                           "kept before for the same portal");
            continue;
        }
        const platform::ISDSC_STATUS removed = iscsi::RemovePersistentLogin(login);
        if (removed == 0) {
            progress_.Line("removed the persistent login it made");
        } else {
            progress_.Line("cannot remove the persistent login it made (%s)",
                           StatusWords(removed).text);
        }
    }
}

void AttachCall::UndoUnlessKept() noexcept {
    if (succeeded_ || undone_ || (request_.flags & VXD_ATTACH_KEEP_ON_FAILURE) != 0) {
        return;
    }
    undone_ = true;
    // Nothing may leave the call: a failure to undo is told, not thrown.
    try {
        TakeBackMountPoints();
        // A cancelled call answers within a tenth of a second: its undo asks once and tells a
        // busy refusal; any other undo waits out a busy service.
        const bool cancelled = Cancelled();
        for (const platform::ISCSI_UNIQUE_SESSION_ID &made : madeSessions_) {
            const auto logout = [&made] { return iscsi::LogoutSession(made); };
            const platform::ISDSC_STATUS status =
                cancelled ? logout() : AskWhileBusy(logout, progress_);
            if (status == 0) {
                progress_.Line("logged out the session it made");
            } else {
                progress_.Line("cannot log out the session it made (%s)", StatusWords(status).text);
            }
        }
        if (triedPersistent_) {
            RemovePersistentLoginsMadeHere();
        }
    } catch (...) {
    }
}

} // namespace
} // namespace vxd

extern "C" int VXDMOUNT_CALL VxdAttach(const VxdAttachRequest *request, VxdAttachResult *result) {
    return vxd::RunCall<vxd::AttachCall>(request, vxd::kAttachRequestFirstSize, result,
                                         vxd::kAttachResultFirstSize);
}
