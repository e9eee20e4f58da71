// Windows' iSCSI discovery library (iscsidsc.dll): the functions, records and constants that
// this project uses, declared once from Microsoft's published layouts. The toolchain's own
// iscsidsc.h cannot be used: it declares the session records' name fields as CHAR instead of
// pointers, lacks MAX_ISCSI_NAME_LEN and SetIScsiIKEInfoA. The library, vxdhost and the test kit
// all take these declarations, so the compiler holds each of them to the one layout; the sizes
// and offsets are asserted below.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/types.h"

namespace vxd::platform {

using ISDSC_STATUS = ULONG;

// Statuses that the project's code tells apart; tools/vxdhost/statuses.cpp names them all.
constexpr ISDSC_STATUS kStatusLoginFailed = 0xEFFF0002;
constexpr ISDSC_STATUS kStatusAuthenticationFailure = 0xEFFF0009;
constexpr ISDSC_STATUS kStatusAuthorizationFailure = 0xEFFF000A;
constexpr ISDSC_STATUS kStatusInitiatorNodeNotFound = 0xEFFF0005;
constexpr ISDSC_STATUS kStatusInitiatorError = 0xEFFF0008;
constexpr ISDSC_STATUS kStatusInitiatorInstanceNotFound = 0xEFFF0017;
constexpr ISDSC_STATUS kStatusInitiatorNotFound = 0xEFFF0044;
constexpr ISDSC_STATUS kStatusInvalidSessionId = 0xEFFF001C;
constexpr ISDSC_STATUS kStatusSessionBusy = 0xEFFF001F;
constexpr ISDSC_STATUS kStatusTargetAuthInfoUnavailable = 0xEFFF0028;
constexpr ISDSC_STATUS kStatusTargetNotFound = 0xEFFF0029;
constexpr ISDSC_STATUS kStatusLoginUserInfoBad = 0xEFFF002A;
constexpr ISDSC_STATUS kStatusNoAuthInfoAvailable = 0xEFFF0034;
constexpr ISDSC_STATUS kStatusServiceNotRunning = 0xEFFF003E;
constexpr ISDSC_STATUS kStatusTargetAlreadyLoggedIn = 0xEFFF003F;
constexpr ISDSC_STATUS kStatusDeviceBusyOnSession = 0xEFFF0040;
constexpr ISDSC_STATUS kStatusCouldNotRemovePersistentLoginData = 0xEFFF0042;
constexpr ISDSC_STATUS kStatusPortalNotFound = 0xEFFF0043;
// A warning: the secret was taken, though shorter than the protocol asks for.
constexpr ISDSC_STATUS kStatusShortChapSecret = 0xAFFF0048;
// ISDSC_INVALID_CHAP_SECRET to ISDSC_INVALID_LOGON_AUTH_TYPE: credentials the service refused.
constexpr ISDSC_STATUS kStatusFirstInvalidChap = 0xEFFF004A;
constexpr ISDSC_STATUS kStatusLastInvalidChap = 0xEFFF004E;

// The service's default initiator on all of its ports.
constexpr ULONG kAllInitiatorPorts = 0xFFFFFFFF;

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

// LoginFlags: a session of a target that has one already, as another path to it.
constexpr ULONG ISCSI_LOGIN_FLAG_MULTIPATH_ENABLED = 0x00000002;

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

// A send-target portal as ReportIScsiSendTargetPortalsA lists it, with the initiator it was
// registered on.
struct ISCSI_TARGET_PORTAL_INFOA {
    char InitiatorName[kMaxIScsiHbaNameLen];
    ULONG InitiatorPortNumber;
    char SymbolicName[kMaxIScsiPortalNameLen];
    char Address[kMaxIScsiPortalAddressLen];
    USHORT Socket;
};

// Declared for the login's signature; the project always passes none.
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

// A session's connection: where it goes, which tells the portal (the path) a session took.
struct ISCSI_CONNECTION_INFOA {
    ISCSI_UNIQUE_CONNECTION_ID ConnectionId;
    char *InitiatorAddress;
    char *TargetAddress;
    USHORT InitiatorSocket;
    USHORT TargetSocket;
    UCHAR CID[2];
};

// One persistent login, as ReportIScsiPersistentLoginsA lists them.
struct PERSISTENT_ISCSI_LOGIN_INFOA {
    char TargetName[kMaxIScsiNameLen + 1];
    BOOLEAN IsInformationalSession;
    char InitiatorInstance[kMaxIScsiHbaNameLen];
    ULONG InitiatorPortNumber;
    ISCSI_TARGET_PORTALA TargetPortal;
    ULONGLONG SecurityFlags;
    ISCSI_TARGET_MAPPINGA *Mappings;
    ISCSI_LOGIN_OPTIONS LoginOptions;
};

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

// Records without pointers have one layout everywhere.
static_assert(sizeof(ISCSI_UNIQUE_SESSION_ID) == 16);
static_assert(sizeof(ISCSI_UNIQUE_CONNECTION_ID) == 16);
static_assert(sizeof(ISCSI_TARGET_PORTALA) == 514);
static_assert(offsetof(ISCSI_TARGET_PORTALA, Address) == 256);
static_assert(offsetof(ISCSI_TARGET_PORTALA, Socket) == 512);
static_assert(sizeof(ISCSI_TARGET_PORTAL_INFOA) == 776);
static_assert(offsetof(ISCSI_TARGET_PORTAL_INFOA, InitiatorPortNumber) == 256);
static_assert(offsetof(ISCSI_TARGET_PORTAL_INFOA, Address) == 516);
static_assert(offsetof(ISCSI_TARGET_PORTAL_INFOA, Socket) == 772);
static_assert(sizeof(ISCSI_DEVICE_ON_SESSIONA) == 1040);
static_assert(offsetof(ISCSI_DEVICE_ON_SESSIONA, StorageDeviceNumber) == 1024);
static_assert(offsetof(ISCSI_DEVICE_ON_SESSIONA, StorageDeviceNumber) +
                  offsetof(STORAGE_DEVICE_NUMBER, DeviceNumber) ==
              1028);
static_assert(offsetof(ISCSI_LOGIN_OPTIONS, InformationSpecified) == 4);
static_assert(offsetof(ISCSI_LOGIN_OPTIONS, AuthType) == 12);
static_assert(offsetof(ISCSI_LOGIN_OPTIONS, UsernameLength) == 36);
static_assert(offsetof(ISCSI_LOGIN_OPTIONS, PasswordLength) == 40);
static_assert(offsetof(PERSISTENT_ISCSI_LOGIN_INFOA, IsInformationalSession) == 224);
static_assert(offsetof(PERSISTENT_ISCSI_LOGIN_INFOA, InitiatorInstance) == 225);
static_assert(offsetof(PERSISTENT_ISCSI_LOGIN_INFOA, InitiatorPortNumber) == 484);
static_assert(offsetof(PERSISTENT_ISCSI_LOGIN_INFOA, TargetPortal) == 488);
static_assert(offsetof(PERSISTENT_ISCSI_LOGIN_INFOA, SecurityFlags) == 1008);
static_assert(offsetof(PERSISTENT_ISCSI_LOGIN_INFOA, Mappings) == 1016);

// Records with pointers: the 32-bit product's layout, and the 64-bit twin's.
#if UINTPTR_MAX == 0xFFFFFFFFu
static_assert(sizeof(ISCSI_LOGIN_OPTIONS) == 52);
static_assert(offsetof(ISCSI_LOGIN_OPTIONS, Username) == 44);
static_assert(offsetof(ISCSI_LOGIN_OPTIONS, Password) == 48);
static_assert(sizeof(ISCSI_SESSION_INFOA) == 48);
static_assert(sizeof(ISCSI_CONNECTION_INFOA) == 32);
static_assert(offsetof(ISCSI_CONNECTION_INFOA, TargetAddress) == 20);
static_assert(offsetof(ISCSI_CONNECTION_INFOA, TargetSocket) == 26);
static_assert(offsetof(ISCSI_SESSION_INFOA, SessionId) == 0);
static_assert(offsetof(ISCSI_SESSION_INFOA, TargetName) == 24);
static_assert(offsetof(ISCSI_SESSION_INFOA, ConnectionCount) == 36);
static_assert(sizeof(IKE_AUTHENTICATION_PRESHARED_KEY) == 32);
static_assert(offsetof(IKE_AUTHENTICATION_PRESHARED_KEY, IdType) == 8);
static_assert(offsetof(IKE_AUTHENTICATION_PRESHARED_KEY, IdLengthInBytes) == 12);
static_assert(offsetof(IKE_AUTHENTICATION_PRESHARED_KEY, Id) == 16);
static_assert(offsetof(IKE_AUTHENTICATION_PRESHARED_KEY, KeyLengthInBytes) == 20);
static_assert(offsetof(IKE_AUTHENTICATION_PRESHARED_KEY, Key) == 24);
static_assert(sizeof(IKE_AUTHENTICATION_INFORMATION) == 40);
static_assert(offsetof(IKE_AUTHENTICATION_INFORMATION, PsKey) == 8);
static_assert(offsetof(PERSISTENT_ISCSI_LOGIN_INFOA, LoginOptions) == 1020);
static_assert(sizeof(PERSISTENT_ISCSI_LOGIN_INFOA) == 1072);
#else
static_assert(sizeof(ISCSI_LOGIN_OPTIONS) == 64);
static_assert(offsetof(ISCSI_LOGIN_OPTIONS, Username) == 48);
static_assert(offsetof(ISCSI_LOGIN_OPTIONS, Password) == 56);
static_assert(sizeof(ISCSI_SESSION_INFOA) == 64);
static_assert(sizeof(ISCSI_CONNECTION_INFOA) == 40);
static_assert(offsetof(ISCSI_CONNECTION_INFOA, TargetAddress) == 24);
static_assert(offsetof(ISCSI_CONNECTION_INFOA, TargetSocket) == 34);
static_assert(offsetof(ISCSI_SESSION_INFOA, TargetName) == 32);
static_assert(offsetof(ISCSI_SESSION_INFOA, ConnectionCount) == 48);
static_assert(sizeof(IKE_AUTHENTICATION_PRESHARED_KEY) == 40);
static_assert(offsetof(IKE_AUTHENTICATION_PRESHARED_KEY, Id) == 16);
static_assert(offsetof(IKE_AUTHENTICATION_PRESHARED_KEY, Key) == 32);
static_assert(sizeof(IKE_AUTHENTICATION_INFORMATION) == 48);
static_assert(offsetof(IKE_AUTHENTICATION_INFORMATION, PsKey) == 8);
static_assert(offsetof(PERSISTENT_ISCSI_LOGIN_INFOA, LoginOptions) == 1024);
static_assert(sizeof(PERSISTENT_ISCSI_LOGIN_INFOA) == 1088);
#endif

// The functions' types, with Microsoft's parameter names. Every declaration and every pointer
// that the project makes of a discovery function takes its type from here.
using SetIScsiIKEInfoAFunction = ISDSC_STATUS VXD_WINAPI(char *InitiatorName,
                                                         ULONG InitiatorPortNumber,
                                                         IKE_AUTHENTICATION_INFORMATION *AuthInfo,
                                                         BOOLEAN Persist);
using AddIScsiSendTargetPortalAFunction = ISDSC_STATUS
VXD_WINAPI(char *InitiatorInstance, ULONG InitiatorPortNumber, ISCSI_LOGIN_OPTIONS *LoginOptions,
           ULONGLONG SecurityFlags, ISCSI_TARGET_PORTALA *Portal);
using LoginIScsiTargetAFunction = ISDSC_STATUS
VXD_WINAPI(char *TargetName, BOOLEAN IsInformationalSession, char *InitiatorInstance,
           ULONG InitiatorPortNumber, ISCSI_TARGET_PORTALA *TargetPortal, ULONGLONG SecurityFlags,
           ISCSI_TARGET_MAPPINGA *Mappings, ISCSI_LOGIN_OPTIONS *LoginOptions, ULONG KeySize,
           char *Key, BOOLEAN IsPersistent, ISCSI_UNIQUE_SESSION_ID *UniqueSessionId,
           ISCSI_UNIQUE_CONNECTION_ID *UniqueConnectionId);
using LogoutIScsiTargetFunction = ISDSC_STATUS VXD_WINAPI(ISCSI_UNIQUE_SESSION_ID *UniqueSessionId);
using ReportIScsiTargetsAFunction = ISDSC_STATUS VXD_WINAPI(BOOLEAN ForceUpdate, ULONG *BufferSize,
                                                            char *Buffer);
using ReportIScsiTargetPortalsAFunction = ISDSC_STATUS
VXD_WINAPI(char *InitiatorName, char *TargetName, USHORT *TargetPortalTag, ULONG *ElementCount,
           ISCSI_TARGET_PORTALA *Portals);
using ReportIScsiSendTargetPortalsAFunction = ISDSC_STATUS
VXD_WINAPI(ULONG *PortalCount, ISCSI_TARGET_PORTAL_INFOA *PortalInfo);
using ReportIScsiPersistentLoginsAFunction = ISDSC_STATUS
VXD_WINAPI(ULONG *Count, PERSISTENT_ISCSI_LOGIN_INFOA *PersistentLoginInfo,
           ULONG *BufferSizeInBytes);
using RemoveIScsiPersistentTargetAFunction = ISDSC_STATUS VXD_WINAPI(char *InitiatorInstance,
                                                                     ULONG InitiatorPortNumber,
                                                                     char *TargetName,
                                                                     ISCSI_TARGET_PORTALA *Portal);
using RemoveIScsiSendTargetPortalAFunction = ISDSC_STATUS
VXD_WINAPI(char *InitiatorInstance, ULONG InitiatorPortNumber, ISCSI_TARGET_PORTALA *Portal);
using SetIScsiInitiatorCHAPSharedSecretFunction = ISDSC_STATUS VXD_WINAPI(ULONG SharedSecretLength,
                                                                          UCHAR *SharedSecret);
using GetIScsiSessionListAFunction = ISDSC_STATUS VXD_WINAPI(ULONG *BufferSize, ULONG *SessionCount,
                                                             ISCSI_SESSION_INFOA *SessionInfo);
using GetDevicesForIScsiSessionAFunction = ISDSC_STATUS
VXD_WINAPI(ISCSI_UNIQUE_SESSION_ID *UniqueSessionId, ULONG *DeviceCount,
           ISCSI_DEVICE_ON_SESSIONA *Devices);
// The initiator instances (HBA names), as ReportIScsiTargetsA lists targets.
using ReportIScsiInitiatorListAFunction = ISDSC_STATUS VXD_WINAPI(ULONG *BufferSize, char *Buffer);
// InitiatorNodeName holds kMaxIScsiNameLen + 1 characters.
using GetIScsiInitiatorNodeNameAFunction = ISDSC_STATUS VXD_WINAPI(char *InitiatorNodeName);

} // namespace vxd::platform

