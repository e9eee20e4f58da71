#include "entry/call_support.h"

#include <cstdarg>
#include <cstring>

#include "iscsi/initiator_client.h"
#include "platform/trace.h"

namespace vxd {
namespace {

constexpr std::size_t kProgressLineCapacity = 512;

} // namespace

// NOLINTNEXTLINE(cert-dcl50-cpp): printf-style on purpose; the format attribute checks callers.
void Progress::Line(const char *format, ...) {
    char line[kProgressLineCapacity];
    // The prefix is a short literal of the call's own: copied, not formatted.
    const std::size_t prefixLength = strnlen(prefix_, sizeof line / 2);
    std::memcpy(line, prefix_, prefixLength);
    va_list args;
    va_start(args, format);
    // A line longer than the buffer is cut, and always ended with a NUL.
    platform::FormatTextV(line + prefixLength, sizeof line - prefixLength, format, args);
    va_end(args);
    if (function_ != nullptr) {
        function_(context_, line);
    }
    platform::OutputDebugStringA(line);
}

bool IsDottedIpv4(const char *text) {
    if (text == nullptr) {
        return false;
    }
    const char *p = text;
    for (int part = 0; part < 4; ++part) {
        if (part > 0) {
            if (*p != '.') {
                return false;
            }
            ++p;
        }
        if (*p < '0' || *p > '9') {
            return false;
        }
        if (*p == '0' && p[1] >= '0' && p[1] <= '9') {
            return false;
        }
        int value = 0;
        int digits = 0;
        for (; *p >= '0' && *p <= '9'; ++p) {
            if (++digits > 3) {
                return false;
            }
            value = value * 10 + (*p - '0');
        }
        if (value > 255) {
            return false;
        }
    }
    return *p == '\0';
}

bool IsTargetName(const char *text) {
    return text != nullptr && text[0] != '\0' && std::strlen(text) <= platform::kMaxIScsiNameLen;
}

bool SecretLengthFits(Progress &progress, const char *which, const unsigned char *secret,
                      unsigned long length) {
    if (secret != nullptr && length >= kShortestSecret && length <= kLongestSecret) {
        return true;
    }
    progress.Line("the %s is %lu bytes long; Windows takes %lu to %lu", which,
                  secret == nullptr ? 0 : length, kShortestSecret, kLongestSecret);
    return false;
}

int StatusOfFailure(platform::ISDSC_STATUS status, int otherwise) {
    if (iscsi::ServiceUnavailable(status)) {
        return VXD_STATUS_SERVICE_UNAVAILABLE;
    }
    return status == platform::kErrorNotEnoughMemory ? VXD_STATUS_OUT_OF_MEMORY : otherwise;
}

StatusWords::StatusWords(platform::ULONG status) : text{} {
    // The discovery library's statuses carry its facility in the high bits; Windows' are small.
    platform::FormatText(text, sizeof text, (status & 0xFFFF0000u) != 0 ? "0x%08lX" : "error %lu",
                         static_cast<unsigned long>(status));
}

SessionIdText::SessionIdText(const platform::ISCSI_UNIQUE_SESSION_ID &session) : text{} {
    const auto high = [](platform::ULONGLONG value) {
        return static_cast<unsigned long>(value >> 32);
    };
    const auto low = [](platform::ULONGLONG value) {
        return static_cast<unsigned long>(value & 0xFFFFFFFFu);
    };
    const platform::ULONGLONG adapter = session.AdapterUnique;
    const platform::ULONGLONG specific = session.AdapterSpecific;
    if (high(adapter) != 0) {
        platform::FormatText(text, sizeof text, "%lx%08lx-%08lx%08lx", high(adapter), low(adapter),
                             high(specific), low(specific));
    } else {
        platform::FormatText(text, sizeof text, "%lx-%08lx%08lx", low(adapter), high(specific),
                             low(specific));
    }
}

void TellBusy(Progress &progress, platform::ISDSC_STATUS busy) {
    progress.Line("the service is busy (%s); trying again in 1 s", StatusWords(busy).text);
}

} // namespace vxd
