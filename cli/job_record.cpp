#include "cli/job_record.h"

#include <ctime>

#include "platform/platform.h"
#include "platform/system.h"

namespace cli {

bool JobLog::Open(const std::string& path) {
    file_ = platform::FileHandle(platform::Sys().CreateFile(
        path.c_str(), platform::kFileAppendData,
        platform::kFileShareRead | platform::kFileShareWrite, platform::kOpenAlways));
    return file_.valid();
}

bool JobLog::Append(const std::string& line) {
    if (!file_.valid()) return false;
    std::uint32_t done = 0;
    const auto size = static_cast<std::uint32_t>(line.size());
    // A line that did not go out whole is reported, never continued.
    return platform::Sys().AppendFile(file_.get(), line.data(), size, &done) && done == size &&
           platform::Sys().FlushFileBuffers(file_.get());
}

std::string UtcText(std::chrono::system_clock::time_point t) {
    const auto ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(t.time_since_epoch()).count();
    const std::time_t seconds = static_cast<std::time_t>(ms / 1000);
    std::tm utc{};
#ifdef _WIN32
    gmtime_s(&utc, &seconds);
#else
    gmtime_r(&seconds, &utc);
#endif
    char text[96];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", utc.tm_year + 1900,
                  utc.tm_mon + 1, utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec,
                  static_cast<int>(ms % 1000));
    return text;
}

nlohmann::ordered_json RecordObject(const JobRecord& r) {
    using json = nlohmann::ordered_json;
    json object = json::object();
    object["version"] = kSchemaVersion;
    object["time"] = UtcText(r.started);
    object["duration_s"] =
        std::chrono::duration_cast<std::chrono::milliseconds>(r.duration).count() / 1000.0;
    object["host"] = r.host;
    object["program_version"] = KV_PROGRAM_VERSION;
    object["command"] = r.command;
    if (r.device) {
        json device = DeviceObject(*r.device);
        device.erase("type");
        object["device"] = device;
    } else {
        object["device"] = nullptr;
    }
    if (r.image) {
        object["image"] = {
            {"path", r.image->path},
            {"size", r.image->size},
            {"sha256", r.image->sha256.empty() ? json(nullptr) : json(r.image->sha256)}};
    } else {
        object["image"] = nullptr;
    }
    const bool update = r.outcome != nullptr && r.outcome->job == app::JobKind::kUpdate;
    object["version_before"] =
        update && r.outcome->versionBefore ? json(*r.outcome->versionBefore) : json(nullptr);
    object["version_after"] =
        update && r.outcome->versionAfter ? json(*r.outcome->versionAfter) : json(nullptr);
    if (r.version) object["firmware_version"] = *r.version;
    if (r.outcome != nullptr && r.outcome->verify.ran) {
        object["verify"] = OutcomeObject(*r.outcome)["verify"];
    } else {
        object["verify"] = nullptr;
    }
    object["status"] = app::ToInt(r.status);
    object["status_name"] = app::ExitStatusName(r.status);
    object["message"] = r.message;
    return object;
}

}  // namespace cli
