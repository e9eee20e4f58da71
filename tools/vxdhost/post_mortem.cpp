#include "tools/vxdhost/post_mortem.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <optional>

#include "entry/statuses.h"
#include "entry/vxdmount.h"
#include "iscsi/initiator_client.h"
#include "platform/trace_texts.h"
#include "tools/vxdhost/statuses.h"

namespace vxdhost {
namespace {

constexpr std::uint32_t kAccessDenied = 5;
constexpr std::uint32_t kServiceNotRunning = 0xEFFF003E;
constexpr std::uint32_t kAuthenticationFailure = 0xEFFF0009;
constexpr std::uint32_t kAuthorizationFailure = 0xEFFF000A;
constexpr std::uint32_t kLoginUserInfoBad = 0xEFFF002A;
constexpr std::uint32_t kInvalidInitiatorChapSecret = 0xEFFF004C;

// Where the request stopped, as its trace tells it.
enum class Stage {
    kUnseen,          // no trace: nothing to follow
    kPortal,          // the portal was not registered
    kLogin,           // both logins failed
    kDevices,         // the session brought no devices in time
    kNewVolume,       // a fresh login's volume got no single new letter
    kExistingDevices, // an existing login with other than one device
    kExistingLetter,  // an existing login whose disk has no letter
    kDone,            // the request succeeded
};

struct TraceReading {
    Stage stage = Stage::kUnseen;
    bool securityRecordRefused = false;
    std::uint32_t securityRecordStatus = 0;
    std::vector<std::uint32_t> deviceStatuses; // each once, in order
    int sessionListFailures = 0;
    char letter = 0;
};

bool StartsWith(const std::string &line, const char *prefix, std::string &rest) {
    const std::string text(prefix);
    if (line.compare(0, text.size(), text) != 0) {
        return false;
    }
    rest = line.substr(text.size());
    return true;
}

std::uint32_t Hex(const std::string &text) {
    return static_cast<std::uint32_t>(std::strtoul(text.c_str(), nullptr, 16));
}

TraceReading ReadTrace(const std::vector<std::string> &trace, int result) {
    namespace trace_text = vxd::trace_text;
    // "493,": the opening line's first field.
    const std::string kOpeningPrefix = std::to_string(trace_text::kOpeningTag) + ",";
    TraceReading reading;
    bool opened = false;
    bool counted = false;
    int outcome = -1;
    std::string uRet;
    bool mountPointsMissing = false;
    bool taskDisk = false;
    for (const std::string &line : trace) {
        std::string rest;
        if (StartsWith(line, kOpeningPrefix.c_str(), rest)) {
            opened = true;
        } else if (StartsWith(line, trace_text::kTargetCount, rest)) {
            counted = true;
        } else if (StartsWith(line, trace_text::kLoginOutcome, rest)) {
            outcome = static_cast<int>(std::strtol(rest.c_str(), nullptr, 10));
        } else if (StartsWith(line, trace_text::kDevicesFound, rest)) {
            uRet = rest;
        } else if (line == trace_text::kNoExistingLetter) {
            mountPointsMissing = true;
        } else if (StartsWith(line, trace_text::kVolumeProbed, rest)) {
            taskDisk = true;
            reading.letter = rest.empty() ? '\0' : rest[0];
        } else if (StartsWith(line, trace_text::kDeviceQueryStatus, rest)) {
            const std::uint32_t status = Hex(rest);
            std::vector<std::uint32_t> &seen = reading.deviceStatuses;
            if (std::find(seen.begin(), seen.end(), status) == seen.end()) {
                seen.push_back(status);
            }
        } else if (line == trace_text::kSessionListFailed) {
            ++reading.sessionListFailures;
        } else if (StartsWith(line, trace_text::kSecurityRecordRefused, rest)) {
            reading.securityRecordRefused = true;
            reading.securityRecordStatus = Hex(rest);
        }
    }
    if (!opened) {
        reading.stage = Stage::kUnseen;
    } else if (result == 1 && taskDisk) {
        reading.stage = Stage::kDone;
    } else if (!counted) {
        reading.stage = Stage::kPortal;
    } else if (outcome <= 0) {
        reading.stage = Stage::kLogin;
    } else if (uRet.empty()) {
        reading.stage = Stage::kDevices;
    } else if (Hex(uRet) == static_cast<std::uint32_t>(vxd::kLoginLoggedIn)) {
        reading.stage = Stage::kNewVolume;
    } else if (mountPointsMissing) {
        reading.stage = Stage::kExistingLetter;
    } else {
        reading.stage = Stage::kExistingDevices;
    }
    return reading;
}

std::string Hex8(std::uint32_t value) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(value));
    return text;
}

std::string Portal(const CheckRequest &request) {
    return request.portal + ":" + std::to_string(request.port);
}

// "F: G:" for "FG".
std::string Drives(const std::string &letters) {
    std::string text;
    for (const char letter : letters) {
        text += (text.empty() ? "" : " ") + std::string(1, letter) + ":";
    }
    return text;
}

std::string Added(const std::string &before, const std::string &after) {
    std::string added;
    for (const char letter : after) {
        if (before.find(letter) == std::string::npos) {
            added += letter;
        }
    }
    return added;
}

