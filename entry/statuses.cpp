// VxdStatusText and the statuses' names.
#include "entry/statuses.h"

#include <iterator>

#include "entry/vxdmount.h"

namespace vxd {
namespace {

constexpr StatusName kStatuses[] = {
    {VXD_STATUS_OK, "VXD_STATUS_OK", "done"},
    {VXD_STATUS_INVALID_ARGUMENT, "VXD_STATUS_INVALID_ARGUMENT",
     "an argument is missing or malformed; nothing was sent to the iSCSI service"},
    {VXD_STATUS_SERVICE_UNAVAILABLE, "VXD_STATUS_SERVICE_UNAVAILABLE",
     "the iSCSI initiator service (MSiSCSI) cannot be reached"},
    {VXD_STATUS_PORTAL_FAILED, "VXD_STATUS_PORTAL_FAILED", "the portal could not be registered"},
    {VXD_STATUS_LOGIN_FAILED, "VXD_STATUS_LOGIN_FAILED", "the login to the target failed"},
    {VXD_STATUS_AUTH_FAILED, "VXD_STATUS_AUTH_FAILED", "the target refused the credentials"},
    {VXD_STATUS_NO_DEVICE, "VXD_STATUS_NO_DEVICE", "the session showed no disk in time"},
    {VXD_STATUS_NO_LETTER, "VXD_STATUS_NO_LETTER", "the disk's volume got no drive letter in time"},
    {VXD_STATUS_CANCELLED, "VXD_STATUS_CANCELLED", "the call was cancelled"},
    {VXD_STATUS_NOT_ATTACHED, "VXD_STATUS_NOT_ATTACHED",
     "the target has no session and no persistent login"},
    {VXD_STATUS_VOLUME_IN_USE, "VXD_STATUS_VOLUME_IN_USE", "a volume of the target is in use"},
    {VXD_STATUS_LOGOUT_FAILED, "VXD_STATUS_LOGOUT_FAILED", "the target could not be logged out"},
    {VXD_STATUS_OUT_OF_MEMORY, "VXD_STATUS_OUT_OF_MEMORY", "the library ran out of memory"},
    {VXD_STATUS_INTERNAL_ERROR, "VXD_STATUS_INTERNAL_ERROR", "the library met a fault of its own"},
    {VXD_STATUS_DISK_OFFLINE, "VXD_STATUS_DISK_OFFLINE", "a disk of the target stays offline"},
    {VXD_STATUS_DISK_COLLISION, "VXD_STATUS_DISK_COLLISION",
     "a disk of the target stays offline: its signature or disk ID is another disk's"},
    {VXD_STATUS_NO_VOLUME, "VXD_STATUS_NO_VOLUME",
     "a disk of the target holds no volume that Windows can mount"},
    {VXD_STATUS_MOUNT_FAILED, "VXD_STATUS_MOUNT_FAILED",
     "a letter or folder could not be given to a volume of the target"},
    {VXD_STATUS_MULTIPATH_UNCLAIMED, "VXD_STATUS_MULTIPATH_UNCLAIMED",
     "several paths give one LUN several disks: Windows' multipath I/O does not claim it"},
    {VXD_STATUS_BUFFER_TOO_SMALL, "VXD_STATUS_BUFFER_TOO_SMALL",
     "the buffer is too small; *namesSize holds the bytes needed"},
};

} // namespace

const StatusName *FindStatusName(int code) {
    for (const StatusName &status : kStatuses) {
        if (status.code == code) {
            return &status;
        }
    }
    return nullptr;
}

const StatusName *StatusNamesBegin() { return std::begin(kStatuses); }
const StatusName *StatusNamesEnd() { return std::end(kStatuses); }

} // namespace vxd

extern "C" const char *VXDMOUNT_CALL VxdStatusText(int status) {
    const vxd::StatusName *found = vxd::FindStatusName(status);
    return found == nullptr ? "an unknown status" : found->text;
}
