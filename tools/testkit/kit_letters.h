// The drive letters of the test kit. Windows cannot invent disks, so a scenario's volume on a
// session's disk becomes a letter that aliases a real volume (the test volume), and any other
// volume a letter that points at no device. Every letter the kit makes is written down in a
// ledger file of the process, so that it is removed when the process unloads the kit, or at the
// next load when a killed process could not.
#pragma once

#include <windows.h>

#include <string>
#include <utility>
#include <vector>

namespace testkit {

// The volume that plays every volume on a session's disks.
struct TestVolume {
    char letter = '\0';
    std::string device;     // the device its letter points at
    unsigned long disk = 0; // the disk of its first extent, as the extents query reports it
};

// The drive named by VXDMOUNT_TESTKIT_VOLUME, or else the system drive. False with the reason
// when it has no device or its disk cannot be read.
bool FindTestVolume(TestVolume &volume, std::string &error);

// The device a stray volume's letter points at: nothing opens it.
extern const char kStrayDevice[];

class KitLetters {
  public:
    KitLetters() = default;
    KitLetters(const KitLetters &) = delete;
    KitLetters &operator=(const KitLetters &) = delete;

    // Removes the letters of ledgers whose processes have ended; one line each on `notes`.
    void RemoveStale(std::vector<std::string> &notes);
    // Makes `letter` point at `device` unless the machine already has that letter.
    bool Define(char letter, const std::string &device, std::string &error);
    // Removes a letter that Define made, and its line of the ledger.
    bool Remove(char letter, std::string &error);
    // Removes every letter this process made, and its ledger.
    void RemoveAll();

  private:
    bool WriteLedger();

    std::string ledger_;
    std::vector<std::pair<char, std::string>> defined_;
};

} // namespace testkit
