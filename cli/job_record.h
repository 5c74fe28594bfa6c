// The job log (--log FILE): an append-only history of kelvane-cli's jobs, one JSON line each,
// for the quality records of a production line. Each line goes out in one appending write, so
// that jobs logging to one file at once never mix within a line.
#pragma once

#include <chrono>
#include <cstdint>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>

#include "app/exit_status.h"
#include "app/job_outcome.h"
#include "cli/json_lines.h"
#include "platform/handles.h"

namespace cli {

class JobLog {
  public:
    // Opens `path` for appending, creating it when missing. Only a plain file: a link at the
    // name is not followed, and a FIFO or device does not open. False with nothing open.
    bool Open(const std::string& path);
    // Appends `line` (which ends with its line feed) in one write and flushes it; true only when
    // all of it went out.
    bool Append(const std::string& line);

  private:
    platform::FileHandle file_;
};

struct ImageFacts {
    std::string path;  // absolute
    std::uint64_t size = 0;
    std::string sha256;  // empty when it was not computed
};

struct JobRecord {
    std::chrono::system_clock::time_point started;
    std::chrono::steady_clock::duration duration{};
    std::string host;
    std::string command;
    std::optional<DeviceIdentity> device;
    std::optional<ImageFacts> image;
    app::ExitStatus status = app::ExitStatus::kOk;
    std::string message;
    const app::JobOutcome* outcome = nullptr;  // the job's, when one ran
    std::optional<std::string> version;        // what a version job read
};

// "2026-12-09T05:40:01.250Z"
std::string UtcText(std::chrono::system_clock::time_point t);

nlohmann::ordered_json RecordObject(const JobRecord& record);

}  // namespace cli
