// A copy of secret bytes (a CHAP secret) on the process heap, wiped before it is freed, on
// every path. The discovery library takes its secrets through non-const pointers, so the
// caller's bytes are copied once, here, and nowhere else.
#pragma once

#include <cstddef>

#include "platform/platform.h"
#include "platform/wipe_bytes.h"

namespace vxd {

class SecretBuffer {
  public:
    SecretBuffer() = default;
    ~SecretBuffer() { Clear(); }
    SecretBuffer(const SecretBuffer &) = delete;
    SecretBuffer &operator=(const SecretBuffer &) = delete;

    // Copies `size` bytes; false when the heap has no room (the buffer is then empty).
    bool Assign(const unsigned char *bytes, std::size_t size) {
        if (!Allocate(size)) {
            return false;
        }
        for (std::size_t i = 0; i < size; ++i) {
            bytes_[i] = bytes[i];
        }
        return true;
    }

    // `size` zero bytes, for an answer of the service that may hold secrets.
    bool Allocate(std::size_t size) {
        Clear();
        if (size == 0) {
            return true;
        }
        void *block = platform::HeapAlloc(platform::GetProcessHeap(), kHeapZeroMemory, size);
        if (block == nullptr) {
            return false;
        }
        bytes_ = static_cast<unsigned char *>(block);
        size_ = size;
        return true;
    }

    void Clear() {
        if (bytes_ != nullptr) {
            WipeBytes(bytes_, size_);
            platform::HeapFree(platform::GetProcessHeap(), 0, bytes_);
        }
        bytes_ = nullptr;
        size_ = 0;
    }

    unsigned char *Data() { return bytes_; }
    std::size_t Size() const { return size_; }

  private:
    static constexpr platform::DWORD kHeapZeroMemory = 0x8;

    unsigned char *bytes_ = nullptr;
    std::size_t size_ = 0;
};

} // namespace vxd
