// Shows this process's debug-output lines as they are written, the way a debug-output viewer
// receives them: OutputDebugStringA hands each line over through the shared DBWIN_BUFFER
// section when no debugger is attached, paced by the DBWIN_BUFFER_READY and DBWIN_DATA_READY
// events.
#pragma once

#include <windows.h>

#include <atomic>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "platform/win32/unique_handles.h"

namespace vxdhost {

class DebugOutputListener {
  public:
    explicit DebugOutputListener(std::FILE *out) : out_(out) {}
    ~DebugOutputListener() { Finish(); }
    DebugOutputListener(const DebugOutputListener &) = delete;
    DebugOutputListener &operator=(const DebugOutputListener &) = delete;

    // Before Start: each line printed after the seconds since MarkStart ("[  2.013] "), and
    // the lines kept for Lines().
    void ShowTimestamps() { timestamps_ = true; }
    void KeepLines() { keep_ = true; }

    // Takes the channel and starts printing; false with the reason when it cannot.
    bool Start(std::string &error);

    // From now on the timestamps count; lines before it show 0.
    void MarkStart();

    // The lines printed so far, once Finish has returned.
    const std::vector<std::string> &Lines() const { return lines_; }

    // Prints what is still waiting and stops. OutputDebugStringA hands its line over before it
    // returns, so every line written before the call is printed.
    void Finish();

  private:
    bool Open(std::string &error);
    static DWORD WINAPI Run(void *self);
    void PrintLines();
    double SecondsSinceStart() const;

    std::FILE *out_;
    bool timestamps_ = false;
    bool keep_ = false;
    std::atomic<long long> origin_{0};
    std::vector<std::string> lines_;
    DWORD ownProcess_ = 0;
    vxd::win32::UniqueHandle section_;
    vxd::win32::UniqueMappedView view_;
    vxd::win32::UniqueHandle bufferReady_;
    vxd::win32::UniqueHandle dataReady_;
    vxd::win32::UniqueHandle stop_;
    vxd::win32::UniqueHandle thread_;
};

} // namespace vxdhost
