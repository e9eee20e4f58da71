// vxdhost's command line: CreateVXD's request as before, and the attach and detach commands
// of the calls since 1.2. Portable, so that the host suite checks what is accepted and how a
// wrong command line is told.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "tools/credentials/credentials.h"

namespace vxdhost {

enum class Command { kMount, kAttach, kDetach, kTargets, kVersion, kHelp, kUsageError };

// CreateVXD's five texts, passed on as they were typed.
struct MountOptions {
    std::string portal;
    std::string port;
    std::string target;
    std::string extra1;
    std::string extra2;
    bool check = false;
    bool timestamps = false;
};

struct AttachOptions {
    std::string portal;
    unsigned short port = 0;
    std::string target;
    unsigned long deviceWaitMs = 60000;
    unsigned long letterWaitMs = 120000;
    bool keepOnFailure = false;
    bool bringOnline = false;  // --online: VXD_ATTACH_BRING_ONLINE
    bool assignLetter = false; // --assign-letter: VXD_ATTACH_ASSIGN_LETTER
    std::string mountFolder;   // --mount-folder DIR
    bool multipath = false;    // --multipath: VXD_ATTACH_MULTIPATH
    std::vector<std::pair<std::string, unsigned short>> extraPortals; // --portal ADDR[:PORT]
    bool oneLun = false;                                              // --lun N: VXD_ATTACH_ONE_LUN
    unsigned long lun = 0;
    bool noLogin = false;          // --no-login: VXD_ATTACH_NO_LOGIN
    std::string initiatorInstance; // --initiator INSTANCE[:PORT]
    unsigned long initiatorPort = 0xFFFFFFFF;
    bool check = false;             // --check: the preflight, and why the call failed
    vxd::credentials::Options chap; // the secrets are read when the call is made
};

struct DetachOptions {
    std::string target;
    bool force = false;
    bool removePortal = false;
    std::string portal; // with removePortal
    unsigned short port = 0;
    bool oneLun = false; // --lun N: VXD_DETACH_ONE_LUN
    unsigned long lun = 0;
};

// vxdhost targets: the portal's targets (none: those the initiator knows), with discovery CHAP.
struct TargetsOptions {
    std::string portal;
    unsigned short port = 0;
    vxd::credentials::Options chap;
};

struct CommandLine {
    Command command = Command::kUsageError;
    std::string error; // kUsageError: one line, without "vxdhost: " in front
    std::string dll = "vxdmount.dll";
    MountOptions mount;
    AttachOptions attach;
    DetachOptions detach;
    TargetsOptions targets;
};

CommandLine ParseCommandLine(int argc, const char *const *argv);

} // namespace vxdhost
