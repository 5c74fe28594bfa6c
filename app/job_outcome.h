// How a job of the form logic ended, as a value: which step ended it, how far its data got, what
// a verify found, and what it warns of. The window shows the outcome's text, the unattended modes
// and kelvane-cli turn it into an exit status; nobody reads a result back out of a text.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "app/exit_status.h"

namespace app {

enum class JobKind : std::uint8_t { kUpdate, kRead, kVersion, kCalibrate };

// The step that ended the job.
enum class JobEnd : std::uint8_t {
    kUnfinished,         // the job did not reach its end (an error left it): never a success
    kDone,               // the job did its work
    kNoDevice,           // no device was found
    kConnectFailed,      // the device did not take the connection
    kBadLength,          // the read-back's fields name no valid range
    kImageUnreadable,    // the image's path is too long, or it cannot be opened or read whole
    kImageEmpty,         // the image holds no byte
    kImageTooLarge,      // the image has 2 GiB or more
    kNoMemory,           // the job's buffer could not be had
    kCallFailed,         // a data call failed: JobOutcome::failedCall says which
    kFileCreateFailed,   // the read-back file cannot be written (checked before the read)
    kFileWriteFailed,    // the new read-back file could not be created, written or flushed
    kFileReplaceFailed,  // it could not take the read-back file's place
    kResultFileFailed,   // the version's result file could not be written
    kVerifyReadFailed,   // the update was done, but reading it back failed (VerifyDetail says)
    kVerifyMismatch,     // the update was done, but the device's memory differs from the image
    kBackupFileFailed,   // the backup file cannot be written (checked before the backup's read)
    kBackupReadFailed,   // reading the range to back up failed: failedCall says where
    kBackupWriteFailed,  // the backup file could not be written or put in place
};

// The data call that failed.
enum class JobCall : std::uint8_t {
    kNone,
    kOpening,      // get 5: the opening call
    kReadiness,    // get 3: the read-back's readiness check
    kAddress,      // set 4: a block's or a chunk's address
    kBlock,        // set 5: a firmware block
    kFinishing,    // set 6: the update's finishing value
    kMemory,       // get 11: a memory chunk
    kChunkClose,   // get 6 16 after a memory chunk
    kVersion,      // get 6 4: the version
    kCalibration,  // set 9: the calibration command
    kClosing,      // get 6 16: the closing call
};

enum class JobWarning : std::uint8_t {
    kClosingFailed,   // the update was done but its closing exchange failed
    kReleaseRefused,  // the device did not release its service lock after a data call
};

// What reading a written range back and comparing it with the image found.
struct VerifyDetail {
    bool ran = false;
    JobEnd readEnd = JobEnd::kUnfinished;  // the read-back's own end
    JobCall readFailedCall = JobCall::kNone;
    std::uint64_t bytesRead = 0;
    std::uint32_t start = 0;  // the range compared
    std::uint32_t length = 0;
    std::uint64_t differing = 0;  // bytes that differ
    std::uint32_t firstAddress = 0;
    std::uint32_t lastAddress = 0;
    std::uint8_t expected = 0;  // at firstAddress: the image's byte and the device's
    std::uint8_t found = 0;
};

enum class FileResult : std::uint8_t {
    kNone,      // the job writes no file, or did not get to it
    kKept,      // the file is exactly as it was (or still absent)
    kReplaced,  // the new content took its place
};

// The range an update was about to overwrite, saved before its first write.
struct BackupDetail {
    bool ran = false;
    std::uint32_t start = 0;
    std::uint32_t length = 0;  // the rounded range the blocks cover
    bool written = false;      // the backup file holds it, in place
};

struct JobOutcome {
    JobKind job = JobKind::kUpdate;
    // The device handle the job reached (connected to); 0 when it reached none.
    int device = 0;
    JobEnd end = JobEnd::kUnfinished;
    JobCall failedCall = JobCall::kNone;
    // The update: firmware blocks the device confirmed, and how many the image makes. Whether a
    // firmware data command was sent at all: a refused or cut block may still have left bytes.
    std::uint32_t blocksConfirmed = 0;
    std::uint32_t blockCount = 0;
    bool blockSent = false;
    // The bytes the device confirmed: blocks written (with their padding) or memory read.
    std::uint64_t bytesMoved = 0;
    VerifyDetail verify;
    BackupDetail backup;
    // With TForm1::ReadVersionAround: the update's version read before its first write and after
    // its end; nothing when it was not read or its read failed.
    std::optional<std::string> versionBefore;
    std::optional<std::string> versionAfter;
    FileResult file = FileResult::kNone;
    std::vector<JobWarning> warnings;
    std::uint32_t releasesRefused = 0;  // with kReleaseRefused: how many

    bool Warns(JobWarning w) const;
};

// The text the window shows in status panel 0 when the job ends so; null when the job leaves
// its status as it was.
const char* StatusText(JobKind job, JobEnd end);

// The exit status of a job that ended so.
ExitStatus ExitStatusOf(const JobOutcome& outcome);

// The first difference between `expected` and `found`, `length` bytes each, the count of
// differing bytes and the addresses (from `start`) of the first and last of them.
VerifyDetail Compare(const std::uint8_t* expected, const std::uint8_t* found, std::uint32_t length,
                     std::uint32_t start);

}  // namespace app
