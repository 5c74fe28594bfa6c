// The progress gauge CGauge1 as a small control of its own: a single-line border, filled black
// from the left on white, the whole percentage centred, readable over both parts.
#pragma once

#include <windows.h>

#include <cstdint>

#include "app/win32/gauge_model.h"

namespace app::win32 {

inline constexpr const char* kGaugeClassName = "TCGauge";

// What one gauge shows; owned by the window that creates the gauge and handed to it at
// creation (the lpParam of CreateWindowEx), so it must outlive the control.
struct GaugeState {
    GaugeModel model;
    HFONT font = nullptr;  // not owned: the parent's font, set with WM_SETFONT
};

// Registers the gauge's window class once per process; false when registration failed.
bool RegisterGaugeClass(HINSTANCE instance);

// Creates a hidden gauge child window drawing `state`.
HWND CreateGauge(HWND parent, int id, HINSTANCE instance, GaugeState& state);

// Redraws the gauge at once: the window handles no events during a device exchange, so an
// invalidated gauge would otherwise not repaint until the transfer ends.
void RedrawGaugeNow(HWND gauge);

}  // namespace app::win32
