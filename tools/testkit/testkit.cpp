// The test kit: a stand-in for Windows' iSCSI discovery library (iscsidsc.dll) that plays the
// initiator service as a scenario file says, so that a program using vxdmount.dll can go
// through every outcome of a request on a machine without a SAN. Put next to the program, it
// is found before the system's own library (iscsidsc is not one of the known DLLs).
//
// VXDMOUNT_TESTKIT_SCENARIO names the scenario file, read when the kit loads. Without a file
// that reads and validates, every function fails with ISDSC_SERVICE_NOT_RUNNING and one line
// on the debug-output channel says why: the kit makes no letter that nobody asked for.
// VXDMOUNT_TESTKIT_LOG, when set, names a file that gets one line for each call; a line tells
// the length of a secret, never its bytes.
#include "platform/platform.h"

#include <windows.h>

#include <algorithm>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "platform/sim/service_rules.h"
#include "platform/win32/unique_handles.h"
#include "tools/scenario/scenario.h"
#include "tools/testkit/kit_letters.h"

namespace p = vxd::platform;
namespace scn = vxd::scenario;
// The service's rules, which the runner's simulated machine follows too.
namespace rules = vxd::sim;

namespace {

constexpr ULONG kSuccess = 0;
constexpr ULONG kServiceNotRunning = p::kStatusServiceNotRunning;
constexpr ULONG kInvalidSessionId = p::kStatusInvalidSessionId;
constexpr ULONG kInvalidParameter = 87;
constexpr char kScenarioVariable[] = "VXDMOUNT_TESTKIT_SCENARIO";
constexpr char kLogVariable[] = "VXDMOUNT_TESTKIT_LOG";
constexpr char kNotePrefix[] = "vxdmount test kit: ";
constexpr char kInitiatorName[] = "iqn.1991-05.com.microsoft:vxdmount-testkit";
constexpr ULONGLONG kAdapterUnique = 0x5e55100000000001ull;

struct Session {
    std::string target;
    p::ISCSI_UNIQUE_SESSION_ID id;
    std::size_t devices;
    ULONGLONG devicesFrom;           // tick count from which its devices are listed
    std::vector<char> letters;       // those its login brought, which its logout takes away
    std::vector<std::uint32_t> luns; // the LUN of each device; past its end, the index
    std::string portal;              // the path: the portal its login named; empty: none
    USHORT portalSocket = 0;
    ULONG diskOffset = 0; // without multipath I/O a later path's disk is another number
};

// A letter that a login brings, due at a tick count, while the login's session stands.
struct DueLetter {
    ULONGLONG due;
    char letter;
    std::string device;
    p::ISCSI_UNIQUE_SESSION_ID session;
};

enum class State { kFailed, kStarting, kReady };

// The service's state is the process's; calls from several threads take turns at it.
struct Service {
    SRWLOCK lock = SRWLOCK_INIT;
    State state = State::kFailed;
    scn::Scenario scenario;
    testkit::TestVolume volume;
    testkit::KitLetters letters;
    std::vector<Session> sessions;
    // Ids are never reused, so that a logged-out session's id stays unknown.
    ULONGLONG nextSessionId = 1;
    std::vector<std::string> reportedTargets;
    rules::PortalTargets portalTargets;         // the targets each portal offers, by its address
    std::map<std::string, std::size_t> logins;  // successive logins of each target
    std::map<std::string, std::size_t> logouts; // successive logouts of each target's sessions
    std::vector<rules::PersistentLogin> persistentLogins;
    std::vector<rules::Portal> portals; // the registered send-target portals
    // The machine's CHAP secret for mutual CHAP, as SetIScsiInitiatorCHAPSharedSecret set it.
    std::vector<std::uint8_t> initiatorSecret;
    std::string logPath;
};

// A secret's bytes are overwritten before their memory goes back to the heap.
void Wipe(std::vector<std::uint8_t> &secret) {
    SecureZeroMemory(secret.data(), secret.size());
    secret.clear();
}

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

// The debug-output channel carries at most 4,091 characters of a line (its 4,096-byte buffer
// also holds the writer's process id and the final NUL) and cuts a longer one there, losing
// its end, where the reason stands. A longer note loses part of its middle instead: the long
// part is a file's or a variable's value, and its two ends still tell which.
constexpr std::size_t kChannelCharacters = 4091;
constexpr std::size_t kKeptBeforeCut = 1024;

std::string FitToChannel(const std::string &line) {
    if (line.size() <= kChannelCharacters) {
        return line;
    }
    const std::string gap = "...";
    std::size_t head = kKeptBeforeCut;
    std::size_t tail = line.size() - (kChannelCharacters - kKeptBeforeCut - gap.size());
    // Whole UTF-8 characters on both sides of the cut.
    const auto continues = [&line](std::size_t at) {
        return (static_cast<unsigned char>(line[at]) & 0xC0) == 0x80;
    };
    while (head > 0 && continues(head)) {
        --head;
    }
    while (tail < line.size() && continues(tail)) {
        ++tail;
    }
    return line.substr(0, head) + gap + line.substr(tail);
}

void Note(const std::string &text) { OutputDebugStringA(FitToChannel(kNotePrefix + text).c_str()); }

// NOLINTNEXTLINE(cert-dcl50-cpp): printf-style, for the call log's lines.
void Log(const char *format, ...) {
    const Service &service = TheService();
    if (service.logPath.empty()) {
        return;
    }
    char line[1024];
    va_list args;
    va_start(args, format);
    std::vsnprintf(line, sizeof line, format, args);
    va_end(args);
    const std::unique_ptr<std::FILE, int (*)(std::FILE *)> file(
        std::fopen(service.logPath.c_str(), "a"), &std::fclose);
    if (file) {
        std::fprintf(file.get(), "iscsidsc: %s\n", line);
    }
}

ULONGLONG Now() { return GetTickCount64(); }

p::ISCSI_UNIQUE_SESSION_ID NewSessionId(Service &service) {
    return {kAdapterUnique, service.nextSessionId++};
}

const char kFailing[] = "; every call fails with 0xEFFF003E (ISDSC_SERVICE_NOT_RUNNING)";
// Whole lines, for when memory may have run out.
const char kOutOfMemoryNote[] = "vxdmount test kit: out of memory while reading the scenario; "
                                "every call fails with 0xEFFF003E (ISDSC_SERVICE_NOT_RUNNING)";
const char kFailedReadNote[] = "vxdmount test kit: the scenario could not be read; every call "
                               "fails with 0xEFFF003E (ISDSC_SERVICE_NOT_RUNNING)";

// At load: the scenario, or the reason why there is none.
bool ReadScenario() {
    Service &service = TheService();
    const char *log = std::getenv(kLogVariable);
    service.logPath = log == nullptr ? std::string() : std::string(log);
    const char *path = std::getenv(kScenarioVariable);
    if (path == nullptr || path[0] == '\0') {
        Note(std::string(kScenarioVariable) + " is not set" + kFailing);
        return false;
    }
    std::string error;
    if (!scn::LoadScenario(path, service.scenario, error)) {
        Note(error + kFailing);
        return false;
    }
    // The sessions, persistent logins and portals that the service has before the request.
    for (const scn::Session &listed : service.scenario.sessions) {
        service.sessions.push_back({listed.target,
                                    NewSessionId(service),
                                    listed.disks.size(),
                                    0,
                                    {},
                                    listed.luns,
                                    {},
                                    0,
                                    0});
    }
    for (const scn::PersistentLogin &listed : service.scenario.persistentLogins) {
        rules::PersistentLogin kept;
        kept.target = listed.target;
        if (listed.portal) {
            kept.portalAddress = listed.portal->address;
            kept.portalSocket = listed.portal->port;
        }
        service.persistentLogins.push_back(kept);
    }
    for (const scn::PortalAddress &listed : service.scenario.registeredPortals) {
        service.portals.push_back({listed.address, listed.port});
    }
    service.reportedTargets = scn::ReportedTargets(service.scenario);
    for (const scn::PortalAnswer &portal : service.scenario.portals) {
        if (!portal.targets.empty()) {
            service.portalTargets[portal.address] = portal.targets;
        }
    }
    Log("scenario %s", path);
    return true;
}

// Nothing may leave the load: an exception that reaches the loader ends the host. The reader
// throws none of its own, but the memory for a scenario, its messages and notes may run out.
State StateAtLoad() noexcept {
    try {
        return ReadScenario() ? State::kStarting : State::kFailed;
    } catch (const std::bad_alloc &) {
        OutputDebugStringA(kOutOfMemoryNote);
    } catch (...) {
        OutputDebugStringA(kFailedReadNote);
    }
    return State::kFailed;
}

// At the first call, when the machine's drives are sure to be there (a Wine server that has
// just started lists them only a moment after its first process): the test volume, and the
// removal of letters that killed processes left.
bool ServiceAnswers() {
    Service &service = TheService();
    if (service.state == State::kStarting) {
        std::string error;
        if (testkit::FindTestVolume(service.volume, error)) {
            service.state = State::kReady;
            std::vector<std::string> notes;
            service.letters.RemoveStale(notes);
            for (const std::string &note : notes) {
                Note(note);
            }
            Log("the test volume is %c: on disk %lu", service.volume.letter, service.volume.disk);
        } else {
            service.state = State::kFailed;
            Note(error + kFailing);
        }
    }
    return service.state == State::kReady;
}

rules::Chap DemandedChap(const scn::Chap &chap) {
    return rules::Chap{chap.user,
                       std::vector<std::uint8_t>(chap.secret.begin(), chap.secret.end())};
}

// What AddIScsiSendTargetPortalA answers: a portal that demands CHAP for discovery checks the
// credentials first, as the runner's machine does.
ULONG PortalStatus(const Service &service, const std::string &address,
                   const p::ISCSI_LOGIN_OPTIONS *options) {
    for (const scn::PortalAnswer &portal : service.scenario.portals) {
        if (portal.address == address) {
            if (portal.chap) {
                rules::Chap demanded = DemandedChap(*portal.chap);
                const ULONG refused =
                    rules::CheckCredentials(options, demanded, nullptr, service.initiatorSecret);
                Wipe(demanded.secret);
                if (refused != kSuccess) {
                    return refused;
                }
            }
            return portal.status;
        }
    }
    return service.scenario.portalStatus;
}

// What a target that demands CHAP answers a login's options: 0 for the right credentials.
ULONG TargetCredentialsStatus(const Service &service, const std::string &target,
                              const p::ISCSI_LOGIN_OPTIONS *options) {
    const scn::TargetLogins *entry = scn::TargetEntry(service.scenario, target);
    if (entry == nullptr || !entry->chap) {
        return kSuccess;
    }
    rules::Chap demanded = DemandedChap(*entry->chap);
    std::vector<std::uint8_t> targetSecret;
    if (entry->initiatorSecret) {
        targetSecret.assign(entry->initiatorSecret->begin(), entry->initiatorSecret->end());
    }
    const ULONG status =
        rules::CheckCredentials(options, demanded, entry->initiatorSecret ? &targetSecret : nullptr,
                                service.initiatorSecret);
    Wipe(demanded.secret);
    Wipe(targetSecret);
    return status;
}

// ", CHAP, user 6 bytes, secret 14 bytes" for a call that carries credentials: their lengths,
// never their bytes. Empty for one without.
std::string CredentialsText(const p::ISCSI_LOGIN_OPTIONS *options) {
    if (options == nullptr || (options->AuthType != p::ISCSI_CHAP_AUTH_TYPE &&
                               options->AuthType != p::ISCSI_MUTUAL_CHAP_AUTH_TYPE)) {
        return std::string();
    }
    return std::string(options->AuthType == p::ISCSI_MUTUAL_CHAP_AUTH_TYPE ? ", mutual CHAP"
                                                                           : ", CHAP") +
           ", user " + std::to_string(options->Username == nullptr ? 0 : options->UsernameLength) +
           " bytes, secret " +
           std::to_string(options->Password == nullptr ? 0 : options->PasswordLength) + " bytes";
}

std::vector<Session>::iterator FindSession(Service &service, const p::ISCSI_UNIQUE_SESSION_ID &id) {
    return std::find_if(service.sessions.begin(), service.sessions.end(),
                        [&id](const Session &session) {
                            return session.id.AdapterUnique == id.AdapterUnique &&
                                   session.id.AdapterSpecific == id.AdapterSpecific;
                        });
}

bool OnSessionDisk(const scn::Drive &drive, const std::vector<scn::Disk> &disks) {
    return drive.openable && std::find(disks.begin(), disks.end(), drive.disk) != disks.end();
}

DWORD WINAPI MakeLetters(void *argument) {
    const std::unique_ptr<std::vector<DueLetter>> letters(
        static_cast<std::vector<DueLetter> *>(argument));
    for (const DueLetter &due : *letters) {
        const ULONGLONG now = Now();
        if (due.due > now) {
            Sleep(static_cast<DWORD>(due.due - now));
        }
        const ServiceLock locked;
        Service &service = TheService();
        const auto session = FindSession(service, due.session);
        std::string error;
        if (session == service.sessions.end()) {
            Log("drive %c: not made, its session was logged out", due.letter);
        } else if (service.letters.Define(due.letter, due.device, error)) {
            session->letters.push_back(due.letter);
            Log("drive %c: now points at %s", due.letter, due.device.c_str());
        } else {
            Note(error);
        }
    }
    HMODULE self = nullptr;
    GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS |
                           GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                       reinterpret_cast<const char *>(&MakeLetters), &self);
    FreeLibraryAndExitThread(self, 0);
}

