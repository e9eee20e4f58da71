#include "tools/testkit/kit_letters.h"

#include <winioctl.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <memory>

#include "platform/win32/unique_handles.h"

namespace testkit {
namespace {

constexpr char kVolumeVariable[] = "VXDMOUNT_TESTKIT_VOLUME";
constexpr char kLedgerPattern[] = "vxdmount-testkit-*.letters";
constexpr char kLedgerScan[] = "vxdmount-testkit-%lu-%llx.letters";
// Room for the extents query's answer: the count, then one extent.
constexpr DWORD kFirstExtentEnd = 8 + sizeof(DWORD);

using vxd::win32::UniqueFileHandle;
using vxd::win32::UniqueFileSearch;
using vxd::win32::UniqueHandle;

using UniqueFile = std::unique_ptr<std::FILE, int (*)(std::FILE *)>;

std::string DriveName(char letter) { return std::string(1, letter) + ":"; }

// The device a drive letter points at; empty when the machine has no such letter.
std::string DeviceOf(char letter) {
    char target[MAX_PATH] = {};
    if (QueryDosDeviceA(DriveName(letter).c_str(), target, sizeof target) == 0) {
        return std::string();
    }
    return target;
}

bool RemoveDefinition(char letter, const std::string &device) {
    return DefineDosDeviceA(DDD_RAW_TARGET_PATH | DDD_REMOVE_DEFINITION | DDD_EXACT_MATCH_ON_REMOVE,
                            DriveName(letter).c_str(), device.c_str()) != 0;
}

// A process is known by its id and its creation time, so that a reused id is not taken for it.
unsigned long long CreationTime(HANDLE process) {
    FILETIME created{};
    FILETIME exited{};
    FILETIME kernel{};
    FILETIME user{};
    if (!GetProcessTimes(process, &created, &exited, &kernel, &user)) {
        return 0;
    }
    return (static_cast<unsigned long long>(created.dwHighDateTime) << 32) | created.dwLowDateTime;
}

bool ProcessRuns(unsigned long id, unsigned long long created) {
    const UniqueHandle process(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, id));
    if (!process) {
        return false;
    }
    DWORD exitCode = 0;
    return GetExitCodeProcess(process.get(), &exitCode) && exitCode == STILL_ACTIVE &&
           CreationTime(process.get()) == created;
}

std::string TempFolder() {
    char path[MAX_PATH + 1] = {};
    const DWORD length = GetTempPathA(sizeof path, path);
    return length == 0 || length > MAX_PATH ? std::string() : std::string(path, length);
}

std::string OwnLedger() {
    std::string folder = TempFolder();
    if (folder.empty()) {
        return folder;
    }
    char name[96] = {};
    std::snprintf(name, sizeof name, kLedgerScan, GetCurrentProcessId(),
                  CreationTime(GetCurrentProcess()));
    return folder + name;
}

// The letters of a ledger: one line each, the letter, a tab and the device.
std::vector<std::pair<char, std::string>> ReadLedger(const std::string &path) {
    std::vector<std::pair<char, std::string>> letters;
    const UniqueFile file(std::fopen(path.c_str(), "r"), &std::fclose);
    if (!file) {
        return letters;
    }
    char line[MAX_PATH + 8];
    while (std::fgets(line, sizeof line, file.get()) != nullptr) {
        std::string text(line);
        while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) {
            text.pop_back();
        }
        if (text.size() > 2 && text[0] >= 'A' && text[0] <= 'Z' && text[1] == '\t') {
            letters.emplace_back(text[0], text.substr(2));
        }
    }
    return letters;
}

} // namespace

const char kStrayDevice[] = "\\Device\\VxdmountTestkitStray";

