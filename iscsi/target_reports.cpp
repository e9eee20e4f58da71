// Discovery's reports: the targets the initiator knows, the portals that reach a target, and the
// send-target portals, each through the service's two-call size protocol.
#include <cstring>

#include "iscsi/initiator_client.h"
#include "platform/heap_buffer.h"

namespace vxd::iscsi {
namespace {

// Records of a report that counts them: `report(count, records)` asks once. The list may grow
// between the two calls; a few rounds settle it.
template <typename Record, typename Report>
platform::ISDSC_STATUS ReportRecords(Report report, std::vector<Record> &records) {
    platform::ULONG count = 0;
    platform::ISDSC_STATUS status = report(&count, nullptr);
    for (int round = 0; round < 3 && status == platform::kErrorInsufficientBuffer; ++round) {
        HeapBuffer buffer(static_cast<std::size_t>(count) * sizeof(Record));
        if (!buffer.Allocated()) {
            return platform::kErrorNotEnoughMemory;
        }
        const platform::ULONG room = count;
        status = report(&count, buffer.As<Record>());
        if (status == 0 && count > room) {
            return platform::kErrorInvalidData;
        }
        if (status == 0) {
            records.assign(buffer.As<Record>(), buffer.As<Record>() + count);
        }
    }
    return status;
}

bool SamePortal(const char *address, std::size_t size, platform::USHORT socket,
                const std::string &wanted, int port) {
    return strnlen(address, size) == wanted.size() &&
           std::memcmp(address, wanted.data(), wanted.size()) == 0 &&
           socket == static_cast<platform::USHORT>(port);
}

} // namespace

platform::ISDSC_STATUS ReportTargets(bool refresh, std::vector<std::string> &targets) {
    platform::ULONG size = 0;
    platform::ISDSC_STATUS status = platform::ReportIScsiTargetsA(refresh ? 1 : 0, &size, nullptr);
    for (int round = 0; round < 3 && status == platform::kErrorInsufficientBuffer; ++round) {
        // Two more NULs than asked for, so the list ends even if the answer does not.
        HeapBuffer buffer(static_cast<std::size_t>(size) + 2);
        if (!buffer.Allocated()) {
            return platform::kErrorNotEnoughMemory;
        }
        size = static_cast<platform::ULONG>(buffer.Size() - 2);
        status = platform::ReportIScsiTargetsA(0, &size, buffer.As<char>());
        if (status != 0) {
            continue;
        }
        targets.clear();
        const char *text = buffer.As<char>();
        for (std::size_t at = 0; at + 2 < buffer.Size() && text[at] != '\0';) {
            targets.emplace_back(text + at);
            at += targets.back().size() + 1;
        }
    }
    return status;
}

platform::ISDSC_STATUS ReachesTarget(const std::string &target, const std::string &portalAddress,
                                     int port, bool &reaches) {
    reaches = false;
    std::string name = target; // the service's parameter is not const; it only reads it
    std::vector<platform::ISCSI_TARGET_PORTALA> portals;
    const platform::ISDSC_STATUS status = ReportRecords(
        [&name](platform::ULONG *count, platform::ISCSI_TARGET_PORTALA *records) {
            return platform::ReportIScsiTargetPortalsA(nullptr, &name[0], nullptr, count, records);
        },
        portals);
    for (const platform::ISCSI_TARGET_PORTALA &portal : portals) {
        reaches = reaches || SamePortal(portal.Address, sizeof portal.Address, portal.Socket,
                                        portalAddress, port);
    }
    return status;
}

platform::ISDSC_STATUS PortalRegistered(const std::string &portalAddress, int port,
                                        bool &registered) {
    registered = false;
    std::vector<platform::ISCSI_TARGET_PORTAL_INFOA> portals;
    const platform::ISDSC_STATUS status = ReportRecords(
        [](platform::ULONG *count, platform::ISCSI_TARGET_PORTAL_INFOA *records) {
            return platform::ReportIScsiSendTargetPortalsA(count, records);
        },
        portals);
    for (const platform::ISCSI_TARGET_PORTAL_INFOA &portal : portals) {
        registered = registered || SamePortal(portal.Address, sizeof portal.Address, portal.Socket,
                                              portalAddress, port);
    }
    return status;
}

} // namespace vxd::iscsi
