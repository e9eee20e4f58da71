// What the library's own code costs: instructions counted by callgrind (the same on a busy
// machine as on an idle one), heap allocations counted by DHAT, and the size of the product
// DLL. Run without arguments it runs itself under valgrind once per scenario and measurement,
// prints a table and writes the numbers as JSON.
//
//   vxd_bench [--json FILE] [--dll PRESET=PATH]...   (each Windows build's DLL, as it ships)
//   vxd_bench --scenario NAME      one call on the named machine (what valgrind runs): CreateVXD,
//                                  or VxdAttach for a name that starts with "attach-"
//
// Library and machine are told apart at the platform seam: callgrind collects inside the export
// with collection switched off in every vxd::platform:: function (the simulated machine's entry
// points), and a second run collects only inside those functions to show the machine's share.
// DHAT records the call stack of every allocation; an allocation counts for the library when
// its stack holds the export and no frame of the platform layer or the simulated machine.
// Costs per poll are differences between two mounts that differ only in the number of polls.
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "entry/vxdmount.h"
#include "platform/sim/sim_machine.h"

namespace {

namespace fs = std::filesystem;
using vxd::sim::DriveSetup;
using vxd::sim::Machine;

constexpr unsigned long long kPollsApart = 100;
constexpr char kAttachPrefix[] = "attach-";

// The export a scenario calls: VxdAttach for the "attach-" ones, else CreateVXD.
std::string ExportOf(const std::string &scenario) {
    return scenario.rfind(kAttachPrefix, 0) == 0 ? "VxdAttach" : "CreateVXD";
}

// The machines measured. "volume-after-K": the volume F on the session's disk gets its letter
// K.5 s after the login, so the wait polls K+1 times without change and then matches.
// "stray-after-K": a letter G on another disk appears K.5 s after the login and the volume
// never does, so every later poll opens G's volume and finds it on the wrong disk.
bool SetUpMachine(const std::string &scenario, Machine &machine) {
    machine.AddDrive('C', 0).AddDrive('D', 1);
    machine.onLogin.disks = {2};
    auto arrivingAfter = [&](const std::string &prefix, char letter, unsigned disk) {
        if (scenario.rfind(prefix, 0) != 0) {
            return false;
        }
        DriveSetup drive;
        drive.letter = letter;
        drive.disk = disk;
        const unsigned long long seconds = std::stoull(scenario.substr(prefix.size()));
        machine.onLogin.drives.push_back({drive, seconds * 1000 + 500});
        return true;
    };
    // Two paths to one disk, with multipath I/O: the volume arrives 1.5 s after the logins.
    if (scenario == "two-paths") {
        machine.mpio = true;
        DriveSetup drive;
        drive.letter = 'F';
        drive.disk = 2;
        machine.onLogin.drives.push_back({drive, 1500});
        return true;
    }
    if (scenario == "existing-mount") {
        machine.AddDrive('E', 2);
        machine.AddSession("iqn.2026-12.com.example:disk1", {2});
        machine.loginStatuses = {0xEFFF003F};
        return true;
    }
    return arrivingAfter("volume-after-", 'F', 2) || arrivingAfter("stray-after-", 'G', 7);
}

int RunScenario(const std::string &scenario) {
    Machine machine;
    const bool attach = ExportOf(scenario) == "VxdAttach";
    if (!SetUpMachine(attach ? scenario.substr(sizeof kAttachPrefix - 1) : scenario, machine)) {
        std::fprintf(stderr, "vxd_bench: unknown scenario \"%s\"\n", scenario.c_str());
        return 2;
    }
    if (!attach) {
        CreateVXD("192.0.2.10", "3260", "iqn.2026-12.com.example:disk1", "", "");
        return 0;
    }
    VxdAttachRequest request{};
    request.size = sizeof request;
    request.portalAddress = "192.0.2.10";
    request.portalPort = 3260;
    request.targetName = "iqn.2026-12.com.example:disk1";
    const VxdPortal second = {"192.0.2.11", 3260};
    if (scenario == "attach-two-paths") {
        request.flags = VXD_ATTACH_MULTIPATH;
        request.extraPortals = &second;
        request.extraPortalCount = 1;
    }
    VxdAttachResult result{};
    result.size = sizeof result;
    return VxdAttach(&request, &result) == VXD_STATUS_OK ? 0 : 1;
}

struct Cost {
    long long libraryInstructions = 0;
    long long machineInstructions = 0;
    long long libraryAllocations = 0;
    long long libraryBytes = 0;
};

Cost operator-(const Cost &a, const Cost &b) {
    return {a.libraryInstructions - b.libraryInstructions,
            a.machineInstructions - b.machineInstructions,
            a.libraryAllocations - b.libraryAllocations, a.libraryBytes - b.libraryBytes};
}

Cost PerPoll(const Cost &difference) {
    const auto n = static_cast<long long>(kPollsApart);
    return {difference.libraryInstructions / n, difference.machineInstructions / n,
            difference.libraryAllocations / n, difference.libraryBytes / n};
}

std::string Quote(const std::string &text) { return "'" + text + "'"; }

bool Run(const std::string &command) {
    if (std::system(command.c_str()) != 0) {
        std::fprintf(stderr, "vxd_bench: failed: %s\n", command.c_str());
        return false;
    }
    return true;
}

// The "totals:" line of a callgrind profile: the instructions collected.
long long CallgrindTotal(const fs::path &profile) {
    std::ifstream in(profile);
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind("totals:", 0) == 0) {
            return std::stoll(line.substr(7));
        }
    }
    return -1;
}

