#include "app/unattended_status.h"

#include <iterator>

namespace app {
namespace {

struct TextStatus {
    const char* text;
    ExitStatus status;
};

constexpr TextStatus kUpdateEndings[] = {
    {"Update FW Ok.", ExitStatus::kOk},
    {"No Device is Existing.", ExitStatus::kNoDevice},
    {"Connect to Device Failed!", ExitStatus::kNoDevice},
    {"Open file fail.", ExitStatus::kBadImage},
    {"Image file is empty.", ExitStatus::kBadImage},
    {"Image file too large.", ExitStatus::kBadImage},
    {"Allocate memory fail.", ExitStatus::kBadImage},
    {"Update FW fail.", ExitStatus::kDeviceFailed},
};

}  // namespace

ExitStatus UpdateExitStatus(const std::string& lastStatus) {
    for (const TextStatus& ending : kUpdateEndings) {
        if (lastStatus == ending.text) return ending.status;
    }
    return ExitStatus::kDeviceFailed;
}

bool IsNoDeviceText(const std::string& lastStatus) {
    return UpdateExitStatus(lastStatus) == ExitStatus::kNoDevice;
}

}  // namespace app
