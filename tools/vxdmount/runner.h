// The vxdmount runner: one call of the library's logic on a simulated machine, CreateVXD or
// VxdAttach or VxdDetach, with what the call says on one stream and the closing line on the
// other.
#pragma once

#include <optional>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "platform/sim/sim_machine.h"
#include "tools/credentials/credentials.h"

namespace vxd::runner {

constexpr int kExitMounted = 0;   // CreateVXD returned 1; an attach or a detach is done
constexpr int kExitFailed = 1;    // CreateVXD returned 0; an attach or a detach failed
constexpr int kExitUsage = 2;     // bad arguments or a scenario that cannot be read
constexpr int kExitCancelled = 3; // an attach was cancelled

enum class Command { kCreateVxd, kAttach, kDetach, kTargets };

struct Options {
    Command command = Command::kCreateVxd;
    std::string scenarioPath; // empty: the built-in machine
    bool timeline = false;
    bool realTime = false;
    bool help = false;
    std::string portalAddress = "192.0.2.10";
    std::string portalPort = "3260";
    std::string targetName = "iqn.2026-12.com.example:disk1";
    std::string extra1;
    std::string extra2;
    // attach: the waits (0: the library's defaults), the undo, and when the cancel event is
    // signalled (unset: the scenario's cancel_at_ms, if any).
    unsigned long deviceWaitMs = 0;
    unsigned long letterWaitMs = 0;
    bool keepOnFailure = false;
    // VXD_ATTACH_BRING_ONLINE, VXD_ATTACH_ASSIGN_LETTER, VXD_ATTACH_ONE_LUN (with detach:
    // VXD_DETACH_ONE_LUN), VXD_ATTACH_NO_LOGIN.
    unsigned long flags = 0;
    unsigned long lun = 0;
    std::string initiatorInstance;                                    // --initiator INSTANCE[:PORT]
    std::vector<std::pair<std::string, unsigned short>> extraPortals; // --portal ADDR[:PORT]
    unsigned long initiatorPort = 0xFFFFFFFF;
    std::string mountFolder;
    std::optional<sim::Ms> cancelAtMs;
    // attach: CHAP, its secrets read from files or standard input when the call is made.
    credentials::Options chap;
    // detach: dismount volumes in use; remove the portal PORTAL PORT too.
    bool force = false;
    bool removePortal = false;
};

// A first argument "attach" or "detach" names the call; else CreateVXD's form, as it always
// was. Options may stand anywhere after it; "--" ends them, so a positional argument may begin
// with '-'. CreateVXD: no positional arguments (the defaults above) or
// PORTAL PORT TARGET [EXTRA1 [EXTRA2]]; attach: none or PORTAL PORT TARGET; detach: none or
// TARGET; targets: none (the targets the initiator knows) or PORTAL [PORT].
bool ParseArguments(const std::vector<std::string> &arguments, Options &options,
                    std::string &error);

// "[  2.000s] ": the virtual time of a line of the timeline.
std::string TimelineStamp(sim::Ms at);

// Runs the whole program on `arguments` (without the program name) and returns its exit
// status. `out` gets what the call says (and with --timeline the platform calls), `err` the
// rest. `standardInput` is the file descriptor that --chap-secret-stdin reads.
int RunVxdMount(const std::vector<std::string> &arguments, std::ostream &out, std::ostream &err,
                int standardInput = 0);

} // namespace vxd::runner
