#include "app/win32/program.h"

#include <commctrl.h>

#include <exception>

#include "app/unit1.h"
#include "app/win32/layout.h"
#include "app/win32/main_window.h"

namespace app::win32 {
namespace {

void ShowFatal(const char* text) noexcept {
    ::MessageBoxA(nullptr, text, kProgramTitle, MB_OK | MB_ICONERROR);
}

}  // namespace

int RunProgram(HINSTANCE instance, const char* commandLine) {
    int exitStatus = 0;
    try {
        INITCOMMONCONTROLSEX controls{};
        controls.dwSize = sizeof controls;
        controls.dwICC = ICC_STANDARD_CLASSES | ICC_BAR_CLASSES;
        ::InitCommonControlsEx(&controls);  // a missing class shows when the window is created

        MainWindow window(instance);
        window.Create();
        // The unattended start-up runs here, before the window is shown.
        window.RunFormCreate(commandLine);
        window.Show();
        window.RunMessageLoop();
        exitStatus = ToInt(window.Form().Exit());
    } catch (const std::exception& e) {
        try {
            ShowFatal(WithFullStop(e.what()).c_str());
        } catch (...) {
            ShowFatal(e.what());
        }
    } catch (...) {
        ShowFatal("Unexpected error.");
    }
    return exitStatus;
}

}  // namespace app::win32
