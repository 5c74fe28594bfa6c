#include "app/job_outcome.h"

#include <algorithm>

namespace app {

bool JobOutcome::Warns(JobWarning w) const {
    return std::find(warnings.begin(), warnings.end(), w) != warnings.end();
}

const char* StatusText(JobKind job, JobEnd end) {
    switch (end) {
        case JobEnd::kNoDevice:
            // The read-back has a text of its own.
            return job == JobKind::kRead ? "No Device is Existing" : "No Device is Existing.";
        case JobEnd::kConnectFailed:
            return "Connect to Device Failed!";
        case JobEnd::kImageUnreadable:
            return "Open file fail.";
        case JobEnd::kImageEmpty:
            return "Image file is empty.";
        case JobEnd::kImageTooLarge:
            return "Image file too large.";
        case JobEnd::kFileCreateFailed:
            return "Create file fail!";
        case JobEnd::kFileWriteFailed:
        case JobEnd::kFileReplaceFailed:
            return "Write file fail!";
        default:
            break;
    }
    switch (job) {
        case JobKind::kUpdate:
            if (end == JobEnd::kNoMemory) return "Allocate memory fail.";
            if (end == JobEnd::kCallFailed) return "Update FW fail.";
            // A verify is the command line's own step after the update: the update itself was done.
            if (end == JobEnd::kDone || end == JobEnd::kVerifyMismatch ||
                end == JobEnd::kVerifyReadFailed)
                return "Update FW Ok.";
            return nullptr;
        case JobKind::kRead:
            if (end == JobEnd::kCallFailed) return "Upload fail!";
            if (end == JobEnd::kDone) return "Upload OK!";
            return nullptr;  // a buffer that could not be had keeps "Connect to Device Success!"
        case JobKind::kCalibrate:
            if (end == JobEnd::kCallFailed) return "Set Calibration fail";
            if (end == JobEnd::kDone) return "Set Calibration Success";
            return nullptr;
        case JobKind::kVersion:
            return nullptr;  // the version goes to its box and its file
    }
    return nullptr;
}

ExitStatus ExitStatusOf(const JobOutcome& outcome) {
    switch (outcome.end) {
        case JobEnd::kDone:
            return ExitStatus::kOk;
        case JobEnd::kNoDevice:
        case JobEnd::kConnectFailed:
            return ExitStatus::kNoDevice;
        case JobEnd::kBadLength:
            return ExitStatus::kUsage;
        case JobEnd::kImageUnreadable:
        case JobEnd::kImageEmpty:
        case JobEnd::kImageTooLarge:
            return ExitStatus::kBadImage;
        case JobEnd::kNoMemory:
            // The update's buffer holds the image; the read-back's is the device's work.
            return outcome.job == JobKind::kUpdate ? ExitStatus::kBadImage
                                                   : ExitStatus::kDeviceFailed;
        case JobEnd::kFileCreateFailed:
        case JobEnd::kFileWriteFailed:
        case JobEnd::kFileReplaceFailed:
        case JobEnd::kBackupFileFailed:
        case JobEnd::kBackupWriteFailed:
            return ExitStatus::kOutputFile;
        case JobEnd::kBackupReadFailed:
            return ExitStatus::kDeviceFailed;
        case JobEnd::kResultFileFailed:
            return ExitStatus::kResultFile;
        case JobEnd::kVerifyMismatch:
            return ExitStatus::kVerifyMismatch;
        case JobEnd::kVerifyReadFailed: {
            // The read-back's own failure status.
            JobOutcome read;
            read.job = JobKind::kRead;
            read.end = outcome.verify.readEnd;
            const ExitStatus status = ExitStatusOf(read);
            return status == ExitStatus::kOk ? ExitStatus::kDeviceFailed : status;
        }
        case JobEnd::kUnfinished:
        case JobEnd::kCallFailed:
            break;
    }
    return ExitStatus::kDeviceFailed;
}

VerifyDetail Compare(const std::uint8_t* expected, const std::uint8_t* found, std::uint32_t length,
                     std::uint32_t start) {
    VerifyDetail d;
    d.ran = true;
    d.readEnd = JobEnd::kDone;
    d.bytesRead = length;
    d.start = start;
    d.length = length;
    for (std::uint32_t i = 0; i < length; ++i) {
        if (expected[i] == found[i]) continue;
        if (d.differing == 0) {
            d.firstAddress = start + i;
            d.expected = expected[i];
            d.found = found[i];
        }
        d.lastAddress = start + i;
        ++d.differing;
    }
    return d;
}

}  // namespace app