// A login's letters come later, in order: a thread keeps the kit loaded until they are made.
void ScheduleLetters(const Service &service, const scn::LoginEffect &effect,
                     const p::ISCSI_UNIQUE_SESSION_ID &session, ULONGLONG loginAt) {
    auto letters = std::make_unique<std::vector<DueLetter>>();
    for (const scn::LoginEffect::DelayedDrive &delayed : effect.drives) {
        // A volume without a letter is Windows' to make, not the initiator service's: the kit
        // cannot play it, nor the scenario's "machine" and "disks".
        if (delayed.drive.letter == '\0') {
            continue;
        }
        const bool onSession = OnSessionDisk(delayed.drive, effect.disks);
        letters->push_back({loginAt + delayed.afterMs, delayed.drive.letter,
                            onSession ? service.volume.device : testkit::kStrayDevice, session});
    }
    if (letters->empty()) {
        return;
    }
    std::stable_sort(letters->begin(), letters->end(),
                     [](const DueLetter &a, const DueLetter &b) { return a.due < b.due; });
    vxd::win32::UniqueModule pinned;
    if (!GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS,
                            reinterpret_cast<const char *>(&MakeLetters), pinned.put())) {
        Note("cannot keep the kit loaded for the login's letters (error " +
             std::to_string(GetLastError()) + ")");
        return;
    }
    const vxd::win32::UniqueHandle thread(
        CreateThread(nullptr, 0, MakeLetters, letters.get(), 0, nullptr));
    if (!thread) {
        Note("cannot start the thread for the login's letters (error " +
             std::to_string(GetLastError()) + ")");
        return;
    }
    // The thread owns them now, and frees the kit's pin as it ends.
    static_cast<void>(letters.release());
    static_cast<void>(pinned.release());
}

