// The scanner served over FunctionFS: ep0's events on a thread of their own, the bulk endpoints
// on another, one mutex around every use of the scanner and the presentation (never held while
// an endpoint blocks).
//
// - A Bulk-Only Mass Storage Reset (class request 0xFF) wakes the bulk thread out of whatever
//   endpoint I/O it waits in (a signal without SA_RESTART, so the call returns EINTR), resets the
//   presentation, and is acknowledged only once the bulk thread has let go of the old exchange.
//   ENABLE and DISABLE do the same without an acknowledgement; ENABLE also plugs a scanner back
//   in that had unplugged itself.
// - Get Max LUN (0xFE) is answered with 0 on the disk presentation; the still-image class has no
//   such request, so it stalls there like every other request the device does not know.
// - When the scanner unplugs itself (a vanish fault), the gadget unbinds its UDC (an empty line
//   to the UDC file: a real unplug) and serves nothing until the host enables it again.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

#include "sim/gadget/bulk_function.h"
#include "sim/gadget/ffs_descriptors.h"
#include "sim/gadget/unique_fd.h"

namespace sim {
class Scanner;
}

namespace gadget {

class CommandLog;

class FfsGadget {
  public:
    // `udcFile` (may be empty) is the gadget's UDC attribute in configfs.
    FfsGadget(sim::Scanner& scanner, BulkFunction& function, CommandLog& log,
              Presentation presentation, std::string udcFile);
    ~FfsGadget();
    FfsGadget(const FfsGadget&) = delete;
    FfsGadget& operator=(const FfsGadget&) = delete;

    // Opens ep0 in the mounted FunctionFS `dir`, writes the descriptors and strings, opens the
    // bulk endpoints and starts both threads. False with the reason in `error`.
    bool Start(const std::string& dir, std::string* error);
    // Runs `f` on the scanner under the lock (the dump at the end).
    void WithScanner(const std::function<void(sim::Scanner&)>& f);
    // Ends both threads. False when one of them did not end within `patienceMs`.
    bool Stop(int patienceMs);

  private:
    enum class Io : std::uint8_t { kDone, kFailed, kCancelled };

    void Ep0Loop();
    void BulkLoop();
    void HandleSetup(const void* request);
    // A new generation of the bulk state: the bulk thread's I/O of an older one is void. Waits
    // (bounded) until the bulk thread has seen it. Called with `lock` held.
    void NewGeneration(std::unique_lock<std::mutex>& lock);
    // One endpoint operation; EINTR retries it unless the generation changed or the gadget stops.
    Io Carry(const BulkStep& step, std::uint64_t generation, std::uint32_t* moved);
    Io Retry(std::uint64_t generation);
    std::uint16_t InPacketSize();
    void Unplug();

    sim::Scanner& scanner_;
    BulkFunction& function_;
    CommandLog& log_;
    Presentation presentation_;
    std::string udcFile_;
    UniqueFd ep0_, in_, out_;

    std::mutex mutex_;
    std::condition_variable changed_;
    std::uint64_t generation_ = 0;
    std::uint64_t seen_ = 0;  // the generation the bulk thread last started from
    bool enabled_ = false;
    bool serving_ = true;  // false once the scanner unplugged itself, until the next ENABLE
    bool stop_ = false;

    std::thread ep0Thread_, bulkThread_;
    std::atomic<bool> ep0Done_{false}, bulkDone_{false};
};

}  // namespace gadget
