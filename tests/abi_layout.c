/* The exported structures' layout, which a host compiled by Microsoft's compiler and the DLL
 * compiled by mingw must agree on: compiled by both, for each architecture, it fails to compile
 * where an offset or a size differs from the one written here. */
#include <stddef.h>

#define VXDMOUNT_NO_DLLIMPORT
#include "entry/vxdmount.h"

#define LAYOUT(name, condition) typedef char name[(condition) ? 1 : -1]

#if defined(_WIN64)
LAYOUT(attach_request_portal_port, offsetof(VxdAttachRequest, portalPort) == 16);
LAYOUT(attach_request_target, offsetof(VxdAttachRequest, targetName) == 24);
LAYOUT(attach_request_cancel, offsetof(VxdAttachRequest, cancelEvent) == 40);
LAYOUT(attach_request_progress, offsetof(VxdAttachRequest, progress) == 48);
LAYOUT(attach_request_flags, offsetof(VxdAttachRequest, flags) == 64);
LAYOUT(attach_request_chap_user, offsetof(VxdAttachRequest, chapUserName) == 72);
LAYOUT(attach_request_chap_length, offsetof(VxdAttachRequest, chapSecretLength) == 88);
LAYOUT(attach_request_initiator_secret, offsetof(VxdAttachRequest, initiatorSecret) == 96);
LAYOUT(attach_request_mount_folder, offsetof(VxdAttachRequest, mountFolder) == 112);
LAYOUT(attach_request_extra_portals, offsetof(VxdAttachRequest, extraPortals) == 120);
LAYOUT(attach_request_lun, offsetof(VxdAttachRequest, lun) == 132);
LAYOUT(attach_request_initiator, offsetof(VxdAttachRequest, initiatorInstance) == 136);
LAYOUT(attach_request_initiator_port, offsetof(VxdAttachRequest, initiatorPortNumber) == 144);
LAYOUT(attach_request_size, sizeof(VxdAttachRequest) == 152);
LAYOUT(portal_port, offsetof(VxdPortal, port) == 8);
LAYOUT(portal_size, sizeof(VxdPortal) == 16);
LAYOUT(detach_request_portal_port, offsetof(VxdDetachRequest, portalPort) == 24);
LAYOUT(detach_request_flags, offsetof(VxdDetachRequest, flags) == 28);
LAYOUT(detach_request_context, offsetof(VxdDetachRequest, progressContext) == 40);
LAYOUT(detach_request_lun, offsetof(VxdDetachRequest, lun) == 48);
LAYOUT(detach_request_size, sizeof(VxdDetachRequest) == 56);
LAYOUT(list_request_chap_user, offsetof(VxdListTargetsRequest, chapUserName) == 24);
LAYOUT(list_request_progress, offsetof(VxdListTargetsRequest, progress) == 48);
LAYOUT(list_request_size, sizeof(VxdListTargetsRequest) == 64);
#else
LAYOUT(attach_request_portal_port, offsetof(VxdAttachRequest, portalPort) == 8);
LAYOUT(attach_request_target, offsetof(VxdAttachRequest, targetName) == 12);
LAYOUT(attach_request_cancel, offsetof(VxdAttachRequest, cancelEvent) == 24);
LAYOUT(attach_request_progress, offsetof(VxdAttachRequest, progress) == 28);
LAYOUT(attach_request_flags, offsetof(VxdAttachRequest, flags) == 36);
LAYOUT(attach_request_chap_user, offsetof(VxdAttachRequest, chapUserName) == 40);
LAYOUT(attach_request_chap_length, offsetof(VxdAttachRequest, chapSecretLength) == 48);
LAYOUT(attach_request_initiator_secret, offsetof(VxdAttachRequest, initiatorSecret) == 52);
LAYOUT(attach_request_mount_folder, offsetof(VxdAttachRequest, mountFolder) == 60);
LAYOUT(attach_request_extra_portals, offsetof(VxdAttachRequest, extraPortals) == 64);
LAYOUT(attach_request_lun, offsetof(VxdAttachRequest, lun) == 72);
LAYOUT(attach_request_initiator, offsetof(VxdAttachRequest, initiatorInstance) == 76);
LAYOUT(attach_request_initiator_port, offsetof(VxdAttachRequest, initiatorPortNumber) == 80);
LAYOUT(attach_request_size, sizeof(VxdAttachRequest) == 84);
LAYOUT(portal_port, offsetof(VxdPortal, port) == 4);
LAYOUT(portal_size, sizeof(VxdPortal) == 8);
LAYOUT(detach_request_portal_port, offsetof(VxdDetachRequest, portalPort) == 12);
LAYOUT(detach_request_flags, offsetof(VxdDetachRequest, flags) == 16);
LAYOUT(detach_request_context, offsetof(VxdDetachRequest, progressContext) == 24);
LAYOUT(detach_request_lun, offsetof(VxdDetachRequest, lun) == 28);
LAYOUT(detach_request_size, sizeof(VxdDetachRequest) == 32);
LAYOUT(list_request_chap_user, offsetof(VxdListTargetsRequest, chapUserName) == 12);
LAYOUT(list_request_progress, offsetof(VxdListTargetsRequest, progress) == 24);
LAYOUT(list_request_size, sizeof(VxdListTargetsRequest) == 32);
#endif

/* The results hold no pointers: one layout on both architectures. */
LAYOUT(attach_result_letters, offsetof(VxdAttachResult, letters) == 12);
LAYOUT(attach_result_disk_count, offsetof(VxdAttachResult, diskCount) == 40);
LAYOUT(attach_result_disks, offsetof(VxdAttachResult, diskNumbers) == 44);
LAYOUT(attach_result_logged_in, offsetof(VxdAttachResult, alreadyLoggedIn) == 148);
LAYOUT(attach_result_disk_attributes, offsetof(VxdAttachResult, diskAttributes) == 152);
LAYOUT(attach_result_volume_count, offsetof(VxdAttachResult, volumeCount) == 256);
LAYOUT(attach_result_volume_names, offsetof(VxdAttachResult, volumeNames) == 260);
LAYOUT(attach_result_assigned, offsetof(VxdAttachResult, assignedLetters) == 660);
LAYOUT(attach_result_paths, offsetof(VxdAttachResult, pathCount) == 688);
LAYOUT(attach_result_luns, offsetof(VxdAttachResult, diskLuns) == 692);
LAYOUT(attach_result_size, sizeof(VxdAttachResult) == 796);
LAYOUT(detach_result_letters, offsetof(VxdDetachResult, letters) == 12);
LAYOUT(detach_result_logged_out, offsetof(VxdDetachResult, sessionsLoggedOut) == 40);
LAYOUT(detach_result_removed, offsetof(VxdDetachResult, persistentLoginsRemoved) == 44);
LAYOUT(detach_result_in_use, offsetof(VxdDetachResult, lettersInUse) == 48);
LAYOUT(detach_result_size, sizeof(VxdDetachResult) == 76);
