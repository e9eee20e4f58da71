// A host's use of vxdmount.dll, the way the Wine cases check it:
//   host_lifecycle load-call-unload CYCLES EXPECTED PORTAL PORT TARGET
//   host_lifecycle load-unload CYCLES
//   host_lifecycle threads COUNT
//   host_lifecycle out-of-memory PORTAL PORT TARGET
//   host_lifecycle stack-guard
//   host_lifecycle attach-detach PORTAL PORT TARGET KEPT BUSY
//   host_lifecycle two-targets PORTAL PORT TARGET1 LETTER1 TARGET2 LETTER2
// The cycles load the DLL, call CreateVXD (or not) and unload it again and again: memory and
// handles must stay where they stood after the first cycles. The threads call CreateVXD at
// once on one loaded DLL, each with a request of its own, and print the trace on stdout.
// out-of-memory calls CreateVXD with a target name too long for the address space left, so
// that the DLL's copy of it fails inside the call, then makes a normal request on the same DLL.
// The stack guard (entry/win32/stack_guard.cpp, linked into this program as into the images
// that ship) must be the load configuration's cookie, random in this program and in the DLL
// before any of the DLL's code has run, and an overrun must end the process that it happens in.
// attach-detach goes through VxdAttach and VxdDetach as the test kit plays them: an attach, a
// detach that takes the letters and the persistent login away, an attach that brings them again,
// a detach, one more that finds nothing, a detach of a target with a persistent login only, and
// one whose logout the kit refuses as a busy device. two-targets attaches two targets at once
// from two threads, each bringing a letter of its own, and detaches one after the other. Each
// prints what it checks on stderr, the trace on stdout.
#include <windows.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

// The export is found with GetProcAddress, not linked.
#define VXDMOUNT_NO_DLLIMPORT
#include "entry/vxdmount.h"
#include "platform/iscsi_discovery.h"
#include "platform/win32/unique_handles.h"
#include "tools/vxdhost/debug_output_listener.h"

// The stack guard's cookie (entry/win32/stack_guard.cpp).
// NOLINTNEXTLINE(bugprone-reserved-identifier,cert-dcl37-c,cert-dcl51-cpp): the runtime's name.
extern "C" std::uintptr_t __stack_chk_guard;

