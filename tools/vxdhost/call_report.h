// What vxdhost says about a VxdAttach or VxdDetach call: the status by the name that
// vxdmount.h gives it and the text of the library that answered, the service's status by its
// name, and what the call did. Portable, so that the host suite checks the wording.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "entry/vxdmount.h"
#include "tools/vxdhost/post_mortem.h"

namespace vxdhost {

// vxdhost's exit statuses.
constexpr int kExitDone = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2; // also: the library or an export cannot be found
constexpr int kExitCancelled = 3;

int ExitStatusOf(int callStatus);

// "VXD_STATUS_NO_LETTER (7): the disk's volume got no drive letter in time": the name from the
// statuses' table, the text as the loaded library's VxdStatusText gives it. A status that this
// vxdhost does not know (from a later library) is "status 14: ...".
std::string CallStatusText(int status, const char *libraryText);

// The letters of a result's field, "F: G:"; "none" for none. Reads at most `capacity` bytes.
std::string LetterList(const char *letters, std::size_t capacity);

// The lines after a call, each without "vxdhost: " in front. `libraryText` is the library's
// text for the call's status.
std::vector<std::string> AttachReport(const VxdAttachResult &result, const char *libraryText,
                                      Machine &machine);
std::vector<std::string> DetachReport(const VxdDetachResult &result, const char *libraryText,
                                      bool forced, Machine &machine);

} // namespace vxdhost
