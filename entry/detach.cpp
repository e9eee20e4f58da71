// VxdDetach: takes a target away without losing written data. Its volumes, with or without a
// letter, are flushed, locked and dismounted, the locks held until its sessions are logged out,
// and the folders they are mounted at are taken away first; then its persistent logins and,
// when asked, its portal go. The first refusal stops the call with nothing changed that it
// could keep.
#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "entry/call_support.h"
#include "entry/vxdmount.h"
#include "iscsi/initiator_client.h"
#include "platform/unique_handle.h"
#include "volumes/volume_discovery.h"

namespace vxd {
namespace {

// A volume of the target's, held open (and locked, unless it could not be) until the logout.
struct HeldVolume {
    char letter; // '\0': a volume without a letter, held by its name
    std::string name;
    platform::ULONG disk;
    platform::UniqueFileHandle handle;
    bool locked;
};

// A flush or a dismount that the file system does not support refuses nothing.
bool Unsupported(platform::DWORD error) {
    return error == platform::kErrorInvalidFunction || error == platform::kErrorNotSupported;
}

void AppendLetter(char (&letters)[27], char letter) {
    const std::size_t length = strnlen(letters, sizeof letters);
    if (length + 1 < sizeof letters) {
        letters[length] = letter;
        letters[length + 1] = '\0';
    }
}

class DetachCall {
  public:
    DetachCall(const VxdDetachRequest &request, VxdDetachResult &result)
        : request_(request), result_(result),
          progress_("VxdDetach: ", request.progress, request.progressContext) {}
    DetachCall(const DetachCall &) = delete;
    DetachCall &operator=(const DetachCall &) = delete;

    int Run();

  private:
    int Check();
    int Finish(int status, platform::ULONG serviceStatus = 0);
    int FindWhatTheTargetHas();
    int HoldVolumes();
    int HoldVolume(const std::string &path, const std::string &label, char letter,
                   platform::ULONG disk, bool &inUse);
    bool OnTargetDisk(platform::ULONG disk) const;
    bool OtherLunMounted() const;
    void RemoveFolders();
    int DismountVolumes();
    int LogOut();
    int RemovePersistentLogins();
    int RemovePortal();
    void ReleaseVolumes();
    bool InUseWritable() const {
        return Covers(result_.size,
                      offsetof(VxdDetachResult, lettersInUse) + sizeof result_.lettersInUse);
    }

    const VxdDetachRequest &request_;
    VxdDetachResult &result_;
    Progress progress_;
    std::string target_;
    std::string portal_;
    int port_ = kDefaultPortalPort;
    bool force_ = false;
    platform::ULONG lun_ = iscsi::kAnyLun; // VXD_DETACH_ONE_LUN