bool SameTarget(const std::string &a, const std::string &b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) ==
                      std::tolower(static_cast<unsigned char>(y));
           });
}

const char kServiceRemedy[] =
    "start it and have it start with Windows (sc config MSiSCSI start= auto, then "
    "sc start MSiSCSI)";

// The faults that stop every request, whatever step they showed at.
bool ServiceOrElevation(const Preflight &preflight, std::uint32_t status, std::string &verdict) {
    if (preflight.serviceRunning.answer == Answer::kNo || status == kServiceNotRunning) {
        verdict = std::string("The Microsoft iSCSI Initiator service (MSiSCSI) is not running: ") +
                  kServiceRemedy + ".";
        return true;
    }
    if (status == kAccessDenied && preflight.elevated.answer != Answer::kYes) {
        verdict = "The initiator refused the request because the process is not elevated: run "
                  "the program as administrator.";
        return true;
    }
    return false;
}

void PortalStep(const CheckRequest &request, const Preflight &preflight,
                const TraceReading &reading, Machine &machine, Diagnosis &diagnosis) {
    if (reading.securityRecordRefused) {
        diagnosis.findings.push_back(
            "the portal's security record was refused (the request goes on without it): " +
            StatusText(reading.securityRecordStatus, machine));
    }
    const std::uint32_t status = machine.RegisterPortal(request);
    diagnosis.findings.push_back(
        "registering the portal " + Portal(request) + " again (a repeat of the request's): " +
        (status == 0 ? std::string("accepted now") : StatusText(status, machine)));
    if (ServiceOrElevation(preflight, status, diagnosis.verdict)) {
        return;
    }
    if (status == 0) {
        diagnosis.verdict = "The portal " + Portal(request) +
                            " was refused during the request but is accepted now: it was out "
                            "of reach for a while; run the request again.";
    } else if (preflight.portalAnswers.answer == Answer::kNo) {
        diagnosis.verdict = "The portal " + Portal(request) + " could not be registered because " +
                            "nothing answers there (" + preflight.portalAnswers.detail +
                            "): check the address and the port, that the target's iSCSI " +
                            "service runs, and that no firewall blocks TCP port " +
                            std::to_string(request.port) + " (Test-NetConnection " +
                            request.portal + " -Port " + std::to_string(request.port) + ").";
    } else {
        diagnosis.verdict = "The portal " + Portal(request) +
                            " could not be registered: " + StatusText(status, machine) + ".";
    }
}

void LoginStep(const CheckRequest &request, const Preflight &preflight, Machine &machine,
               Diagnosis &diagnosis) {
    std::vector<std::string> targets;
    const std::uint32_t reported = machine.ReportTargets(targets);
    const bool known = std::any_of(targets.begin(), targets.end(), [&](const std::string &name) {
        return SameTarget(name, request.target);
    });
    if (reported != 0) {
        diagnosis.findings.push_back("could not tell which targets the initiator knows: " +
                                     StatusText(reported, machine));
    } else {
        std::string listed;
        for (const std::string &name : targets) {
            listed += (listed.empty() ? ": " : ", ") + name;
        }
        diagnosis.findings.push_back("the initiator knows " + std::to_string(targets.size()) +
                                     " target" + (targets.size() == 1 ? "" : "s") + listed + "; " +
                                     request.target +
                                     (known ? " is among them" : " is not among them"));
    }
    std::string logout;
    const std::uint32_t login = machine.InformationalLogin(request.target, logout);
    diagnosis.findings.push_back("an informational login to " + request.target +
                                 " (it brings no disk): " +
                                 (login == 0 ? "accepted, " + logout : StatusText(login, machine)));
    if (ServiceOrElevation(preflight, login, diagnosis.verdict)) {
        return;
    }
    if (reported == 0 && !known) {
        diagnosis.verdict = "The target " + request.target +
                            " is not among the targets that the initiator found behind its "
                            "portals: check the name (iscsicli ListTargets lists them) and that "
                            "the target admits this initiator.";
    } else if (login == 0) {
        diagnosis.verdict = "The logins to " + request.target +
                            " failed during the request but succeed now: the target was out of "
                            "reach for a while; run the request again.";
    } else if (login == kAuthenticationFailure || login == kAuthorizationFailure ||
               login == kLoginUserInfoBad) {
        diagnosis.verdict = "The target " + request.target +
                            " refuses this initiator: " + StatusText(login, machine) +
                            "; the request logs in without CHAP, so the target must admit this "
                            "initiator's name without authentication.";
    } else {
        diagnosis.verdict =
            "Logging in to " + request.target + " fails: " + StatusText(login, machine) + ".";
    }
}

