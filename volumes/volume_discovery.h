// Volume discovery: snapshots of the machine's drive letters, and the disks that carry the
// letters' volumes, as free functions that every export of the library uses.
#pragma once

#include <array>
#include <cstddef>
#include <string>

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

namespace volumes {

// Appends the first character of each drive root, in the platform's order; nothing when the
// root list cannot be had.
void AppendDriveLetters(std::string &letters);

// 0 when both hold the same letters in the same order, ignoring case; else negative or positive
// as `left` sorts before or after `right`.
int CompareLettersIgnoringCase(const std::string &left, const std::string &right);

// The letters of `newLetters` that `oldLetters` does not hold (an exact match), in order.
std::string LettersAdded(const std::string &oldLetters, const std::string &newLetters);

// The disk of one letter's volume: the disk of its first extent. A volume that cannot be opened
// or does not answer (a network drive, a card reader) lies on no disk.
struct LetterDisk {
    bool known = false;
    platform::ULONG disk = 0;
};
using LetterDisks = std::array<LetterDisk, kDiskNumberListSize>;

// The disks of the first `count` letters (at most 26), each volume opened for its one query.
LetterDisks DisksOfLetters(const std::string &letters, std::size_t count);

// The number of letters that the matching examines: all, but never more than 26.
std::size_t LettersExamined(const std::string &letters);

// Matching against a session's devices, records as the discovery service delivers them, of
// which the first `filled` hold devices. Both query every letter's volume before comparing.

// 1 when each of the first n device records (n: the letters examined) lies on the disk of one
// of the letters; a record past `filled` lies on none. 0 otherwise.
int LettersCoverDevices(const std::string &letters,
                        const platform::ISCSI_DEVICE_ON_SESSIONA *devices, std::size_t filled);

// The first letter whose volume lies on the disk of device record 0, or '\0'.
char LetterOnFirstDeviceDisk(const std::string &letters,
                             const platform::ISCSI_DEVICE_ON_SESSIONA *devices, std::size_t filled);

} // namespace volumes
} // namespace vxd
