// How an unattended job ended, told by the last text it put into status panel 0: every text
// that can end a firmware update or a version read has its exit status here.
#pragma once

#include <string>

#include "app/exit_status.h"

namespace app {

// The exit status of an unattended firmware update whose last status text was `lastStatus`.
// kOk only for "Update FW Ok."; a text not known here is a failure of the device work.
ExitStatus UpdateExitStatus(const std::string& lastStatus);

// Whether the last status text of a job says that no device could be had.
bool IsNoDeviceText(const std::string& lastStatus);

}  // namespace app
