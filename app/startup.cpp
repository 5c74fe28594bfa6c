#include <exception>
#include <optional>
#include <string>

#include "app/command_line.h"
#include "app/flag_guard.h"
#include "app/job_outcome.h"
#include "app/unit1.h"
#include "platform/platform.h"

namespace app {
namespace {

constexpr const char* kCheckModeArgument = "CHECKFW";

}  // namespace

void TForm1::FormCreate(const char* commandLine) {
    CheckMode = false;
    exit_ = ExitStatus::kOk;
    // Windows 11 may otherwise ignore the frames' timer period while the window is hidden, as it
    // is in the unattended modes. Systems without the call (and Wine) refuse it: no harm done.
    platform::Sys().IgnoreTimerResolutionThrottling();
    elevated_ = platform::Sys().IsProcessElevated();
    const std::optional<std::string> argument =
        FirstArgument(commandLine != nullptr ? commandLine : "");
    unattended_ = argument.has_value();
    if (!argument) {
        // Panel 0's texts are the commands'; the missing rights get the other panel.
        if (!elevated_) view_.SetStatus1(kNoRightsPanelText);
        return;
    }

    // No command may start inside the unattended work while the runner pumps events.
    FlagGuard running(commandRunning_);
    RunUnattended(*argument);
    view_.RequestEnd();
}

void TForm1::FormShow() {
    // The unattended modes show the window only on their way out.
    if (!unattended_ && !elevated_) view_.ShowMessage(kNoRightsMessage);
}

void TForm1::RunUnattended(const std::string& argument) {
    const bool check = argument == kCheckModeArgument;
    // Nobody reads the window: the outcome goes to the caller as text and as the exit status.
    ExitStatus outcome = ExitStatus::kOk;
    try {
        RunFrame([&] {
            view_.ClearLastStatus();
            if (check) {
                // An earlier run's version must not survive this one.
                WriteResult("version", "");
                CheckMode = true;
                QueryVersion();
                // A version that could not be read is written as the empty one: a result all the
                // same. Only a missing device has a status of its own.
                outcome = ExitStatusOf(outcome_) == ExitStatus::kNoDevice ? ExitStatus::kNoDevice
                                                                          : ExitStatus::kOk;
            } else {
                UpdateFirmware(argument.c_str());
                outcome = ExitStatusOf(outcome_);
            }
            if (!view_.LastStatus().empty()) TellCaller(view_.LastStatus());
        });
    } catch (const FrameLockError& e) {
        // Nothing ran, so check mode has no result to write either.
        TellCaller(WithFullStop(e.what()));
        outcome = ExitStatus::kLockUnavailable;
    } catch (const std::exception& e) {
        // No box: it would wait for a person and hold up the caller.
        TellCaller(WithFullStop(e.what()));
        outcome = check ? ExitStatus::kResultFile : ExitStatus::kDeviceFailed;
    } catch (...) {
        TellCaller("Unexpected error.");
        outcome = check ? ExitStatus::kResultFile : ExitStatus::kDeviceFailed;
    }
    // The device was not to be had because the service keeps it.
    if (outcome == ExitStatus::kNoDevice && stopRefused_) outcome = ExitStatus::kNoRights;
    if (check && outcome == ExitStatus::kNoDevice) outcome = ExitStatus::kOk;
    exit_ = outcome;
}

}  // namespace app
