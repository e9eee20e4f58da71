// The statuses of Windows' iSCSI discovery library (iscsidsc.dll), named and explained for an
// administrator. Portable: vxdhost uses it on Windows, the host suite checks it on Linux.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace vxdhost {

struct DiscoveryStatus {
    std::uint32_t code;
    const char *name;    // the library's own name, as in its published list
    const char *meaning; // a short clause: lower case start, no final full stop
};

// The discovery library's own statuses, in the order of their low word, as the library lists
// them; three are warnings (high word 0xAFFF), the rest errors (0xEFFF).
const std::vector<DiscoveryStatus> &DiscoveryStatuses();

// nullptr when `code` is not one of them.
const DiscoveryStatus *FindDiscoveryStatus(std::uint32_t code);

// "NAME (0xXXXXXXXX): meaning", or an empty string when `code` is not one of them.
std::string DiscoveryStatusText(std::uint32_t code);

} // namespace vxdhost
