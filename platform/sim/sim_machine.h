// A simulated Windows machine behind the platform operations: the iSCSI initiator service,
// the drive letters and their volumes (with or without a letter, mounted at folders too), the
// disks' own state (offline, read-only, layout, clones) under a SAN policy and automount, a
// virtual clock, the trace and a log of every call.
//
// A test states a machine in a few lines and runs the logic against it:
//
//     sim::Machine machine;                      // becomes the machine the platform uses
//     machine.AddDrive('C', 0).AddDrive('D', 1);
//     machine.onLogin.disks = {2};
//     machine.onLogin.drives = {{{'F', 2}, 1500}};
//     CreateVXD("192.0.2.10", "3260", "iqn.x", "", "");
//     EXPECT_EQ(machine.TraceTexts().back(), "Task Disk F:\\");
//
// Only Sleep advances the clock; changes that are due by then take effect before the next
// platform call looks at the machine.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/platform.h"
#include "platform/sim/service_rules.h"

namespace vxd::sim {

using Ms = std::uint64_t;
using platform::ISDSC_STATUS;
using platform::ULONG;

struct DriveSetup {
    char letter = 'C';              // '\0': a volume without a letter
    ULONG disk = 0;                 // disk of the volume's first extent
    bool openable = true;           // false: opening the volume fails
    bool answers = true;            // false: the extents query fails
    std::vector<ULONG> moreExtents; // disks of further extents, in order
    // The byte count the extents query reports, in place of what it wrote.
    std::optional<platform::DWORD> extentsBytes;
    bool inUse = false;                // files are open on it: a lock fails until it is dismounted
    platform::DWORD flushError = 0;    // FlushFileBuffers fails with this error
    platform::DWORD dismountError = 0; // FSCTL_DISMOUNT_VOLUME fails with this error
    std::string volume{};              // "\\?\Volume{GUID}\"; empty: one made from the letter
    bool listed = true; // false: FindFirstVolumeA leaves it out, as Wine does a drive's alias
    std::vector<std::string> folders{}; // the folders it is mounted at, "C:\\mnt\\x\\"
};

// A disk's state, as the machine has it or as a login brings it. Unset attributes: online and
// writable, or what the machine's SAN policy gives a disk that a login brings.
struct DiskSetup {
    std::optional<bool> offline;
    std::optional<bool> readOnly;
    std::string layout = "mbr"; // "mbr", "gpt" (one data partition each) or "raw"
    std::string id;             // equal ids collide; empty: the disk's own
};

enum class SanPolicy { kOnlineAll, kOfflineShared, kOfflineAll };

struct SessionSetup {
    std::string target;
    std::vector<ULONG> disks; // one device per entry, in the service's order
    std::vector<ULONG> luns;  // the LUN of each device; past its end, the device's index
    Ms devicesFrom = 0;       // before this time the session is listed with no devices
    bool nullTargetName = false;
    std::string nodeName; // listed as TargetNodeName; empty: null
    // The path: the portal its connection goes to, listed as a connection; empty: none.
    std::string portal;
    platform::USHORT portalSocket = 3260;
};

// What a login answered with status 0 brings.
struct LoginEffect {
    bool createsSession = true;
    std::vector<ULONG> disks{2};
    std::vector<ULONG> luns; // as SessionSetup's
    Ms devicesAfterMs = 0;
    struct DelayedDrive {
        DriveSetup drive;
        Ms afterMs = 0;
    };
    std::vector<DelayedDrive> drives;
};

// Replaces parts of one answer of a two-call query, to play a service that answers oddly.
// Each call takes the next override, if any is left.
struct AnswerOverride {
    std::optional<ISDSC_STATUS> status;
    std::optional<ULONG> size;  // BufferSize (session list) or DeviceCount (devices) reported
    std::optional<ULONG> count; // SessionCount reported (session list only)
};

struct CallRecord {
    Ms at = 0;
    std::string name;
    std::string text; // one readable line: the arguments that matter and the answer
    std::map<std::string, std::uint64_t> args;
    std::map<std::string, std::string> strings;
    std::map<std::string, std::vector<std::uint8_t>> bytes; // records as received

    std::uint64_t Arg(const std::string &key) const;
    const std::string &String(const std::string &key) const;
    const std::vector<std::uint8_t> &Bytes(const std::string &key) const;
};

struct TraceLine {
    Ms at = 0;
    std::string text;
};

// Marks the time that a platform operation spends in the machine, so that a test can tell the
// machine's own allocations from the library's.
class MachineCall {
  public:
    MachineCall() { ++depth_; }
    ~MachineCall() { --depth_; }
    MachineCall(const MachineCall &) = delete;
    MachineCall &operator=(const MachineCall &) = delete;
    static bool Inside() { return depth_ > 0; }

