// What the tests of VxdAttach and VxdDetach share: requests that collect their progress lines,
// the machines they run on, and the CHAP credentials of a target that demands them.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "entry/vxdmount.h"
#include "platform/sim/sim_machine.h"
#include "tests/test_support.h"

namespace vxd::test {

using sim::Machine;
using sim::Ms;

constexpr const char *kPortal = "192.0.2.10";
constexpr const char *kTarget = "iqn.2026-12.com.example:disk1";
constexpr sim::ISDSC_STATUS kAlreadyLoggedIn = 0xEFFF003F;
constexpr sim::ISDSC_STATUS kTargetNotFound = 0xEFFF0029;
constexpr sim::ISDSC_STATUS kServiceNotRunning = 0xEFFF003E;
constexpr sim::ISDSC_STATUS kDeviceBusy = 0xEFFF0040;
constexpr sim::ISDSC_STATUS kSessionBusy = 0xEFFF001F;

inline void VXDMOUNT_CALL Collect(void *context, const char *line) {
    static_cast<std::vector<std::string> *>(context)->push_back(line);
}

// The machine most tests start from: C: and D: on disks 0 and 1; a login brings disk 2, whose
// volume gets F: 1.5 s later.
inline void PlainMachine(Machine &machine) {
    machine.AddDrive('C', 0).AddDrive('D', 1);
    machine.onLogin.disks = {2};
    machine.onLogin.drives = {{test::Drive('F', 2), 1500}};
}

struct Attach {
    VxdAttachRequest request{};
    VxdAttachResult result{};
    std::vector<std::string> progress;

    Attach() {
        request.size = sizeof request;
        request.portalAddress = kPortal;
        request.targetName = kTarget;
        request.progress = &Collect;
        request.progressContext = &progress;
        result.size = sizeof result;
    }
    int Run() { return VxdAttach(&request, &result); }
};

struct Detach {
    VxdDetachRequest request{};
    VxdDetachResult result{};
    std::vector<std::string> progress;

    Detach() {
        request.size = sizeof request;
        request.targetName = kTarget;
        request.progress = &Collect;
        request.progressContext = &progress;
        result.size = sizeof result;
    }
    int Run() { return VxdDetach(&request, &result); }
};

// The calls that reach the initiator service, by name, in order.
inline std::vector<std::string> ServiceCalls(const Machine &machine) {
    std::vector<std::string> names;
    for (const sim::CallRecord &call : machine.Calls()) {
        if (call.name.find("IScsi") != std::string::npos) {
            names.push_back(call.name);
        }
    }
    return names;
}

inline std::string Joined(const std::vector<std::string> &lines) {
    std::string text;
    for (const std::string &line : lines) {
        text += line + "\n";
    }
    return text;
}

inline void ExpectClean(const Machine &machine) {
    EXPECT_EQ(machine.OpenHandles(), 0u);
    EXPECT_TRUE(machine.Faults().empty()) << machine.Faults().front();
}

// --- CHAP -------------------------------------------------------------------------------

inline const std::vector<std::uint8_t> kSecret = {'s', 'e', 'c', 'r', 'e', 't', '-',
                                                  'o', 'f', '-', 'o', 'n', 'e'};
inline const std::vector<std::uint8_t> kInitiatorSecret = {'i', 'n', 'i', 't', 'i', 'a', 't', 'o',
                                                           'r', '-', 'k', 'e', 'y', '1', '6', '!'};
constexpr const char *kChapUser = "host-7";

// A target that admits this initiator only with kChapUser and kSecret, and answers mutual CHAP
// with kInitiatorSecret.
inline void ChapTarget(Machine &machine) {
    PlainMachine(machine);
    machine.targetChap[kTarget] = sim::Chap{kChapUser, kSecret};
    machine.targetInitiatorSecrets[kTarget] = kInitiatorSecret;
}

inline void WithChap(Attach &attach, const std::vector<std::uint8_t> &secret,
                     const char *user = kChapUser) {
    attach.request.chapUserName = user;
    attach.request.chapSecret = secret.data();
    attach.request.chapSecretLength = static_cast<VxdULong>(secret.size());
}

inline bool Holds(const std::vector<std::uint8_t> &bytes, const std::vector<std::uint8_t> &secret) {
    return std::search(bytes.begin(), bytes.end(), secret.begin(), secret.end()) != bytes.end();
}

inline bool Holds(const std::string &text, const std::vector<std::uint8_t> &secret) {
    return Holds(std::vector<std::uint8_t>(text.begin(), text.end()), secret);
}

} // namespace vxd::test
