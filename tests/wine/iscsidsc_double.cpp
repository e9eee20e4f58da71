// A stand-in for the iSCSI discovery library, built as iscsidsc.dll and put next to
// vxdhost.exe, so that the real Windows build of vxdmount.dll binds to it at load and runs
// end to end under wine64. Never shipped.
//
// VXD_ISCSI_SCENARIO names what the service does (kScenarios). Whatever the scenario, a target
// whose name ends in ":existing" is logged in before the request and one that ends in
// ":unknown" refuses every login, and the portal kUnreachablePortal is refused, so that
// requests made at once from many threads each have an outcome of their own. Every call is
// logged on stderr as "iscsidsc: ..." so that a test can see what crossed the library boundary.
//
// The target's volume is played by the system volume. A new drive letter is a DOS device
// aliasing the device behind C:, and the session's disk is the disk that the extents query
// reports for C:; the library's own disk check is then what matches the two.
#include "platform/platform.h"

#include <windows.h>
#include <winioctl.h>

#include <atomic>
#include <cstdarg>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace p = vxd::platform;

namespace {

constexpr ULONG kSuccess = 0;
// The library tells no failure from another; one status of the service's range stands for all.
constexpr ULONG kFailure = 0xEFFF0003;
constexpr ULONG kInvalidParameter = 87;
constexpr DWORD kNever = INFINITE;
constexpr char kNewLetter = 'F';
constexpr char kNowhere[] = "\\Device\\VxdTestNowhere";
constexpr ULONG kNoDisk = 0xFFFFFFFF;
constexpr char kInitiatorName[] = "iqn.2000-01.test.vxd:wine-initiator";
constexpr ULONGLONG kAdapterUnique = 0x5e55100000000001ull;
constexpr char kUnreachablePortal[] = "192.0.2.1";
constexpr char kExistingSuffix[] = ":existing";
constexpr char kUnknownSuffix[] = ":unknown";

struct Scenario {
    const char *name;
    ULONG securityRecordStatus;
    ULONG portalStatus;
    ULONG firstLoginStatus;
    ULONG laterLoginStatus;
    DWORD devicesAfterMs;  // a new session's disk shows this long after the login
    DWORD letterAfterMs;   // the volume gets kNewLetter this long after the login
    char unopenableLetter; // listed from the start, pointing at no device
};

constexpr ULONG kAlreadyLoggedIn = p::kStatusTargetAlreadyLoggedIn;

// Statuses of the security record, the portal, the first and the later logins of a target;
// then when a new session's disk and the new letter show, and an unopenable letter. A login
// answered "already logged in" finds a session that was there before the request.
constexpr Scenario kScenarios[] = {
    {"fresh-login", kSuccess, kSuccess, kSuccess, kSuccess, 0, 3000, '\0'},
    {"slow-service", kFailure, kSuccess, kFailure, kSuccess, 2000, 4000, '\0'},
    {"portal-refused", kSuccess, kFailure, kSuccess, kSuccess, 0, kNever, '\0'},
    {"login-fails", kSuccess, kSuccess, kFailure, kFailure, 0, kNever, '\0'},
    {"already-logged-in", kSuccess, kSuccess, kAlreadyLoggedIn, kAlreadyLoggedIn, 0, kNever, '\0'},
    {"already-logged-in-unopenable", kSuccess, kSuccess, kAlreadyLoggedIn, kAlreadyLoggedIn, 0,
     kNever, 'B'},
};

// A session on the system volume's disk.
struct Session {
    std::string target;
    p::ISCSI_UNIQUE_SESSION_ID id;
    ULONGLONG since; // its disk shows devicesAfterMs after this; 0 for a session from before
};

struct Target {
    std::string name;
    int logins;
};

// The service's state is the process's; requests from several threads take turns at it.
struct Service {
    SRWLOCK lock = SRWLOCK_INIT;
    const Scenario *scenario = nullptr;
    bool started = false;
    std::vector<Target> targets;
    std::vector<Session> sessions;
    std::string systemVolumeDevice;
    std::atomic<bool> newLetterDefined{false};
    bool unopenableDefined = false;
};

Service &TheService() {
    static Service service;
    return service;
}

class ServiceLock {
  public:
    ServiceLock() { AcquireSRWLockExclusive(&TheService().lock); }
    ~ServiceLock() { ReleaseSRWLockExclusive(&TheService().lock); }
    ServiceLock(const ServiceLock &) = delete;
    ServiceLock &operator=(const ServiceLock &) = delete;
};

// NOLINTNEXTLINE(cert-dcl50-cpp): printf-style, for the call log's lines.
void Log(const char *format, ...) {
    char line[1024];
    va_list args;
    va_start(args, format);
    std::vsnprintf(line, sizeof line, format, args);
    va_end(args);
    std::fprintf(stderr, "iscsidsc: %s\n", line);
    std::fflush(stderr);
}

std::string DriveName(char letter) { return std::string(1, letter) + ":"; }

std::string DeviceBehind(const char *driveName) {
    char target[MAX_PATH] = {};
    if (QueryDosDeviceA(driveName, target, sizeof target) == 0) {
        Log("QueryDosDeviceA(%s) failed with error %lu", driveName, GetLastError());
        return std::string();
    }
    return target;
}

bool DefineLetter(char letter, const std::string &device) {
    const std::string name = DriveName(letter);
    if (!DefineDosDeviceA(DDD_RAW_TARGET_PATH, name.c_str(), device.c_str())) {
        Log("DefineDosDeviceA(%s, %s) failed with error %lu", name.c_str(), device.c_str(),
            GetLastError());
        return false;
    }
    Log("drive %s now points at %s", name.c_str(), device.c_str());
    return true;
}

void RemoveLetter(char letter, const std::string &device) {
    const std::string name = DriveName(letter);
    DefineDosDeviceA(DDD_RAW_TARGET_PATH | DDD_REMOVE_DEFINITION | DDD_EXACT_MATCH_ON_REMOVE,
                     name.c_str(), device.c_str());
}

std::string DriveLetters() {
    char roots[256] = {};
    GetLogicalDriveStringsA(sizeof roots, roots);
    std::string letters;
    for (const char *root = roots; *root != '\0'; root += std::strlen(root) + 1) {
        letters += root[0];
    }
    return letters;
}

struct HandleCloser {
    void operator()(HANDLE handle) const { CloseHandle(handle); }
};
using UniqueHandle = std::unique_ptr<void, HandleCloser>;

// The disk of the system volume's first extent, read the way the library reads it.
ULONG SystemVolumeDisk() {
    HANDLE opened =
        CreateFileA("\\\\.\\C:", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                    nullptr, OPEN_EXISTING, 0, nullptr);
    if (opened == INVALID_HANDLE_VALUE) {
        Log("cannot open \\\\.\\C: (error %lu)", GetLastError());
        return kNoDisk;
    }
    UniqueHandle volume(opened);
    unsigned char reply[772] = {};
    DWORD returned = 0;
    if (!DeviceIoControl(volume.get(), IOCTL_VOLUME_GET_VOLUME_DISK_EXTENTS, nullptr, 0, reply,
                         sizeof reply, &returned, nullptr) ||
        returned < offsetof(p::VOLUME_DISK_EXTENTS, Extents) + sizeof(DWORD)) {
        Log("\\\\.\\C: does not answer the extents query (error %lu)", GetLastError());
        return kNoDisk;
    }
    p::VOLUME_DISK_EXTENTS extents;
    std::memcpy(&extents, reply, sizeof extents);
    return extents.Extents[0].DiskNumber;
}

template <std::size_t N> void CopyText(char (&field)[N], const std::string &text) {
    std::snprintf(field, N, "%s", text.c_str());
}

p::ISCSI_DEVICE_ON_SESSIONA SessionDisk(const std::string &targetName, ULONG disk) {
    p::ISCSI_DEVICE_ON_SESSIONA record;
    std::memset(&record, 0, sizeof record);
    CopyText(record.InitiatorName, "ROOT\\ISCSIPRT\\0000_0");
    CopyText(record.TargetName, targetName);
    record.ScsiAddress.Length = sizeof record.ScsiAddress;
    record.ScsiAddress.PortNumber = 1;
    CopyText(record.LegacyName, "\\\\.\\PhysicalDrive" + std::to_string(disk));
    record.StorageDeviceNumber.DeviceType = FILE_DEVICE_DISK;
    record.StorageDeviceNumber.DeviceNumber = disk;
    record.StorageDeviceNumber.PartitionNumber = 0;
    return record;
}

ULONGLONG Now() { return GetTickCount64(); }

bool EndsWith(const std::string &text, const char *suffix) {
    const std::size_t length = std::strlen(suffix);
    return text.size() >= length && text.compare(text.size() - length, length, suffix) == 0;
}

ULONG LoginStatus(const Scenario &scenario, const std::string &target, int attempt) {
    if (EndsWith(target, kExistingSuffix)) {
        return kAlreadyLoggedIn;
    }
    if (EndsWith(target, kUnknownSuffix)) {
        return kFailure;
    }
    return attempt == 1 ? scenario.firstLoginStatus : scenario.laterLoginStatus;
}

int CountLogin(Service &service, const std::string &target) {
    for (Target &known : service.targets) {
        if (known.name == target) {
            return ++known.logins;
        }
    }
    service.targets.push_back({target, 1});
    return 1;
}

const Session *FindSession(const Service &service, const p::ISCSI_UNIQUE_SESSION_ID &id) {
    for (const Session &session : service.sessions) {
        if (session.id.AdapterUnique == id.AdapterUnique &&
            session.id.AdapterSpecific == id.AdapterSpecific) {
            return &session;
        }
    }
    return nullptr;
}

const Session &OpenSession(Service &service, const std::string &target, ULONGLONG since) {
    for (const Session &session : service.sessions) {
        if (session.target == target) {
            return session;
        }
    }
    const p::ISCSI_UNIQUE_SESSION_ID id = {kAdapterUnique, service.sessions.size() + 1};
    service.sessions.push_back({target, id, since});
    return service.sessions.back();
}

bool DevicesShown(const Service &service, const Session &session) {
    return session.since == 0 || Now() - session.since >= service.scenario->devicesAfterMs;
}

DWORD WINAPI GiveLetterLater(void *module) {
    Service &service = TheService();
    Sleep(service.scenario->letterAfterMs);
    if (DefineLetter(kNewLetter, service.systemVolumeDevice)) {
        service.newLetterDefined = true;
    }
    FreeLibraryAndExitThread(static_cast<HMODULE>(module), 0);
}

// The thread keeps the module loaded until it is done, whenever the host unloads it.
void ScheduleNewLetter() {
    HMODULE self = nullptr;
    if (!GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS,
                            reinterpret_cast<const char *>(&GiveLetterLater), &self)) {
        Log("cannot pin the module (error %lu)", GetLastError());
        return;
    }
    UniqueHandle thread(CreateThread(nullptr, 0, GiveLetterLater, self, 0, nullptr));
    if (!thread) {
        Log("cannot start the drive-letter thread (error %lu)", GetLastError());
        FreeLibrary(self);
    }
}

