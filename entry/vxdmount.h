/* vxdmount.dll: attaches a remote iSCSI disk through the iSCSI initiator service and waits
 * until its volume is reachable under a drive letter. Valid C89, C99, C11 and C++.
 *
 * Link with vxdmount.lib (Microsoft's linker) or libvxdmount.dll.a (mingw), or load the DLL at
 * run time: define VXDMOUNT_NO_DLLIMPORT before including this header for a plain declaration,
 * and call the export through a VxdCreateVxdFunction that GetProcAddress returns. */
#ifndef VXDMOUNT_H
#define VXDMOUNT_H

/* The export uses the C calling convention whatever the project's default: a project compiled
 * with /Gz or /Gr would otherwise call it with the wrong one. */
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

#ifdef __cplusplus
}
#endif

#endif /* VXDMOUNT_H */
