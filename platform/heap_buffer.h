// A zero-filled block of memory for one platform call. Allocation failure leaves it empty
// instead of throwing, so the caller can answer it with its own result and trace line.
#pragma once

#include <cstddef>
#include <cstdlib>
#include <memory>

namespace vxd {

class HeapBuffer {
  public:
    HeapBuffer() = default;
    explicit HeapBuffer(std::size_t size)
        : bytes_(static_cast<unsigned char *>(std::calloc(size == 0 ? 1 : size, 1))),
          size_(bytes_ ? size : 0) {}

    bool Allocated() const { return bytes_ != nullptr; }
    unsigned char *Data() { return bytes_.get(); }
    std::size_t Size() const { return size_; }

    template <typename Record> Record *As() { return reinterpret_cast<Record *>(bytes_.get()); }

  private:
    struct Free {
        void operator()(unsigned char *p) const { std::free(p); }
    };
    std::unique_ptr<unsigned char, Free> bytes_;
    std::size_t size_ = 0;
};

} // namespace vxd
