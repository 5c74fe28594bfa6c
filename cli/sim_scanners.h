// kelvane-cli-sim's scanners: how many it attaches and how each is presented, read from the
// environment, and the state file that keeps their memory from one run to the next.
//
//   KV_SIM_SCANNERS=K             K scanners (1 to kMaxSimScanners; default 1)
//   KV_SIM_PRESENTATION=LIST      each scanner's presentation, "still-image" or "disk", comma
//                                 separated; the last one given serves the scanners after it
//                                 (default still-image)
//   KV_SIM_STATE=FILE             keep the scanners' memory in FILE between runs
//
// Still-image scanners are \\.\USBSCAN0, 1, ... in their order, disks E:, F:, ...; scanner i
// (from 1) is "sim-scanner-i" to the frame locks, and its memory is its own.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/sim/sim_device_io.h"
#include "sim/scanner.h"

namespace cli {

inline constexpr int kMaxSimScanners = 16;
inline constexpr char kFirstSimDiskLetter = 'E';

enum class SimPresentation { kStillImage, kDisk };

struct SimLayout {
    std::vector<SimPresentation> presentations;  // one a scanner
    std::string stateFile;                       // empty: every run starts from fresh memory
};

// The layout the three texts describe (each may be null: its default); nullopt with the reason
// in `error` for a text that describes none.
std::optional<SimLayout> ParseSimLayout(const char* scanners, const char* presentation,
                                        const char* stateFile, std::string* error);

class SimScanners {
  public:
    // `memorySize` bytes of memory each (the demo scanner's 32 MiB unless a test asks less).
    explicit SimScanners(const SimLayout& layout, std::uint32_t memorySize);
    SimScanners(const SimScanners&) = delete;
    SimScanners& operator=(const SimScanners&) = delete;

    sim::SimDeviceIo& Io() { return io_; }
    int Count() const { return static_cast<int>(scanners_.size()); }
    sim::Scanner& Scanner(int index) { return *scanners_[static_cast<std::size_t>(index)]; }
    // The scanner behind device handle `hDevice` (as ZamoUSB_FindDevice gives it); -1 for none.
    int IndexOf(int hDevice) const;
    static std::string Identity(int index) { return "sim-scanner-" + std::to_string(index + 1); }

  private:
    sim::SimDeviceIo io_;
    std::vector<std::unique_ptr<sim::Scanner>> scanners_;
    std::vector<int> stillImage_;  // scanner index of still-image device n
    std::vector<int> disk_;        // scanner index of the disk at kFirstSimDiskLetter + n
};

// The state file: after a header line, one record for each 4 KiB page of a scanner's memory that
// is not as fresh (scanner index, page address, the page as the model keeps it). Every access is
// made under a named lock of its own (a file of that name in another folder has another lock),
// taken within kStateLockWaitMs; the file is never opened through a link or as anything but a
// plain file, and is replaced in one step by a flushed new file beside it, so a reader sees one
// whole state or the other.
inline constexpr std::uint32_t kStateLockWaitMs = 10'000;
// Scanner `index`'s memory as the file has it; a missing file or scanner leaves it fresh.
// app::FrameLockError when the lock cannot be had; app::Error for a file that cannot be read or
// is no state file.
void LoadScannerState(const std::string& path, int index, sim::Scanner& scanner);
// Puts scanner `index`'s memory into the file, keeping the other scanners' records as the file
// has them now. The same errors, and app::Error when the new file cannot be written or put in
// place (the file is then as it was).
void SaveScannerState(const std::string& path, int index, const sim::Scanner& scanner);
// The name of the file's lock.
std::string StateLockName(const std::string& path);

}  // namespace cli
