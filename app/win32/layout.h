// The main window's layout: every control with its identifier, place and size at 96 DPI, its
// tab order and initial text. Kept free of Win32 so the table can be checked on any host; the
// operator program of the end-to-end tests finds controls by these identifiers.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>

namespace app::win32 {

inline constexpr const char* kCaption = "Kelvane 2022.6.9";
// Caption of message and error boxes.
inline constexpr const char* kProgramTitle = "Kelvane";

inline constexpr int kBaseDpi = 96;
inline constexpr int kWindowLeft = 296;
inline constexpr int kWindowTop = 289;
inline constexpr int kClientWidth = 464;
inline constexpr int kClientHeight = 229;

// The font: character height in pixels at 96 DPI.
inline constexpr const char* kFontFace = "MS Sans Serif";
inline constexpr int kFontHeight = 11;

// Status bar panel widths at 96 DPI; panel 0 takes every status text.
inline constexpr std::array<int, 2> kStatusPanelWidths = {300, 50};

// Scroll bar range; the form logic maps each position to a size.
inline constexpr int kScrollMin = 0;
inline constexpr int kScrollMax = 5;

enum class ControlKind { Button, Label, Edit, ScrollBar, Gauge, StatusBar };

// Identifiers start well above IDOK (1) and IDCANCEL (2): the dialog keyboard handling sends
// those for Enter and Escape, which must not be taken for clicks on "Ok" or "Cancel".
enum ControlId : int {
    kIdEdit1 = 1001,
    kIdButton1 = 1002,
    kIdButton2 = 1003,
    kIdEdit2 = 1004,
    kIdButton3 = 1005,
    kIdButton4 = 1006,
    kIdScrollBar1 = 1007,
    kIdButton5 = 1008,
    kIdButton6 = 1009,
    kIdLabel1 = 1010,
    kIdGauge1 = 1011,
    kIdStatusBar1 = 1012,
};

struct ControlSpec {
    ControlId id;
    const char* name;
    ControlKind kind;
    int left;
    int top;
    int width;
    int height;
    int tabOrder;  // -1: not a tab stop
    const char* text;
};

// In creation order, which is the tab order: the dialog keyboard handling moves through tab
// stops in the order the controls were created.
inline constexpr std::array<ControlSpec, 12> kControls = {{
    {kIdEdit1, "Edit1", ControlKind::Edit, 8, 104, 121, 21, 0, "0"},
    {kIdButton1, "Button1", ControlKind::Button, 384, 8, 75, 25, 1, "Ok"},
    {kIdButton2, "Button2", ControlKind::Button, 384, 40, 75, 25, 2, "Cancel"},
    {kIdEdit2, "Edit2", ControlKind::Edit, 136, 104, 121, 21, 3, "2097152"},
    {kIdButton3, "Button3", ControlKind::Button, 272, 16, 75, 25, 4, "UpdateFW"},
    {kIdButton4, "Button4", ControlKind::Button, 272, 112, 75, 25, 5, "Read Flash"},
    {kIdScrollBar1, "ScrollBar1", ControlKind::ScrollBar, 136, 72, 121, 17, 7, ""},
    {kIdButton5, "Button5", ControlKind::Button, 272, 48, 75, 25, 8, "DoCalibration"},
    {kIdButton6, "Button6", ControlKind::Button, 272, 80, 75, 25, 9, "Get Version"},
    {kIdLabel1, "Label1", ControlKind::Label, 8, 72, 38, 13, -1, "Address"},
    {kIdGauge1, "CGauge1", ControlKind::Gauge, 8, 160, 337, 33, -1, ""},
    {kIdStatusBar1, "StatusBar1", ControlKind::StatusBar, 0, 200, 464, 29, -1, ""},
}};

inline constexpr std::optional<std::size_t> IndexOf(ControlId id) {
    for (std::size_t i = 0; i < kControls.size(); ++i) {
        if (kControls[i].id == id) return i;
    }
    return std::nullopt;
}

// A length at 96 DPI scaled to `dpi`, rounded to the nearest pixel (as MulDiv rounds).
inline constexpr int Scale(int value, int dpi) {
    const std::int64_t product = static_cast<std::int64_t>(value) * dpi;
    const std::int64_t half = kBaseDpi / 2;
    return static_cast<int>(product >= 0 ? (product + half) / kBaseDpi
                                         : -((-product + half) / kBaseDpi));
}

}  // namespace app::win32
