// One owner for every kind of handle: closed exactly once, and never when it holds the value
// that its kind uses for "no handle". A kind is a traits type: the handle's type, that value and
// the function that closes it; so a file handle (INVALID_HANDLE_VALUE) and an event (null) are
// owners of different types, and `if (owner)` is right for each by construction.
#pragma once

#include "platform/platform.h"

namespace vxd {

template <typename Traits> class UniqueAny {
  public:
    using Value = typename Traits::Value;

    UniqueAny() noexcept : value_(Traits::Invalid()) {}
    explicit UniqueAny(Value value) noexcept : value_(value) {}
    ~UniqueAny() { reset(); }
    UniqueAny(UniqueAny &&other) noexcept : value_(other.release()) {}
    UniqueAny &operator=(UniqueAny &&other) noexcept {
        if (this != &other) {
            reset(other.release());
        }
        return *this;
    }
    UniqueAny(const UniqueAny &) = delete;
    UniqueAny &operator=(const UniqueAny &) = delete;

    explicit operator bool() const noexcept { return value_ != Traits::Invalid(); }
    Value get() const noexcept { return value_; }
    Value release() noexcept {
        const Value value = value_;
        value_ = Traits::Invalid();
        return value;
    }
    void reset(Value value = Traits::Invalid()) noexcept {
        const Value old = value_;
        value_ = value;
        if (old != Traits::Invalid()) {
            Traits::Close(old);
        }
    }
    // For a function that hands its handle out through a pointer: whatever was held is closed.
    Value *put() noexcept {
        reset();
        return &value_;
    }

  private:
    Value value_;
};

namespace platform {

// A volume or file opened through the platform's CreateFileA.
struct FileHandleTraits {
    using Value = HANDLE;
    static Value Invalid() { return InvalidHandle(); }
    static void Close(Value handle) { CloseHandle(handle); }
};
using UniqueFileHandle = UniqueAny<FileHandleTraits>;

// A search of the platform's FindFirstVolumeA.
struct VolumeSearchTraits {
    using Value = HANDLE;
    static Value Invalid() { return InvalidHandle(); }
    static void Close(Value search) { FindVolumeClose(search); }
};
using UniqueVolumeSearch = UniqueAny<VolumeSearchTraits>;

} // namespace platform
} // namespace vxd
