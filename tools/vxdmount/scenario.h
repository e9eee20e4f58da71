// The runner's side of a scenario (tools/scenario/scenario.h reads the files): the machine of
// a run without one, and staging a scenario on the simulated machine.
#pragma once

#include "platform/sim/sim_machine.h"
#include "tools/scenario/scenario.h"

namespace vxd::runner {

using scenario::LoadScenario;
using scenario::ParseScenario;
using scenario::Scenario;

// The machine of a run without --scenario: drives C and D, every status 0, the login brings
// one device on disk 2, and letter F appears on it 1.5 s after the login.
Scenario DefaultScenario();

// Sets the machine up: drives, service statuses, the credentials that targets and portals
// demand, sessions, persistent logins and registered portals, the logins' effects, and the
// events scheduled in file order. The machine applies changes
// due at the same moment in the order they were scheduled, and the login schedules its letters when
// it happens, so at any moment the events come first and the login's letters after them.
void StageScenario(const Scenario &scenario, sim::Machine &machine);

} // namespace vxd::runner
