#include "platform/sim/sim_machine.h"

#include <arpa/inet.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

namespace vxd::sim {
namespace {

Machine *current = nullptr;

// Statuses the simulated service answers with; the library only tells 0, 122 and
// "already logged in" apart.
constexpr ISDSC_STATUS kStatusInvalidParameter = 87;
constexpr unsigned kDriveNoRootDir = 1;
constexpr unsigned kDriveFixed = 3;
constexpr platform::DWORD kFileDeviceDisk = 7;
constexpr platform::DWORD kErrorFileNotFound = 2;
constexpr platform::DWORD kErrorInvalidHandle = 6;
constexpr platform::DWORD kErrorNotReady = 21;
constexpr platform::DWORD kErrorNotLocked = 158;
constexpr Ms kNever = ~Ms{0};
constexpr std::uintptr_t kProcessHeap = 0x7E0000;
constexpr platform::DWORD kHeapZeroMemory = 0x8;

template <typename Record> std::vector<std::uint8_t> BytesOf(const Record *record) {
    if (record == nullptr) {
        return {};
    }
    const auto *first = reinterpret_cast<const std::uint8_t *>(record);
    return std::vector<std::uint8_t>(first, first + sizeof(Record));
}

std::uint64_t PointerArg(const void *pointer) { return reinterpret_cast<std::uintptr_t>(pointer); }

std::string Quoted(const char *text) {
    return text == nullptr ? std::string("null") : "\"" + std::string(text) + "\"";
}

std::string Hex(std::uint64_t value) {
    char text[32];
    // NOLINTNEXTLINE(cert-err33-c): 32 bytes hold any 64-bit value in hexadecimal.
    std::snprintf(text, sizeof text, "0x%llx", static_cast<unsigned long long>(value));
    return text;
}

std::string Status(ISDSC_STATUS status) {
    return status == 0 ? std::string("0") : std::to_string(status) + " (" + Hex(status) + ")";
}

void CopyText(char *field, std::size_t fieldSize, const std::string &text) {
    const std::size_t length = std::min(text.size(), fieldSize - 1);
    std::memcpy(field, text.data(), length);
    field[length] = '\0';
}

// A volume path exactly as the platform spells it: \\.\X:
bool VolumeLetter(const char *path, char &letter) {
    if (path == nullptr || std::strlen(path) != 6 || std::strncmp(path, "\\\\.\\", 4) != 0 ||
        path[5] != ':') {
        return false;
    }
    letter = path[4];
    return true;
}

} // namespace

thread_local int MachineCall::depth_ = 0;

std::uint64_t CallRecord::Arg(const std::string &key) const {
    const auto found = args.find(key);
    return found == args.end() ? ~std::uint64_t{0} : found->second;
}

const std::string &CallRecord::String(const std::string &key) const {
    static const std::string none;
    const auto found = strings.find(key);
    return found == strings.end() ? none : found->second;
}

const std::vector<std::uint8_t> &CallRecord::Bytes(const std::string &key) const {
    static const std::vector<std::uint8_t> none;
    const auto found = bytes.find(key);
    return found == bytes.end() ? none : found->second;
}

Machine::Machine() : previous_(current) { current = this; }

Machine::~Machine() {
    current = previous_;
    for (const auto &block : heapBlocks_) {
        std::free(block.first);
    }
}

Machine &Machine::Current() {
    if (current == nullptr) {
        // NOLINTNEXTLINE(cert-err33-c): the program aborts next, written or not.
        std::fprintf(stderr, "sim: a platform operation ran with no simulated machine\n");
        std::abort();
    }
    return *current;
}

Machine &Machine::AddDrive(char letter, ULONG disk) {
    DriveSetup drive;
    drive.letter = letter;
    drive.disk = disk;
    return AddDrive(drive);
}

Machine &Machine::AddDrive(const DriveSetup &drive) {
    drives_[static_cast<unsigned char>(drive.letter)] = drive;
    return *this;
}

DriveSetup *Machine::EditDrive(char letter) {
    const auto found = drives_.find(static_cast<unsigned char>(letter));
    return found == drives_.end() ? nullptr : &found->second;
}

Machine &Machine::RemoveDrive(char letter) {
    drives_.erase(static_cast<unsigned char>(letter));
    return *this;
}

Machine &Machine::AddDriveAt(Ms at, const DriveSetup &drive) {
    Schedule(at, [this, drive] { AddDrive(drive); });
    return *this;
}

Machine &Machine::RemoveDriveAt(Ms at, char letter) {
    Schedule(at, [this, letter] { RemoveDrive(letter); });
    return *this;
}

Machine &Machine::AddSession(const SessionSetup &session) {
    AddSessionNow(session);
    return *this;
}

Machine &Machine::AddSession(const std::string &target, const std::vector<ULONG> &disks) {
    SessionSetup session;
    session.target = target;
    session.disks = disks;
    return AddSession(session);
}

std::vector<std::string> Machine::TraceTexts() const {
    std::vector<std::string> texts;
    for (const TraceLine &line : trace_) {
        texts.push_back(line.text);
    }
    return texts;
}

std::vector<CallRecord> Machine::CallsTo(const std::string &name) const {
    std::vector<CallRecord> matching;
    for (const CallRecord &call : calls_) {
        if (call.name == name) {
            matching.push_back(call);
        }
    }
    return matching;
}

std::string Machine::DriveLetters() const {
    std::string letters;
    for (const auto &drive : drives_) {
        letters.push_back(static_cast<char>(drive.first));
    }
    return letters;
}

void Machine::Schedule(Ms at, std::function<void()> apply) {
    events_.push_back(Event{at, nextEventOrder_++, std::move(apply)});
}

void Machine::ApplyDueEvents() {
    // Changes due at the same moment apply in the order they were scheduled.
    std::stable_sort(events_.begin(), events_.end(), [](const Event &a, const Event &b) {
        return a.at != b.at ? a.at < b.at : a.order < b.order;
    });
    std::size_t due = 0;
    while (due < events_.size() && events_[due].at <= now_) {
        ++due;
    }
    std::vector<Event> applying(events_.begin(), events_.begin() + static_cast<long>(due));
    events_.erase(events_.begin(), events_.begin() + static_cast<long>(due));
    for (Event &event : applying) {
        event.apply();
    }
}

CallRecord &Machine::Log(const std::string &name) {
    ApplyDueEvents();
    calls_.emplace_back();
    calls_.back().at = now_;
    calls_.back().name = name;
    return calls_.back();
}

void Machine::Publish(CallRecord &call, const std::string &text) {
    call.text = call.name + "(" + text;
    if (onCall) {
        onCall(call);
    }
}

Machine::Session *Machine::FindSession(const platform::ISCSI_UNIQUE_SESSION_ID *id) {
    if (id == nullptr) {
        return nullptr;
    }
    for (Session &session : sessions_) {
        if (session.id.AdapterUnique == id->AdapterUnique &&
            session.id.AdapterSpecific == id->AdapterSpecific) {
            return &session;
        }
    }
    return nullptr;
}

const DriveSetup *Machine::FindDrive(char letter) const {
    const auto found = drives_.find(static_cast<unsigned char>(letter));
    return found == drives_.end() ? nullptr : &found->second;
}

const DriveSetup *Machine::DriveOfRoot(const char *rootPathName) const {
    if (rootPathName == nullptr || std::strlen(rootPathName) != 3 ||
        std::strcmp(rootPathName + 1, ":\\") != 0) {
        return nullptr;
    }
    return FindDrive(rootPathName[0]);
}

void Machine::AddSessionNow(const SessionSetup &setup) {
    Session session;
    session.setup = setup;
    session.id.AdapterUnique = 0xFFFF800000000000ull + nextSessionNumber_;
    session.id.AdapterSpecific = 0x4000013700000000ull + nextSessionNumber_;
    session.number = nextSessionNumber_;
    ++nextSessionNumber_;
    sessions_.push_back(session);
}

std::optional<AnswerOverride> Machine::NextOverride(std::deque<AnswerOverride> &answers) {
    if (answers.empty()) {
        return std::nullopt;
    }
    AnswerOverride next = answers.front();
    answers.pop_front();
    return next;
}

ISDSC_STATUS Machine::SetIScsiIKEInfoA(char *initiatorName, ULONG initiatorPortNumber,
                                       platform::IKE_AUTHENTICATION_INFORMATION *authInfo,
                                       platform::BOOLEAN persist) {
    CallRecord &call = Log("SetIScsiIKEInfoA");
    call.args["InitiatorName"] = PointerArg(initiatorName);
    call.args["InitiatorPortNumber"] = initiatorPortNumber;
    call.args["Persist"] = persist;
    call.bytes["AuthInfo"] = BytesOf(authInfo);
    std::string identity = "none";
    if (authInfo != nullptr && authInfo->PsKey.Id != nullptr) {
        const std::size_t length = std::min<std::size_t>(authInfo->PsKey.IdLengthInBytes, 16);
        call.bytes["Id"].assign(authInfo->PsKey.Id, authInfo->PsKey.Id + length);
        if (length == 4) {
            std::uint32_t address = 0;
            std::memcpy(&address, authInfo->PsKey.Id, 4);
            char text[INET_ADDRSTRLEN] = {};
            inet_ntop(AF_INET, &address, text, sizeof text);
            identity = text;
        }
    }
    Publish(call, "id " + identity + ", persist " + std::to_string(persist) + ") -> " +
                      Status(ikeStatus));
    return ikeStatus;
}

ISDSC_STATUS Machine::AddIScsiSendTargetPortalA(char *initiatorInstance, ULONG initiatorPortNumber,
                                                platform::ISCSI_LOGIN_OPTIONS *loginOptions,
                                                platform::ULONGLONG securityFlags,
                                                platform::ISCSI_TARGET_PORTALA *portal) {
    CallRecord &call = Log("AddIScsiSendTargetPortalA");
    call.args["InitiatorInstance"] = PointerArg(initiatorInstance);
    call.args["InitiatorPortNumber"] = initiatorPortNumber;
    call.args["SecurityFlags"] = securityFlags;
    call.bytes["LoginOptions"] = BytesOf(loginOptions);
    call.bytes["Portal"] = BytesOf(portal);
    std::string address;
    if (portal != nullptr) {
        address.assign(portal->Address, strnlen(portal->Address, sizeof portal->Address));
        call.strings["Address"] = address;
        call.args["Socket"] = portal->Socket;
    }
    const auto listed = portalStatuses.find(address);
    ISDSC_STATUS status = listed == portalStatuses.end() ? portalStatus : listed->second;
    if (const auto chap = portalChap.find(address); chap != portalChap.end()) {
        const ISDSC_STATUS refused =
            CheckCredentials(loginOptions, chap->second, nullptr, initiatorSecret);
        status = refused != 0 ? refused : status;
    }
    if (status == 0 && portal != nullptr) {
        RegisterPortal(portals, *portal);
    }
    Publish(call, "\"" + address + "\", socket " + std::to_string(call.Arg("Socket")) + ") -> " +
                      Status(status));
    return status;
}

ISDSC_STATUS Machine::LoginIScsiTargetA(char *targetName, platform::BOOLEAN isInformationalSession,
                                        char *initiatorInstance, ULONG initiatorPortNumber,
                                        platform::ISCSI_TARGET_PORTALA *targetPortal,
                                        platform::ULONGLONG securityFlags,
                                        platform::ISCSI_TARGET_MAPPINGA *mappings,
                                        platform::ISCSI_LOGIN_OPTIONS *loginOptions, ULONG keySize,
                                        char *key, platform::BOOLEAN isPersistent,
                                        platform::ISCSI_UNIQUE_SESSION_ID *uniqueSessionId,
                                        platform::ISCSI_UNIQUE_CONNECTION_ID *uniqueConnectionId) {
    CallRecord &call = Log("LoginIScsiTargetA");
    call.strings["TargetName"] = targetName == nullptr ? "" : targetName;
    call.args["TargetName"] = PointerArg(targetName);
    call.args["IsInformationalSession"] = isInformationalSession;
    call.args["InitiatorInstance"] = PointerArg(initiatorInstance);
    call.args["InitiatorPortNumber"] = initiatorPortNumber;
    call.args["TargetPortal"] = PointerArg(targetPortal);
    call.args["SecurityFlags"] = securityFlags;
    call.args["Mappings"] = PointerArg(mappings);
    call.args["KeySize"] = keySize;
    call.args["Key"] = PointerArg(key);
    call.args["IsPersistent"] = isPersistent;
    call.args["UniqueSessionId"] = PointerArg(uniqueSessionId);
    call.args["UniqueConnectionId"] = PointerArg(uniqueConnectionId);
    call.bytes["LoginOptions"] = BytesOf(loginOptions);

    const std::string target = call.strings["TargetName"];
    const auto listed = targetLoginStatuses.find(target);
    const std::vector<ISDSC_STATUS> &statuses =
        listed == targetLoginStatuses.end() ? loginStatuses : listed->second;
    ISDSC_STATUS status = SuccessiveAnswer(statuses, loginCalls_[target]++);
    // A target that demands credentials checks them before anything else.
    if (const auto chap = targetChap.find(target); chap != targetChap.end()) {
        const auto mutual = targetInitiatorSecrets.find(target);
        const ISDSC_STATUS refused = CheckCredentials(
            loginOptions, chap->second,
            mutual == targetInitiatorSecrets.end() ? nullptr : &mutual->second, initiatorSecret);
        status = refused != 0 ? refused : status;
    }
    if (targetName == nullptr) {
        faults_.push_back("LoginIScsiTargetA without a target name");
        status = kStatusInvalidParameter;
    }
    const auto own = targetOnLogin.find(target);
    const LoginEffect &effect = own == targetOnLogin.end() ? onLogin : own->second;
    if (status == 0 && effect.createsSession) {
        SessionSetup session;
        session.target = targetName;
        session.disks = effect.disks;
        session.devicesFrom = now_ + effect.devicesAfterMs;
        AddSessionNow(session);
        if (uniqueSessionId != nullptr) {
            *uniqueSessionId = sessions_.back().id;
        }
        if (uniqueConnectionId != nullptr) {
            uniqueConnectionId->AdapterUnique = sessions_.back().id.AdapterUnique;
            uniqueConnectionId->AdapterSpecific = 1;
        }
        // The login's letters come only while its session stands: a logout takes its disk away.
        const std::uint64_t number = sessions_.back().number;
        for (const LoginEffect::DelayedDrive &delayed : effect.drives) {
            const DriveSetup drive = delayed.drive;
            Schedule(now_ + delayed.afterMs, [this, number, drive] {
                if (std::any_of(
                        sessions_.begin(), sessions_.end(),
                        [number](const Session &session) { return session.number == number; })) {
                    AddDrive(drive);
                }
            });
        }
        if (isPersistent != 0) {
            persistentLogins.push_back(PersistentLoginOf(
                targetName, initiatorInstance, initiatorPortNumber, targetPortal, loginOptions));
        }
    }
    Publish(call, Quoted(targetName) + ", persistent " + std::to_string(isPersistent) + ") -> " +
                      Status(status));
    return status;
}

ISDSC_STATUS Machine::GetIScsiSessionListA(ULONG *bufferSize, ULONG *sessionCount,
                                           platform::ISCSI_SESSION_INFOA *sessionInfo) {
    CallRecord &call = Log("GetIScsiSessionListA");
    if (bufferSize == nullptr || sessionCount == nullptr) {
        faults_.push_back("GetIScsiSessionListA without BufferSize or SessionCount");
        Publish(call, "null) -> " + Status(kStatusInvalidParameter));
        return kStatusInvalidParameter;
    }
    call.args["BufferSize"] = *bufferSize;
    call.args["SessionCount"] = *sessionCount;

    // Records first, then the name strings they point to.
    std::size_t needed = sessions_.size() * sizeof(platform::ISCSI_SESSION_INFOA);
    for (const Session &session : sessions_) {
        if (!session.setup.nullTargetName) {
            needed += session.setup.target.size() + 1;
        }
        if (!session.setup.nodeName.empty()) {
            needed += session.setup.nodeName.size() + 1;
        }
    }
    ISDSC_STATUS status = 0;
    bool sizeQuery = false;
    if (sessions_.empty()) {
        *sessionCount = 0;
    } else if (*bufferSize < needed || sessionInfo == nullptr) {
        *bufferSize = static_cast<ULONG>(needed);
        *sessionCount = static_cast<ULONG>(sessions_.size());
        status = platform::kErrorInsufficientBuffer;
        sizeQuery = true;
    } else {
        auto *base = reinterpret_cast<unsigned char *>(sessionInfo);
        char *strings = reinterpret_cast<char *>(base + sessions_.size() *
                                                            sizeof(platform::ISCSI_SESSION_INFOA));
        for (std::size_t i = 0; i < sessions_.size(); ++i) {
            platform::ISCSI_SESSION_INFOA record;
            std::memset(&record, 0, sizeof record);
            record.SessionId = sessions_[i].id;
            record.ConnectionCount = 0;
            if (!sessions_[i].setup.nullTargetName) {
                const std::string &target = sessions_[i].setup.target;
                std::memcpy(strings, target.c_str(), target.size() + 1);
                record.TargetName = strings;
                strings += target.size() + 1;
            }
            if (!sessions_[i].setup.nodeName.empty()) {
                const std::string &node = sessions_[i].setup.nodeName;
                std::memcpy(strings, node.c_str(), node.size() + 1);
                record.TargetNodeName = strings;
                strings += node.size() + 1;
            }
            std::memcpy(base + i * sizeof record, &record, sizeof record);
        }
        *sessionCount = static_cast<ULONG>(sessions_.size());
    }
    if (const auto answer = NextOverride(sessionListAnswers)) {
        status = answer->status.value_or(status);
        if (answer->size) {
            *bufferSize = *answer->size;
        }
        if (answer->count) {
            *sessionCount = *answer->count;
        }
    }
    if (sizeQuery && sessionAddedAfterListQuery) {
        AddSessionNow(*sessionAddedAfterListQuery);
        sessionAddedAfterListQuery.reset();
    }
    Publish(call, "size " + std::to_string(call.Arg("BufferSize")) + ") -> " + Status(status) +
                      ", size " + std::to_string(*bufferSize) + ", count " +
                      std::to_string(*sessionCount));
    return status;
}

ISDSC_STATUS
Machine::GetDevicesForIScsiSessionA(platform::ISCSI_UNIQUE_SESSION_ID *uniqueSessionId,
                                    ULONG *deviceCount,
                                    platform::ISCSI_DEVICE_ON_SESSIONA *devices) {
    CallRecord &call = Log("GetDevicesForIScsiSessionA");
    call.bytes["UniqueSessionId"] = BytesOf(uniqueSessionId);
    call.args["Devices"] = PointerArg(devices);
    if (deviceCount == nullptr) {
        faults_.push_back("GetDevicesForIScsiSessionA without DeviceCount");
        Publish(call, "null) -> " + Status(kStatusInvalidParameter));
        return kStatusInvalidParameter;
    }
    call.args["DeviceCount"] = *deviceCount;

    ISDSC_STATUS status = 0;
    const Session *session = FindSession(uniqueSessionId);
    if (session == nullptr) {
        status = kStatusInvalidParameter;
    } else {
        const std::vector<ULONG> &disks = session->setup.disks;
        const std::size_t count = now_ >= session->setup.devicesFrom ? disks.size() : 0;
        if (count == 0) {
            *deviceCount = 0;
        } else if (devices == nullptr || *deviceCount < count) {
            *deviceCount = static_cast<ULONG>(count);
            status = platform::kErrorInsufficientBuffer;
        } else {
            for (std::size_t i = 0; i < count; ++i) {
                platform::ISCSI_DEVICE_ON_SESSIONA record;
                std::memset(&record, 0, sizeof record);
                CopyText(record.InitiatorName, sizeof record.InitiatorName,
                         "ROOT\\ISCSIPRT\\0000_0");
                CopyText(record.TargetName, sizeof record.TargetName, session->setup.target);
                record.ScsiAddress.Length = sizeof record.ScsiAddress;
                record.ScsiAddress.Lun = static_cast<platform::UCHAR>(i);
                CopyText(record.LegacyName, sizeof record.LegacyName,
                         "\\\\.\\PhysicalDrive" + std::to_string(disks[i]));
                record.StorageDeviceNumber.DeviceType = kFileDeviceDisk;
                record.StorageDeviceNumber.DeviceNumber = disks[i];
                record.StorageDeviceNumber.PartitionNumber = 0;
                record.DeviceInstance = static_cast<platform::DWORD>(0x40 + i);
                std::memcpy(&devices[i], &record, sizeof record);
            }
            *deviceCount = static_cast<ULONG>(count);
        }
    }
    if (const auto answer = NextOverride(deviceAnswers)) {
        status = answer->status.value_or(status);
        if (answer->size) {
            *deviceCount = *answer->size;
        }
    }
    Publish(call, "count " + std::to_string(call.Arg("DeviceCount")) +
                      (devices == nullptr ? ", no array" : ", array") + ") -> " + Status(status) +
                      ", count " + std::to_string(*deviceCount));
    return status;
}

std::uint32_t Machine::InetAddr(const char *cp) {
    CallRecord &call = Log("inet_addr");
    call.strings["cp"] = cp == nullptr ? "" : cp;
    const std::uint32_t address = cp == nullptr ? INADDR_NONE : ::inet_addr(cp);
    call.args["result"] = address;
    Publish(call, Quoted(cp) + ") -> " + Hex(ntohl(address)));
    return address;
}

platform::DWORD Machine::GetLogicalDriveStringsA(platform::DWORD bufferLength, char *buffer) {
    CallRecord &call = Log("GetLogicalDriveStringsA");
    call.args["nBufferLength"] = bufferLength;
    const std::string letters = DriveLetters();
    const platform::DWORD needed = static_cast<platform::DWORD>(letters.size() * 4 + 1);
    platform::DWORD result = 0;
    if (driveListFails || buffer == nullptr) {
        result = 0;
    } else if (bufferLength < needed) {
        result = needed;
    } else {
        for (std::size_t i = 0; i < letters.size(); ++i) {
            buffer[i * 4] = letters[i];
            buffer[i * 4 + 1] = ':';
            buffer[i * 4 + 2] = '\\';
            buffer[i * 4 + 3] = '\0';
        }
        buffer[letters.size() * 4] = '\0';
        result = needed - 1;
    }
    result = driveListResult.value_or(result);
    // The letters the buffer received, so a check can tell the baseline the caller saw.
    call.strings["Letters"] = result == 0 || result >= bufferLength ? std::string() : letters;
    Publish(call, std::to_string(bufferLength) + ") -> " + std::to_string(result) + " \"" +
                      call.strings["Letters"] + "\"");
    return result;
}

platform::HANDLE Machine::CreateFileA(const char *fileName, platform::DWORD desiredAccess,
                                      platform::DWORD shareMode, void *securityAttributes,
                                      platform::DWORD creationDisposition,
                                      platform::DWORD flagsAndAttributes,
                                      platform::HANDLE templateFile) {
    CallRecord &call = Log("CreateFileA");
    call.strings["lpFileName"] = fileName == nullptr ? "" : fileName;
    call.args["dwDesiredAccess"] = desiredAccess;
    call.args["dwShareMode"] = shareMode;
    call.args["lpSecurityAttributes"] = PointerArg(securityAttributes);
    call.args["dwCreationDisposition"] = creationDisposition;
    call.args["dwFlagsAndAttributes"] = flagsAndAttributes;
    call.args["hTemplateFile"] = PointerArg(templateFile);

    platform::HANDLE handle = platform::InvalidHandle();
    char letter = 0;
    const DriveSetup *drive = VolumeLetter(fileName, letter) ? FindDrive(letter) : nullptr;
    if (drive != nullptr && drive->openable && creationDisposition == platform::kOpenExisting) {
        nextHandle_ += 4;
        openHandles_[nextHandle_] = *drive;
        // The next use of a dismounted volume mounts it again.
        dismounted_.erase(static_cast<unsigned char>(letter));
        // NOLINTNEXTLINE(performance-no-int-to-ptr): handles are numbers, as the platform's are.
        handle = reinterpret_cast<platform::HANDLE>(nextHandle_);
    } else {
        lastError_ = drive == nullptr ? kErrorFileNotFound : kErrorNotReady;
    }
    call.args["result"] = PointerArg(handle);
    Publish(call, Quoted(fileName) + ") -> " +
                      (handle == platform::InvalidHandle() ? std::string("INVALID_HANDLE_VALUE")
                                                           : Hex(PointerArg(handle))));
    return handle;
}

platform::BOOL Machine::DeviceIoControl(platform::HANDLE device, platform::DWORD ioControlCode,
                                        void *inBuffer, platform::DWORD inBufferSize,
                                        void *outBuffer, platform::DWORD outBufferSize,
                                        platform::DWORD *bytesReturned, void *overlapped) {
    CallRecord &call = Log("DeviceIoControl");
    call.args["hDevice"] = PointerArg(device);
    call.args["dwIoControlCode"] = ioControlCode;
    call.args["lpInBuffer"] = PointerArg(inBuffer);
    call.args["nInBufferSize"] = inBufferSize;
    call.args["nOutBufferSize"] = outBufferSize;
    call.args["lpBytesReturned"] = PointerArg(bytesReturned);
    call.args["lpOverlapped"] = PointerArg(overlapped);

    platform::BOOL result = 0;
    std::string answer = "FALSE";
    const auto open = openHandles_.find(reinterpret_cast<std::uintptr_t>(device));
    if (open == openHandles_.end()) {
        faults_.push_back("DeviceIoControl on a handle that is not open");
        lastError_ = kErrorInvalidHandle;
    } else if (ioControlCode == platform::kFsctlLockVolume ||
               ioControlCode == platform::kFsctlUnlockVolume ||
               ioControlCode == platform::kFsctlDismountVolume) {
        result = VolumeControl(open->first, open->second.letter, ioControlCode, answer);
    } else if (ioControlCode == platform::kIoctlVolumeGetVolumeDiskExtents &&
               open->second.answers && outBuffer != nullptr &&
               outBufferSize >= sizeof(platform::VOLUME_DISK_EXTENTS)) {
        const DriveSetup &drive = open->second;
        std::vector<ULONG> disks{drive.disk};
        disks.insert(disks.end(), drive.moreExtents.begin(), drive.moreExtents.end());
        const std::size_t extentsOffset = offsetof(platform::VOLUME_DISK_EXTENTS, Extents);
        const std::size_t fit = (outBufferSize - extentsOffset) / sizeof(platform::DISK_EXTENT);
        const std::size_t written = std::min(fit, disks.size());
        auto *out = static_cast<unsigned char *>(outBuffer);
        const platform::DWORD total = static_cast<platform::DWORD>(disks.size());
        std::memcpy(out, &total, sizeof total);
        for (std::size_t i = 0; i < written; ++i) {
            platform::DISK_EXTENT extent;
            std::memset(&extent, 0, sizeof extent);
            extent.DiskNumber = disks[i];
            extent.StartingOffset = 1048576;
            extent.ExtentLength = 1LL << 30;
            std::memcpy(out + extentsOffset + i * sizeof extent, &extent, sizeof extent);
        }
        if (bytesReturned != nullptr) {
            *bytesReturned = drive.extentsBytes.value_or(static_cast<platform::DWORD>(
                extentsOffset + written * sizeof(platform::DISK_EXTENT)));
        }
        result = written == disks.size() ? 1 : 0;
        answer = (result ? "TRUE, disk " : "FALSE (more data), disk ") + std::to_string(drive.disk);
    }
    Publish(call, Hex(PointerArg(device)) + ", " + Hex(ioControlCode) + ", " +
                      std::to_string(outBufferSize) + ") -> " + answer);
    return result;
}

platform::BOOL Machine::CloseHandle(platform::HANDLE object) {
    CallRecord &call = Log("CloseHandle");
    call.args["hObject"] = PointerArg(object);
    const auto number = reinterpret_cast<std::uintptr_t>(object);
    // A volume's lock goes with the handle that holds it.
    for (auto lock = locks_.begin(); lock != locks_.end();) {
        lock = lock->second == number ? locks_.erase(lock) : std::next(lock);
    }
    const bool open = openHandles_.erase(number) == 1 || waitables_.erase(number) == 1;
    if (!open) {
        faults_.push_back("CloseHandle on a handle that is not open");
    }
    Publish(call, Hex(PointerArg(object)) + ") -> " + (open ? "TRUE" : "FALSE"));
    return open ? 1 : 0;
}

unsigned Machine::GetDriveTypeA(const char *rootPathName) {
    CallRecord &call = Log("GetDriveTypeA");
    call.strings["lpRootPathName"] = rootPathName == nullptr ? "" : rootPathName;
    const unsigned type = DriveOfRoot(rootPathName) != nullptr ? kDriveFixed : kDriveNoRootDir;
    Publish(call, Quoted(rootPathName) + ") -> " + std::to_string(type));
    return type;
}

platform::BOOL Machine::GetVolumeInformationA(const char *rootPathName, char *volumeNameBuffer,
                                              platform::DWORD volumeNameSize,
                                              platform::DWORD *volumeSerialNumber,
                                              platform::DWORD *maximumComponentLength,
                                              platform::DWORD *fileSystemFlags,
                                              char *fileSystemNameBuffer,
                                              platform::DWORD fileSystemNameSize) {
    CallRecord &call = Log("GetVolumeInformationA");
    call.strings["lpRootPathName"] = rootPathName == nullptr ? "" : rootPathName;
    call.args["lpVolumeNameBuffer"] = PointerArg(volumeNameBuffer);
    call.args["nVolumeNameSize"] = volumeNameSize;
    call.args["lpVolumeSerialNumber"] = PointerArg(volumeSerialNumber);
    call.args["lpMaximumComponentLength"] = PointerArg(maximumComponentLength);
    call.args["lpFileSystemFlags"] = PointerArg(fileSystemFlags);
    call.args["lpFileSystemNameBuffer"] = PointerArg(fileSystemNameBuffer);
    call.args["nFileSystemNameSize"] = fileSystemNameSize;
    if (fileSystemNameBuffer != nullptr) {
        // What the buffer held on the way in.
        const auto *first = reinterpret_cast<const std::uint8_t *>(fileSystemNameBuffer);
        call.bytes["FileSystemNameBuffer"].assign(
            first, first + std::min<platform::DWORD>(fileSystemNameSize, 260));
    }
    const DriveSetup *drive = DriveOfRoot(rootPathName);
    platform::BOOL result = 0;
    if (drive != nullptr && drive->openable) {
        result = 1;
        if (volumeNameBuffer != nullptr && volumeNameSize > 0) {
            CopyText(volumeNameBuffer, volumeNameSize, "");
        }
        if (volumeSerialNumber != nullptr) {
            *volumeSerialNumber = 0x1234ABCD;
        }
        if (maximumComponentLength != nullptr) {
            *maximumComponentLength = 255;
        }
        if (fileSystemFlags != nullptr) {
            *fileSystemFlags = 0;
        }
        if (fileSystemNameBuffer != nullptr && fileSystemNameSize > 4) {
            CopyText(fileSystemNameBuffer, fileSystemNameSize, "NTFS");
        }
    }
    Publish(call, Quoted(rootPathName) + ", fs name buffer " + std::to_string(fileSystemNameSize) +
                      ") -> " + (result ? "TRUE" : "FALSE"));
    return result;
}

void Machine::Sleep(platform::DWORD milliseconds) {
    CallRecord &call = Log("Sleep");
    call.args["dwMilliseconds"] = milliseconds;
    Publish(call, std::to_string(milliseconds) + ")");
    if (realTime) {
        std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
    }
    now_ += milliseconds;
    ApplyDueEvents();
}

void Machine::OutputDebugStringA(const char *text) {
    trace_.push_back(TraceLine{now_, text == nullptr ? std::string() : std::string(text)});
    if (onTrace) {
        onTrace(trace_.back());
    }
}

} // namespace vxd::sim

