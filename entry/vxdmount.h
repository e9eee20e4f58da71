// The library's one export, for host applications.
#pragma once

#ifdef __cplusplus
extern "C" {
#endif

// Attaches the iSCSI target and waits until its volume has a drive letter: 1 done, 0 failed.
int CreateVXD(const char *portalAddress, const char *portalPort, const char *targetName,
              const char *extra1, const char *extra2);

#ifdef __cplusplus
}
#endif
