// The still-image presentation: the scanner's own Bulk-Only Transport device on the bulk pipes.
// The scanner drives its phases; this only carries bytes between the endpoints and its
// still-image endpoint, and turns what the scanner refuses into real stalls.
//
// - Command and data-out phases read from bulk-out and write what arrived to the scanner; a
//   data-in or status phase reads from the scanner and sends what it gave (a data phase the
//   scanner ends short is ended with a short or zero-length packet).
// - A pipe that the scanner reports halted is halted on the wire and cleared in the scanner: from
//   then the endpoint's own halt stands for it until the host clears it. Without real conduct the
//   scanner halts nothing itself, so a call that fails halts its endpoint.
// - A command block asking for more data than the buffer holds never reaches the scanner: both
//   endpoints stall, as for any command block the device cannot take.
#pragma once

#include <cstdint>
#include <memory>

#include "sim/gadget/bulk_function.h"

namespace sim {
class Scanner;
}

namespace gadget {

class StillImageFunction final : public BulkFunction {
  public:
    explicit StillImageFunction(sim::Scanner& scanner);

    BulkStep Next() override;
    void Completed(const BulkStep& step, bool ok, std::uint32_t moved) override;
    void Reset() override;

  private:
    // After a scanner call on the pipe `in`: a failure halts it, and halts the scanner reports
    // move to the endpoints.
    void AfterCall(bool in, bool ok);

    sim::Scanner& scanner_;
    std::unique_ptr<std::uint8_t[]> buffer_;
    bool haltIn_ = false;  // halts still to be set on the endpoints
    bool haltOut_ = false;
};

}  // namespace gadget
