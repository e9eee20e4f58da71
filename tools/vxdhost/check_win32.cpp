// Windows Sockets 2 before anything that includes windows.h, which would bring the old ones.
#include <winsock2.h>

#include "tools/vxdhost/check_win32.h"

#include <windows.h>

#include <winioctl.h>

#include <algorithm>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <vector>

#include "disks/disk_state.h"
#include "iscsi/initiator_client.h"
#include "platform/platform.h"
#include "platform/win32/unique_handles.h"

namespace vxdhost {
namespace {

namespace p = vxd::platform;

constexpr DWORD kPortalTimeoutMs = 3000;
constexpr ULONG kProcedureMissing = ERROR_PROC_NOT_FOUND;

// A REG_DWORD of HKEY_LOCAL_MACHINE: false with the reason when it cannot be read.
bool MachineDword(const char *key, const char *value, DWORD &data, std::string &why) {
    DWORD size = sizeof data;
    const LSTATUS status =
        RegGetValueA(HKEY_LOCAL_MACHINE, key, value, RRF_RT_REG_DWORD, nullptr, &data, &size);
    if (status != ERROR_SUCCESS) {
        why = std::string(value) + ": " + WindowsError(static_cast<DWORD>(status));
        return false;
    }
    return true;
}

using vxd::win32::UniqueFileHandle;
using vxd::win32::UniqueHandle;
using vxd::win32::UniqueServiceHandle;
using vxd::win32::UniqueVolumeSearch;

using vxd::win32::UniqueSocket;

class WinsockSession {
  public:
    WinsockSession() {
        WSADATA data;
        started_ = WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }
    ~WinsockSession() {
        if (started_) {
            WSACleanup();
        }
    }
    WinsockSession(const WinsockSession &) = delete;
    WinsockSession &operator=(const WinsockSession &) = delete;
    bool started() const { return started_; }

  private:
    bool started_ = false;
};

Fact Yes(const std::string &detail) { return {Answer::kYes, detail}; }
Fact No(const std::string &detail) { return {Answer::kNo, detail}; }
Fact Unknown(const std::string &detail) { return {Answer::kUnknown, detail}; }

Fact Elevation() {
    UniqueHandle token;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, token.put())) {
        return Unknown(WindowsError(GetLastError()));
    }
    TOKEN_ELEVATION elevation{};
    DWORD size = 0;
    if (!GetTokenInformation(token.get(), TokenElevation, &elevation, sizeof elevation, &size)) {
        return Unknown(WindowsError(GetLastError()));
    }
    return elevation.TokenIsElevated != 0 ? Yes("") : No("");
}

Fact Service(std::string &startType) {
    const UniqueServiceHandle manager(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT));
    if (!manager) {
        return Unknown("the service control manager: " + WindowsError(GetLastError()));
    }
    const UniqueServiceHandle service(
        OpenServiceA(manager.get(), "MSiSCSI", SERVICE_QUERY_STATUS | SERVICE_QUERY_CONFIG));
    if (!service) {
        return Unknown("asking the service control manager for it: " +
                       WindowsError(GetLastError()));
    }
    DWORD needed = 0;
    QueryServiceConfigA(service.get(), nullptr, 0, &needed);
    std::vector<char> buffer(needed + sizeof(QUERY_SERVICE_CONFIGA));
    auto *config = reinterpret_cast<QUERY_SERVICE_CONFIGA *>(buffer.data());
    if (QueryServiceConfigA(service.get(), config, static_cast<DWORD>(buffer.size()), &needed)) {
        switch (config->dwStartType) {
        case SERVICE_AUTO_START:
            startType = "automatically";
            break;
        case SERVICE_DEMAND_START:
            startType = "manually";
            break;
        case SERVICE_DISABLED:
            startType = "never (disabled)";
            break;
        default:
            startType = "with start type " + std::to_string(config->dwStartType);
            break;
        }
    }
    SERVICE_STATUS status{};
    if (!QueryServiceStatus(service.get(), &status)) {
        return Unknown(WindowsError(GetLastError()));
    }
    return status.dwCurrentState == SERVICE_RUNNING ? Yes("") : No("");
}

