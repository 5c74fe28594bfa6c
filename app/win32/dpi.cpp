#include "app/win32/dpi.h"

#include "app/win32/layout.h"

namespace app::win32 {
namespace {

using GetDpiForWindowFn = UINT(WINAPI*)(HWND);
using AdjustWindowRectExForDpiFn = BOOL(WINAPI*)(LPRECT, DWORD, BOOL, DWORD, UINT);

// Looked up at run time so the program still starts where user32 lacks them.
template <typename Fn>
Fn User32Function(const char* name) {
    HMODULE user32 = ::GetModuleHandleA("user32.dll");
    if (user32 == nullptr) return nullptr;
    FARPROC proc = ::GetProcAddress(user32, name);
    // Through the generic function pointer type, which the cast-function-type check accepts.
    return reinterpret_cast<Fn>(reinterpret_cast<void (*)()>(proc));
}

int ScreenDpi() {
    HDC screen = ::GetDC(nullptr);
    if (screen == nullptr) return kBaseDpi;
    const int dpi = ::GetDeviceCaps(screen, LOGPIXELSY);
    ::ReleaseDC(nullptr, screen);
    return dpi > 0 ? dpi : kBaseDpi;
}

}  // namespace

int WindowDpi(HWND hwnd) {
    static const auto getDpiForWindow = User32Function<GetDpiForWindowFn>("GetDpiForWindow");
    if (getDpiForWindow != nullptr && hwnd != nullptr) {
        const UINT dpi = getDpiForWindow(hwnd);
        if (dpi != 0) return static_cast<int>(dpi);
    }
    return ScreenDpi();
}

SIZE WindowSizeForClient(int clientWidth, int clientHeight, DWORD style, DWORD exStyle, int dpi) {
    static const auto adjustForDpi =
        User32Function<AdjustWindowRectExForDpiFn>("AdjustWindowRectExForDpi");
    RECT rect{0, 0, clientWidth, clientHeight};
    BOOL ok = FALSE;
    if (adjustForDpi != nullptr) {
        ok = adjustForDpi(&rect, style, FALSE, exStyle, static_cast<UINT>(dpi));
    }
    if (!ok) ::AdjustWindowRectEx(&rect, style, FALSE, exStyle);
    return SIZE{rect.right - rect.left, rect.bottom - rect.top};
}

}  // namespace app::win32
