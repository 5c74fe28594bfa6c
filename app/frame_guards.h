// What a command frame holds for its whole length: the lock that keeps the frames of Kelvane
// processes from overlapping, and a 1 ms timer period so that the protocol's polls last what
// they say on Windows. Both are given back however the frame ends.
#pragma once

#include <cstdint>

#include "platform/handles.h"

namespace app {

// The name of the frame lock. Global, because the scanner and its service are the machine's,
// not a session's: a frame in another session (a service, a second user) must wait as well.
inline constexpr const char* kFrameLockName = "Global\\Kelvane.CommandFrame";

// A frame lock taken. A frame never runs without one.
class FrameLock {
  public:
    // Takes ownership of `mutex`, which the calling thread owns.
    explicit FrameLock(platform::Handle mutex) : mutex_(mutex) {}
    FrameLock(FrameLock&& other) noexcept = default;
    FrameLock& operator=(FrameLock&&) = delete;
    FrameLock(const FrameLock&) = delete;
    FrameLock& operator=(const FrameLock&) = delete;
    ~FrameLock() {
        if (mutex_.valid()) platform::Sys().ReleaseMutex(mutex_.get());
    }

  private:
    platform::SystemHandle mutex_;
};

// timeBeginPeriod(1) for the life of the object; timeEndPeriod(1) only when the begin worked.
class TimerPeriod {
  public:
    static constexpr std::uint32_t kPeriodMs = 1;
    TimerPeriod() : begun_(platform::Sys().TimeBeginPeriod(kPeriodMs)) {}
    TimerPeriod(const TimerPeriod&) = delete;
    TimerPeriod& operator=(const TimerPeriod&) = delete;
    ~TimerPeriod() {
        if (begun_) platform::Sys().TimeEndPeriod(kPeriodMs);
    }

  private:
    bool begun_;
};

}  // namespace app
