#include <optional>
#include <string>

#include "app/command_line.h"
#include "app/flag_guard.h"
#include "app/unit1.h"

namespace app {
namespace {

constexpr const char* kCheckModeArgument = "CHECKFW";

}  // namespace

void TForm1::FormCreate(const char* commandLine) {
    CheckMode = false;
    const std::optional<std::string> argument =
        FirstArgument(commandLine != nullptr ? commandLine : "");
    if (!argument) return;

    // No command may start inside the unattended work while the runner pumps events.
    FlagGuard running(commandRunning_);
    StopServiceCommand = ServiceStopLine;
    StartServiceCommand = ServiceStartLine;
    RunServiceCommand(StopServiceCommand);
    try {
        if (*argument == kCheckModeArgument) {
            // An earlier run's version must not survive this one.
            WriteResult("version", "");
            CheckMode = true;
            QueryVersion();
        } else {
            UpdateFirmware(argument->c_str());
        }
    } catch (...) {
        // The service comes back and the program still ends; the error box follows.
        RunServiceCommand(StartServiceCommand);
        view_.RequestEnd();
        throw;
    }
    RunServiceCommand(StartServiceCommand);
    view_.RequestEnd();
}

}  // namespace app
