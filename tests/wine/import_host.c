/* A host that binds CreateVXD through an import library at load and has no C runtime of its
 * own: built by mingw through libvxdmount.dll.a, and for Microsoft's ABI by clang and lld-link
 * through vxdmount.lib. It asks for a target that the test kit has logged in already,
 * prints "CreateVXD returned N" and exits with 0 for 1. */
#include "entry/vxdmount.h"

/* kernel32's own declarations, so that no SDK header is needed. */
__declspec(dllimport) void __stdcall ExitProcess(unsigned int exitCode);
__declspec(dllimport) void *__stdcall GetStdHandle(unsigned long which);
__declspec(dllimport) int __stdcall WriteFile(void *file, const void *data, unsigned long size,
                                              unsigned long *written, void *overlapped);

static void Write(const char *text, unsigned long size) {
    const unsigned long standardOutput = (unsigned long)-11;
    unsigned long written = 0;
    WriteFile(GetStdHandle(standardOutput), text, size, &written, 0);
}

void __stdcall HostMain(void) {
    static const char digits[] = "0123456789";
    const int result = CreateVXD("127.0.0.1", "3260", "iqn.2026-01.test.vxd:import", "", "");
    Write("CreateVXD returned ", 19);
    Write(&digits[result >= 0 && result <= 9 ? result : 9], 1);
    Write("\r\n", 2);
    ExitProcess(result == 1 ? 0 : 1);
}
