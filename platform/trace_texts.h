// CreateVXD's trace vocabulary: the fixed texts and the prefixes of the lines it writes on the
// debug-output channel. The library writes its lines from these, and vxdhost's trace reader
// recognises them by the same constants; the tests keep literal lines as their own check.
#pragma once

namespace vxd::trace_text {

// A format and the fixed text it starts with, kept together so that they cannot drift apart.
constexpr bool StartsWith(const char *text, const char *prefix) {
    for (; *prefix != '\0'; ++text, ++prefix) {
        if (*text != *prefix) {
            return false;
        }
    }
    return true;
}

// The opening line: "493,PORTAL,PORT,EXTRA1,EXTRA2,0".
constexpr int kOpeningTag = 493;
constexpr char kOpeningFormat[] = "%d,%s,%d,%s,%s,%d";

// "Disk NO:1": the number of targets of the request.
constexpr char kTargetCount[] = "Disk NO:";
constexpr char kTargetCountFormat[] = "Disk NO:%d";
static_assert(StartsWith(kTargetCountFormat, kTargetCount));

// "after Connection 32": the login's outcome in decimal.
constexpr char kLoginOutcome[] = "after Connection ";

// "uRet: 20": the outcome again, in hexadecimal, once the session's devices are known.
constexpr char kDevicesFound[] = "uRet: ";
constexpr char kDevicesFoundFormat[] = "uRet: %x";
static_assert(StartsWith(kDevicesFoundFormat, kDevicesFound));

// The three lines of each poll that did not find the new volume.
constexpr char kOldLetters[] = "old str:";
constexpr char kNewLetters[] = "new str:";
constexpr char kWaitingForVolume[] = "________________Waitting Mounted______________";

// The last line of a target that has its volume: "Task Disk F:\".
constexpr char kVolumeProbed[] = "Task Disk ";

// An existing login whose disk shows no letter.
constexpr char kNoExistingLetter[] = "Get Mount Points Error!";

// The session lookup's lines. The two "GetSession" lines mark progress, despite their words.
constexpr char kSessionListFailed[] = "failed to GetSessionList()";
constexpr char kSessionListNoMemory[] = "failed to allocate memory for session list";
constexpr char kDeviceQueryStatus[] = "Error code:";
constexpr char kDeviceQueryStatusFormat[] = "Error code:%x";
static_assert(StartsWith(kDeviceQueryStatusFormat, kDeviceQueryStatus));
constexpr char kDeviceCountKnown[] = "GetSession Error1";
constexpr char kDevicesFetched[] = "GetSession Error2";

// A refused security record; the request goes on without it.
constexpr char kSecurityRecordRefused[] = "SetPsKey ERROR CODE:";
constexpr char kSecurityRecordRefusedFormat[] = "SetPsKey ERROR CODE:%x";
static_assert(StartsWith(kSecurityRecordRefusedFormat, kSecurityRecordRefused));

// The last line of a request that an exception ended.
constexpr char kOutOfMemory[] = "CreateVXD: out of memory";
constexpr char kInternalError[] = "CreateVXD: internal error";

} // namespace vxd::trace_text
