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
constexpr platform::DWORD kErrorNoMoreFiles = 18;
constexpr platform::DWORD kErrorFilenameExcedRange = 206;
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

// The keys of volumes without a letter: past every letter, so the drive list never shows them.
constexpr unsigned char kFirstUnletteredKey = 0x80;

// Any printable character plays a letter, so that a test can list more than 26 drives.
bool IsLetter(char c) { return c > ' ' && static_cast<unsigned char>(c) < kFirstUnletteredKey; }

std::string MadeVolumeName(unsigned char key) {
    char name[64];
    // NOLINTNEXTLINE(cert-err33-c): 64 bytes hold the name.
    std::snprintf(name, sizeof name, "\\\\?\\Volume{5d1c0000-0000-4000-8000-0000000000%02x}\\",
                  static_cast<unsigned>(key));
    return name;
}

// A disk's identity as its layout shows it: equal ids give equal signatures and disk IDs.
std::uint32_t IdHash(const std::string &id) {
    std::uint32_t hash = 2166136261u;
    for (const char c : id) {
        hash = (hash ^ static_cast<unsigned char>(c)) * 16777619u;
    }
    return hash | 1u;
}

std::string WithBackslash(const char *path) {
    std::string text = path == nullptr ? std::string() : std::string(path);
    if (!text.empty() && text.back() != '\\') {
        text.push_back('\\');
    }
    return text;
}

constexpr platform::DWORD kErrorAlreadyExists = 183;

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
    DriveSetup copy = drive;
    // The same volume under a new letter, or without one, is the same volume: it moves.
    if (!copy.volume.empty()) {
        for (auto found = drives_.begin(); found != drives_.end(); ++found) {
            if (found->second.volume == copy.volume) {
                drives_.erase(found);
                break;
            }
        }
    }
    const unsigned char key =
        IsLetter(copy.letter) ? static_cast<unsigned char>(copy.letter) : FreeKey();
    copy.letter = static_cast<char>(key);
    if (copy.volume.empty()) {
        copy.volume = MadeVolumeName(key);
    }
    drives_[key] = copy;
    return *this;
}

unsigned char Machine::FreeKey() const {
    unsigned char key = kFirstUnletteredKey;
    while (drives_.count(key) == 1 && key < 0xFF) {
        ++key;
    }
    return key;
}

std::string Machine::VolumeOf(char letter) const {
    const DriveSetup *drive = FindDrive(letter);
    return drive == nullptr ? std::string() : drive->volume;
}

const DriveSetup *Machine::FindVolume(const std::string &name) const {
    for (const auto &drive : drives_) {
        if (drive.second.volume == name) {
            return &drive.second;
        }
    }
    return nullptr;
}

bool Machine::DiskOffline(ULONG disk) { return DiskState(disk).offline; }
bool Machine::DiskReadOnly(ULONG disk) { return DiskState(disk).readOnly; }

Machine::DiskNow &Machine::DiskState(ULONG disk, bool broughtByLogin) {
    const auto known = diskStates_.find(disk);
    if (known != diskStates_.end()) {
        return known->second;
    }
    const auto listed = disks.find(disk);
    const DiskSetup setup = listed == disks.end() ? DiskSetup{} : listed->second;
    const bool policyOffline = broughtByLogin && sanPolicy != SanPolicy::kOnlineAll;
    DiskNow state;
    state.offline = setup.offline.value_or(policyOffline);
    state.readOnly = setup.readOnly.value_or(policyOffline);
    state.layout = setup.layout;
    state.id = setup.id.empty() ? "disk " + std::to_string(disk) : setup.id;
    DiskNow &stored = diskStates_[disk] = state;
    // A clone of a disk that is there already arrives offline, and stays so.
    if (Collides(disk)) {
        stored.offline = true;
    }
    return stored;
}

bool Machine::DiskPresent(ULONG disk) const {
    for (const auto &drive : drives_) {
        if (drive.second.disk == disk) {
            return true;
        }
    }
    for (const Session &session : sessions_) {
        const std::vector<ULONG> &own = session.setup.disks;
        if (std::find(own.begin(), own.end(), disk) != own.end()) {
            return true;
        }
    }
    if (disks.count(disk) == 0) {
        return false;
    }
    // A listed disk that a login brings is there only with its session.
    const auto brings = [disk](const LoginEffect &effect) {
        return std::find(effect.disks.begin(), effect.disks.end(), disk) != effect.disks.end();
    };
    return !brings(onLogin) &&
           std::none_of(targetOnLogin.begin(), targetOnLogin.end(),
                        [&brings](const auto &own) { return brings(own.second); });
}

