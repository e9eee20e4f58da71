// Volumes by name: the machine's volumes with their disks, letters and folders, and the mount
// points that a call gives and takes back.
#include <algorithm>
#include <cstddef>
#include <cstring>
#include <utility>

#include "platform/unique_handle.h"
#include "volumes/volume_discovery.h"

namespace vxd::volumes {
namespace {

// GetVolumePathNamesForVolumeNameA's list: one path for each letter and folder, plenty.
constexpr platform::DWORD kPathListSize = 1024;
// Room for a name and its NUL, as FindFirstVolumeA writes it.
constexpr platform::DWORD kNameBufferSize = 64;

std::vector<platform::ULONG> DisksOfVolume(const std::string &name) {
    std::vector<platform::ULONG> disks;
    // The volume itself, not its root folder: the name without its final backslash, in a
    // fixed buffer, so that a poll allocates no path.
    char device[kNameBufferSize] = {};
    if (name.size() >= sizeof device) {
        return disks;
    }
    // The buffer is zeroed: the copy stays NUL-terminated.
    std::copy(name.begin(), name.end() - 1, device);
    const platform::UniqueFileHandle volume(platform::CreateFileA(
        device, 0, kVolumeShareMode, nullptr, platform::kOpenExisting, 0, nullptr));
    if (!volume) {
        return disks;
    }
    alignas(platform::VOLUME_DISK_EXTENTS) unsigned char reply[kDiskExtentsReplySize] = {};
    platform::DWORD returned = 0;
    // As for a letter's volume: what was written counts, even when more extents did not fit.
    platform::DeviceIoControl(volume.get(), platform::kIoctlVolumeGetVolumeDiskExtents, nullptr, 0,
                              reply, kDiskExtentsReplySize, &returned, nullptr);
    const auto *extents = reinterpret_cast<const platform::VOLUME_DISK_EXTENTS *>(reply);
    const std::size_t header = offsetof(platform::VOLUME_DISK_EXTENTS, Extents);
    if (returned < header || returned > kDiskExtentsReplySize) {
        return disks;
    }
    const std::size_t written = (returned - header) / sizeof(platform::DISK_EXTENT);
    const std::size_t count =
        extents->NumberOfDiskExtents < written ? extents->NumberOfDiskExtents : written;
    for (std::size_t i = 0; i < count; ++i) {
        disks.push_back(extents->Extents[i].DiskNumber);
    }
    return disks;
}

void ReadPaths(VolumeOnDisks &volume) {
    char paths[kPathListSize] = {};
    platform::DWORD needed = 0;
    if (platform::GetVolumePathNamesForVolumeNameA(volume.name.c_str(), paths, kPathListSize - 1,
                                                   &needed) == 0) {
        return;
    }
    // A double-NUL-terminated list; the buffer's last byte stays NUL whatever was written.
    for (const char *path = paths; *path != '\0' && path < paths + kPathListSize;
         path += strnlen(path, kPathListSize) + 1) {
        const std::size_t length = strnlen(path, kPathListSize);
        if (length == 3 && path[1] == ':' && path[2] == '\\') {
            volume.letters.push_back(path[0]);
        } else {
            volume.folders.emplace_back(path, length);
        }
    }
}

} // namespace

std::vector<VolumeOnDisks> ListVolumes() {
    std::vector<VolumeOnDisks> volumes;
    char name[kNameBufferSize] = {};
    const platform::UniqueVolumeSearch search(platform::FindFirstVolumeA(name, sizeof name - 1));
    if (!search) {
        return volumes;
    }
    do {
        const std::size_t length = strnlen(name, sizeof name);
        if (length < 2 || name[length - 1] != '\\') {
            continue;
        }
        VolumeOnDisks volume;
        volume.name.assign(name, length);
        volume.disks = DisksOfVolume(volume.name);
        ReadPaths(volume);
        volumes.push_back(std::move(volume));
    } while (platform::FindNextVolumeA(search.get(), name, sizeof name - 1) != 0);
    return volumes;
}

std::string VolumeOfLetter(char letter) {
    char root[] = "?:\\";
    root[0] = letter;
    char name[kNameBufferSize] = {};
    if (platform::GetVolumeNameForVolumeMountPointA(root, name, sizeof name - 1) == 0) {
        return std::string();
    }
    return std::string(name, strnlen(name, sizeof name));
}

char FirstFreeLetter() {
    std::string used;
    AppendDriveLetters(used);
    for (char letter = 'D'; letter <= 'Z'; ++letter) {
        if (used.find(letter) == std::string::npos &&
            used.find(static_cast<char>(letter - 'A' + 'a')) == std::string::npos) {
            return letter;
        }
    }
    return '\0';
}

platform::DWORD MountVolume(const std::string &mountPoint, const std::string &volume) {
    if (platform::SetVolumeMountPointA(mountPoint.c_str(), volume.c_str()) != 0) {
        return 0;
    }
    const platform::DWORD error = platform::GetLastError();
    // A refusal always has a reason; one that says none still is one.
    return error == 0 ? platform::kErrorInvalidFunction : error;
}

platform::DWORD RemoveMountPoint(const std::string &mountPoint) {
    if (platform::DeleteVolumeMountPointA(mountPoint.c_str()) != 0) {
        return 0;
    }
    const platform::DWORD error = platform::GetLastError();
    return error == 0 ? platform::kErrorInvalidFunction : error;
}

platform::DWORD CheckMountFolder(const std::string &folder) {
    const platform::DWORD attributes = platform::GetFileAttributesA(folder.c_str());
    if (attributes == platform::kInvalidFileAttributes) {
        const platform::DWORD error = platform::GetLastError();
        return error == 0 ? platform::kErrorPathNotFound : error;
    }
    return (attributes & platform::kFileAttributeDirectory) != 0 ? 0 : platform::kErrorDirectory;
}

} // namespace vxd::volumes
