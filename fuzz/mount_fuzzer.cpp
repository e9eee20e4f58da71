// One CreateVXD call per input, on a simulated machine that the input describes: the five
// arguments, every status of the initiator service, the session list and its odd answers,
// the devices, the drive letters and their volumes, and when each of them comes and goes.
// After the call the harness checks what must hold whatever the machine did; AddressSanitizer
// and LeakSanitizer watch the memory meanwhile.
//
// Input layout (read front to back; past the end every value reads as 0, so the empty input
// is the plain successful mount: drives C and D, the volume F arriving 1.5 s after login):
//   5 x argument      mode byte % 4: 0 default, 1 null, 2 short text (length byte, bytes),
//                     3 long text (U16 extra length, fill byte)
//   ike, portal       status
//   login statuses    count byte % 5, then statuses
//   on login          flags (bit 0: no session), devices (byte n: 0 default disk 2,
//                     else n-1 % 64 disks), devices delay (time), drives (byte n: 0 default F,
//                     else n-1 % 8 of drive + time)
//   drives            byte n: 0 default C:0 D:1, else n-1 % 80 drives
//   sessions          count byte % 6 of session
//   list answers      count byte % 24 of override; device answers likewise
//   late session      byte, bit 0: a session added between the two list calls
//   drive list fails  byte == 1
//   events            count byte % 40: kind byte (bit 0 remove), time, then letter or drive
//   call              byte % 3: 0 CreateVXD (so every input of CreateVXD alone keeps its
//                     meaning), 1 VxdAttach, 2 VxdDetach; for the last two, then:
//   sizes             request size byte, result size byte: % 4: 0 the structure's own,
//                     1 its first version, 2 one byte short of it, 3 a later, larger one
//   fields            port U16, device wait time, letter wait time, flags byte, cancel
//                     (byte: 0 none, 1 signalled from the start, else a time), progress byte
//   service           logout statuses (count byte % 5, statuses), persistent logins (count
//                     byte % 4, each a session-style name), in-use letters (U32 mask from C:),
//                     flush and dismount errors (byte each: 0 none, 1 and 50 unsupported,
//                     else the byte), portal removal status
// status: byte 0 ok, 1 122, 2 already logged in, 255 U32, else the byte itself.
// drive: letter byte + 'C' (any byte), disk, flags (bit 0 unopenable, bit 1 silent,
// bits 2-7 further extents). disk: byte % 8, or U32 for 248 and up. time: U16 x 5 ms.
// session: kind byte % 4 (0 the target's name, 1 in other case, 2 null name, 3 text of
// length byte % 32), disk count byte % 40, disks, time the devices show.
// override: fields byte (bit 0 status, bit 1 size, bit 2 count), then those; size: byte
// below 128 as is, below 224 whole records, below 255 a 32-bit edge, 255 U32.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <string>
#include <vector>

#include "entry/call_support.h"
#include "entry/vxdmount.h"
#include "iscsi/initiator_client.h"
#include "platform/sim/sim_machine.h"

namespace {

using vxd::platform::ISDSC_STATUS;
using vxd::platform::ULONG;
using vxd::sim::AnswerOverride;
using vxd::sim::DriveSetup;
using vxd::sim::Machine;
using vxd::sim::Ms;
using vxd::sim::SessionSetup;

constexpr ISDSC_STATUS kInsufficientBuffer = 122;
constexpr ISDSC_STATUS kAlreadyLoggedIn = 0xEFFF003F;
constexpr Ms kFreshLoginBoundMs = 181000;
constexpr Ms kExistingLoginBoundMs = 121000;
constexpr Ms kFailedLoginBoundMs = 1000;

class InputReader {
  public:
    InputReader(const std::uint8_t *data, std::size_t size) : data_(data), size_(size) {}

    std::uint8_t Byte() { return position_ < size_ ? data_[position_++] : 0; }
    std::uint16_t U16() { return static_cast<std::uint16_t>(Byte() | Byte() << 8); }
    std::uint32_t U32() { return static_cast<std::uint32_t>(U16()) | std::uint32_t{U16()} << 16; }