template <std::size_t N> void CopyText(char (&field)[N], const std::string &text) {
    std::snprintf(field, N, "%s", text.c_str());
}

p::ISCSI_DEVICE_ON_SESSIONA DeviceRecord(const Session &session, std::size_t index, ULONG disk) {
    p::ISCSI_DEVICE_ON_SESSIONA record;
    std::memset(&record, 0, sizeof record);
    CopyText(record.InitiatorName, rules::kInitiatorInstance);
    CopyText(record.TargetName, session.target);
    record.ScsiAddress.Length = sizeof record.ScsiAddress;
    record.ScsiAddress.Lun =
        static_cast<p::UCHAR>(index < session.luns.size() ? session.luns[index] : index);
    CopyText(record.LegacyName, "\\\\.\\PhysicalDrive" + std::to_string(disk));
    record.StorageDeviceNumber.DeviceType = FILE_DEVICE_DISK;
    record.StorageDeviceNumber.DeviceNumber = disk;
    record.StorageDeviceNumber.PartitionNumber = 0;
    return record;
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
    if (!ServiceAnswers()) {
        return kServiceNotRunning;
    }
    const Service &service = TheService();
    if (AuthInfo == nullptr) {
        return kInvalidParameter;
    }
    const ULONG status = service.scenario.ikeStatus;
    Log("SetIScsiIKEInfoA(method %d, id %s, key %lu bytes, persist %u) -> %lx",
        static_cast<int>(AuthInfo->AuthMethod),
        Ipv4Text(AuthInfo->PsKey.Id, AuthInfo->PsKey.IdLengthInBytes).c_str(),
        AuthInfo->PsKey.KeyLengthInBytes, Persist, status);
    return status;
}

