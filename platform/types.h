// The platform's basic types, for records and operations declared without windows.h: the
// logic builds for Windows and for the simulated machine alike.
#pragma once

#include <cstdint>

namespace vxd::platform {

#ifdef _WIN32
// Same underlying types as the platform's own, so that pointers pass unchanged.
using DWORD = unsigned long;
using ULONG = unsigned long;
using BOOL = int;
#else
using DWORD = std::uint32_t;
using ULONG = std::uint32_t;
using BOOL = std::int32_t;
#endif
using USHORT = std::uint16_t;
using UCHAR = unsigned char;
using BOOLEAN = unsigned char;
using ULONGLONG = std::uint64_t;
using HANDLE = void *;

// The platform's INVALID_HANDLE_VALUE: all bits set.
// NOLINTNEXTLINE(performance-no-int-to-ptr): the platform defines this handle as a number.
inline HANDLE InvalidHandle() { return reinterpret_cast<HANDLE>(~std::uintptr_t{0}); }

constexpr ULONG kErrorNotEnoughMemory = 8;
constexpr ULONG kErrorInvalidData = 13;
constexpr ULONG kErrorInsufficientBuffer = 122;

} // namespace vxd::platform

// The system's calling convention (WINAPI), which its libraries' functions use.
#ifdef _WIN32
#define VXD_WINAPI __stdcall
#else
#define VXD_WINAPI
#endif
