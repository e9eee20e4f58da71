// Volume discovery: drive-letter snapshots and the disks that carry their volumes.
#pragma once

#include <cstddef>

#include "platform/platform.h"

namespace vxd {

// Root list of GetLogicalDriveStringsA: "C:\<NUL>" per drive, so the letters are 4 bytes apart.
constexpr platform::DWORD kRootBufferSize = 256;
constexpr std::size_t kRootEntryStride = 4;

// Reply of the extents query; room for 31 extents, of which only the first is read.
constexpr platform::DWORD kDiskExtentsReplySize = 772;
constexpr platform::DWORD kVolumeAccess = platform::kGenericRead | platform::kGenericWrite;
constexpr platform::DWORD kVolumeShareMode = platform::kFileShareRead | platform::kFileShareWrite;

// One entry per possible drive letter.
constexpr std::size_t kDiskNumberListSize = 26;

} // namespace vxd