// "": the service picks the initiator; else ", initiator NAME:PORT" for the kit's log.
std::string InitiatorText(const char *instance, ULONG port) {
    if (instance == nullptr) {
        return std::string();
    }
    return std::string(", initiator ") + instance + ":" +
           (port == p::kAllInitiatorPorts ? std::string("any") : std::to_string(port));
}

ULONG WINAPI AddIScsiSendTargetPortalA(char *InitiatorInstance, ULONG InitiatorPortNumber,
                                       p::ISCSI_LOGIN_OPTIONS *LoginOptions,
                                       ULONGLONG /*SecurityFlags*/,
                                       p::ISCSI_TARGET_PORTALA *Portal) {
    const ServiceLock locked;
    if (!ServiceAnswers()) {
        return kServiceNotRunning;
    }
    Service &service = TheService();
    if (Portal == nullptr) {
        return kInvalidParameter;
    }
    const std::string address = rules::AddressOf(*Portal);
    const ULONG unknown = rules::InitiatorStatus(InitiatorInstance);
    const ULONG status =
        unknown != kSuccess ? unknown : PortalStatus(service, address, LoginOptions);
    if (status == kSuccess) {
        rules::RegisterPortal(service.portals, *Portal);
    }
    Log("AddIScsiSendTargetPortalA(%s port %u%s%s) -> %lx", address.c_str(), Portal->Socket,
        CredentialsText(LoginOptions).c_str(),
        InitiatorText(InitiatorInstance, InitiatorPortNumber).c_str(), status);
    return status;
}

