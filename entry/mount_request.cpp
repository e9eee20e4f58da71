// The exported function and the mount procedure it runs.
#include <climits>
#include <new>
#include <string>

#include "entry/mount_task.h"
// The DLL defines the export, which the .def file exports: the declaration is the plain one.
#define VXDMOUNT_NO_DLLIMPORT
#include "entry/vxdmount.h"
#include "platform/trace.h"

namespace vxd {
namespace {

constexpr platform::DWORD kPollIntervalMs = 1000;
constexpr int kDeviceLookupRetries = 60;
constexpr int kVolumeWaitAttempts = 120;
constexpr int kLetterLookupRetries = 60;
constexpr int kTraceTag = 493;

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
void ProbeVolume(const std::string &root) {
    platform::GetDriveTypeA(root.c_str());
    char fileSystemName[10] = {};
    platform::GetVolumeInformationA(root.c_str(), nullptr, 0, nullptr, nullptr, nullptr,
                                    fileSystemName, sizeof fileSystemName);
    Trace("Task Disk " + root);
}

void TraceWaiting(const std::string &oldLetters, const std::string &newLetters) {
    Trace("old str:" + oldLetters);
    Trace("new str:" + newLetters);
    Trace("________________Waitting Mounted______________");
}

// The last line of a request that failed by an exception. It is written from a literal, and
// whatever the debug channel itself raises is dropped: nothing may leave the boundary.
void TraceAtBoundary(const char *line) noexcept {
    try {
        platform::OutputDebugStringA(line);
    } catch (...) {
    }
}

} // namespace

int CMountTask::MountTargets(const std::string &portalAddress, const std::string &extra1,
                             const std::string &extra2, int port, const std::string &targetName) {
    Trace(Format("%d,%s,%d,%s,%s,%d", kTraceTag, portalAddress.c_str(), port, extra1.c_str(),
                 extra2.c_str(), 0));
    SetPsKey(portalAddress); // the request goes on without the security record
    if (!AddTargetPortal(portalAddress, port)) {
        return 0;
    }
    std::string oldLetters;
    GetDriveLetters(oldLetters);
    AppendTarget(targetName);
    const std::size_t targetCount = TargetCount();
    Trace(Format("Disk NO:%d", static_cast<int>(targetCount)));

    DeviceBuffer devices;
    for (std::size_t index = 0; index < targetCount; ++index) {
        const std::string &target = Target(index);

        platform::ISCSI_UNIQUE_SESSION_ID sessionId{};
        LoginOutcome outcome = LoginTarget(target, 0, &sessionId);
        if (outcome == kLoginFailed) {
            platform::Sleep(kPollIntervalMs);
            outcome = LoginTarget(target, 1, &sessionId);
        }
        Trace("after Connection " + std::to_string(outcome));
        if (outcome == kLoginFailed) {
            return 0;
        }

        unsigned deviceCount = FindSessionDevices(target, devices);
        for (int retry = 0; deviceCount == 0 && retry < kDeviceLookupRetries; ++retry) {
            platform::Sleep(kPollIntervalMs);
            deviceCount = FindSessionDevices(target, devices);
        }
        if (deviceCount == 0) {
            return 0;
        }
        Trace(Format("uRet: %x", static_cast<unsigned>(outcome)));

        char letter = '\0';
        if (outcome == kLoginLoggedIn) {
            std::string newLetters;
            std::string diffLetters;
            for (int attempt = 0; attempt < kVolumeWaitAttempts; ++attempt) {
                if (DriveLettersChanged(oldLetters, newLetters) != 0) {
                    diffLetters = NewDriveLetters(oldLetters, newLetters);
                    if (diffLetters.size() >= deviceCount &&
                        NewLettersOnSessionDisks(diffLetters, devices) != 0) {
                        oldLetters = newLetters;
                        break;
                    }
                }
                TraceWaiting(oldLetters, newLetters);
                platform::Sleep(kPollIntervalMs);
            }
            // Whatever ended the wait, only a single new letter names the volume.
            if (diffLetters.size() != 1) {
                return 0;
            }
            letter = diffLetters[0];
        } else {
            if (deviceCount != 1) {
                return 0;
            }
            letter = FindLetterOnSessionDisk(oldLetters, devices);
            for (int retry = 0; letter == '\0' && retry < kLetterLookupRetries; ++retry) {
                platform::Sleep(kPollIntervalMs);
                letter = FindLetterOnSessionDisk(oldLetters, devices);
            }
            if (letter == '\0') {
                Trace("Get Mount Points Error!");
                return 0;
            }
        }
        ProbeVolume(RootPath(letter));
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
        vxd::TraceAtBoundary("CreateVXD: out of memory");
    } catch (...) {
        vxd::TraceAtBoundary("CreateVXD: internal error");
    }
    return 0;
}
