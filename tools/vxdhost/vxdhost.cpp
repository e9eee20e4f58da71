// vxdhost: loads vxdmount.dll, calls CreateVXD once and prints its trace lines as they are
// written, so that an administrator can watch a mount without a debugger; or attaches and
// detaches a target through the calls of 1.2, with their progress lines and their statuses.
#include <windows.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

// The exports are found with GetProcAddress, not linked.
#define VXDMOUNT_NO_DLLIMPORT
#include "entry/vxdmount.h"
#include "platform/win32/unique_handles.h"
#include "tools/credentials/credentials.h"
#include "tools/vxdhost/call_report.h"
#include "tools/vxdhost/check_win32.h"
#include "tools/vxdhost/command_line.h"
#include "tools/vxdhost/debug_output_listener.h"
#include "tools/vxdhost/post_mortem.h"

namespace {

const char kUsage[] =
    "usage: vxdhost [--dll PATH] [--check] [--timestamps] PORTAL PORT TARGET [EXTRA1 [EXTRA2]]\n"
    "       vxdhost [--dll PATH] attach [--device-wait S] [--letter-wait S] [--keep-on-failure]\n"
    "                                   [--online] [--assign-letter] [--mount-folder DIR]\n"
    "                                   [--multipath [--portal ADDR[:PORT]]...] [--lun N]\n"
    "                                   [--no-login] [--initiator INSTANCE[:PORT]]\n"
    "                                   [--check] [--chap-user NAME (--chap-secret-file FILE |\n"
    "                                   --chap-secret-stdin) [--initiator-secret-file FILE]\n"
    "                                   [--mutual-chap] [--discovery-chap]] PORTAL PORT TARGET\n"
    "       vxdhost [--dll PATH] detach [--force] [--remove-portal PORTAL PORT] [--lun N] TARGET\n"
    "       vxdhost [--dll PATH] targets [--chap-user NAME (--chap-secret-file FILE |\n"
    "                                    --chap-secret-stdin)] [PORTAL [PORT]]\n"
    "       vxdhost [--dll PATH] --version\n";

const char kHelp[] =
    "Calls CreateVXD(PORTAL, PORT, TARGET, EXTRA1, EXTRA2) in vxdmount.dll and prints each\n"
    "trace line of the request on standard output as it is written.\n"
    "\n"
    "  --dll PATH  the library to load (default: vxdmount.dll, found the way Windows finds\n"
    "              libraries, first in this program's folder)\n"
    "  --check     before the request, check what it needs (an elevated process, the MSiSCSI\n"
    "              service, iscsidsc.dll, the portal's TCP port); after a failed request,\n"
    "              find out why; each finding is a line \"vxdhost: check: ...\" on standard\n"
    "              error, with the command that mends a fault, and the last one the verdict\n"
    "  --timestamps  each trace line after the seconds since the call, as \"[  2.013] \"\n"
    "  --version   print vxdhost's version and the library's\n"
    "\n"
    "Exit status: 0 CreateVXD returned 1 (the volume has its drive letter), 1 it returned 0,\n"
    "2 the library or its CreateVXD export could not be found, or a usage error.\n"
    "\n"
    "attach calls VxdAttach (vxdmount 1.2 and later): it logs in to TARGET behind\n"
    "PORTAL:PORT and waits for the letters of the target's volumes. Each progress line goes to\n"
    "standard output as it comes, and the last line is the letters, as \"F:\" or \"F: G:\".\n"
    "\n"
    "  --device-wait S    wait up to S seconds for the session's disks (default 60)\n"
    "  --letter-wait S    wait up to S seconds for their volumes' letters (default 120)\n"
    "  --keep-on-failure  leave the login in place when the call fails; by default a\n"
    "                     failed or cancelled call logs out the session it made\n"
    "  --online           bring the target's offline or read-only disks online and writable\n"
    "                     (never for a cluster's shared disks: two machines writing one\n"
    "                     disk lose data); the change stays after the call\n"
    "  --assign-letter    give a volume of the target that has no letter the first free\n"
    "                     one from D to Z; a failed call takes it back\n"
    "  --mount-folder DIR mount the target's one volume at the empty NTFS folder DIR\n"
    "                     instead of waiting for a letter\n"
    "  --multipath        log in through PORTAL and each --portal, multipath enabled, each\n"
    "                     path persistent if its first login fails; portals that carry a\n"
    "                     session of TARGET already are left as they are\n"
    "  --portal ADDR[:PORT]  one more portal of TARGET (up to 7), with --multipath\n"
    "  --lun N            wait for, and answer with, the disk of LUN N alone\n"
    "  --no-login         re-open a target that is attached (after a reboot, say) as it is:\n"
    "                     nothing is registered or logged in\n"
    "  --initiator INSTANCE[:PORT]  register the portal and log in through this initiator\n"
    "                     instance (HBA) and port, such as ROOT\\ISCSIPRT\\0000_0:1\n"
    "  --check            check what the call needs first, as for CreateVXD; after a\n"
    "                     failure find out why: a refused login's verdict names the user\n"
    "                     name and secret that the target must hold for this initiator\n"
    "\n"
    "CHAP, for a target that admits an initiator only with credentials:\n"
    "  --chap-user NAME            log in with CHAP as NAME, with the secret from\n"
    "  --chap-secret-file FILE     the bytes of FILE, or\n"
    "  --chap-secret-stdin         the bytes of standard input (a pipe or a file)\n"
    "  --initiator-secret-file FILE  mutual CHAP: first set the initiator's CHAP secret, which\n"
    "                              is the machine's for every target and stays set, to the\n"
    "                              bytes of FILE\n"
    "  --mutual-chap               mutual CHAP with the secret that the machine already has\n"
    "  --discovery-chap            the same user name and secret for the portal's discovery\n"
    "One line end at the end of a file or of standard input (\\n or \\r\\n) is not part of the\n"
    "secret. Windows takes secrets of 12 to 16 bytes. No option takes a secret itself: on the\n"
    "command line other users of the machine could read it. vxdhost wipes its copies after the\n"
    "call. A secret that cannot be read ends vxdhost with 2 before anything is sent.\n"
    "\n"
    "Ctrl+C or Ctrl+Break cancels the attach: the library logs out the session it made and\n"
    "vxdhost ends with 3. A second Ctrl+C ends vxdhost at once.\n"
    "\n"
    "detach calls VxdDetach: it flushes, locks and dismounts the volumes of TARGET's disks,\n"
    "logs out its sessions and removes its persistent logins.\n"
    "\n"
    "  --force            dismount volumes that are in use (data not yet written is lost)\n"
    "  --remove-portal PORTAL PORT  also remove the portal from the initiator's list\n"
    "  --lun N            take away LUN N's volumes alone; log out only when no other LUN of\n"
    "                     the target has a mounted volume\n"
    "\n"
    "targets calls VxdListTargets (vxdmount 1.5 and later): the targets that PORTAL:PORT\n"
    "offers (default port 3260), one a line on standard output, or without a PORTAL those the\n"
    "initiator already knows. A portal that is not registered is registered for the call and\n"
    "removed again; nothing is logged in. --chap-user and its secret, as for attach, are the\n"
    "portal's discovery CHAP.\n"
    "\n"
    "attach and detach name the status on standard error when they fail, with the iSCSI\n"
    "service's or Windows' status, and detach tells what it did: the letters taken away, the "
    "sessions\n"
    "logged out, the persistent logins removed and the letters in use. Exit status:\n"
    "0 done, 1 failed, 3 cancelled, 2 a usage error, or the library or the export could not\n"
    "be found.\n";

using vxd::win32::UniqueHandle;
using vxd::win32::UniqueModule;
using vxdhost::CommandLine;

void PrintFinding(const std::string &finding) {
    std::fprintf(stderr, "vxdhost: check: %s\n", finding.c_str());
}

void PrintVerdict(const std::string &verdict) {
    std::fprintf(stderr, "vxdhost: check: verdict: %s\n", verdict.c_str());
}

// "1.0.0 (description)" from a file's version resource; empty, with the reason, without one.
std::string FileVersion(const char *path, std::string &error) {
    std::string version;
    std::string description;
    if (!vxdhost::ReadFileVersion(path, version, description, error)) {
        return std::string();
    }
    return description.empty() ? version : version + " (" + description + ")";
}

int PrintVersions(const std::string &dll) {
    char self[MAX_PATH] = {};
    const DWORD length = GetModuleFileNameA(nullptr, self, sizeof self);
    std::string error;
    const std::string own = length > 0 && length < sizeof self ? FileVersion(self, error) : "";
    std::printf("vxdhost %s\n", own.empty() ? "(no version resource)" : own.c_str());
    // The library's file is found the way LoadLibrary would find it, but not loaded.
    const std::string library = FileVersion(dll.c_str(), error);
    if (library.empty()) {
        std::fprintf(stderr, "vxdhost: cannot read the version of %s: %s\n", dll.c_str(),
                     error.c_str());
    } else {
        std::printf("%s %s\n", dll.c_str(), library.c_str());
    }
    return 0;
}

// The library as a host loads it; null after saying why it does not load.
UniqueModule LoadLibraryOrSay(const std::string &dll, bool check) {
    UniqueModule library(LoadLibraryA(dll.c_str()));
    if (!library) {
        const DWORD error = GetLastError();
        std::fprintf(stderr, "vxdhost: cannot load %s: %s\n", dll.c_str(),
                     vxdhost::WindowsError(error).c_str());
        if (error == ERROR_MOD_NOT_FOUND) {
            std::fprintf(stderr, "vxdhost: either the file or a library that it needs is "
                                 "missing (iscsidsc.dll comes with the iSCSI initiator)\n");
        }
        if (check) {
            PrintVerdict(dll + " does not load (" + vxdhost::WindowsError(error) +
                         "): put it beside the program, with the iSCSI initiator installed.");
        }
    }
    return library;
}

template <typename Function> Function Export(HMODULE library, const char *name) {
    const auto address = GetProcAddress(library, name);
    return reinterpret_cast<Function>(reinterpret_cast<void *>(address));
}

int Mount(const CommandLine &line) {
    const vxdhost::MountOptions &request = line.mount;
    // Loaded before the library, which binds to the same module: the post-mortem asks the
    // initiator through it.
    // The port as the DLL reads it: leading digits, 0 without any.
    const vxdhost::CheckRequest checked{
        request.portal, static_cast<int>(std::strtol(request.port.c_str(), nullptr, 10)),
        request.target};
    HMODULE iscsidsc = nullptr;
    vxdhost::Preflight preflight;
    if (request.check) {
        preflight = vxdhost::RunPreflight(checked, iscsidsc);
        for (const std::string &finding : vxdhost::PreflightFindings(checked, preflight)) {
            PrintFinding(finding);
        }
    }
    const UniqueModule initiator(iscsidsc);

    // Listening starts first, so that no line of the request can go by unseen.
    vxdhost::DebugOutputListener listener(stdout);
    if (request.timestamps) {
        listener.ShowTimestamps();
    }
    if (request.check) {
        listener.KeepLines();
    }
    std::string listenError;
    if (!listener.Start(listenError)) {
        std::fprintf(stderr, "vxdhost: the trace is not shown here: %s\n", listenError.c_str());
    }

    const UniqueModule library = LoadLibraryOrSay(line.dll, request.check);
    if (!library) {
        return vxdhost::kExitUsage;
    }
    const auto createVxd = Export<VxdCreateVxdFunction>(library.get(), "CreateVXD");
    if (createVxd == nullptr) {
        std::fprintf(stderr, "vxdhost: %s has no export named CreateVXD\n", line.dll.c_str());
        if (request.check) {
            PrintVerdict(line.dll + " is not vxdmount.dll: it has no CreateVXD export.");
        }
        return vxdhost::kExitUsage;
    }

    std::fprintf(stderr, "vxdhost: CreateVXD(%s, %s, %s, %s, %s) from %s\n", request.portal.c_str(),
                 request.port.c_str(), request.target.c_str(), request.extra1.c_str(),
                 request.extra2.c_str(), line.dll.c_str());
    const std::string lettersBefore = vxdhost::DriveLetters();
    listener.MarkStart();
    const int result =
        createVxd(request.portal.c_str(), request.port.c_str(), request.target.c_str(),
                  request.extra1.c_str(), request.extra2.c_str());
    listener.Finish();

    std::fprintf(stderr, "vxdhost: CreateVXD returned %d (%s)\n", result,
                 result == 1 ? "the volume has its drive letter" : "the mount failed");
    if (request.check) {
        vxdhost::WindowsMachine machine(iscsidsc);
        const vxdhost::Diagnosis diagnosis =
            vxdhost::PostMortem(checked, preflight, listener.Lines(), result, lettersBefore,
                                vxdhost::DriveLetters(), machine);
        for (const std::string &finding : diagnosis.findings) {
            PrintFinding(finding);
        }
        PrintVerdict(diagnosis.verdict);
    }
    return result == 1 ? vxdhost::kExitDone : vxdhost::kExitFailed;
}

// Each progress line of a call on standard output, the moment it comes; kept in the vector
// that `context` points at, when it does, for --check.
void VXDMOUNT_CALL PrintProgress(void *context, const char *line) {
    std::printf("%s\n", line);
    std::fflush(stdout);
    if (context != nullptr) {
        // Nothing may be thrown back through the library.
        try {
            static_cast<std::vector<std::string> *>(context)->emplace_back(line);
        } catch (...) {
        }
    }
}

// The exports of 1.2, found with GetProcAddress.
struct Calls {
    VxdAttachFunction attach = nullptr;
    VxdDetachFunction detach = nullptr;
    VxdStatusTextFunction statusText = nullptr;
};

bool FindCalls(HMODULE library, const std::string &dll, const char *call, Calls &calls) {
    calls.attach = Export<VxdAttachFunction>(library, "VxdAttach");
    calls.detach = Export<VxdDetachFunction>(library, "VxdDetach");
    calls.statusText = Export<VxdStatusTextFunction>(library, "VxdStatusText");
    const bool found =
        calls.statusText != nullptr &&
        (std::strcmp(call, "VxdAttach") == 0 ? calls.attach != nullptr : calls.detach != nullptr);
    if (!found) {
        std::fprintf(stderr,
                     "vxdhost: %s has no export named %s or VxdStatusText (they came with "
                     "vxdmount 1.2)\n",
                     dll.c_str(), call);
    }
    return found;
}

void PrintLines(const std::vector<std::string> &lines) {
    for (const std::string &line : lines) {
        std::fprintf(stderr, "vxdhost: %s\n", line.c_str());
    }
}

// The event that Ctrl+C and Ctrl+Break signal while an attach runs; null outside one.
std::atomic<HANDLE> attachCancelEvent{nullptr};

BOOL WINAPI CancelAttach(DWORD control) {
    if (control != CTRL_C_EVENT && control != CTRL_BREAK_EVENT) {
        return FALSE; // the console closes, or the user logs off: the default ends vxdhost
    }
    HANDLE event = attachCancelEvent.load();
    // A second press while the library undoes its login ends vxdhost at once, as usual.
    if (event == nullptr || WaitForSingleObject(event, 0) == WAIT_OBJECT_0) {
        return FALSE;
    }
    SetEvent(event);
    return TRUE;
}

// For the lifetime of the call only: outside an attach, Ctrl+C ends vxdhost as it ends any
// console program.
class CtrlCCancels {
  public:
    explicit CtrlCCancels(HANDLE event) {
        attachCancelEvent.store(event);
        installed_ = SetConsoleCtrlHandler(CancelAttach, TRUE) != 0;
        if (!installed_) {
            std::fprintf(stderr, "vxdhost: Ctrl+C cannot cancel this attach: %s\n",
                         vxdhost::WindowsError(GetLastError()).c_str());
        }
    }
    ~CtrlCCancels() {
        if (installed_) {
            SetConsoleCtrlHandler(CancelAttach, FALSE);
        }
        attachCancelEvent.store(nullptr);
    }
    CtrlCCancels(const CtrlCCancels &) = delete;
    CtrlCCancels &operator=(const CtrlCCancels &) = delete;

