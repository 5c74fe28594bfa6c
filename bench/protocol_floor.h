// The least time a job can take on the modeled wire with the modeled device, whatever the host
// does within the protocol: the exchanges the protocol requires for it (every data call opens a
// service, moves its data and closes the service), each at its wire cost; the device's busy time
// after each transfer; and the finish polls at the intervals the protocol fixes (10 ms between
// the two transfers of a get, 100 ms before the release of a set), which is when the host can
// first learn that the device has finished.
//
// The device keeps its busy time on a millisecond clock (it starts work at the millisecond in
// which the transfer's data arrived and is done that many whole milliseconds later), so the
// floor follows one timeline from the job's start and applies the same rule.
#pragma once

#include <cstdint>

#include "bench/wire_model.h"
#include "sim/firmware_model.h"

namespace bench {

class ProtocolFloor {
  public:
    // `originNs`: the job's start on the device's clock, in nanoseconds.
    ProtocolFloor(const WireModel& wire, const sim::ModelConfig& device, std::uint64_t originNs)
        : wire_(wire), device_(device), origin_(originNs), now_(originNs) {}

    // The whole jobs, from finding the device on; each returns the time from the origin.
    std::uint64_t FirmwareUpdateNs(bool stillImage, std::uint32_t imageSize);
    std::uint64_t ReadBackNs(bool stillImage, std::uint32_t length);

    // The parts, each moving the timeline on.
    void FindAndConnect(bool stillImage);
    void Get(std::uint8_t selector, std::uint32_t bytes);
    void Set(std::uint8_t selector, std::uint32_t bytes);

  private:
    void Exchange(std::uint32_t bytes) { now_ += wire_.ExchangeNs(bytes); }
    // After a transfer that started work: finish polls `intervalMs` apart until the device
    // answers that it has finished.
    void PollUntilFinished(std::uint8_t selector, std::uint64_t intervalMs);

    WireModel wire_;
    sim::ModelConfig device_;
    std::uint64_t origin_;
    std::uint64_t now_;
};

}  // namespace bench