namespace {

constexpr char kDll[] = "vxdmount.dll";
constexpr int kWarmUpCycles = 20;
// Room for the heap to settle, not for a leak: over the cycles that the cases run, 150 bytes a
// cycle would go beyond it. The static runtime's pool was 19 KB a load (32-bit), 74 KB (64-bit).
constexpr SIZE_T kMemoryGrowthLimit = 64 * 1024;
constexpr std::uintptr_t kHandleSlotsLimit = 2;
constexpr std::uintptr_t kHandleSlot = 4; // handle values step by four
// The targets and the refused portal of the threads' scenario (scenarios/threads.json).
constexpr char kPortal[] = "127.0.0.1";
constexpr char kRefusedPortal[] = "127.0.0.2";
constexpr char kFreshTarget[] = "iqn.2026-01.test.vxd:fresh";
constexpr char kExistingTarget[] = "iqn.2026-01.test.vxd:existing";
constexpr char kUnknownTarget[] = "iqn.2026-01.test.vxd:unknown";
constexpr char kPort[] = "3260";
// Longer than any free run of address space that the squeeze leaves.
constexpr std::size_t kLongTargetBytes = 64u << 20;
constexpr SIZE_T kLargestHoleLeft = 1u << 20;
constexpr SIZE_T kLargestReservation = SIZE_T{1} << 30;
constexpr std::size_t kReservationsKept = 1u << 16;
constexpr std::size_t kHolesReopened = 16;

using vxd::win32::UniqueHandle;
using vxd::win32::UniqueModule;

// Wine answers GetProcessMemoryInfo and GetProcessHandleCount with zeros, so the process's
// footprint is read directly: the committed private memory, and the value that a freshly
// created handle gets, which climbs when handles are left open.
struct Footprint {
    SIZE_T committedPrivate;
    std::uintptr_t freshHandle;
};

Footprint Measure() {
    Footprint footprint{0, 0};
    MEMORY_BASIC_INFORMATION region;
    const char *address = nullptr;
    while (VirtualQuery(address, &region, sizeof region) == sizeof region) {
        if (region.State == MEM_COMMIT && region.Type == MEM_PRIVATE) {
            footprint.committedPrivate += region.RegionSize;
        }
        const char *next = static_cast<const char *>(region.BaseAddress) + region.RegionSize;
        if (next <= address) {
            break;
        }
        address = next;
    }
    const UniqueHandle event(CreateEventA(nullptr, TRUE, FALSE, nullptr));
    footprint.freshHandle = reinterpret_cast<std::uintptr_t>(event.get());
    return footprint;
}

VxdCreateVxdFunction CreateVxdOf(HMODULE dll) {
    const auto address = GetProcAddress(dll, "CreateVXD");
    return reinterpret_cast<VxdCreateVxdFunction>(reinterpret_cast<void *>(address));
}

int Usage() {
    std::fputs("usage: host_lifecycle load-call-unload CYCLES EXPECTED PORTAL PORT TARGET\n"
               "       host_lifecycle load-unload CYCLES\n"
               "       host_lifecycle threads COUNT\n"
               "       host_lifecycle out-of-memory PORTAL PORT TARGET\n"
               "       host_lifecycle stack-guard\n"
               "       host_lifecycle attach-detach PORTAL PORT TARGET KEPT BUSY\n"
               "       host_lifecycle two-targets PORTAL PORT TARGET1 LETTER1 TARGET2 LETTER2\n",
               stderr);
    return 2;
}

// Reserves the process's free address space, largest pieces first, until no free run of a
// megabyte is left; then hands back a few megabyte pieces far apart. A large allocation then
// fails while small ones (a heap block, the debug channel's mapped view) still find room.
class AddressSpaceSqueeze {
  public:
    AddressSpaceSqueeze() {
        regions_.reserve(kReservationsKept);
        std::size_t smallest = 0;
        for (SIZE_T size = kLargestReservation; size >= kLargestHoleLeft; size /= 2) {
            smallest = regions_.size();
            while (regions_.size() < kReservationsKept) {
                void *region = VirtualAlloc(nullptr, size, MEM_RESERVE, PAGE_NOACCESS);
                if (region == nullptr) {
                    break;
                }
                regions_.push_back(region);
            }
        }
        // Holes among the last, smallest pieces, which lie between larger ones.
        const std::size_t stride = (regions_.size() - smallest) / kHolesReopened + 1;
        for (std::size_t i = regions_.size(); i-- > smallest;) {
            if ((i - smallest) % stride == 0) {
                VirtualFree(regions_[i], 0, MEM_RELEASE);
                regions_.erase(regions_.begin() + static_cast<std::ptrdiff_t>(i));
            }
        }
    }
    ~AddressSpaceSqueeze() {
        for (void *region : regions_) {
            VirtualFree(region, 0, MEM_RELEASE);
        }
    }
    AddressSpaceSqueeze(const AddressSpaceSqueeze &) = delete;
    AddressSpaceSqueeze &operator=(const AddressSpaceSqueeze &) = delete;

    // Whether an allocation of `bytes` has nowhere to go.
    static bool Refuses(SIZE_T bytes) {
        void *region = VirtualAlloc(nullptr, bytes, MEM_RESERVE, PAGE_NOACCESS);
        if (region == nullptr) {
            return true;
        }
        VirtualFree(region, 0, MEM_RELEASE);
        return false;
    }

