/* vxdmount.dll: attaches a remote iSCSI disk through the iSCSI initiator service and waits
 * until its volume is reachable under a drive letter, and takes it away again. Valid C89, C99,
 * C11 and C++.
 *
 * Link with vxdmount.lib (Microsoft's linker) or libvxdmount.dll.a (mingw), or load the DLL at
 * run time: define VXDMOUNT_NO_DLLIMPORT before including this header for plain declarations,
 * and call the exports through the Vxd...Function types that GetProcAddress returns. */
#ifndef VXDMOUNT_H
#define VXDMOUNT_H

/* The exports use the C calling convention whatever the project's default: a project compiled
 * with /Gz or /Gr would otherwise call them with the wrong one. */
#if defined(_WIN32)
#define VXDMOUNT_CALL __cdecl
#else
#define VXDMOUNT_CALL
#endif

#if defined(_WIN32) && !defined(VXDMOUNT_NO_DLLIMPORT)
#define VXDMOUNT_IMPORT __declspec(dllimport)
#else
#define VXDMOUNT_IMPORT
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* The structures' 32-bit fields: Windows' unsigned long, and the same 32 bits elsewhere (where
 * unsigned long may be 64), so that a build for tests and the bindings share Windows' layout. */
#if defined(_WIN32)
typedef unsigned long VxdULong;
#else
typedef unsigned int VxdULong;
#endif

/* Attaches the target and blocks the calling thread until its volume has a drive letter:
 * 1 done, 0 failed. portalAddress is the portal's dotted IPv4 address, portalPort its TCP port
 * as decimal text (must not be null), targetName the target's iSCSI name; extra1 and extra2
 * only appear in the trace. The other pointers may be null (empty). Progress goes to the
 * debug-output channel (OutputDebugStringA). A call may block for about three minutes. */
VXDMOUNT_IMPORT int VXDMOUNT_CALL CreateVXD(const char *portalAddress, const char *portalPort,
                                            const char *targetName, const char *extra1,
                                            const char *extra2);

/* The export's type, for hosts that find it with GetProcAddress. */
typedef int(VXDMOUNT_CALL *VxdCreateVxdFunction)(const char *portalAddress, const char *portalPort,
                                                 const char *targetName, const char *extra1,
                                                 const char *extra2);

/* Since 1.2: VxdAttach answers with the drive letters and the reason for a failure and can be
 * cancelled; VxdDetach takes the target away again. Each returns one of these statuses, which
 * keep their numbers in every later version; VxdStatusText describes each. */
#define VXD_STATUS_OK 0
/* Nothing was sent to the service. */
#define VXD_STATUS_INVALID_ARGUMENT 1
/* iscsidsc.dll or the MSiSCSI service cannot be reached. */
#define VXD_STATUS_SERVICE_UNAVAILABLE 2
#define VXD_STATUS_PORTAL_FAILED 3
#define VXD_STATUS_LOGIN_FAILED 4
/* The target refused the credentials. */
#define VXD_STATUS_AUTH_FAILED 5
/* The session showed no disk in time. */
#define VXD_STATUS_NO_DEVICE 6
/* The disk's volume got no drive letter in time. */
#define VXD_STATUS_NO_LETTER 7
#define VXD_STATUS_CANCELLED 8
/* Detach: no session and no persistent login of the target. */
#define VXD_STATUS_NOT_ATTACHED 9
/* Detach: a volume could not be locked, or the service found a device busy. */
#define VXD_STATUS_VOLUME_IN_USE 10
#define VXD_STATUS_LOGOUT_FAILED 11
#define VXD_STATUS_OUT_OF_MEMORY 12
/* A fault inside the library itself. */
#define VXD_STATUS_INTERNAL_ERROR 13
/* Since 1.4. A disk of the target stays offline; serviceStatus: the Windows error of bringing it
 * online, else 0. */
#define VXD_STATUS_DISK_OFFLINE 14
/* A disk stays offline because its signature or GPT disk ID is another disk's. */
#define VXD_STATUS_DISK_COLLISION 15
/* A disk of the target holds no volume Windows can mount (RAW or no partition). */
#define VXD_STATUS_NO_VOLUME 16
/* A letter or folder could not be given to a volume; serviceStatus: the Windows error. */
#define VXD_STATUS_MOUNT_FAILED 17
/* Since 1.5. Several paths give one LUN several disks: Windows' multipath I/O does not claim
 * it (the Multipath I/O feature, and mpclaim -r -i -a "" for iSCSI devices). */
#define VXD_STATUS_MULTIPATH_UNCLAIMED 18
/* VxdListTargets: *namesSize now holds the bytes needed. */
#define VXD_STATUS_BUFFER_TOO_SMALL 19

/* Attach: leave a login that this call made when the call fails. */
#define VXD_ATTACH_KEEP_ON_FAILURE 0x1
/* Since 1.3, with the CHAP fields of VxdAttachRequest: the same user name and secret for the
 * portal's discovery session. */