Fact Library(HMODULE &iscsidsc, bool &testKit) {
    iscsidsc = LoadLibraryA("iscsidsc.dll");
    if (iscsidsc == nullptr) {
        return No(WindowsError(GetLastError()));
    }
    char path[MAX_PATH] = {};
    const DWORD length = GetModuleFileNameA(iscsidsc, path, sizeof path);
    const std::string file(path, length < sizeof path ? length : 0);
    std::string version;
    std::string description;
    std::string error;
    testKit = ReadFileVersion(file, version, description, error) &&
              description.rfind("vxdmount test kit", 0) == 0;
    return Yes(file);
}

Fact PortalAnswers(const CheckRequest &request) {
    const unsigned long address = inet_addr(request.portal.c_str());
    if (address == INADDR_NONE) {
        return Unknown(request.portal + " is not an IPv4 address");
    }
    if (request.port <= 0 || request.port > 0xFFFF) {
        return Unknown("port " + std::to_string(request.port) + " is no TCP port");
    }
    const WinsockSession winsock;
    if (!winsock.started()) {
        return Unknown("Windows Sockets do not start");
    }
    const UniqueSocket held(socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
    const SOCKET opened = held.get();
    if (!held) {
        return Unknown("no socket: " + WindowsError(WSAGetLastError()));
    }
    u_long nonBlocking = 1;
    ioctlsocket(opened, FIONBIO, &nonBlocking);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(static_cast<u_short>(request.port));
    to.sin_addr.s_addr = address;
    const ULONGLONG started = GetTickCount64();
    if (connect(opened, reinterpret_cast<const sockaddr *>(&to), sizeof to) == 0) {
        return Yes("connected at once");
    }
    if (WSAGetLastError() != WSAEWOULDBLOCK) {
        return No(WindowsError(WSAGetLastError()));
    }
    fd_set writable;
    fd_set failed;
    FD_ZERO(&writable);
    FD_ZERO(&failed);
    FD_SET(opened, &writable);
    FD_SET(opened, &failed);
    timeval limit{static_cast<long>(kPortalTimeoutMs / 1000), 0};
    const int ready = select(0, nullptr, &writable, &failed, &limit);
    if (ready == 0) {
        return No("no answer within " + std::to_string(kPortalTimeoutMs / 1000) + " s");
    }
    int error = 0;
    int size = sizeof error;
    getsockopt(opened, SOL_SOCKET, SO_ERROR, reinterpret_cast<char *>(&error), &size);
    if (ready < 0 || error != 0) {
        return No(error == WSAECONNREFUSED ? std::string("connection refused")
                                           : WindowsError(static_cast<DWORD>(error)));
    }
    return Yes("connected in " + std::to_string(GetTickCount64() - started) + " ms");
}

// A discovery function, found in the module that vxdmount.dll binds to as well; its type is the
// one that the project declares for it.
template <typename Function> Function *Find(HMODULE module, const char *name) {
    if (module == nullptr) {
        return nullptr;
    }
    return reinterpret_cast<Function *>(reinterpret_cast<void *>(GetProcAddress(module, name)));
}

std::string SessionIdText(const p::ISCSI_UNIQUE_SESSION_ID &id) {
    char text[40];
    std::snprintf(text, sizeof text, "%llx-%016llx",
                  static_cast<unsigned long long>(id.AdapterUnique),
                  static_cast<unsigned long long>(id.AdapterSpecific));
    return text;
}

// The disk numbers of a volume's extents; false with the reason when it does not tell.
bool VolumeDisks(const std::string &device, std::vector<DWORD> &disks, std::string &why) {
    const UniqueFileHandle volume(CreateFileA(device.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                              nullptr, OPEN_EXISTING, 0, nullptr));
    if (!volume) {
        why = "opening " + device + ": " + WindowsError(GetLastError());
        return false;
    }
    std::vector<char> buffer(sizeof(VOLUME_DISK_EXTENTS) + 31 * sizeof(DISK_EXTENT));
    DWORD returned = 0;
    if (!DeviceIoControl(volume.get(), IOCTL_VOLUME_GET_VOLUME_DISK_EXTENTS, nullptr, 0,
                         buffer.data(), static_cast<DWORD>(buffer.size()), &returned, nullptr) ||
        returned < offsetof(VOLUME_DISK_EXTENTS, Extents) + sizeof(DISK_EXTENT)) {
        why = "IOCTL_VOLUME_GET_VOLUME_DISK_EXTENTS: " + WindowsError(GetLastError());
        return false;
    }
    const auto *extents = reinterpret_cast<const VOLUME_DISK_EXTENTS *>(buffer.data());
    // The request takes the first extent's disk whatever the count says (Wine counts none and
    // leaves the first extent zero: disk 0), and the check must see what the request saw.
    const DWORD count = std::max<DWORD>(extents->NumberOfDiskExtents, 1);
    for (DWORD i = 0; i < count && i < 32; ++i) {
        disks.push_back(extents->Extents[i].DiskNumber);
    }
    return true;
}

} // namespace