  private:
    std::vector<void *> regions_;
};

// Request null for load and unload only.
struct CycleRequest {
    int expected;
    const char *portal;
    const char *port;
    const char *target;
};

int Cycles(int cycles, const CycleRequest *request) {
    Footprint settled{0, 0};
    for (int cycle = 1; cycle <= cycles; ++cycle) {
        UniqueModule dll(LoadLibraryA(kDll));
        if (!dll) {
            std::fprintf(stderr, "host_lifecycle: cycle %d: cannot load %s (error %lu)\n", cycle,
                         kDll, GetLastError());
            return 2;
        }
        if (request != nullptr) {
            VxdCreateVxdFunction createVxd = CreateVxdOf(dll.get());
            if (createVxd == nullptr) {
                std::fprintf(stderr, "host_lifecycle: %s has no CreateVXD\n", kDll);
                return 2;
            }
            const int result = createVxd(request->portal, request->port, request->target, "", "");
            if (result != request->expected) {
                std::fprintf(stderr, "host_lifecycle: cycle %d: CreateVXD returned %d, not %d\n",
                             cycle, result, request->expected);
                return 1;
            }
        }
        dll.reset();
        // A module that stays loaded would hide what an unload leaves behind.
        if (GetModuleHandleA(kDll) != nullptr) {
            std::fprintf(stderr, "host_lifecycle: cycle %d: %s stayed loaded after FreeLibrary\n",
                         cycle, kDll);
            return 1;
        }
        if (cycle == kWarmUpCycles) {
            settled = Measure();
        }
    }
    const Footprint last = Measure();
    const long long grown = static_cast<long long>(last.committedPrivate) -
                            static_cast<long long>(settled.committedPrivate);
    const long long measured = cycles - kWarmUpCycles;
    const long long handleSlots =
        (static_cast<long long>(last.freshHandle) - static_cast<long long>(settled.freshHandle)) /
        static_cast<long long>(kHandleSlot);
    std::fprintf(stderr,
                 "host_lifecycle: %d cycles; from cycle %d to %d committed private memory went "
                 "from %llu to %llu bytes (%lld bytes, %lld a cycle), a fresh handle's value "
                 "moved by %lld slots\n",
                 cycles, kWarmUpCycles, cycles,
                 static_cast<unsigned long long>(settled.committedPrivate),
                 static_cast<unsigned long long>(last.committedPrivate), grown,
                 measured > 0 ? grown / measured : 0, handleSlots);
    int status = 0;
    if (grown > static_cast<long long>(kMemoryGrowthLimit)) {
        std::fprintf(stderr, "host_lifecycle: memory grew by more than %llu bytes\n",
                     static_cast<unsigned long long>(kMemoryGrowthLimit));
        status = 1;
    }
    if (handleSlots > static_cast<long long>(kHandleSlotsLimit)) {
        std::fprintf(stderr, "host_lifecycle: handles were left open\n");
        status = 1;
    }
    return status;
}

struct ThreadRequest {
    HANDLE start;
    VxdCreateVxdFunction createVxd;
    std::string portal;
    std::string target;
    std::string extra1;
    int expected;
    int result;
};

DWORD WINAPI CallCreateVxd(void *argument) {
    auto *request = static_cast<ThreadRequest *>(argument);
    WaitForSingleObject(request->start, INFINITE);
    request->result = request->createVxd(request->portal.c_str(), kPort, request->target.c_str(),
                                         request->extra1.c_str(), "");
    return 0;
}

// Thread 0 logs in afresh and waits for its letter; the others go through kinds that the
// scenario tells apart by name: an existing login (1), a refused login (0), a refused portal (0).
ThreadRequest RequestOfThread(int index, HANDLE start, VxdCreateVxdFunction createVxd) {
    ThreadRequest request{
        start, createVxd, kPortal, kFreshTarget, "thread " + std::to_string(index), 1, -1};
    if (index == 0) {
        return request;
    }
    switch (index % 3) {
    case 1:
        request.target = kExistingTarget;
        break;
    case 2:
        request.target = kUnknownTarget;
        request.expected = 0;
        break;
    default:
        request.portal = kRefusedPortal;
        request.expected = 0;
        break;
    }
    return request;
}

// Starts listening to the trace, then loads the DLL for the rest of the run: its CreateVXD, or
// null with the reason on stderr.
VxdCreateVxdFunction ListenAndLoad(vxdhost::DebugOutputListener &listener, UniqueModule &dll) {
    std::string error;
    if (!listener.Start(error)) {
        std::fprintf(stderr, "host_lifecycle: %s\n", error.c_str());
        return nullptr;
    }
    dll.reset(LoadLibraryA(kDll));
    VxdCreateVxdFunction createVxd = dll ? CreateVxdOf(dll.get()) : nullptr;
    if (createVxd == nullptr) {
        std::fprintf(stderr, "host_lifecycle: cannot load %s or its CreateVXD (error %lu)\n", kDll,
                     GetLastError());
    }
    return createVxd;
}

// One thread for each request, all let go at the same moment by `start`, and waited for: false
// when a thread cannot start (those started are let go and waited for, since their requests
// live in the caller's frame).
template <typename Request>
bool RunTogether(Request *requests, std::size_t count, LPTHREAD_START_ROUTINE routine,
                 HANDLE start) {
    std::vector<UniqueHandle> threads;
    std::vector<HANDLE> waits;
    for (std::size_t i = 0; i < count; ++i) {
        threads.emplace_back(CreateThread(nullptr, 0, routine, &requests[i], 0, nullptr));
        if (!threads.back()) {
            std::fprintf(stderr, "host_lifecycle: cannot start a thread (error %lu)\n",
                         GetLastError());
            threads.pop_back();
            SetEvent(start);
            if (!waits.empty()) {
                WaitForMultipleObjects(static_cast<DWORD>(waits.size()), waits.data(), TRUE,
                                       INFINITE);
            }
            return false;
        }
        waits.push_back(threads.back().get());
    }
    SetEvent(start);
    WaitForMultipleObjects(static_cast<DWORD>(waits.size()), waits.data(), TRUE, INFINITE);
    return true;
}

int Threads(int count) {
    vxdhost::DebugOutputListener listener(stdout);
    UniqueModule dll;
    VxdCreateVxdFunction createVxd = ListenAndLoad(listener, dll);
    if (createVxd == nullptr) {
        return 2;
    }
    UniqueHandle start(CreateEventA(nullptr, TRUE, FALSE, nullptr));
    std::vector<ThreadRequest> requests;
    requests.reserve(static_cast<std::size_t>(count));
    for (int index = 0; index < count; ++index) {
        requests.push_back(RequestOfThread(index, start.get(), createVxd));
    }
    if (!RunTogether(requests.data(), requests.size(), CallCreateVxd, start.get())) {
        return 2;
    }
    listener.Finish();

    int wrong = 0;
    int mounted = 0;
    for (int index = 0; index < count; ++index) {
        const ThreadRequest &request = requests[static_cast<std::size_t>(index)];
        mounted += request.result == 1 ? 1 : 0;
        if (request.result != request.expected) {
            ++wrong;
            std::fprintf(stderr, "host_lifecycle: thread %d (%s at %s): result %d, expected %d\n",
                         index, request.target.c_str(), request.portal.c_str(), request.result,
                         request.expected);
        }
    }
    std::fprintf(stderr, "host_lifecycle: %d threads, %d mounted, %d wrong results\n", count,
                 mounted, wrong);
    return wrong == 0 ? 0 : 1;
}

// The DLL's copy of a target name fails for want of memory: CreateVXD catches it and returns
// 0 with its out-of-memory line, and the same loaded DLL then serves a normal request.
int OutOfMemory(const char *portal, const char *port, const char *target) {
    // A 64-bit address space is far too large to fill: under Wine a terabyte takes a second.
    if (sizeof(void *) != 4) {
        std::fputs("host_lifecycle: out-of-memory needs a 32-bit process\n", stderr);
        return 2;
    }
    vxdhost::DebugOutputListener listener(stdout);
    UniqueModule dll;
    VxdCreateVxdFunction createVxd = ListenAndLoad(listener, dll);
    if (createVxd == nullptr) {
        return 2;
    }
    const std::string longTarget(kLongTargetBytes, 'x');
    int starved = -1;
    {
        const AddressSpaceSqueeze squeeze;
        if (!AddressSpaceSqueeze::Refuses(kLongTargetBytes)) {
            std::fprintf(stderr, "host_lifecycle: the address space still holds %llu bytes\n",
                         static_cast<unsigned long long>(kLongTargetBytes));
            return 2;
        }
        starved = createVxd(portal, port, longTarget.c_str(), "", "");
    }
    const int normal = createVxd(portal, port, target, "", "");
    listener.Finish();
    std::fprintf(stderr, "host_lifecycle: out of memory: result %d, then %d\n", starved, normal);
    return starved == 0 && normal == 1 ? 0 : 1;
}

// The security cookie that an image's load configuration names, or null.
const std::uintptr_t *SecurityCookieOf(HMODULE image) {
    const auto *base = reinterpret_cast<const unsigned char *>(image);
    const auto *dos = reinterpret_cast<const IMAGE_DOS_HEADER *>(base);
    const auto *headers = reinterpret_cast<const IMAGE_NT_HEADERS *>(base + dos->e_lfanew);
    const IMAGE_DATA_DIRECTORY &directory =
        headers->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_LOAD_CONFIG];
    const std::size_t cookieEnd = offsetof(IMAGE_LOAD_CONFIG_DIRECTORY, SecurityCookie) +
                                  sizeof(IMAGE_LOAD_CONFIG_DIRECTORY::SecurityCookie);
    if (directory.VirtualAddress == 0 || directory.Size < cookieEnd) {
        return nullptr;
    }
    const auto *config =
        reinterpret_cast<const IMAGE_LOAD_CONFIG_DIRECTORY *>(base + directory.VirtualAddress);
    // NOLINTNEXTLINE(performance-no-int-to-ptr): the record holds the address as a number.
    return reinterpret_cast<const std::uintptr_t *>(config->SecurityCookie);
}

