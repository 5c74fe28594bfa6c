// kelvane.exe: the product, on Win32 device I/O and the Win32 system.
#include "app/win32/console_output.h"
#include "app/win32/program.h"
#include "platform/win32/install_win32.h"
#include "platform/win32/windows_api.h"

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int) {
    platform::win32::InstallWin32();
    app::win32::ParentConsoleOutput console;
    return app::win32::RunProgram(instance, ::GetCommandLineA());
}
