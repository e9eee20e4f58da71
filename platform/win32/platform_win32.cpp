// The platform operations that Windows declares with types of its own: each forwards to the
// system's function. The discovery library's functions need no forwarder (platform.h).
// platform.h comes first so that windows.h cannot rename anything in it.
#include "platform/platform.h"

#include <winsock2.h>
// windows.h must come after winsock2.h.
#include <windows.h>

#include <cstdio>

namespace vxd::platform {

std::uint32_t inet_addr(const char *cp) { return ::inet_addr(cp); }

DWORD GetLogicalDriveStringsA(DWORD nBufferLength, char *lpBuffer) {
    return ::GetLogicalDriveStringsA(nBufferLength, lpBuffer);
}

HANDLE CreateFileA(const char *lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                   void *lpSecurityAttributes, DWORD dwCreationDisposition,
                   DWORD dwFlagsAndAttributes, HANDLE hTemplateFile) {
    return ::CreateFileA(lpFileName, dwDesiredAccess, dwShareMode,
                         static_cast<LPSECURITY_ATTRIBUTES>(lpSecurityAttributes),
                         dwCreationDisposition, dwFlagsAndAttributes, hTemplateFile);
}

BOOL DeviceIoControl(HANDLE hDevice, DWORD dwIoControlCode, void *lpInBuffer, DWORD nInBufferSize,
                     void *lpOutBuffer, DWORD nOutBufferSize, DWORD *lpBytesReturned,
                     void *lpOverlapped) {
    return ::DeviceIoControl(hDevice, dwIoControlCode, lpInBuffer, nInBufferSize, lpOutBuffer,
                             nOutBufferSize, lpBytesReturned,
                             static_cast<LPOVERLAPPED>(lpOverlapped));
}

BOOL CloseHandle(HANDLE hObject) { return ::CloseHandle(hObject); }

BOOL FlushFileBuffers(HANDLE hFile) { return ::FlushFileBuffers(hFile); }

DWORD GetLastError() { return ::GetLastError(); }

unsigned GetDriveTypeA(const char *lpRootPathName) { return ::GetDriveTypeA(lpRootPathName); }

BOOL GetVolumeInformationA(const char *lpRootPathName, char *lpVolumeNameBuffer,
                           DWORD nVolumeNameSize, DWORD *lpVolumeSerialNumber,
                           DWORD *lpMaximumComponentLength, DWORD *lpFileSystemFlags,
                           char *lpFileSystemNameBuffer, DWORD nFileSystemNameSize) {
    return ::GetVolumeInformationA(lpRootPathName, lpVolumeNameBuffer, nVolumeNameSize,
                                   lpVolumeSerialNumber, lpMaximumComponentLength,
                                   lpFileSystemFlags, lpFileSystemNameBuffer, nFileSystemNameSize);
}

HANDLE GetProcessHeap() { return ::GetProcessHeap(); }

void *HeapAlloc(HANDLE hHeap, DWORD dwFlags, std::size_t dwBytes) {
    return ::HeapAlloc(hHeap, dwFlags, dwBytes);
}

BOOL HeapFree(HANDLE hHeap, DWORD dwFlags, void *lpMem) {
    return ::HeapFree(hHeap, dwFlags, lpMem);
}

void Sleep(DWORD dwMilliseconds) { ::Sleep(dwMilliseconds); }

DWORD WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds) {
    return ::WaitForSingleObject(hHandle, dwMilliseconds);
}

void OutputDebugStringA(const char *lpOutputString) { ::OutputDebugStringA(lpOutputString); }

HANDLE FindFirstVolumeA(char *lpszVolumeName, DWORD cchBufferLength) {
    return ::FindFirstVolumeA(lpszVolumeName, cchBufferLength);
}

BOOL FindNextVolumeA(HANDLE hFindVolume, char *lpszVolumeName, DWORD cchBufferLength) {
    return ::FindNextVolumeA(hFindVolume, lpszVolumeName, cchBufferLength);
}

BOOL FindVolumeClose(HANDLE hFindVolume) { return ::FindVolumeClose(hFindVolume); }

BOOL GetVolumePathNamesForVolumeNameA(const char *lpszVolumeName, char *lpszVolumePathNames,
                                      DWORD cchBufferLength, DWORD *lpcchReturnLength) {
    return ::GetVolumePathNamesForVolumeNameA(lpszVolumeName, lpszVolumePathNames, cchBufferLength,
                                              lpcchReturnLength);
}

BOOL SetVolumeMountPointA(const char *lpszVolumeMountPoint, const char *lpszVolumeName) {
    return ::SetVolumeMountPointA(lpszVolumeMountPoint, lpszVolumeName);
}

BOOL DeleteVolumeMountPointA(const char *lpszVolumeMountPoint) {
    return ::DeleteVolumeMountPointA(lpszVolumeMountPoint);
}

DWORD GetFileAttributesA(const char *lpFileName) { return ::GetFileAttributesA(lpFileName); }

BOOL GetVolumeNameForVolumeMountPointA(const char *lpszVolumeMountPoint, char *lpszVolumeName,
                                       DWORD cchBufferLength) {
    return ::GetVolumeNameForVolumeMountPointA(lpszVolumeMountPoint, lpszVolumeName,
                                               cchBufferLength);
}

// msvcrt's own: _vsnprintf leaves a text that fills the buffer without its NUL and answers -1
// for one that does not fit, so the length comes from _vscprintf.
int FormatTextV(char *buffer, std::size_t size, const char *format, std::va_list args) {
    std::va_list counting;
    va_copy(counting, args);
    const int length = ::_vscprintf(format, counting);
    va_end(counting);
    if (size > 0) {
        const int written = ::_vsnprintf(buffer, size - 1, format, args);
        buffer[written < 0 ? size - 1 : static_cast<std::size_t>(written)] = '\0';
    }
    return length;
}

} // namespace vxd::platform
