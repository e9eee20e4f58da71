// The stack protector's guard and its failure routine, linked into every PE that ships
// (cmake/hardening.cmake). mingw-w64's libssp would seed the guard through advapi32, a library
// the DLL must not bind to. Instead the guard is the security cookie of the image's load
// configuration, as with Windows' own compilers: the loader puts a random value there at load
// while it still holds the documented default. Where it still holds the default when the C
// runtime starts, kernel32's clocks and ids seed it. A check that fails ends the process at
// once: nothing of a smashed frame runs, no handler of the host gets to see it.
//
// This file is compiled without the stack protector, and the seeding runs before any code of
// ours but the DLL's entry wrapper (entry/win32/module_entry.cpp, marked likewise): a protected
// frame that is live while the guard changes would fail its check on return.
#include <windows.h>

#include <cstddef>
#include <cstdint>

namespace {
#if defined(_WIN64)
constexpr std::uintptr_t kDefaultCookie = 0x00002B992DDFA232;
// The loader's cookies leave the top 16 bits clear; so do ours.
constexpr std::uintptr_t kCookieBits = 0x0000FFFFFFFFFFFF;
#else
constexpr std::uintptr_t kDefaultCookie = 0xBB40E64E;
constexpr std::uintptr_t kCookieBits = 0xFFFFFFFF;
#endif
} // namespace

// The runtime's names, which GCC's protected code and the linker look for.
// NOLINTBEGIN(bugprone-reserved-identifier,cert-dcl37-c,cert-dcl51-cpp)
extern "C" {
// Writable, outside the code: the loader writes it at load, the seeding below may.
std::uintptr_t __stack_chk_guard = kDefaultCookie;

[[noreturn]] void __stack_chk_fail() {
    // Windows 8 and later end the process from the kernel, with no handler run; before them
    // int 0x29 is not a fast fail, so the feature is asked first.
    if (IsProcessorFeaturePresent(PF_FASTFAIL_AVAILABLE)) {
        __asm__ volatile("int $0x29" : : "c"(FAST_FAIL_STACK_COOKIE_CHECK_FAILURE) : "memory");
    }
    TerminateProcess(GetCurrentProcess(), STATUS_STACK_BUFFER_OVERRUN);
    __builtin_trap(); // not reached: TerminateProcess does not return for its own process
}
}

namespace {
// IMAGE_LOAD_CONFIG_DIRECTORY of the platform's headers, field by field, with the addresses as
// pointers so that the record is constant data with base relocations, which the loader reads
// before any code runs. It ends with the SEH fields, before those of Control Flow Guard, which
// GCC 12 cannot give: a record of this size says the image has none.
struct LoadConfiguration {
    DWORD size;
    DWORD timeDateStamp;
    WORD majorVersion;
    WORD minorVersion;
    DWORD globalFlagsClear;
    DWORD globalFlagsSet;
    DWORD criticalSectionDefaultTimeout;
    ULONG_PTR deCommitFreeBlockThreshold;
    ULONG_PTR deCommitTotalFreeThreshold;
    ULONG_PTR lockPrefixTable;
    ULONG_PTR maximumAllocationSize;
    ULONG_PTR virtualMemoryThreshold;
#if defined(_WIN64)
    ULONG_PTR processAffinityMask;
    DWORD processHeapFlags;
#else
    DWORD processHeapFlags;
    ULONG_PTR processAffinityMask;
#endif
    WORD csdVersion;
    WORD reserved;
    ULONG_PTR editList;
    std::uintptr_t *securityCookie;
    const void *seHandlerTable;
    ULONG_PTR seHandlerCount;
};

#define VXD_SAME_FIELD(ours, platforms)                                                            \
    static_assert(                                                                                 \
        offsetof(LoadConfiguration, ours) == offsetof(IMAGE_LOAD_CONFIG_DIRECTORY, platforms) &&   \
        sizeof(LoadConfiguration::ours) == sizeof(IMAGE_LOAD_CONFIG_DIRECTORY::platforms))
VXD_SAME_FIELD(size, Size);
VXD_SAME_FIELD(timeDateStamp, TimeDateStamp);
VXD_SAME_FIELD(majorVersion, MajorVersion);
VXD_SAME_FIELD(minorVersion, MinorVersion);
VXD_SAME_FIELD(globalFlagsClear, GlobalFlagsClear);
VXD_SAME_FIELD(globalFlagsSet, GlobalFlagsSet);
VXD_SAME_FIELD(criticalSectionDefaultTimeout, CriticalSectionDefaultTimeout);
VXD_SAME_FIELD(deCommitFreeBlockThreshold, DeCommitFreeBlockThreshold);
VXD_SAME_FIELD(deCommitTotalFreeThreshold, DeCommitTotalFreeThreshold);
VXD_SAME_FIELD(lockPrefixTable, LockPrefixTable);
VXD_SAME_FIELD(maximumAllocationSize, MaximumAllocationSize);
VXD_SAME_FIELD(virtualMemoryThreshold, VirtualMemoryThreshold);
VXD_SAME_FIELD(processAffinityMask, ProcessAffinityMask);
VXD_SAME_FIELD(processHeapFlags, ProcessHeapFlags);
VXD_SAME_FIELD(csdVersion, CSDVersion);
VXD_SAME_FIELD(reserved, Reserved1);
VXD_SAME_FIELD(editList, EditList);
VXD_SAME_FIELD(securityCookie, SecurityCookie);
VXD_SAME_FIELD(seHandlerTable, SEHandlerTable);
VXD_SAME_FIELD(seHandlerCount, SEHandlerCount);
#undef VXD_SAME_FIELD
// The sizes that the format gives the record up to its SEH fields.
static_assert(sizeof(LoadConfiguration) == (sizeof(void *) == 8 ? 112 : 72));
static_assert(alignof(LoadConfiguration) == sizeof(void *)); // the linker wants it aligned
} // namespace