// Lazy symbol binding would charge the first call of each library function to whoever made it.
const char *const kValgrind = "LD_BIND_NOW=1 valgrind -q ";

bool Measure(const fs::path &self, const fs::path &work, const std::string &scenario, Cost &cost) {
    const std::string program = Quote(self.string()) + " --scenario " + scenario;
    const std::string entry = ExportOf(scenario);
    const fs::path library = work / (scenario + ".library.callgrind");
    const fs::path machine = work / (scenario + ".machine.callgrind");
    const fs::path heap = work / (scenario + ".dhat.json");
    if (!Run(std::string(kValgrind) +
             "--tool=callgrind --callgrind-out-file=" + Quote(library.string()) +
             " --toggle-collect=" + entry + " '--toggle-collect=vxd::platform::*' " + program) ||
        !Run(std::string(kValgrind) +
             "--tool=callgrind --callgrind-out-file=" + Quote(machine.string()) +
             " --collect-atstart=no "
             "'--toggle-collect=vxd::platform::*' " +
             program) ||
        !Run(std::string(kValgrind) + "--tool=dhat --num-callers=64 --dhat-out-file=" +
             Quote(heap.string()) + " " + program)) {
        return false;
    }
    cost.libraryInstructions = CallgrindTotal(library);
    cost.machineInstructions = CallgrindTotal(machine);

    std::ifstream in(heap);
    const nlohmann::json profile = nlohmann::json::parse(in, nullptr, false);
    if (profile.is_discarded() || cost.libraryInstructions < 0 || cost.machineInstructions < 0) {
        std::fprintf(stderr, "vxd_bench: unreadable profiles for %s\n", scenario.c_str());
        return false;
    }
    // VxdAttach jumps to its call boundary as its last act, so its own frame is gone from the
    // stacks that DHAT records below it; the boundary's instance stands for it there.
    const std::string callBoundary =
        entry == "VxdAttach" ? "vxd::RunCall<vxd::(anonymous namespace)::AttachCall," : "";
    const auto &frames = profile["ftbl"];
    for (const auto &point : profile["pps"]) {
        bool inRequest = false;
        bool inMachine = false;
        for (const auto &index : point["fs"]) {
            const std::string frame = frames[index.get<std::size_t>()].get<std::string>();
            inRequest = inRequest || frame.find(": " + entry + " ") != std::string::npos ||
                        (!callBoundary.empty() && frame.find(callBoundary) != std::string::npos);
            // Names start after ": "; a library function may take a vxd::platform:: record.
            inMachine = inMachine || frame.find(": vxd::platform::") != std::string::npos ||
                        frame.find(": vxd::sim::") != std::string::npos;
        }
        if (inRequest && !inMachine) {
            cost.libraryAllocations += point["tbk"].get<long long>();
            cost.libraryBytes += point["tb"].get<long long>();
        }
    }
    return true;
}

// A built DLL's size; the builds link it without symbols, as it ships. -1 when it is not built.
long long FileSize(const std::string &path) {
    std::error_code error;
    const std::uintmax_t size = fs::file_size(path, error);
    return error ? -1 : static_cast<long long>(size);
}

// PRESET=PATH of a --dll option.
using Dlls = std::vector<std::pair<std::string, std::string>>;

