// The facts of vxdhost --check, asked of Windows: the preflight before the request, and the
// machine that the post-mortem questions after it.
#pragma once

#include <windows.h>

#include <string>

#include "tools/vxdhost/post_mortem.h"

namespace vxdhost {

// The process, the initiator service, the discovery library and the portal's TCP port. Loads
// iscsidsc.dll, the way vxdmount.dll will find it, and keeps it in `iscsidsc` (null when it
// does not load).
Preflight RunPreflight(const CheckRequest &request, HMODULE &iscsidsc);

// Windows' own text for one of its codes, without the final full stop; empty without one.
std::string WindowsText(DWORD error);

// "error 5: Access is denied", or "error N" for a code without a text.
std::string WindowsError(DWORD error);

// A file's version resource: "1.2.3" and its description (empty without one); false, with the
// reason, when the file has none.
bool ReadFileVersion(const std::string &path, std::string &version, std::string &description,
                     std::string &error);

// The machine's drive letters, "CDF" for C:, D: and F:.
std::string DriveLetters();

class WindowsMachine : public Machine {
  public:
    explicit WindowsMachine(HMODULE iscsidsc) : iscsidsc_(iscsidsc) {}
    std::uint32_t RegisterPortal(const CheckRequest &request) override;
    std::uint32_t InformationalLogin(const std::string &target, std::string &logout) override;
    std::uint32_t ReportTargets(std::vector<std::string> &targets) override;
    std::uint32_t Initiators(std::vector<std::string> &instances) override;
    std::uint32_t Sessions(std::vector<SessionFacts> &sessions) override;
    DiskFacts Disk(std::uint32_t number) override;
    Fact LetterDisk(char letter, std::uint32_t &disk) override;
    std::string SystemText(std::uint32_t code) override;
    std::uint32_t InitiatorName(std::string &name) override;
    Fact SanPolicy(std::uint32_t &policy) override;
    Fact AutoMount() override;
    std::string Letters() override;

  private:
    HMODULE iscsidsc_;
};

} // namespace vxdhost
