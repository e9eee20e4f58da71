#include "tools/vxdmount/runner.h"

#include <cstdio>

#include "entry/vxdmount.h"
#include "tools/vxdmount/scenario.h"

namespace vxd::runner {
namespace {

const char kUsage[] = "usage: vxdmount [--scenario FILE] [--timeline] [--real-time] "
                      "[PORTAL PORT TARGET [EXTRA1 [EXTRA2]]]\n";

const char kHelp[] =
    "Runs one CreateVXD call against a simulated machine and prints its trace lines.\n"
    "\n"
    "  --scenario FILE  the machine described in FILE instead of the built-in one (JSON;\n"
    "                   the format: scenarios/scenario.schema.json)\n"
    "  --timeline       prefix each line with the virtual time and show the platform calls\n"
    "  --real-time      really sleep, so the polls can be watched\n"
    "  --               end of options (for a positional argument that begins with '-')\n"
    "\n"
    "Without positional arguments: 192.0.2.10 3260 iqn.2026-12.com.example:disk1 \"\" \"\".\n"
    "Exit status: 0 CreateVXD returned 1, 1 it returned 0, 2 usage or scenario error.\n";

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

} // namespace

std::string TimelineStamp(sim::Ms at) { return "[" + Seconds(at) + "s] "; }

bool ParseArguments(const std::vector<std::string> &arguments, Options &options,
                    std::string &error) {
    std::vector<std::string> positional;
    bool optionsEnded = false;
    for (std::size_t i = 0; i < arguments.size(); ++i) {
        const std::string &argument = arguments[i];
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
        } else if (argument == "--scenario" || argument.rfind("--scenario=", 0) == 0) {
            if (argument == "--scenario") {
                options.scenarioPath = i + 1 < arguments.size() ? arguments[++i] : std::string();
            } else {
                options.scenarioPath = argument.substr(std::string("--scenario=").size());
            }
            if (options.scenarioPath.empty()) {
                error = "--scenario needs a FILE";
                return false;
            }
        } else {
            error = "unknown option \"" + argument + "\"";
            return false;
        }
    }
    if (positional.empty()) {
        return true;
    }
    if (positional.size() < 3 || positional.size() > 5) {
        error = "expected no positional arguments or PORTAL PORT TARGET [EXTRA1 [EXTRA2]], got " +
                std::to_string(positional.size());
        return false;
    }
    options.portalAddress = positional[0];
    options.portalPort = positional[1];
    options.targetName = positional[2];
    options.extra1 = positional.size() > 3 ? positional[3] : std::string();
    options.extra2 = positional.size() > 4 ? positional[4] : std::string();
    return true;
}

int RunVxdMount(const std::vector<std::string> &arguments, std::ostream &out, std::ostream &err) {
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
    // Each line is flushed as it comes, so a --real-time run can be watched.
    machine.onTrace = [&](const sim::TraceLine &line) {
        if (options.timeline) {
            out << TimelineStamp(line.at);
        }
        out << line.text << std::endl;
    };
    if (options.timeline) {
        machine.onCall = [&](const sim::CallRecord &call) {
            out << TimelineStamp(call.at) << "    " << call.text << std::endl;
        };
    }

    const int result =
        CreateVXD(options.portalAddress.c_str(), options.portalPort.c_str(),
                  options.targetName.c_str(), options.extra1.c_str(), options.extra2.c_str());

    const std::string drive = ProbedDrive(machine);
    err << "vxdmount: result " << result << ", "
        << (drive.empty() ? std::string("no drive letter") : "drive " + drive) << ", virtual time "
        << Trimmed(Seconds(machine.Now())) << "s\n";
    return result == 1 ? kExitMounted : kExitFailed;
}

} // namespace vxd::runner