// Overruns a protected buffer, one volatile store at a time so that none is left out; the
// guard's check ends the process before this returns.
__attribute__((noinline)) void OverrunStackBuffer(std::size_t length) {
    std::array<char, 8> buffer{};
    volatile char *target = buffer.data();
    for (std::size_t at = 0; at < length; ++at) {
        target[at] = 'x';
    }
}

int StackGuard() {
#if defined(_WIN64)
    constexpr std::uintptr_t kDefaultCookie = 0x00002B992DDFA232;
#else
    constexpr std::uintptr_t kDefaultCookie = 0xBB40E64E;
#endif
    const std::uintptr_t *own = SecurityCookieOf(GetModuleHandleA(nullptr));
    if (own != &__stack_chk_guard || *own == kDefaultCookie) {
        std::fprintf(stderr,
                     "host_lifecycle: the load configuration names %p, the guard is %p "
                     "and holds %#llx\n",
                     static_cast<const void *>(own), static_cast<void *>(&__stack_chk_guard),
                     static_cast<unsigned long long>(__stack_chk_guard));
        return 1;
    }
    // Loaded without running its entry point: only the loader can have set the cookie.
    const UniqueModule dll(LoadLibraryExA(kDll, nullptr, DONT_RESOLVE_DLL_REFERENCES));
    const std::uintptr_t *dllCookie = dll ? SecurityCookieOf(dll.get()) : nullptr;
    if (dllCookie == nullptr || *dllCookie == kDefaultCookie) {
        std::fprintf(stderr, "host_lifecycle: %s has no cookie that the loader set\n", kDll);
        return 1;
    }
    std::array<char, MAX_PATH> path{};
    GetModuleFileNameA(nullptr, path.data(), static_cast<DWORD>(path.size()));
    std::string command = std::string("\"") + path.data() + "\" overrun-stack";
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION child{};
    if (!CreateProcessA(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                        &startup, &child)) {
        std::fprintf(stderr, "host_lifecycle: cannot start %s (error %lu)\n", command.c_str(),
                     GetLastError());
        return 2;
    }
    const UniqueHandle process(child.hProcess);
    const UniqueHandle thread(child.hThread);
    WaitForSingleObject(process.get(), INFINITE);
    DWORD exitCode = 0;
    GetExitCodeProcess(process.get(), &exitCode);
    if (exitCode != STATUS_STACK_BUFFER_OVERRUN) {
        std::fprintf(stderr, "host_lifecycle: the overrun ended its process with %#lx\n", exitCode);
        return 1;
    }
    std::fprintf(stderr,
                 "host_lifecycle: stack guard: random cookies in this program and in %s "
                 "before its code ran; an overrun ended its process with %#lx\n",
                 kDll, exitCode);
    return 0;
}

