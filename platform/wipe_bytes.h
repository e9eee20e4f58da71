// Wiping secret bytes where the compiler may not leave the stores out, as Windows'
// SecureZeroMemory does; portable, so the library and the programs that read secrets share it.
#pragma once

#include <cstddef>

namespace vxd {

inline void WipeBytes(void *bytes, std::size_t size) {
    volatile unsigned char *each = static_cast<volatile unsigned char *>(bytes);
    for (std::size_t i = 0; i < size; ++i) {
        each[i] = 0;
    }
}

} // namespace vxd
