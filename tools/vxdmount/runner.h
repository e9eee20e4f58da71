// The vxdmount runner: one CreateVXD call of the library's logic on a simulated machine,
// with the trace on one stream and the closing line on the other.
#pragma once

#include <ostream>
#include <string>
#include <vector>

#include "platform/sim/sim_machine.h"

namespace vxd::runner {

constexpr int kExitMounted = 0; // CreateVXD returned 1
constexpr int kExitFailed = 1;  // CreateVXD returned 0
constexpr int kExitUsage = 2;   // bad arguments or a scenario that cannot be read

struct Options {
    std::string scenarioPath; // empty: the built-in machine
    bool timeline = false;
    bool realTime = false;
    bool help = false;
    std::string portalAddress = "192.0.2.10";
    std::string portalPort = "3260";
    std::string targetName = "iqn.2026-12.com.example:disk1";
    std::string extra1;
    std::string extra2;
};

// Options may stand anywhere; "--" ends them, so a positional argument may begin with '-'.
// Either no positional arguments (the defaults above) or PORTAL PORT TARGET [EXTRA1 [EXTRA2]].
bool ParseArguments(const std::vector<std::string> &arguments, Options &options,
                    std::string &error);

// "[  2.000s] ": the virtual time of a line of the timeline.
std::string TimelineStamp(sim::Ms at);

// Runs the whole program on `arguments` (without the program name) and returns its exit
// status. `out` gets the trace (and with --timeline the platform calls), `err` the rest.
int RunVxdMount(const std::vector<std::string> &arguments, std::ostream &out, std::ostream &err);

} // namespace vxd::runner