namespace vxd::sim {

platform::BOOL Machine::VolumeControl(std::uintptr_t handle, char letter,
                                      platform::DWORD ioControlCode, std::string &answer) {
    const auto key = static_cast<unsigned char>(letter);
    DriveSetup *drive = drives_.count(key) == 1 ? &drives_[key] : nullptr;
    const auto lock = locks_.find(key);
    if (drive == nullptr) {
        lastError_ = kErrorNotReady;
        answer = "FALSE, the volume is gone";
        return 0;
    }
    if (ioControlCode == platform::kFsctlLockVolume) {
        if (lock != locks_.end() && lock->second != handle) {
            lastError_ = platform::kErrorAccessDenied;
            answer = "FALSE, locked through another handle";
            return 0;
        }
        if (drive->inUse && !Dismounted(letter)) {
            lastError_ = platform::kErrorAccessDenied;
            answer = "FALSE, files are open";
            return 0;
        }
        locks_[key] = handle;
        answer = "TRUE, locked";
        return 1;
    }
    if (ioControlCode == platform::kFsctlUnlockVolume) {
        if (lock == locks_.end() || lock->second != handle) {
            lastError_ = kErrorNotLocked;
            answer = "FALSE, not locked";
            return 0;
        }
        locks_.erase(lock);
        answer = "TRUE, unlocked";
        return 1;
    }
    if (drive->dismountError != 0) {
        lastError_ = drive->dismountError;
        answer = "FALSE, error " + std::to_string(drive->dismountError);
        return 0;
    }
    // Whatever was open on the volume is invalid from now on.
    dismounted_[key] = true;
    drive->inUse = false;
    answer = "TRUE, dismounted";
    return 1;
}

bool Machine::Locked(char letter) const {
    return locks_.count(static_cast<unsigned char>(letter)) == 1;
}

bool Machine::Dismounted(char letter) const {
    return dismounted_.count(static_cast<unsigned char>(letter)) == 1;
}

std::vector<std::string> Machine::SessionTargets() const {
    std::vector<std::string> targets;
    for (const Session &session : sessions_) {
        targets.push_back(session.setup.target);
    }
    return targets;
}

platform::BOOL Machine::FlushFileBuffers(platform::HANDLE file) {
    CallRecord &call = Log("FlushFileBuffers");
    call.args["hFile"] = PointerArg(file);
    const auto open = openHandles_.find(reinterpret_cast<std::uintptr_t>(file));
    platform::BOOL result = 1;
    if (open == openHandles_.end()) {
        faults_.push_back("FlushFileBuffers on a handle that is not open");
        lastError_ = kErrorInvalidHandle;
        result = 0;
    } else if (const DriveSetup *drive = FindDrive(open->second.letter);
               drive != nullptr && drive->flushError != 0) {
        lastError_ = drive->flushError;
        result = 0;
    }
    Publish(call,
            Hex(PointerArg(file)) + ") -> " +
                (result ? std::string("TRUE") : "FALSE, error " + std::to_string(lastError_)));
    return result;
}

platform::DWORD Machine::GetLastError() { return lastError_; }

platform::HANDLE Machine::CreateEvent() {
    nextHandle_ += 4;
    waitables_[nextHandle_] = kNever;
    // NOLINTNEXTLINE(performance-no-int-to-ptr): handles are numbers, as the platform's are.
    return reinterpret_cast<platform::HANDLE>(nextHandle_);
}

Machine &Machine::SignalEventAt(platform::HANDLE event, Ms at) {
    const auto found = waitables_.find(reinterpret_cast<std::uintptr_t>(event));
    if (found == waitables_.end()) {
        faults_.push_back("SignalEventAt on a handle that is no event");
    } else {
        found->second = std::min(found->second, at);
    }
    return *this;
}

Machine &Machine::CloseEventAt(platform::HANDLE event, Ms at) {
    const auto number = reinterpret_cast<std::uintptr_t>(event);
    if (waitables_.count(number) == 0) {
        faults_.push_back("CloseEventAt on a handle that is no event");
    } else {
        Schedule(at, [this, number] { waitables_.erase(number); });
    }
    return *this;
}

platform::DWORD Machine::WaitForSingleObject(platform::HANDLE handle,
                                             platform::DWORD milliseconds) {
    CallRecord &call = Log("WaitForSingleObject");
    call.args["hHandle"] = PointerArg(handle);
    call.args["dwMilliseconds"] = milliseconds;
    const auto found = waitables_.find(reinterpret_cast<std::uintptr_t>(handle));
    platform::DWORD result = platform::kWaitTimeout;
    if (found == waitables_.end()) {
        faults_.push_back("WaitForSingleObject on a handle that is no event");
        lastError_ = kErrorInvalidHandle;
        result = platform::kWaitFailed;
    } else if (found->second <= now_ + milliseconds) {
        result = platform::kWaitObject0;
    }
    Publish(call, Hex(PointerArg(handle)) + ", " + std::to_string(milliseconds) + ") -> " +
                      (result == platform::kWaitObject0  ? "WAIT_OBJECT_0"
                       : result == platform::kWaitFailed ? "WAIT_FAILED"
                                                         : "WAIT_TIMEOUT"));
    if (result == platform::kWaitFailed) {
        return result;
    }
    const Ms until =
        result == platform::kWaitObject0 ? std::max(found->second, now_) : now_ + milliseconds;
    if (realTime) {
        std::this_thread::sleep_for(std::chrono::milliseconds(until - now_));
    }
    now_ = until;
    ApplyDueEvents();
    return result;
}

ISDSC_STATUS Machine::LogoutIScsiTarget(platform::ISCSI_UNIQUE_SESSION_ID *uniqueSessionId) {
    CallRecord &call = Log("LogoutIScsiTarget");
    call.bytes["UniqueSessionId"] = BytesOf(uniqueSessionId);
    if (uniqueSessionId == nullptr) {
        faults_.push_back("LogoutIScsiTarget without a session id");
        Publish(call, "null) -> " + Status(kStatusInvalidParameter));
        return kStatusInvalidParameter;
    }
    ISDSC_STATUS status = 0;
    Session *session = FindSession(uniqueSessionId);
    std::string target;
    if (session == nullptr) {
        status = platform::kStatusInvalidSessionId;
    } else {
        target = session->setup.target;
        const auto listed = targetLogoutStatuses.find(target);
        const std::vector<ISDSC_STATUS> &statuses =
            listed == targetLogoutStatuses.end() ? logoutStatuses : listed->second;
        status = SuccessiveAnswer(statuses, logoutCalls_[target]++);
        const std::vector<ULONG> disks = session->setup.disks; // outlives the session
        const auto onSessionDisk = [&disks](const DriveSetup &drive) {
            return std::find(disks.begin(), disks.end(), drive.disk) != disks.end();
        };
        if (status == 0) {
            for (const auto &drive : drives_) {
                if (onSessionDisk(drive.second) && drive.second.inUse &&
                    !Dismounted(drive.second.letter)) {
                    status = platform::kStatusDeviceBusyOnSession;
                }
            }
        }
        if (status == 0) {
            const std::uint64_t number = session->number;
            sessions_.erase(
                std::remove_if(sessions_.begin(), sessions_.end(),
                               [number](const Session &s) { return s.number == number; }),
                sessions_.end());
            // The session's disks leave the machine, and their volumes' letters with them,
            // but for a disk that another session still brings.
            std::vector<ULONG> stillThere;
            for (const Session &other : sessions_) {
                stillThere.insert(stillThere.end(), other.setup.disks.begin(),
                                  other.setup.disks.end());
            }
            for (auto drive = drives_.begin(); drive != drives_.end();) {
                const bool leaves = onSessionDisk(drive->second) &&
                                    std::find(stillThere.begin(), stillThere.end(),
                                              drive->second.disk) == stillThere.end();
                if (leaves) {
                    locks_.erase(drive->first);
                    dismounted_.erase(drive->first);
                    drive = drives_.erase(drive);
                } else {
                    ++drive;
                }
            }
        }
    }
    Publish(call, Quoted(target.c_str()) + ") -> " + Status(status));
    return status;
}

ISDSC_STATUS
Machine::ReportIScsiPersistentLoginsA(ULONG *count,
                                      platform::PERSISTENT_ISCSI_LOGIN_INFOA *persistentLoginInfo,
                                      ULONG *bufferSizeInBytes) {
    CallRecord &call = Log("ReportIScsiPersistentLoginsA");
    if (count == nullptr || bufferSizeInBytes == nullptr) {
        faults_.push_back("ReportIScsiPersistentLoginsA without Count or BufferSizeInBytes");
        Publish(call, "null) -> " + Status(kStatusInvalidParameter));
        return kStatusInvalidParameter;
    }
    call.args["BufferSizeInBytes"] = *bufferSizeInBytes;
    ISDSC_STATUS status = reportPersistentStatus
                              ? *reportPersistentStatus
                              : ReportPersistentLogins(persistentLogins, count, persistentLoginInfo,
                                                       bufferSizeInBytes);
    if (const auto answer = NextOverride(persistentLoginAnswers)) {
        status = answer->status.value_or(status);
        if (answer->size) {
            *bufferSizeInBytes = *answer->size;
        }
        if (answer->count) {
            *count = *answer->count;
        }
    }
    Publish(call, "size " + std::to_string(call.Arg("BufferSizeInBytes")) + ") -> " +
                      Status(status) + ", count " + std::to_string(*count));
    return status;
}

ISDSC_STATUS Machine::RemoveIScsiPersistentTargetA(char *initiatorInstance,
                                                   ULONG initiatorPortNumber, char *targetName,
                                                   platform::ISCSI_TARGET_PORTALA *portal) {
    CallRecord &call = Log("RemoveIScsiPersistentTargetA");
    call.strings["TargetName"] = targetName == nullptr ? "" : targetName;
    call.strings["InitiatorInstance"] = initiatorInstance == nullptr ? "" : initiatorInstance;
    call.args["InitiatorPortNumber"] = initiatorPortNumber;
    call.args["Portal"] = PointerArg(portal);
    ISDSC_STATUS status = 0;
    if (targetName == nullptr) {
        faults_.push_back("RemoveIScsiPersistentTargetA without a target name");
        status = kStatusInvalidParameter;
    } else if (removePersistentStatus) {
        status = *removePersistentStatus;
    } else {
        status = RemovePersistentLogins(persistentLogins, initiatorInstance, initiatorPortNumber,
                                        targetName, portal);
    }
    Publish(call, Quoted(targetName) + ") -> " + Status(status));
    return status;
}

ISDSC_STATUS Machine::RemoveIScsiSendTargetPortalA(char *initiatorInstance,
                                                   ULONG initiatorPortNumber,
                                                   platform::ISCSI_TARGET_PORTALA *portal) {
    CallRecord &call = Log("RemoveIScsiSendTargetPortalA");
    call.args["InitiatorInstance"] = PointerArg(initiatorInstance);
    call.args["InitiatorPortNumber"] = initiatorPortNumber;
    call.bytes["Portal"] = BytesOf(portal);
    ISDSC_STATUS status = 0;
    std::string address;
    if (portal == nullptr) {
        faults_.push_back("RemoveIScsiSendTargetPortalA without a portal");
        status = kStatusInvalidParameter;
    } else {
        address = AddressOf(*portal);
        call.strings["Address"] = address;
        call.args["Socket"] = portal->Socket;
        status = removePortalStatus ? *removePortalStatus : UnregisterPortal(portals, *portal);
    }
    Publish(call, "\"" + address + "\", socket " + std::to_string(call.Arg("Socket")) + ") -> " +
                      Status(status));
    return status;
}

ISDSC_STATUS Machine::SetIScsiInitiatorCHAPSharedSecret(ULONG sharedSecretLength,
                                                        platform::UCHAR *sharedSecret) {
    CallRecord &call = Log("SetIScsiInitiatorCHAPSharedSecret");
    // The secret's length only: the call log is no place for a secret.
    call.args["SharedSecretLength"] = sharedSecretLength;
    call.args["SharedSecret"] = PointerArg(sharedSecret);
    ISDSC_STATUS status = chapSecretStatus;
    if (sharedSecret == nullptr && sharedSecretLength != 0) {
        faults_.push_back("SetIScsiInitiatorCHAPSharedSecret without the secret's bytes");
        status = kStatusInvalidParameter;
    } else if (status == 0 || status == platform::kStatusShortChapSecret) {
        initiatorSecret.assign(sharedSecret, sharedSecret + sharedSecretLength);
    }
    Publish(call, std::to_string(sharedSecretLength) + " bytes) -> " + Status(status));
    return status;
}

} // namespace vxd::sim

