#include "platform/trace.h"

#include <cstdarg>

#include "platform/platform.h"

namespace vxd {

// NOLINTNEXTLINE(cert-dcl50-cpp): printf-style on purpose; the format attribute checks callers.
std::string Format(const char *format, ...) {
    va_list args;
    va_start(args, format);
    va_list sizing;
    va_copy(sizing, args);
    const int length = platform::FormatTextV(nullptr, 0, format, sizing);
    va_end(sizing);
    std::string text;
    if (length > 0) {
        text.resize(static_cast<std::size_t>(length));
        // The string's own terminator slot takes the NUL; the length was measured above.
        platform::FormatTextV(&text[0], text.size() + 1, format, args);
    }
    va_end(args);
    return text;
}

void Trace(const std::string &line) { platform::OutputDebugStringA(line.c_str()); }

void Trace(const char *line) { platform::OutputDebugStringA(line); }

void DebugChannel(const char *line) { platform::OutputDebugStringA(line); }

} // namespace vxd