// An informational login answers as a normal one would, and counts as one of the target's
// logins, but its session has no devices and brings no letters, and it is never kept as a
// persistent login.
ULONG WINAPI LoginIScsiTargetA(char *TargetName, BOOLEAN IsInformationalSession,
                               char *InitiatorInstance, ULONG InitiatorPortNumber,
                               p::ISCSI_TARGET_PORTALA *TargetPortal, ULONGLONG /*SecurityFlags*/,
                               p::ISCSI_TARGET_MAPPINGA * /*Mappings*/,
                               p::ISCSI_LOGIN_OPTIONS *LoginOptions, ULONG /*KeySize*/,
                               char * /*Key*/, BOOLEAN IsPersistent,
                               p::ISCSI_UNIQUE_SESSION_ID *UniqueSessionId,
                               p::ISCSI_UNIQUE_CONNECTION_ID *UniqueConnectionId) {
    const ServiceLock locked;
    if (!ServiceAnswers()) {
        return kServiceNotRunning;
    }
    Service &service = TheService();
    if (TargetName == nullptr) {
        return kInvalidParameter;
    }
    const std::string target = TargetName;
    ULONG status = rules::SuccessiveAnswer(scn::LoginStatusesOf(service.scenario, target),
                                           service.logins[target]++);
    // A target that demands credentials checks them before anything else.
    const ULONG refused = TargetCredentialsStatus(service, target, LoginOptions);
    status = refused != kSuccess ? refused : status;
    const ULONG unknown = rules::InitiatorStatus(InitiatorInstance);
    status = unknown != kSuccess ? unknown : status;
    // A target with a session gets another only as another path, with multipath enabled.
    const std::size_t paths = static_cast<std::size_t>(
        std::count_if(service.sessions.begin(), service.sessions.end(), [&](const Session &s) {
            return s.devices > 0 && rules::SameNameIgnoringCase(s.target, target);
        }));
    const bool multipath = LoginOptions != nullptr &&
                           (LoginOptions->LoginFlags & p::ISCSI_LOGIN_FLAG_MULTIPATH_ENABLED) != 0;
    if (status == kSuccess && !IsInformationalSession && paths > 0 && !multipath) {
        status = p::kStatusTargetAlreadyLoggedIn;
    }
    const std::string through =
        TargetPortal == nullptr ? std::string() : rules::AddressOf(*TargetPortal);
    const std::string credentials = CredentialsText(LoginOptions) +
                                    InitiatorText(InitiatorInstance, InitiatorPortNumber) +
                                    (through.empty() ? std::string() : ", through " + through) +
                                    (multipath ? ", multipath" : "");
    if (IsInformationalSession) {
        Log("LoginIScsiTargetA(%s, persistent %u, informational 1%s) -> %lx", TargetName,
            IsPersistent, credentials.c_str(), status);
    } else {
        Log("LoginIScsiTargetA(%s, persistent %u%s) -> %lx", TargetName, IsPersistent,
            credentials.c_str(), status);
    }
    if (status != kSuccess) {
        return status;
    }
    // A new session for the target, after those already listed.
    const ULONGLONG now = Now();
    const p::ISCSI_UNIQUE_SESSION_ID id = NewSessionId(service);
    if (IsInformationalSession) {
        service.sessions.push_back({target, id, 0, 0, {}, {}, through, 0, 0});
    } else {
        const scn::LoginEffect &effect = scn::LoginEffectOf(service.scenario, target);
        const ULONG offset =
            paths > 0 && !service.scenario.machine.mpio ? static_cast<ULONG>(100 * paths) : 0;
        service.sessions.push_back({target,
                                    id,
                                    effect.disks.size(),
                                    now + effect.devicesAfterMs,
                                    {},
                                    effect.luns,
                                    through,
                                    TargetPortal == nullptr ? USHORT{0} : TargetPortal->Socket,
                                    offset});
        // Another path brings no letters of its own: they are the first path's.
        if (paths == 0) {
            ScheduleLetters(service, effect, id, now);
        }
        if (IsPersistent) {
            service.persistentLogins.push_back(rules::PersistentLoginOf(
                TargetName, InitiatorInstance, InitiatorPortNumber, TargetPortal, LoginOptions));
        }
    }
    if (UniqueSessionId != nullptr) {
        *UniqueSessionId = id;
    }
    if (UniqueConnectionId != nullptr) {
        *UniqueConnectionId = id;
    }
    return status;
}

