// Exit statuses of the unattended modes and of the command-line program. Callers such as
// production-line scripts branch on these numbers, so they are few and never renumbered; the
// window mode always ends with kOk.
#pragma once

namespace app {

enum class ExitStatus : int {
    kOk = 0,               // the job was done and checked (or, for CHECKFW, result2.ini written)
    kUsage = 1,            // the command line was not understood (command-line program only)
    kNoDevice = 2,         // no device was found, or the connection to it failed
    kBadImage = 3,         // the image could not be opened or read, is empty or too large, its
                           // path is too long, or its memory could not be had
    kDeviceFailed = 4,     // the device refused or cut short a transfer of the job
    kNoRights = 5,         // the service could not be stopped: the process is not elevated
    kResultFile = 6,       // result2.ini could not be written
    kOutputFile = 7,       // the read-back file could not be created or written
    kLockUnavailable = 8,  // another Kelvane job holds the scanner (past the caller's time
                           // limit), or its lock could not be had: nothing was run
    kVerifyMismatch = 9,   // the update was done, but the device's memory read back differs from
                           // the image (command-line program only)
    kSomeFailed = 10,      // a job on several scanners failed on one or more of them
                           // (command-line program only; each scanner's own status is shown)
};

constexpr int ToInt(ExitStatus s) {
    return static_cast<int>(s);
}

// The status's short name, for messages and help texts.
constexpr const char* ExitStatusName(ExitStatus s) {
    switch (s) {
        case ExitStatus::kOk:
            return "done";
        case ExitStatus::kUsage:
            return "usage";
        case ExitStatus::kNoDevice:
            return "no device";
        case ExitStatus::kBadImage:
            return "bad image";
        case ExitStatus::kDeviceFailed:
            return "device failed";
        case ExitStatus::kNoRights:
            return "no rights";
        case ExitStatus::kResultFile:
            return "result file";
        case ExitStatus::kOutputFile:
            return "output file";
        case ExitStatus::kLockUnavailable:
            return "lock unavailable";
        case ExitStatus::kVerifyMismatch:
            return "verify mismatch";
        case ExitStatus::kSomeFailed:
            return "some scanners failed";
    }
    return "unknown";
}

}  // namespace app