// The target's first session in the initiator's list, as the request finds it; none when the
// list cannot be read or holds none.
std::optional<SessionFacts> TargetSession(const CheckRequest &request, Machine &machine,
                                          std::vector<std::string> &findings) {
    std::vector<SessionFacts> sessions;
    const std::uint32_t status = machine.Sessions(sessions);
    if (status != 0) {
        findings.push_back("could not read the initiator's sessions: " +
                           StatusText(status, machine));
        return std::nullopt;
    }
    const auto found =
        std::find_if(sessions.begin(), sessions.end(), [&](const SessionFacts &session) {
            return SameTarget(session.target, request.target);
        });
    if (found == sessions.end()) {
        findings.push_back("the initiator lists " + std::to_string(sessions.size()) + " session" +
                           (sessions.size() == 1 ? "" : "s") + ", none to " + request.target);
        return std::nullopt;
    }
    std::string text = "the session " + found->id + " to " + request.target + " ";
    if (found->deviceStatus != 0) {
        text += "cannot list its devices: " + StatusText(found->deviceStatus, machine);
    } else if (found->disks.empty()) {
        text += "has no devices";
    } else {
        text += "has " + std::to_string(found->disks.size()) + " device" +
                (found->disks.size() == 1 ? "" : "s") + ", on disk";
        for (std::size_t i = 0; i < found->disks.size(); ++i) {
            text += (i == 0 ? " " : ", ") + std::to_string(found->disks[i]);
        }
    }
    findings.push_back(text);
    return *found;
}

void DevicesStep(const CheckRequest &request, const Preflight &preflight,
                 const TraceReading &reading, Machine &machine, Diagnosis &diagnosis) {
    for (const std::uint32_t status : reading.deviceStatuses) {
        diagnosis.findings.push_back(
            "the request's device lookups were answered with " +
            (status == 0 ? std::string("status 0 and no devices") : StatusText(status, machine)));
    }
    const int failures = reading.sessionListFailures;
    if (failures > 0) {
        diagnosis.findings.push_back("the request could not read the session list " +
                                     std::to_string(failures) + " time" +
                                     (failures == 1 ? "" : "s"));
    }
    const std::optional<SessionFacts> session = TargetSession(request, machine, diagnosis.findings);
    if (ServiceOrElevation(preflight, 0, diagnosis.verdict)) {
        return;
    }
    if (!session) {
        diagnosis.verdict = "The login to " + request.target +
                            " succeeded, but no session to it can be found: it ended soon "
                            "after; the System event log (source iScsiPrt) says why.";
    } else if (session->deviceStatus != 0) {
        diagnosis.verdict = "The devices of the session to " + request.target +
                            " cannot be listed: " + StatusText(session->deviceStatus, machine) +
                            ".";
    } else if (session->disks.empty()) {
        diagnosis.verdict = "The session to " + request.target +
                            " brings no disk: the target grants this initiator no LUN; map a LUN "
                            "to this initiator on the target, then run the request again.";
    } else {
        diagnosis.verdict = "The session to " + request.target +
                            " has its disk now, but it came after the request's 61 seconds of "
                            "device lookups: run the request again.";
    }
}

char FreeLetter(const std::string &taken) {
    for (char letter = 'D'; letter <= 'Z'; ++letter) {
        if (taken.find(letter) == std::string::npos) {
            return letter;
        }
    }
    return 'X';
}

std::string Told(const Fact &fact, const std::string &yes, const std::string &no,
                 const std::string &question) {
    switch (fact.answer) {
    case Answer::kYes:
        return yes;
    case Answer::kNo:
        return no;
    case Answer::kUnknown:
        break;
    }
    return "could not tell " + question + " (" + fact.detail + ")";
}

// What the session's disks and the new letters tell about a volume that got no letter, as
// plain facts; the verdict is chosen from these alone.
struct VolumeEvidence {
    std::string added;                     // the letters that arrived since the request began
    std::optional<SessionFacts> session;   // the target's session, when one is listed
    std::vector<std::uint32_t> disks;      // the session's disks, each once
    std::string strays;                    // new letters not shown to lie on those disks
    std::optional<std::uint32_t> offline;  // the first of the disks that is offline
    std::optional<std::uint32_t> readOnly; // the first that is read-only
    std::optional<std::uint32_t> blank;    // the first without a partition table
    std::string unlettered;                // the first of their volumes without a drive letter
    std::string lettered;                  // the drive letters of their volumes
    bool unknown = false;                  // some disk's state or volumes could not be told
};

// The disk of each letter that arrived: those not shown to lie on the session's disks are
// strays, as the request itself would find.
std::string StrayLetters(const CheckRequest &request, const VolumeEvidence &evidence,
                         Machine &machine, std::vector<std::string> &findings) {
    std::string strays;
    for (const char letter : evidence.added) {
        std::uint32_t disk = 0;
        const Fact fact = machine.LetterDisk(letter, disk);
        const std::string drive(1, letter);
        const bool ours =
            fact.answer == Answer::kYes &&
            std::find(evidence.disks.begin(), evidence.disks.end(), disk) != evidence.disks.end();
        if (fact.answer != Answer::kYes) {
            findings.push_back("could not tell which disk " + drive + ": lies on (" + fact.detail +
                               ")");
        } else {
            findings.push_back(drive + ": lies on disk " + std::to_string(disk) +
                               (ours ? ", one of " + request.target + "'s"
                                     : ", not one of " + request.target + "'s"));
        }
        if (!ours) {
            strays += letter;
        }
    }
    return strays;
}