  private:
    bool installed_ = false;
};

// Where --chap-secret-file and --chap-secret-stdin read: a file, or standard input as a pipe
// or a file, never a console, where the secret would show as it is typed.
class SecretFiles : public vxd::credentials::SecretSource {
  public:
    bool OpenFile(const std::string &path, std::string &error) override {
        file_.reset(CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!file_) {
            error = vxdhost::WindowsError(GetLastError());
            return false;
        }
        reading_ = file_.get();
        return true;
    }
    bool OpenStandardInput(std::string &error) override {
        HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
        if (input == nullptr || input == INVALID_HANDLE_VALUE) {
            error = "vxdhost has none";
            return false;
        }
        if (GetFileType(input) == FILE_TYPE_CHAR) {
            error = "it is a console, which would show the secret as it is typed: pipe it in, "
                    "or use --chap-secret-file";
            return false;
        }
        reading_ = input;
        return true;
    }
    long Read(unsigned char *into, std::size_t size, std::string &error) override {
        DWORD read = 0;
        if (ReadFile(reading_, into, static_cast<DWORD>(size), &read, nullptr) == 0) {
            const DWORD code = GetLastError();
            if (code == ERROR_BROKEN_PIPE) {
                return 0; // the writer closed its end: all has been read
            }
            error = vxdhost::WindowsError(code);
            return -1;
        }
        return static_cast<long>(read);
    }

