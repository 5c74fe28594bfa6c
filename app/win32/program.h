// The program entry shared by the product and the demo build, once their backends are
// installed: the common controls, the main window, its creation handler, the event loop.
#pragma once

#include <windows.h>

namespace app::win32 {

// Runs the program to its end. Returns the exit status: how the unattended job ended (see
// app/exit_status.h), 0 in the window mode; an error that escapes is shown in the error box first.
int RunProgram(HINSTANCE instance, const char* commandLine);

}  // namespace app::win32