// The state of each of the session's disks, and their volumes.
void ExamineDisks(Machine &machine, VolumeEvidence &evidence, std::vector<std::string> &findings) {
    for (const std::uint32_t disk : evidence.disks) {
        const DiskFacts facts = machine.Disk(disk);
        const std::string name = "disk " + std::to_string(disk);
        findings.push_back(Told(facts.offline, name + " is offline", name + " is online",
                                "whether " + name + " is online"));
        findings.push_back(Told(facts.readOnly, name + " is read-only", name + " is writable",
                                "whether " + name + " is read-only"));
        findings.push_back(Told(facts.initialized, name + " is initialized",
                                name + " is not initialized (no partition table)",
                                "whether " + name + " is initialized"));
        evidence.unknown = evidence.unknown || facts.offline.answer == Answer::kUnknown ||
                           facts.initialized.answer == Answer::kUnknown;
        if (facts.offline.answer == Answer::kYes && !evidence.offline) {
            evidence.offline = disk;
        }
        if (facts.readOnly.answer == Answer::kYes && !evidence.readOnly) {
            evidence.readOnly = disk;
        }
        if (facts.initialized.answer == Answer::kNo && !evidence.blank) {
            evidence.blank = disk;
        }
        if (facts.volumesKnown.answer != Answer::kYes) {
            evidence.unknown = true;
            findings.push_back("could not tell which volumes " + name + " carries (" +
                               facts.volumesKnown.detail + ")");
            continue;
        }
        if (facts.volumes.empty()) {
            findings.push_back(name + " carries no volume");
        }
        for (const VolumeFacts &volume : facts.volumes) {
            if (volume.letters.empty()) {
                findings.push_back(name + " carries the volume " + volume.name +
                                   ", which has no drive letter");
                if (evidence.unlettered.empty()) {
                    evidence.unlettered = volume.name;
                }
            } else {
                findings.push_back(name + " carries the volume " + volume.name + " at " +
                                   Drives(volume.letters));
                evidence.lettered += volume.letters;
            }
        }
    }
}

VolumeEvidence GatherVolumeEvidence(const CheckRequest &request, const Preflight &preflight,
                                    Stage stage, const std::string &lettersBefore,
                                    const std::string &lettersAfter, Machine &machine,
                                    std::vector<std::string> &findings) {
    VolumeEvidence evidence;
    evidence.added = Added(lettersBefore, lettersAfter);
    findings.push_back(evidence.added.empty()
                           ? std::string("no new drive letter arrived since the request began")
                           : "new drive letters since the request began: " +
                                 Drives(evidence.added));
    evidence.session = TargetSession(request, machine, findings);
    if (evidence.session) {
        for (const std::uint32_t disk : evidence.session->disks) {
            if (std::find(evidence.disks.begin(), evidence.disks.end(), disk) ==
                evidence.disks.end()) {
                evidence.disks.push_back(disk);
            }
        }
    }
    // A stopped service, or an existing login with other than one device, is the verdict
    // whatever the letters and the disks would say: they are not asked.
    std::string settled;
    if (ServiceOrElevation(preflight, 0, settled) || stage == Stage::kExistingDevices) {
        return evidence;
    }
    if (evidence.added.size() >= 2) {
        evidence.strays = StrayLetters(request, evidence, machine, findings);
    }
    ExamineDisks(machine, evidence, findings);
    return evidence;
}

std::string SeveralLettersVerdict(const std::string &target, const std::string &added,
                                  const std::string &strays) {
    const std::string arrived = "Several new drive letters arrived during the wait (" +
                                Drives(added) + ") and the request takes only a single one: ";
    if (strays.empty()) {
        return arrived + "all of them lie on " + target +
               "'s disks; leave a letter to one volume only (mountvol X: /D for the others), "
               "then run the request again.";
    }
    return arrived + Drives(strays) + (strays.size() == 1 ? " is" : " are") +
           " not shown to lie on " + target + "'s disks; remove " +
           (strays.size() == 1 ? "its letter" : "their letters") + " (mountvol " +
           std::string(1, strays[0]) +
           ": /D) or keep other volumes from arriving during a request, then run it again.";
}