    std::vector<iscsi::Session> sessions_;
    std::vector<iscsi::SessionDisks> sessionDisks_; // one for each of sessions_
    std::vector<platform::PERSISTENT_ISCSI_LOGIN_INFOA> persistent_;
    std::vector<HeldVolume> volumes_;
    std::vector<std::string> folders_; // where the target's volumes are mounted, but letters
};

// The LUN came with 1.5.
constexpr std::size_t kDetachRequestLunEnd =
    offsetof(VxdDetachRequest, lun) + sizeof(VxdDetachRequest::lun);

int DetachCall::Check() {
    const unsigned long knownFlags = VXD_DETACH_FORCE | VXD_DETACH_REMOVE_PORTAL |
                                     (Covers(request_.size, kDetachRequestLunEnd)
                                          ? static_cast<unsigned long>(VXD_DETACH_ONE_LUN)
                                          : 0ul);
    if (!IsTargetName(request_.targetName)) {
        progress_.Line("the target's name is missing, or longer than %u characters",
                       static_cast<unsigned>(platform::kMaxIScsiNameLen));
        return VXD_STATUS_INVALID_ARGUMENT;
    }
    if ((request_.flags & ~knownFlags) != 0) {
        progress_.Line("unknown flags 0x%lx", request_.flags & ~knownFlags);
        return VXD_STATUS_INVALID_ARGUMENT;
    }
    if ((request_.flags & VXD_DETACH_REMOVE_PORTAL) != 0) {
        if (!IsDottedIpv4(request_.portalAddress)) {
            progress_.Line("the portal to remove is not a dotted IPv4 address such as "
                           "192.168.0.10");
            return VXD_STATUS_INVALID_ARGUMENT;
        }
        portal_ = request_.portalAddress;
        port_ = request_.portalPort == 0 ? kDefaultPortalPort : request_.portalPort;
    }
    if ((request_.flags & VXD_DETACH_ONE_LUN) != 0) {
        if (request_.lun > kLargestLun) {
            progress_.Line("LUN %lu is not one that a SCSI address holds (0 to %lu)",
                           static_cast<unsigned long>(request_.lun), kLargestLun);
            return VXD_STATUS_INVALID_ARGUMENT;
        }
        lun_ = request_.lun;
    }
    target_ = request_.targetName;
    force_ = (request_.flags & VXD_DETACH_FORCE) != 0;
    return VXD_STATUS_OK;
}

int DetachCall::Finish(int status, platform::ULONG serviceStatus) {
    ReleaseVolumes();
    result_.status = status;
    result_.serviceStatus = serviceStatus;
    if (status == VXD_STATUS_OK) {
        progress_.Line("done: %lu sessions logged out, %lu persistent logins removed",
                       static_cast<unsigned long>(result_.sessionsLoggedOut),
                       static_cast<unsigned long>(result_.persistentLoginsRemoved));
    } else if (serviceStatus != 0) {
        progress_.Line("stopped: %s (%s)", VxdStatusText(status), StatusWords(serviceStatus).text);
    } else {
        progress_.Line("stopped: %s", VxdStatusText(status));
    }
    return status;
}

// The target's sessions, their disks and its persistent logins; nothing is changed yet.
int DetachCall::FindWhatTheTargetHas() {
    std::vector<iscsi::Session> all;
    platform::ISDSC_STATUS status =
        AskWhileBusy([&all] { return iscsi::ListSessions(all); }, progress_);
    if (status == 0) {
        for (const iscsi::Session &session : all) {
            if (iscsi::IsSessionOf(session, target_)) {
                sessions_.push_back(session);
            }
        }
        std::vector<platform::PERSISTENT_ISCSI_LOGIN_INFOA> kept;
        status = iscsi::ListPersistentLogins(kept);
        for (const platform::PERSISTENT_ISCSI_LOGIN_INFOA &login : kept) {
            if (iscsi::SameIScsiName(login.TargetName, target_.c_str())) {
                persistent_.push_back(login);
            }
        }
    }
    for (std::size_t i = 0; status == 0 && i < sessions_.size(); ++i) {
        sessionDisks_.emplace_back();
        status = AskWhileBusy(
            [this, i] { return iscsi::AddSessionDisks(sessions_[i].id, sessionDisks_.back()); },
            progress_);
    }
    // A list that the library has no room for.
    if (status == platform::kErrorNotEnoughMemory) {
        return Finish(VXD_STATUS_OUT_OF_MEMORY, status);
    }
    if (status != 0) {
        return Finish(iscsi::ServiceUnavailable(status) ? VXD_STATUS_SERVICE_UNAVAILABLE
                                                        : VXD_STATUS_LOGOUT_FAILED,
                      status);
    }
    if (sessions_.empty() && persistent_.empty()) {
        return Finish(VXD_STATUS_NOT_ATTACHED);
    }
    if (lun_ != iscsi::kAnyLun &&
        std::none_of(
            sessionDisks_.begin(), sessionDisks_.end(), [this](const iscsi::SessionDisks &disks) {
                return std::find(disks.luns.begin(),
                                 disks.luns.begin() + static_cast<long>(disks.count),
                                 lun_) != disks.luns.begin() + static_cast<long>(disks.count);
            })) {
        progress_.Line("LUN %lu is on none of %s's sessions", static_cast<unsigned long>(lun_),
                       target_.c_str());
        return Finish(VXD_STATUS_NOT_ATTACHED);
    }
    progress_.Line("%s has %lu sessions and %lu persistent logins", target_.c_str(),
                   static_cast<unsigned long>(sessions_.size()),
                   static_cast<unsigned long>(persistent_.size()));
    return VXD_STATUS_OK;
}

// A disk of the target's, of the LUN alone with VXD_DETACH_ONE_LUN.
bool DetachCall::OnTargetDisk(platform::ULONG disk) const {
    return std::any_of(sessionDisks_.begin(), sessionDisks_.end(),
                       [this, disk](const iscsi::SessionDisks &session) {
                           for (std::size_t i = 0; i < session.count; ++i) {
                               if (session.numbers[i] == disk &&
                                   (lun_ == iscsi::kAnyLun || session.luns[i] == lun_)) {
                                   return true;
                               }
                           }
                           return false;
                       });
}

// VXD_DETACH_ONE_LUN: whether a volume lies on a disk of another of the target's LUNs, which a
// logout would take away from whoever uses it.
bool DetachCall::OtherLunMounted() const {
    const auto otherLunDisk = [this](platform::ULONG disk) {
        return std::any_of(sessionDisks_.begin(), sessionDisks_.end(),
                           [this, disk](const iscsi::SessionDisks &session) {
                               for (std::size_t i = 0; i < session.count; ++i) {
                                   if (session.numbers[i] == disk && session.luns[i] != lun_) {
                                       return true;
                                   }
                               }
                               return false;
                           });
    };
    for (const volumes::VolumeOnDisks &volume : volumes::ListVolumes()) {
        if (std::any_of(volume.disks.begin(), volume.disks.end(), otherLunDisk)) {
            return true;
        }
    }
    std::string letters;
    volumes::AppendDriveLetters(letters);
    const std::size_t count = volumes::LettersExamined(letters);
    const volumes::LetterDisks disks = volumes::DisksOfLetters(letters, count);
    for (std::size_t j = 0; j < count; ++j) {
        if (disks[j].known && otherLunDisk(disks[j].disk)) {
            return true;
        }
    }
    return false;
}

// Opens, flushes and locks one volume of the target's; `label` names it in the lines.
int DetachCall::HoldVolume(const std::string &path, const std::string &label, char letter,
                           platform::ULONG disk, bool &inUse) {
    platform::UniqueFileHandle handle(platform::CreateFileA(path.c_str(), kVolumeAccess,
                                                            kVolumeShareMode, nullptr,
                                                            platform::kOpenExisting, 0, nullptr));
    if (!handle) {
        const platform::DWORD error = platform::GetLastError();
        progress_.Line("%s cannot be opened (%s)", label.c_str(), StatusWords(error).text);
        return Finish(VXD_STATUS_VOLUME_IN_USE, error);
    }
    if (!platform::FlushFileBuffers(handle.get())) {
        const platform::DWORD error = platform::GetLastError();
        if (!Unsupported(error)) {
            progress_.Line("%s cannot be flushed (%s)", label.c_str(), StatusWords(error).text);
            return Finish(VXD_STATUS_VOLUME_IN_USE, error);
        }
    }
    platform::DWORD returned = 0;
    const bool locked = platform::DeviceIoControl(handle.get(), platform::kFsctlLockVolume, nullptr,
                                                  0, nullptr, 0, &returned, nullptr) != 0;
    if (!locked) {
        inUse = true;
        if (InUseWritable() && letter != '\0') {
            AppendLetter(result_.lettersInUse, letter);
        }
        progress_.Line(force_ ? "%s is in use; it is dismounted all the same"
                              : "%s is in use (files are open on it)",
                       label.c_str());
    } else {
        progress_.Line("%s flushed and locked", label.c_str());
    }
    volumes_.push_back(HeldVolume{letter, label, disk, std::move(handle), locked});
    return VXD_STATUS_OK;
}

// Opens, flushes and locks every volume that lies on one of the sessions' disks: those with a
// letter by the letter, as 1.3 did, and the others by their names. A lock that fails refuses
// the call, unless it is forced; a refusal unlocks what was locked.
int DetachCall::HoldVolumes() {
    // Every volume by name, looked at before any is held.
    const std::vector<volumes::VolumeOnDisks> named = volumes::ListVolumes();
    std::string letters;
    volumes::AppendDriveLetters(letters);
    const std::size_t count = volumes::LettersExamined(letters);
    const volumes::LetterDisks disks = volumes::DisksOfLetters(letters, count);
    bool inUse = false;
    for (std::size_t j = 0; j < count; ++j) {
        if (!disks[j].known || !OnTargetDisk(disks[j].disk)) {
            continue;
        }
        char path[] = "\\\\.\\?:";
        path[4] = letters[j];
        const int held =
            HoldVolume(path, std::string(1, letters[j]) + ":", letters[j], disks[j].disk, inUse);
        if (held != VXD_STATUS_OK) {
            return held;
        }
    }
    for (const volumes::VolumeOnDisks &volume : named) {
        const auto disk = std::find_if(volume.disks.begin(), volume.disks.end(),
                                       [this](platform::ULONG d) { return OnTargetDisk(d); });
        if (disk == volume.disks.end()) {
            continue;
        }
        folders_.insert(folders_.end(), volume.folders.begin(), volume.folders.end());
        const bool heldByLetter =
            std::any_of(volume.letters.begin(), volume.letters.end(), [this](char letter) {
                return std::any_of(volumes_.begin(), volumes_.end(),
                                   [letter](const HeldVolume &v) { return v.letter == letter; });
            });
        if (heldByLetter) {
            continue;
        }
        // The volume itself: its name without the final backslash.
        const int held =
            HoldVolume(volume.name.substr(0, volume.name.size() - 1), volume.name,
                       volume.letters.empty() ? '\0' : volume.letters[0], *disk, inUse);
        if (held != VXD_STATUS_OK) {
            return held;
        }
    }
    if (inUse && !force_) {
        return Finish(VXD_STATUS_VOLUME_IN_USE, platform::kErrorAccessDenied);
    }
    return VXD_STATUS_OK;
}

// The folders that the target's volumes are mounted at: taken away before the logout, so that
// none is left pointing at a volume that is gone. A refusal is told, and the detach goes on:
// the data is safe either way.
void DetachCall::RemoveFolders() {
    for (const std::string &folder : folders_) {
        const platform::DWORD error = volumes::RemoveMountPoint(folder);
        if (error == 0) {
            progress_.Line("removed the mount point %s", folder.c_str());
        } else {
            progress_.Line("cannot remove the mount point %s (%s); remove it with mountvol %s /D",
                           folder.c_str(), StatusWords(error).text, folder.c_str());
        }
    }
}

// Dismounts each volume it holds; the locks stay until the logout is done.
int DetachCall::DismountVolumes() {
    for (const HeldVolume &volume : volumes_) {
        platform::DWORD returned = 0;
        if (platform::DeviceIoControl(volume.handle.get(), platform::kFsctlDismountVolume, nullptr,
                                      0, nullptr, 0, &returned, nullptr) != 0) {
            continue;
        }
        const platform::DWORD error = platform::GetLastError();
        if (!Unsupported(error)) {
            progress_.Line("%s cannot be dismounted (%s)", volume.name.c_str(),
                           StatusWords(error).text);
            return Finish(VXD_STATUS_VOLUME_IN_USE, error);
        }
    }
    return VXD_STATUS_OK;
}

int DetachCall::LogOut() {
    for (std::size_t i = 0; i < sessions_.size(); ++i) {
        const platform::ISCSI_UNIQUE_SESSION_ID id = sessions_[i].id;
        const platform::ISDSC_STATUS status =
            AskWhileBusy([id] { return iscsi::LogoutSession(id); }, progress_);
        if (status == platform::kStatusDeviceBusyOnSession) {
            return Finish(VXD_STATUS_VOLUME_IN_USE, status);
        }
        if (status != 0) {
            return Finish(iscsi::ServiceUnavailable(status) ? VXD_STATUS_SERVICE_UNAVAILABLE
                                                            : VXD_STATUS_LOGOUT_FAILED,
                          status);
        }
        ++result_.sessionsLoggedOut;
        const iscsi::SessionDisks &disks = sessionDisks_[i];
        for (const HeldVolume &volume : volumes_) {
            if (std::find(disks.numbers.begin(),
                          disks.numbers.begin() + static_cast<long>(disks.count),
                          volume.disk) != disks.numbers.begin() + static_cast<long>(disks.count) &&
                volume.letter != '\0' && std::strchr(result_.letters, volume.letter) == nullptr) {
                AppendLetter(result_.letters, volume.letter);
            }
        }
        progress_.Line("logged out session %s", SessionIdText(sessions_[i].id).text);
    }
    return VXD_STATUS_OK;
}

int DetachCall::RemovePersistentLogins() {
    for (const platform::PERSISTENT_ISCSI_LOGIN_INFOA &login : persistent_) {
        const platform::ISDSC_STATUS status = iscsi::RemovePersistentLogin(login);
        if (status != 0) {
            return Finish(iscsi::ServiceUnavailable(status) ? VXD_STATUS_SERVICE_UNAVAILABLE
                                                            : VXD_STATUS_LOGOUT_FAILED,
                          status);
        }
        ++result_.persistentLoginsRemoved;
    }
    if (!persistent_.empty()) {
        progress_.Line("removed %lu persistent logins",
                       static_cast<unsigned long>(result_.persistentLoginsRemoved));
    }
    return VXD_STATUS_OK;
}

int DetachCall::RemovePortal() {
    const platform::ISDSC_STATUS status = iscsi::RemoveSendTargetPortal(portal_, port_);
    if (status == platform::kStatusPortalNotFound) {
        progress_.Line("the portal %s:%d was not registered", portal_.c_str(), port_);
        return VXD_STATUS_OK;
    }
    if (status != 0) {
        return Finish(iscsi::ServiceUnavailable(status) ? VXD_STATUS_SERVICE_UNAVAILABLE
                                                        : VXD_STATUS_PORTAL_FAILED,
                      status);
    }
    progress_.Line("removed the portal %s:%d", portal_.c_str(), port_);
    return VXD_STATUS_OK;
}

// Unlocks what it locked and closes every volume.
void DetachCall::ReleaseVolumes() {
    for (HeldVolume &volume : volumes_) {
        if (volume.locked) {
            platform::DWORD returned = 0;
            platform::DeviceIoControl(volume.handle.get(), platform::kFsctlUnlockVolume, nullptr, 0,
                                      nullptr, 0, &returned, nullptr);
        }
    }
    volumes_.clear();
}

int DetachCall::Run() {
    const int checked = Check();
    if (checked != VXD_STATUS_OK) {
        return Finish(checked);
    }
    int status = FindWhatTheTargetHas();
    if (status != VXD_STATUS_OK) {
        return status;
    }
    // Asked before anything is held: the look opens volumes, which would mount them again.
    const bool sessionsStay = lun_ != iscsi::kAnyLun && OtherLunMounted();
    status = HoldVolumes();
    if (status == VXD_STATUS_OK) {
        status = DismountVolumes();
    }
    if (status == VXD_STATUS_OK && sessionsStay) {
        // The sessions stay for the other LUNs: this LUN's volumes are flushed and dismounted,
        // and come back only if someone opens them again.
        for (const HeldVolume &volume : volumes_) {
            if (volume.letter != '\0') {
                AppendLetter(result_.letters, volume.letter);
            }
        }
        progress_.Line("dismounted LUN %lu's %lu volumes; the sessions stay, since another LUN "
                       "of the target has a mounted volume",
                       static_cast<unsigned long>(lun_),
                       static_cast<unsigned long>(volumes_.size()));
        return Finish(VXD_STATUS_OK);
    }
    if (status == VXD_STATUS_OK) {
        RemoveFolders();
        status = LogOut();
    }
    if (status != VXD_STATUS_OK) {
        return status;
    }
    // The volumes went with their disks: their handles are closed, with nothing to unlock.
    volumes_.clear();
    status = RemovePersistentLogins();
    if (status == VXD_STATUS_OK && (request_.flags & VXD_DETACH_REMOVE_PORTAL) != 0) {
        status = RemovePortal();
    }
    return status == VXD_STATUS_OK ? Finish(VXD_STATUS_OK) : status;
}

} // namespace
} // namespace vxd

extern "C" int VXDMOUNT_CALL VxdDetach(const VxdDetachRequest *request, VxdDetachResult *result) {
    return vxd::RunCall<vxd::DetachCall>(request, vxd::kDetachRequestFirstSize, result,
                                         vxd::kDetachResultFirstSize);
}
