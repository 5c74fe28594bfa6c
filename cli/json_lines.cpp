#include "cli/json_lines.h"

#include "cli/report.h"

namespace cli {
namespace {

using json = nlohmann::ordered_json;

json Typed(const char* type) {
    json object = json::object();
    object["type"] = type;
    return object;
}

json Optional(const std::optional<std::string>& text) {
    return text ? json(*text) : json(nullptr);
}

const char* FileResultName(app::FileResult file) {
    switch (file) {
        case app::FileResult::kNone:
            return "none";
        case app::FileResult::kKept:
            return "kept";
        case app::FileResult::kReplaced:
            return "replaced";
    }
    return "none";
}

const char* WarningName(app::JobWarning warning) {
    switch (warning) {
        case app::JobWarning::kClosingFailed:
            return "closing-failed";
        case app::JobWarning::kReleaseRefused:
            return "release-refused";
    }
    return "unknown";
}

}  // namespace

const char* JobKindName(app::JobKind job) {
    switch (job) {
        case app::JobKind::kUpdate:
            return "update";
        case app::JobKind::kRead:
            return "read";
        case app::JobKind::kVersion:
            return "version";
        case app::JobKind::kCalibrate:
            return "calibrate";
    }
    return "unknown";
}

const char* JobEndName(app::JobEnd end) {
    switch (end) {
        case app::JobEnd::kUnfinished:
            return "unfinished";
        case app::JobEnd::kDone:
            return "done";
        case app::JobEnd::kNoDevice:
            return "no-device";
        case app::JobEnd::kConnectFailed:
            return "connect-failed";
        case app::JobEnd::kBadLength:
            return "bad-length";
        case app::JobEnd::kImageUnreadable:
            return "image-unreadable";
        case app::JobEnd::kImageEmpty:
            return "image-empty";
        case app::JobEnd::kImageTooLarge:
            return "image-too-large";
        case app::JobEnd::kNoMemory:
            return "no-memory";
        case app::JobEnd::kCallFailed:
            return "call-failed";
        case app::JobEnd::kFileCreateFailed:
            return "file-create-failed";
        case app::JobEnd::kFileWriteFailed:
            return "file-write-failed";
        case app::JobEnd::kFileReplaceFailed:
            return "file-replace-failed";
        case app::JobEnd::kResultFileFailed:
            return "result-file-failed";
        case app::JobEnd::kVerifyReadFailed:
            return "verify-read-failed";
        case app::JobEnd::kVerifyMismatch:
            return "verify-mismatch";
        case app::JobEnd::kBackupFileFailed:
            return "backup-file-failed";
        case app::JobEnd::kBackupReadFailed:
            return "backup-read-failed";
        case app::JobEnd::kBackupWriteFailed:
            return "backup-write-failed";
    }
    return "unknown";
}

const char* JobCallName(app::JobCall call) {
    switch (call) {
        case app::JobCall::kNone:
            return "none";
        case app::JobCall::kOpening:
            return "opening";
        case app::JobCall::kReadiness:
            return "readiness";
        case app::JobCall::kAddress:
            return "address";
        case app::JobCall::kBlock:
            return "block";
        case app::JobCall::kFinishing:
            return "finishing";
        case app::JobCall::kMemory:
            return "memory";
        case app::JobCall::kChunkClose:
            return "chunk-close";
        case app::JobCall::kVersion:
            return "version";
        case app::JobCall::kCalibration:
            return "calibration";
        case app::JobCall::kClosing:
            return "closing";
    }
    return "unknown";
}

json StartObject(const std::string& command) {
    json object = Typed("start");
    object["version"] = kSchemaVersion;
    object["program"] = "kelvane-cli";
    object["program_version"] = KV_PROGRAM_VERSION;
    object["command"] = command;
    return object;
}

json DeviceObject(const DeviceIdentity& device) {
    json object = Typed("device");
    object["handle"] = device.handle;
    object["name"] = device.name;
    object["presentation"] = device.handle > 26 ? "still-image" : "disk";
    object["where"] = device.where;
    object["identity"] = device.identity;
    return object;
}

json ProgressObject(const std::string& phase, std::int64_t done, std::int64_t total) {
    json object = Typed("progress");
    object["phase"] = phase;
    object["done"] = done;
    object["total"] = total;
    return object;
}

json StatusObject(const std::string& text) {
    json object = Typed("status");
    object["text"] = text;
    return object;
}

json WarningObject(const std::string& text) {
    json object = Typed("warning");
    object["message"] = text;
    return object;
}

json OutcomeObject(const app::JobOutcome& o) {
    json object = json::object();
    object["job"] = JobKindName(o.job);
    object["end"] = JobEndName(o.end);
    object["failed_call"] = JobCallName(o.failedCall);
    object["bytes_moved"] = o.bytesMoved;
    if (o.job == app::JobKind::kUpdate) {
        object["blocks_confirmed"] = o.blocksConfirmed;
        object["block_count"] = o.blockCount;
        object["block_sent"] = o.blockSent;
        const std::string state = UpdateStateText(o);
        object["device_state"] = state.empty() ? json(nullptr) : json(state);
        object["version_before"] = Optional(o.versionBefore);
        object["version_after"] = Optional(o.versionAfter);
    }
    if (o.verify.ran) {
        json verify = json::object();
        verify["start"] = Hex32(o.verify.start);
        verify["length"] = o.verify.length;
        verify["read_end"] = JobEndName(o.verify.readEnd);
        verify["bytes_read"] = o.verify.bytesRead;
        verify["differing"] = o.verify.differing;
        if (o.verify.differing != 0) {
            verify["first_address"] = Hex32(o.verify.firstAddress);
            verify["last_address"] = Hex32(o.verify.lastAddress);
            verify["expected"] = o.verify.expected;
            verify["found"] = o.verify.found;
        }
        object["verify"] = verify;
    } else {
        object["verify"] = nullptr;
    }
    if (o.backup.ran) {
        object["backup"] = {{"start", Hex32(o.backup.start)},
                            {"length", o.backup.length},
                            {"written", o.backup.written}};
    }
    object["file"] = FileResultName(o.file);
    json warnings = json::array();
    for (const app::JobWarning w : o.warnings) warnings.push_back(WarningName(w));
    object["warnings"] = warnings;
    return object;
}

json ResultObject(app::ExitStatus status, const std::string& message,
                  const app::JobOutcome* outcome, const std::optional<std::string>& version) {
    json object = Typed("result");
    object["status"] = app::ToInt(status);
    object["status_name"] = app::ExitStatusName(status);
    object["message"] = message;
    object["outcome"] = outcome != nullptr ? OutcomeObject(*outcome) : json(nullptr);
    if (version) object["firmware_version"] = *version;
    return object;
}

std::string LineOf(const json& object) {
    return object.dump(-1, ' ', false, json::error_handler_t::replace) + "\n";
}

void WriteLine(std::FILE* out, const json& object) {
    const std::string line = LineOf(object);
    std::fwrite(line.data(), 1, line.size(), out);
    std::fflush(out);
}

}  // namespace cli