std::string WindowsError(DWORD error) {
    const std::string text = WindowsText(error);
    return "error " + std::to_string(error) + (text.empty() ? "" : ": " + text);
}

std::string WindowsText(DWORD error) {
    char text[512] = {};
    const DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                        nullptr, error, 0, text, sizeof text, nullptr);
    std::string message(text, length);
    while (!message.empty() && (message.back() == '\n' || message.back() == '\r' ||
                                message.back() == ' ' || message.back() == '.')) {
        message.pop_back();
    }
    return message;
}

bool ReadFileVersion(const std::string &path, std::string &version, std::string &description,
                     std::string &error) {
    DWORD ignored = 0;
    const DWORD size = GetFileVersionInfoSizeA(path.c_str(), &ignored);
    std::vector<char> data(size);
    if (size == 0 || !GetFileVersionInfoA(path.c_str(), 0, size, data.data())) {
        error = WindowsError(GetLastError());
        return false;
    }
    void *value = nullptr;
    UINT length = 0;
    if (!VerQueryValueA(data.data(), "\\", &value, &length) || length < sizeof(VS_FIXEDFILEINFO)) {
        error = "no version resource";
        return false;
    }
    const auto *fixed = static_cast<const VS_FIXEDFILEINFO *>(value);
    version = std::to_string(HIWORD(fixed->dwFileVersionMS)) + "." +
              std::to_string(LOWORD(fixed->dwFileVersionMS)) + "." +
              std::to_string(HIWORD(fixed->dwFileVersionLS));
    // The project's resources are written in US English, Unicode.
    description.clear();
    if (VerQueryValueA(data.data(), "\\StringFileInfo\\040904B0\\FileDescription", &value,
                       &length) &&
        length > 0) {
        description = static_cast<const char *>(value);
    }
    return true;
}

Preflight RunPreflight(const CheckRequest &request, HMODULE &iscsidsc) {
    Preflight preflight;
    preflight.elevated = Elevation();
    preflight.serviceRunning = Service(preflight.startType);
    preflight.libraryLoads = Library(iscsidsc, preflight.testKit);
    preflight.portalAnswers = PortalAnswers(request);
    return preflight;
}

std::string DriveLetters() {
    std::string letters;
    const DWORD drives = GetLogicalDrives();
    for (int i = 0; i < 26; ++i) {
        if ((drives & (1u << i)) != 0) {
            letters += static_cast<char>('A' + i);
        }
    }
    return letters;
}

std::uint32_t WindowsMachine::RegisterPortal(const CheckRequest &request) {
    const auto add =
        Find<p::AddIScsiSendTargetPortalAFunction>(iscsidsc_, "AddIScsiSendTargetPortalA");
    if (add == nullptr) {
        return kProcedureMissing;
    }
    p::ISCSI_TARGET_PORTALA portal;
    std::memset(&portal, 0, sizeof portal);
    std::snprintf(portal.SymbolicName, sizeof portal.SymbolicName, "%s", "");
    std::snprintf(portal.Address, sizeof portal.Address, "%s", request.portal.c_str());
    portal.Socket = static_cast<p::USHORT>(request.port & 0xFFFF);
    p::ISCSI_LOGIN_OPTIONS options = vxd::iscsi::LoginOptionsWithoutCredentials();
    return add(nullptr, p::kAllInitiatorPorts, &options, 0, &portal);
}

