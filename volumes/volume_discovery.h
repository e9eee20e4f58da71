// Volume discovery: snapshots of the machine's drive letters, and the disks that carry the
// letters' volumes, as free functions that every export of the library uses.
#pragma once

#include <array>
#include <cstddef>
#include <string>
#include <vector>

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

// Volumes by name: "\\?\Volume{GUID}\", 49 characters, with or without a letter.
constexpr std::size_t kVolumeNameLength = 49;

struct VolumeOnDisks {
    std::string name;                   // with its final backslash
    std::vector<platform::ULONG> disks; // of its extents; empty where Windows tells none
    std::string letters;                // the letters it is mounted at: "F"
    std::vector<std::string> folders;   // the folders it is mounted at: "C:\\mnt\\data\\"
};

// Every volume of the machine, with its disks, letters and folders; an empty list where the
// search cannot start.
std::vector<VolumeOnDisks> ListVolumes();

// The volume mounted at a letter's root, "" where none can be told.
std::string VolumeOfLetter(char letter);

// The first letter from D to Z that the machine does not use; '\0' when none is free.
char FirstFreeLetter();

// Mounts a volume at "F:\\" or at an empty folder "C:\\mnt\\data\\", and takes such a mount point
// away: 0 or the Windows error.
platform::DWORD MountVolume(const std::string &mountPoint, const std::string &volume);
platform::DWORD RemoveMountPoint(const std::string &mountPoint);

// A folder that a volume can be mounted at, with its final backslash: 0 when it is an existing
// folder, else the Windows error (3 for one that does not exist, 267 for a file).
platform::DWORD CheckMountFolder(const std::string &folder);

} // namespace volumes
} // namespace vxd