// The machine as the scenario has it before the library's first request.
bool Start() {
    Service &service = TheService();
    if (service.started) {
        return service.scenario != nullptr;
    }
    service.started = true;
    const char *name = std::getenv("VXD_ISCSI_SCENARIO");
    for (const Scenario &scenario : kScenarios) {
        if (name != nullptr && std::strcmp(name, scenario.name) == 0) {
            service.scenario = &scenario;
        }
    }
    if (service.scenario == nullptr) {
        std::string known;
        for (const Scenario &scenario : kScenarios) {
            known += std::string(" ") + scenario.name;
        }
        Log("VXD_ISCSI_SCENARIO is \"%s\"; known scenarios:%s", name ? name : "", known.c_str());
        return false;
    }
    Log("scenario %s", service.scenario->name);
    service.systemVolumeDevice = DeviceBehind("C:");
    if (service.scenario->unopenableLetter != '\0') {
        service.unopenableDefined = DefineLetter(service.scenario->unopenableLetter, kNowhere);
    }
    Log("drives %s at the start", DriveLetters().c_str());
    return true;
}

std::string Ipv4Text(const unsigned char *bytes, ULONG length) {
    if (bytes == nullptr || length != 4) {
        return "(" + std::to_string(length) + " bytes)";
    }
    return std::to_string(bytes[0]) + "." + std::to_string(bytes[1]) + "." +
           std::to_string(bytes[2]) + "." + std::to_string(bytes[3]);
}

} // namespace

