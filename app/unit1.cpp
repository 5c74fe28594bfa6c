#include "app/unit1.h"

#include <iterator>
#include <utility>

#include "app/flag_guard.h"
#include "app/program_folder.h"
#include "devlink/host_interface.h"
#include "platform/platform.h"

namespace app {
namespace {

// Sizes offered by the scroll bar, by position.
constexpr const char* kScrollSizes[] = {"524288",  "1048576", "2097152",
                                        "4194304", "8388608", "16777216"};
constexpr int kScrollSizeCount = static_cast<int>(std::size(kScrollSizes));
constexpr int kVersionScrollPosition = 2;

}  // namespace

std::string WithFullStop(const std::string& text) {
    if (!text.empty() && static_cast<unsigned char>(text.back()) > static_cast<unsigned char>('.'))
        return text + ".";
    return text;
}

TForm1::TForm1(View& view) : view_(view) {}

template <typename Routine>
bool TForm1::RunInFrame(Routine&& routine) {
    // RunCommand lets the window handle events, so a click could otherwise start a command
    // inside this one.
    if (commandRunning_) return false;
    FlagGuard running(commandRunning_);
    StopServiceCommand = ServiceStopLine;
    StartServiceCommand = ServiceStartLine;
    RunServiceCommand(StopServiceCommand);
    try {
        std::forward<Routine>(routine)();
    } catch (...) {
        RunServiceCommand(StartServiceCommand);
        throw;
    }
    RunServiceCommand(StartServiceCommand);
    return true;
}

void TForm1::RunServiceCommand(const std::string& commandLine) {
    if (!commandLine.empty()) RunCommand(commandLine);
}

int TForm1::FindChosenDevice() const {
    return ChosenDevice != 0 ? ChosenDevice : ZamoUSB_FindDevice();
}

int TForm1::OpenDevice() {
    const int handle = FindChosenDevice();
    if (handle == 0) {
        view_.SetStatus("No Device is Existing.");
        return 0;
    }
    if (ZamoUSB_ConnectToDevice(handle) == 0) {
        view_.SetStatus("Connect to Device Failed!");
        return 0;
    }
    platform::Sys().WriteStdout("Connect to Device Success!\r\n");
    return handle;
}

void TForm1::Button1Click() {
    view_.RequestEnd();
}

void TForm1::Button2Click() {
    view_.RequestEnd();
}

void TForm1::Button3Click() {
    if (commandRunning_) return;
    const std::string folder = ProgramFolder().value_or(std::string());
    const std::optional<std::string> path = view_.PickFile(folder);
    if (!path) return;
    RunInFrame([&] { UpdateFirmware(path->c_str()); });
}

void TForm1::Button4Click() {
    RunInFrame([&] { ReadFlash(); });
}

void TForm1::Button5Click() {
    RunInFrame([&] { SetCalibration(); });
}

void TForm1::Button6Click() {
    if (!RunInFrame([&] { QueryVersion(); })) return;
    // The change event follows only a real change of position.
    if (view_.ScrollPosition() == kVersionScrollPosition) return;
    view_.SetScrollPosition(kVersionScrollPosition);
    ScrollBar1Change();
}

void TForm1::ScrollBar1Change() {
    const int position = view_.ScrollPosition();
    if (position < 0 || position >= kScrollSizeCount) return;
    view_.SetEdit2Text(kScrollSizes[position]);
}

}  // namespace app
