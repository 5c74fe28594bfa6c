// What a command frame holds for its whole length: the lock that keeps the frames of Kelvane
// processes from overlapping, and a 1 ms timer period so that the protocol's polls last what
// they say on Windows. Both are given back however the frame ends.
#pragma once

#include <cstdint>
#include <string>

#include "platform/handles.h"

namespace app {

// The frame locks' names begin with this. Global, because the scanners and their service are
// the machine's, not a session's: a frame in another session (a service, a second user) must
// wait as well.
inline constexpr const char* kFrameLockName = "Global\\Kelvane.CommandFrame";

// The frame lock of one scanner: kFrameLockName, "." and the key of `identity`
// (platform::DeviceIo::DeviceIdentity); kFrameLockName alone for an empty identity (a device
// that names none, or is gone). Jobs on one scanner take turns; jobs on different scanners run at
// once. The identity stays while the scanner stays attached and no two attached scanners share
// one, which is all the lock needs: a job takes it before it connects and holds it until it has
// let go of the device. A name that comes back after a replug (a number or letter given again)
// can at worst make a job on the newcomer wait for a job on the scanner that left, which has
// nothing left to send to.
std::string FrameLockName(const std::string& identity);
// The identity of the device behind handle `hDevice` (256 + n still-image n, 1..26 a disk A..Z).
std::string DeviceIdentityOf(int hDevice);

// The still-image service is the machine's, so it is stopped while any Kelvane job runs and
// started again only when the last one ends. Each running job owns one of kJobSlots named
// mutexes (JobSlotName) for as long as it runs, and the gate (kServiceGateName) is held while a
// job takes or gives back its slot and runs its service command. A job that dies gives its slot
// back with its process (the system abandons the mutex), so no job that ended is ever counted as
// running and no count can be left wrong, as one kept in a file or shared memory could; and no
// job can take a slot, and so begin its transfers, while a start is under way.
inline constexpr const char* kServiceGateName = "Global\\Kelvane.ServiceGate";
inline constexpr int kJobSlots = 32;
std::string JobSlotName(int n);

// Whether a job holds the frame lock of the scanner `identity` now, found without waiting.
enum class ScannerUse { kFree, kHeld, kUnknown };
// `holder` gets who holds it where the system can tell (empty otherwise).
ScannerUse ProbeScannerUse(const std::string& identity, std::string* holder);

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