std::string VolumeVerdict(const CheckRequest &request, const Preflight &preflight, Stage stage,
                          const VolumeEvidence &evidence, const std::string &lettersBefore,
                          const std::string &lettersAfter) {
    std::string verdict;
    if (ServiceOrElevation(preflight, 0, verdict)) {
        return verdict;
    }
    const std::string &target = request.target;
    if (stage == Stage::kExistingDevices) {
        const std::optional<SessionFacts> &session = evidence.session;
        std::string devices = "a number of devices other than one";
        std::string id = "SESSION-ID";
        if (session) {
            const std::size_t count = session->disks.size();
            devices = std::to_string(count) + (count == 1 ? " device" : " devices");
            id = session->id;
        }
        return target + " was already logged in, with " + devices +
               ", and the request takes an existing login only with exactly one: log the "
               "session out (iscsicli LogoutTarget " +
               id + ") and run the request again.";
    }
    if (stage == Stage::kNewVolume && evidence.added.size() >= 2) {
        return SeveralLettersVerdict(target, evidence.added, evidence.strays);
    }
    const std::string named = target + "'s disk ";
    if (evidence.offline) {
        const std::string number = std::to_string(*evidence.offline);
        return named + number +
               " is offline, as Windows' SAN policy keeps new iSCSI disks: bring it online "
               "(Set-Disk -Number " +
               number +
               " -IsOffline $false) and have new disks come online (Set-StorageSetting "
               "-NewDiskPolicy OnlineAll).";
    }
    if (evidence.blank) {
        const std::string number = std::to_string(*evidence.blank);
        return named + number +
               " is not initialized: initialize and format it (Initialize-Disk -Number " + number +
               "; New-Partition -DiskNumber " + number +
               " -UseMaximumSize -AssignDriveLetter | Format-Volume).";
    }
    if (evidence.readOnly) {
        const std::string number = std::to_string(*evidence.readOnly);
        return named + number +
               " is read-only, which keeps its volume from being mounted: Set-Disk -Number " +
               number + " -IsReadOnly $false.";
    }
    if (!evidence.unlettered.empty()) {
        return "The volume " + evidence.unlettered + " on " + target +
               "'s disk has no drive letter: give it one (mountvol " +
               std::string(1, FreeLetter(lettersAfter)) + ": " + evidence.unlettered +
               ") and let new volumes get letters (mountvol /E).";
    }
    const std::string &lettered = evidence.lettered;
    if (!lettered.empty() && stage == Stage::kNewVolume && Added(lettersBefore, lettered).empty()) {
        return target +
               "'s disk carries only volumes whose letters were there before the "
               "request (" +
               Drives(lettered) +
               "), so no new letter could come; with the target logged in now, run the request "
               "again and it looks the letter up.";
    }
    if (!lettered.empty()) {
        return target + "'s volume has its letter now (" + Drives(lettered) +
               "), but it came after the request's wait: run the request again.";
    }
    if (evidence.disks.empty()) {
        return "No drive letter came for " + target +
               ", and its session's disks could not be told.";
    }
    const std::string first = std::to_string(evidence.disks[0]);
    if (evidence.unknown) {
        return "No drive letter came for " + target + "'s disk " + first +
               ", and its state could not be told: look at it with Get-Disk -Number " + first +
               " or in Disk Management (diskmgmt.msc).";
    }
    return named + first + " carries no volume: create one (New-Partition -DiskNumber " + first +
           " -UseMaximumSize -AssignDriveLetter | Format-Volume).";
}

// The progress line of VxdAttach that starts with `prefix` (after "VxdAttach: "), if any.
bool Said(const std::vector<std::string> &progress, const std::string &prefix,
          const std::string &suffix = std::string()) {
    const std::string call = "VxdAttach: ";
    return std::any_of(progress.begin(), progress.end(), [&](const std::string &line) {
        return line.compare(0, call.size() + prefix.size(), call + prefix) == 0 &&
               line.size() >= call.size() + prefix.size() + suffix.size() &&
               line.compare(line.size() - suffix.size(), suffix.size(), suffix) == 0;
    });
}

// Why the credentials of an attach were refused, and what makes them right: the target (or
// the portal) must hold, for this initiator's name, what the attach sent.
std::string CredentialsVerdict(const AttachFacts &facts, const std::string &initiator,
                               const std::string &status) {
    const std::string &target = facts.request.target;
    const std::string user = "\"" + facts.chapUser + "\"";
    const bool portalRegistered = Said(facts.progress, "the portal ", " is registered");
    if (!facts.initiatorSecretSource.empty() && !portalRegistered &&
        !Said(facts.progress, "set the initiator's CHAP secret")) {
        return "The service refused the initiator secret from " + facts.initiatorSecretSource +
               ": " + status +
               "; it must be 12 to 16 bytes that the initiator takes as a CHAP secret.";
    }
    if (facts.discoveryChap && !portalRegistered) {
        return "The portal " + Portal(facts.request) +
               " refused the discovery credentials: " + status + "; it must hold, for " +
               initiator + ", the CHAP user name " + user + " and the secret from " +
               facts.secretSource +
               ", or, where discovery needs no CHAP, attach without --discovery-chap.";
    }
    if (facts.serviceStatus == kInvalidInitiatorChapSecret) {
        return "Mutual CHAP needs the machine's initiator secret, and the initiator has none that "
               "it can use: " +
               status +
               "; set it with --initiator-secret-file FILE (the machine's for every target): the "
               "secret that " +
               target + " holds to prove itself to " + initiator + ".";
    }
    if (facts.chapUser.empty()) {
        return "The target " + target + " refuses this initiator without credentials: " + status +
               "; attach with --chap-user NAME and --chap-secret-file FILE (or "
               "--chap-secret-stdin), the CHAP user name and secret that the target holds for " +
               initiator + ".";
    }
    std::string verdict = "The target " + target + " refused the CHAP credentials: " + status +
                          "; it must hold, for " + initiator + ", the CHAP user name " + user +
                          " and the secret from " + facts.secretSource +
                          ": correct whichever differs, on the target or here, and attach again.";
    if (!facts.initiatorSecretSource.empty()) {
        verdict += " With mutual CHAP the target also proves itself with the secret it holds "
                   "for this initiator, which must be the one from " +
                   facts.initiatorSecretSource + ".";
    } else if (facts.mutualChap) {
        verdict += " With mutual CHAP the target also proves itself with the secret it holds "
                   "for this initiator, which must be the machine's initiator secret (set it "
                   "with --initiator-secret-file FILE).";
    }
    return verdict;
}

