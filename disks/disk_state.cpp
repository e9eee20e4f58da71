// Disk attributes, layouts and collisions.
#include "disks/disk_state.h"

#include <cstring>

#include "platform/unique_handle.h"

namespace vxd::disks {
namespace {

// \\.\PhysicalDriveN, N at most ten digits.
struct DiskPath {
    char text[32];
    explicit DiskPath(platform::ULONG number) {
        // 32 bytes hold the prefix and any 32-bit number: the length needs no look.
        static_cast<void>(platform::FormatText(text, sizeof text, "\\\\.\\PhysicalDrive%lu",
                                               static_cast<unsigned long>(number)));
    }
};

// A layout reply with room for 128 partitions, the most a GPT disk has by default.
constexpr std::size_t kLayoutEntries = 128;
constexpr std::size_t kLayoutReplySize =
    offsetof(platform::DRIVE_LAYOUT_INFORMATION_EX, PartitionEntry) +
    kLayoutEntries * sizeof(platform::PARTITION_INFORMATION_EX);

bool SameGuid(const platform::Guid &a, const platform::Guid &b) {
    return a.Data1 == b.Data1 && a.Data2 == b.Data2 && a.Data3 == b.Data3 &&
           std::memcmp(a.Data4, b.Data4, sizeof a.Data4) == 0;
}

std::string GuidText(const platform::Guid &guid) {
    char text[40];
    static_cast<void>(platform::FormatText(
        text, sizeof text, "{%08lX-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}",
        static_cast<unsigned long>(guid.Data1), guid.Data2, guid.Data3, guid.Data4[0],
        guid.Data4[1], guid.Data4[2], guid.Data4[3], guid.Data4[4], guid.Data4[5], guid.Data4[6],
        guid.Data4[7]));
    return text;
}

bool Mountable(const platform::PARTITION_INFORMATION_EX &entry, bool gpt) {
    if (gpt) {
        return SameGuid(entry.Gpt.PartitionType, platform::kGptBasicDataPartition);
    }
    const platform::UCHAR type = entry.Mbr.PartitionType;
    return type != platform::kMbrTypeUnused && type != platform::kMbrTypeExtended &&
           type != platform::kMbrTypeExtendedLba;
}

void ReadLayout(platform::HANDLE disk, DiskState &state) {
    // Aligned for the records and zeroed, so that what the reply leaves out reads as nothing.
    alignas(platform::DRIVE_LAYOUT_INFORMATION_EX) unsigned char reply[kLayoutReplySize] = {};
    platform::DWORD returned = 0;
    if (platform::DeviceIoControl(disk, platform::kIoctlDiskGetDriveLayoutEx, nullptr, 0, reply,
                                  sizeof reply, &returned, nullptr) == 0 ||
        returned < offsetof(platform::DRIVE_LAYOUT_INFORMATION_EX, PartitionEntry)) {
        state.layoutError = platform::GetLastError();
        return;
    }
    const auto *layout = reinterpret_cast<const platform::DRIVE_LAYOUT_INFORMATION_EX *>(reply);
    const bool gpt = layout->PartitionStyle == platform::kPartitionStyleGpt;
    if (layout->PartitionStyle == platform::kPartitionStyleMbr) {
        state.layout = Layout::kMbr;
        char text[32];
        static_cast<void>(platform::FormatText(text, sizeof text, "MBR signature %08lX",
                                               static_cast<unsigned long>(layout->Mbr.Signature)));
        // A signature of 0 is a disk that was never signed: nothing to compare.
        state.identity = layout->Mbr.Signature == 0 ? std::string() : text;
    } else if (gpt) {
        state.layout = Layout::kGpt;
        state.identity = "GPT disk ID " + GuidText(layout->Gpt.DiskId);
    } else {
        state.layout = Layout::kRaw;
    }
    // Only the entries that the reply holds.
    const std::size_t fits =
        (returned - offsetof(platform::DRIVE_LAYOUT_INFORMATION_EX, PartitionEntry)) /
        sizeof(platform::PARTITION_INFORMATION_EX);
    const std::size_t count = layout->PartitionCount < fits ? layout->PartitionCount : fits;
    for (std::size_t i = 0; i < count && state.layout != Layout::kRaw; ++i) {
        const platform::PARTITION_INFORMATION_EX &entry = layout->PartitionEntry[i];
        // MBR lists four entries whatever the disk holds; an unused one has length 0.
        if (entry.PartitionLength == 0) {
            continue;
        }
        ++state.partitions;
        if (Mountable(entry, gpt)) {
            ++state.mountable;
            if (gpt && (entry.Gpt.Attributes & platform::kGptAttributeNoDriveLetter) != 0) {
                ++state.noDefaultLetter;
            }
        }
    }
}

} // namespace

DiskState ReadDisk(platform::ULONG number) {
    DiskState state;
    state.number = number;
    const DiskPath path(number);
    const platform::UniqueFileHandle disk(platform::CreateFileA(
        path.text, platform::kGenericRead, platform::kFileShareRead | platform::kFileShareWrite,
        nullptr, platform::kOpenExisting, 0, nullptr));
    if (!disk) {
        state.attributesError = state.layoutError = platform::GetLastError();
        return state;
    }
    platform::GET_DISK_ATTRIBUTES attributes;
    attributes.Version = sizeof attributes;
    attributes.Reserved1 = 0;
    attributes.Attributes = 0;
    platform::DWORD returned = 0;
    if (platform::DeviceIoControl(disk.get(), platform::kIoctlDiskGetDiskAttributes, nullptr, 0,
                                  &attributes, sizeof attributes, &returned, nullptr) != 0 &&
        returned >= sizeof attributes) {
        state.attributesKnown = true;
        state.offline = (attributes.Attributes & platform::kDiskAttributeOffline) != 0;
        state.readOnly = (attributes.Attributes & platform::kDiskAttributeReadOnly) != 0;
    } else {
        state.attributesError = platform::GetLastError();
    }
    ReadLayout(disk.get(), state);
    return state;
}

bool FindCollision(const DiskState &disk, platform::ULONG &other) {
    if (disk.identity.empty()) {
        return false;
    }
    for (platform::ULONG number = 0; number <= kLastDiskNumber; ++number) {
        if (number == disk.number) {
            continue;
        }
        const DiskPath path(number);
        const platform::UniqueFileHandle handle(platform::CreateFileA(
            path.text, platform::kGenericRead, platform::kFileShareRead | platform::kFileShareWrite,
            nullptr, platform::kOpenExisting, 0, nullptr));
        if (!handle) {
            continue;
        }
        DiskState state;
        ReadLayout(handle.get(), state);
        if (state.identity == disk.identity) {
            other = number;
            return true;
        }
    }
    return false;
}

platform::DWORD MakeOnlineAndWritable(platform::ULONG number, bool offline, bool readOnly) {
    const DiskPath path(number);
    const platform::UniqueFileHandle disk(
        platform::CreateFileA(path.text, platform::kGenericRead | platform::kGenericWrite,
                              platform::kFileShareRead | platform::kFileShareWrite, nullptr,
                              platform::kOpenExisting, 0, nullptr));
    if (!disk) {
        return platform::GetLastError();
    }
    platform::SET_DISK_ATTRIBUTES set;
    set.Version = sizeof set;
    set.Persist = 1;
    set.Reserved1[0] = set.Reserved1[1] = set.Reserved1[2] = 0;
    set.Attributes = 0; // both bits cleared
    set.AttributesMask = (offline ? platform::kDiskAttributeOffline : 0) |
                         (readOnly ? platform::kDiskAttributeReadOnly : 0);
    for (platform::DWORD &reserved : set.Reserved2) {
        reserved = 0;
    }
    platform::DWORD returned = 0;
    if (platform::DeviceIoControl(disk.get(), platform::kIoctlDiskSetDiskAttributes, &set,
                                  sizeof set, nullptr, 0, &returned, nullptr) == 0) {
        return platform::GetLastError();
    }
    if (platform::DeviceIoControl(disk.get(), platform::kIoctlDiskUpdateProperties, nullptr, 0,
                                  nullptr, 0, &returned, nullptr) == 0) {
        return platform::GetLastError();
    }
    return 0;
}

} // namespace vxd::disks
