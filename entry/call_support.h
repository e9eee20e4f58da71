// What the exports since 1.2 share: their progress lines, the checks of their arguments and the
// versions of their structures.
#pragma once

#include <cstddef>
#include <string>

#include "entry/vxdmount.h"
#include "platform/platform.h"

namespace vxd {

// The first version of each structure ends with its last 1.2 field; a caller's `size` below it
// is refused, and anything past what the caller's `size` covers is never read or written.
constexpr std::size_t kAttachRequestFirstSize =
    offsetof(VxdAttachRequest, flags) + sizeof(VxdAttachRequest::flags);
constexpr std::size_t kAttachResultFirstSize =
    offsetof(VxdAttachResult, alreadyLoggedIn) + sizeof(VxdAttachResult::alreadyLoggedIn);
constexpr std::size_t kDetachRequestFirstSize =
    offsetof(VxdDetachRequest, progressContext) + sizeof(VxdDetachRequest::progressContext);
constexpr std::size_t kDetachResultFirstSize = offsetof(VxdDetachResult, persistentLoginsRemoved) +
                                               sizeof(VxdDetachResult::persistentLoginsRemoved);

// Whether a structure of the caller's `size` holds the field that ends at `fieldEnd`.
inline bool Covers(unsigned long size, std::size_t fieldEnd) { return size >= fieldEnd; }

constexpr unsigned short kDefaultPortalPort = 3260;
constexpr platform::DWORD kPollIntervalMs = 1000;

// A call's progress lines: to the caller's function, when it gave one, and to the debug
// channel, each with the call's name in front. Lines are built in a fixed buffer, so a line
// costs no allocation, and cut to fit it.
class Progress {
  public:
    Progress(const char *prefix, VxdProgressFunction function, void *context)
        : prefix_(prefix), function_(function), context_(context) {}

    void Line(const char *format, ...)
#if defined(__GNUC__)
        __attribute__((format(printf, 2, 3)))
#endif
        ;

  private:
    const char *prefix_;
    VxdProgressFunction function_;
    void *context_;
};

// Four decimal numbers from 0 to 255 between three points, nothing else: what the service's
// portal record and the security record's identity both read the same way. Leading zeros are
// refused, since the sockets library would read them as octal.
bool IsDottedIpv4(const char *text);

// A target name the service can take: not empty, at most MAX_ISCSI_NAME_LEN characters.
bool IsTargetName(const char *text);

// "0xEFFF0029" for a status of the discovery library, "error 5" for one of Windows'.
std::string StatusWords(platform::ULONG status);

} // namespace vxd
