#include "tools/vxdhost/call_report.h"

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "entry/statuses.h"

namespace vxdhost {
namespace {

void AddServiceStatus(unsigned long status, Machine &machine, std::vector<std::string> &lines) {
    if (status != 0) {
        lines.push_back("the service's status: " +
                        StatusText(static_cast<std::uint32_t>(status), machine));
    }
}

// A disk's VXD_DISK_... attributes in words: "offline, read-only".
std::string AttributeWords(unsigned long attributes) {
    static const struct {
        unsigned long bit;
        const char *words;
    } kWords[] = {
        {VXD_DISK_OFFLINE, "offline"},
        {VXD_DISK_READ_ONLY, "read-only"},
        {VXD_DISK_BROUGHT_ONLINE, "brought online by this call"},
        {VXD_DISK_MADE_WRITABLE, "made writable by this call"},
        {VXD_DISK_COLLISION, "its signature is another disk's"},
        {VXD_DISK_NO_VOLUME, "no volume that Windows mounts"},
        {VXD_DISK_STATE_UNKNOWN, "state unknown: Windows did not answer its attribute queries"},
    };
    std::string text;
    for (const auto &each : kWords) {
        if ((attributes & each.bit) != 0) {
            text += (text.empty() ? "" : ", ") + std::string(each.words);
        }
    }
    return text;
}

// 1.4's fields: what the call saw of each disk, the volumes and the letters it gave.
void AddReadiness(const VxdAttachResult &result, std::vector<std::string> &lines) {
    const unsigned long count = std::min<unsigned long>(
        result.diskCount, sizeof result.diskNumbers / sizeof result.diskNumbers[0]);
    for (unsigned long i = 0; i < count; ++i) {
        if (result.diskAttributes[i] != 0) {
            lines.push_back("disk " + std::to_string(result.diskNumbers[i]) + ": " +
                            AttributeWords(result.diskAttributes[i]));
        }
    }
    const unsigned long volumes = std::min<unsigned long>(
        result.volumeCount, sizeof result.volumeNames / sizeof result.volumeNames[0]);
    for (unsigned long i = 0; i < volumes; ++i) {
        lines.push_back("volume " +
                        std::string(result.volumeNames[i],
                                    strnlen(result.volumeNames[i], sizeof result.volumeNames[i])));
    }
    if (result.assignedLetters[0] != '\0') {
        lines.push_back("letters given by the call: " +
                        LetterList(result.assignedLetters, sizeof result.assignedLetters));
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
        // A library before 1.5 counts no paths.
        if (result.pathCount > 0) {
            std::string luns;
            for (unsigned long i = 0; i < count; ++i) {
                luns += (i == 0 ? "" : ", ") + std::string("disk ") +
                        std::to_string(result.diskNumbers[i]) + " is LUN " +
                        std::to_string(result.diskLuns[i]);
            }
            lines.push_back(luns + "; " + std::to_string(result.pathCount) +
                            (result.pathCount == 1 ? " path" : " paths"));
        }
        if (result.alreadyLoggedIn != 0) {
            lines.emplace_back("the target was logged in before the call; its sessions stay");
        }
    }
    AddReadiness(result, lines);
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