ULONG WINAPI LogoutIScsiTarget(p::ISCSI_UNIQUE_SESSION_ID *UniqueSessionId) {
    const ServiceLock locked;
    if (!ServiceAnswers()) {
        return kServiceNotRunning;
    }
    Service &service = TheService();
    if (UniqueSessionId == nullptr) {
        return kInvalidParameter;
    }
    const auto session = FindSession(service, *UniqueSessionId);
    if (session == service.sessions.end()) {
        Log("LogoutIScsiTarget: no such session -> %lx", kInvalidSessionId);
        return kInvalidSessionId;
    }
    const std::string target = session->target;
    // Without statuses of the scenario's the kit has no volume in use to refuse for: a busy
    // device is the scenario's 0xEFFF0040.
    const ULONG status = rules::SuccessiveAnswer(scn::LogoutStatusesOf(service.scenario, target),
                                                 service.logouts[target]++);
    Log("LogoutIScsiTarget(%s) -> %lx", target.c_str(), status);
    if (status != kSuccess) {
        return status;
    }
    // The session's disk leaves the machine, and the letters that its login brought with it.
    for (const char letter : session->letters) {
        std::string error;
        if (service.letters.Remove(letter, error)) {
            Log("drive %c: removed with its session", letter);
        } else {
            Note(error);
        }
    }
    service.sessions.erase(session);
    return status;
}

ULONG WINAPI ReportIScsiPersistentLoginsA(ULONG *Count,
                                          p::PERSISTENT_ISCSI_LOGIN_INFOA *PersistentLoginInfo,
                                          ULONG *BufferSizeInBytes) {
    const ServiceLock locked;
    if (!ServiceAnswers()) {
        return kServiceNotRunning;
    }
    const Service &service = TheService();
    if (Count == nullptr || BufferSizeInBytes == nullptr) {
        return kInvalidParameter;
    }
    const ULONG offered = *BufferSizeInBytes;
    const ULONG status =
        service.scenario.reportPersistentStatus
            ? *service.scenario.reportPersistentStatus
            : rules::ReportPersistentLogins(service.persistentLogins, Count, PersistentLoginInfo,
                                            BufferSizeInBytes);
    Log("ReportIScsiPersistentLoginsA(%lu bytes) -> %lx, %lu logins", offered, status,
        static_cast<ULONG>(service.persistentLogins.size()));
    return status;
}

ULONG WINAPI RemoveIScsiPersistentTargetA(char *InitiatorInstance, ULONG InitiatorPortNumber,
                                          char *TargetName, p::ISCSI_TARGET_PORTALA *Portal) {
    const ServiceLock locked;
    if (!ServiceAnswers()) {
        return kServiceNotRunning;
    }
    Service &service = TheService();
    if (TargetName == nullptr) {
        return kInvalidParameter;
    }
    const ULONG status =
        service.scenario.removePersistentStatus
            ? *service.scenario.removePersistentStatus
            : rules::RemovePersistentLogins(service.persistentLogins, InitiatorInstance,
                                            InitiatorPortNumber, TargetName, Portal);
    Log("RemoveIScsiPersistentTargetA(%s, portal \"%s\" port %u) -> %lx", TargetName,
        Portal == nullptr ? "any" : rules::AddressOf(*Portal).c_str(),
        Portal == nullptr ? 0u : static_cast<unsigned>(Portal->Socket), status);
    return status;
}

ULONG WINAPI RemoveIScsiSendTargetPortalA(char * /*InitiatorInstance*/,
                                          ULONG /*InitiatorPortNumber*/,
                                          p::ISCSI_TARGET_PORTALA *Portal) {
    const ServiceLock locked;
    if (!ServiceAnswers()) {
        return kServiceNotRunning;
    }
    Service &service = TheService();
    if (Portal == nullptr) {
        return kInvalidParameter;
    }
    const ULONG status = service.scenario.removePortalStatus
                             ? *service.scenario.removePortalStatus
                             : rules::UnregisterPortal(service.portals, *Portal);
    Log("RemoveIScsiSendTargetPortalA(%s port %u) -> %lx", rules::AddressOf(*Portal).c_str(),
        static_cast<unsigned>(Portal->Socket), status);
    return status;
}

ULONG WINAPI SetIScsiInitiatorCHAPSharedSecret(ULONG SharedSecretLength, UCHAR *SharedSecret) {
    const ServiceLock locked;
    if (!ServiceAnswers()) {
        return kServiceNotRunning;
    }
    if (SharedSecret == nullptr && SharedSecretLength != 0) {
        return kInvalidParameter;
    }
    Service &service = TheService();
    Wipe(service.initiatorSecret);
    // Reserved first: a reallocation would leave a copy of the secret behind.
    service.initiatorSecret.reserve(SharedSecretLength);
    service.initiatorSecret.assign(SharedSecret, SharedSecret + SharedSecretLength);
    Log("SetIScsiInitiatorCHAPSharedSecret(%lu bytes) -> 0", SharedSecretLength);
    return kSuccess;
}