#define VXD_ATTACH_DISCOVERY_CHAP 0x2
/* Set the initiator's CHAP secret (one for the whole machine, every target) to initiatorSecret
 * first, and log in with mutual CHAP. */
#define VXD_ATTACH_SET_INITIATOR_SECRET 0x4
/* Mutual CHAP with the secret that the machine already has. */
#define VXD_ATTACH_MUTUAL_CHAP 0x8
/* Since 1.4: bring the target's offline or read-only disks online and writable. */
#define VXD_ATTACH_BRING_ONLINE 0x10
/* Give a volume of the target that has no letter the first free one, D to Z. */
#define VXD_ATTACH_ASSIGN_LETTER 0x20
/* Since 1.5: log in through the request's portal and every extra portal, multipath enabled;
 * portals that already carry a session of the target are left as they are. */
#define VXD_ATTACH_MULTIPATH 0x40
/* Wait for, and answer with, the disk of `lun` alone. */
#define VXD_ATTACH_ONE_LUN 0x80
/* Answer from the target's sessions as they are (after a reboot, say): nothing is registered or
 * logged in; VXD_STATUS_NOT_ATTACHED when it has neither a session nor a persistent login. */
#define VXD_ATTACH_NO_LOGIN 0x100
/* Detach: dismount volumes that cannot be locked (open files lose unwritten data). */
#define VXD_DETACH_FORCE 0x1
/* Detach: also remove portalAddress:portalPort from the send-target portals. */
#define VXD_DETACH_REMOVE_PORTAL 0x2
/* Since 1.5: take away the volumes of `lun` alone; log out only when no other LUN of the target
 * has a mounted volume. */
#define VXD_DETACH_ONE_LUN 0x4

/* Since 1.4: VxdAttachResult.diskAttributes, a disk's state as the call saw it. */
#define VXD_DISK_OFFLINE 0x01        /* the disk is offline now */
#define VXD_DISK_READ_ONLY 0x02      /* the disk is read-only now */
#define VXD_DISK_BROUGHT_ONLINE 0x04 /* this call brought it online */
#define VXD_DISK_MADE_WRITABLE 0x08  /* this call cleared its read-only attribute */
#define VXD_DISK_COLLISION 0x10      /* its MBR signature or GPT disk ID is also another disk's */
#define VXD_DISK_NO_VOLUME 0x20      /* no partition that Windows mounts */
#define VXD_DISK_STATE_UNKNOWN 0x40  /* Windows did not answer the disk attribute queries */

/* One progress line, NUL-terminated, without a line end; called on the calling thread. */
typedef void(VXDMOUNT_CALL *VxdProgressFunction)(void *context, const char *line);

/* `size` makes each structure versioned: the caller sets it to sizeof the structure it was
 * compiled with, the library reads and writes only what that size covers, and a later version
 * appends its fields at the end. */
/* Since 1.5: a portal of a target. */
typedef struct VxdPortal {
    const char *address; /* dotted IPv4 */
    unsigned short port; /* 0: 3260 */
} VxdPortal;

typedef struct VxdAttachRequest {
    VxdULong size;             /* sizeof(VxdAttachRequest): the caller's version */
    const char *portalAddress; /* dotted IPv4 */
    unsigned short portalPort; /* 0: 3260 */
    const char *targetName;
    VxdULong deviceWaitMs;        /* 0: 60000 */
    VxdULong letterWaitMs;        /* 0: 120000 */
    void *cancelEvent;            /* an event HANDLE, or NULL */
    VxdProgressFunction progress; /* NULL: none */
    void *progressContext;
    VxdULong flags; /* VXD_ATTACH_... */
    /* Since 1.3: CHAP. A secret is bytes, not a string; Windows takes 12 to 16 of them. The
     * library wipes every copy it makes and never writes a secret anywhere. */
    const char *chapUserName;        /* NULL: no CHAP */
    const unsigned char *chapSecret; /* the secret the target holds for chapUserName */
    VxdULong chapSecretLength;
    const unsigned char *initiatorSecret; /* mutual CHAP: the target proves itself with this */
    VxdULong initiatorSecretLength;       /* needs VXD_ATTACH_SET_INITIATOR_SECRET */
    /* Since 1.4: an empty NTFS folder ("C:\\mnt\\data\\") to mount the target's volume at,
     * instead of waiting for a letter; NULL: none. */
    const char *mountFolder;
    /* Since 1.5. More portals of the same target, with VXD_ATTACH_MULTIPATH; NULL: none. */
    const VxdPortal *extraPortals;
    VxdULong extraPortalCount;     /* at most 7 */
    VxdULong lun;                  /* with VXD_ATTACH_ONE_LUN: 0 to 255 */
    const char *initiatorInstance; /* the initiator (HBA) instance to go through; NULL: any */
    VxdULong initiatorPortNumber;  /* with initiatorInstance; 0xFFFFFFFF: any port */
} VxdAttachRequest;

