// One owner for one kernel handle: closed exactly once, when the owner drops or replaces it.
#pragma once

#include <windows.h>

#include <utility>

namespace op {

class OwnedHandle {
  public:
    OwnedHandle() = default;
    explicit OwnedHandle(HANDLE h) : h_(Usable(h) ? h : nullptr) {}
    OwnedHandle(const OwnedHandle&) = delete;
    OwnedHandle& operator=(const OwnedHandle&) = delete;
    OwnedHandle(OwnedHandle&& o) noexcept : h_(std::exchange(o.h_, nullptr)) {}
    OwnedHandle& operator=(OwnedHandle&& o) noexcept {
        if (this != &o) reset(std::exchange(o.h_, nullptr));
        return *this;
    }
    ~OwnedHandle() { reset(); }

    HANDLE get() const { return h_; }
    explicit operator bool() const { return h_ != nullptr; }
    void reset(HANDLE h = nullptr) {
        HANDLE old = std::exchange(h_, Usable(h) ? h : nullptr);
        if (old != nullptr && old != h_) ::CloseHandle(old);
    }

  private:
    static bool Usable(HANDLE h) { return h != nullptr && h != INVALID_HANDLE_VALUE; }
    HANDLE h_ = nullptr;
};

}  // namespace op
