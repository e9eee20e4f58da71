// Which disk carries each letter's volume.
#include <cstddef>

#include "platform/unique_handle.h"
#include "volumes/volume_discovery.h"

namespace vxd::volumes {

LetterDisks DisksOfLetters(const std::string &letters, std::size_t count) {
    LetterDisks disks{};
    for (std::size_t j = 0; j < count && j < kDiskNumberListSize; ++j) {
        // \\.\X: is six fixed characters and the letter: no formatting, no allocation.
        char path[] = "\\\\.\\?:";
        path[4] = letters[j];
        const platform::UniqueFileHandle volume(platform::CreateFileA(
            path, kVolumeAccess, kVolumeShareMode, nullptr, platform::kOpenExisting, 0, nullptr));
        if (!volume) {
            continue;
        }
        // Fresh and zeroed for each letter; small enough for the stack, so a poll that opens
        // volumes allocates nothing for their replies.
        alignas(platform::VOLUME_DISK_EXTENTS) unsigned char reply[kDiskExtentsReplySize] = {};
        platform::DWORD bytesReturned = 0;
        // The byte count, not the call's result, says whether the first extent was written:
        // a volume with more extents than the reply holds fails the call with the first ones
        // filled in, and still lies on the disk of its first extent.
        platform::DeviceIoControl(volume.get(), platform::kIoctlVolumeGetVolumeDiskExtents, nullptr,
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

int LettersCoverDevices(const std::string &letters,
                        const platform::ISCSI_DEVICE_ON_SESSIONA *devices, std::size_t filled) {
    const std::size_t count = LettersExamined(letters);
    const LetterDisks disks = DisksOfLetters(letters, count);
    for (std::size_t i = 0; i < count; ++i) {
        // A record the latest lookup did not fill equals no letter's disk.
        if (i >= filled) {
            return 0;
        }
        const platform::ULONG device = devices[i].StorageDeviceNumber.DeviceNumber;
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

char LetterOnFirstDeviceDisk(const std::string &letters,
                             const platform::ISCSI_DEVICE_ON_SESSIONA *devices,
                             std::size_t filled) {
    const std::size_t count = LettersExamined(letters);
    const LetterDisks disks = DisksOfLetters(letters, count);
    if (filled == 0) {
        return '\0';
    }
    const platform::ULONG device = devices[0].StorageDeviceNumber.DeviceNumber;
    for (std::size_t j = 0; j < count; ++j) {
        if (disks[j].known && disks[j].disk == device) {
            return letters[j];
        }
    }
    return '\0';
}

} // namespace vxd::volumes
