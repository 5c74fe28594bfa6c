#include "sim/gadget/still_image_function.h"

#include "devlink/byte_order.h"
#include "platform/device_io.h"
#include "sim/bot_device.h"
#include "sim/scanner.h"

namespace gadget {
namespace {

// A data phase the buffer holds; longer CBWs never reach the scanner, this keeps it so.
std::uint32_t Fit(std::uint32_t length) {
    return length < kBulkBufferSize ? length : kBulkBufferSize;
}

}  // namespace

StillImageFunction::StillImageFunction(sim::Scanner& scanner)
    : scanner_(scanner), buffer_(std::make_unique<std::uint8_t[]>(kBulkBufferSize)) {}

BulkStep StillImageFunction::Next() {
    if (haltIn_ || haltOut_) return BulkStep::Halt(haltIn_, haltOut_);
    const sim::BotDevice& bot = scanner_.Bot();
    std::uint8_t* buf = buffer_.get();
    switch (bot.CurrentPhase()) {
        case sim::BotDevice::Phase::kCommand:
            return BulkStep::Receive(buf, kCommandReadLength);
        case sim::BotDevice::Phase::kDataOut:
            return BulkStep::Receive(buf, Fit(bot.DataLength()));
        case sim::BotDevice::Phase::kDataIn:
        case sim::BotDevice::Phase::kStatus: {
            const std::uint32_t asked = bot.CurrentPhase() == sim::BotDevice::Phase::kDataIn
                                            ? Fit(bot.DataLength())
                                            : sim::kBotCswLength;
            std::uint32_t given = 0;
            const bool ok = scanner_.StillImage().Read(buf, asked, &given);
            AfterCall(true, ok);
            // A halt the call set goes out after the bytes it gave, and ends their transfer.
            if (haltIn_ && given == 0) return BulkStep::Halt(haltIn_, haltOut_);
            return BulkStep::Send(buf, given, given < asked && !haltIn_);
        }
    }
    return BulkStep::Receive(buf, kCommandReadLength);
}

void StillImageFunction::Completed(const BulkStep& step, bool ok, std::uint32_t moved) {
    switch (step.kind) {
        case BulkStep::Kind::kHalt:
            if (step.haltIn) haltIn_ = false;
            if (step.haltOut) haltOut_ = false;
            return;
        case BulkStep::Kind::kSend:
            return;
        case BulkStep::Kind::kReceive:
            break;
    }
    // A failed read of bulk-out moved nothing to the scanner.
    if (!ok) return;
    const std::uint8_t* data = step.data;
    if (scanner_.Bot().CurrentPhase() != sim::BotDevice::Phase::kDataOut &&
        sim::BotDevice::LooksLikeCbw(data, moved) &&
        GetLE32(data + sim::kBotCbwLengthOffset) > kBulkBufferSize) {
        haltIn_ = haltOut_ = true;
        return;
    }
    std::uint32_t taken = 0;
    AfterCall(false, scanner_.StillImage().Write(data, moved, &taken));
}

void StillImageFunction::AfterCall(bool in, bool ok) {
    // Under real conduct the scanner says which failures are stalls (its halted pipes); the
    // others fail as a time-out would, with nothing on the wire.
    if (!ok && !scanner_.Bot().RealConduct()) (in ? haltIn_ : haltOut_) = true;
    for (const bool pipe : {true, false}) {
        if (!scanner_.PipeHalted(pipe)) continue;
        (pipe ? haltIn_ : haltOut_) = true;
        scanner_.ClearHalt(pipe);
    }
}

void StillImageFunction::Reset() {
    // The request as the scanner's endpoint takes it from a host: the exchange under way and its
    // faults are dropped.
    scanner_.StillImage().RecoverPipe(platform::PipeStep::kMassStorageReset);
    haltIn_ = haltOut_ = false;
}

}  // namespace gadget
