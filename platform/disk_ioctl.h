// The disk requests and records that mingw-w64's winioctl.h lacks (disk attributes) or that the
// logic needs without windows.h (layouts), laid out as Microsoft publishes them. vxdhost's
// --check reads the same declarations.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/types.h"

namespace vxd::platform {

// CTL_CODE(FILE_DEVICE_DISK, function, METHOD_BUFFERED, access).
constexpr DWORD kIoctlDiskGetDiskAttributes = 0x000700F0; // 0x3c, FILE_ANY_ACCESS
constexpr DWORD kIoctlDiskSetDiskAttributes = 0x0007C0F4; // 0x3d, read and write access
constexpr DWORD kIoctlDiskUpdateProperties = 0x00070140;  // 0x50, FILE_ANY_ACCESS
constexpr DWORD kIoctlDiskGetDriveLayoutEx = 0x00070050;  // 0x14, FILE_ANY_ACCESS

constexpr ULONGLONG kDiskAttributeOffline = 0x1;
constexpr ULONGLONG kDiskAttributeReadOnly = 0x2;

struct GET_DISK_ATTRIBUTES {
    DWORD Version; // sizeof(GET_DISK_ATTRIBUTES)
    DWORD Reserved1;
    ULONGLONG Attributes;
};

struct SET_DISK_ATTRIBUTES {
    DWORD Version;   // sizeof(SET_DISK_ATTRIBUTES)
    BOOLEAN Persist; // the setting survives a reboot
    UCHAR Reserved1[3];
    ULONGLONG Attributes;     // the new values of the bits in AttributesMask
    ULONGLONG AttributesMask; // which bits change
    DWORD Reserved2[4];
};

static_assert(sizeof(GET_DISK_ATTRIBUTES) == 16);
static_assert(offsetof(GET_DISK_ATTRIBUTES, Attributes) == 8);
static_assert(sizeof(SET_DISK_ATTRIBUTES) == 40);
static_assert(offsetof(SET_DISK_ATTRIBUTES, Attributes) == 8);
static_assert(offsetof(SET_DISK_ATTRIBUTES, AttributesMask) == 16);
static_assert(offsetof(SET_DISK_ATTRIBUTES, Reserved2) == 24);

// IOCTL_DISK_GET_DRIVE_LAYOUT_EX's reply: the header, then PartitionCount entries.
constexpr DWORD kPartitionStyleMbr = 0;
constexpr DWORD kPartitionStyleGpt = 1;
constexpr DWORD kPartitionStyleRaw = 2;

struct Guid {
    std::uint32_t Data1;
    std::uint16_t Data2;
    std::uint16_t Data3;
    std::uint8_t Data4[8];
};

struct DRIVE_LAYOUT_INFORMATION_GPT {
    Guid DiskId;
    std::int64_t StartingUsableOffset;
    std::int64_t UsableLength;
    DWORD MaxPartitionCount;
};

struct DRIVE_LAYOUT_INFORMATION_MBR {
    DWORD Signature;
    DWORD CheckSum;
};

struct PARTITION_INFORMATION_MBR {
    UCHAR PartitionType;
    BOOLEAN BootIndicator;
    BOOLEAN RecognizedPartition;
    DWORD HiddenSectors;
    Guid PartitionId;
};

struct PARTITION_INFORMATION_GPT {
    Guid PartitionType;
    Guid PartitionId;
    ULONGLONG Attributes;
    std::uint16_t Name[36]; // UTF-16
};

struct PARTITION_INFORMATION_EX {
    DWORD PartitionStyle;
    std::int64_t StartingOffset;
    std::int64_t PartitionLength;
    DWORD PartitionNumber;
    BOOLEAN RewritePartition;
    BOOLEAN IsServicePartition;
    union {
        PARTITION_INFORMATION_MBR Mbr;
        PARTITION_INFORMATION_GPT Gpt;
    };
};

struct DRIVE_LAYOUT_INFORMATION_EX {
    DWORD PartitionStyle;
    DWORD PartitionCount;
    union {
        DRIVE_LAYOUT_INFORMATION_MBR Mbr;
        DRIVE_LAYOUT_INFORMATION_GPT Gpt;
    };
    PARTITION_INFORMATION_EX PartitionEntry[1];
};

static_assert(sizeof(Guid) == 16);
static_assert(sizeof(DRIVE_LAYOUT_INFORMATION_GPT) == 40);
static_assert(sizeof(PARTITION_INFORMATION_EX) == 144);
static_assert(offsetof(PARTITION_INFORMATION_EX, Mbr) == 32);
static_assert(offsetof(DRIVE_LAYOUT_INFORMATION_EX, PartitionEntry) == 48);

// The basic data partition's type: the one GPT type that Windows gives a volume and a letter.
constexpr Guid kGptBasicDataPartition = {
    0xEBD0A0A2, 0xB9E5, 0x4433, {0x87, 0xC0, 0x68, 0xB6, 0xB7, 0x26, 0x99, 0xC7}};
constexpr ULONGLONG kGptAttributeNoDriveLetter = 0x8000000000000000ull;
// MBR partition types that hold no file system: none, and the two extended containers.
constexpr UCHAR kMbrTypeUnused = 0x00;
constexpr UCHAR kMbrTypeExtended = 0x05;
constexpr UCHAR kMbrTypeExtendedLba = 0x0F;

} // namespace vxd::platform
