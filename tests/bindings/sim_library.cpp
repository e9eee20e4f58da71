// The library's logic on the simulated machine, as a Linux shared library with the DLL's C
// interface, so that the C# and Python bindings run against the code that ships. For their
// tests alone it also exports a scenario loader and the three kernel32 calls that the bindings
// make for a cancel event.
#include <cstdio>
#include <memory>
#include <string>

#include "entry/vxdmount.h"
#include "platform/platform.h"
#include "platform/sim/sim_machine.h"
#include "tools/vxdmount/scenario.h"

static_assert(sizeof(VxdULong) == 4, "the structures must have Windows' layout");

namespace {

// The runner's machine without a scenario, there from the load on: an export called before any
// scenario needs a machine.
std::unique_ptr<vxd::sim::Machine> DefaultMachine() {
    auto machine = std::make_unique<vxd::sim::Machine>();
    vxd::runner::StageScenario(vxd::runner::DefaultScenario(), *machine);
    return machine;
}

std::unique_ptr<vxd::sim::Machine> theMachine = DefaultMachine();

} // namespace

extern "C" {

// 0: the machine is now the one the file describes; 1: the file is unreadable or not a
// scenario, and the reason is on standard error.
int VxdSimLoadScenario(const char *path) {
    vxd::runner::Scenario scenario;
    std::string error;
    if (path == nullptr || !vxd::runner::LoadScenario(path, scenario, error)) {
        std::fprintf(stderr, "VxdSimLoadScenario: %s\n",
                     path == nullptr ? "no path" : error.c_str());
        return 1;
    }
    // The machine being replaced must be gone first: the newest machine alive is the current one.
    theMachine.reset();
    theMachine = std::make_unique<vxd::sim::Machine>();
    vxd::runner::StageScenario(scenario, *theMachine);
    return 0;
}

void *CreateEventW(void * /*attributes*/, int /*manualReset*/, int initialState,
                   const wchar_t * /*name*/) {
    vxd::sim::Machine &machine = *theMachine;
    vxd::platform::HANDLE event = machine.CreateEvent();
    if (initialState != 0) {
        machine.SignalEventAt(event, machine.Now());
    }
    return event;
}

int SetEvent(void *event) {
    vxd::sim::Machine &machine = *theMachine;
    machine.SignalEventAt(event, machine.Now());
    return 1;
}

int CloseHandle(void *handle) { return vxd::platform::CloseHandle(handle); }

} // extern "C"
