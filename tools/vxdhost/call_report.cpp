#include "tools/vxdhost/call_report.h"

#include <algorithm>
#include <cstdint>

#include "entry/statuses.h"

namespace vxdhost {
namespace {

void AddServiceStatus(unsigned long status, Machine &machine, std::vector<std::string> &lines) {
    if (status != 0) {
        lines.push_back("the service's status: " +
                        StatusText(static_cast<std::uint32_t>(status), machine));
    }
}

} // namespace

int ExitStatusOf(int callStatus) {
    if (callStatus == VXD_STATUS_OK) {
        return kExitDone;
    }
    return callStatus == VXD_STATUS_CANCELLED ? kExitCancelled : kExitFailed;
}

std::string CallStatusText(int status, const char *libraryText) {
    const vxd::StatusName *known = vxd::FindStatusName(status);
    const std::string name = known != nullptr
                                 ? std::string(known->name) + " (" + std::to_string(status) + ")"
                                 : "status " + std::to_string(status);
    return name + ": " + (libraryText != nullptr ? libraryText : "(no text)");
}

std::string LetterList(const char *letters, std::size_t capacity) {
    std::string list;
    for (std::size_t i = 0; i < capacity && letters[i] != '\0'; ++i) {
        list += list.empty() ? "" : " ";
        list += letters[i];
        list += ':';
    }
    return list.empty() ? "none" : list;
}

std::vector<std::string> AttachReport(const VxdAttachResult &result, const char *libraryText,
                                      Machine &machine) {
    std::vector<std::string> lines{"VxdAttach returned " +
                                   CallStatusText(result.status, libraryText)};
    if (result.status == VXD_STATUS_OK) {
        std::string disks;
        const unsigned long count = std::min<unsigned long>(
            result.diskCount, sizeof result.diskNumbers / sizeof result.diskNumbers[0]);
        for (unsigned long i = 0; i < count; ++i) {
            disks += (i == 0 ? "" : ", ") + std::to_string(result.diskNumbers[i]);
        }
        lines.push_back("letters " + LetterList(result.letters, sizeof result.letters) +
                        " on disks " + (disks.empty() ? "none" : disks));
        if (result.alreadyLoggedIn != 0) {
            lines.emplace_back("the target was logged in before the call; its sessions stay");
        }
    }
    AddServiceStatus(result.serviceStatus, machine, lines);
    return lines;
}

std::vector<std::string> DetachReport(const VxdDetachResult &result, const char *libraryText,
                                      bool forced, Machine &machine) {
    std::vector<std::string> lines{
        "VxdDetach returned " + CallStatusText(result.status, libraryText),
        "letters taken away: " + LetterList(result.letters, sizeof result.letters),
        "sessions logged out: " + std::to_string(result.sessionsLoggedOut),
        "persistent logins removed: " + std::to_string(result.persistentLoginsRemoved)};
    const std::string inUse = LetterList(result.lettersInUse, sizeof result.lettersInUse);
    lines.push_back("letters in use: " + inUse);
    if (result.status == VXD_STATUS_VOLUME_IN_USE && !forced && inUse != "none") {
        lines.push_back("files are open on " + inUse +
                        ": close them, or detach with --force, which dismounts the volumes all "
                        "the same (data not yet written is lost)");
    }
    AddServiceStatus(result.serviceStatus, machine, lines);
    return lines;
}

} // namespace vxdhost
