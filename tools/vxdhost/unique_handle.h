// Owns a Windows handle: closed once, and never when it is null or INVALID_HANDLE_VALUE, the
// two ways a function says it made none.
#pragma once

#include <windows.h>

#include <memory>

namespace vxdhost {

struct HandleCloser {
    void operator()(HANDLE handle) const {
        if (handle != INVALID_HANDLE_VALUE) {
            CloseHandle(handle);
        }
    }
};
using UniqueHandle = std::unique_ptr<void, HandleCloser>;

} // namespace vxdhost