// The kit's own initiator name, which --check names as the one a target admits.
ULONG WINAPI GetIScsiInitiatorNodeNameA(char *InitiatorNodeName) {
    const ServiceLock locked;
    if (!ServiceAnswers()) {
        return kServiceNotRunning;
    }
    if (InitiatorNodeName == nullptr) {
        return kInvalidParameter;
    }
    std::memcpy(InitiatorNodeName, kInitiatorName, sizeof kInitiatorName);
    Log("GetIScsiInitiatorNodeNameA -> %s", kInitiatorName);
    return kSuccess;
}

// The kit's one initiator instance, as a multi-string.
ULONG WINAPI ReportIScsiInitiatorListA(ULONG *BufferSize, char *Buffer) {
    const ServiceLock locked;
    if (!ServiceAnswers()) {
        return kServiceNotRunning;
    }
    if (BufferSize == nullptr) {
        return kInvalidParameter;
    }
    const std::string names = std::string(rules::kInitiatorInstance) + '\0' + '\0';
    if (Buffer == nullptr || *BufferSize < names.size()) {
        *BufferSize = static_cast<ULONG>(names.size());
        return p::kErrorInsufficientBuffer;
    }
    std::copy(names.begin(), names.end(), Buffer);
    *BufferSize = static_cast<ULONG>(names.size());
    Log("ReportIScsiInitiatorListA -> 1 instance");
    return kSuccess;
}

// The scenario's targets as a multi-string: each name ends with a NUL, and one more NUL ends
// the list. An empty list is two NULs, so that every answer ends in two and a reader may check
// for them; one that stops at the first empty string stops at once. The list never changes, so
// a forced update changes nothing.
ULONG WINAPI ReportIScsiTargetsA(BOOLEAN /*ForceUpdate*/, ULONG *BufferSize, char *Buffer) {
    const ServiceLock locked;
    if (!ServiceAnswers()) {
        return kServiceNotRunning;
    }
    const Service &service = TheService();
    if (BufferSize == nullptr) {
        return kInvalidParameter;
    }
    std::string names;
    const std::vector<std::string> known =
        rules::KnownTargets(service.reportedTargets, service.portals, service.portalTargets);
    for (const std::string &name : known) {
        names += name;
        names += '\0';
    }
    if (names.empty()) {
        names += '\0';
    }
    names += '\0';
    if (Buffer == nullptr || *BufferSize < names.size()) {
        *BufferSize = static_cast<ULONG>(names.size());
        return p::kErrorInsufficientBuffer;
    }
    std::copy(names.begin(), names.end(), Buffer);
    *BufferSize = static_cast<ULONG>(names.size());
    Log("ReportIScsiTargetsA -> %lu targets", static_cast<ULONG>(known.size()));
    return kSuccess;
}

// The registered portals that offer the target.
ULONG WINAPI ReportIScsiTargetPortalsA(char * /*InitiatorName*/, char *TargetName,
                                       USHORT * /*TargetPortalTag*/, ULONG *ElementCount,
                                       p::ISCSI_TARGET_PORTALA *Portals) {
    const ServiceLock locked;
    if (!ServiceAnswers()) {
        return kServiceNotRunning;
    }
    const Service &service = TheService();
    if (TargetName == nullptr || ElementCount == nullptr) {
        return kInvalidParameter;
    }
    const std::vector<rules::Portal> offering =
        rules::PortalsOffering(TargetName, service.portals, service.portalTargets);
    if (!offering.empty() && (Portals == nullptr || *ElementCount < offering.size())) {
        *ElementCount = static_cast<ULONG>(offering.size());
        return p::kErrorInsufficientBuffer;
    }
    for (std::size_t i = 0; i < offering.size(); ++i) {
        p::ISCSI_TARGET_PORTALA record;
        std::memset(&record, 0, sizeof record);
        CopyText(record.Address, offering[i].address);
        record.Socket = offering[i].socket;
        Portals[i] = record;
    }
    *ElementCount = static_cast<ULONG>(offering.size());
    Log("ReportIScsiTargetPortalsA(%s) -> %lu portals", TargetName, *ElementCount);
    return kSuccess;
}