extern "C" {

ULONG WINAPI SetIScsiIKEInfoA(char * /*InitiatorName*/, ULONG /*InitiatorPortNumber*/,
                              p::IKE_AUTHENTICATION_INFORMATION *AuthInfo, BOOLEAN Persist) {
    const ServiceLock locked;
    if (!Start()) {
        return kFailure;
    }
    if (AuthInfo == nullptr) {
        return kInvalidParameter;
    }
    const ULONG status = TheService().scenario->securityRecordStatus;
    Log("SetIScsiIKEInfoA(method %d, id %s, key %lu bytes, persist %u) -> %lx",
        static_cast<int>(AuthInfo->AuthMethod),
        Ipv4Text(AuthInfo->PsKey.Id, AuthInfo->PsKey.IdLengthInBytes).c_str(),
        AuthInfo->PsKey.KeyLengthInBytes, Persist, status);
    return status;
}

ULONG WINAPI AddIScsiSendTargetPortalA(char * /*InitiatorInstance*/, ULONG /*InitiatorPortNumber*/,
                                       p::ISCSI_LOGIN_OPTIONS * /*LoginOptions*/,
                                       ULONGLONG /*SecurityFlags*/,
                                       p::ISCSI_TARGET_PORTALA *Portal) {
    const ServiceLock locked;
    if (!Start()) {
        return kFailure;
    }
    if (Portal == nullptr) {
        return kInvalidParameter;
    }
    const bool unreachable =
        std::strncmp(Portal->Address, kUnreachablePortal, sizeof Portal->Address) == 0;
    const ULONG status = unreachable ? kFailure : TheService().scenario->portalStatus;
    Log("AddIScsiSendTargetPortalA(%.*s port %u) -> %lx", static_cast<int>(sizeof Portal->Address),
        Portal->Address, Portal->Socket, status);
    return status;
}

ULONG WINAPI LoginIScsiTargetA(char *TargetName, BOOLEAN /*IsInformationalSession*/,
                               char * /*InitiatorInstance*/, ULONG /*InitiatorPortNumber*/,
                               p::ISCSI_TARGET_PORTALA * /*TargetPortal*/,
                               ULONGLONG /*SecurityFlags*/, p::ISCSI_TARGET_MAPPINGA * /*Mappings*/,
                               p::ISCSI_LOGIN_OPTIONS * /*LoginOptions*/, ULONG /*KeySize*/,
                               char * /*Key*/, BOOLEAN IsPersistent,
                               p::ISCSI_UNIQUE_SESSION_ID *UniqueSessionId,
                               p::ISCSI_UNIQUE_CONNECTION_ID *UniqueConnectionId) {
    const ServiceLock locked;
    if (!Start()) {
        return kFailure;
    }
    if (TargetName == nullptr) {
        return kInvalidParameter;
    }
    Service &service = TheService();
    const std::string target = TargetName;
    const ULONG status = LoginStatus(*service.scenario, target, CountLogin(service, target));
    Log("LoginIScsiTargetA(%s, persistent %u) -> %lx", TargetName, IsPersistent, status);
    if (status == kAlreadyLoggedIn) {
        OpenSession(service, target, 0);
    }
    if (status == kSuccess) {
        const Session &session = OpenSession(service, target, Now());
        if (UniqueSessionId != nullptr) {
            *UniqueSessionId = session.id;
        }
        if (UniqueConnectionId != nullptr) {
            *UniqueConnectionId = session.id;
        }
        if (service.scenario->letterAfterMs != kNever) {
            ScheduleNewLetter();
        }
    }
    return status;
}

ULONG WINAPI GetIScsiSessionListA(ULONG *BufferSize, ULONG *SessionCount,
                                  p::ISCSI_SESSION_INFOA *SessionInfo) {
    const ServiceLock locked;
    if (!Start()) {
        return kFailure;
    }
    if (BufferSize == nullptr || SessionCount == nullptr) {
        return kInvalidParameter;
    }
    const Service &service = TheService();
    if (service.sessions.empty()) {
        *BufferSize = 0;
        *SessionCount = 0;
        Log("GetIScsiSessionListA: no sessions");
        return kSuccess;
    }
    // The records, then the strings they point at, in the caller's buffer.
    const std::size_t count = service.sessions.size();
    std::size_t needed = count * sizeof(p::ISCSI_SESSION_INFOA);
    for (const Session &session : service.sessions) {
        needed += sizeof kInitiatorName + 2 * (session.target.size() + 1);
    }
    *SessionCount = static_cast<ULONG>(count);
    if (SessionInfo == nullptr || *BufferSize < needed) {
        *BufferSize = static_cast<ULONG>(needed);
        return p::kErrorInsufficientBuffer;
    }
    char *strings = reinterpret_cast<char *>(SessionInfo + count);
    const auto place = [&strings](const char *text, std::size_t size) {
        char *placed = strings;
        std::memcpy(placed, text, size);
        strings += size;
        return placed;
    };
    for (std::size_t i = 0; i < count; ++i) {
        const Session &from = service.sessions[i];
        p::ISCSI_SESSION_INFOA &record = SessionInfo[i];
        std::memset(&record, 0, sizeof record);
        record.SessionId = from.id;
        record.InitiatorName = place(kInitiatorName, sizeof kInitiatorName);
        record.TargetNodeName = place(from.target.c_str(), from.target.size() + 1);
        record.TargetName = place(from.target.c_str(), from.target.size() + 1);
        record.ConnectionCount = 0;
        record.Connections = nullptr;
    }
    *BufferSize = static_cast<ULONG>(needed);
    return kSuccess;
}

ULONG WINAPI GetDevicesForIScsiSessionA(p::ISCSI_UNIQUE_SESSION_ID *UniqueSessionId,
                                        ULONG *DeviceCount, p::ISCSI_DEVICE_ON_SESSIONA *Devices) {
    const ServiceLock locked;
    if (!Start()) {
        return kFailure;
    }
    if (UniqueSessionId == nullptr || DeviceCount == nullptr) {
        return kInvalidParameter;
    }
    const Service &service = TheService();
    const Session *session = FindSession(service, *UniqueSessionId);
    if (session == nullptr) {
        Log("GetDevicesForIScsiSessionA: no such session");
        return kFailure;
    }
    const ULONG count = DevicesShown(service, *session) ? 1 : 0;
    if (count > 0 && (Devices == nullptr || *DeviceCount < count)) {
        *DeviceCount = count;
        return p::kErrorInsufficientBuffer;
    }
    *DeviceCount = count;
    if (count > 0) {
        const ULONG disk = SystemVolumeDisk();
        Devices[0] = SessionDisk(session->target, disk);
        Log("GetDevicesForIScsiSessionA: disk %lu", disk);
    }
    return kSuccess;
}

// The drive letters are the wine server's, not the process's: leave none behind.
BOOL WINAPI DllMain(HINSTANCE /*module*/, DWORD reason, void * /*reserved*/) {
    if (reason == DLL_PROCESS_DETACH) {
        Service &service = TheService();
        if (service.newLetterDefined) {
            RemoveLetter(kNewLetter, service.systemVolumeDevice);
        }
        if (service.unopenableDefined) {
            RemoveLetter(service.scenario->unopenableLetter, kNowhere);
        }
    }
    return TRUE;
}

} // extern "C"