std::uint32_t WindowsMachine::InformationalLogin(const std::string &target, std::string &logout) {
    const auto login = Find<p::LoginIScsiTargetAFunction>(iscsidsc_, "LoginIScsiTargetA");
    const auto leave = Find<p::LogoutIScsiTargetFunction>(iscsidsc_, "LogoutIScsiTarget");
    if (login == nullptr || leave == nullptr) {
        return kProcedureMissing;
    }
    std::vector<char> name(target.begin(), target.end());
    name.push_back('\0');
    p::ISCSI_LOGIN_OPTIONS options = vxd::iscsi::LoginOptionsWithoutCredentials();
    p::ISCSI_UNIQUE_SESSION_ID session{};
    p::ISCSI_UNIQUE_CONNECTION_ID connection{};
    const ULONG status = login(name.data(), TRUE, nullptr, p::kAllInitiatorPorts, nullptr, 0,
                               nullptr, &options, 0, nullptr, FALSE, &session, &connection);
    if (status == 0) {
        const ULONG left = leave(&session);
        logout = left == 0 ? "and logged out again"
                           : "but the logout failed: " + StatusText(left, *this);
    }
    return status;
}

namespace {

// A list of names that the service writes NUL-separated and double-NUL-terminated, asked for
// its size first; `report(buffer, size)` asks once.
template <typename Report>
std::uint32_t ReadNameList(Report report, std::vector<std::string> &names) {
    ULONG size = 0;
    ULONG status = report(nullptr, &size);
    std::vector<char> text;
    // The list may grow between the two calls; a few rounds settle it.
    for (int round = 0; round < 3 && status == ERROR_INSUFFICIENT_BUFFER; ++round) {
        text.assign(size + 2, '\0');
        size = static_cast<ULONG>(text.size());
        status = report(text.data(), &size);
    }
    if (status != 0) {
        return status;
    }
    for (std::size_t at = 0; at < text.size() && text[at] != '\0';) {
        const std::string name(&text[at], strnlen(&text[at], text.size() - at));
        names.push_back(name);
        at += name.size() + 1;
    }
    return 0;
}

} // namespace

std::uint32_t WindowsMachine::ReportTargets(std::vector<std::string> &targets) {
    const auto report = Find<p::ReportIScsiTargetsAFunction>(iscsidsc_, "ReportIScsiTargetsA");
    if (report == nullptr) {
        return kProcedureMissing;
    }
    // The first question refreshes the list.
    return ReadNameList(
        [report](char *buffer, ULONG *size) { return report(buffer == nullptr, size, buffer); },
        targets);
}

std::uint32_t WindowsMachine::Initiators(std::vector<std::string> &instances) {
    const auto report =
        Find<p::ReportIScsiInitiatorListAFunction>(iscsidsc_, "ReportIScsiInitiatorListA");
    if (report == nullptr) {
        return kProcedureMissing;
    }
    return ReadNameList([report](char *buffer, ULONG *size) { return report(size, buffer); },
                        instances);
}

std::uint32_t WindowsMachine::Sessions(std::vector<SessionFacts> &sessions) {
    const auto list = Find<p::GetIScsiSessionListAFunction>(iscsidsc_, "GetIScsiSessionListA");
    const auto devices =
        Find<p::GetDevicesForIScsiSessionAFunction>(iscsidsc_, "GetDevicesForIScsiSessionA");
    if (list == nullptr || devices == nullptr) {
        return kProcedureMissing;
    }
    ULONG size = 0;
    ULONG count = 0;
    ULONG status = list(&size, &count, nullptr);
    std::vector<char> buffer;
    for (int round = 0; round < 3 && status == ERROR_INSUFFICIENT_BUFFER; ++round) {
        buffer.assign(size, '\0');
        status = list(&size, &count, reinterpret_cast<p::ISCSI_SESSION_INFOA *>(buffer.data()));
    }
    if (status != 0) {
        return status;
    }
    const auto *records = reinterpret_cast<p::ISCSI_SESSION_INFOA *>(buffer.data());
    for (ULONG i = 0; i < count && !buffer.empty(); ++i) {
        SessionFacts session;
        p::ISCSI_UNIQUE_SESSION_ID id = records[i].SessionId;
        session.id = SessionIdText(id);
        session.target = records[i].TargetName == nullptr ? "" : records[i].TargetName;
        ULONG deviceCount = 0;
        ULONG deviceStatus = devices(&id, &deviceCount, nullptr);
        std::vector<p::ISCSI_DEVICE_ON_SESSIONA> found;
        if (deviceStatus == ERROR_INSUFFICIENT_BUFFER) {
            found.resize(deviceCount);
            deviceStatus = devices(&id, &deviceCount, found.data());
        }
        session.deviceStatus = deviceStatus;
        if (deviceStatus == 0) {
            for (ULONG d = 0; d < deviceCount && d < found.size(); ++d) {
                session.disks.push_back(found[d].StorageDeviceNumber.DeviceNumber);
            }
        }
        sessions.push_back(session);
    }
    return 0;
}