// --- VxdAttach and VxdDetach under the test kit ------------------------------------------------

// The calls' waits are the caller's: the kit's letters come within two seconds.
constexpr unsigned long kDeviceWaitMs = 5000;
constexpr unsigned long kLetterWaitMs = 5000;
constexpr unsigned long kLetterPollMs = 100;

template <typename Function> Function ExportOf(HMODULE module, const char *name) {
    return reinterpret_cast<Function>(reinterpret_cast<void *>(GetProcAddress(module, name)));
}

struct Calls {
    VxdAttachFunction attach = nullptr;
    VxdDetachFunction detach = nullptr;
    VxdStatusTextFunction text = nullptr;
};

// The checks of one run: each says what it checks, on stderr, and a wrong one says so.
class Checks {
  public:
    explicit Checks(const char *mode) : mode_(mode) {}

    void That(bool holds, const std::string &what) {
        ++count_;
        wrong_ += holds ? 0 : 1;
        std::fprintf(stderr, "host_lifecycle: %s: %s%s\n", mode_,
                     holds ? "" : "WRONG: ", what.c_str());
    }
    int Finish() const {
        std::fprintf(stderr, "host_lifecycle: %s: %d checks, %d wrong\n", mode_, count_, wrong_);
        return wrong_ == 0 ? 0 : 1;
    }

  private:
    const char *mode_;
    int count_ = 0;
    int wrong_ = 0;
};

