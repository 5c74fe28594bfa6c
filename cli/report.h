// What kelvane-cli says on standard error about a job's outcome beyond its status text: the
// state a failed update left the device in, what a verify found, and the job's warnings.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "app/job_outcome.h"

namespace cli {

// "0x00004000": an address as the messages and the JSON lines write it.
std::string Hex32(std::uint32_t value);

// For an update that failed at a data call: whether the device can still hold its old firmware
// ("no block was sent: the device is unchanged") or may hold part of the new image. Empty for
// any other outcome.
std::string UpdateStateText(const app::JobOutcome& outcome);

// A verify that found the device's memory unlike the image: the first differing address with
// the image's and the device's byte, how many bytes differ and the range they lie in.
std::string MismatchText(const app::VerifyDetail& verify);

// A verify whose read-back failed.
std::string VerifyFailedText(const app::VerifyDetail& verify);

// One line for each warning of the job.
std::vector<std::string> WarningTexts(const app::JobOutcome& outcome);

// What failed, for a job whose end has no status text of its own.
std::string FailureText(const app::JobOutcome& outcome);

}  // namespace cli
