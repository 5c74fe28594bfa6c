// What a gadget presentation asks of its two bulk endpoints, one step at a time. A presentation
// (the still-image framing, the disk target) is a state machine over the scanner: Next() says
// which endpoint I/O comes next, the runtime carries it out without holding the scanner's lock,
// and Completed() hands the result back. Both calls run under the lock that guards the scanner.
//
// Keeping the endpoint I/O outside the presentations lets the tests play the host with plain
// buffers, and lets the runtime drop a step whose I/O a reset cut short.
#pragma once

#include <cstdint>

namespace gadget {

// One endpoint operation.
struct BulkStep {
    enum class Kind : std::uint8_t {
        kReceive,  // read up to `length` bytes from bulk-out into `data`
        kSend,     // write `length` bytes from `data` to bulk-in (0: a zero-length packet)
        kHalt,     // halt the endpoints named by haltIn / haltOut (a STALL)
    };

    Kind kind = Kind::kReceive;
    std::uint8_t* data = nullptr;
    std::uint32_t length = 0;
    // kSend: the device ends its data short of what the host asked for, so a length that is a
    // whole number of packets needs a zero-length packet after it.
    bool endShort = false;
    bool haltIn = false;
    bool haltOut = false;

    static BulkStep Receive(std::uint8_t* into, std::uint32_t length) {
        return BulkStep{Kind::kReceive, into, length};
    }
    static BulkStep Send(std::uint8_t* from, std::uint32_t length, bool endShort = false) {
        return BulkStep{Kind::kSend, from, length, endShort};
    }
    static BulkStep Halt(bool in, bool out) {
        return BulkStep{Kind::kHalt, nullptr, 0, false, in, out};
    }
};

class BulkFunction {
  public:
    virtual ~BulkFunction() = default;
    // The endpoint operation to carry out next.
    virtual BulkStep Next() = 0;
    // The operation returned by the last Next() ended: `ok` false when the endpoint I/O failed;
    // `moved` is the count received (kReceive) or sent (kSend).
    virtual void Completed(const BulkStep& step, bool ok, std::uint32_t moved) = 0;
    // A class reset or a fresh configuration: no exchange is under way any more and no halt is
    // still to be set (the host clears the endpoints' halts itself after a reset).
    virtual void Reset() = 0;
};

// The largest data phase either presentation accepts. The host moves at most 64 KiB per
// command; a command block asking for more than this is refused with a stall.
constexpr std::uint32_t kBulkBufferSize = 1u << 20;
// What a command-phase read asks for: one high-speed packet, which a 31-byte CBW ends short.
constexpr std::uint32_t kCommandReadLength = 512;

}  // namespace gadget