std::string Described(const Calls &calls, int status, unsigned long serviceStatus) {
    std::string text = "status " + std::to_string(status) + " (" + calls.text(status) + ")";
    if (serviceStatus != 0) {
        char hex[16];
        std::snprintf(hex, sizeof hex, "0x%lX", serviceStatus);
        text += std::string(", service status ") + hex;
    }
    return text;
}

bool HasLetter(char letter) { return ((GetLogicalDrives() >> (letter - 'A')) & 1u) != 0; }

VxdAttachResult Attach(const Calls &calls, const char *portal, const char *port,
                       const char *target) {
    VxdAttachRequest request{};
    request.size = sizeof request;
    request.portalAddress = portal;
    request.portalPort = static_cast<unsigned short>(std::strtoul(port, nullptr, 10));
    request.targetName = target;
    request.deviceWaitMs = kDeviceWaitMs;
    request.letterWaitMs = kLetterWaitMs;
    VxdAttachResult result{};
    result.size = sizeof result;
    calls.attach(&request, &result);
    return result;
}

VxdDetachResult Detach(const Calls &calls, const char *target, unsigned long flags,
                       const char *portal = nullptr, const char *port = "0") {
    VxdDetachRequest request{};
    request.size = sizeof request;
    request.targetName = target;
    request.portalAddress = portal;
    request.portalPort = static_cast<unsigned short>(std::strtoul(port, nullptr, 10));
    request.flags = flags;
    VxdDetachResult result{};
    result.size = sizeof result;
    calls.detach(&request, &result);
    return result;
}

// The sessions that the discovery library lists for `target`, asked directly; -1 when it does
// not answer.
int SessionsOf(const char *target) {
    const auto list = ExportOf<vxd::platform::GetIScsiSessionListAFunction *>(
        GetModuleHandleA("iscsidsc.dll"), "GetIScsiSessionListA");
    if (list == nullptr) {
        return -1;
    }
    vxd::platform::ULONG size = 0;
    vxd::platform::ULONG count = 0;
    vxd::platform::ULONG status = list(&size, &count, nullptr);
    if (status == 0 && count == 0) {
        return 0;
    }
    std::vector<unsigned char> buffer(size);
    auto *records = reinterpret_cast<vxd::platform::ISCSI_SESSION_INFOA *>(buffer.data());
    status = list(&size, &count, records);
    if (status != 0) {
        return -1;
    }
    int found = 0;
    for (vxd::platform::ULONG i = 0; i < count; ++i) {
        found +=
            records[i].TargetName != nullptr && std::strcmp(records[i].TargetName, target) == 0;
    }
    return found;
}

// Loads the DLL and its calls of 1.2 with the trace going to stdout; false with the reason.
bool LoadCalls(vxdhost::DebugOutputListener &listener, UniqueModule &dll, Calls &calls) {
    std::string error;
    if (!listener.Start(error)) {
        std::fprintf(stderr, "host_lifecycle: %s\n", error.c_str());
        return false;
    }
    dll.reset(LoadLibraryA(kDll));
    if (dll) {
        calls.attach = ExportOf<VxdAttachFunction>(dll.get(), "VxdAttach");
        calls.detach = ExportOf<VxdDetachFunction>(dll.get(), "VxdDetach");
        calls.text = ExportOf<VxdStatusTextFunction>(dll.get(), "VxdStatusText");
    }
    if (calls.attach == nullptr || calls.detach == nullptr || calls.text == nullptr) {
        std::fprintf(stderr, "host_lifecycle: cannot load %s or its calls of 1.2 (error %lu)\n",
                     kDll, GetLastError());
        return false;
    }
    return true;
}

void CheckAttached(Checks &checks, const Calls &calls, const std::string &what,
                   const VxdAttachResult &result) {
    checks.That(result.status == VXD_STATUS_OK && result.letters[0] != '\0',
                what + ": " + Described(calls, result.status, result.serviceStatus) +
                    ", letters \"" + result.letters + "\"");
    for (const char *letter = result.letters; *letter != '\0'; ++letter) {
        checks.That(HasLetter(*letter), std::string(1, *letter) + ": is there");
    }
}

void CheckGone(Checks &checks, const std::string &letters) {
    for (const char letter : letters) {
        checks.That(!HasLetter(letter), std::string(1, letter) + ": is gone");
    }
}

std::string DetachDescribed(const Calls &calls, const std::string &what,
                            const VxdDetachResult &result) {
    return what + ": " + Described(calls, result.status, result.serviceStatus) + ", " +
           std::to_string(result.sessionsLoggedOut) + " sessions logged out, " +
           std::to_string(result.persistentLoginsRemoved) +
           " persistent logins removed, letters \"" + result.letters + "\"";
}

