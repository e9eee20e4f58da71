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
    char letter = 'C';        // '\0': a volume without a letter, named by `volume`
    Disk disk = 0;            // disk of the volume's first extent
    bool openable = true;     // false: opening the volume fails
    bool answers = true;      // false: the extents query fails
    bool inUse = false;       // files are open on it: a lock fails until it is dismounted
    Status flushError = 0;    // the Windows error FlushFileBuffers fails with
    Status dismountError = 0; // the Windows error FSCTL_DISMOUNT_VOLUME fails with
    std::string volume{};     // "\\?\Volume{GUID}\" for a volume without a letter
};

struct Session {
    std::string target;
    std::vector<Disk> disks;         // one device per entry
    std::vector<std::uint32_t> luns; // the LUN of each device; past its end, the index
};

// What a login answered with 0 brings.
struct LoginEffect {
    std::vector<Disk> disks{2};
    std::vector<std::uint32_t> luns{0}; // as Session's
    Ms devicesAfterMs = 0;
    struct DelayedDrive {
        Drive drive;
        Ms afterMs = 0;
    };
    std::vector<DelayedDrive> drives;
};

// CHAP credentials that a target, or a portal for discovery, demands. The secret is the
// string's bytes; no message of the reader shows it.
struct Chap {
    std::string user;
    std::string secret;
};

struct PortalAnswer {
    std::string address; // as the request writes it
    Status status = 0;   // when the credentials, if any, are right
    std::optional<Chap> chap;
    std::vector<std::string> targets; // those it offers, in its order
};

// A target's own answers: its logins, its logouts, what its login brings and the credentials
// it demands.
struct TargetLogins {
    std::string target; // as the request writes it
    std::vector<Status> loginStatuses;
    std::optional<std::vector<Status>> logoutStatuses; // unset: the service's
    std::optional<LoginEffect> onLogin;                // unset: the service's
    std::optional<Chap> chap;                          // unset: none needed
    // Mutual CHAP: the secret the target proves itself with, which the machine's must equal.
    std::optional<std::string> initiatorSecret;
};

// A portal's address and TCP port, as the service keeps a registered portal.
struct PortalAddress {
    std::string address;
    std::uint16_t port = 3260;
};

struct PersistentLogin {
    std::string target;
    std::optional<PortalAddress> portal; // unset: none named
};

struct DriveEvent {
    Ms at = 0;
    std::optional<Drive> addDrive; // set: add (or replace) this drive
    char removeDrive = '\0';       // otherwise: remove this letter
};

// Windows' own policies for new disks and volumes.
enum class SanPolicy { kOnlineAll, kOfflineShared, kOfflineAll };
struct MachinePolicies {
    SanPolicy sanPolicy = SanPolicy::kOnlineAll;
    bool automount = true;
    bool diskAttributesAnswered = true;
    bool mpio = false; // Windows' multipath I/O claims the target's devices
};

// A disk's own state; unset: as the SAN policy gives it.
struct DiskState {
    Disk disk = 0;
    std::optional<bool> offline;
    std::optional<bool> readOnly;
    std::string layout = "mbr"; // "mbr", "gpt" or "raw"
    std::string id;             // equal ids collide; empty: the disk's own
};

struct Scenario {
    std::vector<Drive> drives;
    MachinePolicies machine;
    std::vector<DiskState> disks;
    Status ikeStatus = 0;
    Status portalStatus = 0; // portals not in `portals`
    std::vector<PortalAnswer> portals;
    std::vector<Status> loginStatuses; // targets not in `targets`; the last repeats
    std::vector<TargetLogins> targets;
    // Logouts of targets not in `targets` (or without a list there); none: the service decides.
    std::vector<Status> logoutStatuses;
    std::vector<Session> sessions;
    std::vector<PersistentLogin> persistentLogins;
    std::vector<PortalAddress> registeredPortals;
    // Answers in place of the service's own; unset: its own.
    std::optional<Status> reportPersistentStatus;
    std::optional<Status> removePersistentStatus;
    std::optional<Status> removePortalStatus;
    LoginEffect onLogin;            // for targets without one of their own
    std::vector<DriveEvent> events; // in file order
    // When the host signals a VxdAttach's cancel event; unset: never.
    std::optional<Ms> cancelAtMs;
    // The targets the initiator knows, for the test kit's target report; the runner has no
    // use for it. Unset: see ReportedTargets.
    std::optional<std::vector<std::string>> reportedTargets;
};

// A target's own entry in `targets`, by its exact name; null when it has none.
const TargetLogins *TargetEntry(const Scenario &scenario, const std::string &target);

// What the service answers a target with, its own entry's or else the service's: successive
// logins, successive logouts, and what a login brings.
const std::vector<Status> &LoginStatusesOf(const Scenario &scenario, const std::string &target);
const std::vector<Status> &LogoutStatusesOf(const Scenario &scenario, const std::string &target);
const LoginEffect &LoginEffectOf(const Scenario &scenario, const std::string &target);

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
// JSON escapes them, and long values and paths are cut, so that the rule always shows. A
// secret's value is never shown, not even where the JSON around it is malformed: the message
// names its key.
bool ParseScenario(const std::string &text, const std::string &fileName, Scenario &scenario,
                   std::string &error);

// Reads the file and parses it as above.
bool LoadScenario(const std::string &path, Scenario &scenario, std::string &error);

// The schema the files are checked against, as embedded from scenarios/scenario.schema.json.
const char *SchemaText();

} // namespace vxd::scenario
