#include "tools/vxdhost/debug_output_listener.h"

#include <cstring>

namespace vxdhost {
namespace {

// The section's layout: the writer's process id, then the line with its terminating NUL.
constexpr DWORD kSectionSize = 4096;
constexpr std::size_t kTextCapacity = kSectionSize - sizeof(DWORD);

std::string Failure(const char *what) {
    return std::string(what) + " (error " + std::to_string(GetLastError()) + ")";
}

} // namespace

double DebugOutputListener::SecondsSinceStart() const {
    const long long origin = origin_;
    if (origin == 0) {
        return 0.0;
    }
    LARGE_INTEGER now;
    LARGE_INTEGER frequency;
    QueryPerformanceCounter(&now);
    QueryPerformanceFrequency(&frequency);
    return static_cast<double>(now.QuadPart - origin) / static_cast<double>(frequency.QuadPart);
}

bool DebugOutputListener::Start(std::string &error) {
    if (Open(error)) {
        // From here on writers find the buffer free.
        SetEvent(bufferReady_.get());
        return true;
    }
    // Half a channel would make writers wait for a listener that is not there.
    thread_.reset();
    stop_.reset();
    dataReady_.reset();
    bufferReady_.reset();
    view_.reset();
    section_.reset();
    return false;
}

bool DebugOutputListener::Open(std::string &error) {
    ownProcess_ = GetCurrentProcessId();
    SetLastError(0);
    section_.reset(CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0,
                                      kSectionSize, "DBWIN_BUFFER"));
    if (!section_) {
        error = Failure("cannot create DBWIN_BUFFER");
        return false;
    }
    if (GetLastError() == ERROR_ALREADY_EXISTS) {
        // Two viewers would take turns at the lines; the one that was there first keeps them.
        error = "DBWIN_BUFFER already exists: another debug-output viewer is running";
        return false;
    }
    view_.reset(MapViewOfFile(section_.get(), FILE_MAP_READ, 0, 0, kSectionSize));
    bufferReady_.reset(CreateEventA(nullptr, FALSE, FALSE, "DBWIN_BUFFER_READY"));
    dataReady_.reset(CreateEventA(nullptr, FALSE, FALSE, "DBWIN_DATA_READY"));
    stop_.reset(CreateEventA(nullptr, TRUE, FALSE, nullptr));
    if (!view_ || !bufferReady_ || !dataReady_ || !stop_) {
        error = Failure("cannot set up DBWIN_BUFFER and its events");
        return false;
    }
    thread_.reset(CreateThread(nullptr, 0, &DebugOutputListener::Run, this, 0, nullptr));
    if (!thread_) {
        error = Failure("cannot start the listener thread");
        return false;
    }
    return true;
}

void DebugOutputListener::MarkStart() {
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    origin_ = now.QuadPart;
}

void DebugOutputListener::Finish() {
    if (!thread_) {
        return;
    }
    SetEvent(stop_.get());
    WaitForSingleObject(thread_.get(), INFINITE);
    thread_.reset();
}

DWORD WINAPI DebugOutputListener::Run(void *self) {
    static_cast<DebugOutputListener *>(self)->PrintLines();
    return 0;
}

void DebugOutputListener::PrintLines() {
    // A wait on several events reports the first one in this list that is set, so a line that
    // was handed over before the stop is still printed: nothing is lost at the end.
    const HANDLE waits[] = {dataReady_.get(), stop_.get()};
    const auto *section = static_cast<const char *>(view_.get());
    while (WaitForMultipleObjects(2, waits, FALSE, INFINITE) == WAIT_OBJECT_0) {
        DWORD writer = 0;
        std::memcpy(&writer, section, sizeof writer);
        const char *text = section + sizeof writer;
        // Other programs write here too; only this process's lines belong to the request.
        if (writer == ownProcess_) {
            const std::size_t length = strnlen(text, kTextCapacity);
            if (timestamps_) {
                std::fprintf(out_, "[%7.3f] ", SecondsSinceStart());
            }
            std::fwrite(text, 1, length, out_);
            std::fputc('\n', out_);
            std::fflush(out_);
            if (keep_) {
                lines_.emplace_back(text, length);
            }
        }
        SetEvent(bufferReady_.get());
    }
}

} // namespace vxdhost
