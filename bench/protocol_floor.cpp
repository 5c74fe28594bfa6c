#include "bench/protocol_floor.h"

#include "devlink/command_set.h"

namespace bench {
namespace {

constexpr std::uint32_t kReply = 16;  // a service reply, and the opening and closing exchanges
constexpr std::uint32_t kValue = 4;   // an address or the finishing value
constexpr std::uint32_t kCswBytes = 13;
constexpr std::uint32_t kCbwBytes = 31;
constexpr std::uint64_t kGetPollMs = 10;
constexpr std::uint64_t kClosePollMs = 100;
constexpr std::uint64_t kReadinessPauseMs = 100;
constexpr std::uint64_t kNsPerMs = 1'000'000;
// Opening a service on an idle, unlocked device: finished? locked? locked? lock.
constexpr int kOpenExchanges = 4;
constexpr std::uint32_t kStillImageBlock = 65536;
constexpr std::uint32_t kDiskBlock = 4096;
constexpr std::uint32_t kRounding = 4096;
constexpr std::uint32_t kChunk = 65536;

std::uint64_t WholeMs(std::uint64_t ns) {
    return ns / kNsPerMs;
}

}  // namespace

void ProtocolFloor::PollUntilFinished(std::uint8_t selector, std::uint64_t intervalMs) {
    const std::uint32_t busyMs =
        device_.workMsFor[selector] != 0 ? device_.workMsFor[selector] : device_.workMs;
    // Work started when the transfer's data arrived, before its status wrapper.
    const std::uint64_t doneAtMs = WholeMs(now_ - wire_.PhaseNs(kCswBytes)) + busyMs;
    for (;;) {
        // The device answers a finish poll when the poll's data phase runs.
        const std::uint64_t answerAt = now_ + wire_.PhaseNs(kCbwBytes) + wire_.PhaseNs(kReply);
        Exchange(kReply);
        if (!device_.neverFinishes && WholeMs(answerAt) >= doneAtMs) return;
        now_ += intervalMs * kNsPerMs;
    }
}

void ProtocolFloor::Get(std::uint8_t selector, std::uint32_t bytes) {
    for (int i = 0; i < kOpenExchanges; ++i) Exchange(kReply);
    Exchange(bytes);  // first transfer: starts the work
    PollUntilFinished(selector, kGetPollMs);
    Exchange(bytes);  // second transfer
    // Closing: one finish poll (the work is over) and the release.
    Exchange(kReply);
    Exchange(kReply);
}

void ProtocolFloor::Set(std::uint8_t selector, std::uint32_t bytes) {
    for (int i = 0; i < kOpenExchanges; ++i) Exchange(kReply);
    Exchange(bytes);
    PollUntilFinished(selector, kClosePollMs);
    Exchange(kReply);  // the release
}

void ProtocolFloor::FindAndConnect(bool stillImage) {
    // The search and the connection each ask once: the device descriptor, or the tag query.
    for (int i = 0; i < 2; ++i) {
        if (stillImage) {
            now_ += wire_.ControlNs(8);
        } else {
            Exchange(cmdset::kTagLength);
        }
    }
}

std::uint64_t ProtocolFloor::FirmwareUpdateNs(bool stillImage, std::uint32_t imageSize) {
    FindAndConnect(stillImage);
    Get(cmdset::kSelOpen, kReply);
    const std::uint32_t blockLength = stillImage ? kStillImageBlock : kDiskBlock;
    for (std::uint32_t offset = 0; offset < imageSize; offset += blockLength) {
        std::uint32_t block = imageSize - offset < blockLength ? imageSize - offset : blockLength;
        if (stillImage) block = (block + kRounding - 1) / kRounding * kRounding;
        Set(cmdset::kSelAddress, kValue);
        Set(cmdset::kSelFirmware, block);
    }
    Set(cmdset::kSelVersion, kValue);  // the finishing value
    Get(cmdset::kSelClose, kReply);
    return now_ - origin_;
}

std::uint64_t ProtocolFloor::ReadBackNs(bool stillImage, std::uint32_t length) {
    FindAndConnect(stillImage);
    if (length == 0) return now_ - origin_;
    Get(cmdset::kSelReadiness, kReply);
    if (device_.readiness != 0) now_ += kReadinessPauseMs * kNsPerMs;
    for (std::uint32_t done = 0; done < length; done += kChunk) {
        const std::uint32_t chunk = length - done < kChunk ? length - done : kChunk;
        Get(cmdset::kSelOpen, kReply);
        Set(cmdset::kSelAddress, kValue);
        Get(cmdset::kSelMemory, chunk);
        Get(cmdset::kSelClose, kReply);
    }
    return now_ - origin_;
}

}  // namespace bench
