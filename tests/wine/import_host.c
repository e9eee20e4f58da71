/* A host that binds the exports through an import library at load and has no C runtime of its
 * own: built by mingw through libvxdmount.dll.a, and for Microsoft's ABI by clang and lld-link
 * through vxdmount.lib. With the test kit playing tests/wine/scenarios/import_calls.json:
 *   CreateVXD for a target that the kit has logged in already: 1;
 *   VxdAttach for one that it logs in afresh: VXD_STATUS_OK and its letters, the structures
 *     filled field by field as a C89 host fills them, with a progress function of its own;
 *   VxdDetach for a session without disks: VXD_STATUS_OK, one session logged out;
 *   VxdDetach for a target that has nothing: VXD_STATUS_NOT_ATTACHED;
 * each status with VxdStatusText's words. Exits with 0 when every status is the expected one. */
#include "entry/vxdmount.h"

/* kernel32's own declarations, so that no SDK header is needed. */
__declspec(dllimport) void __stdcall ExitProcess(unsigned int exitCode);
__declspec(dllimport) void *__stdcall GetStdHandle(unsigned long which);
__declspec(dllimport) int __stdcall WriteFile(void *file, const void *data, unsigned long size,
                                              unsigned long *written, void *overlapped);
/* kernel32's, since a loop that counts characters may be compiled into a call to the C
 * runtime's strlen, which this host does not link. */
__declspec(dllimport) int __stdcall lstrlenA(const char *text);

static void Write(const char *text, unsigned long size) {
    const unsigned long standardOutput = (unsigned long)-11;
    unsigned long written = 0;
    WriteFile(GetStdHandle(standardOutput), text, size, &written, 0);
}

static void WriteText(const char *text) { Write(text, (unsigned long)lstrlenA(text)); }

static void WriteNumber(unsigned long number) {
    char digits[12];
    int at = (int)sizeof digits;
    do {
        digits[--at] = (char)('0' + number % 10);
        number /= 10;
    } while (number != 0 && at > 0);
    Write(digits + at, (unsigned long)sizeof digits - (unsigned long)at);
}

/* "NAME returned STATUS: words" */
static void WriteStatus(const char *call, int status) {
    WriteText(call);
    WriteText(" returned ");
    WriteNumber((unsigned long)status);
    WriteText(": ");
    WriteText(VxdStatusText(status));
}

/* The progress function's context: the last line it was given. */
typedef struct LastLine {
    char text[512];
    unsigned long lines;
} LastLine;

static void VXDMOUNT_CALL KeepLastLine(void *context, const char *line) {
    LastLine *last = (LastLine *)context;
    unsigned long i = 0;
    for (; line[i] != '\0' && i + 1 < sizeof last->text; ++i) {
        last->text[i] = line[i];
    }
    last->text[i] = '\0';
    ++last->lines;
}

static int Attach(void) {
    VxdAttachRequest request;
    VxdAttachResult result;
    LastLine last;
    int status;
    last.text[0] = '\0';
    last.lines = 0;
    request.size = sizeof request;
    request.portalAddress = "127.0.0.1";
    request.portalPort = 3260;
    request.targetName = "iqn.2026-01.test.vxd:import-attach";
    request.deviceWaitMs = 5000;
    request.letterWaitMs = 10000;
    request.cancelEvent = 0;
    request.progress = KeepLastLine;
    request.progressContext = &last;
    request.flags = 0;
    /* The fields of 1.3 and 1.4, which sizeof request covers: no CHAP, no mount folder. */
    request.chapUserName = 0;
    request.chapSecret = 0;
    request.chapSecretLength = 0;
    request.initiatorSecret = 0;
    request.initiatorSecretLength = 0;
    request.mountFolder = 0;
    result.size = sizeof result;
    status = VxdAttach(&request, &result);
    WriteStatus("VxdAttach", status);
    WriteText("; letters ");
    WriteText(result.letters);
    WriteText("; last progress line: ");
    WriteText(last.text);
    WriteText("\r\n");
    return status == VXD_STATUS_OK && result.status == status && result.letters[0] != '\0' &&
           result.alreadyLoggedIn == 0 && last.lines > 1;
}

static int Detach(const char *target, int expected) {
    VxdDetachRequest request;
    VxdDetachResult result;
    int status;
    request.size = sizeof request;
    request.targetName = target;
    request.portalAddress = 0;
    request.portalPort = 0;
    request.flags = 0;
    request.progress = 0;
    request.progressContext = 0;
    result.size = sizeof result;
    status = VxdDetach(&request, &result);
    WriteStatus("VxdDetach", status);
    WriteText("; sessions logged out ");
    WriteNumber(result.sessionsLoggedOut);
    WriteText("\r\n");
    return status == expected && result.status == status;
}

void __stdcall HostMain(void) {
    static const char digits[] = "0123456789";
    int passed;
    const int result = CreateVXD("127.0.0.1", "3260", "iqn.2026-01.test.vxd:import", "", "");
    Write("CreateVXD returned ", 19);
    Write(&digits[result >= 0 && result <= 9 ? result : 9], 1);
    Write("\r\n", 2);
    passed = result == 1;
    passed = Attach() && passed;
    passed = Detach("iqn.2026-01.test.vxd:import-diskless", VXD_STATUS_OK) && passed;
    passed = Detach("iqn.2026-01.test.vxd:import-absent", VXD_STATUS_NOT_ATTACHED) && passed;
    ExitProcess(passed ? 0 : 1);
}