    std::string Text(std::size_t length) {
        std::string text;
        for (std::size_t i = 0; i < length && position_ < size_; ++i) {
            text.push_back(static_cast<char>(data_[position_++]));
        }
        return text;
    }

  private:
    const std::uint8_t *data_;
    std::size_t size_;
    std::size_t position_ = 0;
};

struct Argument {
    bool null = false;
    std::string text;
    const char *Get() const { return null ? nullptr : text.c_str(); }
};

Argument ReadArgument(InputReader &in, const char *fallback) {
    Argument argument;
    switch (in.Byte() % 4) {
    case 0:
        argument.text = fallback;
        break;
    case 1:
        argument.null = true;
        break;
    case 2:
        argument.text = in.Text(in.Byte());
        break;
    default: {
        // Longer than any fixed field: the portal record's 256 bytes, a trace buffer.
        const std::size_t length = 256 + in.U16() % 4096;
        argument.text.assign(length, static_cast<char>(in.Byte()));
        break;
    }
    }
    return argument;
}

ISDSC_STATUS ReadStatus(InputReader &in) {
    const std::uint8_t code = in.Byte();
    switch (code) {
    case 0:
        return 0;
    case 1:
        return kInsufficientBuffer;
    case 2:
        return kAlreadyLoggedIn;
    case 255:
        return in.U32();
    default:
        return code;
    }
}

ULONG ReadDisk(InputReader &in) {
    const std::uint8_t code = in.Byte();
    return code < 248 ? code % 8 : in.U32();
}

Ms ReadTime(InputReader &in) { return Ms{in.U16()} * 5; }

DriveSetup ReadDrive(InputReader &in) {
    DriveSetup drive;
    drive.letter = static_cast<char>(in.Byte() + 'C');
    drive.disk = ReadDisk(in);
    const std::uint8_t flags = in.Byte();
    drive.openable = (flags & 1) == 0;
    drive.answers = (flags & 2) == 0;
    for (ULONG extent = 1; extent <= flags >> 2; ++extent) {
        drive.moreExtents.push_back((drive.disk + extent) % 8);
    }
    return drive;
}

std::vector<ULONG> ReadDisks(InputReader &in, std::size_t count) {
    std::vector<ULONG> disks;
    for (std::size_t i = 0; i < count; ++i) {
        disks.push_back(ReadDisk(in));
    }
    return disks;
}

// Sizes and counts that disagree with the records: small numbers, whole records, and the
// edges where a byte size stops fitting 32 bits.
ULONG ReadSize(InputReader &in, ULONG recordSize) {
    static const ULONG kEdges[] = {0xFFFFFFFFu,
                                   0x80000000u,
                                   0xFFFFFFFFu / recordSize,
                                   0xFFFFFFFFu / recordSize + 1,
                                   26,
                                   27,
                                   4,
                                   1};
    const std::uint8_t code = in.Byte();
    if (code < 128) {
        return code;
    }
    if (code < 224) {
        return (code - 128u) * recordSize + code % 3;
    }
    if (code < 255) {
        return kEdges[code % (sizeof kEdges / sizeof kEdges[0])];
    }
    return in.U32();
}

std::deque<AnswerOverride> ReadOverrides(InputReader &in, ULONG recordSize) {
    std::deque<AnswerOverride> answers(in.Byte() % 24);
    for (AnswerOverride &answer : answers) {
        const std::uint8_t fields = in.Byte();
        if (fields & 1) {
            answer.status = ReadStatus(in);
        }
        if (fields & 2) {
            answer.size = ReadSize(in, recordSize);
        }
        if (fields & 4) {
            answer.count = ReadSize(in, recordSize);
        }
    }
    return answers;
}

// The target's name as the service might list it: as asked, in other case, missing, another.
SessionSetup ReadSession(InputReader &in, const std::string &target) {
    SessionSetup session;
    const std::uint8_t kind = in.Byte();
    switch (kind % 4) {
    case 0:
        session.target = target;
        break;
    case 1:
        session.target = target;
        for (std::size_t i = 0; i < session.target.size(); ++i) {
            if (((kind >> 2) + i) % 2 == 0) {
                char &c = session.target[i];
                c = (c >= 'a' && c <= 'z')   ? static_cast<char>(c - 32)
                    : (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32)
                                             : c;
            }
        }
        break;
    case 2:
        session.nullTargetName = true;
        break;
    default:
        session.target = in.Text(in.Byte() % 32);
        break;
    }
    session.disks = ReadDisks(in, in.Byte() % 40);
    session.devicesFrom = ReadTime(in);
    return session;
}

struct Request {
    Argument portalAddress, portalPort, targetName, extra1, extra2;
};

enum class Call { kCreateVxd, kAttach, kDetach };

// The fields of a VxdAttach or VxdDetach request beyond CreateVXD's arguments.
struct ExportRequest {
    Call call = Call::kCreateVxd;
    std::uint8_t requestSize = 0;
    std::uint8_t resultSize = 0;
    unsigned short port = 0;
    unsigned long deviceWaitMs = 0;
    unsigned long letterWaitMs = 0;
    unsigned long flags = 0;
    std::uint8_t cancel = 0; // 0 none, 1 signalled from the start, else at cancelAt
    Ms cancelAt = 0;
    bool progress = false;
};

// The size a caller of a given version would set, for a structure of `own` bytes whose first
// version ends at `first`; the buffer behind it always holds `own` + 64 bytes.
unsigned long SizeOf(std::uint8_t code, std::size_t own, std::size_t first) {
    switch (code % 4) {
    case 0:
        return static_cast<unsigned long>(own);
    case 1:
        return static_cast<unsigned long>(first);
    case 2:
        return static_cast<unsigned long>(first - 1);
    default:
        return static_cast<unsigned long>(own + 64);
    }
}

ExportRequest DescribeExportCall(InputReader &in, Machine &machine, const std::string &target) {
    ExportRequest request;
    const std::uint8_t call = in.Byte() % 3;
    if (call == 0) {
        return request;
    }
    request.call = call == 1 ? Call::kAttach : Call::kDetach;
    request.requestSize = in.Byte();
    request.resultSize = in.Byte();
    request.port = in.U16();
    request.deviceWaitMs = ReadTime(in);
    request.letterWaitMs = ReadTime(in);
    request.flags = in.Byte() % 8; // the known flags, and one that no version knows
    request.cancel = in.Byte();
    request.cancelAt = ReadTime(in);
    request.progress = in.Byte() & 1;

    for (int i = in.Byte() % 5; i > 0; --i) {
        machine.logoutStatuses.push_back(ReadStatus(in));
    }
    for (int i = in.Byte() % 4; i > 0; --i) {
        vxd::sim::PersistentLogin login;
        const SessionSetup named = ReadSession(in, target);
        login.target = named.nullTargetName ? std::string() : named.target;
        machine.persistentLogins.push_back(login);
    }
    const std::uint32_t inUse = in.U32();
    const std::uint8_t flushError = in.Byte();
    const std::uint8_t dismountError = in.Byte();
    for (char letter = 'C'; letter <= 'Z'; ++letter) {
        DriveSetup *drive = machine.EditDrive(letter);
        if (drive != nullptr) {
            drive->inUse = ((inUse >> (letter - 'C')) & 1) != 0;
            drive->flushError = flushError;
            drive->dismountError = dismountError;
        }
    }
    if (const std::uint8_t portal = in.Byte(); portal != 0) {
        machine.removePortalStatus = ReadStatus(in);
    }
    return request;
}

Request DescribeMachine(InputReader &in, Machine &machine) {
    Request request;
    request.portalAddress = ReadArgument(in, "192.0.2.10");
    request.portalPort = ReadArgument(in, "3260");
    request.targetName = ReadArgument(in, "iqn.2026-12.com.example:disk1");
    request.extra1 = ReadArgument(in, "");
    request.extra2 = ReadArgument(in, "");
    const std::string target = request.targetName.null ? "" : request.targetName.text.c_str();

    machine.ikeStatus = ReadStatus(in);
    machine.portalStatus = ReadStatus(in);
    for (int i = in.Byte() % 5; i > 0; --i) {
        machine.loginStatuses.push_back(ReadStatus(in));
    }

    machine.onLogin.createsSession = (in.Byte() & 1) == 0;
    if (const std::uint8_t devices = in.Byte(); devices != 0) {
        machine.onLogin.disks = ReadDisks(in, (devices - 1u) % 64);
    }
    machine.onLogin.devicesAfterMs = ReadTime(in);
    if (const std::uint8_t drives = in.Byte(); drives == 0) {
        DriveSetup volume;
        volume.letter = 'F';
        volume.disk = 2;
        machine.onLogin.drives.push_back({volume, 1500});
    } else {
        for (int i = (drives - 1) % 8; i > 0; --i) {
            DriveSetup drive = ReadDrive(in);
            machine.onLogin.drives.push_back({drive, ReadTime(in)});
        }
    }

    if (const std::uint8_t drives = in.Byte(); drives == 0) {
        machine.AddDrive('C', 0).AddDrive('D', 1);
    } else {
        for (int i = (drives - 1) % 80; i > 0; --i) {
            machine.AddDrive(ReadDrive(in));
        }
    }
    for (int i = in.Byte() % 6; i > 0; --i) {
        machine.AddSession(ReadSession(in, target));
    }
    machine.sessionListAnswers = ReadOverrides(in, sizeof(vxd::platform::ISCSI_SESSION_INFOA));
    machine.deviceAnswers = ReadOverrides(in, sizeof(vxd::platform::ISCSI_DEVICE_ON_SESSIONA));
    if (in.Byte() & 1) {
        machine.sessionAddedAfterListQuery = ReadSession(in, target);
    }
    machine.driveListFails = in.Byte() == 1;

    for (int i = in.Byte() % 40; i > 0; --i) {
        const bool remove = in.Byte() & 1;
        const Ms at = ReadTime(in);
        // A change due at the start has happened before the call looks at the machine.
        if (remove) {
            const char letter = static_cast<char>(in.Byte() + 'C');
            at == 0 ? machine.RemoveDrive(letter) : machine.RemoveDriveAt(at, letter);
        } else {
            const DriveSetup drive = ReadDrive(in);
            at == 0 ? machine.AddDrive(drive) : machine.AddDriveAt(at, drive);
        }
    }
    return request;
}

[[noreturn]] void Fail(const Machine &machine, int result, const std::string &what) {
    std::fprintf(stderr, "invariant broken: %s\nresult %d, virtual time %llu ms\n", what.c_str(),
                 result, static_cast<unsigned long long>(machine.Now()));
    for (const auto &line : machine.Trace()) {
        std::fprintf(stderr, "  trace [%llu] %s\n", static_cast<unsigned long long>(line.at),
                     line.text.c_str());
    }
    for (const std::string &fault : machine.Faults()) {
        std::fprintf(stderr, "  fault %s\n", fault.c_str());
    }
    std::abort();
}

bool StartsWith(const std::string &text, const std::string &prefix) {
    return text.compare(0, prefix.size(), prefix) == 0;
}

void CheckInvariants(const Machine &machine, int result) {
    if (result != 0 && result != 1) {
        Fail(machine, result, "result is neither 0 nor 1");
    }
    if (machine.OpenHandles() != 0) {
        Fail(machine, result, std::to_string(machine.OpenHandles()) + " volume handles left open");
    }
    if (!machine.Faults().empty()) {
        Fail(machine, result, "the machine saw misuse: " + machine.Faults().front());
    }

    const std::vector<std::string> trace = machine.TraceTexts();
    std::vector<std::string> outcomes;
    std::size_t taskDiskLines = 0;
    for (const std::string &line : trace) {
        if (StartsWith(line, "after Connection ")) {
            outcomes.push_back(line.substr(17));
        }
        if (StartsWith(line, "Task Disk")) {
            ++taskDiskLines;
        }
        if (StartsWith(line, "CreateVXD: ")) {
            Fail(machine, result, "an exception reached the boundary: " + line);
        }
    }
    if (outcomes.size() > 1) {
        Fail(machine, result, "more than one login outcome for one target");
    }

    // The outcome the trace names must be the one the last login's answer gives: the
    // scenario's status, or the service's own refusal of a second session of the target.
    const auto logins = machine.CallsTo("LoginIScsiTargetA");
    std::string expected;
    if (!logins.empty()) {
        const auto status = static_cast<ISDSC_STATUS>(logins.back().Arg("result"));
        expected = status == kAlreadyLoggedIn ? "16" : status == 0 ? "32" : "0";
    }
    const std::string outcome = outcomes.empty() ? "" : outcomes.front();
    if (outcome != expected) {
        Fail(machine, result,
             "trace names login outcome '" + outcome + "', statuses give '" + expected + "'");
    }

    const Ms bound = outcome == "32"   ? kFreshLoginBoundMs
                     : outcome == "16" ? kExistingLoginBoundMs
                     : outcome == "0"  ? kFailedLoginBoundMs
                                       : 0;
    if (machine.Now() > bound) {
        Fail(machine, result, "virtual time beyond the bound of the path taken");
    }

    if (result == 0) {
        if (taskDiskLines != 0) {
            Fail(machine, result, "a failed request wrote a Task Disk line");
        }
        return;
    }
    if (taskDiskLines != 1 || trace.empty() || !StartsWith(trace.back(), "Task Disk ") ||
        trace.back().size() != 13) {
        Fail(machine, result, "a successful request does not end with one Task Disk line");
    }
    const char letter = trace.back()[10];
    const auto lists = machine.CallsTo("GetLogicalDriveStringsA");
    if (lists.empty()) {
        Fail(machine, result, "success without a baseline snapshot");
    }
    // The root list ends at the first zero byte, whatever the machine holds after it.
    std::string baseline = lists.front().String("Letters");
    baseline = baseline.substr(0, baseline.find('\0'));
    const bool inBaseline = baseline.find(letter) != std::string::npos;
    if (outcome == "32" && inBaseline) {
        Fail(machine, result, "a fresh login named a letter of the baseline");
    }
    if (outcome == "16" && !inBaseline) {
        Fail(machine, result, "an existing login named a letter outside the baseline");
    }
}

} // namespace

