// The exported function and the mount procedure it runs.
#include <climits>
#include <new>
#include <string>

#include "entry/mount_task.h"
#include "entry/vxdmount.h"
#include "platform/trace.h"
#include "platform/trace_texts.h"

namespace vxd {
namespace {

constexpr platform::DWORD kPollIntervalMs = 1000;
constexpr int kDeviceLookupRetries = 60;
constexpr int kVolumeWaitAttempts = 120;
constexpr int kLetterLookupRetries = 60;

// atoi's rule: leading white space, an optional sign, the digits up to the first non-digit.
// Out-of-range text saturates instead of overflowing.
int PortFromText(const char *text) {
    if (text == nullptr) {
        return 0;
    }
    const char *p = text;
    while (*p == ' ' || (*p >= '\t' && *p <= '\r')) {
        ++p;
    }
    bool negative = false;
    if (*p == '+' || *p == '-') {
        negative = *p == '-';
        ++p;
    }
    long long value = 0;
    for (; *p >= '0' && *p <= '9'; ++p) {
        if (value <= static_cast<long long>(INT_MAX) + 1) {
            value = value * 10 + (*p - '0');
        }
    }
    if (negative) {
        value = -value;
    }
    if (value > INT_MAX) {
        return INT_MAX;
    }
    if (value < INT_MIN) {
        return INT_MIN;
    }
    return static_cast<int>(value);
}

std::string OwnedString(const char *text) { return text == nullptr ? std::string() : text; }

std::string RootPath(char letter) {
    std::string root = "C:\\";
    root[0] = letter;
    return root;
}

// Touches the new volume's root; the results are not needed, only the request.
void ProbeVolume(char letter) {
    const std::string root = RootPath(letter);
    platform::GetDriveTypeA(root.c_str());
    char fileSystemName[10] = {};
    platform::GetVolumeInformationA(root.c_str(), nullptr, 0, nullptr, nullptr, nullptr,
                                    fileSystemName, sizeof fileSystemName);
    Trace(trace_text::kVolumeProbed + root);
}

void TraceWaiting(const std::string &oldLetters, const std::string &newLetters) {
    Trace(trace_text::kOldLetters + oldLetters);
    Trace(trace_text::kNewLetters + newLetters);
    Trace(trace_text::kWaitingForVolume);
}

// The last line of a request that failed by an exception. It is written from a literal, and
// whatever the debug channel itself raises is dropped: nothing may leave the boundary.
void TraceAtBoundary(const char *line) noexcept {
    try {
        platform::OutputDebugStringA(line);
    } catch (...) {
    }
}

// A login, and one second later a persistent one if it failed; the outcome of the last.
LoginOutcome LoginWithRetry(const CMountTask &task, const std::string &target) {
    platform::ISCSI_UNIQUE_SESSION_ID sessionId{};
    LoginOutcome outcome = task.LoginTarget(target, 0, &sessionId);
    if (outcome == kLoginFailed) {
        platform::Sleep(kPollIntervalMs);
        outcome = task.LoginTarget(target, 1, &sessionId);
    }
    return outcome;
}

// The session's devices, looked up once a second until they show: their number, 0 when they
// did not show within the retries.
unsigned WaitForDevices(const CMountTask &task, const std::string &target, DeviceBuffer &devices) {
    unsigned deviceCount = task.FindSessionDevices(target, devices);
    for (int retry = 0; deviceCount == 0 && retry < kDeviceLookupRetries; ++retry) {
        platform::Sleep(kPollIntervalMs);
        deviceCount = task.FindSessionDevices(target, devices);
    }
    return deviceCount;
}

// After a fresh login: polls until the letters new against `oldLetters` lie on the session's
// disks, or the attempts run out. Whatever ended the wait, only a single new letter names the
// volume: that letter, else '\0'. A match makes the current letters the new baseline.
char WaitForNewLetter(const CMountTask &task, std::string &oldLetters, unsigned deviceCount,
                      const DeviceBuffer &devices) {
    std::string newLetters;
    std::string diffLetters;
    for (int attempt = 0; attempt < kVolumeWaitAttempts; ++attempt) {
        if (task.DriveLettersChanged(oldLetters, newLetters) != 0) {
            diffLetters = task.NewDriveLetters(oldLetters, newLetters);
            if (diffLetters.size() >= deviceCount &&
                task.NewLettersOnSessionDisks(diffLetters, devices) != 0) {
                oldLetters = newLetters;
                break;
            }
        }
        TraceWaiting(oldLetters, newLetters);
        platform::Sleep(kPollIntervalMs);
    }
    return diffLetters.size() == 1 ? diffLetters[0] : '\0';
}

// For a target that was already logged in: the baseline's letter on the session's one disk,
// looked up once a second until it shows; '\0' when it did not.
char WaitForExistingLetter(const CMountTask &task, const std::string &oldLetters,
                           const DeviceBuffer &devices) {
    char letter = task.FindLetterOnSessionDisk(oldLetters, devices);
    for (int retry = 0; letter == '\0' && retry < kLetterLookupRetries; ++retry) {
        platform::Sleep(kPollIntervalMs);
        letter = task.FindLetterOnSessionDisk(oldLetters, devices);
    }
    if (letter == '\0') {
        Trace(trace_text::kNoExistingLetter);
    }
    return letter;
}

} // namespace

int CMountTask::MountTargets(const std::string &portalAddress, const std::string &extra1,
                             const std::string &extra2, int port, const std::string &targetName) {
    Trace(Format(trace_text::kOpeningFormat, trace_text::kOpeningTag, portalAddress.c_str(), port,
                 extra1.c_str(), extra2.c_str(), 0));
    SetPsKey(portalAddress); // the request goes on without the security record
    if (!AddTargetPortal(portalAddress, port)) {
        return 0;
    }
    std::string oldLetters;
    GetDriveLetters(oldLetters);
    AppendTarget(targetName);
    const std::size_t targetCount = TargetCount();
    Trace(Format(trace_text::kTargetCountFormat, static_cast<int>(targetCount)));

    DeviceBuffer devices;
    for (std::size_t index = 0; index < targetCount; ++index) {
        const std::string &target = Target(index);

        const LoginOutcome outcome = LoginWithRetry(*this, target);
        Trace(trace_text::kLoginOutcome + std::to_string(outcome));
        if (outcome == kLoginFailed) {
            return 0;
        }

        const unsigned deviceCount = WaitForDevices(*this, target, devices);
        if (deviceCount == 0) {
            return 0;
        }
        Trace(Format(trace_text::kDevicesFoundFormat, static_cast<unsigned>(outcome)));

        char letter = '\0';
        if (outcome == kLoginLoggedIn) {
            letter = WaitForNewLetter(*this, oldLetters, deviceCount, devices);
        } else if (deviceCount == 1) {
            letter = WaitForExistingLetter(*this, oldLetters, devices);
        }
        if (letter == '\0') {
            return 0;
        }
        ProbeVolume(letter);
    }
    return 1;
}

} // namespace vxd

extern "C" int VXDMOUNT_CALL CreateVXD(const char *portalAddress, const char *portalPort,
                                       const char *targetName, const char *extra1,
                                       const char *extra2) {
    // A C++ exception cannot cross into a host built with another compiler: end it here.
    try {
        const int port = vxd::PortFromText(portalPort);
        vxd::CMountTask task;
        const std::string address = vxd::OwnedString(portalAddress);
        const std::string target = vxd::OwnedString(targetName);
        const std::string first = vxd::OwnedString(extra1);
        const std::string second = vxd::OwnedString(extra2);
        return task.MountTargets(address, first, second, port, target);
    } catch (const std::bad_alloc &) {
        vxd::TraceAtBoundary(vxd::trace_text::kOutOfMemory);
    } catch (...) {
        vxd::TraceAtBoundary(vxd::trace_text::kInternalError);
    }
    return 0;
}
