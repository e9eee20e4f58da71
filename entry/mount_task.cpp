// The task's operations: each one asks the initiator client or the volume discovery and gives
// the answer in the task's own terms (1 or 0, a count, a letter) with the task's trace lines.
#include "entry/mount_task.h"

#include "platform/trace.h"
#include "platform/trace_texts.h"

namespace vxd {

int CMountTask::SetPsKey(const std::string &portalAddress) const {
    const platform::ISDSC_STATUS status = iscsi::SetPresharedKeyRecord(portalAddress);
    if (status != 0) {
        // The request goes on without the record; the line tells an administrator why.
        Trace(Format(trace_text::kSecurityRecordRefusedFormat, static_cast<unsigned>(status)));
        return 0;
    }
    return 1;
}

int CMountTask::AddTargetPortal(const std::string &portalAddress, int port) const {
    return iscsi::AddSendTargetPortal(portalAddress, port) == 0 ? 1 : 0;
}

LoginOutcome CMountTask::LoginTarget(const std::string &targetName, int persistent,
                                     platform::ISCSI_UNIQUE_SESSION_ID *sessionId) const {
    return iscsi::OutcomeOfLogin(iscsi::LoginToTarget(targetName, persistent != 0, sessionId));
}

unsigned CMountTask::FindSessionDevices(const std::string &targetName,
                                        DeviceBuffer &devices) const {
    return iscsi::FindSessionDevices(targetName, devices, &DebugChannel);
}

void CMountTask::GetDriveLetters(std::string &letters) const {
    volumes::AppendDriveLetters(letters);
}

int CMountTask::DriveLettersChanged(const std::string &oldLetters, std::string &newLetters) const {
    std::string fresh;
    volumes::AppendDriveLetters(fresh);
    newLetters = fresh;
    return volumes::CompareLettersIgnoringCase(fresh, oldLetters);
}

// NOLINTNEXTLINE(performance-unnecessary-value-param): the operation's signature takes copies.
std::string CMountTask::NewDriveLetters(std::string oldLetters, std::string newLetters) const {
    return volumes::LettersAdded(oldLetters, newLetters);
}

int CMountTask::NewLettersOnSessionDisks(const std::string &letters,
                                         const DeviceBuffer &devices) const {
    return volumes::LettersCoverDevices(letters, devices.records.data(), devices.filled);
}

char CMountTask::FindLetterOnSessionDisk(const std::string &letters,
                                         const DeviceBuffer &devices) const {
    return volumes::LetterOnFirstDeviceDisk(letters, devices.records.data(), devices.filled);
}

} // namespace vxd