  private:
    static thread_local int depth_;
};

class Machine {
  public:
    // The newest machine alive is the one the platform operations reach.
    Machine();
    ~Machine();
    Machine(const Machine &) = delete;
    Machine &operator=(const Machine &) = delete;
    static Machine &Current();

    // Drive letters, listed in alphabetical order whatever the order they were added in.
    Machine &AddDrive(char letter, ULONG disk);
    Machine &AddDrive(const DriveSetup &drive); // replaces a drive with the same letter
    Machine &RemoveDrive(char letter);
    DriveSetup *EditDrive(char letter); // the drive as the machine has it now; null without one
    Machine &AddDriveAt(Ms at, const DriveSetup &drive);
    Machine &RemoveDriveAt(Ms at, char letter);
    bool driveListFails = false; // GetLogicalDriveStringsA answers 0 and writes nothing
    // GetLogicalDriveStringsA's answer, in place of the true one; the roots are written as usual.
    std::optional<platform::DWORD> driveListResult;

    // The disks' own state, Windows' policies for new disks and volumes, and its folders.
    std::map<ULONG, DiskSetup> disks;
    SanPolicy sanPolicy = SanPolicy::kOnlineAll;
    bool automount = true;               // a volume without a letter gets the first free one
    bool diskAttributesAnswered = true;  // false: the disk queries fail with error 50
    Ms onlineVolumesAfterMs = 500;       // a disk brought online shows its volumes this later
    std::map<std::string, bool> folders; // existing folders, "C:\\mnt\\x\\", and whether empty
    std::optional<platform::DWORD> mountPointError; // SetVolumeMountPointA fails with it
    std::optional<platform::DWORD> deleteMountPointError;
    std::optional<platform::DWORD> diskSetError; // IOCTL_DISK_SET_DISK_ATTRIBUTES fails with it
    // The partition manager brings a disk online by itself, as under the online-all policy.
    Machine &BringDiskOnlineAt(Ms at, ULONG disk);
    bool DiskOffline(ULONG disk);
    bool DiskReadOnly(ULONG disk);
    std::string VolumeOf(char letter) const; // the volume name of a letter's drive, or ""
    const DriveSetup *FindVolume(const std::string &name) const;

    // The initiator service.
    ISDSC_STATUS ikeStatus = 0;
    ISDSC_STATUS portalStatus = 0;                      // portals not in portalStatuses
    std::map<std::string, ISDSC_STATUS> portalStatuses; // by the portal's address text
    // Successive logins, counted for each target name; the last repeats; none: 0. Targets not
    // in targetLoginStatuses get loginStatuses.
    std::vector<ISDSC_STATUS> loginStatuses;
    std::map<std::string, std::vector<ISDSC_STATUS>> targetLoginStatuses;
    LoginEffect onLogin; // for targets not in targetOnLogin
    // A login to a target that has a session already answers ISDSC_TARGET_ALREADY_LOGGED_IN
    // unless it enables multipath. Then, with Windows' multipath I/O claiming the devices, the
    // new path's devices are the disks the target has; without, each is a disk of its own, the
    // next free number, offline as a redundant path.
    bool mpio = false;
    std::map<std::string, ISDSC_STATUS> portalLoginStatuses; // logins through a portal, by address
    std::map<std::string, LoginEffect> targetOnLogin;
    Machine &AddSession(const SessionSetup &session);
    Machine &AddSession(const std::string &target, const std::vector<ULONG> &disks);
    Machine &AddSessionAt(Ms at, const SessionSetup &session); // as the service logs in at boot
    std::deque<AnswerOverride> sessionListAnswers;
    std::deque<AnswerOverride> deviceAnswers;
    std::optional<SessionSetup> sessionAddedAfterListQuery; // the list grows between two calls
    // Successive logouts of each target name, as for logins; none: the service decides, and
    // refuses with ISDSC_DEVICE_BUSY_ON_SESSION while a volume on the session's disks is in use.
    std::vector<ISDSC_STATUS> logoutStatuses;
    std::map<std::string, std::vector<ISDSC_STATUS>> targetLogoutStatuses;
    // The persistent logins and the send-target portals; logins and registrations add to them.
    std::vector<PersistentLogin> persistentLogins;
    std::vector<Portal> portals;
    // Discovery: the targets each portal offers, by its address, which the initiator knows once
    // the portal is registered; and the targets it knows besides (added by hand, say).
    PortalTargets portalTargets;
    std::vector<std::string> knownTargets;
    std::optional<ISDSC_STATUS> reportTargetsStatus;    // ReportIScsiTargetsA's answer
    std::optional<ISDSC_STATUS> reportPersistentStatus; // ReportIScsiPersistentLoginsA's answer
    // Replaces parts of ReportIScsiPersistentLoginsA's answers, as for the session list: `size`
    // is BufferSizeInBytes, `count` the Count reported.
    std::deque<AnswerOverride> persistentLoginAnswers;
    std::optional<ISDSC_STATUS> removePersistentStatus; // RemoveIScsiPersistentTargetA's answer
    std::optional<ISDSC_STATUS> removePortalStatus;     // RemoveIScsiSendTargetPortalA's answer
    // The machine's CHAP secret for mutual CHAP, as SetIScsiInitiatorCHAPSharedSecret set it.
    std::vector<std::uint8_t> initiatorSecret;
    ISDSC_STATUS chapSecretStatus = 0; // ISDSC_SHORT_CHAP_SECRET takes the secret all the same
    // Targets that admit an initiator only with CHAP, and the initiator secret that a target
    // answers mutual CHAP with (the machine's must equal it); portals whose discovery needs
    // CHAP. Wrong or missing credentials get ISDSC_AUTHENTICATION_FAILURE; mutual CHAP on a
    // machine without a secret gets ISDSC_INVALID_INITIATOR_CHAP_SECRET.
    std::map<std::string, Chap> targetChap;
    std::map<std::string, std::vector<std::uint8_t>> targetInitiatorSecrets;
    std::map<std::string, Chap> portalChap;

