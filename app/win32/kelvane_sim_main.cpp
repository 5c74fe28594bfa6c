// kelvane-sim.exe: the product's window and logic against a simulated scanner, with the real
// Win32 system (real time, real named events, real service commands).
#include "app/win32/console_output.h"
#include "app/win32/program.h"
#include "app/win32/sim_scanner_setup.h"
#include "platform/win32/install_win32.h"
#include "platform/win32/windows_api.h"

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int) {
    platform::win32::InstallWin32System(app::win32::SimulatedScannerIo());
    app::win32::ParentConsoleOutput console;
    return app::win32::RunProgram(instance, ::GetCommandLineA());
}
