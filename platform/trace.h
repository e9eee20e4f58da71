// Trace lines on the platform's debug-output channel: one call, one line, nothing added.
#pragma once

#include <string>

namespace vxd {

// printf-style formatting into a string of whatever length the values need.
std::string Format(const char *format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;

void Trace(const std::string &line);
// Fixed texts go out as they are, without a string built for each line.
void Trace(const char *line);

// Where a module's lines go: DebugChannel for CreateVXD's trace, or null for none.
using TraceSink = void (*)(const char *line);
void DebugChannel(const char *line);

} // namespace vxd
