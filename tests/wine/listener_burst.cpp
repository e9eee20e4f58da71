// Writes a burst of debug-output lines back to back while vxdhost's listener runs, then stops
// the listener at once: every line must come out, in order, and nothing else.
//   listener_burst COUNT
#include <cstdio>
#include <cstdlib>
#include <string>

#include "tools/vxdhost/debug_output_listener.h"

int main(int argc, char **argv) {
    // NOLINTNEXTLINE(cert-err34-c): the count comes from the Wine case, always a number.
    const int count = argc > 1 ? std::atoi(argv[1]) : 0;
    vxdhost::DebugOutputListener listener(stdout);
    std::string error;
    if (!listener.Start(error)) {
        std::fprintf(stderr, "listener_burst: %s\n", error.c_str());
        return 2;
    }
    for (int i = 0; i < count; ++i) {
        OutputDebugStringA(("line " + std::to_string(i)).c_str());
    }
    listener.Finish();
    return 0;
}
