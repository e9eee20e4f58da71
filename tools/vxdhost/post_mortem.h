// vxdhost --check: what the preflight found, and why a request failed. The trace says where
// the request stopped; the machine (the iSCSI discovery library, the disks and the volumes) is
// asked what it knows about that step. Everything here is worded for an administrator: each
// finding one line, each fault with the command that mends it, and one verdict at the end.
//
// Nothing here calls Windows: vxdhost gathers the facts (check_win32.cpp), so that the
// reasoning runs on any machine.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace vxdhost {

enum class Answer { kYes, kNo, kUnknown };

// One thing asked of the machine: the answer, and what was seen or why nothing could be.
struct Fact {
    Answer answer = Answer::kUnknown;
    std::string detail;
};

struct CheckRequest {
    std::string portal;
    int port = 0;
    std::string target;
};

struct Preflight {
    Fact elevated;
    Fact serviceRunning;
    std::string startType; // "automatically", "manually", "never (disabled)", ...; empty: unknown
    Fact libraryLoads;     // the detail names the file loaded, or the error
    bool testKit = false;  // the library loaded is the vxdmount test kit
    Fact portalAnswers;    // a TCP connection to the portal
};

struct SessionFacts {
    std::string target;
    std::string id;                   // as iscsicli writes it
    std::uint32_t deviceStatus = 0;   // of the device query
    std::vector<std::uint32_t> disks; // one per device
};

struct VolumeFacts {
    std::string name;    // \\?\Volume{...}\ form
    std::string letters; // its drive letters, none when empty
};

struct DiskFacts {
    Fact offline;
    Fact readOnly;
    Fact initialized;
    Fact volumesKnown;
    std::vector<VolumeFacts> volumes;
    // Its MBR signature or GPT disk ID, and whether another disk of the machine has it too
    // (kYes: collidingDisk is that disk).
    std::string identity{};
    Fact collision{};
    std::uint32_t collidingDisk = 0;
};

// The questions of the post-mortem. Each status is the library's or Windows' own code.
class Machine {
  public:
    virtual ~Machine() = default;
    // The registration once more; the initiator takes it as a repeat.
    virtual std::uint32_t RegisterPortal(const CheckRequest &request) = 0;
    // A login that brings no disk, logged out at once when it succeeds; `logout` says how.
    virtual std::uint32_t InformationalLogin(const std::string &target, std::string &logout) = 0;
    virtual std::uint32_t ReportTargets(std::vector<std::string> &targets) = 0;
    // The initiator instances (HBAs) that a registration or a login may name.
    virtual std::uint32_t Initiators(std::vector<std::string> &instances) = 0;
    virtual std::uint32_t Sessions(std::vector<SessionFacts> &sessions) = 0;
    virtual DiskFacts Disk(std::uint32_t number) = 0;
    // The disk of the volume behind a drive letter.
    virtual Fact LetterDisk(char letter, std::uint32_t &disk) = 0;
    // Windows' own text for one of its codes; empty when it has none.
    virtual std::string SystemText(std::uint32_t code) = 0;
    // The initiator's iSCSI name, which a target admits or refuses.
    virtual std::uint32_t InitiatorName(std::string &name) = 0;
    // The machine's SAN policy (1 online all, 2 offline shared, 3 offline all, 4 offline
    // internal), and whether new volumes get letters (automount): the registry's answers.
    virtual Fact SanPolicy(std::uint32_t &policy) = 0;
    virtual Fact AutoMount() = 0;
    // The machine's drive letters now, "CDF".
    virtual std::string Letters() = 0;
};

// A status by name and meaning: the discovery library's from its published list, Windows'
// through the machine.
std::string StatusText(std::uint32_t status, Machine &machine);

std::vector<std::string> PreflightFindings(const CheckRequest &request, const Preflight &preflight);

struct Diagnosis {
    std::vector<std::string> findings;
    std::string verdict;
};

// What vxdhost attach --check knows of its call: the request, where the CHAP secrets came from
// (never the secrets), the call's progress lines and its result.
struct AttachFacts {
    CheckRequest request;
    std::string chapUser;              // empty: no CHAP
    std::string secretSource;          // a file's name, or "standard input"
    std::string initiatorSecretSource; // empty: the machine's secret was not set
    bool discoveryChap = false;
    bool mutualChap = false; // with the secret that the machine has
    std::vector<std::string> progress;
    int status = 0;
    std::uint32_t serviceStatus = 0;
    std::string letters; // "F: G:"
    // Since 1.4: the result's disks with their VXD_DISK_... attributes, and the volumes found.
    std::vector<std::uint32_t> disks;
    std::vector<unsigned long> diskAttributes;
    std::vector<std::string> volumes;
    bool bringOnline = false;
    std::string mountFolder;
};

// Why an attach failed, from its status, its progress lines and what the machine says; a
// refused login's verdict names the credentials that the target must hold for this initiator.
Diagnosis AttachPostMortem(const AttachFacts &facts, const Preflight &preflight, Machine &machine);

// `lettersBefore` and `lettersAfter` are the machine's drive letters around the request.
Diagnosis PostMortem(const CheckRequest &request, const Preflight &preflight,
                     const std::vector<std::string> &trace, int result,
                     const std::string &lettersBefore, const std::string &lettersAfter,
                     Machine &machine);

} // namespace vxdhost
