// The scenario format: a JSON file that describes the machine a request runs against, stated
// once in scenarios/scenario.schema.json. The runner stages it on the simulated machine; a
// Windows test kit reads the same files, so these types are the format's own, not a machine's.
//
// Reading validates the text against the schema (embedded at build time), and also rejects a
// repeated key, which the schema cannot see, and a portal or target listed twice. Files are
// written by hand and may be hostile: size and nesting are bounded, nothing recurses as deep as
// the input nests, and every message is one line of bounded length.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace vxd::scenario {

// Far above any real scenario (a few kilobytes, five levels): the most a file may hold, and the
// deepest it may nest, counting the top-level object as level 1.
constexpr std::size_t kMaxScenarioBytes = std::size_t{1} << 20;
constexpr std::size_t kMaxScenarioDepth = 64;

using Status = std::uint32_t;
using Disk = std::uint32_t;
using Ms = std::uint64_t;

struct Drive {
    char letter = 'C';
    Disk disk = 0;        // disk of the volume's first extent
    bool openable = true; // false: opening the volume fails
    bool answers = true;  // false: the extents query fails
};

struct Session {
    std::string target;
    std::vector<Disk> disks; // one device per entry
};

// What a login answered with 0 brings.
struct LoginEffect {
    std::vector<Disk> disks{2};
    Ms devicesAfterMs = 0;
    struct DelayedDrive {
        Drive drive;
        Ms afterMs = 0;
    };
    std::vector<DelayedDrive> drives;
};

struct PortalAnswer {
    std::string address; // as the request writes it
    Status status = 0;
};

struct TargetLogins {
    std::string target; // as the request writes it
    std::vector<Status> loginStatuses;
};

struct DriveEvent {
    Ms at = 0;
    std::optional<Drive> addDrive; // set: add (or replace) this drive
    char removeDrive = '\0';       // otherwise: remove this letter
};

struct Scenario {
    std::vector<Drive> drives;
    Status ikeStatus = 0;
    Status portalStatus = 0; // portals not in `portals`
    std::vector<PortalAnswer> portals;
    std::vector<Status> loginStatuses; // targets not in `targets`; the last repeats
    std::vector<TargetLogins> targets;
    std::vector<Session> sessions;
    LoginEffect onLogin;
    std::vector<DriveEvent> events; // in file order
    // The targets the initiator knows, for the test kit's target report; the runner has no
    // use for it. Unset: see ReportedTargets.
    std::optional<std::vector<std::string>> reportedTargets;
};

// The targets that the initiator reports: "reported_targets" when the file has it, else each
// name of "targets" and then of "sessions", once, in their order, but the empty one.
std::vector<std::string> ReportedTargets(const Scenario &scenario);

// Reads a scenario from JSON text; `fileName` only names the source in error messages.
// On failure returns false, leaves `scenario` alone and sets `error` to one line:
//   FILE:LINE:COLUMN: malformed JSON: PROBLEM   (a NUL byte, wherever it stands, is one)
//   FILE:LINE:COLUMN: nested deeper than 64 levels
//   FILE: larger than 1 MiB ...
//   FILE: PATH: RULE      (PATH such as service.on_login.drives[0]; none for the top level)
// Columns count characters, not a leading byte-order mark; control characters are escaped as
// JSON escapes them, and long values and paths are cut, so that the rule always shows.
bool ParseScenario(const std::string &text, const std::string &fileName, Scenario &scenario,
                   std::string &error);

// Reads the file and parses it as above.
bool LoadScenario(const std::string &path, Scenario &scenario, std::string &error);

// The schema the files are checked against, as embedded from scenarios/scenario.schema.json.
const char *SchemaText();

} // namespace vxd::scenario
