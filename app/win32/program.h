// The program entry shared by the product and the demo build, once their backends are
// installed: the common controls, the main window, its creation handler, the event loop.
#pragma once

#include <windows.h>

namespace app::win32 {

// Runs the program to its end. Returns the exit status, which is 0 in every case; an error that
// escapes is shown in the error box first.
int RunProgram(HINSTANCE instance, const char* commandLine);

}  // namespace app::win32
