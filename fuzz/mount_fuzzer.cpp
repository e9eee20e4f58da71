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
#include <deque>
#include <string>
#include <vector>

#include "entry/vxdmount.h"
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

    // The outcome the trace names must be the one the last login status gives.
    const auto logins = machine.CallsTo("LoginIScsiTargetA");
    std::string expected;
    if (!logins.empty()) {
        const std::size_t last = logins.size() - 1;
        const ISDSC_STATUS status =
            machine.loginStatuses.empty()
                ? 0
                : machine.loginStatuses[std::min(last, machine.loginStatuses.size() - 1)];
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

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    InputReader in(data, size);
    Machine machine;
    const Request request = DescribeMachine(in, machine);
    const int result =
        CreateVXD(request.portalAddress.Get(), request.portalPort.Get(), request.targetName.Get(),
                  request.extra1.Get(), request.extra2.Get());
    // VXD_FUZZ_TRACE=1 shows what an input did, for replaying one by hand.
    if (std::getenv("VXD_FUZZ_TRACE") != nullptr) {
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
    CheckInvariants(machine, result);
    return 0;
}
