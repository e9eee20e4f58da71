// The task class: one object per mount request, carrying every operation of the request.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "iscsi/initiator_client.h"
#include "volumes/volume_discovery.h"

namespace vxd {

class CMountTask {
  public:
    CMountTask() = default;

    void AppendTarget(const std::string &targetName) { targets_.push_back(targetName); }
    std::size_t TargetCount() const { return targets_.size(); }
    const std::string &Target(std::size_t index) const { return targets_[index]; }

    // The whole request: 1 when the target's volume has a drive letter, 0 on any failure.
    int MountTargets(const std::string &portalAddress, const std::string &extra1,
                     const std::string &extra2, int port, const std::string &targetName);

    // Portal registration and login.
    int SetPsKey(const std::string &portalAddress) const;
    int AddTargetPortal(const std::string &portalAddress, int port) const;
    LoginOutcome LoginTarget(const std::string &targetName, int persistent,
                             platform::ISCSI_UNIQUE_SESSION_ID *sessionId) const;

    // Session lookup and device enumeration: the number of records stored, 0 for none.
    unsigned FindSessionDevices(const std::string &targetName, DeviceBuffer &devices) const;

    // Drive-letter snapshots.
    void GetDriveLetters(std::string &letters) const;
    int DriveLettersChanged(const std::string &oldLetters, std::string &newLetters) const;
    std::string NewDriveLetters(std::string oldLetters, std::string newLetters) const;

    // Volume-to-disk matching.
    int NewLettersOnSessionDisks(const std::string &letters, const DeviceBuffer &devices) const;
    char FindLetterOnSessionDisk(const std::string &letters, const DeviceBuffer &devices) const;

  private:
    std::vector<std::string> targets_;
};

} // namespace vxd
