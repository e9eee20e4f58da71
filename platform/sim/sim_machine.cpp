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

Machine::~Machine() { current = previous_; }

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
    const ISDSC_STATUS status = listed == portalStatuses.end() ? portalStatus : listed->second;
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
    std::size_t &earlierLogins = loginCalls_[target];
    ISDSC_STATUS status = 0;
    if (!statuses.empty()) {
        status = statuses[std::min(earlierLogins, statuses.size() - 1)];
    }
    ++earlierLogins;
    if (targetName == nullptr) {
        faults_.push_back("LoginIScsiTargetA without a target name");
        status = kStatusInvalidParameter;
    }
    if (status == 0 && onLogin.createsSession) {
        SessionSetup session;
        session.target = targetName;
        session.disks = onLogin.disks;
        session.devicesFrom = now_ + onLogin.devicesAfterMs;
        AddSessionNow(session);
        if (uniqueSessionId != nullptr) {
            *uniqueSessionId = sessions_.back().id;
        }
        if (uniqueConnectionId != nullptr) {
            uniqueConnectionId->AdapterUnique = sessions_.back().id.AdapterUnique;
            uniqueConnectionId->AdapterSpecific = 1;
        }
        for (const LoginEffect::DelayedDrive &delayed : onLogin.drives) {
            AddDriveAt(now_ + delayed.afterMs, delayed.drive);
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

    // Records first, then the target-name strings they point to.
    std::size_t needed = sessions_.size() * sizeof(platform::ISCSI_SESSION_INFOA);
    for (const Session &session : sessions_) {
        if (!session.setup.nullTargetName) {
            needed += session.setup.target.size() + 1;
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
        // NOLINTNEXTLINE(performance-no-int-to-ptr): handles are numbers, as the platform's are.
        handle = reinterpret_cast<platform::HANDLE>(nextHandle_);
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
    const bool open = openHandles_.erase(reinterpret_cast<std::uintptr_t>(object)) == 1;
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
