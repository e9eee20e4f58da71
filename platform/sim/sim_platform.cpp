// The platform operations on the simulated machine: each one calls the machine's member of the
// same name on the machine that is current at the time of the call.
#include "platform/platform.h"

#include <cstdio>

#include "platform/sim/sim_machine.h"

namespace vxd::platform {
namespace {

template <auto Member> struct OnCurrentMachine;
template <typename Result, typename... Arguments, Result (sim::Machine::*Member)(Arguments...)>
struct OnCurrentMachine<Member> {
    static Result Call(Arguments... arguments) {
        const sim::MachineCall inside;
        return (sim::Machine::Current().*Member)(arguments...);
    }
};

} // namespace

SetIScsiIKEInfoAFunction &SetIScsiIKEInfoA =
    OnCurrentMachine<&sim::Machine::SetIScsiIKEInfoA>::Call;
AddIScsiSendTargetPortalAFunction &AddIScsiSendTargetPortalA =
    OnCurrentMachine<&sim::Machine::AddIScsiSendTargetPortalA>::Call;
LoginIScsiTargetAFunction &LoginIScsiTargetA =
    OnCurrentMachine<&sim::Machine::LoginIScsiTargetA>::Call;
LogoutIScsiTargetFunction &LogoutIScsiTarget =
    OnCurrentMachine<&sim::Machine::LogoutIScsiTarget>::Call;
ReportIScsiPersistentLoginsAFunction &ReportIScsiPersistentLoginsA =
    OnCurrentMachine<&sim::Machine::ReportIScsiPersistentLoginsA>::Call;
ReportIScsiTargetsAFunction &ReportIScsiTargetsA =
    OnCurrentMachine<&sim::Machine::ReportIScsiTargetsA>::Call;
ReportIScsiTargetPortalsAFunction &ReportIScsiTargetPortalsA =
    OnCurrentMachine<&sim::Machine::ReportIScsiTargetPortalsA>::Call;
ReportIScsiSendTargetPortalsAFunction &ReportIScsiSendTargetPortalsA =
    OnCurrentMachine<&sim::Machine::ReportIScsiSendTargetPortalsA>::Call;
RemoveIScsiPersistentTargetAFunction &RemoveIScsiPersistentTargetA =
    OnCurrentMachine<&sim::Machine::RemoveIScsiPersistentTargetA>::Call;
RemoveIScsiSendTargetPortalAFunction &RemoveIScsiSendTargetPortalA =
    OnCurrentMachine<&sim::Machine::RemoveIScsiSendTargetPortalA>::Call;
SetIScsiInitiatorCHAPSharedSecretFunction &SetIScsiInitiatorCHAPSharedSecret =
    OnCurrentMachine<&sim::Machine::SetIScsiInitiatorCHAPSharedSecret>::Call;
GetIScsiSessionListAFunction &GetIScsiSessionListA =
    OnCurrentMachine<&sim::Machine::GetIScsiSessionListA>::Call;
GetDevicesForIScsiSessionAFunction &GetDevicesForIScsiSessionA =
    OnCurrentMachine<&sim::Machine::GetDevicesForIScsiSessionA>::Call;
InetAddrFunction &inet_addr = OnCurrentMachine<&sim::Machine::InetAddr>::Call;
GetLogicalDriveStringsAFunction &GetLogicalDriveStringsA =
    OnCurrentMachine<&sim::Machine::GetLogicalDriveStringsA>::Call;
CreateFileAFunction &CreateFileA = OnCurrentMachine<&sim::Machine::CreateFileA>::Call;
DeviceIoControlFunction &DeviceIoControl = OnCurrentMachine<&sim::Machine::DeviceIoControl>::Call;
CloseHandleFunction &CloseHandle = OnCurrentMachine<&sim::Machine::CloseHandle>::Call;
FlushFileBuffersFunction &FlushFileBuffers =
    OnCurrentMachine<&sim::Machine::FlushFileBuffers>::Call;
GetLastErrorFunction &GetLastError = OnCurrentMachine<&sim::Machine::GetLastError>::Call;
GetDriveTypeAFunction &GetDriveTypeA = OnCurrentMachine<&sim::Machine::GetDriveTypeA>::Call;
GetVolumeInformationAFunction &GetVolumeInformationA =
    OnCurrentMachine<&sim::Machine::GetVolumeInformationA>::Call;
GetProcessHeapFunction &GetProcessHeap = OnCurrentMachine<&sim::Machine::GetProcessHeap>::Call;
HeapAllocFunction &HeapAlloc = OnCurrentMachine<&sim::Machine::HeapAlloc>::Call;
HeapFreeFunction &HeapFree = OnCurrentMachine<&sim::Machine::HeapFree>::Call;
SleepFunction &Sleep = OnCurrentMachine<&sim::Machine::Sleep>::Call;
WaitForSingleObjectFunction &WaitForSingleObject =
    OnCurrentMachine<&sim::Machine::WaitForSingleObject>::Call;
OutputDebugStringAFunction &OutputDebugStringA =
    OnCurrentMachine<&sim::Machine::OutputDebugStringA>::Call;
FindFirstVolumeAFunction &FindFirstVolumeA =
    OnCurrentMachine<&sim::Machine::FindFirstVolumeA>::Call;
FindNextVolumeAFunction &FindNextVolumeA = OnCurrentMachine<&sim::Machine::FindNextVolumeA>::Call;
FindVolumeCloseFunction &FindVolumeClose = OnCurrentMachine<&sim::Machine::FindVolumeClose>::Call;
GetVolumePathNamesForVolumeNameAFunction &GetVolumePathNamesForVolumeNameA =
    OnCurrentMachine<&sim::Machine::GetVolumePathNamesForVolumeNameA>::Call;
SetVolumeMountPointAFunction &SetVolumeMountPointA =
    OnCurrentMachine<&sim::Machine::SetVolumeMountPointA>::Call;
DeleteVolumeMountPointAFunction &DeleteVolumeMountPointA =
    OnCurrentMachine<&sim::Machine::DeleteVolumeMountPointA>::Call;
GetFileAttributesAFunction &GetFileAttributesA =
    OnCurrentMachine<&sim::Machine::GetFileAttributesA>::Call;
GetVolumeNameForVolumeMountPointAFunction &GetVolumeNameForVolumeMountPointA =
    OnCurrentMachine<&sim::Machine::GetVolumeNameForVolumeMountPointA>::Call;

// Not the machine's: formatting reaches nothing outside the process.
int FormatTextV(char *buffer, std::size_t size, const char *format, std::va_list args) {
    return std::vsnprintf(buffer, size, format, args);
}

} // namespace vxd::platform
