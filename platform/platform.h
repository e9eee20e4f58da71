// The operations and records through which the library reaches the machine. The logic is
// written against this header only; platform/win32 forwards each operation to Windows, and
// platform/sim implements them on a simulated machine for the tests and the Linux runner.
//
// The records are the platform's published structures, declared here because the toolchain's
// own iscsidsc.h does not compile. Their layout must match the platform's byte for byte, so
// the 32-bit sizes and offsets are asserted below.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vxd::platform {

#ifdef _WIN32
// Same underlying types as the platform's own, so the forwarders pass pointers unchanged.
using DWORD = unsigned long;
using ULONG = unsigned long;
using BOOL = int;
#else
using DWORD = std::uint32_t;
using ULONG = std::uint32_t;
using BOOL = std::int32_t;
#endif
using USHORT = std::uint16_t;
using UCHAR = unsigned char;
using BOOLEAN = unsigned char;
using ULONGLONG = std::uint64_t;
using HANDLE = void *;
using ISDSC_STATUS = ULONG;

constexpr ULONG kErrorInsufficientBuffer = 122;
constexpr ISDSC_STATUS kStatusTargetAlreadyLoggedIn = 0xEFFF003F;
constexpr DWORD kIoctlVolumeGetVolumeDiskExtents = 0x560000;
constexpr DWORD kGenericRead = 0x80000000;
constexpr DWORD kGenericWrite = 0x40000000;
constexpr DWORD kFileShareRead = 1;
constexpr DWORD kFileShareWrite = 2;
constexpr DWORD kOpenExisting = 3;

// The platform's INVALID_HANDLE_VALUE: all bits set.
// NOLINTNEXTLINE(performance-no-int-to-ptr): the platform defines this handle as a number.
inline HANDLE InvalidHandle() { return reinterpret_cast<HANDLE>(~std::uintptr_t{0}); }

constexpr std::size_t kMaxIScsiHbaNameLen = 256;
constexpr std::size_t kMaxIScsiNameLen = 223;
constexpr std::size_t kMaxPath = 260;
constexpr std::size_t kMaxIScsiPortalNameLen = 256;
constexpr std::size_t kMaxIScsiPortalAddressLen = 256;

struct ISCSI_UNIQUE_SESSION_ID {
    ULONGLONG AdapterUnique;
    ULONGLONG AdapterSpecific;
};
using ISCSI_UNIQUE_CONNECTION_ID = ISCSI_UNIQUE_SESSION_ID;

enum ISCSI_AUTH_TYPES : std::int32_t {
    ISCSI_NO_AUTH_TYPE = 0,
    ISCSI_CHAP_AUTH_TYPE = 1,
    ISCSI_MUTUAL_CHAP_AUTH_TYPE = 2,
};

enum ISCSI_DIGEST_TYPES : std::int32_t {
    ISCSI_DIGEST_TYPE_NONE = 0,
};

constexpr ULONG ISCSI_LOGIN_OPTIONS_USERNAME = 0x00000020;
constexpr ULONG ISCSI_LOGIN_OPTIONS_PASSWORD = 0x00000040;
constexpr ULONG ISCSI_LOGIN_OPTIONS_AUTH_TYPE = 0x00000080;

struct ISCSI_LOGIN_OPTIONS {
    ULONG Version;
    ULONG InformationSpecified;
    ULONG LoginFlags;
    ISCSI_AUTH_TYPES AuthType;
    ISCSI_DIGEST_TYPES HeaderDigest;
    ISCSI_DIGEST_TYPES DataDigest;
    ULONG MaximumConnections;
    ULONG DefaultTime2Wait;
    ULONG DefaultTime2Retain;
    ULONG UsernameLength;
    ULONG PasswordLength;
    UCHAR *Username;
    UCHAR *Password;
};

struct ISCSI_TARGET_PORTALA {
    char SymbolicName[kMaxIScsiPortalNameLen];
    char Address[kMaxIScsiPortalAddressLen];
    USHORT Socket;
};

// Declared for the login's signature; the library always passes none.
struct ISCSI_TARGET_MAPPINGA;

enum IKE_AUTHENTICATION_METHOD : std::int32_t {
    IKE_AUTHENTICATION_PRESHARED_KEY_METHOD = 1,
};

