// Parts of the statically linked C++ runtime that the DLL provides itself, each in place of
// one that would bring far more into the DLL than it uses. What reaches the host is unchanged:
// CreateVXD catches every exception and returns 0, with "out of memory" for a failed
// allocation and "internal error" for anything else.
//
// Should a new use of the standard library need another of libstdc++'s __throw_ functions,
// the link fails with functexcept.o's definitions clashing with these; add that one here.
#include <cstdlib>
#include <new>

namespace {
// Thrown where the standard library would throw one of its logic errors: a length beyond
// max_size(), a position past the end, a string built from a null pointer. Only a fault in
// the library's own code can get there.
struct StandardLibraryMisuse {};
} // namespace

// The runtime's own names and signatures, replaced on purpose at link time: reserved names,
// additions to namespace std and a variadic function are what they are.
// NOLINTBEGIN(bugprone-reserved-identifier,cert-dcl*)
namespace std {
// libstdc++'s own throw a logic_error subclass, whose message is a reference-counted string:
// they bring libstdc++'s second string type and its exception classes into the DLL, a quarter
// of its size.
void __throw_bad_alloc() { throw bad_alloc(); }
// An array's size beyond what can be allocated: out of memory, as the caller is told.
void __throw_bad_array_new_length() { throw bad_alloc(); }
void __throw_length_error(const char *) { throw StandardLibraryMisuse(); }
void __throw_logic_error(const char *) { throw StandardLibraryMisuse(); }
void __throw_out_of_range_fmt(const char *, ...) { throw StandardLibraryMisuse(); }
} // namespace std

namespace __gnu_cxx {
// std::terminate's default handler. libstdc++'s own prints the uncaught exception's demangled
// type on stderr, which a host's user never sees, and brings the demangler into the DLL, a fifth
// of its size. CreateVXD lets no exception out, so only a fault of the runtime gets here.
void __verbose_terminate_handler() { std::abort(); }
} // namespace __gnu_cxx
// NOLINTEND(bugprone-reserved-identifier,cert-dcl*)
