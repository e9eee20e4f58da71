#include "tools/vxdmount/runner.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "entry/statuses.h"
#include "entry/vxdmount.h"
#include "platform/unique_handle.h"
#include "tools/vxdmount/scenario.h"

namespace vxd::runner {
namespace {

const char kUsage[] =
    "usage: vxdmount [--scenario FILE] [--timeline] [--real-time] "
    "[PORTAL PORT TARGET [EXTRA1 [EXTRA2]]]\n"
    "       vxdmount attach [--device-wait S] [--letter-wait S] [--keep-on-failure] "
    "[--online] [--assign-letter] [--mount-folder DIR] [--multipath [--portal ADDR[:PORT]]...] "
    "[--lun N] [--no-login] "
    "[--initiator INSTANCE[:PORT]] [--cancel-at MS] [--chap-user NAME "
    "(--chap-secret-file FILE | --chap-secret-stdin) "
    "[--initiator-secret-file FILE] [--discovery-chap] [--mutual-chap]] "
    "[--scenario FILE] [--timeline] [--real-time] [PORTAL PORT TARGET]\n"
    "       vxdmount detach [--force] [--remove-portal PORTAL PORT] [--lun N] [--scenario FILE] "
    "[--timeline] [--real-time] [TARGET]\n"
    "       vxdmount targets [--chap-user NAME (--chap-secret-file FILE | --chap-secret-stdin)] "
    "[--scenario FILE] [--timeline] [--real-time] [PORTAL [PORT]]\n";

const char kHelp[] =
    "Runs one call of vxdmount.dll's logic against a simulated machine: CreateVXD, whose trace\n"
    "lines it prints, or with \"attach\" or \"detach\" VxdAttach or VxdDetach, whose progress\n"
    "lines it prints (an attach then its drive letters, \"F: H:\").\n"
    "\n"
    "  --scenario FILE        the machine described in FILE instead of the built-in one (JSON;\n"
    "                         the format: scenarios/scenario.schema.json)\n"
    "  --timeline             prefix each line with the virtual time and show the platform calls\n"
    "  --real-time            really sleep, so the polls can be watched\n"
    "  --                     end of options (for a positional argument that begins with '-')\n"
    "attach:\n"
    "  --device-wait S        how long to wait for the session's disks (default 60 s)\n"
    "  --letter-wait S        how long to wait for their volumes' letters (default 120 s)\n"
    "  --keep-on-failure      leave a login that the call made when it fails\n"
    "  --online               bring the target's offline or read-only disks online and\n"
    "                         writable (never on a cluster's shared disks)\n"
    "  --assign-letter        give a volume without a letter the first free one, D to Z\n"
    "  --mount-folder DIR     mount the target's one volume at the empty folder DIR\n"
    "  --multipath            log in through PORTAL and each --portal, multipath enabled\n"
    "  --portal ADDR[:PORT]   one more portal of the target (up to 7)\n"
    "  --lun N                wait for, and answer with, the disk of LUN N alone\n"
    "  --no-login             re-open the target as it is attached: no registration, no login\n"
    "  --initiator INSTANCE[:PORT]  register and log in through this initiator instance\n"
    "  --cancel-at MS         signal the call's cancel event at this virtual time\n"
    "  --chap-user NAME       log in with CHAP as NAME, with the secret from one of:\n"
    "  --chap-secret-file FILE  the file's bytes, but for one line end at the end\n"
    "  --chap-secret-stdin    standard input's, the same way (a pipe or a file)\n"
    "  --initiator-secret-file FILE  set the machine's initiator secret first (for every\n"
    "                         target) and log in with mutual CHAP\n"
    "  --mutual-chap          mutual CHAP with the secret that the machine has\n"
    "  --discovery-chap       the same credentials for the portal's discovery session\n"
    "                         No option takes a secret itself: the command line is no place\n"
    "                         for one.\n"
    "detach:\n"
    "  --force                dismount volumes in use all the same\n"
    "  --remove-portal PORTAL PORT  remove the send-target portal too\n"
    "  --lun N                take away LUN N's volumes; log out only when no other LUN of\n"
    "                         the target has a mounted volume\n"
    "targets:                 the targets that PORTAL offers (VxdListTargets), one a line;\n"
    "                         without PORTAL those the initiator knows\n"
    "\n"
    "Without positional arguments: 192.0.2.10 3260 iqn.2026-12.com.example:disk1 (\"\" \"\").\n"
    "Exit status: 0 CreateVXD returned 1, or done; 1 CreateVXD returned 0, or failed;\n"
    "2 usage or scenario error; 3 the attach was cancelled.\n";

constexpr unsigned long long kMostMilliseconds = 0xFFFFFFFFull;   // a 32-bit count
constexpr unsigned long long kMostCancelAt = 9223372036854775807; // as a scenario's times

std::string Seconds(sim::Ms ms) {
    char text[32];
    std::snprintf(text, sizeof text, "%3llu.%03llu", static_cast<unsigned long long>(ms / 1000),
                  static_cast<unsigned long long>(ms % 1000));
    return text;
}

std::string Trimmed(const std::string &text) {
    const std::size_t first = text.find_first_not_of(' ');
    return first == std::string::npos ? text : text.substr(first);
}

// The letter whose root the request probed last; none when it never got that far.
std::string ProbedDrive(const sim::Machine &machine) {
    const std::vector<sim::CallRecord> probes = machine.CallsTo("GetDriveTypeA");
    if (probes.empty()) {
        return std::string();
    }
    return probes.back().String("lpRootPathName").substr(0, 2);
}

// A whole number from 0 to `most`, in decimal digits and nothing else.
bool ParseWhole(const std::string &text, unsigned long long most, unsigned long long &value) {
    if (text.empty() || text.size() > 19) {
        return false;
    }
    value = 0;
    for (const char digit : text) {
        if (digit < '0' || digit > '9') {
            return false;
        }
        value = value * 10 + static_cast<unsigned long long>(digit - '0');
    }
    return value <= most;
}

// Seconds such as "5" or "2.5" (three decimals at most), in milliseconds that a 32-bit count
// holds, as the request's fields do on Windows.
bool ParseSeconds(const std::string &text, unsigned long &milliseconds) {
    const std::size_t point = text.find('.');
    const std::string fraction = point == std::string::npos ? "" : text.substr(point + 1);
    unsigned long long whole = 0;
    unsigned long long thousandths = 0;
    if (!ParseWhole(text.substr(0, point), kMostMilliseconds, whole) || fraction.size() > 3 ||
        (point != std::string::npos && fraction.empty()) ||
        (point != std::string::npos &&
         !ParseWhole(fraction + std::string(3 - fraction.size(), '0'), 999, thousandths))) {
        return false;
    }
    const unsigned long long total = whole * 1000 + thousandths;
    if (total > kMostMilliseconds) {
        return false;
    }
    milliseconds = static_cast<unsigned long>(total);
    return true;
}

bool IsPort(const std::string &text) {
    unsigned long long port = 0;
    return ParseWhole(text, 65535, port);
}

// A port that IsPort has accepted.
unsigned short PortOf(const std::string &text) {
    unsigned long long port = 0;
    ParseWhole(text, 65535, port);
    return static_cast<unsigned short>(port);
}

// Whether arguments[i] is the option `name`; its value, "--name VALUE" or "--name=VALUE", goes
// to `value`, empty when there is none.
bool IsOption(const std::vector<std::string> &arguments, std::size_t &i, const std::string &name,
              std::string &value) {
    const std::string &argument = arguments[i];
    if (argument == name) {
        value = i + 1 < arguments.size() ? arguments[++i] : std::string();
        return true;
    }
    if (argument.rfind(name + "=", 0) == 0) {
        value = argument.substr(name.size() + 1);
        return true;
    }
    return false;
}

// The files and the standard input that an attach's secrets come from.
struct DescriptorTraits {
    using Value = int;
    static Value Invalid() { return -1; }
    static void Close(Value descriptor) { close(descriptor); }
};

class SecretFiles : public credentials::SecretSource {
  public:
    explicit SecretFiles(int standardInput) : standardInput_(standardInput) {}

