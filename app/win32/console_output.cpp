#include "app/win32/console_output.h"

namespace app::win32 {
namespace {

bool Usable(HANDLE handle) {
    return handle != nullptr && handle != INVALID_HANDLE_VALUE;
}

}  // namespace

ParentConsoleOutput::ParentConsoleOutput() {
    if (Usable(::GetStdHandle(STD_OUTPUT_HANDLE))) return;
    if (!::AttachConsole(ATTACH_PARENT_PROCESS)) return;
    attached_ = true;
    if (Usable(::GetStdHandle(STD_OUTPUT_HANDLE))) return;
    HANDLE output =
        ::CreateFileA("CONOUT$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                      nullptr, OPEN_EXISTING, 0, nullptr);
    if (!Usable(output)) return;
    ownOutput_ = output;
    ::SetStdHandle(STD_OUTPUT_HANDLE, output);
}

ParentConsoleOutput::~ParentConsoleOutput() {
    if (ownOutput_ != nullptr) {
        ::SetStdHandle(STD_OUTPUT_HANDLE, nullptr);
        ::CloseHandle(ownOutput_);
    }
    if (attached_) ::FreeConsole();
}

}  // namespace app::win32