// The product lives in a 32-bit process where a service's answer of gigabytes cannot be
// allocated; a modest cap plays that machine, exercises the library's allocation-failure
// paths, and keeps every input fast.
// NOLINTNEXTLINE(bugprone-reserved-identifier,cert-dcl37-c,cert-dcl51-cpp): the sanitizer's hook.
extern "C" const char *__asan_default_options() {
    return "max_allocation_size_mb=64:allocator_may_return_null=1";
}

namespace {

// VXD_FUZZ_TRACE=1 shows what an input did, for replaying one by hand.
void ShowIfAsked(const Machine &machine, int result) {
    if (std::getenv("VXD_FUZZ_TRACE") == nullptr) {
        return;
    }
    for (const auto &call : machine.Calls()) {
        std::fprintf(stderr, "[%7.3fs] %s\n", static_cast<double>(call.at) / 1000,
                     call.text.c_str());
    }
    for (const auto &line : machine.Trace()) {
        std::fprintf(stderr, "trace [%7.3fs] %s\n", static_cast<double>(line.at) / 1000,
                     line.text.c_str());
    }
    std::fprintf(stderr, "result %d\n", result);
}

// What VxdAttach and VxdDetach must hold whatever the machine did.
struct Before {
    std::size_t sessions;
    std::vector<std::string> targets;
    std::size_t persistentLogins;
    std::size_t portals;
    bool lateSession; // the machine adds a session while the call lists them
    bool oddLists;    // the machine answers list queries as overrides say, not as it is
};

// How many calls to `name` the machine answered with exactly `answer`.
std::size_t Answered(const Machine &machine, const char *name, const std::string &answer) {
    std::size_t count = 0;
    for (const vxd::sim::CallRecord &call : machine.CallsTo(name)) {
        count += call.text.substr(call.text.rfind(") -> ") + 5) == answer ? 1 : 0;
    }
    return count;
}

std::size_t SessionsOf(const std::vector<std::string> &targets, const std::string &target) {
    return static_cast<std::size_t>(
        std::count_if(targets.begin(), targets.end(), [&](const std::string &listed) {
            return vxd::iscsi::SameIScsiName(listed.c_str(), target.c_str());
        }));
}

void CheckExportCall(const Machine &machine, const ExportRequest &request, const Before &before,
                     const std::string &target, int returned, int status, bool resultWritten,
                     const std::string &letters, unsigned long loggedOut) {
    if (!machine.Faults().empty()) {
        Fail(machine, returned, "the machine saw misuse: " + machine.Faults().front());
    }
    if (machine.OpenHandles() != 0) {
        Fail(machine, returned, "handles left open");
    }
    for (char letter = 'A'; letter <= 'Z'; ++letter) {
        if (machine.Locked(letter)) {
            Fail(machine, returned, std::string("a lock left on ") + letter + ":");
        }
    }
    if ((returned < VXD_STATUS_OK || returned > VXD_STATUS_OUT_OF_MEMORY) &&
        returned != VXD_STATUS_MULTIPATH_UNCLAIMED) {
        Fail(machine, returned, "a status that no caller can expect");
    }
    if (resultWritten && status != returned) {
        Fail(machine, returned, "the result's status differs from the one returned");
    }
    if (returned == VXD_STATUS_INVALID_ARGUMENT || returned == VXD_STATUS_NOT_ATTACHED ||
        (request.cancel == 1 && returned == VXD_STATUS_CANCELLED)) {
        if ((machine.SessionTargets() != before.targets && !before.lateSession) ||
            machine.persistentLogins.size() != before.persistentLogins ||
            machine.portals.size() != before.portals) {
            Fail(machine, returned, "a call that did nothing changed the service");
        }
    }
    if (request.call == Call::kAttach) {
        const Ms bound = 1000 + (request.deviceWaitMs == 0 ? 60000 : request.deviceWaitMs) +
                         (request.letterWaitMs == 0 ? 120000 : request.letterWaitMs);
        if (machine.Now() > bound) {
            Fail(machine, returned, "an attach waited longer than it was told");
        }
        if (returned == VXD_STATUS_CANCELLED && request.cancel > 1 &&
            machine.Now() > request.cancelAt + 100) {
            Fail(machine, returned, "a cancel took more than 100 ms");
        }
        if (returned == VXD_STATUS_OK) {
            if (letters.empty()) {
                Fail(machine, returned, "an attach succeeded without a letter");
            }
            for (const char letter : letters) {
                if (machine.DriveLetters().find(letter) == std::string::npos) {
                    Fail(machine, returned, "an attach named a letter the machine lacks");
                }
            }
        } else if (returned != VXD_STATUS_INVALID_ARGUMENT &&
                   (request.flags & VXD_ATTACH_KEEP_ON_FAILURE) == 0 &&
                   Answered(machine, "LoginIScsiTargetA", "0") > 0 &&
                   machine.CallsTo("LogoutIScsiTarget").empty()) {
            // A logout that the service refused is the service's answer; none tried is ours.
            Fail(machine, returned, "a failed attach did not log out the session it made");
        }
        return;
    }
    if (resultWritten && Answered(machine, "LogoutIScsiTarget", "0") != loggedOut) {
        Fail(machine, returned, "a detach miscounted the sessions it logged out");
    }
    // The machine may list a session that appears during the call; the others must be gone.
    const std::size_t targetSessionsAfter = SessionsOf(machine.SessionTargets(), target);
    if (returned == VXD_STATUS_OK && targetSessionsAfter != 0 && !before.lateSession &&
        !before.oddLists) {
        Fail(machine, returned, "a detach succeeded and left a session of the target");
    }
}

int RunExportCall(Machine &machine, const Request &arguments, const ExportRequest &request) {
    const std::string target = arguments.targetName.null ? "" : arguments.targetName.text;
    const Before before{machine.SessionCount(),
                        machine.SessionTargets(),
                        machine.persistentLogins.size(),
                        machine.portals.size(),
                        machine.sessionAddedAfterListQuery.has_value(),
                        !machine.sessionListAnswers.empty() || !machine.deviceAnswers.empty()};
    std::vector<std::string> progress;
    const auto collect = [](void *context, const char *line) {
        static_cast<std::vector<std::string> *>(context)->push_back(line);
    };
    void *cancel = nullptr;
    if (request.cancel != 0) {
        cancel = machine.CreateEvent();
        machine.SignalEventAt(cancel, request.cancel == 1 ? 0 : request.cancelAt);
    }
    int returned = 0;
    if (request.call == Call::kAttach) {
        std::vector<unsigned char> requestBytes(sizeof(VxdAttachRequest) + 64);
        std::vector<unsigned char> resultBytes(sizeof(VxdAttachResult) + 64);
        auto *attach = reinterpret_cast<VxdAttachRequest *>(requestBytes.data());
        auto *result = reinterpret_cast<VxdAttachResult *>(resultBytes.data());
        attach->size = SizeOf(request.requestSize, sizeof *attach, vxd::kAttachRequestFirstSize);
        attach->portalAddress = arguments.portalAddress.Get();
        attach->portalPort = request.port;
        attach->targetName = arguments.targetName.Get();
        attach->deviceWaitMs = request.deviceWaitMs;
        attach->letterWaitMs = request.letterWaitMs;
        attach->cancelEvent = cancel;
        attach->progress = request.progress ? +collect : nullptr;
        attach->progressContext = &progress;
        attach->flags = request.flags;
        result->size = SizeOf(request.resultSize, sizeof *result, vxd::kAttachResultFirstSize);
        returned = VxdAttach(attach, result);
        ShowIfAsked(machine, returned);
        const bool written = result->size >= vxd::kAttachResultFirstSize;
        CheckExportCall(machine, request, before, target, returned, result->status, written,
                        written ? std::string(result->letters, strnlen(result->letters, 27)) : "",
                        0);
    } else {
        std::vector<unsigned char> requestBytes(sizeof(VxdDetachRequest) + 64);
        std::vector<unsigned char> resultBytes(sizeof(VxdDetachResult) + 64);
        auto *detach = reinterpret_cast<VxdDetachRequest *>(requestBytes.data());
        auto *result = reinterpret_cast<VxdDetachResult *>(resultBytes.data());
        detach->size = SizeOf(request.requestSize, sizeof *detach, vxd::kDetachRequestFirstSize);
        detach->targetName = arguments.targetName.Get();
        detach->portalAddress = arguments.portalAddress.Get();
        detach->portalPort = request.port;
        detach->flags = request.flags & 3;
        detach->progress = request.progress ? +collect : nullptr;
        detach->progressContext = &progress;
        result->size = SizeOf(request.resultSize, sizeof *result, vxd::kDetachResultFirstSize);
        returned = VxdDetach(detach, result);
        ShowIfAsked(machine, returned);
        const bool written = result->size >= vxd::kDetachResultFirstSize;
        CheckExportCall(machine, request, before, target, returned, result->status, written, "",
                        written ? result->sessionsLoggedOut : 0);
    }
    if (cancel != nullptr) {
        machine.CloseHandle(cancel);
    }
    return returned;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    InputReader in(data, size);
    Machine machine;
    const Request request = DescribeMachine(in, machine);
    const ExportRequest exportRequest =
        DescribeExportCall(in, machine, request.targetName.null ? "" : request.targetName.text);
    if (exportRequest.call != Call::kCreateVxd) {
        RunExportCall(machine, request, exportRequest);
        return 0;
    }
    const int result =
        CreateVXD(request.portalAddress.Get(), request.portalPort.Get(), request.targetName.Get(),
                  request.extra1.Get(), request.extra2.Get());
    ShowIfAsked(machine, result);
    CheckInvariants(machine, result);
    return 0;
}