    bool OpenFile(const std::string &path, std::string &error) override {
        file_.reset(open(path.c_str(), O_RDONLY | O_CLOEXEC));
        if (!file_) {
            error = std::strerror(errno);
            return false;
        }
        reading_ = file_.get();
        return true;
    }
    bool OpenStandardInput(std::string &error) override {
        if (isatty(standardInput_) != 0) {
            error = "it is a terminal, which would show the secret as it is typed: pipe it in, or "
                    "use --chap-secret-file";
            return false;
        }
        reading_ = standardInput_;
        return true;
    }
    long Read(unsigned char *into, std::size_t size, std::string &error) override {
        for (;;) {
            const ssize_t count = read(reading_, into, size);
            if (count >= 0) {
                return static_cast<long>(count);
            }
            if (errno != EINTR) {
                error = std::strerror(errno);
                return -1;
            }
        }
    }

  private:
    int standardInput_;
    UniqueAny<DescriptorTraits> file_;
    int reading_ = -1;
};

// "--lun N", which attach and detach share: false with `error` set for a bad value.
bool TakeLun(const std::string &value, Options &options, std::string &error) {
    unsigned long long lun = 0;
    if (!ParseWhole(value, 255, lun)) {
        error = "--lun needs a LUN from 0 to 255";
        return false;
    }
    options.lun = static_cast<unsigned long>(lun);
    options.flags |= options.command == Command::kAttach ? VXD_ATTACH_ONE_LUN : VXD_DETACH_ONE_LUN;
    return true;
}

// The options of attach and detach; false with `error` set for a bad value, or with `error`
// empty for an option that the command does not have.
bool CommandOption(const std::vector<std::string> &arguments, std::size_t &i, Options &options,
                   std::string &error) {
    const std::string &argument = arguments[i];
    std::string value;
    if (options.command != Command::kCreateVxd && IsOption(arguments, i, "--lun", value)) {
        return TakeLun(value, options, error);
    }
    if (options.command == Command::kAttach || options.command == Command::kTargets) {
        bool usedNext = false;
        const char *next = i + 1 < arguments.size() ? arguments[i + 1].c_str() : nullptr;
        switch (credentials::ParseOption(argument, next, usedNext, options.chap, error)) {
        case credentials::Parsed::kTaken:
            i += usedNext ? 1 : 0;
            return true;
        case credentials::Parsed::kRefused:
            return false;
        case credentials::Parsed::kNotCredential:
            break;
        }
    }
    if (options.command == Command::kAttach) {
        if (argument == "--keep-on-failure") {
            options.keepOnFailure = true;
            return true;
        }
        if (argument == "--no-login" || argument == "--multipath") {
            options.flags |= argument == "--no-login" ? VXD_ATTACH_NO_LOGIN : VXD_ATTACH_MULTIPATH;
            return true;
        }
        if (IsOption(arguments, i, "--portal", value)) {
            const std::size_t colon = value.find(':');
            if (value.empty() || colon == 0 ||
                (colon != std::string::npos && !IsPort(value.substr(colon + 1)))) {
                error = "--portal needs ADDR[:PORT], such as 192.0.2.11:3260";
                return false;
            }
            options.extraPortals.emplace_back(
                value.substr(0, colon),
                colon == std::string::npos ? 0 : PortOf(value.substr(colon + 1)));
            return true;
        }
        if (IsOption(arguments, i, "--initiator", value)) {
            const std::size_t colon = value.rfind(':');
            unsigned long long port = 0xFFFFFFFF;
            if (colon == 0 || value.empty() ||
                (colon != std::string::npos &&
                 !ParseWhole(value.substr(colon + 1), 0xFFFFFFFE, port))) {
                error = "--initiator needs INSTANCE[:PORT], such as ROOT\\ISCSIPRT\\0000_0:1";
                return false;
            }
            options.initiatorInstance = value.substr(0, colon);
            options.initiatorPort = static_cast<unsigned long>(port);
            return true;
        }
        if (argument == "--online" || argument == "--assign-letter") {
            options.flags |=
                argument == "--online" ? VXD_ATTACH_BRING_ONLINE : VXD_ATTACH_ASSIGN_LETTER;
            return true;
        }
        if (IsOption(arguments, i, "--mount-folder", value)) {
            if (value.empty()) {
                error = "--mount-folder needs a folder such as C:\\mnt\\data";
                return false;
            }
            options.mountFolder = value;
            return true;
        }
        if (IsOption(arguments, i, "--device-wait", value) ||
            IsOption(arguments, i, "--letter-wait", value)) {
            const bool device = argument.rfind("--device-wait", 0) == 0;
            if (!ParseSeconds(value, device ? options.deviceWaitMs : options.letterWaitMs)) {
                error = std::string(device ? "--device-wait" : "--letter-wait") +
                        " needs seconds such as 5 or 2.5, at most 4294967.295";
            }
            return error.empty();
        }
        if (IsOption(arguments, i, "--cancel-at", value)) {
            unsigned long long at = 0;
            if (!ParseWhole(value, kMostCancelAt, at)) {
                error = "--cancel-at needs a whole number of milliseconds";
                return false;
            }
            options.cancelAtMs = at;
            return true;
        }
    } else if (options.command == Command::kDetach) {
        if (argument == "--force") {
            options.force = true;
            return true;
        }
        if (argument == "--remove-portal") {
            if (i + 2 >= arguments.size() || !IsPort(arguments[i + 2])) {
                error = "--remove-portal needs PORTAL and PORT, a whole number from 0 to 65535";
                return false;
            }
            options.removePortal = true;
            options.portalAddress = arguments[++i];
            options.portalPort = arguments[++i];
            return true;
        }
    }
    return false;
}

bool TakePositional(const std::vector<std::string> &positional, Options &options,
                    std::string &error) {
    if (positional.empty()) {
        return true;
    }
    switch (options.command) {
    case Command::kCreateVxd:
        if (positional.size() < 3 || positional.size() > 5) {
            error = "expected no positional arguments or PORTAL PORT TARGET [EXTRA1 [EXTRA2]], "
                    "got " +
                    std::to_string(positional.size());
            return false;
        }
        options.extra1 = positional.size() > 3 ? positional[3] : std::string();
        options.extra2 = positional.size() > 4 ? positional[4] : std::string();
        break;
    case Command::kAttach:
        if (positional.size() != 3) {
            error = "attach expects no positional arguments or PORTAL PORT TARGET, got " +
                    std::to_string(positional.size());
            return false;
        }
        if (!IsPort(positional[1])) {
            error = "PORT \"" + positional[1] + "\" is not a whole number from 0 to 65535";
            return false;
        }
        break;
    case Command::kTargets:
        if (positional.size() > 2 || (positional.size() == 2 && !IsPort(positional[1]))) {
            error = positional.size() > 2
                        ? "targets expects no positional arguments or PORTAL "
                          "[PORT], got " +
                              std::to_string(positional.size())
                        : "PORT \"" + positional[1] + "\" is not a whole number from 0 to 65535";
            return false;
        }
        options.portalAddress = positional[0];
        options.portalPort = positional.size() == 2 ? positional[1] : "3260";
        return true;
    case Command::kDetach:
        if (positional.size() != 1) {
            error = "detach expects no positional arguments or TARGET, got " +
                    std::to_string(positional.size());
            return false;
        }
        options.targetName = positional[0];
        return true;
    }
    options.portalAddress = positional[0];
    options.portalPort = positional[1];
    options.targetName = positional[2];
    return true;
}

// What a run prints on stdout: lines of the call, stamped with the virtual time in a timeline.
struct Printer {
    std::ostream &out;
    const sim::Machine &machine;
    bool timeline;