int Report(const std::string &jsonPath, const Dlls &dlls) {
    const fs::path self = fs::canonical("/proc/self/exe");
    const fs::path work = self.parent_path() / "profiles";
    fs::create_directories(work);

    const std::string quietWait = "volume-after-" + std::to_string(1 + kPollsApart);
    const std::string strayEarly = "stray-after-1";
    const std::string strayLate = "stray-after-" + std::to_string(1 + kPollsApart);
    std::map<std::string, Cost> costs;
    const std::string attachQuietWait = kAttachPrefix + quietWait;
    for (const std::string &scenario :
         {std::string("volume-after-1"), quietWait, strayEarly, strayLate,
          std::string("existing-mount"), std::string("attach-volume-after-1"), attachQuietWait,
          std::string("attach-existing-mount"), std::string("attach-two-paths")}) {
        std::fprintf(stderr, "measuring %s\n", scenario.c_str());
        if (!Measure(self, work, scenario, costs[scenario])) {
            return 1;
        }
    }
    const Cost quietPoll = PerPoll(costs[quietWait] - costs["volume-after-1"]);
    const Cost attachQuietPoll = PerPoll(costs[attachQuietWait] - costs["attach-volume-after-1"]);
    const Cost strayExtra = PerPoll(costs[strayEarly] - costs[strayLate]);
    Cost strayPoll = quietPoll;
    strayPoll.libraryInstructions += strayExtra.libraryInstructions;
    strayPoll.machineInstructions += strayExtra.machineInstructions;
    strayPoll.libraryAllocations += strayExtra.libraryAllocations;
    strayPoll.libraryBytes += strayExtra.libraryBytes;

    struct Row {
        const char *key;
        const char *what;
        Cost cost;
    };
    const std::vector<Row> rows = {
        {"poll_unchanged", "one poll of the volume wait, no new letter", quietPoll},
        {"poll_new_letter_elsewhere", "one poll, a new letter on another disk", strayPoll},
        {"mount_fresh", "whole mount, fresh login (3 polls)", costs["volume-after-1"]},
        {"mount_existing", "whole mount, target already logged in", costs["existing-mount"]},
        {"attach_poll_unchanged", "VxdAttach: one poll of the letter wait, no change",
         attachQuietPoll},
        {"attach_fresh", "VxdAttach: whole attach, fresh login (3 polls)",
         costs["attach-volume-after-1"]},
        {"attach_existing", "VxdAttach: whole attach, already logged in",
         costs["attach-existing-mount"]},
        {"attach_two_paths", "VxdAttach: whole attach, two paths (multipath)",
         costs["attach-two-paths"]},
    };

    // Markdown, so docs/cost.md can show it as printed.
    std::printf("| %-50s | %12s | %19s | %12s |\n", "library code", "instructions",
                "allocations (bytes)", "machine's own");
    std::printf("|%s|%s:|%s:|%s:|\n", std::string(52, '-').c_str(), std::string(13, '-').c_str(),
                std::string(20, '-').c_str(), std::string(13, '-').c_str());
    nlohmann::json json;
    for (const Row &row : rows) {
        const std::string allocations = std::to_string(row.cost.libraryAllocations) + " (" +
                                        std::to_string(row.cost.libraryBytes) + ")";
        std::printf("| %-50s | %12lld | %19s | %12lld |\n", row.what, row.cost.libraryInstructions,
                    allocations.c_str(), row.cost.machineInstructions);
        json[row.key] = {{"library_instructions", row.cost.libraryInstructions},
                         {"library_allocations", row.cost.libraryAllocations},
                         {"library_allocated_bytes", row.cost.libraryBytes},
                         {"machine_instructions", row.cost.machineInstructions}};
    }
    std::printf("\n| %-50s | %12s |\n|%s|%s:|\n", "product", "bytes", std::string(52, '-').c_str(),
                std::string(13, '-').c_str());
    for (const auto &[preset, path] : dlls) {
        const std::string what = "vxdmount.dll (" + preset + " preset), as shipped";
        const long long size = FileSize(path);
        if (size >= 0) {
            std::printf("| %-50s | %12lld |\n", what.c_str(), size);
            json["dll_bytes"][preset] = size;
        } else {
            std::printf("| %-50s | %12s |\n", what.c_str(), "not built");
            json["dll_bytes"][preset] = nullptr;
        }
    }
    std::ofstream out(jsonPath);
    out << json.dump(2) << "\n";
    std::printf("\nwritten to %s\n", jsonPath.c_str());
    return out ? 0 : 1;
}

} // namespace

int main(int argc, char **argv) {
    std::string jsonPath = (fs::canonical("/proc/self/exe").parent_path() / "bench.json").string();
    Dlls dlls;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string option = argv[i];
        const std::string value = argv[i + 1];
        if (option == "--scenario") {
            return RunScenario(value);
        }
        const std::size_t equals = value.find('=');
        if (option == "--json") {
            jsonPath = value;
        } else if (option == "--dll" && equals != std::string::npos) {
            dlls.emplace_back(value.substr(0, equals), value.substr(equals + 1));
        } else {
            std::fprintf(stderr, "vxd_bench: unknown option %s %s\n", option.c_str(),
                         value.c_str());
            return 2;
        }
    }
    if (argc % 2 == 0) {
        std::fprintf(stderr, "usage: vxd_bench [--json FILE] [--dll PRESET=PATH]...\n");
        return 2;
    }
    return Report(jsonPath, dlls);
}
