// How a job of the form logic ended, as an exit status. The form tells its outcome by the status
// text it leaves (and the version query by whether it read a version); texts that only a
// failure leaves map to the table's failure statuses, and only the success text of the job gives
// kOk.
#pragma once

#include <optional>
#include <string>

#include "app/exit_status.h"

namespace cli {

enum class Job { kUpdate, kRead, kVersion, kCalibrate };

app::ExitStatus OutcomeOf(Job job, const std::string& status, bool versionRead);

}  // namespace cli