const char *PolicyName(std::uint32_t policy) {
    switch (policy) {
    case 1:
        return "online all";
    case 2:
        return "offline shared";
    case 3:
        return "offline all";
    case 4:
        return "offline internal";
    default:
        return "unknown";
    }
}

// The first disk of the result whose attributes have `bit`, with the machine's facts of it.
std::optional<std::uint32_t> DiskWith(const AttachFacts &facts, unsigned long bit) {
    for (std::size_t i = 0; i < facts.disks.size() && i < facts.diskAttributes.size(); ++i) {
        if ((facts.diskAttributes[i] & bit) != 0) {
            return facts.disks[i];
        }
    }
    return facts.disks.empty() ? std::nullopt : std::optional<std::uint32_t>(facts.disks[0]);
}

void TellDisk(std::uint32_t number, const DiskFacts &disk, std::vector<std::string> &findings) {
    const std::string name = "disk " + std::to_string(number);
    findings.push_back(Told(disk.offline, name + " is offline", name + " is online",
                            "whether " + name + " is online"));
    findings.push_back(Told(disk.readOnly, name + " is read-only", name + " is writable",
                            "whether " + name + " is read-only"));
    if (!disk.identity.empty()) {
        findings.push_back(name + "'s identity is its " + disk.identity +
                           (disk.collision.answer == Answer::kYes
                                ? ", also disk " + std::to_string(disk.collidingDisk) + "'s"
                                : ""));
    }
}

// The verdicts of 1.4's statuses, and of NO_LETTER with a volume there: each reads what
// Windows says now, and names the remedy.
bool ReadinessVerdict(const AttachFacts &facts, Machine &machine, Diagnosis &diagnosis) {
    const std::string &target = facts.request.target;
    const std::string status = StatusText(facts.serviceStatus, machine);
    std::string letters = machine.Letters();
    char free = '\0';
    for (char letter = 'D'; letter <= 'Z' && free == '\0'; ++letter) {
        free = letters.find(letter) == std::string::npos ? letter : '\0';
    }
    switch (facts.status) {
    case VXD_STATUS_DISK_OFFLINE: {
        const std::uint32_t number = DiskWith(facts, VXD_DISK_OFFLINE).value_or(0);
        TellDisk(number, machine.Disk(number), diagnosis.findings);
        std::uint32_t policy = 0;
        const Fact san = machine.SanPolicy(policy);
        diagnosis.findings.push_back(
            san.answer == Answer::kYes
                ? "the machine's SAN policy is " + std::string(PolicyName(policy)) +
                      " (SanPolicy " + std::to_string(policy) + ")"
                : "could not read the machine's SAN policy (" + san.detail +
                      "); Windows Server's default is offline shared");
        const std::string n = std::to_string(number);
        if (facts.serviceStatus != 0) {
            diagnosis.verdict = target + "'s disk " + n +
                                " could not be brought online: " + status +
                                "; run the attach as administrator, or Set-Disk -Number " + n +
                                " -IsOffline $false -IsReadOnly $false.";
        } else {
            diagnosis.verdict =
                target + "'s disk " + n +
                " is offline, as the SAN policy keeps new disks on a shared bus: a cluster's "
                "shared disks stay offline on purpose, since two machines writing one disk lose "
                "data. If no other machine uses this LUN, attach with --online (it brings the "
                "disk online and writable), or once: Set-Disk -Number " +
                n + " -IsOffline $false -IsReadOnly $false.";
        }
        return true;
    }
    case VXD_STATUS_DISK_COLLISION: {
        const std::uint32_t number = DiskWith(facts, VXD_DISK_COLLISION).value_or(0);
        const DiskFacts disk = machine.Disk(number);
        TellDisk(number, disk, diagnosis.findings);
        const std::string n = std::to_string(number);
        const std::string other = disk.collision.answer == Answer::kYes
                                      ? "disk " + std::to_string(disk.collidingDisk)
                                      : "another disk of this machine";
        diagnosis.verdict =
            target + "'s disk " + n + " stays offline because its signature is also " + other +
            "'s: it is a clone or a snapshot of it, and Windows keeps such a copy offline. Attach "
            "it on a machine that does not have the original, or give the copy a new signature "
            "(diskpart: select disk " +
            n +
            ", uniqueid disk id=NEW), then attach again: its data stays as it is, but "
            "whatever knows the copy by its signature or disk ID (boot entries, cluster "
            "resources, a backup's catalog) no longer finds it.";
        return true;
    }
    case VXD_STATUS_NO_VOLUME: {
        const std::uint32_t number = DiskWith(facts, VXD_DISK_NO_VOLUME).value_or(0);
        const DiskFacts disk = machine.Disk(number);
        TellDisk(number, disk, diagnosis.findings);
        const std::string n = std::to_string(number);
        diagnosis.verdict = target + "'s disk " + n + " holds no volume that Windows can mount (" +
                            (disk.initialized.answer == Answer::kNo ? "it is not initialized"
                                                                    : "it has no data partition") +
                            "): if it is a new, empty LUN, initialize and format it "
                            "(Initialize-Disk -Number " +
                            n + "; New-Partition -DiskNumber " + n +
                            " -UseMaximumSize | Format-Volume); if it should hold data, the "
                            "target maps another LUN than the one you expect. The attach never "
                            "partitions or formats.";
        return true;
    }
    case VXD_STATUS_MOUNT_FAILED:
        diagnosis.findings.push_back(free == '\0' ? "no drive letter from D to Z is free"
                                                  : std::string("the first free drive letter is ") +
                                                        free + ":");
        if (facts.serviceStatus == 0 && free == '\0') {
            diagnosis.verdict = "Every drive letter from D to Z is taken: free one (mountvol X: "
                                "/D), or attach with --mount-folder DIR instead.";
        } else if (facts.serviceStatus == 0) {
            diagnosis.verdict = "The target has several volumes and one folder takes only one: "
                                "attach without --mount-folder, then mount each volume yourself "
                                "(mountvol DIR VOLUME).";
        } else {
            diagnosis.verdict = "Windows refused to mount " + target + "'s volume: " + status +
                                "; the folder must exist, be empty and lie on an NTFS volume, "
                                "and the attach must run as administrator.";
        }
        return true;
    case VXD_STATUS_NO_LETTER: {
        if (facts.volumes.empty()) {
            return false;
        }
        const Fact automount = machine.AutoMount();
        diagnosis.findings.push_back(Told(automount, "automount is on",
                                          "automount is off (NoAutoMount 1): new volumes get no "
                                          "drive letter",
                                          "whether automount is on"));
        diagnosis.findings.push_back(free == '\0' ? "no drive letter from D to Z is free"
                                                  : std::string("the first free drive letter is ") +
                                                        free + ":");
        const std::string &volume = facts.volumes.front();
        std::string why;
        if (automount.answer == Answer::kNo) {
            why = "automount is off: turn it on (mountvol /E)";
        } else if (free == '\0') {
            why = "every letter from D to Z is taken";
        } else {
            why = "its partition is marked to get no default letter";
        }
        diagnosis.verdict = "The volume " + volume + " on " + target +
                            "'s disk is there but has no drive letter, since " + why +
                            "; attach with --assign-letter or --mount-folder DIR, or use the "
                            "volume by its name.";
        return true;
    }
    default:
        return false;
    }
}

} // namespace

