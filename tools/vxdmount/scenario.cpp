#include "tools/vxdmount/scenario.h"

namespace vxd::runner {
namespace {

sim::DriveSetup MachineDrive(const scenario::Drive &drive) {
    sim::DriveSetup setup;
    setup.letter = drive.letter;
    setup.disk = drive.disk;
    setup.openable = drive.openable;
    setup.answers = drive.answers;
    return setup;
}

} // namespace

Scenario DefaultScenario() {
    Scenario scenario;
    scenario.drives = {{'C', 0}, {'D', 1}};
    scenario.onLogin.disks = {2};
    scenario.onLogin.drives = {{{'F', 2}, 1500}};
    return scenario;
}

void StageScenario(const Scenario &scenario, sim::Machine &machine) {
    for (const scenario::Drive &drive : scenario.drives) {
        machine.AddDrive(MachineDrive(drive));
    }
    machine.ikeStatus = scenario.ikeStatus;
    machine.portalStatus = scenario.portalStatus;
    for (const scenario::PortalAnswer &portal : scenario.portals) {
        machine.portalStatuses[portal.address] = portal.status;
    }
    machine.loginStatuses.assign(scenario.loginStatuses.begin(), scenario.loginStatuses.end());
    for (const scenario::TargetLogins &target : scenario.targets) {
        machine.targetLoginStatuses[target.target].assign(target.loginStatuses.begin(),
                                                          target.loginStatuses.end());
    }
    for (const scenario::Session &session : scenario.sessions) {
        machine.AddSession(session.target, {session.disks.begin(), session.disks.end()});
    }
    machine.onLogin.disks.assign(scenario.onLogin.disks.begin(), scenario.onLogin.disks.end());
    machine.onLogin.devicesAfterMs = scenario.onLogin.devicesAfterMs;
    machine.onLogin.drives.clear();
    for (const auto &delayed : scenario.onLogin.drives) {
        machine.onLogin.drives.push_back({MachineDrive(delayed.drive), delayed.afterMs});
    }
    for (const scenario::DriveEvent &event : scenario.events) {
        if (event.addDrive) {
            machine.AddDriveAt(event.at, MachineDrive(*event.addDrive));
        } else {
            machine.RemoveDriveAt(event.at, event.removeDrive);
        }
    }
}

} // namespace vxd::runner
