// Owning wrappers for OS handles: each handle has exactly one owner and is closed exactly once,
// when the owner drops it, replaces it or is destroyed. Move-only.
#pragma once

#include <utility>

#include "platform/platform.h"

namespace platform {

// A device handle from Io().OpenDevice; "none" is InvalidHandle().
class DeviceHandle {
  public:
    DeviceHandle() = default;
    explicit DeviceHandle(Handle h) : h_(h) {}
    DeviceHandle(const DeviceHandle&) = delete;
    DeviceHandle& operator=(const DeviceHandle&) = delete;
    DeviceHandle(DeviceHandle&& o) noexcept : h_(o.release()) {}
    DeviceHandle& operator=(DeviceHandle&& o) noexcept {
        if (this != &o) reset(o.release());
        return *this;
    }
    ~DeviceHandle() { reset(); }

    Handle get() const { return h_; }
    bool valid() const { return h_ != InvalidHandle(); }
    // Closes the handle held (if any) and takes `h`.
    void reset(Handle h = InvalidHandle()) {
        if (h_ == h) return;
        Handle old = std::exchange(h_, h);
        if (old != InvalidHandle()) Io().CloseDevice(old);
    }
    Handle release() { return std::exchange(h_, InvalidHandle()); }

  private:
    Handle h_ = InvalidHandle();
};

// An event, process or thread handle from Sys(); "none" is null.
class SystemHandle {
  public:
    SystemHandle() = default;
    explicit SystemHandle(Handle h) : h_(h) {}
    SystemHandle(const SystemHandle&) = delete;
    SystemHandle& operator=(const SystemHandle&) = delete;
    SystemHandle(SystemHandle&& o) noexcept : h_(o.release()) {}
    SystemHandle& operator=(SystemHandle&& o) noexcept {
        if (this != &o) reset(o.release());
        return *this;
    }
    ~SystemHandle() { reset(); }

    Handle get() const { return h_; }
    bool valid() const { return h_ != nullptr; }
    void reset(Handle h = nullptr) {
        if (h_ == h) return;
        Handle old = std::exchange(h_, h);
        if (old != nullptr) Sys().CloseHandle(old);
    }
    Handle release() { return std::exchange(h_, nullptr); }

  private:
    Handle h_ = nullptr;
};

// A file handle from Sys().CreateFile; "none" is InvalidHandle(), as CreateFileA reports it.
class FileHandle {
  public:
    FileHandle() = default;
    explicit FileHandle(Handle h) : h_(h) {}
    FileHandle(const FileHandle&) = delete;
    FileHandle& operator=(const FileHandle&) = delete;
    FileHandle(FileHandle&& o) noexcept : h_(o.release()) {}
    FileHandle& operator=(FileHandle&& o) noexcept {
        if (this != &o) reset(o.release());
        return *this;
    }
    ~FileHandle() { reset(); }

    Handle get() const { return h_; }
    bool valid() const { return h_ != InvalidHandle(); }
    void reset(Handle h = InvalidHandle()) {
        if (h_ == h) return;
        Handle old = std::exchange(h_, h);
        if (old != InvalidHandle()) Sys().CloseHandle(old);
    }
    // Closes the handle now and reports whether the close succeeded.
    bool close() {
        const Handle old = release();
        return old == InvalidHandle() || Sys().CloseHandle(old);
    }
    Handle release() { return std::exchange(h_, InvalidHandle()); }

  private:
    Handle h_ = InvalidHandle();
};

}  // namespace platform
