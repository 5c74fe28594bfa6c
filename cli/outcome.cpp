#include "cli/outcome.h"

#include <iterator>

namespace cli {
namespace {

struct TextOutcome {
    const char* text;
    app::ExitStatus status;
};

constexpr TextOutcome kFailureTexts[] = {
    {"No Device is Existing.", app::ExitStatus::kNoDevice},
    {"No Device is Existing", app::ExitStatus::kNoDevice},  // the read-back's own text
    {"Connect to Device Failed!", app::ExitStatus::kNoDevice},
    {"Open file fail.", app::ExitStatus::kBadImage},
    {"Image file is empty.", app::ExitStatus::kBadImage},
    {"Image file too large.", app::ExitStatus::kBadImage},
    {"Allocate memory fail.", app::ExitStatus::kBadImage},
    {"Update FW fail.", app::ExitStatus::kDeviceFailed},
    {"Upload fail!", app::ExitStatus::kDeviceFailed},
    {"Set Calibration fail", app::ExitStatus::kDeviceFailed},
    {"Create file fail!", app::ExitStatus::kOutputFile},
    {"Write file fail!", app::ExitStatus::kOutputFile},
};

const char* SuccessText(Job job) {
    switch (job) {
        case Job::kUpdate:
            return "Update FW Ok.";
        case Job::kRead:
            return "Upload OK!";
        case Job::kCalibrate:
            return "Set Calibration Success";
        case Job::kVersion:
            break;
    }
    return nullptr;
}

}  // namespace

app::ExitStatus OutcomeOf(Job job, const std::string& status, bool versionRead) {
    for (const TextOutcome& entry : kFailureTexts) {
        if (status == entry.text) return entry.status;
    }
    if (job == Job::kVersion)
        return versionRead ? app::ExitStatus::kOk : app::ExitStatus::kDeviceFailed;
    const char* success = SuccessText(job);
    // Anything else (a job that ended without its success text) did not do its work.
    return success != nullptr && status == success ? app::ExitStatus::kOk
                                                   : app::ExitStatus::kDeviceFailed;
}

}  // namespace cli