typedef struct VxdAttachResult {
    VxdULong size;          /* sizeof(VxdAttachResult), set by the caller */
    int status;             /* also the function's result */
    VxdULong serviceStatus; /* the iSCSI or Windows status of the step that failed, else 0 */
    char letters[27];       /* the letters of the target's volumes, NUL-terminated: "F" */
    VxdULong diskCount;
    VxdULong diskNumbers[26];
    int alreadyLoggedIn; /* 1: the target had a session before the call */
    /* Since 1.4. */
    VxdULong diskAttributes[26]; /* VXD_DISK_... of diskNumbers[i] */
    VxdULong volumeCount;
    char volumeNames[8]
                    [50]; /* the target's volumes, "\\?\Volume{GUID}\", with or without a letter */
    char assignedLetters[27]; /* the letters that this call gave */
    /* Since 1.5. */
    VxdULong pathCount;    /* the target's sessions that carry the disks answered with */
    VxdULong diskLuns[26]; /* the LUN of diskNumbers[i] */
} VxdAttachResult;

typedef struct VxdDetachRequest {
    VxdULong size;
    const char *targetName;
    const char *portalAddress; /* used with VXD_DETACH_REMOVE_PORTAL */
    unsigned short portalPort; /* 0: 3260 */
    VxdULong flags;            /* VXD_DETACH_... */
    VxdProgressFunction progress;
    void *progressContext;
    VxdULong lun; /* since 1.5, with VXD_DETACH_ONE_LUN */
} VxdDetachRequest;

typedef struct VxdDetachResult {
    VxdULong size;
    int status;
    VxdULong serviceStatus;
    char letters[27]; /* the letters that were taken away */
    VxdULong sessionsLoggedOut;
    VxdULong persistentLoginsRemoved;
    char lettersInUse[27]; /* the letters whose volumes could not be locked */
} VxdDetachResult;

/* Attaches the target: the same security record, portal and login as CreateVXD, then waits for
 * the session's disks and for the letters of their volumes. Returns the status, also stored in
 * result->status. On a failure or a cancel it logs out the session that it made and removes the
 * persistent login that it made, unless VXD_ATTACH_KEEP_ON_FAILURE; a persistent login kept
 * before the call stays in any case. */
VXDMOUNT_IMPORT int VXDMOUNT_CALL VxdAttach(const VxdAttachRequest *request,
                                            VxdAttachResult *result);

/* Takes the target away: flushes, locks and dismounts the volumes on its disks (since 1.4 by
 * their volume names, with or without a letter, and removes their folder mount points), logs
 * out each of its sessions, removes its persistent logins and, with VXD_DETACH_REMOVE_PORTAL, the
 * portal. Stops at the first refusal; the result counts what was done. */
VXDMOUNT_IMPORT int VXDMOUNT_CALL VxdDetach(const VxdDetachRequest *request,
                                            VxdDetachResult *result);

/* Since 1.5: which targets a portal offers. */
typedef struct VxdListTargetsRequest {
    VxdULong size;             /* sizeof(VxdListTargetsRequest) */
    const char *portalAddress; /* NULL: the targets the initiator already knows */
    unsigned short portalPort; /* 0: 3260 */
    const char *chapUserName;  /* discovery CHAP; NULL: none */
    const unsigned char *chapSecret;
    VxdULong chapSecretLength;
    VxdProgressFunction progress;
    void *progressContext;
} VxdListTargetsRequest;

/* The targets the portal offers, refreshed, in the service's order: each name NUL-terminated,
 * an empty name after the last. A portal that is not registered is registered for the call and
 * removed again; nothing is logged in. *namesSize: in, the buffer's size in bytes (names may be
 * NULL when it is 0); out, the bytes written or, with VXD_STATUS_BUFFER_TOO_SMALL, needed. */
VXDMOUNT_IMPORT int VXDMOUNT_CALL VxdListTargets(const VxdListTargetsRequest *request, char *names,
                                                 VxdULong *namesSize);

/* A status in a few words, such as "the portal could not be registered"; never NULL. */
VXDMOUNT_IMPORT const char *VXDMOUNT_CALL VxdStatusText(int status);

typedef int(VXDMOUNT_CALL *VxdAttachFunction)(const VxdAttachRequest *request,
                                              VxdAttachResult *result);
typedef int(VXDMOUNT_CALL *VxdDetachFunction)(const VxdDetachRequest *request,
                                              VxdDetachResult *result);
typedef const char *(VXDMOUNT_CALL *VxdStatusTextFunction)(int status);
typedef int(VXDMOUNT_CALL *VxdListTargetsFunction)(const VxdListTargetsRequest *request,
                                                   char *names, VxdULong *namesSize);

#ifdef __cplusplus
}
#endif

#endif /* VXDMOUNT_H */
