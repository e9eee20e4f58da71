#include "tools/vxdhost/command_line.h"

#include <cstring>
#include <utility>

namespace vxdhost {
namespace {

// The waits are given in seconds and passed on in milliseconds, which must fit 32 bits.
constexpr unsigned long kLongestWaitSeconds = 4294967;
constexpr unsigned long kLargestPort = 65535;

bool Is(const char *argument, const char *name) { return std::strcmp(argument, name) == 0; }

// Decimal digits only, from 1 to `largest`: no sign, no spaces, no other base.
bool WholeNumber(const char *text, unsigned long largest, unsigned long &value) {
    if (text[0] == '\0') {
        return false;
    }
    value = 0;
    for (const char *digit = text; *digit != '\0'; ++digit) {
        if (*digit < '0' || *digit > '9') {
            return false;
        }
        value = value * 10 + static_cast<unsigned long>(*digit - '0');
        if (value > largest) {
            return false;
        }
    }
    return value >= 1;
}

CommandLine Refused(std::string error) {
    CommandLine line;
    line.command = Command::kUsageError;
    line.error = std::move(error);
    return line;
}

// Decimal digits from 0 to `largest`.
bool NumberFromZero(const char *text, unsigned long largest, unsigned long &value) {
    if (std::strcmp(text, "0") == 0) {
        value = 0;
        return true;
    }
    return WholeNumber(text, largest, value);
}

// "--lun N": a LUN from 0 to 255, as a SCSI address holds it.
bool ParseLun(int argc, const char *const *argv, int &next, unsigned long &lun,
              std::string &error) {
    if (next + 1 >= argc || !NumberFromZero(argv[next + 1], 255, lun)) {
        error = "--lun needs a LUN from 0 to 255";
        return false;
    }
    ++next;
    return true;
}

// "--initiator INSTANCE[:PORT]": an initiator instance such as ROOT\ISCSIPRT\0000_0, and
// optionally one of its ports.
bool ParseInitiator(int argc, const char *const *argv, int &next, AttachOptions &attach,
                    std::string &error) {
    const std::string value = next + 1 < argc ? argv[next + 1] : "";
    const std::size_t colon = value.rfind(':');
    const std::string instance = value.substr(0, colon);
    if (instance.empty() || instance.size() > 255) {
        error = "--initiator needs an INSTANCE[:PORT], such as ROOT\\ISCSIPRT\\0000_0:1";
        return false;
    }
    unsigned long port = 0xFFFFFFFF;
    if (colon != std::string::npos &&
        !NumberFromZero(value.c_str() + colon + 1, 0xFFFFFFFE, port)) {
        error = "--initiator's PORT is a whole number, not \"" + value.substr(colon + 1) + "\"";
        return false;
    }
    attach.initiatorInstance = instance;
    attach.initiatorPort = port;
    ++next;
    return true;
}

bool ParsePort(const char *text, unsigned short &port, std::string &error) {
    unsigned long value = 0;
    if (!WholeNumber(text, kLargestPort, value)) {
        error = std::string("the port is a whole number from 1 to 65535, not \"") + text + "\"";
        return false;
    }
    port = static_cast<unsigned short>(value);
    return true;
}

// "--device-wait S": the seconds after the option.
bool ParseWait(int argc, const char *const *argv, int &next, unsigned long &milliseconds,
               std::string &error) {
    const char *option = argv[next];
    unsigned long seconds = 0;
    if (next + 1 >= argc || !WholeNumber(argv[next + 1], kLongestWaitSeconds, seconds)) {
        error = std::string(option) + " needs a whole number of seconds from 1 to " +
                std::to_string(kLongestWaitSeconds);
        return false;
    }
    ++next;
    milliseconds = seconds * 1000;
    return true;
}

bool ParseDll(int argc, const char *const *argv, int &next, CommandLine &line) {
    if (next + 1 >= argc) {
        line = Refused("--dll needs a PATH");
        return false;
    }
    line.dll = argv[++next];
    return true;
}

// A CHAP option of `command` at argv[next], with its value if it takes one; false with `error`
// set for a refused value or an option that is no CHAP option.
bool TakeCredential(int argc, const char *const *argv, int &next, const char *command,
                    vxd::credentials::Options &chap, std::string &error) {
    bool usedNext = false;
    const char *value = next + 1 < argc ? argv[next + 1] : nullptr;
    switch (vxd::credentials::ParseOption(argv[next], value, usedNext, chap, error)) {
    case vxd::credentials::Parsed::kTaken:
        next += usedNext ? 1 : 0;
        return true;
    case vxd::credentials::Parsed::kRefused:
        return false;
    case vxd::credentials::Parsed::kNotCredential:
        break;
    }
    error = std::string(command) + " has no option " + vxd::credentials::ShownArgument(argv[next]);
    return false;
}

CommandLine ParseAttach(int argc, const char *const *argv, int next, CommandLine line) {
    AttachOptions &attach = line.attach;
    std::string error;
    for (; next < argc && std::strncmp(argv[next], "--", 2) == 0; ++next) {
        if (Is(argv[next], "--dll")) {
            if (!ParseDll(argc, argv, next, line)) {
                return line;
            }
        } else if (Is(argv[next], "--device-wait")) {
            if (!ParseWait(argc, argv, next, attach.deviceWaitMs, error)) {
                return Refused(error);
            }
        } else if (Is(argv[next], "--letter-wait")) {
            if (!ParseWait(argc, argv, next, attach.letterWaitMs, error)) {
                return Refused(error);
            }
        } else if (Is(argv[next], "--keep-on-failure")) {
            attach.keepOnFailure = true;
        } else if (Is(argv[next], "--online")) {
            attach.bringOnline = true;
        } else if (Is(argv[next], "--assign-letter")) {
            attach.assignLetter = true;
        } else if (Is(argv[next], "--mount-folder")) {
            if (next + 1 >= argc || argv[next + 1][0] == '\0') {
                return Refused("--mount-folder needs a folder, such as C:\\mnt\\data");
            }
            attach.mountFolder = argv[++next];
        } else if (Is(argv[next], "--check")) {
            attach.check = true;
        } else if (Is(argv[next], "--lun")) {
            if (!ParseLun(argc, argv, next, attach.lun, error)) {
                return Refused(error);
            }
            attach.oneLun = true;
        } else if (Is(argv[next], "--no-login")) {
            attach.noLogin = true;
        } else if (Is(argv[next], "--multipath")) {
            attach.multipath = true;
        } else if (Is(argv[next], "--portal")) {
            const std::string value = next + 1 < argc ? argv[next + 1] : "";
            const std::size_t colon = value.find(':');
            unsigned short port = 0;
            if (value.empty() || colon == 0 ||
                (colon != std::string::npos &&
                 !ParsePort(value.c_str() + colon + 1, port, error))) {
                return Refused("--portal needs ADDR[:PORT], such as 192.168.0.11:3260");
            }
            attach.extraPortals.emplace_back(value.substr(0, colon), port);
            ++next;
        } else if (Is(argv[next], "--initiator")) {
            if (!ParseInitiator(argc, argv, next, attach, error)) {
                return Refused(error);
            }
        } else {
            if (!TakeCredential(argc, argv, next, "attach", attach.chap, error)) {
                return Refused(error);
            }
        }
    }
    if (!vxd::credentials::CheckOptions(attach.chap, error)) {
        return Refused(error);
    }
    if (!attach.extraPortals.empty() && !attach.multipath) {
        return Refused("--portal adds a path: it needs --multipath");
    }
    if (argc - next != 3) {
        return Refused("attach expects PORTAL PORT TARGET, got " + std::to_string(argc - next) +
                       " arguments");
    }
    if (!ParsePort(argv[next + 1], attach.port, error)) {
        return Refused(error);
    }
    attach.portal = argv[next];
    attach.target = argv[next + 2];
    line.command = Command::kAttach;
    return line;
}

CommandLine ParseDetach(int argc, const char *const *argv, int next, CommandLine line) {
    DetachOptions &detach = line.detach;
    std::string error;
    for (; next < argc && std::strncmp(argv[next], "--", 2) == 0; ++next) {
        if (Is(argv[next], "--dll")) {
            if (!ParseDll(argc, argv, next, line)) {
                return line;
            }
        } else if (Is(argv[next], "--force")) {
            detach.force = true;
        } else if (Is(argv[next], "--remove-portal")) {
            if (next + 2 >= argc) {
                return Refused("--remove-portal needs a PORTAL and a PORT");
            }
            if (!ParsePort(argv[next + 2], detach.port, error)) {
                return Refused(error);
            }
            detach.removePortal = true;
            detach.portal = argv[next + 1];
            next += 2;
        } else if (Is(argv[next], "--lun")) {
            if (!ParseLun(argc, argv, next, detach.lun, error)) {
                return Refused(error);
            }
            detach.oneLun = true;
        } else {
            return Refused("detach has no option " + vxd::credentials::ShownArgument(argv[next]));
        }
    }
    if (argc - next != 1) {
        return Refused("detach expects one TARGET, got " + std::to_string(argc - next) +
                       " arguments");
    }
    detach.target = argv[next];
    line.command = Command::kDetach;
    return line;
}

CommandLine ParseTargets(int argc, const char *const *argv, int next, CommandLine line) {
    TargetsOptions &targets = line.targets;
    std::string error;
    for (; next < argc && std::strncmp(argv[next], "--", 2) == 0; ++next) {
        if (Is(argv[next], "--dll")) {
            if (!ParseDll(argc, argv, next, line)) {
                return line;
            }
            continue;
        }
        if (!TakeCredential(argc, argv, next, "targets", targets.chap, error)) {
            return Refused(error);
        }
    }
    if (!vxd::credentials::CheckOptions(targets.chap, error)) {
        return Refused(error);
    }
    // Discovery has one secret: the target's user name and secret for the portal.
    if (!targets.chap.initiatorSecretFile.empty() || targets.chap.mutual ||
        targets.chap.discovery) {
        return Refused("targets takes --chap-user and its secret alone: its CHAP is always the "
                       "portal's discovery CHAP");
    }
    const int positional = argc - next;
    if (positional > 2 || (positional == 0 && targets.chap.Any())) {
        return Refused(positional > 2 ? "targets expects [PORTAL [PORT]], got " +
                                            std::to_string(positional) + " arguments"
                                      : std::string("discovery CHAP needs a PORTAL"));
    }
    if (positional == 2 && !ParsePort(argv[next + 1], targets.port, error)) {
        return Refused(error);
    }
    targets.portal = positional > 0 ? argv[next] : "";
    line.command = Command::kTargets;
    return line;
}

} // namespace

CommandLine ParseCommandLine(int argc, const char *const *argv) {
    CommandLine line;
    int next = 1;
    if (next < argc && (Is(argv[next], "--help") || Is(argv[next], "-h") || Is(argv[next], "/?"))) {
        line.command = Command::kHelp;
        return line;
    }
    MountOptions &mount = line.mount;
    for (; next < argc; ++next) {
        if (Is(argv[next], "--dll")) {
            if (!ParseDll(argc, argv, next, line)) {
                return line;
            }
        } else if (Is(argv[next], "--check")) {
            mount.check = true;
        } else if (Is(argv[next], "--timestamps")) {
            mount.timestamps = true;
        } else {
            break;
        }
    }
    if (next + 1 == argc && Is(argv[next], "--version")) {
        line.command = Command::kVersion;
        return line;
    }
    if (next < argc && Is(argv[next], "targets") && !mount.check && !mount.timestamps) {
        return ParseTargets(argc, argv, next + 1, line);
    }
    if (next < argc && (Is(argv[next], "attach") || Is(argv[next], "detach"))) {
        // The checks and the timestamps follow CreateVXD's trace, which the calls do not write;
        // an attach has a check of its own, after its name.
        if (mount.check && Is(argv[next], "attach")) {
            return Refused("--check goes after attach (vxdhost attach --check ...): before it, "
                           "it checks a CreateVXD request");
        }
        if (mount.check || mount.timestamps) {
            return Refused(std::string(mount.check ? "--check" : "--timestamps") +
                           " goes with a CreateVXD request, not with " + argv[next]);
        }
        return Is(argv[next], "attach") ? ParseAttach(argc, argv, next + 1, line)
                                        : ParseDetach(argc, argv, next + 1, line);
    }
    const int positional = argc - next;
    if (positional < 3 || positional > 5) {
        return Refused("expected 3 to 5 arguments, got " + std::to_string(positional));
    }
    mount.portal = argv[next];
    mount.port = argv[next + 1];
    mount.target = argv[next + 2];
    if (positional >= 4) {
        mount.extra1 = argv[next + 3];
    }
    if (positional == 5) {
        mount.extra2 = argv[next + 4];
    }
    line.command = Command::kMount;
    return line;
}

} // namespace vxdhost