#ifdef _WIN32
// The library's exports. The test kit defines them (VXD_ISCSIDSC_EXPORTS); everyone else binds
// to them through the toolchain's import library, or finds them with GetProcAddress.
#ifdef VXD_ISCSIDSC_EXPORTS
#define VXD_ISCSIDSC_API
#else
#define VXD_ISCSIDSC_API __declspec(dllimport)
#endif
extern "C" {
VXD_ISCSIDSC_API vxd::platform::SetIScsiIKEInfoAFunction SetIScsiIKEInfoA;
VXD_ISCSIDSC_API vxd::platform::AddIScsiSendTargetPortalAFunction AddIScsiSendTargetPortalA;
VXD_ISCSIDSC_API vxd::platform::LoginIScsiTargetAFunction LoginIScsiTargetA;
VXD_ISCSIDSC_API vxd::platform::LogoutIScsiTargetFunction LogoutIScsiTarget;
VXD_ISCSIDSC_API vxd::platform::ReportIScsiTargetsAFunction ReportIScsiTargetsA;
VXD_ISCSIDSC_API vxd::platform::ReportIScsiTargetPortalsAFunction ReportIScsiTargetPortalsA;
VXD_ISCSIDSC_API vxd::platform::ReportIScsiSendTargetPortalsAFunction ReportIScsiSendTargetPortalsA;
VXD_ISCSIDSC_API vxd::platform::ReportIScsiPersistentLoginsAFunction ReportIScsiPersistentLoginsA;
VXD_ISCSIDSC_API vxd::platform::RemoveIScsiPersistentTargetAFunction RemoveIScsiPersistentTargetA;
VXD_ISCSIDSC_API vxd::platform::RemoveIScsiSendTargetPortalAFunction RemoveIScsiSendTargetPortalA;
VXD_ISCSIDSC_API vxd::platform::SetIScsiInitiatorCHAPSharedSecretFunction
    SetIScsiInitiatorCHAPSharedSecret;
VXD_ISCSIDSC_API vxd::platform::GetIScsiSessionListAFunction GetIScsiSessionListA;
VXD_ISCSIDSC_API vxd::platform::GetDevicesForIScsiSessionAFunction GetDevicesForIScsiSessionA;
VXD_ISCSIDSC_API vxd::platform::GetIScsiInitiatorNodeNameAFunction GetIScsiInitiatorNodeNameA;
VXD_ISCSIDSC_API vxd::platform::ReportIScsiInitiatorListAFunction ReportIScsiInitiatorListA;
}
#endif
