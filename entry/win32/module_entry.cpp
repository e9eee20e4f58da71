// The DLL's load and unload hooks on Windows. The module object is built and released with
// the module's globals; what the statically linked C and C++ runtimes keep for the life of the
// process is handed back here when a host unloads the DLL, so that a host which loads it for
// each request does not lose memory and handles every time.
#include <windows.h>

#include <utility>

#include "entry/mount_app.h"
#include "platform/win32/unique_handles.h"

namespace __gnu_cxx {
// libstdc++'s release of the emergency exception pool that it allocates at load.
// NOLINTNEXTLINE(bugprone-reserved-identifier,cert-dcl37-c,cert-dcl51-cpp): the runtime's name.
void __freeres() noexcept;
} // namespace __gnu_cxx

extern "C" BOOL WINAPI DllMainCRTStartup(HINSTANCE module, DWORD reason, void *reserved);

namespace {

#if defined(__i386__)
// The semaphore of the 32-bit runtime's frame-registry mutex (cmake/frame_registry.cmake routes
// its creation here). The registry creates it once, when the DLL's frames are registered at
// load, and uses it until they are deregistered at unload.
HANDLE registrySemaphore = nullptr;

extern "C" HANDLE WINAPI VxdRegistrySemaphore(SECURITY_ATTRIBUTES *attributes, LONG initialCount,
                                              LONG maximumCount, const wchar_t *name) {
    HANDLE semaphore = CreateSemaphoreW(attributes, initialCount, maximumCount, name);
    registrySemaphore = semaphore;
    return semaphore;
}

// The registry calls it through an import slot, as it would the system's function.
extern "C" {
decltype(&VxdRegistrySemaphore)
    registrySemaphoreImport __asm__("__imp__VxdRegistrySemaphore@16") = &VxdRegistrySemaphore;
}

// A raw handle until then: an owner's destructor would run with the module's globals, while the
// registry still needs it.
void ReleaseRegistrySemaphore() {
    const vxd::win32::UniqueHandle released(std::exchange(registrySemaphore, nullptr));
}
#else
void ReleaseRegistrySemaphore() {}
#endif

} // namespace

extern "C" BOOL WINAPI DllMain(HINSTANCE /*module*/, DWORD reason, void * /*reserved*/) {
    if (reason == DLL_PROCESS_ATTACH) {
        return vxd::TheApp().InitInstance();
    }
    return TRUE;
}

// The entry point: the C runtime's own, which runs DllMain and the globals' constructors and
// destructors, wrapped by the release of what the runtimes would keep. A null reserved pointer
// at detach means FreeLibrary; at process exit nothing is released, since the process takes it
// all back and other threads may have stopped anywhere. Never protected by the stack guard: its
// frame is live while the C runtime's start seeds the guard (entry/win32/stack_guard.cpp).
extern "C" __attribute__((no_stack_protector)) BOOL WINAPI VxdModuleEntry(HINSTANCE module,
                                                                          DWORD reason,
                                                                          void *reserved) {
    const bool unloading = reason == DLL_PROCESS_DETACH && reserved == nullptr;
    if (unloading) {
        __gnu_cxx::__freeres();
    }
    const BOOL result = DllMainCRTStartup(module, reason, reserved);
    if (unloading) {
        // The runtime's detach has deregistered the frames: nothing takes the mutex any more.
        ReleaseRegistrySemaphore();
    }
    return result;
}