    // Events that a host signals, such as a request's cancel event.
    platform::HANDLE CreateEvent();
    Machine &SignalEventAt(platform::HANDLE event, Ms at);
    Machine &CloseEventAt(platform::HANDLE event, Ms at); // the host closes it meanwhile

    // The process heap: HeapAlloc answers null once it has given this many blocks.
    std::optional<std::size_t> heapBlocksBeforeRefusal;

    // The clock. With realTime, Sleep also pauses the calling thread.
    Ms Now() const { return now_; }
    bool realTime = false;

    // What happened.
    const std::vector<TraceLine> &Trace() const { return trace_; }
    std::vector<std::string> TraceTexts() const;
    const std::vector<CallRecord> &Calls() const { return calls_; }
    std::vector<CallRecord> CallsTo(const std::string &name) const;
    std::string DriveLetters() const; // as the machine lists them now
    std::size_t OpenHandles() const { return openHandles_.size(); }
    std::size_t SessionCount() const { return sessions_.size(); }
    std::vector<std::string> SessionTargets() const; // in the service's order
    bool Locked(char letter) const;
    // The bytes that every block of the process heap held when it was freed, in order, and
    // the blocks not freed yet.
    const std::vector<std::vector<std::uint8_t>> &FreedHeapBlocks() const { return freedBlocks_; }
    std::size_t LiveHeapBlocks() const { return heapBlocks_.size(); }
    bool Dismounted(char letter) const;
    // Misuse a real system would reject: unknown handles, bad arguments.
    const std::vector<std::string> &Faults() const { return faults_; }

    // Watchers, for a runner that shows the request as it goes.
    std::function<void(const TraceLine &)> onTrace;
    std::function<void(const CallRecord &)> onCall;

    // The platform operations, reached through platform.h; each has the operation's type.
    platform::SetIScsiIKEInfoAFunction SetIScsiIKEInfoA;
    platform::AddIScsiSendTargetPortalAFunction AddIScsiSendTargetPortalA;
    platform::LoginIScsiTargetAFunction LoginIScsiTargetA;
    platform::GetIScsiSessionListAFunction GetIScsiSessionListA;
    platform::GetDevicesForIScsiSessionAFunction GetDevicesForIScsiSessionA;
    platform::InetAddrFunction InetAddr;
    platform::GetLogicalDriveStringsAFunction GetLogicalDriveStringsA;
    platform::CreateFileAFunction CreateFileA;
    platform::DeviceIoControlFunction DeviceIoControl;
    platform::CloseHandleFunction CloseHandle;
    platform::FlushFileBuffersFunction FlushFileBuffers;
    platform::GetLastErrorFunction GetLastError;
    platform::GetDriveTypeAFunction GetDriveTypeA;
    platform::GetVolumeInformationAFunction GetVolumeInformationA;
    platform::GetProcessHeapFunction GetProcessHeap;
    platform::HeapAllocFunction HeapAlloc;
    platform::HeapFreeFunction HeapFree;
    platform::SleepFunction Sleep;
    platform::WaitForSingleObjectFunction WaitForSingleObject;
    platform::OutputDebugStringAFunction OutputDebugStringA;
    platform::LogoutIScsiTargetFunction LogoutIScsiTarget;
    platform::ReportIScsiPersistentLoginsAFunction ReportIScsiPersistentLoginsA;
    platform::ReportIScsiTargetsAFunction ReportIScsiTargetsA;
    platform::ReportIScsiTargetPortalsAFunction ReportIScsiTargetPortalsA;
    platform::ReportIScsiSendTargetPortalsAFunction ReportIScsiSendTargetPortalsA;
    platform::RemoveIScsiPersistentTargetAFunction RemoveIScsiPersistentTargetA;
    platform::RemoveIScsiSendTargetPortalAFunction RemoveIScsiSendTargetPortalA;
    platform::SetIScsiInitiatorCHAPSharedSecretFunction SetIScsiInitiatorCHAPSharedSecret;
    platform::FindFirstVolumeAFunction FindFirstVolumeA;
    platform::FindNextVolumeAFunction FindNextVolumeA;
    platform::FindVolumeCloseFunction FindVolumeClose;
    platform::GetVolumePathNamesForVolumeNameAFunction GetVolumePathNamesForVolumeNameA;
    platform::SetVolumeMountPointAFunction SetVolumeMountPointA;
    platform::DeleteVolumeMountPointAFunction DeleteVolumeMountPointA;
    platform::GetFileAttributesAFunction GetFileAttributesA;
    platform::GetVolumeNameForVolumeMountPointAFunction GetVolumeNameForVolumeMountPointA;

