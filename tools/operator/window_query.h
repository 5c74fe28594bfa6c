// Looking at the windows of another process: finding them, their class, text and place.
// Text goes through WM_GETTEXT with a time-out, so a program busy on a device exchange (which
// handles no messages) delays the reader but never hangs it.
#pragma once

#include <windows.h>

#include <optional>
#include <string>
#include <vector>

namespace op {

std::string ClassOf(HWND window);

// The window's text, or nothing when the window does not answer within `timeoutMs`.
std::optional<std::string> TextOf(HWND window, UINT timeoutMs = 2000);

// The visible top-level windows of process `pid`, topmost first.
std::vector<HWND> TopLevelWindows(DWORD pid);

// The direct children of `parent` in z-order, which is their creation order.
std::vector<HWND> Children(HWND parent);

// The child's rectangle relative to the client area of `parent`.
RECT RectInClient(HWND child, HWND parent);

// The centre of the window on the screen.
POINT ScreenCentre(HWND window);

bool IsShown(HWND window);

// The text with carriage returns, line feeds and tabs written as \r, \n and \t, so that one
// observation stays on one output line.
std::string Escaped(const std::string& text);

}  // namespace op
