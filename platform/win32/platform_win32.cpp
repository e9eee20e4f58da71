// The platform operations on Windows: each forwards to the system's own function.
// platform.h comes first so that windows.h cannot rename anything in it.
#include "platform/platform.h"

#include <winsock2.h>
// windows.h must come after winsock2.h.
#include <windows.h>

namespace p = vxd::platform;

// The discovery functions, declared here because the toolchain's iscsidsc.h does not compile;
// they bind to iscsidsc.dll through the toolchain's import library.
extern "C" {
__declspec(dllimport) ULONG
    __stdcall SetIScsiIKEInfoA(char *InitiatorName, ULONG InitiatorPortNumber,
                               p::IKE_AUTHENTICATION_INFORMATION *AuthInfo, BOOLEAN Persist);
__declspec(dllimport) ULONG
    __stdcall AddIScsiSendTargetPortalA(char *InitiatorInstance, ULONG InitiatorPortNumber,
                                        p::ISCSI_LOGIN_OPTIONS *LoginOptions,
                                        ULONGLONG SecurityFlags, p::ISCSI_TARGET_PORTALA *Portal);
__declspec(dllimport) ULONG
    __stdcall LoginIScsiTargetA(char *TargetName, BOOLEAN IsInformationalSession,
                                char *InitiatorInstance, ULONG InitiatorPortNumber,
                                p::ISCSI_TARGET_PORTALA *TargetPortal, ULONGLONG SecurityFlags,
                                p::ISCSI_TARGET_MAPPINGA *Mappings,
                                p::ISCSI_LOGIN_OPTIONS *LoginOptions, ULONG KeySize, char *Key,
                                BOOLEAN IsPersistent, p::ISCSI_UNIQUE_SESSION_ID *UniqueSessionId,
                                p::ISCSI_UNIQUE_CONNECTION_ID *UniqueConnectionId);
__declspec(dllimport) ULONG __stdcall GetIScsiSessionListA(ULONG *BufferSize, ULONG *SessionCount,
                                                           p::ISCSI_SESSION_INFOA *SessionInfo);
__declspec(dllimport) ULONG
    __stdcall GetDevicesForIScsiSessionA(p::ISCSI_UNIQUE_SESSION_ID *UniqueSessionId,
                                         ULONG *DeviceCount, p::ISCSI_DEVICE_ON_SESSIONA *Devices);
}

namespace vxd::platform {

ISDSC_STATUS SetIScsiIKEInfoA(char *InitiatorName, ULONG InitiatorPortNumber,
                              IKE_AUTHENTICATION_INFORMATION *AuthInfo, BOOLEAN Persist) {
    return ::SetIScsiIKEInfoA(InitiatorName, InitiatorPortNumber, AuthInfo, Persist);
}

ISDSC_STATUS AddIScsiSendTargetPortalA(char *InitiatorInstance, ULONG InitiatorPortNumber,
                                       ISCSI_LOGIN_OPTIONS *LoginOptions, ULONGLONG SecurityFlags,
                                       ISCSI_TARGET_PORTALA *Portal) {
    return ::AddIScsiSendTargetPortalA(InitiatorInstance, InitiatorPortNumber, LoginOptions,
                                       SecurityFlags, Portal);
}

ISDSC_STATUS LoginIScsiTargetA(char *TargetName, BOOLEAN IsInformationalSession,
                               char *InitiatorInstance, ULONG InitiatorPortNumber,
                               ISCSI_TARGET_PORTALA *TargetPortal, ULONGLONG SecurityFlags,
                               ISCSI_TARGET_MAPPINGA *Mappings, ISCSI_LOGIN_OPTIONS *LoginOptions,
                               ULONG KeySize, char *Key, BOOLEAN IsPersistent,
                               ISCSI_UNIQUE_SESSION_ID *UniqueSessionId,
                               ISCSI_UNIQUE_CONNECTION_ID *UniqueConnectionId) {
    return ::LoginIScsiTargetA(TargetName, IsInformationalSession, InitiatorInstance,
                               InitiatorPortNumber, TargetPortal, SecurityFlags, Mappings,
                               LoginOptions, KeySize, Key, IsPersistent, UniqueSessionId,
                               UniqueConnectionId);
}

ISDSC_STATUS GetIScsiSessionListA(ULONG *BufferSize, ULONG *SessionCount,
                                  ISCSI_SESSION_INFOA *SessionInfo) {
    return ::GetIScsiSessionListA(BufferSize, SessionCount, SessionInfo);
}

ISDSC_STATUS GetDevicesForIScsiSessionA(ISCSI_UNIQUE_SESSION_ID *UniqueSessionId,
                                        ULONG *DeviceCount, ISCSI_DEVICE_ON_SESSIONA *Devices) {
    return ::GetDevicesForIScsiSessionA(UniqueSessionId, DeviceCount, Devices);
}

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

unsigned GetDriveTypeA(const char *lpRootPathName) { return ::GetDriveTypeA(lpRootPathName); }

BOOL GetVolumeInformationA(const char *lpRootPathName, char *lpVolumeNameBuffer,
                           DWORD nVolumeNameSize, DWORD *lpVolumeSerialNumber,
                           DWORD *lpMaximumComponentLength, DWORD *lpFileSystemFlags,
                           char *lpFileSystemNameBuffer, DWORD nFileSystemNameSize) {
    return ::GetVolumeInformationA(lpRootPathName, lpVolumeNameBuffer, nVolumeNameSize,
                                   lpVolumeSerialNumber, lpMaximumComponentLength,
                                   lpFileSystemFlags, lpFileSystemNameBuffer, nFileSystemNameSize);
}

void Sleep(DWORD dwMilliseconds) { ::Sleep(dwMilliseconds); }

void OutputDebugStringA(const char *lpOutputString) { ::OutputDebugStringA(lpOutputString); }

} // namespace vxd::platform