// The registered send-target portals, each on the kit's initiator.
ULONG WINAPI ReportIScsiSendTargetPortalsA(ULONG *PortalCount,
                                           p::ISCSI_TARGET_PORTAL_INFOA *PortalInfo) {
    const ServiceLock locked;
    if (!ServiceAnswers()) {
        return kServiceNotRunning;
    }
    const Service &service = TheService();
    if (PortalCount == nullptr) {
        return kInvalidParameter;
    }
    if (!service.portals.empty() &&
        (PortalInfo == nullptr || *PortalCount < service.portals.size())) {
        *PortalCount = static_cast<ULONG>(service.portals.size());
        return p::kErrorInsufficientBuffer;
    }
    for (std::size_t i = 0; i < service.portals.size(); ++i) {
        p::ISCSI_TARGET_PORTAL_INFOA record;
        std::memset(&record, 0, sizeof record);
        CopyText(record.InitiatorName, rules::kInitiatorInstance);
        record.InitiatorPortNumber = p::kAllInitiatorPorts;
        CopyText(record.Address, service.portals[i].address);
        record.Socket = service.portals[i].socket;
        PortalInfo[i] = record;
    }
    *PortalCount = static_cast<ULONG>(service.portals.size());
    Log("ReportIScsiSendTargetPortalsA -> %lu portals", *PortalCount);
    return kSuccess;
}

ULONG WINAPI GetIScsiSessionListA(ULONG *BufferSize, ULONG *SessionCount,
                                  p::ISCSI_SESSION_INFOA *SessionInfo) {
    const ServiceLock locked;
    if (!ServiceAnswers()) {
        return kServiceNotRunning;
    }
    const Service &service = TheService();
    if (BufferSize == nullptr || SessionCount == nullptr) {
        return kInvalidParameter;
    }
    const std::size_t count = service.sessions.size();
    if (count == 0) {
        *BufferSize = 0;
        *SessionCount = 0;
        Log("GetIScsiSessionListA: no sessions");
        return kSuccess;
    }
    // The records, each path's connection record, then the strings they point at.
    std::size_t needed = count * sizeof(p::ISCSI_SESSION_INFOA);
    std::size_t connections = 0;
    for (const Session &session : service.sessions) {
        needed += sizeof kInitiatorName + 2 * (session.target.size() + 1);
        if (!session.portal.empty()) {
            ++connections;
            needed += sizeof(p::ISCSI_CONNECTION_INFOA) + session.portal.size() + 1;
        }
    }
    *SessionCount = static_cast<ULONG>(count);
    if (SessionInfo == nullptr || *BufferSize < needed) {
        *BufferSize = static_cast<ULONG>(needed);
        return p::kErrorInsufficientBuffer;
    }
    auto *connection = reinterpret_cast<p::ISCSI_CONNECTION_INFOA *>(SessionInfo + count);
    char *strings = reinterpret_cast<char *>(connection + connections);
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
        if (!from.portal.empty()) {
            std::memset(connection, 0, sizeof *connection);
            connection->ConnectionId = from.id;
            connection->TargetAddress = place(from.portal.c_str(), from.portal.size() + 1);
            connection->TargetSocket = from.portalSocket;
            record.ConnectionCount = 1;
            record.Connections = connection++;
        }
    }
    *BufferSize = static_cast<ULONG>(needed);
    return kSuccess;
}

ULONG WINAPI GetDevicesForIScsiSessionA(p::ISCSI_UNIQUE_SESSION_ID *UniqueSessionId,
                                        ULONG *DeviceCount, p::ISCSI_DEVICE_ON_SESSIONA *Devices) {
    const ServiceLock locked;
    if (!ServiceAnswers()) {
        return kServiceNotRunning;
    }
    Service &service = TheService();
    if (UniqueSessionId == nullptr || DeviceCount == nullptr) {
        return kInvalidParameter;
    }
    const auto session = FindSession(service, *UniqueSessionId);
    if (session == service.sessions.end()) {
        Log("GetDevicesForIScsiSessionA: no such session");
        return kInvalidSessionId;
    }
    // Every device of a session lies on the test volume's disk.
    const std::size_t count = Now() >= session->devicesFrom ? session->devices : 0;
    if (count > 0 && (Devices == nullptr || *DeviceCount < count)) {
        *DeviceCount = static_cast<ULONG>(count);
        return p::kErrorInsufficientBuffer;
    }
    *DeviceCount = static_cast<ULONG>(count);
    for (std::size_t i = 0; i < count; ++i) {
        Devices[i] = DeviceRecord(*session, i, service.volume.disk + session->diskOffset);
    }
    Log("GetDevicesForIScsiSessionA: %lu devices on disk %lu", static_cast<ULONG>(count),
        service.volume.disk);
    return kSuccess;
}

// The letters live in the user's logon session, not in the process: none may outlive it.
BOOL WINAPI DllMain(HINSTANCE /*module*/, DWORD reason, void * /*reserved*/) {
    if (reason == DLL_PROCESS_ATTACH) {
        const ServiceLock locked;
        TheService().state = StateAtLoad();
    } else if (reason == DLL_PROCESS_DETACH) {
        TheService().letters.RemoveAll();
        Wipe(TheService().initiatorSecret);
    }
    return TRUE;
}

} // extern "C"
