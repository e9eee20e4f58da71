// vxdhost: loads vxdmount.dll, calls CreateVXD once and prints its trace lines as they are
// written, so that an administrator can watch a mount without a debugger.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

// The export is found with GetProcAddress, not linked.
#define VXDMOUNT_NO_DLLIMPORT
#include "entry/vxdmount.h"
#include "platform/win32/unique_handles.h"
#include "tools/vxdhost/check_win32.h"
#include "tools/vxdhost/debug_output_listener.h"
#include "tools/vxdhost/post_mortem.h"

namespace {

const char kUsage[] =
    "usage: vxdhost [--dll PATH] [--check] [--timestamps] PORTAL PORT TARGET [EXTRA1 [EXTRA2]]\n"
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
    "2 the library or its CreateVXD export could not be found, or a usage error.\n";

using vxd::win32::UniqueModule;

struct Request {
    std::string dll = "vxdmount.dll";
    const char *portal = nullptr;
    const char *port = nullptr;
    const char *target = nullptr;
    const char *extra1 = "";
    const char *extra2 = "";
    bool check = false;
    bool timestamps = false;
};

enum class Parsed { kRequest, kHelp, kVersion, kError };

Parsed ParseArguments(int argc, char **argv, Request &request) {
    int next = 1;
    if (next < argc && (std::strcmp(argv[next], "--help") == 0 ||
                        std::strcmp(argv[next], "-h") == 0 || std::strcmp(argv[next], "/?") == 0)) {
        return Parsed::kHelp;
    }
    for (; next < argc; ++next) {
        if (std::strcmp(argv[next], "--dll") == 0) {
            if (next + 1 >= argc) {
                std::fprintf(stderr, "vxdhost: --dll needs a PATH\n");
                return Parsed::kError;
            }
            request.dll = argv[++next];
        } else if (std::strcmp(argv[next], "--check") == 0) {
            request.check = true;
        } else if (std::strcmp(argv[next], "--timestamps") == 0) {
            request.timestamps = true;
        } else {
            break;
        }
    }
    if (next + 1 == argc && std::strcmp(argv[next], "--version") == 0) {
        return Parsed::kVersion;
    }
    const int positional = argc - next;
    if (positional < 3 || positional > 5) {
        std::fprintf(stderr, "vxdhost: expected 3 to 5 arguments, got %d\n", positional);
        return Parsed::kError;
    }
    request.portal = argv[next];
    request.port = argv[next + 1];
    request.target = argv[next + 2];
    if (positional >= 4) {
        request.extra1 = argv[next + 3];
    }
    if (positional == 5) {
        request.extra2 = argv[next + 4];
    }
    return Parsed::kRequest;
}

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

} // namespace

int main(int argc, char **argv) {
    Request request;
    switch (ParseArguments(argc, argv, request)) {
    case Parsed::kHelp:
        std::fputs(kUsage, stdout);
        std::fputs(kHelp, stdout);
        return 0;
    case Parsed::kVersion:
        return PrintVersions(request.dll);
    case Parsed::kError:
        std::fputs(kUsage, stderr);
        return 2;
    case Parsed::kRequest:
        break;
    }

    // Loaded before the library, which binds to the same module: the post-mortem asks the
    // initiator through it.
    // The port as the DLL reads it: leading digits, 0 without any.
    const vxdhost::CheckRequest checked{
        request.portal, static_cast<int>(std::strtol(request.port, nullptr, 10)), request.target};
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

    UniqueModule library(LoadLibraryA(request.dll.c_str()));
    if (!library) {
        const DWORD error = GetLastError();
        std::fprintf(stderr, "vxdhost: cannot load %s: %s\n", request.dll.c_str(),
                     vxdhost::WindowsError(error).c_str());
        if (error == ERROR_MOD_NOT_FOUND) {
            std::fprintf(stderr, "vxdhost: either the file or a library that it needs is "
                                 "missing (iscsidsc.dll comes with the iSCSI initiator)\n");
        }
        if (request.check) {
            PrintVerdict(request.dll + " does not load (" + vxdhost::WindowsError(error) +
                         "): put it beside the program, with the iSCSI initiator installed.");
        }
        return 2;
    }
    const auto address = GetProcAddress(library.get(), "CreateVXD");
    if (address == nullptr) {
        std::fprintf(stderr, "vxdhost: %s has no export named CreateVXD\n", request.dll.c_str());
        if (request.check) {
            PrintVerdict(request.dll + " is not vxdmount.dll: it has no CreateVXD export.");
        }
        return 2;
    }
    const auto createVxd =
        reinterpret_cast<VxdCreateVxdFunction>(reinterpret_cast<void *>(address));

    std::fprintf(stderr, "vxdhost: CreateVXD(%s, %s, %s, %s, %s) from %s\n", request.portal,
                 request.port, request.target, request.extra1, request.extra2, request.dll.c_str());
    const std::string lettersBefore = vxdhost::DriveLetters();
    listener.MarkStart();
    const int result =
        createVxd(request.portal, request.port, request.target, request.extra1, request.extra2);
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
    return result == 1 ? 0 : 1;
}