  private:
    struct DiskNow {
        bool offline = false;
        bool readOnly = false;
        std::string layout;
        std::string id;
    };
    struct VolumeSearch {
        std::vector<std::string> names;
        std::size_t next = 0;
    };
    DiskNow &DiskState(ULONG disk, bool broughtByLogin = false);
    bool DiskPresent(ULONG disk) const;
    bool Collides(ULONG disk);
    platform::BOOL DiskControl(ULONG disk, platform::DWORD ioControlCode, void *inBuffer,
                               platform::DWORD inBufferSize, void *outBuffer,
                               platform::DWORD outBufferSize, platform::DWORD *bytesReturned,
                               std::string &answer);
    void ArriveVolume(const DriveSetup &drive, std::uint64_t session);
    void ShowWaitingVolumes(ULONG disk);
    unsigned char FreeKey() const;
    struct Session {
        SessionSetup setup;
        platform::ISCSI_UNIQUE_SESSION_ID id;
        std::uint64_t number;
    };
    struct Event {
        Ms at;
        std::uint64_t order;
        std::function<void()> apply;
    };

    void Schedule(Ms at, std::function<void()> apply);
    void ApplyDueEvents();
    CallRecord &Log(const std::string &name);
    void Publish(CallRecord &call, const std::string &text);
    Session *FindSession(const platform::ISCSI_UNIQUE_SESSION_ID *id);
    const DriveSetup *FindDrive(char letter) const;
    const DriveSetup *DriveOfRoot(const char *rootPathName) const;
    void AddSessionNow(const SessionSetup &setup);
    ULONG NextFreeDisk() const;
    platform::BOOL VolumeControl(std::uintptr_t handle, char letter, platform::DWORD ioControlCode,
                                 std::string &answer);
    std::optional<AnswerOverride> NextOverride(std::deque<AnswerOverride> &answers);

    Machine *previous_;
    Ms now_ = 0;
    std::uint64_t nextEventOrder_ = 0;
    std::vector<Event> events_;
    std::map<unsigned char, DriveSetup> drives_;
    std::vector<Session> sessions_;
    std::uint64_t nextSessionNumber_ = 1;
    std::map<std::string, std::size_t> loginCalls_; // by target name
    std::map<std::uintptr_t, DriveSetup> openHandles_;
    std::map<std::uintptr_t, ULONG> diskHandles_; // \\.\PhysicalDriveN opened
    std::map<std::uintptr_t, VolumeSearch> volumeSearches_;
    std::map<ULONG, DiskNow> diskStates_;
    // Volumes of a login that came while their disk was offline, shown once it is online.
    std::vector<std::pair<DriveSetup, std::uint64_t>> waitingVolumes_;
    std::map<std::uintptr_t, Ms> waitables_;        // event handles and when each is signalled
    std::map<unsigned char, std::uintptr_t> locks_; // locked volumes and the handle that holds each
    std::map<unsigned char, bool> dismounted_;      // dismounted since they were last opened
    std::map<std::string, std::size_t> logoutCalls_; // by target name
    platform::DWORD lastError_ = 0;
    std::map<void *, std::size_t> heapBlocks_; // live blocks and their sizes
    std::size_t heapBlocksGiven_ = 0;
    std::vector<std::vector<std::uint8_t>> freedBlocks_;
    std::uintptr_t nextHandle_ = 0x100;
    std::vector<TraceLine> trace_;
    std::vector<CallRecord> calls_;
    std::vector<std::string> faults_;
};

} // namespace vxd::sim