bool Machine::Collides(ULONG disk) {
    const std::string id = diskStates_.at(disk).id;
    for (const auto &other : diskStates_) {
        if (other.first != disk && other.second.id == id && DiskPresent(other.first)) {
            return true;
        }
    }
    // Present disks that nothing has asked about yet.
    for (const auto &listed : disks) {
        if (listed.first != disk && listed.second.id == id &&
            diskStates_.count(listed.first) == 0 && DiskPresent(listed.first)) {
            return true;
        }
    }
    return false;
}

void Machine::ArriveVolume(const DriveSetup &drive, std::uint64_t session) {
    if (std::none_of(sessions_.begin(), sessions_.end(),
                     [session](const Session &s) { return s.number == session; })) {
        return;
    }
    if (DiskState(drive.disk).offline) {
        waitingVolumes_.emplace_back(drive, session);
        return;
    }
    DriveSetup arriving = drive;
    if (!IsLetter(arriving.letter) && automount) {
        const std::string used = DriveLetters();
        for (char letter = 'D'; letter <= 'Z'; ++letter) {
            if (used.find(letter) == std::string::npos) {
                arriving.letter = letter;
                break;
            }
        }
    }
    AddDrive(arriving);
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

Machine &Machine::AddSessionAt(Ms at, const SessionSetup &session) {
    Schedule(at, [this, session] { AddSessionNow(session); });
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
        if (IsLetter(static_cast<char>(drive.first))) {
            letters.push_back(static_cast<char>(drive.first));
        }
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

// A disk number that no drive, session or disk state uses.
ULONG Machine::NextFreeDisk() const {
    ULONG next = 0;
    for (const auto &drive : drives_) {
        next = std::max(next, drive.second.disk + 1);
    }
    for (const Session &session : sessions_) {
        for (const ULONG disk : session.setup.disks) {
            next = std::max(next, disk + 1);
        }
    }
    for (const auto &state : diskStates_) {
        next = std::max(next, state.first + 1);
    }
    return next;
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
    call.strings["InitiatorInstance"] = initiatorInstance == nullptr ? "" : initiatorInstance;
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
    if (const ISDSC_STATUS unknown = InitiatorStatus(initiatorInstance); unknown != 0) {
        status = unknown;
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
    call.strings["InitiatorInstance"] = initiatorInstance == nullptr ? "" : initiatorInstance;
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
    if (const ISDSC_STATUS unknown = InitiatorStatus(initiatorInstance); unknown != 0) {
        status = unknown;
    }
    if (targetName == nullptr) {
        faults_.push_back("LoginIScsiTargetA without a target name");
        status = kStatusInvalidParameter;
    }
    const auto own = targetOnLogin.find(target);
    const LoginEffect &effect = own == targetOnLogin.end() ? onLogin : own->second;
    const std::string through = targetPortal == nullptr ? std::string() : AddressOf(*targetPortal);
    call.strings["TargetPortal"] = through;
    if (const auto path = portalLoginStatuses.find(through);
        status == 0 && path != portalLoginStatuses.end()) {
        status = path->second;
    }
    const bool otherPath = std::any_of(sessions_.begin(), sessions_.end(), [&](const Session &s) {
        return SameNameIgnoringCase(s.setup.target, target);
    });
    const bool multipath =
        loginOptions != nullptr &&
        (loginOptions->LoginFlags & platform::ISCSI_LOGIN_FLAG_MULTIPATH_ENABLED) != 0;
    if (status == 0 && otherPath && !multipath && targetName != nullptr) {
        status = platform::kStatusTargetAlreadyLoggedIn;
    }
    if (status == 0 && effect.createsSession) {
        SessionSetup session;
        session.target = targetName;
        session.disks = effect.disks;
        session.luns = effect.luns;
        session.devicesFrom = now_ + effect.devicesAfterMs;
        session.portal = through;
        session.portalSocket = targetPortal == nullptr ? 0 : targetPortal->Socket;
        if (otherPath && !mpio) {
            for (ULONG &disk : session.disks) {
                disk = NextFreeDisk();
                DiskState(disk, true).offline = true;
            }
        }
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
        for (const ULONG disk : effect.disks) {
            DiskState(disk, true);
        }
        // Another path brings no volumes of its own: they are the first path's.
        for (const LoginEffect::DelayedDrive &delayed :
             otherPath ? std::vector<LoginEffect::DelayedDrive>() : effect.drives) {
            const DriveSetup drive = delayed.drive;
            Schedule(now_ + delayed.afterMs,
                     [this, number, drive] { ArriveVolume(drive, number); });
        }
        if (isPersistent != 0) {
            persistentLogins.push_back(PersistentLoginOf(
                targetName, initiatorInstance, initiatorPortNumber, targetPortal, loginOptions));
        }
    }
    call.args["result"] = status;
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
    std::size_t connections = 0;
    for (const Session &session : sessions_) {
        if (!session.setup.portal.empty()) {
            ++connections;
            needed += sizeof(platform::ISCSI_CONNECTION_INFOA) + session.setup.portal.size() + 1;
        }
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
        // The records, then each path's connection record, then the strings.
        unsigned char *connection = base + sessions_.size() * sizeof(platform::ISCSI_SESSION_INFOA);
        char *strings = reinterpret_cast<char *>(
            connection + connections * sizeof(platform::ISCSI_CONNECTION_INFOA));
        for (std::size_t i = 0; i < sessions_.size(); ++i) {
            platform::ISCSI_SESSION_INFOA record;
            std::memset(&record, 0, sizeof record);
            record.SessionId = sessions_[i].id;
            record.ConnectionCount = 0;
            if (const std::string &portal = sessions_[i].setup.portal; !portal.empty()) {
                platform::ISCSI_CONNECTION_INFOA path;
                std::memset(&path, 0, sizeof path);
                path.ConnectionId = sessions_[i].id;
                std::memcpy(strings, portal.c_str(), portal.size() + 1);
                path.TargetAddress = strings;
                path.TargetSocket = sessions_[i].setup.portalSocket;
                strings += portal.size() + 1;
                std::memcpy(connection, &path, sizeof path);
                record.ConnectionCount = 1;
                record.Connections =
                    reinterpret_cast<platform::ISCSI_CONNECTION_INFOA *>(connection);
                connection += sizeof path;
            }
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
                const std::vector<ULONG> &luns = session->setup.luns;
                record.ScsiAddress.Lun =
                    static_cast<platform::UCHAR>(i < luns.size() ? luns[i] : i);
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
    const std::string name = fileName == nullptr ? std::string() : std::string(fileName);
    const std::string diskPrefix = "\\\\.\\PhysicalDrive";
    if (drive == nullptr && name.rfind("\\\\?\\Volume{", 0) == 0 && name.back() != '\\') {
        drive = FindVolume(name + "\\");
        letter = drive == nullptr ? '\0' : drive->letter;
    }
    if (name.rfind(diskPrefix, 0) == 0 && name.size() > diskPrefix.size() &&
        name.find_first_not_of("0123456789", diskPrefix.size()) == std::string::npos &&
        name.size() - diskPrefix.size() <= 9) {
        const auto disk = static_cast<ULONG>(std::stoul(name.substr(diskPrefix.size())));
        if (DiskPresent(disk) && creationDisposition == platform::kOpenExisting) {
            nextHandle_ += 4;
            diskHandles_[nextHandle_] = disk;
            // NOLINTNEXTLINE(performance-no-int-to-ptr): handles are numbers, as the platform's.
            handle = reinterpret_cast<platform::HANDLE>(nextHandle_);
        } else {
            lastError_ = kErrorFileNotFound;
        }
    } else if (drive != nullptr && drive->openable &&
               creationDisposition == platform::kOpenExisting) {
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
    const auto disk = diskHandles_.find(reinterpret_cast<std::uintptr_t>(device));
    if (disk != diskHandles_.end()) {
        if (inBuffer != nullptr) {
            const auto *first = static_cast<const std::uint8_t *>(inBuffer);
            call.bytes["InBuffer"].assign(first, first + inBufferSize);
        }
        result = DiskControl(disk->second, ioControlCode, inBuffer, inBufferSize, outBuffer,
                             outBufferSize, bytesReturned, answer);
    } else if (open == openHandles_.end()) {
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
    const bool open = openHandles_.erase(number) == 1 || waitables_.erase(number) == 1 ||
                      diskHandles_.erase(number) == 1;
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

namespace vxd::sim {

platform::BOOL Machine::DiskControl(ULONG disk, platform::DWORD ioControlCode, void *inBuffer,
                                    platform::DWORD inBufferSize, void *outBuffer,
                                    platform::DWORD outBufferSize, platform::DWORD *bytesReturned,
                                    std::string &answer) {
    const bool known = ioControlCode == platform::kIoctlDiskGetDiskAttributes ||
                       ioControlCode == platform::kIoctlDiskSetDiskAttributes ||
                       ioControlCode == platform::kIoctlDiskUpdateProperties ||
                       ioControlCode == platform::kIoctlDiskGetDriveLayoutEx;
    if (!known || !diskAttributesAnswered) {
        lastError_ = platform::kErrorNotSupported;
        answer = "FALSE, error 50";
        return 0;
    }
    DiskNow &state = DiskState(disk);
    if (ioControlCode == platform::kIoctlDiskGetDiskAttributes) {
        if (outBuffer == nullptr || outBufferSize < sizeof(platform::GET_DISK_ATTRIBUTES)) {
            faults_.push_back("IOCTL_DISK_GET_DISK_ATTRIBUTES without room for its record");
            lastError_ = platform::kErrorInsufficientBuffer;
            return 0;
        }
        platform::GET_DISK_ATTRIBUTES record;
        record.Version = sizeof record;
        record.Reserved1 = 0;
        record.Attributes = (state.offline ? platform::kDiskAttributeOffline : 0) |
                            (state.readOnly ? platform::kDiskAttributeReadOnly : 0);
        std::memcpy(outBuffer, &record, sizeof record);
        if (bytesReturned != nullptr) {
            *bytesReturned = sizeof record;
        }
        answer = std::string("TRUE, ") + (state.offline ? "offline" : "online") +
                 (state.readOnly ? ", read-only" : "");
        return 1;
    }
    if (ioControlCode == platform::kIoctlDiskSetDiskAttributes && diskSetError) {
        lastError_ = *diskSetError;
        answer = "FALSE, error " + std::to_string(*diskSetError);
        return 0;
    }
    if (ioControlCode == platform::kIoctlDiskSetDiskAttributes) {
        platform::SET_DISK_ATTRIBUTES record;
        if (inBuffer == nullptr || inBufferSize != sizeof record) {
            faults_.push_back("IOCTL_DISK_SET_DISK_ATTRIBUTES without its 40-byte record");
            lastError_ = platform::kErrorInvalidParameter;
            return 0;
        }
        std::memcpy(&record, inBuffer, sizeof record);
        if (record.Version != sizeof record) {
            faults_.push_back("IOCTL_DISK_SET_DISK_ATTRIBUTES with a wrong Version");
            lastError_ = platform::kErrorInvalidParameter;
            return 0;
        }
        const bool wasOffline = state.offline;
        if ((record.AttributesMask & platform::kDiskAttributeReadOnly) != 0) {
            state.readOnly = (record.Attributes & platform::kDiskAttributeReadOnly) != 0;
        }
        if ((record.AttributesMask & platform::kDiskAttributeOffline) != 0) {
            // A clone stays offline: clearing the attribute does not help it.
            state.offline =
                (record.Attributes & platform::kDiskAttributeOffline) != 0 || Collides(disk);
        }
        if (wasOffline && !state.offline) {
            ShowWaitingVolumes(disk);
        }
        answer = std::string("TRUE, now ") + (state.offline ? "offline" : "online") +
                 (state.readOnly ? ", read-only" : "");
        return 1;
    }
    if (ioControlCode == platform::kIoctlDiskUpdateProperties) {
        answer = "TRUE";
        return 1;
    }
    const std::size_t header = offsetof(platform::DRIVE_LAYOUT_INFORMATION_EX, PartitionEntry);
    const bool raw = state.layout == "raw";
    const std::size_t needed = header + (raw ? 0 : sizeof(platform::PARTITION_INFORMATION_EX));
    if (outBuffer == nullptr || outBufferSize < needed) {
        lastError_ = platform::kErrorInsufficientBuffer;
        answer = "FALSE, error 122";
        return 0;
    }
    platform::DRIVE_LAYOUT_INFORMATION_EX layout;
    std::memset(&layout, 0, sizeof layout);
    const bool gpt = state.layout == "gpt";
    layout.PartitionStyle = raw   ? platform::kPartitionStyleRaw
                            : gpt ? platform::kPartitionStyleGpt
                                  : platform::kPartitionStyleMbr;
    layout.PartitionCount = raw ? 0 : (gpt ? 1 : 4);
    if (gpt) {
        layout.Gpt.DiskId.Data1 = IdHash(state.id);
        layout.Gpt.DiskId.Data2 = 0x1D15;
        layout.Gpt.DiskId.Data3 = 0x4000;
        layout.Gpt.MaxPartitionCount = 128;
    } else if (!raw) {
        layout.Mbr.Signature = IdHash(state.id);
    }
    platform::PARTITION_INFORMATION_EX &entry = layout.PartitionEntry[0];
    entry.PartitionStyle = layout.PartitionStyle;
    entry.StartingOffset = 1048576;
    entry.PartitionLength = raw ? 0 : (1LL << 30);
    entry.PartitionNumber = 1;
    if (gpt) {
        entry.Gpt.PartitionType = platform::kGptBasicDataPartition;
    } else if (!raw) {
        entry.Mbr.PartitionType = 0x07;
        entry.Mbr.RecognizedPartition = 1;
    }
    // The MBR's three other entries are unused: zero, as Windows lists them. Only the first
    // entry fits the record; the others are written as zeros.
    auto *out = static_cast<unsigned char *>(outBuffer);
    const std::size_t written =
        header + (raw ? 0
                      : std::min<std::size_t>(layout.PartitionCount,
                                              (outBufferSize - header) /
                                                  sizeof(platform::PARTITION_INFORMATION_EX)) *
                            sizeof(platform::PARTITION_INFORMATION_EX));
    std::memset(out, 0, written);
    std::memcpy(out, &layout, std::min(sizeof layout, written));
    if (bytesReturned != nullptr) {
        *bytesReturned = static_cast<platform::DWORD>(written);
    }
    answer = "TRUE, " + state.layout;
    return 1;
}

void Machine::ShowWaitingVolumes(ULONG disk) {
    std::vector<std::pair<DriveSetup, std::uint64_t>> waiting;
    waiting.swap(waitingVolumes_);
    for (const auto &volume : waiting) {
        if (volume.first.disk != disk) {
            waitingVolumes_.push_back(volume);
            continue;
        }
        const DriveSetup drive = volume.first;
        const std::uint64_t session = volume.second;
        Schedule(now_ + onlineVolumesAfterMs,
                 [this, drive, session] { ArriveVolume(drive, session); });
    }
}

Machine &Machine::BringDiskOnlineAt(Ms at, ULONG disk) {
    Schedule(at, [this, disk] {
        DiskNow &state = DiskState(disk);
        if (state.offline) {
            state.offline = false;
            ShowWaitingVolumes(disk);
        }
    });
    return *this;
}

platform::HANDLE Machine::FindFirstVolumeA(char *volumeName, platform::DWORD bufferLength) {
    CallRecord &call = Log("FindFirstVolumeA");
    call.args["cchBufferLength"] = bufferLength;
    VolumeSearch search;
    for (const auto &drive : drives_) {
        if (drive.second.openable && drive.second.listed) {
            search.names.push_back(drive.second.volume);
        }
    }
    platform::HANDLE handle = platform::InvalidHandle();
    if (search.names.empty()) {
        lastError_ = kErrorNoMoreFiles;
    } else if (volumeName == nullptr || bufferLength <= search.names[0].size()) {
        lastError_ = kErrorFilenameExcedRange;
    } else {
        CopyText(volumeName, bufferLength, search.names[0]);
        search.next = 1;
        nextHandle_ += 4;
        volumeSearches_[nextHandle_] = search;
        // NOLINTNEXTLINE(performance-no-int-to-ptr): handles are numbers, as the platform's are.
        handle = reinterpret_cast<platform::HANDLE>(nextHandle_);
    }
    Publish(call, std::to_string(bufferLength) + ") -> " +
                      (handle == platform::InvalidHandle() ? std::string("INVALID_HANDLE_VALUE")
                                                           : Quoted(volumeName)));
    return handle;
}

platform::BOOL Machine::FindNextVolumeA(platform::HANDLE find, char *volumeName,
                                        platform::DWORD bufferLength) {
    CallRecord &call = Log("FindNextVolumeA");
    const auto search = volumeSearches_.find(reinterpret_cast<std::uintptr_t>(find));
    platform::BOOL result = 0;
    if (search == volumeSearches_.end()) {
        faults_.push_back("FindNextVolumeA on a handle that is no volume search");
        lastError_ = kErrorInvalidHandle;
    } else if (search->second.next >= search->second.names.size()) {
        lastError_ = kErrorNoMoreFiles;
    } else if (volumeName == nullptr ||
               bufferLength <= search->second.names[search->second.next].size()) {
        lastError_ = kErrorFilenameExcedRange;
    } else {
        CopyText(volumeName, bufferLength, search->second.names[search->second.next++]);
        result = 1;
    }
    Publish(call, std::to_string(bufferLength) + ") -> " +
                      (result ? Quoted(volumeName) : "FALSE, error " + std::to_string(lastError_)));
    return result;
}

platform::BOOL Machine::FindVolumeClose(platform::HANDLE find) {
    CallRecord &call = Log("FindVolumeClose");
    const bool open = volumeSearches_.erase(reinterpret_cast<std::uintptr_t>(find)) == 1;
    if (!open) {
        faults_.push_back("FindVolumeClose on a handle that is no volume search");
    }
    Publish(call, Hex(PointerArg(find)) + ") -> " + (open ? "TRUE" : "FALSE"));
    return open ? 1 : 0;
}

platform::BOOL Machine::GetVolumePathNamesForVolumeNameA(const char *volumeName, char *pathNames,
                                                         platform::DWORD bufferLength,
                                                         platform::DWORD *returnLength) {
    CallRecord &call = Log("GetVolumePathNamesForVolumeNameA");
    call.strings["lpszVolumeName"] = volumeName == nullptr ? "" : volumeName;
    const DriveSetup *drive = volumeName == nullptr ? nullptr : FindVolume(volumeName);
    std::string list;
    if (drive != nullptr) {
        if (IsLetter(drive->letter)) {
            list += std::string(1, drive->letter) + ":\\" + std::string(1, '\0');
        }
        for (const std::string &folder : drive->folders) {
            list += folder + std::string(1, '\0');
        }
        list.push_back('\0');
    }
    platform::BOOL result = 0;
    if (drive == nullptr) {
        lastError_ = kErrorFileNotFound;
    } else if (pathNames == nullptr || bufferLength < list.size()) {
        lastError_ = platform::kErrorMoreData;
    } else {
        std::copy(list.begin(), list.end(), pathNames);
        result = 1;
    }
    if (returnLength != nullptr) {
        *returnLength = static_cast<platform::DWORD>(list.size());
    }
    Publish(call, Quoted(volumeName) + ") -> " +
                      (result ? "TRUE" : "FALSE, error " + std::to_string(lastError_)));
    return result;
}

platform::BOOL Machine::GetVolumeNameForVolumeMountPointA(const char *mountPoint, char *volumeName,
                                                          platform::DWORD bufferLength) {
    CallRecord &call = Log("GetVolumeNameForVolumeMountPointA");
    call.strings["lpszVolumeMountPoint"] = mountPoint == nullptr ? "" : mountPoint;
    const DriveSetup *drive = DriveOfRoot(mountPoint);
    platform::BOOL result = 0;
    if (drive == nullptr || !drive->openable) {
        lastError_ = kErrorFileNotFound;
    } else if (volumeName == nullptr || bufferLength <= drive->volume.size()) {
        lastError_ = kErrorFilenameExcedRange;
    } else {
        CopyText(volumeName, bufferLength, drive->volume);
        result = 1;
    }
    Publish(call, Quoted(mountPoint) + ") -> " +
                      (result ? Quoted(volumeName) : "FALSE, error " + std::to_string(lastError_)));
    return result;
}

platform::BOOL Machine::SetVolumeMountPointA(const char *mountPoint, const char *volumeName) {
    CallRecord &call = Log("SetVolumeMountPointA");
    call.strings["lpszVolumeMountPoint"] = mountPoint == nullptr ? "" : mountPoint;
    call.strings["lpszVolumeName"] = volumeName == nullptr ? "" : volumeName;
    const std::string point = mountPoint == nullptr ? std::string() : mountPoint;
    const DriveSetup *drive = volumeName == nullptr ? nullptr : FindVolume(volumeName);
    platform::DWORD error = 0;
    if (point.empty() || point.back() != '\\' || drive == nullptr) {
        faults_.push_back("SetVolumeMountPointA without a path and a volume, each ending in \\");
        error = platform::kErrorInvalidParameter;
    } else if (mountPointError) {
        error = *mountPointError;
    } else if (point.size() == 3 && point[1] == ':') {
        if (!IsLetter(point[0]) || FindDrive(point[0]) != nullptr || IsLetter(drive->letter)) {
            error = kErrorAlreadyExists;
        } else {
            DriveSetup moved = *drive;
            moved.letter = point[0];
            AddDrive(moved);
        }
    } else if (folders.count(point) == 0) {
        error = platform::kErrorPathNotFound;
    } else if (!folders[point]) {
        error = platform::kErrorDirNotEmpty;
    } else {
        drives_[static_cast<unsigned char>(drive->letter)].folders.push_back(point);
        folders[point] = false;
    }
    lastError_ = error == 0 ? lastError_ : error;
    Publish(call, Quoted(mountPoint) + ", " + Quoted(volumeName) + ") -> " +
                      (error == 0 ? std::string("TRUE") : "FALSE, error " + std::to_string(error)));
    return error == 0 ? 1 : 0;
}

platform::BOOL Machine::DeleteVolumeMountPointA(const char *mountPoint) {
    CallRecord &call = Log("DeleteVolumeMountPointA");
    call.strings["lpszVolumeMountPoint"] = mountPoint == nullptr ? "" : mountPoint;
    const std::string point = mountPoint == nullptr ? std::string() : mountPoint;
    platform::DWORD error = 0;
    DriveSetup *holder = nullptr;
    for (auto &drive : drives_) {
        const std::vector<std::string> &own = drive.second.folders;
        if (std::find(own.begin(), own.end(), point) != own.end()) {
            holder = &drive.second;
        }
    }
    const DriveSetup *lettered = DriveOfRoot(mountPoint);
    if (deleteMountPointError) {
        error = *deleteMountPointError;
    } else if (lettered != nullptr) {
        DriveSetup moved = *lettered;
        drives_.erase(static_cast<unsigned char>(lettered->letter));
        moved.letter = '\0';
        AddDrive(moved);
    } else if (holder != nullptr) {
        std::vector<std::string> &own = holder->folders;
        own.erase(std::remove(own.begin(), own.end(), point), own.end());
        folders[point] = true;
    } else {
        error = kErrorFileNotFound;
    }
    lastError_ = error == 0 ? lastError_ : error;
    Publish(call, Quoted(mountPoint) + ") -> " +
                      (error == 0 ? std::string("TRUE") : "FALSE, error " + std::to_string(error)));
    return error == 0 ? 1 : 0;
}

platform::DWORD Machine::GetFileAttributesA(const char *fileName) {
    CallRecord &call = Log("GetFileAttributesA");
    call.strings["lpFileName"] = fileName == nullptr ? "" : fileName;
    const std::string path = WithBackslash(fileName);
    platform::DWORD result = platform::kInvalidFileAttributes;
    if (folders.count(path) == 1 || DriveOfRoot(path.c_str()) != nullptr) {
        result = platform::kFileAttributeDirectory;
    } else {
        lastError_ = platform::kErrorPathNotFound;
    }
    Publish(call, Quoted(fileName) + ") -> " + Hex(result));
    return result;
}

} // namespace vxd::sim

namespace vxd::sim {

ISDSC_STATUS Machine::ReportIScsiTargetsA(platform::BOOLEAN forceUpdate, ULONG *bufferSize,
                                          char *buffer) {
    CallRecord &call = Log("ReportIScsiTargetsA");
    call.args["ForceUpdate"] = forceUpdate;
    call.args["Buffer"] = PointerArg(buffer);
    if (bufferSize == nullptr) {
        faults_.push_back("ReportIScsiTargetsA without BufferSize");
        Publish(call, "null) -> " + Status(kStatusInvalidParameter));
        return kStatusInvalidParameter;
    }
    call.args["BufferSize"] = *bufferSize;
    std::string names;
    for (const std::string &target : KnownTargets(knownTargets, portals, portalTargets)) {
        names += target + '\0';
    }
    names += names.empty() ? std::string(2, '\0') : std::string(1, '\0');
    ISDSC_STATUS status = reportTargetsStatus.value_or(0);
    if (status == 0 && (buffer == nullptr || *bufferSize < names.size())) {
        status = platform::kErrorInsufficientBuffer;
    } else if (status == 0) {
        std::copy(names.begin(), names.end(), buffer); // NUL-separated: no string to copy
    }
    if (status == 0 || status == platform::kErrorInsufficientBuffer) {
        *bufferSize = static_cast<ULONG>(names.size());
    }
    Publish(call, "force " + std::to_string(forceUpdate) + ", size " +
                      std::to_string(call.Arg("BufferSize")) + ") -> " + Status(status) +
                      ", size " + std::to_string(*bufferSize));
    return status;
}

ISDSC_STATUS Machine::ReportIScsiTargetPortalsA(char *initiatorName, char *targetName,
                                                platform::USHORT *targetPortalTag,
                                                ULONG *elementCount,
                                                platform::ISCSI_TARGET_PORTALA *portalsOut) {
    CallRecord &call = Log("ReportIScsiTargetPortalsA");
    call.args["InitiatorName"] = PointerArg(initiatorName);
    call.args["TargetPortalTag"] = PointerArg(targetPortalTag);
    call.strings["TargetName"] = targetName == nullptr ? "" : targetName;
    if (targetName == nullptr || elementCount == nullptr) {
        faults_.push_back("ReportIScsiTargetPortalsA without TargetName or ElementCount");
        Publish(call, "null) -> " + Status(kStatusInvalidParameter));
        return kStatusInvalidParameter;
    }
    call.args["ElementCount"] = *elementCount;
    const std::vector<Portal> offering = PortalsOffering(targetName, portals, portalTargets);
    const bool known =
        std::any_of(knownTargets.begin(), knownTargets.end(), [targetName](const std::string &t) {
            return SameNameIgnoringCase(t, targetName);
        });
    ISDSC_STATUS status = 0;
    if (offering.empty() && !known) {
        status = platform::kStatusTargetNotFound;
    } else if (portalsOut == nullptr || *elementCount < offering.size()) {
        status = offering.empty() ? 0 : platform::kErrorInsufficientBuffer;
        *elementCount = static_cast<ULONG>(offering.size());
    } else {
        for (std::size_t i = 0; i < offering.size(); ++i) {
            platform::ISCSI_TARGET_PORTALA record;
            std::memset(&record, 0, sizeof record);
            CopyText(record.Address, sizeof record.Address, offering[i].address);
            record.Socket = offering[i].socket;
            std::memcpy(&portalsOut[i], &record, sizeof record);
        }
        *elementCount = static_cast<ULONG>(offering.size());
    }
    Publish(call, Quoted(targetName) + ", count " + std::to_string(call.Arg("ElementCount")) +
                      ") -> " + Status(status) + ", count " + std::to_string(*elementCount));
    return status;
}

ISDSC_STATUS Machine::ReportIScsiSendTargetPortalsA(ULONG *portalCount,
                                                    platform::ISCSI_TARGET_PORTAL_INFOA *info) {
    CallRecord &call = Log("ReportIScsiSendTargetPortalsA");
    if (portalCount == nullptr) {
        faults_.push_back("ReportIScsiSendTargetPortalsA without PortalCount");
        Publish(call, "null) -> " + Status(kStatusInvalidParameter));
        return kStatusInvalidParameter;
    }
    call.args["PortalCount"] = *portalCount;
    ISDSC_STATUS status = 0;
    if (!portals.empty() && (info == nullptr || *portalCount < portals.size())) {
        status = platform::kErrorInsufficientBuffer;
    } else {
        for (std::size_t i = 0; i < portals.size(); ++i) {
            platform::ISCSI_TARGET_PORTAL_INFOA record;
            std::memset(&record, 0, sizeof record);
            CopyText(record.InitiatorName, sizeof record.InitiatorName, kInitiatorInstance);
            record.InitiatorPortNumber = platform::kAllInitiatorPorts;
            CopyText(record.Address, sizeof record.Address, portals[i].address);
            record.Socket = portals[i].socket;
            std::memcpy(&info[i], &record, sizeof record);
        }
    }
    *portalCount = static_cast<ULONG>(portals.size());
    Publish(call, "count " + std::to_string(call.Arg("PortalCount")) + ") -> " + Status(status) +
                      ", count " + std::to_string(*portalCount));
    return status;
}

} // namespace vxd::sim
