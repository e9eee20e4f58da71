// Helpers shared by the host tests: raw bytes of records, device buffers whose every byte is
// known, short ways to state drives, and the service's own answers fetched straight from the
// simulated machine to compare the logic's results with.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "entry/mount_task.h"
#include "platform/sim/sim_machine.h"

namespace vxd::test {

using Bytes = std::vector<std::uint8_t>;

template <typename Record> Bytes BytesOf(const Record &record) {
    const auto *first = reinterpret_cast<const std::uint8_t *>(&record);
    return Bytes(first, first + sizeof(Record));
}

// Writes `value` little-endian into `size` bytes at `offset`, as the platform lays out integers.
inline void PutLittleEndian(Bytes &bytes, std::size_t offset, std::uint64_t value,
                            std::size_t size) {
    for (std::size_t i = 0; i < size; ++i) {
        bytes.at(offset + i) = static_cast<std::uint8_t>(value >> (8 * i));
    }
}

// A device buffer whose every record byte is `fill`, so any write to it shows.
inline DeviceBuffer PatternedDevices(std::size_t filled = 0, unsigned char fill = 0xA5) {
    DeviceBuffer devices;
    std::memset(devices.records.data(), fill, sizeof devices.records);
    devices.filled = filled;
    return devices;
}

// A device buffer as a lookup leaves it: records 0.. on the given disks, `filled` their count.
inline DeviceBuffer DevicesOnDisks(const std::vector<platform::ULONG> &disks) {
    DeviceBuffer devices = PatternedDevices(disks.size());
    for (std::size_t i = 0; i < disks.size(); ++i) {
        devices.records.at(i).StorageDeviceNumber.DeviceNumber = disks[i];
    }
    return devices;
}

inline sim::DriveSetup Drive(char letter, platform::ULONG disk) {
    sim::DriveSetup drive;
    drive.letter = letter;
    drive.disk = disk;
    return drive;
}

// A volume that cannot be opened: a mapped network drive, an empty card reader.
inline sim::DriveSetup UnopenableDrive(char letter) {
    sim::DriveSetup drive = Drive(letter, 0);
    drive.openable = false;
    return drive;
}

// A volume that opens but does not answer the extents query.
inline sim::DriveSetup SilentDrive(char letter, platform::ULONG disk = 0) {
    sim::DriveSetup drive = Drive(letter, disk);
    drive.answers = false;
    return drive;
}

// The id of the first session the service lists for `target` (exact name), asked directly.
inline std::optional<platform::ISCSI_UNIQUE_SESSION_ID> ListedSessionId(sim::Machine &machine,
                                                                        const std::string &target) {
    platform::ULONG size = 0;
    platform::ULONG count = 0;
    machine.GetIScsiSessionListA(&size, &count, nullptr);
    std::vector<platform::ISCSI_SESSION_INFOA> list(size / sizeof(platform::ISCSI_SESSION_INFOA) +
                                                    1);
    size = static_cast<platform::ULONG>(list.size() * sizeof(platform::ISCSI_SESSION_INFOA));
    if (machine.GetIScsiSessionListA(&size, &count, list.data()) != 0) {
        return std::nullopt;
    }
    for (platform::ULONG i = 0; i < count && i < list.size(); ++i) {
        if (list[i].TargetName != nullptr && target == list[i].TargetName) {
            return list[i].SessionId;
        }
    }
    return std::nullopt;
}

// The device records the service delivers for a session now, asked directly.
inline std::vector<DeviceRecord> ServiceDevices(sim::Machine &machine,
                                                platform::ISCSI_UNIQUE_SESSION_ID sessionId) {
    platform::ULONG count = 0;
    machine.GetDevicesForIScsiSessionA(&sessionId, &count, nullptr);
    std::vector<DeviceRecord> records(count);
    if (count == 0 || machine.GetDevicesForIScsiSessionA(&sessionId, &count, records.data()) != 0) {
        return {};
    }
    records.resize(count);
    return records;
}

} // namespace vxd::test