namespace vxd::sim {

platform::HANDLE Machine::GetProcessHeap() {
    // NOLINTNEXTLINE(performance-no-int-to-ptr): handles are numbers, as the platform's are.
    return reinterpret_cast<platform::HANDLE>(kProcessHeap);
}

void *Machine::HeapAlloc(platform::HANDLE heap, platform::DWORD flags, std::size_t bytes) {
    CallRecord &call = Log("HeapAlloc");
    call.args["dwFlags"] = flags;
    call.args["dwBytes"] = bytes;
    void *block = nullptr;
    const bool full = heapBlocksBeforeRefusal && heapBlocksGiven_ >= *heapBlocksBeforeRefusal;
    if (reinterpret_cast<std::uintptr_t>(heap) != kProcessHeap) {
        faults_.push_back("HeapAlloc on a heap that is not the process's");
    } else if (!full) {
        block = (flags & kHeapZeroMemory) != 0 ? std::calloc(bytes == 0 ? 1 : bytes, 1)
                                               : std::malloc(bytes == 0 ? 1 : bytes);
        if (block != nullptr) {
            heapBlocks_[block] = bytes;
            ++heapBlocksGiven_;
        }
    }
    Publish(call, std::to_string(bytes) + " bytes) -> " + (block == nullptr ? "null" : "a block"));
    return block;
}

platform::BOOL Machine::HeapFree(platform::HANDLE heap, platform::DWORD flags, void *block) {
    CallRecord &call = Log("HeapFree");
    call.args["dwFlags"] = flags;
    const auto found = heapBlocks_.find(block);
    platform::BOOL result = 0;
    if (reinterpret_cast<std::uintptr_t>(heap) != kProcessHeap || found == heapBlocks_.end()) {
        faults_.push_back("HeapFree of a block that the process heap did not give");
    } else {
        // What the block holds at the moment it goes back: what a later reader of the heap
        // could find.
        const auto *first = static_cast<const std::uint8_t *>(block);
        freedBlocks_.emplace_back(first, first + found->second);
        heapBlocks_.erase(found);
        std::free(block);
        result = 1;
    }
    Publish(call, std::to_string(call.Arg("dwFlags")) + ") -> " + (result ? "TRUE" : "FALSE"));
    return result;
}

} // namespace vxd::sim