namespace {

// A status that names the initiator (instance or port) rather than the target.
bool InitiatorError(std::uint32_t status) {
    return status == vxd::platform::kStatusInitiatorNodeNotFound ||
           status == vxd::platform::kStatusInitiatorError ||
           status == vxd::platform::kStatusInitiatorInstanceNotFound ||
           status == vxd::platform::kStatusInitiatorNotFound;
}

} // namespace

Diagnosis AttachPostMortem(const AttachFacts &facts, const Preflight &preflight, Machine &machine) {
    Diagnosis diagnosis;
    const std::string &target = facts.request.target;
    if (facts.status == VXD_STATUS_OK) {
        diagnosis.verdict =
            "The attach succeeded: " + target + "'s volumes are at " + facts.letters + ".";
        return diagnosis;
    }
    const std::string status = facts.serviceStatus == 0 ? std::string("no status")
                                                        : StatusText(facts.serviceStatus, machine);
    if (ServiceOrElevation(preflight, facts.serviceStatus, diagnosis.verdict) ||
        facts.status == VXD_STATUS_SERVICE_UNAVAILABLE) {
        if (diagnosis.verdict.empty()) {
            diagnosis.verdict = std::string("The Microsoft iSCSI Initiator service (MSiSCSI) "
                                            "cannot be reached: ") +
                                status + "; " + kServiceRemedy + ".";
        }
        return diagnosis;
    }
    if (ReadinessVerdict(facts, machine, diagnosis)) {
        return diagnosis;
    }
    if (InitiatorError(facts.serviceStatus)) {
        std::vector<std::string> instances;
        const std::uint32_t listed = machine.Initiators(instances);
        std::string names;
        for (const std::string &instance : instances) {
            names += (names.empty() ? "" : ", ") + instance;
        }
        diagnosis.findings.push_back(
            listed != 0 ? "could not list the initiator's instances: " + StatusText(listed, machine)
                        : "the initiator's instances: " + (names.empty() ? "none" : names));
        diagnosis.verdict = "The service refused the initiator (" + status +
                            "): pass --initiator one of the instances above, with a port it has "
                            "or none, or leave --initiator out for any.";
        return diagnosis;
    }
    switch (facts.status) {
    case VXD_STATUS_AUTH_FAILED: {
        std::string name;
        const std::uint32_t asked = machine.InitiatorName(name);
        std::string initiator = "this initiator's name, " + name;
        if (asked == 0) {
            diagnosis.findings.push_back("the initiator's name is " + name);
        } else {
            initiator = "this initiator's name (which could not be read here)";
            diagnosis.findings.push_back("could not tell the initiator's name: " +
                                         StatusText(asked, machine));
        }
        diagnosis.verdict = CredentialsVerdict(facts, initiator, status);
        break;
    }
    case VXD_STATUS_INVALID_ARGUMENT: {
        // The library checks its arguments first: its first line says which one is wrong.
        const std::string call = "VxdAttach: ";
        std::string first = facts.progress.empty() ? std::string() : facts.progress.front();
        first.erase(0, first.compare(0, call.size(), call) == 0 ? call.size() : 0);
        diagnosis.verdict = "The library refused the request before sending anything" +
                            (first.empty() ? std::string(".") : ": " + first + ".");
        break;
    }
    case VXD_STATUS_CANCELLED:
        diagnosis.verdict = "The attach was cancelled; the library undid the login it made.";
        break;
    default: {
        const vxd::StatusName *name = vxd::FindStatusName(facts.status);
        diagnosis.verdict =
            "The attach failed with " +
            (name != nullptr ? std::string(name->name) : "status " + std::to_string(facts.status)) +
            (facts.serviceStatus == 0 ? std::string() : " (the service's status: " + status + ")") +
            ": the progress lines above tell at which step.";
        break;
    }
    }
    return diagnosis;
}

