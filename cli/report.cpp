#include "cli/report.h"

#include <cstdio>

namespace cli {
namespace {

std::string Hex8(std::uint8_t value) {
    char text[8];
    std::snprintf(text, sizeof text, "0x%02X", static_cast<unsigned>(value));
    return text;
}

const char* CallName(app::JobCall call) {
    switch (call) {
        case app::JobCall::kNone:
            break;
        case app::JobCall::kOpening:
            return "the opening call";
        case app::JobCall::kReadiness:
            return "the readiness check";
        case app::JobCall::kAddress:
            return "an address";
        case app::JobCall::kBlock:
            return "a firmware block";
        case app::JobCall::kFinishing:
            return "the finishing command";
        case app::JobCall::kMemory:
            return "a memory read";
        case app::JobCall::kChunkClose:
            return "the closing call of a memory read";
        case app::JobCall::kVersion:
            return "the version read";
        case app::JobCall::kCalibration:
            return "the calibration command";
        case app::JobCall::kClosing:
            return "the closing call";
    }
    return "a call";
}

std::string Plural(std::uint64_t n, const char* one, const char* many) {
    return std::to_string(n) + " " + (n == 1 ? one : many);
}

}  // namespace

std::string Hex32(std::uint32_t value) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(value));
    return text;
}

std::string UpdateStateText(const app::JobOutcome& outcome) {
    if (outcome.job != app::JobKind::kUpdate) return {};
    const bool backupFailed = outcome.end == app::JobEnd::kBackupFileFailed ||
                              outcome.end == app::JobEnd::kBackupReadFailed ||
                              outcome.end == app::JobEnd::kBackupWriteFailed;
    if (backupFailed) return "no block was sent: the device is unchanged";
    if (outcome.end != app::JobEnd::kCallFailed) return {};
    // A block that was sent but refused or cut short may have left bytes behind.
    if (!outcome.blockSent) return "no block was sent: the device is unchanged";
    const std::uint32_t k = outcome.blocksConfirmed;
    const std::string n = std::to_string(outcome.blockCount);
    std::string accepted;
    if (k == 0) {
        accepted = "no block of " + n + " was accepted";
    } else if (k == 1) {
        accepted = "block 0 of " + n + " was accepted";
    } else {
        accepted = "blocks 0-" + std::to_string(k - 1) + " of " + n + " were accepted";
    }
    const std::string failed = outcome.failedCall == app::JobCall::kFinishing
                                   ? "the finishing command failed"
                                   : "block " + std::to_string(k) + " failed";
    return accepted + "; " + failed + ": the device may hold a partial image; update again";
}

std::string MismatchText(const app::VerifyDetail& v) {
    return "verify mismatch: the device's memory differs from the image at " +
           Hex32(v.firstAddress) + " (expected " + Hex8(v.expected) + ", found " + Hex8(v.found) +
           "); " + Plural(v.differing, "byte differs", "bytes differ") + ", within " +
           Hex32(v.firstAddress) + "-" + Hex32(v.lastAddress);
}

std::string VerifyFailedText(const app::VerifyDetail& v) {
    std::string text = "verifying failed: reading back " + Plural(v.length, "byte", "bytes") +
                       " from " + Hex32(v.start);
    if (v.readEnd == app::JobEnd::kNoMemory) return text + " found no memory for them";
    return text + " failed at " + CallName(v.readFailedCall) + " after " +
           Plural(v.bytesRead, "byte", "bytes");
}

std::vector<std::string> WarningTexts(const app::JobOutcome& outcome) {
    std::vector<std::string> lines;
    for (const app::JobWarning w : outcome.warnings) {
        switch (w) {
            case app::JobWarning::kClosingFailed:
                lines.push_back(
                    "warning: the update's closing exchange failed after \"Update FW Ok.\"");
                break;
            case app::JobWarning::kReleaseRefused:
                lines.push_back("warning: the device did not release its service lock (" +
                                Plural(outcome.releasesRefused, "time", "times") +
                                "); the next job may wait for it");
                break;
        }
    }
    return lines;
}

std::string FailureText(const app::JobOutcome& outcome) {
    if (const char* text = app::StatusText(outcome.job, outcome.end)) {
        if (outcome.end != app::JobEnd::kVerifyMismatch &&
            outcome.end != app::JobEnd::kVerifyReadFailed)
            return text;
    }
    switch (outcome.end) {
        case app::JobEnd::kVerifyMismatch:
            return MismatchText(outcome.verify);
        case app::JobEnd::kVerifyReadFailed:
            return VerifyFailedText(outcome.verify);
        case app::JobEnd::kNoMemory:
            return outcome.backup.ran ? "the memory for the backup could not be had"
                                      : "the memory for the read-back could not be had";
        case app::JobEnd::kBackupFileFailed:
            return "the backup file cannot be written";
        case app::JobEnd::kBackupReadFailed:
            return "the backup failed: reading " + Plural(outcome.backup.length, "byte", "bytes") +
                   " from " + Hex32(outcome.backup.start) + " failed at " +
                   CallName(outcome.failedCall);
        case app::JobEnd::kBackupWriteFailed:
            return "the backup could not be written to its file";
        case app::JobEnd::kCallFailed:
            if (outcome.job == app::JobKind::kVersion) return "the version could not be read";
            return std::string(CallName(outcome.failedCall)) + " failed";
        default:
            return "the job did not end";
    }
}

}  // namespace cli
