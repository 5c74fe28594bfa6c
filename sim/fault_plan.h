// Faults injected into a simulated scanner's exchanges. A fault names what goes wrong and which
// command it hits; the endpoints apply it at the phase it concerns.
//
// Which command: exchanges are the vendor command blocks that reach the device (still-image CBW
// writes and pass-through requests; REQUEST SENSE is not counted), numbered from 0 at the moment
// the fault is injected. OnExchange(k) hits the k-th one from now; OnCommand(b0, b1[, sel]) hits
// the next one whose CmdBytes[0], CmdBytes[1] (and selector CmdBytes[2]) match. A fault without
// either hits the next exchange. Times(n) makes it hit n commands (from the k-th on, or the next
// n matching ones); Always() every one from then on.
//
// Faults of the REQUEST SENSE (SenseReadFails, SenseReadShort) are matched on the vendor command
// that failed and act on the REQUEST SENSE exchange that follows it.
//
// Injected statuses (Status, ScsiStatus) mean the device did not carry the command out.
//
// The counts of the lies (Residue, DataShortPassed, TransferLengthShort, FirstTransferShort) are
// kept between one byte and the transfer's length; a count of 0 means half the length.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <vector>

namespace sim {

enum class FaultKind : std::uint8_t {
    kVanish,            // the device is unplugged before this command reaches it
    kCbwWriteFails,     // still-image: the CBW write fails; the device gets nothing
    kCbwWriteShort,     // still-image: the write reports `value` bytes; the device gets no CBW
    kDataFails,         // the data phase read/write fails; the command is not carried out
    kDataShort,         // the data phase moves only `value` bytes
    kCswReadFails,      // still-image: the CSW read fails
    kCswReadShort,      // still-image: the CSW read delivers only `value` (< 13) bytes
    kStaleTag,          // still-image: the CSW echoes the tag of the CBW before
    kBadCswSignature,   // still-image: the CSW signature is `value` (little-endian) instead
    kStatus,            // status `value` (still-image CSW; disk: check condition) with `sense`
    kSenseReadFails,    // still-image: the following REQUEST SENSE's data read fails
    kSenseReadShort,    // still-image: it delivers only `value` bytes
    kServiceReplySize,  // a service reply (FF 03..06) carries dwSize `value`
    kIoctlFails,        // disk: the pass-through request fails
    kScsiStatus,        // disk: the request succeeds with SCSI status `value`
    // Lies: the device says more than it did.
    kCswShortRefused,      // still-image: the device refuses the command (status 1, no data moved)
                           // and its CSW read delivers only `value` (1..12) bytes
    kResidue,              // still-image: status 0 with residue `value`: the device carried out
                           // only the bytes before it (a set's last bytes are dropped, a get's
                           // are not its data)
    kDataShortPassed,      // still-image: the data phase moves only `value` bytes and the device
                           // passes the command on them (a set writes what arrived); the residue
                           // is honest
    kCswForData,           // still-image: a data-in phase gets the CSW (status 0, the whole length
                           // as residue) instead of data; the status read then gets it again. The
                           // command is not run. No effect on data-out commands.
    kTransferLengthShort,  // disk: under SCSI status 0 only `value` bytes move and
                           // DataTransferLength comes back as that (a set writes what arrived)
    kFirstTransferShort,   // a get's first transfer (02 01) moves only `value` bytes under good
                           // status; other commands are not touched
    kWriteCorrupts,        // a firmware block (02 03 05) is carried out and passed, but the byte
                           // at offset `value` of the block keeps a wrong value in memory (the
                           // one written with every bit flipped); an offset past the block
                           // spoils nothing. Other commands are not touched.
};
constexpr std::size_t kFaultKindCount = static_cast<std::size_t>(FaultKind::kWriteCorrupts) + 1;

struct Fault {
    static constexpr std::uint32_t kForever = 0xFFFFFFFFu;

    FaultKind kind = FaultKind::kStatus;
    std::uint32_t value = 0;
    std::array<std::uint8_t, 18> sense{};  // for kStatus: fixed-format sense data