bool FindTestVolume(TestVolume &volume, std::string &error) {
    const char *named = std::getenv(kVolumeVariable);
    std::string drive = named == nullptr ? std::string() : std::string(named);
    if (drive.empty()) {
        char system[MAX_PATH] = {};
        if (GetSystemDirectoryA(system, sizeof system) == 0) {
            error = "the system drive is unknown";
            return false;
        }
        drive = std::string(system, 1);
    }
    // "D", "D:" or "D:\".
    const bool isDrive = std::isalpha(static_cast<unsigned char>(drive[0])) != 0 &&
                         drive.size() <= 3 && (drive.size() < 2 || drive[1] == ':') &&
                         (drive.size() < 3 || drive[2] == '\\');
    if (!isDrive) {
        error = std::string(kVolumeVariable) + " is \"" + drive + "\", not a drive such as D:";
        return false;
    }
    volume.letter = static_cast<char>(std::toupper(static_cast<unsigned char>(drive[0])));
    volume.device = DeviceOf(volume.letter);
    if (volume.device.empty()) {
        error = "the test volume " + DriveName(volume.letter) + " does not exist";
        return false;
    }
    const std::string path = "\\\\.\\" + DriveName(volume.letter);
    const UniqueFileHandle handle(CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE,
                                              FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                              OPEN_EXISTING, 0, nullptr));
    if (!handle) {
        error = "the test volume " + DriveName(volume.letter) + " cannot be opened (error " +
                std::to_string(GetLastError()) + "; run as administrator)";
        return false;
    }
    VOLUME_DISK_EXTENTS extents{};
    DWORD returned = 0;
    DeviceIoControl(handle.get(), IOCTL_VOLUME_GET_VOLUME_DISK_EXTENTS, nullptr, 0, &extents,
                    sizeof extents, &returned, nullptr);
    if (returned < kFirstExtentEnd) {
        error = "the test volume " + DriveName(volume.letter) + " does not tell its disk";
        return false;
    }
    volume.disk = extents.Extents[0].DiskNumber;
    return true;
}

void KitLetters::RemoveStale(std::vector<std::string> &notes) {
    const std::string folder = TempFolder();
    if (folder.empty()) {
        return;
    }
    WIN32_FIND_DATAA found{};
    const UniqueFileSearch search(FindFirstFileA((folder + kLedgerPattern).c_str(), &found));
    if (!search) {
        return;
    }
    do {
        unsigned long id = 0;
        unsigned long long created = 0;
        if (std::sscanf(found.cFileName, kLedgerScan, &id, &created) != 2 ||
            ProcessRuns(id, created)) {
            continue;
        }
        const std::string path = folder + found.cFileName;
        std::string removed;
        for (const auto &[letter, device] : ReadLedger(path)) {
            if (DeviceOf(letter) == device) {
                RemoveDefinition(letter, device);
                removed += " " + DriveName(letter);
            }
        }
        DeleteFileA(path.c_str());
        if (!removed.empty()) {
            notes.push_back("removed" + removed + " left by process " + std::to_string(id) +
                            ", which has ended");
        }
    } while (FindNextFileA(search.get(), &found));
}

bool KitLetters::Define(char letter, const std::string &device, std::string &error) {
    if (!DeviceOf(letter).empty()) {
        error = DriveName(letter) + " is in use on this machine; the scenario's " +
                DriveName(letter) + " is not made";
        return false;
    }
    if (!DefineDosDeviceA(DDD_RAW_TARGET_PATH, DriveName(letter).c_str(), device.c_str())) {
        error =
            "cannot make " + DriveName(letter) + " (error " + std::to_string(GetLastError()) + ")";
        return false;
    }
    defined_.emplace_back(letter, device);
    if (!WriteLedger()) {
        error = "cannot write " + ledger_ + "; " + DriveName(letter) +
                " will stay if the process is killed";
        return false;
    }
    return true;
}

bool KitLetters::Remove(char letter, std::string &error) {
    const auto made = std::find_if(defined_.begin(), defined_.end(), [letter](const auto &defined) {
        return defined.first == letter;
    });
    if (made == defined_.end()) {
        error = DriveName(letter) + " is not one of the kit's letters";
        return false;
    }
    if (!RemoveDefinition(letter, made->second)) {
        error = "cannot remove " + DriveName(letter) + " (error " + std::to_string(GetLastError()) +
                ")";
        return false;
    }
    defined_.erase(made);
    // No letters, no ledger: a later Define writes it again.
    if (defined_.empty()) {
        DeleteFileA(ledger_.c_str());
        return true;
    }
    if (!WriteLedger()) {
        error = "cannot write " + ledger_ + "; the ledger still names " + DriveName(letter);
        return false;
    }
    return true;
}

void KitLetters::RemoveAll() {
    for (const auto &[letter, device] : defined_) {
        RemoveDefinition(letter, device);
    }
    defined_.clear();
    if (!ledger_.empty()) {
        DeleteFileA(ledger_.c_str());
    }
}

bool KitLetters::WriteLedger() {
    if (ledger_.empty()) {
        ledger_ = OwnLedger();
    }
    const UniqueFile file(std::fopen(ledger_.c_str(), "w"), &std::fclose);
    if (!file) {
        return false;
    }
    for (const auto &[letter, device] : defined_) {
        std::fprintf(file.get(), "%c\t%s\n", letter, device.c_str());
    }
    return std::ferror(file.get()) == 0;
}

} // namespace testkit
