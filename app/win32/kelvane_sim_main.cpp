// kelvane-sim.exe: the product's window and logic against a simulated scanner, with the real
// Win32 system (real time, real named events, real service commands). KV_SIM_LIE makes the
// scanner lie once, for training and for the end-to-end tests.
#include <cstdlib>
#include <string>

#include "app/win32/console_output.h"
#include "app/win32/program.h"
#include "app/win32/sim_scanner_setup.h"
#include "platform/win32/install_win32.h"
#include "platform/win32/windows_api.h"

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int) {
    platform::win32::InstallWin32System(app::win32::SimulatedScannerIo());
    std::string error;
    if (!app::win32::ArmSimulatedLie(std::getenv(app::win32::kSimLieVariable), &error)) {
        const std::string text = std::string(app::win32::kSimLieVariable) + ": " + error;
        ::MessageBoxA(nullptr, text.c_str(), "kelvane-sim", MB_OK | MB_ICONERROR);
        return 2;
    }
    app::win32::ParentConsoleOutput console;
    return app::win32::RunProgram(instance, ::GetCommandLineA());
}
