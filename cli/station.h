// One job on several scanners at once (`--all`, or `--device` given more than once): a worker
// kelvane-cli per scanner, pinned to it with --device, reporting in JSON lines on its standard
// output. Each worker keeps its own device link, so one scanner's failure, crash or hang never
// stops or corrupts another's job; the parent only reads, shows and sums up.
#pragma once

#include <cstdint>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "app/exit_status.h"

namespace cli {

struct ScannerRun {
    enum class State { kStarting, kActive, kSucceeded, kFailed };

    std::string name;                    // the device name the worker is pinned to
    std::string identity;                // how the view and the file names call the scanner
    std::optional<std::string> version;  // read at the start (an update), or the version read
    std::string phase;
    int percent = 0;
    State state = State::kStarting;
    bool resultSeen = false;
    int status = -1;  // the worker's exit status once it ended
    std::string message;
};

// Takes one line of a worker's output into `run`; the line's object goes to *object. False for
// a line that is no JSON object (it changes nothing).
bool ApplyWorkerLine(ScannerRun& run, const std::string& line, nlohmann::ordered_json* object);
// The worker ended with exit status `code`: a worker that ended without a result line, or whose
// exit status says otherwise, did not succeed.
void EndWorker(ScannerRun& run, std::uint32_t code);

// Names for the scanners from the identities the backend gives them (the port path of a USB
// device, a disk's kernel name); a scanner whose identity is unknown or not unique is called by
// its device name.
std::vector<std::string> Identities(const std::vector<std::string>& names,
                                    const std::vector<std::string>& wheres);
// FILE with the scanner's identity before its extension ("flash.bin" -> "flash-usb_001_002.bin"),
// every character that cannot stand in a file name on either system replaced by '_'.
std::string FileNameFor(const std::string& file, const std::string& identity);

std::string ViewLine(const ScannerRun& run);
// "Succeeded N, Failed M, Active K"
std::string SummaryLine(const std::vector<ScannerRun>& runs);
// The final table: a line per scanner with its version, status and message.
std::string TableText(const std::vector<ScannerRun>& runs);
// 0 when every scanner succeeded, kSomeFailed when one or more failed, kNoDevice for none.
app::ExitStatus StationStatus(const std::vector<ScannerRun>& runs);

struct StationRequest {
    std::string program;               // this program's path, for the workers
    std::vector<std::string> options;  // before the command: --lock-timeout, --log, ...
    std::string command;               // update, read, version
    // The command's arguments; true: a file, named per scanner (the read-back file, the backup).
    std::vector<std::pair<std::string, bool>> arguments;
    bool json = false;      // the parent's own output is JSON lines
    bool terminal = false;  // standard output is a terminal: the live view
};

// Runs the request on every scanner of `names` (with their `identities`) and reports; the exit
// status.
int RunStation(const StationRequest& request, const std::vector<std::string>& names,
               const std::vector<std::string>& identities);

}  // namespace cli