// The name that the PE's load-configuration directory points at: newer GNU ld finds it by itself
// (with the underscore that i386 symbols take), binutils 2.40 leaves the directory to
// cmake/pe_load_config.py. Either reads the directory's size from the first field.
extern "C" {
extern const LoadConfiguration _load_config_used;
}

namespace {
// Zero but for the size and the cookie: the system's defaults, no lock prefixes to patch, no
// table of SEH handlers, since no code here registers one (the 32-bit images are --no-seh).
constexpr LoadConfiguration LoadConfigurationRecord() {
    LoadConfiguration record{};
    record.size = sizeof record;
    record.securityCookie = &__stack_chk_guard;
    return record;
}
} // namespace

// constexpr: data in the image that the loader reads, never built by code at run time.
constexpr LoadConfiguration _load_config_used = LoadConfigurationRecord();
// NOLINTEND(bugprone-reserved-identifier,cert-dcl37-c,cert-dcl51-cpp)

namespace {
// What kernel32 gives without another library: the clock, the high-resolution counter, the
// process's and thread's ids, the tick count, and a stack address, which ASLR moves.
std::uintptr_t KernelSeed() {
    FILETIME now{};
    GetSystemTimeAsFileTime(&now);
    LARGE_INTEGER counter{};
    QueryPerformanceCounter(&counter);
    const auto counterValue = static_cast<std::uint64_t>(counter.QuadPart);
    std::uint64_t seed = (static_cast<std::uint64_t>(now.dwHighDateTime) << 32) ^
                         now.dwLowDateTime ^ (counterValue << 32) ^ counterValue ^
                         (static_cast<std::uint64_t>(GetCurrentProcessId()) << 16) ^
                         (static_cast<std::uint64_t>(GetCurrentThreadId()) << 40) ^ GetTickCount() ^
                         reinterpret_cast<std::uintptr_t>(&counter);
    if (sizeof(std::uintptr_t) < sizeof seed) {
        seed ^= seed >> 32;
    }
    return static_cast<std::uintptr_t>(seed) & kCookieBits;
}

// The C runtime runs the .CRT$XI initializers once per load of the image, before the C++
// constructors, and ignores their result unless it is not 0.
int SeedGuardUnlessTheLoaderDid() {
    if (__stack_chk_guard == kDefaultCookie) {
        const std::uintptr_t seed = KernelSeed();
        __stack_chk_guard = seed != kDefaultCookie && seed != 0 ? seed : kDefaultCookie ^ 1;
    }
    return 0;
}

// Placed as the C runtime places its own; the name sorts it after them and before the others.
__attribute__((section(".CRT$XIB"), used)) int (*seedGuard)() = SeedGuardUnlessTheLoaderDid;
} // namespace
