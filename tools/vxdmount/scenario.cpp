#include "tools/vxdmount/scenario.h"

#include <cstdint>
#include <string>
#include <vector>

namespace vxd::runner {
namespace {

sim::DriveSetup MachineDrive(const scenario::Drive &drive) {
    sim::DriveSetup setup;
    setup.letter = drive.letter;
    setup.volume = drive.volume;
    setup.disk = drive.disk;
    setup.openable = drive.openable;
    setup.answers = drive.answers;
    setup.inUse = drive.inUse;
    setup.flushError = drive.flushError;
    setup.dismountError = drive.dismountError;
    return setup;
}

std::vector<std::uint8_t> Bytes(const std::string &text) {
    return std::vector<std::uint8_t>(text.begin(), text.end());
}

sim::Chap MachineChap(const scenario::Chap &chap) {
    return sim::Chap{chap.user, Bytes(chap.secret)};
}

sim::LoginEffect MachineLoginEffect(const scenario::LoginEffect &effect) {
    sim::LoginEffect machine;
    machine.disks.assign(effect.disks.begin(), effect.disks.end());
    machine.luns.assign(effect.luns.begin(), effect.luns.end());
    machine.devicesAfterMs = effect.devicesAfterMs;
    machine.drives.clear();
    for (const auto &delayed : effect.drives) {
        machine.drives.push_back({MachineDrive(delayed.drive), delayed.afterMs});
    }
    return machine;
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
    const scenario::SanPolicy policy = scenario.machine.sanPolicy;
    machine.sanPolicy = policy == scenario::SanPolicy::kOfflineShared
                            ? sim::SanPolicy::kOfflineShared
                        : policy == scenario::SanPolicy::kOfflineAll ? sim::SanPolicy::kOfflineAll
                                                                     : sim::SanPolicy::kOnlineAll;
    machine.automount = scenario.machine.automount;
    machine.diskAttributesAnswered = scenario.machine.diskAttributesAnswered;
    machine.mpio = scenario.machine.mpio;
    for (const scenario::DiskState &disk : scenario.disks) {
        sim::DiskSetup &setup = machine.disks[disk.disk];
        setup.offline = disk.offline;
        setup.readOnly = disk.readOnly;
        setup.layout = disk.layout;
        setup.id = disk.id;
    }
    machine.ikeStatus = scenario.ikeStatus;
    machine.portalStatus = scenario.portalStatus;
    for (const scenario::PortalAnswer &portal : scenario.portals) {
        machine.portalStatuses[portal.address] = portal.status;
        if (!portal.targets.empty()) {
            machine.portalTargets[portal.address] = portal.targets;
        }
        if (portal.chap) {
            machine.portalChap[portal.address] = MachineChap(*portal.chap);
        }
    }
    machine.loginStatuses.assign(scenario.loginStatuses.begin(), scenario.loginStatuses.end());
    machine.logoutStatuses.assign(scenario.logoutStatuses.begin(), scenario.logoutStatuses.end());
    for (const scenario::TargetLogins &target : scenario.targets) {
        machine.targetLoginStatuses[target.target].assign(target.loginStatuses.begin(),
                                                          target.loginStatuses.end());
        if (target.logoutStatuses) {
            machine.targetLogoutStatuses[target.target].assign(target.logoutStatuses->begin(),
                                                               target.logoutStatuses->end());
        }
        if (target.onLogin) {
            machine.targetOnLogin[target.target] = MachineLoginEffect(*target.onLogin);
        }
        if (target.chap) {
            machine.targetChap[target.target] = MachineChap(*target.chap);
        }
        if (target.initiatorSecret) {
            machine.targetInitiatorSecrets[target.target] = Bytes(*target.initiatorSecret);
        }
    }
    for (const scenario::Session &session : scenario.sessions) {
        sim::SessionSetup setup;
        setup.target = session.target;
        setup.disks.assign(session.disks.begin(), session.disks.end());
        setup.luns.assign(session.luns.begin(), session.luns.end());
        machine.AddSession(setup);
    }
    for (const scenario::PersistentLogin &login : scenario.persistentLogins) {
        sim::PersistentLogin kept;
        kept.target = login.target;
        if (login.portal) {
            kept.portalAddress = login.portal->address;
            kept.portalSocket = login.portal->port;
        }
        machine.persistentLogins.push_back(kept);
    }
    for (const scenario::PortalAddress &portal : scenario.registeredPortals) {
        machine.portals.push_back({portal.address, portal.port});
    }
    machine.reportPersistentStatus = scenario.reportPersistentStatus;
    machine.removePersistentStatus = scenario.removePersistentStatus;
    machine.removePortalStatus = scenario.removePortalStatus;
    machine.onLogin = MachineLoginEffect(scenario.onLogin);
    for (const scenario::DriveEvent &event : scenario.events) {
        if (event.addDrive) {
            machine.AddDriveAt(event.at, MachineDrive(*event.addDrive));
        } else {
            machine.RemoveDriveAt(event.at, event.removeDrive);
        }
    }
}

} // namespace vxd::runner