    // Each line is flushed as it comes, so a --real-time run can be watched.
    void Line(const std::string &text, sim::Ms at) {
        if (timeline) {
            out << TimelineStamp(at);
        }
        out << text << std::endl;
    }
};

void VXDMOUNT_CALL PrintProgress(void *context, const char *line) {
    auto *printer = static_cast<Printer *>(context);
    printer->Line(line, printer->machine.Now());
}

// "vxdmount: VxdAttach returned VXD_STATUS_LOGIN_FAILED, service status 0xEFFF0029, virtual
// time 1.000s"
std::string Closing(const char *call, int status, unsigned long serviceStatus, sim::Ms now) {
    const StatusName *name = FindStatusName(status);
    std::string line = std::string("vxdmount: ") + call + " returned " +
                       (name == nullptr ? "status " + std::to_string(status) : name->name);
    if (serviceStatus != 0) {
        char hex[24];
        std::snprintf(hex, sizeof hex, "0x%lX", serviceStatus);
        line += std::string(", service status ") + hex;
    }
    return line + ", virtual time " + Trimmed(Seconds(now)) + "s\n";
}

int ExitOf(int status) {
    if (status == VXD_STATUS_OK) {
        return kExitMounted;
    }
    return status == VXD_STATUS_CANCELLED ? kExitCancelled : kExitFailed;
}

int RunCreateVxd(const Options &options, sim::Machine &machine, std::ostream &err) {
    const int result =
        CreateVXD(options.portalAddress.c_str(), options.portalPort.c_str(),
                  options.targetName.c_str(), options.extra1.c_str(), options.extra2.c_str());
    const std::string drive = ProbedDrive(machine);
    err << "vxdmount: result " << result << ", "
        << (drive.empty() ? std::string("no drive letter") : "drive " + drive) << ", virtual time "
        << Trimmed(Seconds(machine.Now())) << "s\n";
    return result == 1 ? kExitMounted : kExitFailed;
}

// The secrets that the options name, read before anything is called; false once it said why.
bool ReadSecretsOrSay(const Options &options, int standardInput, credentials::Secrets &secrets,
                      std::ostream &err) {
    std::string error;
    SecretFiles files(standardInput);
    if (!options.chap.Any() || credentials::ReadSecrets(options.chap, files, secrets, error)) {
        return true;
    }
    err << "vxdmount: " << error << "\n";
    return false;
}

int RunAttach(const Options &options, const Scenario &scenario, sim::Machine &machine,
              Printer &printer, std::ostream &err, int standardInput) {
    // Read before anything is called; each copy is wiped when the run ends.
    credentials::Secrets secrets;
    if (!ReadSecretsOrSay(options, standardInput, secrets, err)) {
        return kExitUsage;
    }
    VxdAttachRequest request{};
    request.size = sizeof request;
    request.portalAddress = options.portalAddress.c_str();
    request.portalPort = PortOf(options.portalPort);
    request.targetName = options.targetName.c_str();
    request.deviceWaitMs = options.deviceWaitMs;
    request.letterWaitMs = options.letterWaitMs;
    request.progress = &PrintProgress;
    request.progressContext = &printer;
    request.flags = (options.keepOnFailure ? VXD_ATTACH_KEEP_ON_FAILURE : 0) | options.flags;
    request.mountFolder = options.mountFolder.empty() ? nullptr : options.mountFolder.c_str();
    request.lun = options.lun;
    if (!options.initiatorInstance.empty()) {
        request.initiatorInstance = options.initiatorInstance.c_str();
        request.initiatorPortNumber = options.initiatorPort;
    }
    std::vector<VxdPortal> extraPortals;
    for (const auto &[address, port] : options.extraPortals) {
        extraPortals.push_back(VxdPortal{address.c_str(), port});
    }
    request.extraPortals = extraPortals.empty() ? nullptr : extraPortals.data();
    request.extraPortalCount = static_cast<VxdULong>(extraPortals.size());
    if (!options.mountFolder.empty()) {
        // The simulated machine has the folder, empty, unless the scenario's volume holds it.
        std::string folder = options.mountFolder;
        folder += folder.back() == '\\' ? "" : "\\";
        machine.folders.emplace(folder, true);
    }
    if (options.chap.Any()) {
        request.chapUserName = options.chap.user.c_str();
        request.chapSecret = secrets.chap.Data();
        request.chapSecretLength = static_cast<VxdULong>(secrets.chap.Size());
        if (!options.chap.initiatorSecretFile.empty()) {
            request.initiatorSecret = secrets.initiator.Data();
            request.initiatorSecretLength = static_cast<VxdULong>(secrets.initiator.Size());
        }
        request.flags |= credentials::AttachFlags(options.chap);
    }
    // A host that can cancel hands over an event; without a time to signal it there is none, and
    // the call sleeps between its polls.
    const std::optional<sim::Ms> cancelAt =
        options.cancelAtMs ? options.cancelAtMs : scenario.cancelAtMs;
    if (cancelAt) {
        request.cancelEvent = machine.CreateEvent();
        machine.SignalEventAt(request.cancelEvent, *cancelAt);
    }
    VxdAttachResult result{};
    result.size = sizeof result;
    const int status = VxdAttach(&request, &result);
    std::string letters;
    for (const char *letter = result.letters; *letter != '\0'; ++letter) {
        letters += (letters.empty() ? "" : " ") + std::string(1, *letter) + ":";
    }
    if (!letters.empty()) {
        printer.Line(letters, machine.Now());
    }
    err << Closing("VxdAttach", status, result.serviceStatus, machine.Now());
    return ExitOf(status);
}

int RunDetach(const Options &options, sim::Machine &machine, Printer &printer, std::ostream &err) {
    VxdDetachRequest request{};
    request.size = sizeof request;
    request.targetName = options.targetName.c_str();
    if (options.removePortal) {
        request.portalAddress = options.portalAddress.c_str();
        request.portalPort = PortOf(options.portalPort);
    }
    request.flags = (options.force ? VXD_DETACH_FORCE : 0) |
                    (options.removePortal ? VXD_DETACH_REMOVE_PORTAL : 0) | options.flags;
    request.lun = options.lun;
    request.progress = &PrintProgress;
    request.progressContext = &printer;
    VxdDetachResult result{};
    result.size = sizeof result;
    const int status = VxdDetach(&request, &result);
    err << Closing("VxdDetach", status, result.serviceStatus, machine.Now());
    return ExitOf(status);
}

// VxdListTargets, asked for the size first as a host does, then the names, one a line.
int RunTargets(const Options &options, sim::Machine &machine, Printer &printer, std::ostream &err,
               int standardInput) {
    credentials::Secrets secrets;
    if (!ReadSecretsOrSay(options, standardInput, secrets, err)) {
        return kExitUsage;
    }
    VxdListTargetsRequest request{};
    request.size = sizeof request;
    request.portalAddress = options.portalAddress.empty() ? nullptr : options.portalAddress.c_str();
    request.portalPort = PortOf(options.portalPort);
    if (options.chap.Any()) {
        request.chapUserName = options.chap.user.c_str();
        request.chapSecret = secrets.chap.Data();
        request.chapSecretLength = static_cast<VxdULong>(secrets.chap.Size());
    }
    request.progress = &PrintProgress;
    request.progressContext = &printer;
    VxdULong size = 0;
    int status = VxdListTargets(&request, nullptr, &size);
    std::vector<char> names;
    if (status == VXD_STATUS_BUFFER_TOO_SMALL) {
        names.assign(size, '\0');
        status = VxdListTargets(&request, names.data(), &size);
    }
    for (std::size_t at = 0; status == VXD_STATUS_OK && at < names.size() && names[at] != '\0';) {
        const std::string target(&names[at]);
        printer.Line(target, machine.Now());
        at += target.size() + 1;
    }
    err << Closing("VxdListTargets", status, 0, machine.Now());
    return ExitOf(status);
}

} // namespace

std::string TimelineStamp(sim::Ms at) { return "[" + Seconds(at) + "s] "; }

bool ParseArguments(const std::vector<std::string> &arguments, Options &options,
                    std::string &error) {
    std::size_t first = 0;
    if (!arguments.empty() &&
        (arguments[0] == "attach" || arguments[0] == "detach" || arguments[0] == "targets")) {
        options.command = arguments[0] == "attach"   ? Command::kAttach
                          : arguments[0] == "detach" ? Command::kDetach
                                                     : Command::kTargets;
        first = 1;
    }
    std::vector<std::string> positional;
    bool optionsEnded = false;
    for (std::size_t i = first; i < arguments.size(); ++i) {
        const std::string &argument = arguments[i];
        std::string value;
        if (optionsEnded || argument.size() < 2 || argument[0] != '-') {
            positional.push_back(argument);
        } else if (argument == "--") {
            optionsEnded = true;
        } else if (argument == "--timeline") {
            options.timeline = true;
        } else if (argument == "--real-time") {
            options.realTime = true;
        } else if (argument == "--help" || argument == "-h") {
            options.help = true;
        } else if (IsOption(arguments, i, "--scenario", value)) {
            options.scenarioPath = value;
            if (options.scenarioPath.empty()) {
                error = "--scenario needs a FILE";
                return false;
            }
        } else if (!CommandOption(arguments, i, options, error)) {
            if (error.empty()) {
                error = "unknown option \"" + credentials::ShownArgument(argument) + "\"";
            }
            return false;
        }
    }
    if (options.command == Command::kTargets) {
        // Discovery has one secret: the target's user name and secret for the portal.
        if (!options.chap.initiatorSecretFile.empty() || options.chap.mutual ||
            options.chap.discovery) {
            error = "targets takes --chap-user and its secret alone: its CHAP is always the "
                    "portal's discovery CHAP";
            return false;
        }
        options.portalAddress.clear();
    }
    return credentials::CheckOptions(options.chap, error) &&
           TakePositional(positional, options, error);
}

int RunVxdMount(const std::vector<std::string> &arguments, std::ostream &out, std::ostream &err,
                int standardInput) {
    Options options;
    std::string error;
    if (!ParseArguments(arguments, options, error)) {
        err << "vxdmount: " << error << "\n" << kUsage;
        return kExitUsage;
    }
    if (options.help) {
        out << kUsage << "\n" << kHelp;
        return kExitMounted;
    }
    Scenario scenario = DefaultScenario();
    if (!options.scenarioPath.empty() && !LoadScenario(options.scenarioPath, scenario, error)) {
        err << "vxdmount: " << error << "\n";
        return kExitUsage;
    }

    sim::Machine machine;
    StageScenario(scenario, machine);
    machine.realTime = options.realTime;
    Printer printer{out, machine, options.timeline};
    if (options.timeline) {
        machine.onCall = [&](const sim::CallRecord &call) {
            printer.Line("    " + call.text, call.at);
        };
    }
    switch (options.command) {
    case Command::kAttach:
        return RunAttach(options, scenario, machine, printer, err, standardInput);
    case Command::kDetach:
        return RunDetach(options, machine, printer, err);
    case Command::kTargets:
        return RunTargets(options, machine, printer, err, standardInput);
    case Command::kCreateVxd:
        break;
    }
    // CreateVXD's trace is the debug channel's, verbatim.
    machine.onTrace = [&](const sim::TraceLine &line) { printer.Line(line.text, line.at); };
    return RunCreateVxd(options, machine, err);
}

} // namespace vxd::runner
