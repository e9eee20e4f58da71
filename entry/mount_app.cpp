#include "entry/mount_app.h"

namespace vxd {
namespace {
CMountApp theApp;
} // namespace

CMountApp &TheApp() { return theApp; }

} // namespace vxd

#ifdef _WIN32
// The load and unload hook: the object itself is built and released with the module's
// globals, so load only has to report InitInstance's answer.
extern "C" int __stdcall DllMain(void * /*module*/, unsigned long reason, void * /*reserved*/) {
    constexpr unsigned long kProcessAttach = 1;
    if (reason == kProcessAttach) {
        return vxd::TheApp().InitInstance();
    }
    return 1;
}
#endif