struct IKE_AUTHENTICATION_PRESHARED_KEY {
    ULONGLONG SecurityFlags;
    UCHAR IdType;
    ULONG IdLengthInBytes;
    UCHAR *Id;
    ULONG KeyLengthInBytes;
    UCHAR *Key;
};

struct IKE_AUTHENTICATION_INFORMATION {
    IKE_AUTHENTICATION_METHOD AuthMethod;
    union {
        IKE_AUTHENTICATION_PRESHARED_KEY PsKey;
    };
};

struct ISCSI_CONNECTION_INFOA;

struct ISCSI_SESSION_INFOA {
    ISCSI_UNIQUE_SESSION_ID SessionId;
    char *InitiatorName;
    char *TargetNodeName;
    char *TargetName;
    UCHAR ISID[6];
    UCHAR TSID[2];
    ULONG ConnectionCount;
    ISCSI_CONNECTION_INFOA *Connections;
};

struct SCSI_ADDRESS {
    ULONG Length;
    UCHAR PortNumber;
    UCHAR PathId;
    UCHAR TargetId;
    UCHAR Lun;
};

struct GUID_RECORD {
    std::uint32_t Data1;
    std::uint16_t Data2;
    std::uint16_t Data3;
    std::uint8_t Data4[8];
};

struct STORAGE_DEVICE_NUMBER {
    DWORD DeviceType;
    ULONG DeviceNumber;
    ULONG PartitionNumber;
};

struct ISCSI_DEVICE_ON_SESSIONA {
    char InitiatorName[kMaxIScsiHbaNameLen];
    char TargetName[kMaxIScsiNameLen + 1];
    SCSI_ADDRESS ScsiAddress;
    GUID_RECORD DeviceInterfaceType;
    char DeviceInterfaceName[kMaxPath];
    char LegacyName[kMaxPath];
    STORAGE_DEVICE_NUMBER StorageDeviceNumber;
    DWORD DeviceInstance;
};

struct DISK_EXTENT {
    DWORD DiskNumber;
    std::int64_t StartingOffset;
    std::int64_t ExtentLength;
};

struct VOLUME_DISK_EXTENTS {
    DWORD NumberOfDiskExtents;
    DISK_EXTENT Extents[1];
};

// Records without pointers have one layout everywhere.
static_assert(sizeof(ISCSI_UNIQUE_SESSION_ID) == 16);
static_assert(sizeof(ISCSI_UNIQUE_CONNECTION_ID) == 16);
static_assert(sizeof(ISCSI_TARGET_PORTALA) == 514);
static_assert(offsetof(ISCSI_TARGET_PORTALA, Address) == 256);
static_assert(offsetof(ISCSI_TARGET_PORTALA, Socket) == 512);
static_assert(sizeof(ISCSI_DEVICE_ON_SESSIONA) == 1040);
static_assert(offsetof(ISCSI_DEVICE_ON_SESSIONA, StorageDeviceNumber) == 1024);
static_assert(offsetof(ISCSI_DEVICE_ON_SESSIONA, StorageDeviceNumber) +
                  offsetof(STORAGE_DEVICE_NUMBER, DeviceNumber) ==
              1028);
static_assert(sizeof(DISK_EXTENT) == 24);
static_assert(offsetof(VOLUME_DISK_EXTENTS, Extents) == 8);
static_assert(offsetof(ISCSI_LOGIN_OPTIONS, InformationSpecified) == 4);
static_assert(offsetof(ISCSI_LOGIN_OPTIONS, AuthType) == 12);