int AttachDetach(const char *portal, const char *port, const char *target, const char *kept,
                 const char *busy) {
    vxdhost::DebugOutputListener listener(stdout);
    UniqueModule dll;
    Calls calls;
    if (!LoadCalls(listener, dll, calls)) {
        return 2;
    }
    Checks checks("attach-detach");
    const std::string name = target;

    // The first login fails and the persistent one a second later succeeds: the kit keeps it.
    const VxdAttachResult first = Attach(calls, portal, port, target);
    CheckAttached(checks, calls, "attach " + name, first);
    const std::string letters = first.letters;
    VxdDetachResult detached = Detach(calls, target, VXD_DETACH_REMOVE_PORTAL, portal, port);
    checks.That(detached.status == VXD_STATUS_OK && detached.sessionsLoggedOut == 1 &&
                    detached.persistentLoginsRemoved == 1 &&
                    std::string(detached.letters).find(letters) != std::string::npos,
                DetachDescribed(calls, "detach " + name + ", removing the portal", detached));
    CheckGone(checks, letters);

    // A later login brings the same letters again.
    const VxdAttachResult again = Attach(calls, portal, port, target);
    CheckAttached(checks, calls, "attach " + name + " again", again);
    checks.That(letters == again.letters, "the same letters as the first attach");
    detached = Detach(calls, target, 0);
    checks.That(detached.status == VXD_STATUS_OK && detached.sessionsLoggedOut == 1 &&
                    detached.persistentLoginsRemoved == 0,
                DetachDescribed(calls, "detach " + name + " again", detached));
    CheckGone(checks, letters);
    detached = Detach(calls, target, 0);
    checks.That(detached.status == VXD_STATUS_NOT_ATTACHED,
                DetachDescribed(calls, "detach " + name + " once more", detached));

    // A persistent login with no session is still the target's.
    detached = Detach(calls, kept, 0);
    checks.That(detached.status == VXD_STATUS_OK && detached.sessionsLoggedOut == 0 &&
                    detached.persistentLoginsRemoved == 1,
                DetachDescribed(calls, std::string("detach ") + kept, detached));

    // The kit plays a busy device: the logout is refused, and the session and its letters stay.
    const VxdAttachResult held = Attach(calls, portal, port, busy);
    CheckAttached(checks, calls, std::string("attach ") + busy, held);
    detached = Detach(calls, busy, 0);
    checks.That(detached.status == VXD_STATUS_VOLUME_IN_USE &&
                    detached.serviceStatus == vxd::platform::kStatusDeviceBusyOnSession &&
                    detached.sessionsLoggedOut == 0,
                DetachDescribed(calls, std::string("detach ") + busy, detached));
    for (const char *letter = held.letters; *letter != '\0'; ++letter) {
        checks.That(HasLetter(*letter), std::string(1, *letter) + ": is still there");
    }
    checks.That(SessionsOf(busy) == 1, std::string("the kit still lists ") + busy + "'s session");
    listener.Finish();
    return checks.Finish();
}

struct TargetAttach {
    HANDLE start;
    const Calls *calls;
    const char *portal;
    const char *port;
    const char *target;
    VxdAttachResult result;
};

DWORD WINAPI AttachOnThread(void *argument) {
    auto *attach = static_cast<TargetAttach *>(argument);
    WaitForSingleObject(attach->start, INFINITE);
    attach->result = Attach(*attach->calls, attach->portal, attach->port, attach->target);
    return 0;
}

