// The platform operations on the simulated machine.
#include "platform/platform.h"
#include "platform/sim/sim_machine.h"

namespace vxd::platform {
namespace {
sim::Machine &M() { return sim::Machine::Current(); }
} // namespace

ISDSC_STATUS SetIScsiIKEInfoA(char *InitiatorName, ULONG InitiatorPortNumber,
                              IKE_AUTHENTICATION_INFORMATION *AuthInfo, BOOLEAN Persist) {
    return M().SetIScsiIKEInfoA(InitiatorName, InitiatorPortNumber, AuthInfo, Persist);
}

ISDSC_STATUS AddIScsiSendTargetPortalA(char *InitiatorInstance, ULONG InitiatorPortNumber,
                                       ISCSI_LOGIN_OPTIONS *LoginOptions, ULONGLONG SecurityFlags,
                                       ISCSI_TARGET_PORTALA *Portal) {
    return M().AddIScsiSendTargetPortalA(InitiatorInstance, InitiatorPortNumber, LoginOptions,
                                         SecurityFlags, Portal);
}

ISDSC_STATUS LoginIScsiTargetA(char *TargetName, BOOLEAN IsInformationalSession,
                               char *InitiatorInstance, ULONG InitiatorPortNumber,
                               ISCSI_TARGET_PORTALA *TargetPortal, ULONGLONG SecurityFlags,
                               ISCSI_TARGET_MAPPINGA *Mappings, ISCSI_LOGIN_OPTIONS *LoginOptions,
                               ULONG KeySize, char *Key, BOOLEAN IsPersistent,
                               ISCSI_UNIQUE_SESSION_ID *UniqueSessionId,
                               ISCSI_UNIQUE_CONNECTION_ID *UniqueConnectionId) {
    return M().LoginIScsiTargetA(TargetName, IsInformationalSession, InitiatorInstance,
                                 InitiatorPortNumber, TargetPortal, SecurityFlags, Mappings,
                                 LoginOptions, KeySize, Key, IsPersistent, UniqueSessionId,
                                 UniqueConnectionId);
}

ISDSC_STATUS GetIScsiSessionListA(ULONG *BufferSize, ULONG *SessionCount,
                                  ISCSI_SESSION_INFOA *SessionInfo) {
    return M().GetIScsiSessionListA(BufferSize, SessionCount, SessionInfo);
}

ISDSC_STATUS GetDevicesForIScsiSessionA(ISCSI_UNIQUE_SESSION_ID *UniqueSessionId,
                                        ULONG *DeviceCount, ISCSI_DEVICE_ON_SESSIONA *Devices) {
    return M().GetDevicesForIScsiSessionA(UniqueSessionId, DeviceCount, Devices);
}

std::uint32_t inet_addr(const char *cp) { return M().InetAddr(cp); }

DWORD GetLogicalDriveStringsA(DWORD nBufferLength, char *lpBuffer) {
    return M().GetLogicalDriveStringsA(nBufferLength, lpBuffer);
}

HANDLE CreateFileA(const char *lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                   void *lpSecurityAttributes, DWORD dwCreationDisposition,
                   DWORD dwFlagsAndAttributes, HANDLE hTemplateFile) {
    return M().CreateFileA(lpFileName, dwDesiredAccess, dwShareMode, lpSecurityAttributes,
                           dwCreationDisposition, dwFlagsAndAttributes, hTemplateFile);
}

BOOL DeviceIoControl(HANDLE hDevice, DWORD dwIoControlCode, void *lpInBuffer, DWORD nInBufferSize,
                     void *lpOutBuffer, DWORD nOutBufferSize, DWORD *lpBytesReturned,
                     void *lpOverlapped) {
    return M().DeviceIoControl(hDevice, dwIoControlCode, lpInBuffer, nInBufferSize, lpOutBuffer,
                               nOutBufferSize, lpBytesReturned, lpOverlapped);
}

BOOL CloseHandle(HANDLE hObject) { return M().CloseHandle(hObject); }

unsigned GetDriveTypeA(const char *lpRootPathName) { return M().GetDriveTypeA(lpRootPathName); }

BOOL GetVolumeInformationA(const char *lpRootPathName, char *lpVolumeNameBuffer,
                           DWORD nVolumeNameSize, DWORD *lpVolumeSerialNumber,
                           DWORD *lpMaximumComponentLength, DWORD *lpFileSystemFlags,
                           char *lpFileSystemNameBuffer, DWORD nFileSystemNameSize) {
    return M().GetVolumeInformationA(
        lpRootPathName, lpVolumeNameBuffer, nVolumeNameSize, lpVolumeSerialNumber,
        lpMaximumComponentLength, lpFileSystemFlags, lpFileSystemNameBuffer, nFileSystemNameSize);
}

void Sleep(DWORD dwMilliseconds) { M().Sleep(dwMilliseconds); }

void OutputDebugStringA(const char *lpOutputString) { M().OutputDebugStringA(lpOutputString); }

} // namespace vxd::platform
