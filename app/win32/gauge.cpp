#include "app/win32/gauge.h"

namespace app::win32 {
namespace {

GaugeState* StateOf(HWND hwnd) {
    return reinterpret_cast<GaugeState*>(::GetWindowLongPtrA(hwnd, GWLP_USERDATA));
}

void DrawCentredText(HDC dc, const RECT& area, const RECT& clip, COLORREF colour, const char* text,
                     int length) {
    const int saved = ::SaveDC(dc);
    ::IntersectClipRect(dc, clip.left, clip.top, clip.right, clip.bottom);
    ::SetTextColor(dc, colour);
    RECT box = area;
    ::DrawTextA(dc, text, length, &box, DT_CENTER | DT_VCENTER | DT_SINGLELINE | DT_NOPREFIX);
    ::RestoreDC(dc, saved);
}

void Paint(HWND hwnd, const GaugeState& state) {
    PAINTSTRUCT ps;
    HDC dc = ::BeginPaint(hwnd, &ps);
    if (dc == nullptr) return;

    RECT outer;
    ::GetClientRect(hwnd, &outer);
    auto* black = static_cast<HBRUSH>(::GetStockObject(BLACK_BRUSH));
    auto* white = static_cast<HBRUSH>(::GetStockObject(WHITE_BRUSH));
    ::FrameRect(dc, &outer, black);

    RECT inner = outer;
    ::InflateRect(&inner, -1, -1);
    RECT filled = inner;
    filled.right = inner.left + state.model.FilledWidth(inner.right - inner.left);
    RECT empty = inner;
    empty.left = filled.right;
    // Every pixel is painted exactly once (the background is not erased), so no flicker.
    if (filled.right > filled.left) ::FillRect(dc, &filled, black);
    if (empty.right > empty.left) ::FillRect(dc, &empty, white);

    char text[16];
    const int length = state.model.FormatPercent(text, sizeof text);
    HGDIOBJ oldFont = state.font != nullptr ? ::SelectObject(dc, state.font) : nullptr;
    ::SetBkMode(dc, TRANSPARENT);
    // Black over the white part, white over the black part: readable wherever the fill ends.
    DrawCentredText(dc, inner, empty, RGB(0, 0, 0), text, length);
    DrawCentredText(dc, inner, filled, RGB(255, 255, 255), text, length);
    if (oldFont != nullptr) ::SelectObject(dc, oldFont);

    ::EndPaint(hwnd, &ps);
}

LRESULT CALLBACK GaugeProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    switch (msg) {
        case WM_NCCREATE: {
            const auto* create = reinterpret_cast<const CREATESTRUCTA*>(lParam);
            ::SetWindowLongPtrA(hwnd, GWLP_USERDATA,
                                reinterpret_cast<LONG_PTR>(create->lpCreateParams));
            break;
        }
        case WM_NCDESTROY:
            ::SetWindowLongPtrA(hwnd, GWLP_USERDATA, 0);
            break;
        case WM_ERASEBKGND:
            return 1;
        case WM_PAINT:
            if (const GaugeState* state = StateOf(hwnd)) {
                Paint(hwnd, *state);
                return 0;
            }
            break;
        case WM_SETFONT:
            if (GaugeState* state = StateOf(hwnd)) {
                state->font = reinterpret_cast<HFONT>(wParam);
                if (LOWORD(lParam) != 0) ::InvalidateRect(hwnd, nullptr, FALSE);
            }
            return 0;
        case WM_GETFONT:
            if (const GaugeState* state = StateOf(hwnd)) {
                return reinterpret_cast<LRESULT>(state->font);
            }
            return 0;
        default:
            break;
    }
    return ::DefWindowProcA(hwnd, msg, wParam, lParam);
}

}  // namespace

bool RegisterGaugeClass(HINSTANCE instance) {
    WNDCLASSEXA existing{};
    existing.cbSize = sizeof existing;
    if (::GetClassInfoExA(instance, kGaugeClassName, &existing)) return true;

    WNDCLASSEXA wc{};
    wc.cbSize = sizeof wc;
    wc.style = CS_HREDRAW | CS_VREDRAW;
    wc.lpfnWndProc = GaugeProc;
    wc.hInstance = instance;
    wc.hCursor = ::LoadCursorA(nullptr, IDC_ARROW);
    wc.lpszClassName = kGaugeClassName;
    return ::RegisterClassExA(&wc) != 0;
}

HWND CreateGauge(HWND parent, int id, HINSTANCE instance, GaugeState& state) {
    return ::CreateWindowExA(0, kGaugeClassName, "", WS_CHILD, 0, 0, 0, 0, parent,
                             reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), instance, &state);
}

void RedrawGaugeNow(HWND gauge) {
    if (gauge == nullptr) return;
    ::InvalidateRect(gauge, nullptr, FALSE);
    ::UpdateWindow(gauge);
}

}  // namespace app::win32
