// Session lookup and device enumeration, each through the service's two-call size protocol.
#include <algorithm>
#include <cstdint>
#include <cstring>

#include "iscsi/initiator_client.h"
#include "platform/heap_buffer.h"
#include "platform/trace_texts.h"

namespace vxd::iscsi {
namespace {

char AsciiUpper(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }

void Write(TraceSink trace, const char *line) {
    if (trace != nullptr) {
        trace(line);
    }
}

// The 32-bit product cannot allocate more than this, so larger answers are no answer anywhere.
constexpr std::uint64_t kLargestAllocation = 0xFFFFFFFFu;

// The session list through the two-call size protocol, in a buffer of exactly the size the
// service asked for; the count checked against what the buffer holds.
platform::ISDSC_STATUS FetchSessionList(HeapBuffer &list, platform::ULONG &sessionCount) {
    platform::ULONG bufferSize = 4;
    sessionCount = 0;
    alignas(platform::ISCSI_SESSION_INFOA) unsigned char scratch[4] = {};
    platform::ISDSC_STATUS status = platform::GetIScsiSessionListA(
        &bufferSize, &sessionCount, reinterpret_cast<platform::ISCSI_SESSION_INFOA *>(scratch));
    if (status == 0) {
        sessionCount = 0; // nothing fits four bytes: the list is empty
        return 0;
    }
    if (status != platform::kErrorInsufficientBuffer) {
        return status;
    }
    list = HeapBuffer(bufferSize);
    if (!list.Allocated()) {
        return platform::kErrorNotEnoughMemory;
    }
    status = platform::GetIScsiSessionListA(&bufferSize, &sessionCount,
                                            list.As<platform::ISCSI_SESSION_INFOA>());
    if (status == 0 && sessionCount > list.Size() / sizeof(platform::ISCSI_SESSION_INFOA)) {
        return platform::kErrorInvalidData;
    }
    return status;
}

} // namespace

bool SameIScsiName(const char *listed, const char *wanted) {
    if (listed == nullptr || wanted == nullptr) {
        return false;
    }
    for (; *listed != '\0' && *wanted != '\0'; ++listed, ++wanted) {
        if (AsciiUpper(*listed) != AsciiUpper(*wanted)) {
            return false;
        }
    }
    return *listed == *wanted;
}

bool IsSessionOf(const Session &session, const std::string &target) {
    return SameIScsiName(session.targetName.c_str(), target.c_str()) ||
           SameIScsiName(session.targetNodeName.c_str(), target.c_str());
}

platform::ISDSC_STATUS ListSessions(std::vector<Session> &sessions) {
    HeapBuffer list;
    platform::ULONG count = 0;
    platform::ISDSC_STATUS status = FetchSessionList(list, count);
    // The list may grow between the two calls; a few rounds settle it.
    for (int round = 0; round < 2 && status == platform::kErrorInsufficientBuffer; ++round) {
        status = FetchSessionList(list, count);
    }
    if (status != 0 || count == 0) {
        return status;
    }
    const platform::ISCSI_SESSION_INFOA *records = list.As<platform::ISCSI_SESSION_INFOA>();
    for (platform::ULONG i = 0; i < count; ++i) {
        Session session;
        session.id = records[i].SessionId;
        if (records[i].TargetName != nullptr) {
            session.targetName = records[i].TargetName;
        }
        if (records[i].TargetNodeName != nullptr) {
            session.targetNodeName = records[i].TargetNodeName;
        }
        // A connection record is believed only where it lies inside the answer.
        const auto *connection = reinterpret_cast<const unsigned char *>(records[i].Connections);
        const unsigned char *begin = list.Data();
        if (records[i].ConnectionCount > 0 && connection >= begin &&
            connection + sizeof(platform::ISCSI_CONNECTION_INFOA) <= begin + list.Size()) {
            platform::ISCSI_CONNECTION_INFOA first;
            std::memcpy(&first, connection, sizeof first);
            if (first.TargetAddress != nullptr) {
                session.portalAddress = first.TargetAddress;
                session.portalSocket = first.TargetSocket;
            }
        }
        sessions.push_back(session);
    }
    return 0;
}

void SessionDisks::Add(platform::ULONG disk, platform::ULONG lun) {
    if (Has(disk)) {
        return;
    }
    if (count < numbers.size()) {
        luns[count] = lun;
        numbers[count++] = disk;
    }
}

bool SessionDisks::Has(platform::ULONG disk) const {
    const auto end = numbers.begin() + static_cast<long>(count);
    return std::find(numbers.begin(), end, disk) != end;
}

platform::ISDSC_STATUS AddSessionDisks(platform::ISCSI_UNIQUE_SESSION_ID sessionId,
                                       SessionDisks &disks, platform::ULONG lun,
                                       std::size_t *added) {
    platform::ULONG deviceCount = 0;
    platform::ISDSC_STATUS status =
        platform::GetDevicesForIScsiSessionA(&sessionId, &deviceCount, nullptr);
    if (status == 0) {
        return 0; // a session without devices
    }
    if (status != platform::kErrorInsufficientBuffer) {
        return status;
    }
    if (deviceCount > kLargestAllocation / sizeof(DeviceRecord)) {
        return platform::kErrorNotEnoughMemory;
    }
    const platform::ULONG allocatedCount = deviceCount;
    HeapBuffer array(static_cast<std::size_t>(allocatedCount) * sizeof(DeviceRecord));
    if (!array.Allocated()) {
        return platform::kErrorNotEnoughMemory;
    }
    status =
        platform::GetDevicesForIScsiSessionA(&sessionId, &deviceCount, array.As<DeviceRecord>());
    if (status != 0) {
        return status;
    }
    if (deviceCount > allocatedCount) {
        return platform::kErrorInvalidData;
    }
    const DeviceRecord *fetched = array.As<DeviceRecord>();
    for (platform::ULONG i = 0; i < deviceCount; ++i) {
        const platform::ULONG deviceLun = fetched[i].ScsiAddress.Lun;
        if (lun == kAnyLun || deviceLun == lun) {
            disks.Add(fetched[i].StorageDeviceNumber.DeviceNumber, deviceLun);
            if (added != nullptr) {
                ++*added;
            }
        }
    }
    return 0;
}

unsigned FindSessionDevices(const std::string &targetName, DeviceBuffer &devices, TraceSink trace) {
    platform::ULONG bufferSize = 4;
    platform::ULONG sessionCount = 0;
    alignas(platform::ISCSI_SESSION_INFOA) unsigned char scratch[4] = {};
    platform::ISDSC_STATUS status = platform::GetIScsiSessionListA(
        &bufferSize, &sessionCount, reinterpret_cast<platform::ISCSI_SESSION_INFOA *>(scratch));
    if (status != platform::kErrorInsufficientBuffer) {
        Write(trace, trace_text::kSessionListFailed);
        return 0;
    }

    HeapBuffer list(bufferSize);
    if (!list.Allocated()) {
        Write(trace, trace_text::kSessionListNoMemory);
        return 0;
    }
    status = platform::GetIScsiSessionListA(&bufferSize, &sessionCount,
                                            list.As<platform::ISCSI_SESSION_INFOA>());
    // A count whose records would not fit what was allocated is no usable answer.
    const std::size_t recordsThatFit = list.Size() / sizeof(platform::ISCSI_SESSION_INFOA);
    if (status != 0 || sessionCount > recordsThatFit) {
        Write(trace, trace_text::kSessionListFailed);
        return 0;
    }

    const platform::ISCSI_SESSION_INFOA *sessions = list.As<platform::ISCSI_SESSION_INFOA>();
    for (platform::ULONG i = 0; i < sessionCount; ++i) {
        const char *name = sessions[i].TargetName;
        if (name != nullptr && SameIScsiName(name, targetName.c_str())) {
            // The first session listed for the target wins.
            return GetSessionDevices(sessions[i].SessionId, devices, trace);
        }
    }
    return 0;
}

unsigned GetSessionDevices(platform::ISCSI_UNIQUE_SESSION_ID sessionId, DeviceBuffer &devices,
                           TraceSink trace) {
    platform::ULONG deviceCount = 4;
    platform::ISDSC_STATUS status =
        platform::GetDevicesForIScsiSessionA(&sessionId, &deviceCount, nullptr);
    if (status != platform::kErrorInsufficientBuffer) {
        if (trace != nullptr) {
            trace(Format(trace_text::kDeviceQueryStatusFormat, static_cast<unsigned>(status))
                      .c_str());
        }
        return 0;
    }
    Write(trace, trace_text::kDeviceCountKnown);

    if (deviceCount > kLargestAllocation / sizeof(DeviceRecord)) {
        return 0;
    }
    const platform::ULONG allocatedCount = deviceCount;
    HeapBuffer array(static_cast<std::size_t>(allocatedCount) * sizeof(DeviceRecord));
    if (!array.Allocated()) {
        return 0;
    }
    status =
        platform::GetDevicesForIScsiSessionA(&sessionId, &deviceCount, array.As<DeviceRecord>());
    Write(trace, trace_text::kDevicesFetched);
    // The array holds no more records than were allocated, whatever count comes back.
    if (status != 0 || deviceCount > allocatedCount) {
        return 0;
    }

    const std::size_t stored = std::min<std::size_t>(deviceCount, kDeviceBufferCapacity);
    const DeviceRecord *fetched = array.As<DeviceRecord>();
    for (std::size_t i = 0; i < stored; ++i) {
        std::memcpy(&devices.records[i], &fetched[i], sizeof(DeviceRecord));
    }
    if (stored > 0) {
        devices.filled = stored;
    }
    return static_cast<unsigned>(stored);
}

} // namespace vxd::iscsi
