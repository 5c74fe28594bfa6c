// kelvane-cli's machine-readable output (--json): one JSON object per line on standard output,
// nothing else there. Every run writes a "start" line first and a "result" line last; between
// them come "device", "progress", "status" and "warning" lines. The README's "JSON lines"
// section is the schema; kSchemaVersion changes whenever a field changes its meaning or goes.
#pragma once

#include <cstdint>
#include <cstdio>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>

#include "app/exit_status.h"
#include "app/job_outcome.h"
#include "cli/console_view.h"

namespace cli {

inline constexpr int kSchemaVersion = 1;

// A scanner as the output names it.
struct DeviceIdentity {
    int handle = 0;
    std::string name;      // "\\.\USBSCAN0", "\\.\E:"
    std::string where;     // where the backend says it is (a USB bus address, a block device)
    std::string identity;  // what names it while it stays attached (its frame lock's name)
};

// The lines, as objects (the tests read them back with the same library).
nlohmann::ordered_json StartObject(const std::string& command);
nlohmann::ordered_json DeviceObject(const DeviceIdentity& device);
nlohmann::ordered_json ProgressObject(const std::string& phase, std::int64_t done,
                                      std::int64_t total);
nlohmann::ordered_json StatusObject(const std::string& text);
nlohmann::ordered_json WarningObject(const std::string& text);
// The outcome of a job in full: its end, the failed call, blocks and bytes, the verify, the
// backup, the versions and the file it writes.
nlohmann::ordered_json OutcomeObject(const app::JobOutcome& outcome);
// The run's last line. `outcome`: the job's, when a job ran. `version`: what a version job read.
nlohmann::ordered_json ResultObject(app::ExitStatus status, const std::string& message,
                                    const app::JobOutcome* outcome,
                                    const std::optional<std::string>& version);

// One line, written whole and flushed; text that is not UTF-8 (a path, a device's bytes) is
// replaced rather than refused.
std::string LineOf(const nlohmann::ordered_json& object);
void WriteLine(std::FILE* out, const nlohmann::ordered_json& object);

// Progress and statuses as lines.
class JsonProgress final : public ProgressSink {
  public:
    explicit JsonProgress(std::FILE* out) : out_(out) {}
    void Progress(const std::string& phase, std::int64_t done, std::int64_t total) override {
        WriteLine(out_, ProgressObject(phase, done, total));
    }
    void Status(const std::string& text) override { WriteLine(out_, StatusObject(text)); }

  private:
    std::FILE* out_;
};

// Names of the outcome's values as the lines carry them ("call-failed", "block").
const char* JobEndName(app::JobEnd end);
const char* JobCallName(app::JobCall call);
const char* JobKindName(app::JobKind job);

}  // namespace cli
