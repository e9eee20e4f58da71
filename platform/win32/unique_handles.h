// The owners of Windows' own handles, for the programs around the library (vxdhost, the test
// kit and the tests' hosts): one type for each kind of handle and its "no handle" value.
#pragma once

#include <windows.h>

#include "platform/unique_handle.h"

namespace vxd::win32 {

// Events, threads, processes, tokens, sections: null when there is none.
struct HandleTraits {
    using Value = HANDLE;
    static Value Invalid() { return nullptr; }
    static void Close(Value handle) { ::CloseHandle(handle); }
};
using UniqueHandle = UniqueAny<HandleTraits>;

// What CreateFileA opens: INVALID_HANDLE_VALUE when it opened nothing.
struct FileHandleTraits {
    using Value = HANDLE;
    static Value Invalid() { return INVALID_HANDLE_VALUE; }
    static void Close(Value handle) { ::CloseHandle(handle); }
};
using UniqueFileHandle = UniqueAny<FileHandleTraits>;

// A FindFirstFileA search.
struct FileSearchTraits {
    using Value = HANDLE;
    static Value Invalid() { return INVALID_HANDLE_VALUE; }
    static void Close(Value search) { ::FindClose(search); }
};
using UniqueFileSearch = UniqueAny<FileSearchTraits>;

// A FindFirstVolumeA search.
struct VolumeSearchTraits {
    using Value = HANDLE;
    static Value Invalid() { return INVALID_HANDLE_VALUE; }
    static void Close(Value search) { ::FindVolumeClose(search); }
};
using UniqueVolumeSearch = UniqueAny<VolumeSearchTraits>;

// A library that LoadLibraryA loaded.
struct ModuleTraits {
    using Value = HMODULE;
    static Value Invalid() { return nullptr; }
    static void Close(Value module) { ::FreeLibrary(module); }
};
using UniqueModule = UniqueAny<ModuleTraits>;

// The service control manager and its services.
struct ServiceHandleTraits {
    using Value = SC_HANDLE;
    static Value Invalid() { return nullptr; }
    static void Close(Value handle) { ::CloseServiceHandle(handle); }
};
using UniqueServiceHandle = UniqueAny<ServiceHandleTraits>;

// A view that MapViewOfFile mapped.
struct MappedViewTraits {
    using Value = void *;
    static Value Invalid() { return nullptr; }
    static void Close(Value view) { ::UnmapViewOfFile(view); }
};
using UniqueMappedView = UniqueAny<MappedViewTraits>;

// A socket of Windows Sockets: windows.h declares it through either version's header, whichever
// the program included first.
struct SocketTraits {
    using Value = SOCKET;
    static Value Invalid() { return INVALID_SOCKET; }
    static void Close(Value socket) { ::closesocket(socket); }
};
using UniqueSocket = UniqueAny<SocketTraits>;

} // namespace vxd::win32
