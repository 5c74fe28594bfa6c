// What crossed the wire between the host and a simulated scanner, in order, for tests that
// assert exact bytes and exact order. While the log is off nothing is recorded and nothing is
// allocated.
//
// Commands: one entry per command block that reached the device (vendor commands and REQUEST
// SENSE, on either path), with its direction, declared length, the data bytes moved and the
// status the device reported (CSW status or SCSI status; kNoStatus when the exchange ended
// before one was given).
// Phases (still-image path only): every bulk-pipe call in order, with the raw CBW and CSW bytes,
// and the host's recovery requests among them.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace sim {

enum class WirePath : std::uint8_t { kStillImage, kDisk };

struct WireCommand {
    static constexpr std::uint8_t kNoStatus = 0xFF;

    WirePath path = WirePath::kStillImage;
    std::array<std::uint8_t, 16> cdb{};
    bool deviceToHost = false;
    std::uint32_t length = 0;  // declared data length (CBW or pass-through record)
    std::vector<std::uint8_t> data;
    std::uint8_t status = kNoStatus;

    // CmdBytes[i] of a vendor command block (CDB byte 10 + i).
    std::uint8_t CmdByte(int i) const { return cdb[static_cast<std::size_t>(10 + i)]; }
    bool IsVendor() const;
};

// The last three are the host's recovery requests (a pipe's halt cleared, the class reset).
enum class WirePhaseKind : std::uint8_t {
    kCbw,
    kDataOut,
    kDataIn,
    kCsw,
    kStray,
    kClearHaltIn,
    kClearHaltOut,
    kReset
};

struct WirePhase {
    WirePhaseKind kind = WirePhaseKind::kStray;
    bool ok = false;                  // what the platform call returned
    std::uint32_t requested = 0;      // the length the host asked to move
    std::uint32_t moved = 0;          // the count reported back
    std::vector<std::uint8_t> bytes;  // CBW/CSW bytes as moved (data bytes live in the command)
};

class WireLog {
  public:
    void Enable(bool on) { enabled_ = on; }
    bool Enabled() const { return enabled_; }
    void Clear();

    const std::vector<WireCommand>& Commands() const { return commands_; }
    const std::vector<WirePhase>& Phases() const { return phases_; }

    // (CmdBytes[0], CmdBytes[1]) of each vendor command, in order.
    std::vector<std::pair<std::uint8_t, std::uint8_t>> CommandPairs() const;
    // The same as text, e.g. "FF04 FF03 FF03 FF05 0201": easy to compare in a test.
    std::string PairsText() const;
    // The phase kinds in order as text, e.g. "CBW IN CSW CBW OUT CSW".
    std::string PhasesText() const;

    // Recording, used by the endpoints. BeginCommand returns the index of the new entry, or -1
    // while the log is off.
    int BeginCommand(WirePath path, const std::uint8_t* cdb, bool deviceToHost,
                     std::uint32_t length);
    void AddData(int command, const void* data, std::uint32_t count);
    void SetStatus(int command, std::uint8_t status);
    void AddPhase(WirePhaseKind kind, bool ok, std::uint32_t requested, std::uint32_t moved,
                  const void* bytes, std::uint32_t count);

  private:
    bool enabled_ = true;
    std::vector<WireCommand> commands_;
    std::vector<WirePhase> phases_;
};

}  // namespace sim
