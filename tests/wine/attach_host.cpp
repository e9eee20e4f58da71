// VxdAttach as a multi-threaded host calls it, the way the Wine cases check it:
//   attach_host cancel PORTAL PORT TARGET disks|letters
//   attach_host two-targets PORTAL PORT TARGET1 TARGET2 LETTER
// cancel: a call with a cancel event and two-minute waits; once its progress says that it waits
// for the named thing, another thread signals the event about a second later. The call must
// answer VXD_STATUS_CANCELLED long before its wait would have ended; the delay between the
// signal and the return is printed, not judged: the machines that run this are shared.
// two-targets: two threads attach a target each at once on one loaded DLL; each must answer
// VXD_STATUS_OK with LETTER among its letters.
// The progress lines go to standard output, this program's verdict to standard error.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

// The exports are found with GetProcAddress, not linked.
#define VXDMOUNT_NO_DLLIMPORT
#include "entry/vxdmount.h"
#include "platform/win32/unique_handles.h"

namespace {

using vxd::win32::UniqueHandle;
using vxd::win32::UniqueModule;

constexpr unsigned long kLongWaitMs = 120000;
constexpr DWORD kCancelAfterMs = 1000;
// How long the cancelling thread waits for the call to reach its wait at all.
constexpr DWORD kReachWaitMs = 30000;
constexpr unsigned long kTwoTargetsLetterWaitMs = 30000;

struct Exports {
    VxdAttachFunction attach = nullptr;
    VxdStatusTextFunction statusText = nullptr;
};

bool FindExports(HMODULE dll, Exports &exports) {
    exports.attach = reinterpret_cast<VxdAttachFunction>(
        reinterpret_cast<void *>(GetProcAddress(dll, "VxdAttach")));
    exports.statusText = reinterpret_cast<VxdStatusTextFunction>(
        reinterpret_cast<void *>(GetProcAddress(dll, "VxdStatusText")));
    if (exports.attach == nullptr || exports.statusText == nullptr) {
        std::fprintf(stderr, "attach_host: vxdmount.dll lacks VxdAttach or VxdStatusText\n");
        return false;
    }
    return true;
}

double Milliseconds(const LARGE_INTEGER &from, const LARGE_INTEGER &to) {
    LARGE_INTEGER frequency;
    QueryPerformanceFrequency(&frequency);
    return 1000.0 * static_cast<double>(to.QuadPart - from.QuadPart) /
           static_cast<double>(frequency.QuadPart);
}

LARGE_INTEGER Now() {
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return now;
}

// cancel: the progress lines, and an event set once the call waits for `wait`.
struct CancelCase {
    const char *wait = nullptr;
    HANDLE reachedWait = nullptr;
    HANDLE cancel = nullptr;
    LARGE_INTEGER signalled{};
};

void VXDMOUNT_CALL PrintAndWatch(void *context, const char *line) {
    const auto *watched = static_cast<CancelCase *>(context);
    std::printf("%s\n", line);
    std::fflush(stdout);
    if (std::strstr(line, "waiting up to") != nullptr && std::strstr(line, watched->wait)) {
        SetEvent(watched->reachedWait);
    }
}

DWORD WINAPI CancelSoon(void *context) {
    auto *watched = static_cast<CancelCase *>(context);
    WaitForSingleObject(watched->reachedWait, kReachWaitMs);
    Sleep(kCancelAfterMs);
    watched->signalled = Now();
    SetEvent(watched->cancel);
    return 0;
}

int Cancel(const Exports &exports, const char *portal, unsigned short port, const char *target,
           const char *wait) {
    const UniqueHandle cancel(CreateEventA(nullptr, TRUE, FALSE, nullptr));
    const UniqueHandle reachedWait(CreateEventA(nullptr, TRUE, FALSE, nullptr));
    if (!cancel || !reachedWait) {
        std::fprintf(stderr, "attach_host: no events (error %lu)\n", GetLastError());
        return 1;
    }
    CancelCase watched;
    watched.wait = wait;
    watched.reachedWait = reachedWait.get();
    watched.cancel = cancel.get();

    VxdAttachRequest request{};
    request.size = sizeof request;
    request.portalAddress = portal;
    request.portalPort = port;
    request.targetName = target;
    request.deviceWaitMs = kLongWaitMs;
    request.letterWaitMs = kLongWaitMs;
    request.cancelEvent = cancel.get();
    request.progress = PrintAndWatch;
    request.progressContext = &watched;
    VxdAttachResult result{};
    result.size = sizeof result;

    const UniqueHandle thread(CreateThread(nullptr, 0, CancelSoon, &watched, 0, nullptr));
    if (!thread) {
        std::fprintf(stderr, "attach_host: no thread (error %lu)\n", GetLastError());
        return 1;
    }
    const LARGE_INTEGER began = Now();
    const int status = exports.attach(&request, &result);
    const LARGE_INTEGER returned = Now();
    // A call that returned without waiting lets the thread go at once.
    const bool reached = WaitForSingleObject(reachedWait.get(), 0) == WAIT_OBJECT_0;
    SetEvent(reachedWait.get());
    WaitForSingleObject(thread.get(), INFINITE);
    if (!reached) {
        std::fprintf(stderr, "attach_host: the call never waited for the %s\n", wait);
    }

    const double callMs = Milliseconds(began, returned);
    std::fprintf(stderr,
                 "attach_host: cancel: status %d (%s) after %.0f ms of a %lu ms wait; returned "
                 "%.1f ms after the event was signalled\n",
                 status, exports.statusText(status), callMs, kLongWaitMs,
                 Milliseconds(watched.signalled, returned));
    // Long before the wait would have ended: half of it leaves room for any machine's load.
    const bool passed = reached && status == VXD_STATUS_CANCELLED && result.status == status &&
                        callMs < static_cast<double>(kLongWaitMs) / 2;
    return passed ? 0 : 1;
}

// two-targets: one thread's call and what it answered.
struct ThreadCall {
    VxdAttachFunction attach = nullptr;
    HANDLE start = nullptr;
    std::string target;
    const char *portal = nullptr;
    unsigned short port = 0;
    std::vector<std::string> progress;
    VxdAttachResult result{};
    int status = -1;
    LARGE_INTEGER began{};
    LARGE_INTEGER returned{};
};

// Called on the calling thread, so each thread writes only its own list.
void VXDMOUNT_CALL KeepLine(void *context, const char *line) {
    static_cast<ThreadCall *>(context)->progress.emplace_back(line);
}

DWORD WINAPI AttachOne(void *context) {
    auto *call = static_cast<ThreadCall *>(context);
    VxdAttachRequest request{};
    request.size = sizeof request;
    request.portalAddress = call->portal;
    request.portalPort = call->port;
    request.targetName = call->target.c_str();
    request.letterWaitMs = kTwoTargetsLetterWaitMs;
    request.progress = KeepLine;
    request.progressContext = call;
    call->result.size = sizeof call->result;
    WaitForSingleObject(call->start, INFINITE);
    call->began = Now();
    call->status = call->attach(&request, &call->result);
    call->returned = Now();
    return 0;
}

int TwoTargets(const Exports &exports, const char *portal, unsigned short port,
               const char *const targets[2], char letter) {
    const UniqueHandle start(CreateEventA(nullptr, TRUE, FALSE, nullptr));
    if (!start) {
        std::fprintf(stderr, "attach_host: no event (error %lu)\n", GetLastError());
        return 1;
    }
    ThreadCall calls[2];
    std::vector<UniqueHandle> threads;
    for (int i = 0; i < 2; ++i) {
        calls[i].attach = exports.attach;
        calls[i].start = start.get();
        calls[i].target = targets[i];
        calls[i].portal = portal;
        calls[i].port = port;
        threads.emplace_back(CreateThread(nullptr, 0, AttachOne, &calls[i], 0, nullptr));
        if (!threads.back()) {
            std::fprintf(stderr, "attach_host: no thread (error %lu)\n", GetLastError());
            SetEvent(start.get());
            return 1;
        }
    }
    const LARGE_INTEGER origin = Now();
    SetEvent(start.get());
    HANDLE waits[2] = {threads[0].get(), threads[1].get()};
    WaitForMultipleObjects(2, waits, TRUE, INFINITE);

    bool passed = true;
    for (int i = 0; i < 2; ++i) {
        const ThreadCall &call = calls[i];
        for (const std::string &line : call.progress) {
            std::printf("thread %d: %s\n", i, line.c_str());
        }
        const bool ownLetter = std::strchr(call.result.letters, letter) != nullptr;
        std::fprintf(stderr,
                     "attach_host: thread %d: %s: status %d (%s), letters %s, from %.0f ms to "
                     "%.0f ms\n",
                     i, call.target.c_str(), call.status, exports.statusText(call.status),
                     call.result.letters, Milliseconds(origin, call.began),
                     Milliseconds(origin, call.returned));
        passed = passed && call.status == VXD_STATUS_OK && ownLetter;
    }
    // At once: each call began before the other one returned.
    const bool overlapped = calls[0].began.QuadPart < calls[1].returned.QuadPart &&
                            calls[1].began.QuadPart < calls[0].returned.QuadPart;
    if (!overlapped) {
        std::fprintf(stderr, "attach_host: the two calls did not overlap\n");
    }
    return passed && overlapped ? 0 : 1;
}

int Usage() {
    std::fputs("usage: attach_host cancel PORTAL PORT TARGET disks|letters\n"
               "       attach_host two-targets PORTAL PORT TARGET1 TARGET2 LETTER\n",
               stderr);
    return 2;
}

} // namespace

int main(int argc, char **argv) {
    if (argc < 4) {
        return Usage();
    }
    const std::string mode = argv[1];
    const auto port = static_cast<unsigned short>(std::strtoul(argv[3], nullptr, 10));
    const bool cancel =
        mode == "cancel" && argc == 6 &&
        (std::strcmp(argv[5], "disks") == 0 || std::strcmp(argv[5], "letters") == 0);
    const bool twoTargets = mode == "two-targets" && argc == 7 && std::strlen(argv[6]) == 1;
    if (!cancel && !twoTargets) {
        return Usage();
    }
    const UniqueModule dll(LoadLibraryA("vxdmount.dll"));
    Exports exports;
    if (!dll) {
        std::fprintf(stderr, "attach_host: cannot load vxdmount.dll (error %lu)\n", GetLastError());
        return 1;
    }
    if (!FindExports(dll.get(), exports)) {
        return 1;
    }
    if (cancel) {
        return Cancel(exports, argv[2], port, argv[4], argv[5]);
    }
    const char *const targets[2] = {argv[4], argv[5]};
    return TwoTargets(exports, argv[2], port, targets, argv[6][0]);
}