// Records with pointers: the 32-bit product's layout.
#if UINTPTR_MAX == 0xFFFFFFFFu
static_assert(sizeof(ISCSI_LOGIN_OPTIONS) == 52);
static_assert(offsetof(ISCSI_LOGIN_OPTIONS, Username) == 44);
static_assert(offsetof(ISCSI_LOGIN_OPTIONS, Password) == 48);
static_assert(sizeof(ISCSI_SESSION_INFOA) == 48);
static_assert(offsetof(ISCSI_SESSION_INFOA, SessionId) == 0);
static_assert(offsetof(ISCSI_SESSION_INFOA, TargetName) == 24);
static_assert(sizeof(IKE_AUTHENTICATION_PRESHARED_KEY) == 32);
static_assert(offsetof(IKE_AUTHENTICATION_PRESHARED_KEY, IdType) == 8);
static_assert(offsetof(IKE_AUTHENTICATION_PRESHARED_KEY, IdLengthInBytes) == 12);
static_assert(offsetof(IKE_AUTHENTICATION_PRESHARED_KEY, Id) == 16);
static_assert(offsetof(IKE_AUTHENTICATION_PRESHARED_KEY, KeyLengthInBytes) == 20);
static_assert(offsetof(IKE_AUTHENTICATION_PRESHARED_KEY, Key) == 24);
static_assert(sizeof(IKE_AUTHENTICATION_INFORMATION) == 40);
static_assert(offsetof(IKE_AUTHENTICATION_INFORMATION, PsKey) == 8);
#else
static_assert(sizeof(ISCSI_LOGIN_OPTIONS) == 64);
static_assert(sizeof(ISCSI_SESSION_INFOA) == 64);
static_assert(offsetof(ISCSI_SESSION_INFOA, TargetName) == 32);
static_assert(sizeof(IKE_AUTHENTICATION_INFORMATION) == 48);
#endif

// iSCSI initiator discovery.
ISDSC_STATUS SetIScsiIKEInfoA(char *InitiatorName, ULONG InitiatorPortNumber,
                              IKE_AUTHENTICATION_INFORMATION *AuthInfo, BOOLEAN Persist);
ISDSC_STATUS AddIScsiSendTargetPortalA(char *InitiatorInstance, ULONG InitiatorPortNumber,
                                       ISCSI_LOGIN_OPTIONS *LoginOptions, ULONGLONG SecurityFlags,
                                       ISCSI_TARGET_PORTALA *Portal);
ISDSC_STATUS LoginIScsiTargetA(char *TargetName, BOOLEAN IsInformationalSession,
                               char *InitiatorInstance, ULONG InitiatorPortNumber,
                               ISCSI_TARGET_PORTALA *TargetPortal, ULONGLONG SecurityFlags,
                               ISCSI_TARGET_MAPPINGA *Mappings, ISCSI_LOGIN_OPTIONS *LoginOptions,
                               ULONG KeySize, char *Key, BOOLEAN IsPersistent,
                               ISCSI_UNIQUE_SESSION_ID *UniqueSessionId,
                               ISCSI_UNIQUE_CONNECTION_ID *UniqueConnectionId);
ISDSC_STATUS GetIScsiSessionListA(ULONG *BufferSize, ULONG *SessionCount,
                                  ISCSI_SESSION_INFOA *SessionInfo);
ISDSC_STATUS GetDevicesForIScsiSessionA(ISCSI_UNIQUE_SESSION_ID *UniqueSessionId,
                                        ULONG *DeviceCount, ISCSI_DEVICE_ON_SESSIONA *Devices);

// Windows Sockets: the IPv4 address in network byte order, all ones when the text is none.
std::uint32_t inet_addr(const char *cp);

// Volume and device services.
DWORD GetLogicalDriveStringsA(DWORD nBufferLength, char *lpBuffer);
HANDLE CreateFileA(const char *lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                   void *lpSecurityAttributes, DWORD dwCreationDisposition,
                   DWORD dwFlagsAndAttributes, HANDLE hTemplateFile);
BOOL DeviceIoControl(HANDLE hDevice, DWORD dwIoControlCode, void *lpInBuffer, DWORD nInBufferSize,
                     void *lpOutBuffer, DWORD nOutBufferSize, DWORD *lpBytesReturned,
                     void *lpOverlapped);
BOOL CloseHandle(HANDLE hObject);
unsigned GetDriveTypeA(const char *lpRootPathName);
BOOL GetVolumeInformationA(const char *lpRootPathName, char *lpVolumeNameBuffer,
                           DWORD nVolumeNameSize, DWORD *lpVolumeSerialNumber,
                           DWORD *lpMaximumComponentLength, DWORD *lpFileSystemFlags,
                           char *lpFileSystemNameBuffer, DWORD nFileSystemNameSize);

// Timing and diagnostics.
void Sleep(DWORD dwMilliseconds);
void OutputDebugStringA(const char *lpOutputString);

} // namespace vxd::platform