std::string StatusText(std::uint32_t status, Machine &machine) {
    if (status == 0) {
        return "0 (success)";
    }
    std::string listed = DiscoveryStatusText(status);
    if (!listed.empty()) {
        return listed;
    }
    const std::string text = machine.SystemText(status);
    return "error " + std::to_string(status) + " (" + Hex8(status) + ")" +
           (text.empty() ? "" : ": " + text);
}

std::vector<std::string> PreflightFindings(const CheckRequest &request,
                                           const Preflight &preflight) {
    std::vector<std::string> findings;
    findings.push_back(Told(preflight.elevated, "the process is elevated",
                            "the process is not elevated: the initiator refuses most requests "
                            "from it; run the program as administrator",
                            "whether the process is elevated"));
    std::string service = Told(preflight.serviceRunning, "the MSiSCSI service is running",
                               std::string("the MSiSCSI service is not running: ") + kServiceRemedy,
                               "whether the MSiSCSI service runs");
    if (!preflight.startType.empty()) {
        service += "; it starts " + preflight.startType;
        if (preflight.startType != "automatically" &&
            preflight.serviceRunning.answer != Answer::kNo) {
            service += ": have it start with Windows (sc config MSiSCSI start= auto)";
        }
    }
    findings.push_back(service);
    findings.push_back(Told(preflight.libraryLoads,
                            "iscsidsc.dll loads: " + preflight.libraryLoads.detail,
                            "iscsidsc.dll does not load (" + preflight.libraryLoads.detail +
                                "): add the Microsoft iSCSI Initiator to Windows",
                            "whether iscsidsc.dll loads"));
    if (preflight.testKit) {
        findings.push_back("iscsidsc.dll is the vxdmount test kit, which plays the initiator "
                           "as a scenario file says: never deploy it");
    }
    findings.push_back(
        Told(preflight.portalAnswers,
             "the portal " + Portal(request) + " answers on TCP (" +
                 preflight.portalAnswers.detail + ")",
             "nothing answers on " + Portal(request) + " (" + preflight.portalAnswers.detail +
                 "): check the address, the port and the firewall (Test-NetConnection " +
                 request.portal + " -Port " + std::to_string(request.port) + ")",
             "whether the portal answers"));
    return findings;
}

Diagnosis PostMortem(const CheckRequest &request, const Preflight &preflight,
                     const std::vector<std::string> &trace, int result,
                     const std::string &lettersBefore, const std::string &lettersAfter,
                     Machine &machine) {
    Diagnosis diagnosis;
    const TraceReading reading = ReadTrace(trace, result);
    switch (reading.stage) {
    case Stage::kUnseen:
        diagnosis.verdict = std::string("The request ") + (result == 1 ? "succeeded" : "failed") +
                            ", but its trace was not seen, so where it stopped cannot be told: "
                            "close any other debug-output viewer and run the check again.";
        break;
    case Stage::kDone:
        diagnosis.verdict = "The request succeeded: " + request.target + "'s volume is at " +
                            Drives(std::string(1, reading.letter)) + ".";
        break;
    case Stage::kPortal:
        PortalStep(request, preflight, reading, machine, diagnosis);
        break;
    case Stage::kLogin:
        LoginStep(request, preflight, machine, diagnosis);
        break;
    case Stage::kDevices:
        DevicesStep(request, preflight, reading, machine, diagnosis);
        break;
    case Stage::kNewVolume:
    case Stage::kExistingDevices:
    case Stage::kExistingLetter: {
        const VolumeEvidence evidence =
            GatherVolumeEvidence(request, preflight, reading.stage, lettersBefore, lettersAfter,
                                 machine, diagnosis.findings);
        diagnosis.verdict =
            VolumeVerdict(request, preflight, reading.stage, evidence, lettersBefore, lettersAfter);
        break;
    }
    }
    return diagnosis;
}

} // namespace vxdhost
