#include "bench/timed_wire.h"

#include <ctime>

#include "platform/device_io.h"

namespace bench {
namespace {

constexpr std::uint64_t kNsPerMs = 1'000'000;
constexpr std::uint32_t kCbwLength = 31;
constexpr std::uint32_t kCswLength = 13;

// CPU time spent inside the simulated device during one call.
class DeviceTimer {
  public:
    DeviceTimer(std::uint64_t& total, std::uint64_t& calls) : total_(total), start_(ThreadCpuNs()) {
        ++calls;
    }
    ~DeviceTimer() { total_ += ThreadCpuNs() - start_; }
    DeviceTimer(const DeviceTimer&) = delete;
    DeviceTimer& operator=(const DeviceTimer&) = delete;

  private:
    std::uint64_t& total_;
    std::uint64_t start_;
};

}  // namespace

std::uint64_t ThreadCpuNs() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<std::uint64_t>(ts.tv_sec) * 1'000'000'000u +
           static_cast<std::uint64_t>(ts.tv_nsec);
}

void TimedWire::Spend(std::uint64_t ns) {
    carriedNs_ += ns;
    if (carriedNs_ >= kNsPerMs) {
        sys_.Advance(carriedNs_ / kNsPerMs);
        carriedNs_ %= kNsPerMs;
    }
}

bool TimedWire::Ioctl(std::uint32_t code, void* in, std::uint32_t inLen, void* out,
                      std::uint32_t outLen, std::uint32_t* returned) {
    if (code == platform::kIoctlScsiPassThroughDirect && in != nullptr) {
        // Under the storage stack the request crosses the wire as an exchange of its own: the
        // device runs the command once the data phase is over, and the status follows.
        const std::uint32_t length =
            static_cast<const platform::ScsiPassThroughRecord*>(in)->sptd.DataTransferLength;
        ++exchanges_;
        Spend(model_.PhaseNs(kCbwLength) + (length != 0 ? model_.PhaseNs(length) : 0));
        bool ok;
        {
            const DeviceTimer timer(deviceNs_, deviceCalls_);
            ok = inner_.Ioctl(code, in, inLen, out, outLen, returned);
        }
        Spend(model_.PhaseNs(kCswLength));
        return ok;
    }
    Spend(model_.ControlNs(sizeof(platform::DeviceDescriptor)));
    const DeviceTimer timer(deviceNs_, deviceCalls_);
    return inner_.Ioctl(code, in, inLen, out, outLen, returned);
}

bool TimedWire::Read(void* buf, std::uint32_t len, std::uint32_t* done) {
    Spend(model_.PhaseNs(len));
    const DeviceTimer timer(deviceNs_, deviceCalls_);
    return inner_.Read(buf, len, done);
}

bool TimedWire::Write(const void* buf, std::uint32_t len, std::uint32_t* done) {
    // The host writes a command wrapper in one call of its exact size; data-out phases of that
    // size do not occur in the jobs measured.
    if (len == kCbwLength) ++exchanges_;
    Spend(model_.PhaseNs(len));
    const DeviceTimer timer(deviceNs_, deviceCalls_);
    return inner_.Write(buf, len, done);
}

}  // namespace bench
