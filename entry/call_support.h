// What the exports since 1.2 share: their progress lines, the checks of their arguments and the
// versions of their structures.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <new>
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
// The secret lengths that Windows takes without IPsec, the longest CHAP user name, and the
// largest LUN a SCSI address holds (one byte).
constexpr unsigned long kShortestSecret = 12;
constexpr unsigned long kLongestSecret = 16;
constexpr std::size_t kLongestChapUser = 255;
constexpr unsigned long kLargestLun = 255;
constexpr platform::DWORD kPollIntervalMs = 1000;

// Under load the service answers a login, a logout or a device query with "busy" for a while:
// VxdAttach and VxdDetach ask again, a second apart, this many times before they report it.
constexpr int kBusyRetries = 10;

inline bool ServiceBusy(platform::ISDSC_STATUS status) {
    return status == platform::kStatusSessionBusy || status == platform::kStatusDeviceBusyOnSession;
}

// Asks, and asks again while the service is busy; a busy answer adds nothing to what the call
// collects, so the same request goes again. `pause(status)` tells of the wait and waits; false
// when the call was cancelled meanwhile, and the busy status is then the answer.
template <typename Ask, typename Pause> platform::ISDSC_STATUS AskWhileBusy(Ask ask, Pause pause) {
    platform::ISDSC_STATUS status = ask();
    for (int retry = 0; ServiceBusy(status) && retry < kBusyRetries; ++retry) {
        if (!pause(status)) {
            break;
        }
        status = ask();
    }
    return status;
}

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

// The call's status for a service request that failed: the service not there, or a list the
// library has no room for, else `otherwise`.
int StatusOfFailure(platform::ISDSC_STATUS status, int otherwise);

// Whether a secret is one Windows takes, 12 to 16 bytes; otherwise a line says so, naming the
// secret (`which`) and its length, never its bytes.
bool SecretLengthFits(Progress &progress, const char *which, const unsigned char *secret,
                      unsigned long length);

// "0xEFFF0029" for a status of the discovery library, "error 5" for one of Windows'.
// In a buffer of its own, as SessionIdText: a progress line's status costs no allocation.
struct StatusWords {
    explicit StatusWords(platform::ULONG status);
    char text[24];
};

// The progress line of a busy answer that is asked again.
void TellBusy(Progress &progress, platform::ISDSC_STATUS busy);

// The same for a request that cannot be cancelled: the pauses are slept.
template <typename Ask> platform::ISDSC_STATUS AskWhileBusy(Ask ask, Progress &progress) {
    return AskWhileBusy(ask, [&progress](platform::ISDSC_STATUS busy) {
        TellBusy(progress, busy);
        platform::Sleep(kPollIntervalMs);
        return true;
    });
}

// A session's identifier as the progress lines name it, "%llx-%016llx" of its two halves, in a
// buffer of its own: built without an allocation, and without "ll", which Windows' own C
// runtime may not know.
struct SessionIdText {
    explicit SessionIdText(const platform::ISCSI_UNIQUE_SESSION_ID &session);
    char text[40];
};

// The boundary of VxdAttach and VxdDetach. A result that the caller's version cannot hold gets
// no answer at all; otherwise what it covers is cleared, a request of no known version is
// refused, and `Call` runs. A C++ exception cannot cross into a host built with another
// compiler: it ends here, as a status.
template <typename Call, typename Request, typename Result>
int RunCall(const Request *request, std::size_t requestFirstSize, Result *result,
            std::size_t resultFirstSize) {
    if (result == nullptr || !Covers(result->size, resultFirstSize)) {
        return VXD_STATUS_INVALID_ARGUMENT;
    }
    const unsigned long size = result->size;
    std::memset(result, 0, std::min<std::size_t>(size, sizeof *result));
    result->size = size;
    if (request == nullptr || !Covers(request->size, requestFirstSize)) {
        result->status = VXD_STATUS_INVALID_ARGUMENT;
        return result->status;
    }
    try {
        Call call(*request, *result);
        return call.Run();
    } catch (const std::bad_alloc &) {
        result->status = VXD_STATUS_OUT_OF_MEMORY;
    } catch (...) {
        result->status = VXD_STATUS_INTERNAL_ERROR;
    }
    return result->status;
}

} // namespace vxd
