// A scenario: the simulated machine a request runs against, as read from a JSON file.
//
//     {
//       "drives":  [ {"letter": "C", "disk": 0, "openable": true, "answers": true} ],
//       "service": {
//         "ike_status": 0, "portal_status": 0, "login_statuses": [0],
//         "sessions": [ {"target": "iqn.x", "devices": [2]} ],
//         "on_login": { "devices": [2], "devices_after_ms": 0,
//                       "drives": [ {"letter": "F", "disk": 2, "after_ms": 1500} ] }
//       },
//       "events": [ {"at_ms": 4000, "add_drive": {"letter": "G", "disk": 5}},
//                   {"at_ms": 6000, "remove_drive": "E"} ]
//     }
//
// Every key is optional except a drive's "letter" and "disk", a session's "target" and an
// event's "at_ms" with exactly one of "add_drive" and "remove_drive". Unknown and repeated keys
// are errors, so a misspelt or doubled key cannot silently leave another value in place.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "platform/sim/sim_machine.h"

namespace vxd::runner {

struct DriveEvent {
    sim::Ms at = 0;
    std::optional<sim::DriveSetup> addDrive; // set: add (or replace) this drive
    char removeDrive = '\0';                 // otherwise: remove this letter
};

struct Scenario {
    std::vector<sim::DriveSetup> drives;
    sim::ISDSC_STATUS ikeStatus = 0;
    sim::ISDSC_STATUS portalStatus = 0;
    std::vector<sim::ISDSC_STATUS> loginStatuses; // the last repeats; none: every login 0
    std::vector<sim::SessionSetup> sessions;
    sim::LoginEffect onLogin;       // one device on disk 2, no letters, unless the file says more
    std::vector<DriveEvent> events; // in file order
};

// The machine of a run without --scenario: drives C and D, every status 0, the login brings
// one device on disk 2, and letter F appears on it 1.5 s after the login.
Scenario DefaultScenario();

// Reads a scenario from JSON text; `fileName` only names the source in error messages.
// On failure returns false and sets `error` to one line that begins with the file name.
bool ParseScenario(const std::string &text, const std::string &fileName, Scenario &scenario,
                   std::string &error);

// Reads the file and parses it as above.
bool LoadScenario(const std::string &path, Scenario &scenario, std::string &error);

// Sets the machine up: drives, service statuses, sessions, the login's effect, and the events
// scheduled in file order. The machine applies changes due at the same moment in the order
// they were scheduled, and the login schedules its letters when it happens, so at any moment
// the events come first and the login's letters after them.
void StageScenario(const Scenario &scenario, sim::Machine &machine);

} // namespace vxd::runner
