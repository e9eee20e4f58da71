// The operations and records through which the library reaches the machine. The logic is
// written against this header only; on Windows each operation is the system's own function (or
// a forwarder to it, platform/win32), and on Linux each one reaches the simulated machine of
// the tests and the runner (platform/sim).
#pragma once

#include <cstdarg>
#include <cstddef>
#include <cstdint>

#include "platform/disk_ioctl.h"
#include "platform/iscsi_discovery.h"
#include "platform/types.h"

namespace vxd::platform {

constexpr DWORD kIoctlVolumeGetVolumeDiskExtents = 0x560000;
constexpr DWORD kGenericRead = 0x80000000;
constexpr DWORD kGenericWrite = 0x40000000;
constexpr DWORD kFileShareRead = 1;
constexpr DWORD kFileShareWrite = 2;
constexpr DWORD kOpenExisting = 3;

// Taking a volume away: a lock that fails while files are open on the volume, and a dismount
// that invalidates whatever is still open.
constexpr DWORD kFsctlLockVolume = 0x00090018;
constexpr DWORD kFsctlUnlockVolume = 0x0009001C;
constexpr DWORD kFsctlDismountVolume = 0x00090020;

// Windows' own codes that the logic tells apart.
constexpr DWORD kErrorInvalidFunction = 1;
constexpr DWORD kErrorAccessDenied = 5;
constexpr DWORD kErrorNotSupported = 50;
constexpr DWORD kErrorInvalidParameter = 87;
constexpr DWORD kErrorFileNotFound = 2;
constexpr DWORD kErrorPathNotFound = 3;
constexpr DWORD kErrorNoMoreFiles = 18;
constexpr DWORD kErrorCallNotImplemented = 120;
constexpr DWORD kErrorDirNotEmpty = 145;
constexpr DWORD kErrorMoreData = 234;
constexpr DWORD kErrorDirectory = 267;
constexpr DWORD kInvalidFileAttributes = 0xFFFFFFFF;
constexpr DWORD kFileAttributeDirectory = 0x10;
constexpr DWORD kRpcServerUnavailable = 1722;

// WaitForSingleObject's answers.
constexpr DWORD kWaitObject0 = 0;
constexpr DWORD kWaitTimeout = 0x102;
constexpr DWORD kWaitFailed = 0xFFFFFFFF;

struct DISK_EXTENT {
    DWORD DiskNumber;
    std::int64_t StartingOffset;
    std::int64_t ExtentLength;
};

struct VOLUME_DISK_EXTENTS {
    DWORD NumberOfDiskExtents;
    DISK_EXTENT Extents[1];
};

static_assert(sizeof(DISK_EXTENT) == 24);
static_assert(offsetof(VOLUME_DISK_EXTENTS, Extents) == 8);

// The other operations' types. Windows' headers declare these functions with types of their
// own (LPSECURITY_ATTRIBUTES, LPOVERLAPPED), so on Windows they are forwarders.
using InetAddrFunction = std::uint32_t(const char *cp);
using GetLogicalDriveStringsAFunction = DWORD(DWORD nBufferLength, char *lpBuffer);
using CreateFileAFunction = HANDLE(const char *lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                                   void *lpSecurityAttributes, DWORD dwCreationDisposition,
                                   DWORD dwFlagsAndAttributes, HANDLE hTemplateFile);
using DeviceIoControlFunction = BOOL(HANDLE hDevice, DWORD dwIoControlCode, void *lpInBuffer,
                                     DWORD nInBufferSize, void *lpOutBuffer, DWORD nOutBufferSize,
                                     DWORD *lpBytesReturned, void *lpOverlapped);
using CloseHandleFunction = BOOL(HANDLE hObject);
using FlushFileBuffersFunction = BOOL(HANDLE hFile);
using GetLastErrorFunction = DWORD();
using GetDriveTypeAFunction = unsigned(const char *lpRootPathName);
using GetVolumeInformationAFunction = BOOL(const char *lpRootPathName, char *lpVolumeNameBuffer,
                                           DWORD nVolumeNameSize, DWORD *lpVolumeSerialNumber,
                                           DWORD *lpMaximumComponentLength,
                                           DWORD *lpFileSystemFlags, char *lpFileSystemNameBuffer,
                                           DWORD nFileSystemNameSize);
using GetProcessHeapFunction = HANDLE();
using HeapAllocFunction = void *(HANDLE hHeap, DWORD dwFlags, std::size_t dwBytes);
using HeapFreeFunction = BOOL(HANDLE hHeap, DWORD dwFlags, void *lpMem);
using SleepFunction = void(DWORD dwMilliseconds);
using WaitForSingleObjectFunction = DWORD(HANDLE hHandle, DWORD dwMilliseconds);
using OutputDebugStringAFunction = void(const char *lpOutputString);
// Volumes by name, and the letters and folders they are mounted at.
using FindFirstVolumeAFunction = HANDLE(char *lpszVolumeName, DWORD cchBufferLength);
using FindNextVolumeAFunction = BOOL(HANDLE hFindVolume, char *lpszVolumeName,
                                     DWORD cchBufferLength);
using FindVolumeCloseFunction = BOOL(HANDLE hFindVolume);
using GetVolumePathNamesForVolumeNameAFunction = BOOL(const char *lpszVolumeName,
                                                      char *lpszVolumePathNames,
                                                      DWORD cchBufferLength,
                                                      DWORD *lpcchReturnLength);
using SetVolumeMountPointAFunction = BOOL(const char *lpszVolumeMountPoint,
                                          const char *lpszVolumeName);
using DeleteVolumeMountPointAFunction = BOOL(const char *lpszVolumeMountPoint);
using GetFileAttributesAFunction = DWORD(const char *lpFileName);
using GetVolumeNameForVolumeMountPointAFunction = BOOL(const char *lpszVolumeMountPoint,
                                                       char *lpszVolumeName, DWORD cchBufferLength);

#ifdef _WIN32
// iSCSI initiator discovery: the library's own functions, bound at load.
using ::AddIScsiSendTargetPortalA;
using ::GetDevicesForIScsiSessionA;
using ::GetIScsiSessionListA;
using ::LoginIScsiTargetA;
using ::LogoutIScsiTarget;
using ::RemoveIScsiPersistentTargetA;
using ::RemoveIScsiSendTargetPortalA;
using ::ReportIScsiPersistentLoginsA;
using ::ReportIScsiSendTargetPortalsA;
using ::ReportIScsiTargetPortalsA;
using ::ReportIScsiTargetsA;
using ::SetIScsiIKEInfoA;
using ::SetIScsiInitiatorCHAPSharedSecret;

// Windows Sockets: the IPv4 address in network byte order, all ones when the text is none.
InetAddrFunction inet_addr;
// Volume and device services.
GetLogicalDriveStringsAFunction GetLogicalDriveStringsA;
CreateFileAFunction CreateFileA;
DeviceIoControlFunction DeviceIoControl;
CloseHandleFunction CloseHandle;
FlushFileBuffersFunction FlushFileBuffers;
GetLastErrorFunction GetLastError;
GetDriveTypeAFunction GetDriveTypeA;
GetVolumeInformationAFunction GetVolumeInformationA;
// The process heap, for the buffers that hold secrets: the simulated machine sees what they
// hold when they are freed.
GetProcessHeapFunction GetProcessHeap;
HeapAllocFunction HeapAlloc;
HeapFreeFunction HeapFree;
// Timing and diagnostics.
SleepFunction Sleep;
WaitForSingleObjectFunction WaitForSingleObject;
OutputDebugStringAFunction OutputDebugStringA;
FindFirstVolumeAFunction FindFirstVolumeA;
FindNextVolumeAFunction FindNextVolumeA;
FindVolumeCloseFunction FindVolumeClose;
GetVolumePathNamesForVolumeNameAFunction GetVolumePathNamesForVolumeNameA;
SetVolumeMountPointAFunction SetVolumeMountPointA;
DeleteVolumeMountPointAFunction DeleteVolumeMountPointA;
GetFileAttributesAFunction GetFileAttributesA;
GetVolumeNameForVolumeMountPointAFunction GetVolumeNameForVolumeMountPointA;
#else
// Each operation reaches the simulated machine that is current when it is called.
extern SetIScsiIKEInfoAFunction &SetIScsiIKEInfoA;
extern AddIScsiSendTargetPortalAFunction &AddIScsiSendTargetPortalA;
extern LoginIScsiTargetAFunction &LoginIScsiTargetA;
extern LogoutIScsiTargetFunction &LogoutIScsiTarget;
extern ReportIScsiPersistentLoginsAFunction &ReportIScsiPersistentLoginsA;
extern ReportIScsiTargetsAFunction &ReportIScsiTargetsA;
extern ReportIScsiTargetPortalsAFunction &ReportIScsiTargetPortalsA;
extern ReportIScsiSendTargetPortalsAFunction &ReportIScsiSendTargetPortalsA;
extern RemoveIScsiPersistentTargetAFunction &RemoveIScsiPersistentTargetA;
extern RemoveIScsiSendTargetPortalAFunction &RemoveIScsiSendTargetPortalA;
extern SetIScsiInitiatorCHAPSharedSecretFunction &SetIScsiInitiatorCHAPSharedSecret;
extern GetIScsiSessionListAFunction &GetIScsiSessionListA;
extern GetDevicesForIScsiSessionAFunction &GetDevicesForIScsiSessionA;
extern InetAddrFunction &inet_addr;
extern GetLogicalDriveStringsAFunction &GetLogicalDriveStringsA;
extern CreateFileAFunction &CreateFileA;
extern DeviceIoControlFunction &DeviceIoControl;
extern CloseHandleFunction &CloseHandle;
extern FlushFileBuffersFunction &FlushFileBuffers;
extern GetLastErrorFunction &GetLastError;
extern GetDriveTypeAFunction &GetDriveTypeA;
extern GetVolumeInformationAFunction &GetVolumeInformationA;
extern GetProcessHeapFunction &GetProcessHeap;
extern HeapAllocFunction &HeapAlloc;
extern HeapFreeFunction &HeapFree;
extern SleepFunction &Sleep;
extern WaitForSingleObjectFunction &WaitForSingleObject;
extern OutputDebugStringAFunction &OutputDebugStringA;
extern FindFirstVolumeAFunction &FindFirstVolumeA;
extern FindNextVolumeAFunction &FindNextVolumeA;
extern FindVolumeCloseFunction &FindVolumeClose;
extern GetVolumePathNamesForVolumeNameAFunction &GetVolumePathNamesForVolumeNameA;
extern SetVolumeMountPointAFunction &SetVolumeMountPointA;
extern DeleteVolumeMountPointAFunction &DeleteVolumeMountPointA;
extern GetFileAttributesAFunction &GetFileAttributesA;
extern GetVolumeNameForVolumeMountPointAFunction &GetVolumeNameForVolumeMountPointA;
#endif

// printf-style text with C99's answers: at most `size` bytes, the last of them a NUL, and the
// length of the whole text returned. On Windows the system's C runtime formats it, so the DLL
// carries no formatter of its own (mingw-w64's would be a sixth of it); the library's formats
// therefore keep to the conversions every C runtime has: no "ll", "z" or floating point.
int FormatTextV(char *buffer, std::size_t size, const char *format, std::va_list args);
// The same with the values themselves.
inline int FormatText(char *buffer, std::size_t size, const char *format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 3, 4)))
#endif
    ;
// NOLINTNEXTLINE(cert-dcl50-cpp): printf-style on purpose; the format attribute checks callers.
inline int FormatText(char *buffer, std::size_t size, const char *format, ...) {
    va_list args;
    va_start(args, format);
    const int length = FormatTextV(buffer, size, format, args);
    va_end(args);
    return length;
}

} // namespace vxd::platform
