// The DPI of the monitor a window is on, and window sizes for a client size at that DPI. The
// per-monitor calls exist from Windows 10 1607 on; older systems get the system DPI instead.
#pragma once

#include <windows.h>

namespace app::win32 {

// The window's DPI; the screen's when the system has no per-window DPI, 96 when it cannot tell.
int WindowDpi(HWND hwnd);

// The outer size of a window of the given styles whose client area is `clientWidth` x
// `clientHeight` physical pixels, with the frame measured at `dpi`.
SIZE WindowSizeForClient(int clientWidth, int clientHeight, DWORD style, DWORD exStyle, int dpi);

}  // namespace app::win32
