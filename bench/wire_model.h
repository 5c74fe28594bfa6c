// A timing model of a USB 2.0 high-speed link: every bulk phase costs a fixed time (the
// transaction overhead, about one microframe) plus its bytes at the wire's payload rate
// (13 packets of 512 bytes per 125 us microframe: 53.248 MB/s at most). Costs are whole
// nanoseconds, so the timed wire and the floor add up exactly the same way.
#pragma once

#include <cmath>
#include <cstdint>

namespace bench {

struct WireModel {
    double phaseFixedUs = 125.0;
    double bytesPerUs = 53.248;

    std::uint64_t PhaseNs(std::uint64_t bytes) const {
        return static_cast<std::uint64_t>(
            std::llround(1000.0 * (phaseFixedUs + static_cast<double>(bytes) / bytesPerUs)));
    }
    // One Bulk-Only Transport exchange: command wrapper, data phase (when there is data) and
    // status wrapper. A pass-through request travels the same way under the storage stack.
    std::uint64_t ExchangeNs(std::uint64_t dataBytes) const {
        return PhaseNs(31) + (dataBytes != 0 ? PhaseNs(dataBytes) : 0) + PhaseNs(13);
    }
    // A control request with `bytes` of data (the device descriptor): setup, data and status.
    std::uint64_t ControlNs(std::uint64_t bytes) const {
        return PhaseNs(8) + PhaseNs(bytes) + PhaseNs(0);
    }
};

}  // namespace bench