    // Trigger.
    std::optional<std::uint32_t> exchange;    // k-th exchange from injection
    int cmd0 = -1, cmd1 = -1, selector = -1;  // -1: any
    std::uint32_t times = 1;
    std::uint32_t skip = 0;  // matching commands let through before the first hit

    static Fault Vanish();
    static Fault CbwWriteFails();
    static Fault CbwWriteShort(std::uint32_t reported);
    static Fault DataFails();
    static Fault DataShort(std::uint32_t moved);
    static Fault CswReadFails();
    static Fault CswReadShort(std::uint32_t delivered);
    static Fault StaleTag();
    static Fault BadCswSignature(std::uint32_t signature = 0x58425355u);  // "USBX"
    // Status with fixed-format sense whose byte 2 is `senseByte2` (taken whole), byte 12 `asc`
    // and byte 13 `ascq`.
    static Fault Status(std::uint8_t status, std::uint8_t senseByte2, std::uint8_t asc,
                        std::uint8_t ascq = 0);
    static Fault StatusWithSense(std::uint8_t status, const std::array<std::uint8_t, 18>& sense);
    static Fault SenseReadFails();
    static Fault SenseReadShort(std::uint32_t delivered);
    static Fault ServiceReplySize(std::uint32_t dwSize);
    static Fault IoctlFails();
    static Fault ScsiStatus(std::uint8_t status);
    static Fault CswShortRefused(std::uint32_t delivered);
    static Fault Residue(std::uint32_t residue);
    static Fault DataShortPassed(std::uint32_t moved);
    static Fault CswForData();
    static Fault TransferLengthShort(std::uint32_t moved);
    static Fault FirstTransferShort(std::uint32_t moved);
    // Hits the next firmware block unless told otherwise: OnExchange(k) the first block from
    // exchange k on, OnCommand(...).Skip(n) the (n+1)-th block.
    static Fault WriteCorrupts(std::uint32_t offset);

    Fault& OnExchange(std::uint32_t k) {
        exchange = k;
        return *this;
    }
    Fault& OnCommand(std::uint8_t b0, std::uint8_t b1) {
        cmd0 = b0;
        cmd1 = b1;
        return *this;
    }
    Fault& OnCommand(std::uint8_t b0, std::uint8_t b1, std::uint8_t sel) {
        selector = sel;
        return OnCommand(b0, b1);
    }
    Fault& Times(std::uint32_t n) {
        times = n;
        return *this;
    }
    Fault& Always() { return Times(kForever); }
    // Lets `n` commands that match go by first: OnCommand(...).Skip(1) hits the second one.
    Fault& Skip(std::uint32_t n) {
        skip = n;
        return *this;
    }
};

// The faults that hit one command, at most one of each kind.
struct ActiveFaults {
    std::array<std::optional<Fault>, kFaultKindCount> of{};
    bool any = false;

    const Fault* Get(FaultKind k) const {
        const auto& f = of[static_cast<std::size_t>(k)];
        return f ? &*f : nullptr;
    }
    bool Has(FaultKind k) const { return Get(k) != nullptr; }
};

class FirmwareModel;

// The lie of kWriteCorrupts, applied by an endpoint once the model has run a command whose data
// came from the host: `blocksBefore` is the model's count of firmware blocks before it, and
// `length` the bytes the block carried.
void SpoilWrittenByte(const ActiveFaults& active, FirmwareModel& model, std::uint32_t blocksBefore,
                      std::uint32_t length);

class FaultPlan {
  public:
    // Returns an id for Fired().
    int Inject(const Fault& fault);
    void Clear();
    // How many commands the fault with `id` has hit so far.
    std::uint32_t Fired(int id) const;
    // Numbers the vendor command block `cdb` as the next exchange and returns the faults that
    // hit it. Allocates nothing when no fault is armed.
    ActiveFaults Match(const std::uint8_t* cdb);
    std::uint64_t ExchangesSeen() const { return seen_; }

  private:
    struct Armed {
        Fault fault;
        std::uint64_t firstExchange = 0;  // absolute exchange number (exchange triggers)
        std::uint32_t left = 0;
        std::uint32_t skipLeft = 0;
        std::uint32_t fired = 0;
    };
    std::vector<Armed> armed_;
    std::uint64_t seen_ = 0;
};

}  // namespace sim
