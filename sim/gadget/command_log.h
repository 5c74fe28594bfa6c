// The gadget's record of the command blocks the device received: one line per block, written
// and flushed as soon as the exchange is over, so a gadget that is killed keeps what it saw.
//
//   <32 hex digits of the 16-byte block> in|out length=<declared> moved=<data bytes> status=<n>
//
// The status is the CSW status (still-image) or the SCSI status (disk); "none" when the exchange
// ended before the device gave one.
#pragma once

#include <cstdint>
#include <string>

namespace sim {
class WireLog;
}

namespace gadget {

constexpr int kNoStatus = -1;

// The line for one command block (without the line end).
std::string CommandLine(const std::uint8_t cdb[16], bool deviceToHost, std::uint32_t length,
                        std::uint32_t moved, int status);

class CommandLog {
  public:
    // Writes to `fd` (not owned; -1: nothing is written).
    explicit CommandLog(int fd) : fd_(fd) {}

    void Record(const std::uint8_t cdb[16], bool deviceToHost, std::uint32_t length,
                std::uint32_t moved, int status);

    // A line of its own, "# <text>", among the command blocks (what the gadget was told).
    void Note(const std::string& text) { WriteLine("# " + text); }

    // Records the scanner's finished entries and drops them from its log, so the log holds at
    // most the exchange under way. With `all`, the unfinished one too (the gadget is stopping).
    void Drain(sim::WireLog& wire, bool all = false);

  private:
    void WriteLine(const std::string& line);

    int fd_;
    std::size_t written_ = 0;  // entries of the scanner's log already recorded
};

}  // namespace gadget
