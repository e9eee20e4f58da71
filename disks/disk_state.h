// A disk's own state, as Windows tells it through \\.\PhysicalDriveN: whether it is offline or
// read-only, what its layout holds, and whether its signature or GPT disk ID is also another
// disk's. VxdAttach, VxdDetach and vxdhost --check all ask these functions.
#pragma once

#include <string>

#include "platform/platform.h"

namespace vxd::disks {

enum class Layout { kUnknown, kMbr, kGpt, kRaw };

struct DiskState {
    platform::ULONG number = 0;
    // The attribute query: answered, or the Windows error of opening the disk or of the query
    // (1 or 50 where the system does not have it).
    bool attributesKnown = false;
    platform::DWORD attributesError = 0;
    bool offline = false;
    bool readOnly = false;
    // The layout query, the same way.
    Layout layout = Layout::kUnknown;
    platform::DWORD layoutError = 0;
    platform::ULONG partitions = 0;      // entries that hold a partition
    platform::ULONG mountable = 0;       // of them, those Windows gives a volume
    platform::ULONG noDefaultLetter = 0; // GPT data partitions marked "no default drive letter"
    // "MBR signature 1A2B3C4D" or "GPT disk ID {...}": what must be unique among the machine's
    // disks; empty when the layout is unknown or RAW.
    std::string identity;
};

// Reads disk `number`'s attributes and layout; opens the disk for reading only.
DiskState ReadDisk(platform::ULONG number);

// The highest disk number that FindCollision looks at.
constexpr platform::ULONG kLastDiskNumber = 63;

// Another disk of the machine whose identity equals `disk`'s: true, with its number.
bool FindCollision(const DiskState &disk, platform::ULONG &other);

// Clears the offline and the read-only attributes that are set, persisted as Set-Disk does,
// and makes the partition manager read the disk again: 0, or the Windows error. Never touches
// a signature or a partition.
platform::DWORD MakeOnlineAndWritable(platform::ULONG number, bool offline, bool readOnly);

} // namespace vxd::disks