// Under the kit every volume lies on the test volume's disk, so an attach cannot tell its
// target's letter from the other's: each answers with new letters of that disk, its own or not.
// The kit's letters are the targets' own all the same: each logout takes its session's away.
int TwoTargets(const char *portal, const char *port, const char *first, char firstLetter,
               const char *second, char secondLetter) {
    vxdhost::DebugOutputListener listener(stdout);
    UniqueModule dll;
    Calls calls;
    if (!LoadCalls(listener, dll, calls)) {
        return 2;
    }
    Checks checks("two-targets");
    const UniqueHandle start(CreateEventA(nullptr, TRUE, FALSE, nullptr));
    std::array<TargetAttach, 2> attaches{{{start.get(), &calls, portal, port, first, {}},
                                          {start.get(), &calls, portal, port, second, {}}}};
    if (!RunTogether(attaches.data(), attaches.size(), AttachOnThread, start.get())) {
        return 2;
    }
    const std::string ours = std::string(1, firstLetter) + secondLetter;
    for (const TargetAttach &attach : attaches) {
        const std::string letters = attach.result.letters;
        std::string what = std::string("attach ") + attach.target + " at once with the other: ";
        what += Described(calls, attach.result.status, attach.result.serviceStatus);
        what += ", letters \"";
        what += letters;
        what += "\", among ";
        what += ours;
        checks.That(attach.result.status == VXD_STATUS_OK && !letters.empty() &&
                        letters.find_first_not_of(ours) == std::string::npos,
                    what);
    }
    // Each attach answers at the first new letter on the disk, which may be the other's: the
    // letter that a target's login brings may come after its attach has answered.
    for (unsigned long waited = 0;
         waited < kLetterWaitMs && !(HasLetter(firstLetter) && HasLetter(secondLetter));
         waited += kLetterPollMs) {
        Sleep(kLetterPollMs);
    }
    checks.That(HasLetter(firstLetter) && HasLetter(secondLetter),
                ours + ": both targets' letters are there");
    VxdDetachResult detached = Detach(calls, first, 0);
    checks.That(detached.status == VXD_STATUS_OK && detached.sessionsLoggedOut == 1,
                DetachDescribed(calls, std::string("detach ") + first, detached));
    checks.That(!HasLetter(firstLetter) && HasLetter(secondLetter),
                std::string(1, firstLetter) + ": is gone with its session, " + secondLetter +
                    ": stays with the other");
    detached = Detach(calls, second, 0);
    checks.That(detached.status == VXD_STATUS_OK && detached.sessionsLoggedOut == 1,
                DetachDescribed(calls, std::string("detach ") + second, detached));
    checks.That(!HasLetter(secondLetter), std::string(1, secondLetter) + ": is gone");
    listener.Finish();
    return checks.Finish();
}

// One capital letter from A to Z, or '\0'.
char DriveLetter(const char *text) {
    return text[0] >= 'A' && text[0] <= 'Z' && text[1] == '\0' ? text[0] : '\0';
}

// A whole number from 0 up, or -1 for anything else.
int WholeNumber(const char *text) {
    char *end = nullptr;
    const long value = std::strtol(text, &end, 10);
    return end != text && *end == '\0' && value >= 0 && value <= 1000000 ? static_cast<int>(value)
                                                                         : -1;
}

} // namespace

int main(int argc, char **argv) {
    if (argc == 2 && std::strcmp(argv[1], "stack-guard") == 0) {
        return StackGuard();
    }
    if (argc == 2 && std::strcmp(argv[1], "overrun-stack") == 0) {
        const volatile std::size_t length = 64;
        OverrunStackBuffer(length);
        return 0;
    }
    if (argc < 3) {
        return Usage();
    }
    const std::string mode = argv[1];
    const int number = WholeNumber(argv[2]);
    // The libraries that vxdmount.dll imports stay loaded across the cycles, as they are in
    // most hosts: what an unload leaves behind must be vxdmount.dll's alone. (Wine's
    // ws2_32.dll keeps a few hundred bytes each time it is unloaded.)
    UniqueModule discovery(LoadLibraryA("iscsidsc.dll"));
    UniqueModule sockets(LoadLibraryA("ws2_32.dll"));
    if (mode == "load-call-unload" && argc == 7 && number > kWarmUpCycles) {
        const CycleRequest request{WholeNumber(argv[3]), argv[4], argv[5], argv[6]};
        return Cycles(number, &request);
    }
    if (mode == "load-unload" && argc == 3 && number > kWarmUpCycles) {
        return Cycles(number, nullptr);
    }
    if (mode == "threads" && argc == 3 && number >= 1 && number <= MAXIMUM_WAIT_OBJECTS) {
        return Threads(number);
    }
    if (mode == "out-of-memory" && argc == 5) {
        return OutOfMemory(argv[2], argv[3], argv[4]);
    }
    if (mode == "attach-detach" && argc == 7) {
        return AttachDetach(argv[2], argv[3], argv[4], argv[5], argv[6]);
    }
    if (mode == "two-targets" && argc == 8 && DriveLetter(argv[5]) != '\0' &&
        DriveLetter(argv[7]) != '\0') {
        return TwoTargets(argv[2], argv[3], argv[4], DriveLetter(argv[5]), argv[6],
                          DriveLetter(argv[7]));
    }
    return Usage();
}