DiskFacts WindowsMachine::Disk(std::uint32_t number) {
    DiskFacts facts;
    // The library's own reading of the disk: --check sees what VxdAttach saw.
    const vxd::disks::DiskState state = vxd::disks::ReadDisk(number);
    if (state.attributesKnown) {
        facts.offline = state.offline ? Yes("") : No("");
        facts.readOnly = state.readOnly ? Yes("") : No("");
    } else {
        facts.offline = facts.readOnly =
            Unknown("IOCTL_DISK_GET_DISK_ATTRIBUTES: " + WindowsError(state.attributesError));
    }
    if (state.layout != vxd::disks::Layout::kUnknown) {
        facts.initialized = state.layout == vxd::disks::Layout::kRaw ? No("") : Yes("");
    } else {
        facts.initialized =
            Unknown("IOCTL_DISK_GET_DRIVE_LAYOUT_EX: " + WindowsError(state.layoutError));
    }
    facts.identity = state.identity;
    vxd::platform::ULONG other = 0;
    facts.collision = No("");
    if (vxd::disks::FindCollision(state, other)) {
        facts.collision = Yes("");
        facts.collidingDisk = other;
    }

    char name[MAX_PATH] = {};
    const UniqueVolumeSearch search(FindFirstVolumeA(name, sizeof name));
    if (!search) {
        facts.volumesKnown = Unknown("FindFirstVolumeA: " + WindowsError(GetLastError()));
        return facts;
    }
    facts.volumesKnown = Yes("");
    do {
        std::string volume(name);
        std::string device(volume);
        if (!device.empty() && device.back() == '\\') {
            device.pop_back(); // the volume itself, not its root folder
        }
        std::vector<DWORD> disks;
        std::string why;
        if (!VolumeDisks(device, disks, why)) {
            continue;
        }
        if (std::find(disks.begin(), disks.end(), number) == disks.end()) {
            continue;
        }
        VolumeFacts found;
        found.name = volume;
        char paths[1024] = {};
        DWORD length = 0;
        if (GetVolumePathNamesForVolumeNameA(name, paths, sizeof paths, &length)) {
            for (const char *path = paths; *path != '\0'; path += std::strlen(path) + 1) {
                if (std::strlen(path) == 3 && path[1] == ':') {
                    found.letters += path[0];
                }
            }
        }
        facts.volumes.push_back(found);
    } while (FindNextVolumeA(search.get(), name, sizeof name));
    return facts;
}

Fact WindowsMachine::LetterDisk(char letter, std::uint32_t &disk) {
    std::vector<DWORD> disks;
    std::string why;
    if (!VolumeDisks(std::string("\\\\.\\") + letter + ":", disks, why) || disks.empty()) {
        return Unknown(why.empty() ? "no extents" : why);
    }
    disk = disks.front();
    return Yes("");
}

std::string WindowsMachine::SystemText(std::uint32_t code) { return WindowsText(code); }

Fact WindowsMachine::SanPolicy(std::uint32_t &policy) {
    DWORD data = 0;
    std::string why;
    if (!MachineDword("SYSTEM\\CurrentControlSet\\Services\\partmgr\\Parameters", "SanPolicy", data,
                      why)) {
        return Unknown(why);
    }
    policy = data;
    return Yes("");
}

Fact WindowsMachine::AutoMount() {
    DWORD data = 0;
    std::string why;
    // Absent: automount is on, as Windows has it by default.
    if (!MachineDword("SYSTEM\\CurrentControlSet\\Services\\mountmgr", "NoAutoMount", data, why)) {
        return Yes(why);
    }
    return data == 1 ? No("") : Yes("");
}

std::string WindowsMachine::Letters() { return DriveLetters(); }

std::uint32_t WindowsMachine::InitiatorName(std::string &name) {
    const auto get =
        Find<p::GetIScsiInitiatorNodeNameAFunction>(iscsidsc_, "GetIScsiInitiatorNodeNameA");
    if (get == nullptr) {
        return kProcedureMissing;
    }
    char buffer[p::kMaxIScsiNameLen + 1] = {};
    const ULONG status = get(buffer);
    if (status == 0) {
        name.assign(buffer, strnlen(buffer, sizeof buffer));
    }
    return status;
}

} // namespace vxdhost