  private:
    vxd::win32::UniqueFileHandle file_;
    HANDLE reading_ = nullptr;
};

// "; CHAP as "alice", the secret from secret.txt, mutual, for discovery too": what the call
// sends, but the secrets themselves.
std::string ChapSummary(const vxd::credentials::Options &chap) {
    if (chap.user.empty()) {
        return std::string();
    }
    return "; CHAP as \"" + chap.user + "\", the secret from " +
           (chap.secretFromStandardInput ? std::string("standard input") : chap.secretFile) +
           (chap.mutual || !chap.initiatorSecretFile.empty() ? ", mutual" : "") +
           (chap.discovery ? ", for discovery too" : "");
}

void PrintAttachCheck(const vxdhost::AttachOptions &options, const vxdhost::Preflight &preflight,
                      HMODULE iscsidsc, const std::vector<std::string> &progress,
                      const VxdAttachResult &result) {
    vxdhost::AttachFacts facts;
    facts.request = {options.portal, options.port, options.target};
    facts.chapUser = options.chap.user;
    facts.secretSource =
        options.chap.secretFromStandardInput ? "standard input" : options.chap.secretFile;
    facts.initiatorSecretSource = options.chap.initiatorSecretFile;
    facts.discoveryChap = options.chap.discovery;
    facts.mutualChap = options.chap.mutual;
    facts.progress = progress;
    facts.status = result.status;
    facts.serviceStatus = result.serviceStatus;
    facts.letters = vxdhost::LetterList(result.letters, sizeof result.letters);
    for (unsigned long i = 0; i < result.diskCount && i < 26; ++i) {
        facts.disks.push_back(result.diskNumbers[i]);
        facts.diskAttributes.push_back(result.diskAttributes[i]);
    }
    for (unsigned long i = 0; i < result.volumeCount && i < 8; ++i) {
        facts.volumes.emplace_back(result.volumeNames[i], strnlen(result.volumeNames[i], 50));
    }
    facts.bringOnline = options.bringOnline;
    facts.mountFolder = options.mountFolder;
    vxdhost::WindowsMachine machine(iscsidsc);
    const vxdhost::Diagnosis diagnosis = vxdhost::AttachPostMortem(facts, preflight, machine);
    for (const std::string &finding : diagnosis.findings) {
        PrintFinding(finding);
    }
    PrintVerdict(diagnosis.verdict);
}

// The secrets that the options name, read before anything is sent; false once it said why.
bool ReadSecretsOrSay(const vxd::credentials::Options &chap, vxd::credentials::Secrets &secrets) {
    if (!chap.Any()) {
        return true;
    }
    SecretFiles files;
    std::string error;
    if (vxd::credentials::ReadSecrets(chap, files, secrets, error)) {
        return true;
    }
    std::fprintf(stderr, "vxdhost: %s\n", error.c_str());
    return false;
}

int Attach(const CommandLine &line) {
    const vxdhost::AttachOptions &options = line.attach;
    // The secrets first: a file that cannot be read stops the attach before anything is sent.
    vxd::credentials::Secrets secrets;
    if (!ReadSecretsOrSay(options.chap, secrets)) {
        return vxdhost::kExitUsage;
    }
    // Loaded before the library, which binds to the same module: the check asks the initiator
    // through it.
    HMODULE iscsidsc = nullptr;
    vxdhost::Preflight preflight;
    if (options.check) {
        const vxdhost::CheckRequest checked{options.portal, options.port, options.target};
        preflight = vxdhost::RunPreflight(checked, iscsidsc);
        for (const std::string &finding : vxdhost::PreflightFindings(checked, preflight)) {
            PrintFinding(finding);
        }
    }
    const UniqueModule initiator(iscsidsc);
    const UniqueModule library = LoadLibraryOrSay(line.dll, options.check);
    Calls calls;
    if (!library || !FindCalls(library.get(), line.dll, "VxdAttach", calls)) {
        return vxdhost::kExitUsage;
    }
    // Manual-reset: once cancelled, every later wait of the call sees it.
    const UniqueHandle cancel(CreateEventA(nullptr, TRUE, FALSE, nullptr));
    if (!cancel) {
        std::fprintf(stderr, "vxdhost: no event to cancel the attach with: %s\n",
                     vxdhost::WindowsError(GetLastError()).c_str());
        return vxdhost::kExitFailed;
    }
    VxdAttachRequest request{};
    request.size = sizeof request;
    request.portalAddress = options.portal.c_str();
    request.portalPort = options.port;
    request.targetName = options.target.c_str();
    request.deviceWaitMs = options.deviceWaitMs;
    request.letterWaitMs = options.letterWaitMs;
    request.cancelEvent = cancel.get();
    request.progress = PrintProgress;
    std::vector<std::string> progress;
    request.progressContext = options.check ? &progress : nullptr;
    request.flags = (options.keepOnFailure ? VXD_ATTACH_KEEP_ON_FAILURE : 0) |
                    (options.bringOnline ? VXD_ATTACH_BRING_ONLINE : 0) |
                    (options.assignLetter ? VXD_ATTACH_ASSIGN_LETTER : 0) |
                    (options.oneLun ? VXD_ATTACH_ONE_LUN : 0) |
                    (options.noLogin ? VXD_ATTACH_NO_LOGIN : 0);
    request.mountFolder = options.mountFolder.empty() ? nullptr : options.mountFolder.c_str();
    request.lun = options.lun;
    if (!options.initiatorInstance.empty()) {
        request.initiatorInstance = options.initiatorInstance.c_str();
        request.initiatorPortNumber = options.initiatorPort;
    }
    std::vector<VxdPortal> extraPortals;
    for (const auto &[address, port] : options.extraPortals) {
        extraPortals.push_back(VxdPortal{address.c_str(), port});
    }
    request.flags |= options.multipath ? VXD_ATTACH_MULTIPATH : 0;
    request.extraPortals = extraPortals.empty() ? nullptr : extraPortals.data();
    request.extraPortalCount = static_cast<VxdULong>(extraPortals.size());
    if (options.chap.Any()) {
        request.chapUserName = options.chap.user.c_str();
        request.chapSecret = secrets.chap.Data();
        request.chapSecretLength = static_cast<VxdULong>(secrets.chap.Size());
        if (!options.chap.initiatorSecretFile.empty()) {
            request.initiatorSecret = secrets.initiator.Data();
            request.initiatorSecretLength = static_cast<VxdULong>(secrets.initiator.Size());
        }
        request.flags |= vxd::credentials::AttachFlags(options.chap);
    }
    VxdAttachResult result{};
    result.size = sizeof result;

    std::fprintf(stderr,
                 "vxdhost: VxdAttach(%s, %u, %s) from %s: up to %lu s for the disks, %lu s for "
                 "the letters%s%s\n",
                 options.portal.c_str(), static_cast<unsigned>(options.port),
                 options.target.c_str(), line.dll.c_str(), options.deviceWaitMs / 1000,
                 options.letterWaitMs / 1000,
                 options.keepOnFailure ? "; the login stays should it fail" : "",
                 ChapSummary(options.chap).c_str());
    if (!options.chap.initiatorSecretFile.empty()) {
        std::fprintf(stderr,
                     "vxdhost: the call first sets the initiator's CHAP secret to the one from "
                     "%s: it is the machine's, for every target's mutual CHAP, and stays set\n",
                     options.chap.initiatorSecretFile.c_str());
    }
    int status = VXD_STATUS_OK;
    {
        const CtrlCCancels ctrlC(cancel.get());
        status = calls.attach(&request, &result);
    }
    // The library has made and wiped its own copies; vxdhost's go now.
    secrets.chap.Clear();
    secrets.initiator.Clear();
    vxdhost::WindowsMachine machine(nullptr);
    PrintLines(vxdhost::AttachReport(result, calls.statusText(result.status), machine));
    if (options.check) {
        PrintAttachCheck(options, preflight, iscsidsc, progress, result);
    }
    if (status == VXD_STATUS_OK) {
        // The last line of standard output: what a script takes.
        std::printf("%s\n", vxdhost::LetterList(result.letters, sizeof result.letters).c_str());
    }
    return vxdhost::ExitStatusOf(status);
}

int Detach(const CommandLine &line) {
    const vxdhost::DetachOptions &options = line.detach;
    const UniqueModule library = LoadLibraryOrSay(line.dll, false);
    Calls calls;
    if (!library || !FindCalls(library.get(), line.dll, "VxdDetach", calls)) {
        return vxdhost::kExitUsage;
    }
    VxdDetachRequest request{};
    request.size = sizeof request;
    request.targetName = options.target.c_str();
    request.portalAddress = options.removePortal ? options.portal.c_str() : nullptr;
    request.portalPort = options.port;
    request.flags = (options.force ? VXD_DETACH_FORCE : 0) |
                    (options.removePortal ? VXD_DETACH_REMOVE_PORTAL : 0) |
                    (options.oneLun ? VXD_DETACH_ONE_LUN : 0);
    request.lun = options.lun;
    request.progress = PrintProgress;
    VxdDetachResult result{};
    result.size = sizeof result;

    const std::string portal = options.removePortal ? "; removes the portal " + options.portal +
                                                          ":" + std::to_string(options.port)
                                                    : std::string();
    std::fprintf(stderr, "vxdhost: VxdDetach(%s) from %s%s%s\n", options.target.c_str(),
                 line.dll.c_str(), options.force ? "; forced" : "", portal.c_str());
    const int status = calls.detach(&request, &result);
    vxdhost::WindowsMachine machine(nullptr);
    PrintLines(
        vxdhost::DetachReport(result, calls.statusText(result.status), options.force, machine));
    return vxdhost::ExitStatusOf(status);
}

} // namespace

