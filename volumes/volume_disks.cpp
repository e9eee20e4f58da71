// Which disk carries each letter's volume, compared with the session's device numbers.
#include <array>
#include <cstddef>

#include "entry/mount_task.h"

namespace vxd {
namespace {

class VolumeHandle {
  public:
    explicit VolumeHandle(platform::HANDLE handle) : handle_(handle) {}
    ~VolumeHandle() {
        if (IsOpen()) {
            platform::CloseHandle(handle_);
        }
    }
    VolumeHandle(const VolumeHandle &) = delete;
    VolumeHandle &operator=(const VolumeHandle &) = delete;

    bool IsOpen() const { return handle_ != platform::InvalidHandle(); }
    platform::HANDLE Get() const { return handle_; }

  private:
    platform::HANDLE handle_;
};

struct LetterDisk {
    bool known = false; // false: the volume lies on no disk that anything can equal
    platform::ULONG disk = 0;
};

// Every letter is queried before any comparison. A volume that cannot be opened or does not
// answer (a network drive, a card reader) lies on no disk; the other letters still count.
std::array<LetterDisk, kDiskNumberListSize> CollectDiskNumbers(const std::string &letters,
                                                               std::size_t count) {
    std::array<LetterDisk, kDiskNumberListSize> disks{};
    for (std::size_t j = 0; j < count; ++j) {
        // \\.\X: is six fixed characters and the letter: no formatting, no allocation.
        char path[] = "\\\\.\\?:";
        path[4] = letters[j];
        VolumeHandle volume(platform::CreateFileA(path, kVolumeAccess, kVolumeShareMode, nullptr,
                                                  platform::kOpenExisting, 0, nullptr));
        if (!volume.IsOpen()) {
            continue;
        }
        // Fresh and zeroed for each letter; small enough for the stack, so a poll that opens
        // volumes allocates nothing for their replies.
        alignas(platform::VOLUME_DISK_EXTENTS) unsigned char reply[kDiskExtentsReplySize] = {};
        platform::DWORD bytesReturned = 0;
        // The byte count, not the call's result, says whether the first extent was written:
        // a volume with more extents than the reply holds fails the call with the first ones
        // filled in, and still lies on the disk of its first extent.
        platform::DeviceIoControl(volume.Get(), platform::kIoctlVolumeGetVolumeDiskExtents, nullptr,
                                  0, reply, kDiskExtentsReplySize, &bytesReturned, nullptr);
        const auto *extents = reinterpret_cast<const platform::VOLUME_DISK_EXTENTS *>(reply);
        const std::size_t firstExtentEnd = offsetof(platform::VOLUME_DISK_EXTENTS, Extents) +
                                           sizeof(platform::DISK_EXTENT::DiskNumber);
        if (bytesReturned >= firstExtentEnd && bytesReturned <= kDiskExtentsReplySize) {
            // A volume that spans disks counts as lying on the disk of its first extent.
            disks[j].known = true;
            disks[j].disk = extents->Extents[0].DiskNumber;
        }
    }
    return disks;
}

std::size_t LettersExamined(const std::string &letters) {
    return letters.size() < kDiskNumberListSize ? letters.size() : kDiskNumberListSize;
}

} // namespace

int CMountTask::NewLettersOnSessionDisks(const std::string &letters,
                                         const DeviceBuffer &devices) const {
    const std::size_t count = LettersExamined(letters);
    const auto disks = CollectDiskNumbers(letters, count);
    for (std::size_t i = 0; i < count; ++i) {
        // A record the latest lookup did not fill equals no letter's disk.
        if (i >= devices.filled) {
            return 0;
        }
        const platform::ULONG device = devices.records[i].StorageDeviceNumber.DeviceNumber;
        bool covered = false;
        for (std::size_t j = 0; j < count && !covered; ++j) {
            covered = disks[j].known && disks[j].disk == device;
        }
        if (!covered) {
            return 0;
        }
    }
    return 1;
}

char CMountTask::FindLetterOnSessionDisk(const std::string &letters,
                                         const DeviceBuffer &devices) const {
    const std::size_t count = LettersExamined(letters);
    const auto disks = CollectDiskNumbers(letters, count);
    if (devices.filled == 0) {
        return '\0';
    }
    const platform::ULONG device = devices.records[0].StorageDeviceNumber.DeviceNumber;
    for (std::size_t j = 0; j < count; ++j) {
        if (disks[j].known && disks[j].disk == device) {
            return letters[j];
        }
    }
    return '\0';
}

} // namespace vxd