// vxdhost targets: asks VxdListTargets for the size first, then for the names, one a line on
// standard output.
int Targets(const CommandLine &line) {
    const vxdhost::TargetsOptions &options = line.targets;
    vxd::credentials::Secrets secrets;
    if (!ReadSecretsOrSay(options.chap, secrets)) {
        return vxdhost::kExitUsage;
    }
    const UniqueModule library = LoadLibraryOrSay(line.dll, false);
    const auto list =
        library ? Export<VxdListTargetsFunction>(library.get(), "VxdListTargets") : nullptr;
    const auto statusText =
        library ? Export<VxdStatusTextFunction>(library.get(), "VxdStatusText") : nullptr;
    if (list == nullptr || statusText == nullptr) {
        if (library) {
            std::fprintf(stderr,
                         "vxdhost: %s has no export named VxdListTargets (it came with "
                         "vxdmount 1.5)\n",
                         line.dll.c_str());
        }
        return vxdhost::kExitUsage;
    }
    VxdListTargetsRequest request{};
    request.size = sizeof request;
    request.portalAddress = options.portal.empty() ? nullptr : options.portal.c_str();
    request.portalPort = options.port;
    if (options.chap.Any()) {
        request.chapUserName = options.chap.user.c_str();
        request.chapSecret = secrets.chap.Data();
        request.chapSecretLength = static_cast<VxdULong>(secrets.chap.Size());
    }
    request.progress = PrintProgress;
    const std::string portal =
        options.portal.empty()
            ? std::string("the targets the initiator knows")
            : options.portal + ":" + std::to_string(options.port == 0 ? 3260 : options.port);
    std::fprintf(stderr, "vxdhost: VxdListTargets(%s) from %s%s\n", portal.c_str(),
                 line.dll.c_str(), options.chap.Any() ? "; discovery CHAP" : "");
    // The list may grow between the two questions: a few rounds settle it.
    std::vector<char> names;
    unsigned long size = 0;
    int status = list(&request, nullptr, &size);
    for (int round = 0; round < 3 && status == VXD_STATUS_BUFFER_TOO_SMALL; ++round) {
        std::fprintf(stderr, "vxdhost: the names take %lu bytes; asking again\n", size);
        names.assign(size, '\0');
        status = list(&request, names.data(), &size);
    }
    secrets.chap.Clear();
    std::fprintf(stderr, "vxdhost: VxdListTargets returned %s\n",
                 vxdhost::CallStatusText(status, statusText(status)).c_str());
    if (status != VXD_STATUS_OK) {
        return vxdhost::ExitStatusOf(status);
    }
    for (std::size_t at = 0; at < names.size() && names[at] != '\0';) {
        const std::string target(&names[at]);
        std::printf("%s\n", target.c_str());
        at += target.size() + 1;
    }
    return vxdhost::kExitDone;
}

int main(int argc, char **argv) {
    const CommandLine line = vxdhost::ParseCommandLine(argc, argv);
    switch (line.command) {
    case vxdhost::Command::kHelp:
        std::fputs(kUsage, stdout);
        std::fputs(kHelp, stdout);
        return vxdhost::kExitDone;
    case vxdhost::Command::kVersion:
        return PrintVersions(line.dll);
    case vxdhost::Command::kUsageError:
        std::fprintf(stderr, "vxdhost: %s\n", line.error.c_str());
        std::fputs(kUsage, stderr);
        return vxdhost::kExitUsage;
    case vxdhost::Command::kMount:
        return Mount(line);
    case vxdhost::Command::kAttach:
        return Attach(line);
    case vxdhost::Command::kDetach:
        return Detach(line);
    case vxdhost::Command::kTargets:
        return Targets(line);
    }
    return vxdhost::kExitUsage;
}
