#include "app/win32/main_window.h"

#include <commctrl.h>
#include <commdlg.h>

#include <cstring>
#include <stdexcept>

#include "app/win32/dpi.h"

namespace app::win32 {
namespace {

constexpr const char* kWindowClassName = "TForm1";
// Fixed dialog border: no resizing, no minimise or maximise box.
constexpr DWORD kStyle = WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_CLIPCHILDREN;
constexpr DWORD kExStyle = WS_EX_DLGMODALFRAME | WS_EX_CONTROLPARENT | WS_EX_APPWINDOW;

// Room for any path the file dialog can return; the form logic decides what fits its buffer.
constexpr DWORD kFileDialogBufferSize = 32768;

HFONT CreateWindowFont(int dpi) {
    HFONT font = ::CreateFontA(-Scale(kFontHeight, dpi), 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE,
                               DEFAULT_CHARSET, OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS,
                               DEFAULT_QUALITY, DEFAULT_PITCH | FF_SWISS, kFontFace);
    if (font != nullptr) return font;
    // The system's message font, at the same height, where the face is unavailable.
    NONCLIENTMETRICSA metrics{};
    metrics.cbSize = sizeof metrics;
    if (::SystemParametersInfoA(SPI_GETNONCLIENTMETRICS, sizeof metrics, &metrics, 0)) {
        metrics.lfMessageFont.lfHeight = -Scale(kFontHeight, dpi);
        return ::CreateFontIndirectA(&metrics.lfMessageFont);
    }
    return nullptr;
}

SIZE TextExtent(HWND control, HFONT font, const char* text) {
    SIZE extent{0, 0};
    HDC dc = ::GetDC(control);
    if (dc == nullptr) return extent;
    HGDIOBJ old = ::SelectObject(dc, font);
    ::GetTextExtentPoint32A(dc, text, static_cast<int>(std::strlen(text)), &extent);
    ::SelectObject(dc, old);
    ::ReleaseDC(control, dc);
    return extent;
}

HMENU AsMenu(ControlId id) {
    return reinterpret_cast<HMENU>(static_cast<INT_PTR>(id));
}

// A last resort for an error that escaped outside RunHandler: never throws.
void ReportUnexpected(HWND owner, const char* text) noexcept {
    ::MessageBoxA(owner, text, kProgramTitle, MB_OK | MB_ICONERROR);
}

}  // namespace

MainWindow::MainWindow(HINSTANCE instance) : instance_(instance), form_(*this) {}

MainWindow::~MainWindow() {
    if (hwnd_ != nullptr) ::DestroyWindow(hwnd_);
}

void MainWindow::Create() {
    if (hwnd_ != nullptr) return;
    WNDCLASSEXA existing{};
    existing.cbSize = sizeof existing;
    if (!::GetClassInfoExA(instance_, kWindowClassName, &existing)) {
        WNDCLASSEXA wc{};
        wc.cbSize = sizeof wc;
        wc.lpfnWndProc = &MainWindow::WindowProc;
        wc.hInstance = instance_;
        wc.hIcon = ::LoadIconA(nullptr, IDI_APPLICATION);
        wc.hCursor = ::LoadCursorA(nullptr, IDC_ARROW);
        wc.hbrBackground = reinterpret_cast<HBRUSH>(static_cast<INT_PTR>(COLOR_BTNFACE + 1));
        wc.lpszClassName = kWindowClassName;
        if (::RegisterClassExA(&wc) == 0) {
            throw std::runtime_error("The main window's class cannot be registered");
        }
    }
    if (!RegisterGaugeClass(instance_)) {
        throw std::runtime_error("The gauge's class cannot be registered");
    }

    // The size is set once the window's DPI is known.
    ::CreateWindowExA(kExStyle, kWindowClassName, kCaption, kStyle, kWindowLeft, kWindowTop,
                      kClientWidth, kClientHeight, nullptr, nullptr, instance_, this);
    if (hwnd_ == nullptr) throw std::runtime_error("The main window cannot be created");
    CreateControls();
    ApplyDpi(WindowDpi(hwnd_));
}

void MainWindow::CreateControls() {
    for (std::size_t i = 0; i < kControls.size(); ++i) {
        const ControlSpec& item = kControls[i];
        HWND control = CreateControl(item);
        if (control == nullptr) {
            throw std::runtime_error(std::string("The control ") + item.name +
                                     " cannot be created");
        }
        controls_[i] = control;
    }
}

HWND MainWindow::CreateControl(const ControlSpec& item) {
    switch (item.kind) {
        case ControlKind::Edit:
            return ::CreateWindowExA(WS_EX_CLIENTEDGE, "EDIT", item.text,
                                     WS_CHILD | WS_VISIBLE | WS_TABSTOP | ES_LEFT | ES_AUTOHSCROLL,
                                     0, 0, 0, 0, hwnd_, AsMenu(item.id), instance_, nullptr);
        case ControlKind::Button:
            return ::CreateWindowExA(0, "BUTTON", item.text,
                                     WS_CHILD | WS_VISIBLE | WS_TABSTOP | BS_PUSHBUTTON, 0, 0, 0, 0,
                                     hwnd_, AsMenu(item.id), instance_, nullptr);
        case ControlKind::Label:
            return ::CreateWindowExA(0, "STATIC", item.text,
                                     WS_CHILD | WS_VISIBLE | SS_LEFT | SS_NOPREFIX, 0, 0, 0, 0,
                                     hwnd_, AsMenu(item.id), instance_, nullptr);
        case ControlKind::ScrollBar: {
            HWND control =
                ::CreateWindowExA(0, "SCROLLBAR", "", WS_CHILD | WS_VISIBLE | WS_TABSTOP | SBS_HORZ,
                                  0, 0, 0, 0, hwnd_, AsMenu(item.id), instance_, nullptr);
            if (control != nullptr) InitScrollBar(control);
            return control;
        }
        case ControlKind::Gauge:
            return CreateGauge(hwnd_, item.id, instance_, gauge_);
        case ControlKind::StatusBar:
            // Placed by the layout like every other control, not docked by itself.
            return ::CreateWindowExA(
                0, STATUSCLASSNAMEA, "",
                WS_CHILD | WS_VISIBLE | CCS_NORESIZE | CCS_NOPARENTALIGN | CCS_NODIVIDER, 0, 0, 0,
                0, hwnd_, AsMenu(item.id), instance_, nullptr);
    }
    return nullptr;
}

void MainWindow::InitScrollBar(HWND scrollBar) {
    SCROLLINFO info{};
    info.cbSize = sizeof info;
    info.fMask = SIF_RANGE | SIF_POS | SIF_PAGE;
    info.nMin = kScrollMin;
    info.nMax = kScrollMax;
    info.nPage = 0;
    info.nPos = kScrollMin;
    ::SetScrollInfo(scrollBar, SB_CTL, &info, TRUE);
}

void MainWindow::ApplyDpi(int dpi) {
    dpi_ = dpi > 0 ? dpi : kBaseDpi;
    GdiFont font(CreateWindowFont(dpi_));
    HFONT shown =
        font.get() != nullptr ? font.get() : static_cast<HFONT>(::GetStockObject(DEFAULT_GUI_FONT));
    for (std::size_t i = 0; i < kControls.size(); ++i) {
        const ControlSpec& item = kControls[i];
        SIZE size{Scale(item.width, dpi_), Scale(item.height, dpi_)};
        // The label sizes itself to its text, so a wider substitute font does not cut it off.
        if (item.kind == ControlKind::Label) {
            const SIZE text = TextExtent(controls_[i], shown, item.text);
            if (text.cx > size.cx) size.cx = text.cx;
            if (text.cy > size.cy) size.cy = text.cy;
        }
        // SWP_NOZORDER keeps the creation order, which is the tab order.
        ::SetWindowPos(controls_[i], nullptr, Scale(item.left, dpi_), Scale(item.top, dpi_),
                       size.cx, size.cy, SWP_NOZORDER | SWP_NOACTIVATE);
        ::SendMessageA(controls_[i], WM_SETFONT, reinterpret_cast<WPARAM>(shown), TRUE);
    }
    if (HWND status = Control(kIdStatusBar1)) {
        int edges[kStatusPanelWidths.size()];
        int right = 0;
        for (std::size_t i = 0; i < kStatusPanelWidths.size(); ++i) {
            right += Scale(kStatusPanelWidths[i], dpi_);
            edges[i] = right;
        }
        ::SendMessageA(status, SB_SETPARTS, kStatusPanelWidths.size(),
                       reinterpret_cast<LPARAM>(edges));
    }
    // The controls use the new font now; the old one goes only after that.
    font_ = std::move(font);
    ResizeToClient();
}

void MainWindow::ResizeToClient() {
    const int width = Scale(kClientWidth, dpi_);
    const int height = Scale(kClientHeight, dpi_);
    SIZE size = WindowSizeForClient(width, height, kStyle, kExStyle, dpi_);
    constexpr UINT kFlags = SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE;
    ::SetWindowPos(hwnd_, nullptr, 0, 0, size.cx, size.cy, kFlags);
    // The frame actually drawn may differ from the computed one (its metrics can lag a DPI
    // change): correct by what the client area came out as.
    RECT client;
    if (::GetClientRect(hwnd_, &client) && (client.right != width || client.bottom != height)) {
        size.cx += width - client.right;
        size.cy += height - client.bottom;
        ::SetWindowPos(hwnd_, nullptr, 0, 0, size.cx, size.cy, kFlags);
    }
}

void MainWindow::RunFormCreate(const char* commandLine) {
    RunHandler(*this, [&] { form_.FormCreate(commandLine); });
}

void MainWindow::Show() {
    if (hwnd_ == nullptr) return;
    ::ShowWindow(hwnd_, SW_SHOWNORMAL);
    ::UpdateWindow(hwnd_);
    RunHandler(*this, [&] { form_.FormShow(); });
}

void MainWindow::RunMessageLoop() {
    MSG msg;
    while (!endRequested_) {
        const BOOL got = ::GetMessageA(&msg, nullptr, 0, 0);
        if (got == 0 || got == -1) break;  // WM_QUIT, or no queue left to read
        Dispatch(msg);
    }
    endRequested_ = true;
}

void MainWindow::Dispatch(MSG& msg) {
    // The dialog keyboard handling gives Tab, Shift+Tab and the arrow keys their dialog meaning.
    if (hwnd_ != nullptr && ::IsDialogMessageA(hwnd_, &msg)) return;
    ::TranslateMessage(&msg);
    ::DispatchMessageA(&msg);
}

HWND MainWindow::Control(ControlId id) const {
    const std::optional<std::size_t> index = IndexOf(id);
    return index ? controls_[*index] : nullptr;
}

std::string MainWindow::TextOf(ControlId id) const {
    HWND control = Control(id);
    if (control == nullptr) return {};
    const int length = ::GetWindowTextLengthA(control);
    if (length <= 0) return {};
    std::string text(static_cast<std::size_t>(length) + 1, '\0');
    const int copied = ::GetWindowTextA(control, text.data(), length + 1);
    text.resize(copied > 0 ? static_cast<std::size_t>(copied) : 0);
    return text;
}

// --- View -----------------------------------------------------------------------------------

void MainWindow::SetStatus(const std::string& text) {
    if (HWND status = Control(kIdStatusBar1)) {
        ::SendMessageA(status, SB_SETTEXTA, 0, reinterpret_cast<LPARAM>(text.c_str()));
    }
}

void MainWindow::SetStatus1(const std::string& text) {
    if (HWND status = Control(kIdStatusBar1)) {
        ::SendMessageA(status, SB_SETTEXTA, 1, reinterpret_cast<LPARAM>(text.c_str()));
    }
}

void MainWindow::SetCommandsEnabled(bool enabled) {
    static constexpr ControlId kCommands[] = {kIdButton3, kIdButton4, kIdButton5, kIdButton6};
    HWND focus = ::GetFocus();
    if (!enabled) {
        commandFocus_ = nullptr;
        for (ControlId id : kCommands) {
            if (focus != nullptr && Control(id) == focus) commandFocus_ = focus;
        }
    }
    for (ControlId id : kCommands) {
        if (HWND button = Control(id)) ::EnableWindow(button, enabled ? TRUE : FALSE);
    }
    if (!enabled) return;
    // A greyed button loses the focus; it gets it back if nothing else took it meanwhile.
    if (commandFocus_ != nullptr && ::GetFocus() == nullptr && ::GetActiveWindow() == hwnd_) {
        ::SetFocus(commandFocus_);
    }
    commandFocus_ = nullptr;
}

void MainWindow::SetGaugeVisible(bool visible) {
    HWND gauge = Control(kIdGauge1);
    if (gauge == nullptr) return;
    // The style bit, not IsWindowVisible: the gauge is shown before its parent is, by the
    // unattended work inside the creation handler.
    const bool shown = (::GetWindowLongPtrA(gauge, GWL_STYLE) & WS_VISIBLE) != 0;
    if (shown == visible) return;
    ::ShowWindow(gauge, visible ? SW_SHOWNA : SW_HIDE);
    // Drawn at once either way: no events are handled during a transfer.
    if (visible) {
        RedrawGaugeNow(gauge);
    } else {
        ::UpdateWindow(hwnd_);
    }
}

void MainWindow::SetGaugeMax(std::int64_t maximum) {
    const std::int64_t before = gauge_.model.Max();
    gauge_.model.SetMax(maximum);
    if (gauge_.model.Max() != before) RedrawGaugeNow(Control(kIdGauge1));
}

void MainWindow::SetGaugeProgress(std::int64_t progress) {
    if (gauge_.model.SetProgress(progress)) RedrawGaugeNow(Control(kIdGauge1));
}

std::int64_t MainWindow::GaugeProgress() const {
    return gauge_.model.Progress();
}

std::string MainWindow::Edit1Text() const {
    return TextOf(kIdEdit1);
}

std::string MainWindow::Edit2Text() const {
    return TextOf(kIdEdit2);
}

void MainWindow::SetEdit2Text(const std::string& text) {
    if (HWND edit = Control(kIdEdit2)) ::SetWindowTextA(edit, text.c_str());
}

int MainWindow::ScrollPosition() const {
    HWND bar = Control(kIdScrollBar1);
    return bar != nullptr ? ::GetScrollPos(bar, SB_CTL) : kScrollMin;
}

void MainWindow::SetScrollPosition(int position) {
    HWND bar = Control(kIdScrollBar1);
    if (bar == nullptr) return;
    if (position < kScrollMin) position = kScrollMin;
    if (position > kScrollMax) position = kScrollMax;
    // SetScrollPos sends no notification, so no change event is raised here.
    ::SetScrollPos(bar, SB_CTL, position, TRUE);
}

void MainWindow::ShowMessage(const std::string& text) {
    ::MessageBoxA(hwnd_, text.c_str(), kProgramTitle, MB_OK);
}

void MainWindow::ShowError(const std::string& text) {
    ::MessageBoxA(hwnd_, text.c_str(), kProgramTitle, MB_OK | MB_ICONERROR);
}

std::optional<std::string> MainWindow::PickFile(const std::string& initialDir) {
    std::string path(kFileDialogBufferSize, '\0');
    OPENFILENAMEA dialog{};
    dialog.lStructSize = sizeof dialog;
    dialog.hwndOwner = hwnd_;
    dialog.lpstrFile = path.data();
    dialog.nMaxFile = kFileDialogBufferSize;
    dialog.lpstrInitialDir = initialDir.empty() ? nullptr : initialDir.c_str();
    dialog.Flags = OFN_EXPLORER | OFN_HIDEREADONLY | OFN_ENABLESIZING;
    if (!::GetOpenFileNameA(&dialog)) return std::nullopt;
    path.resize(std::strlen(path.c_str()));
    if (path.empty()) return std::nullopt;
    return path;
}

void MainWindow::ProcessMessages() {
    MSG msg;
    while (::PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
        if (msg.message == WM_QUIT) {
            // Not ours to swallow: the outer loop must see it too.
            endRequested_ = true;
            ::PostQuitMessage(static_cast<int>(msg.wParam));
            return;
        }
        Dispatch(msg);
    }
}

void MainWindow::RequestEnd() {
    // A flag rather than a quit message: a pending quit would close at once any message box
    // still to be shown (the error box of the unattended start-up) before the user sees it.
    endRequested_ = true;
    // Wakes the loop should it be waiting for a message.
    if (hwnd_ != nullptr) ::PostMessageA(hwnd_, WM_NULL, 0, 0);
}

// --- Messages -------------------------------------------------------------------------------

LRESULT CALLBACK MainWindow::WindowProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    MainWindow* self = nullptr;
    if (msg == WM_NCCREATE) {
        self = static_cast<MainWindow*>(reinterpret_cast<CREATESTRUCTA*>(lParam)->lpCreateParams);
        self->hwnd_ = hwnd;
        ::SetWindowLongPtrA(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(self));
    } else {
        self = reinterpret_cast<MainWindow*>(::GetWindowLongPtrA(hwnd, GWLP_USERDATA));
    }
    if (self == nullptr) return ::DefWindowProcA(hwnd, msg, wParam, lParam);
    if (msg == WM_NCDESTROY) {
        ::SetWindowLongPtrA(hwnd, GWLP_USERDATA, 0);
        self->hwnd_ = nullptr;
        self->controls_.fill(nullptr);
        self->lastFocus_ = nullptr;
        self->endRequested_ = true;
        return ::DefWindowProcA(hwnd, msg, wParam, lParam);
    }
    try {
        return self->HandleMessage(msg, wParam, lParam);
    } catch (const std::exception& e) {
        ReportUnexpected(hwnd, e.what());
    } catch (...) {
        ReportUnexpected(hwnd, "Unexpected error.");
    }
    return 0;
}

LRESULT MainWindow::HandleMessage(UINT msg, WPARAM wParam, LPARAM lParam) {
    switch (msg) {
        case WM_COMMAND:
            OnCommand(LOWORD(wParam), HIWORD(wParam), reinterpret_cast<HWND>(lParam));
            return 0;
        case WM_HSCROLL:
            OnHScroll(LOWORD(wParam), reinterpret_cast<HWND>(lParam));
            return 0;
        case WM_DPICHANGED:
            OnDpiChanged(HIWORD(wParam), reinterpret_cast<const RECT*>(lParam));
            return 0;
        case WM_ACTIVATE:
            // Focus returns to the control that had it when the window is activated again.
            if (LOWORD(wParam) == WA_INACTIVE) {
                HWND focus = ::GetFocus();
                if (focus != nullptr && ::IsChild(hwnd_, focus)) lastFocus_ = focus;
            }
            break;
        case WM_SETFOCUS: {
            HWND target =
                lastFocus_ != nullptr && ::IsWindow(lastFocus_) ? lastFocus_ : Control(kIdEdit1);
            if (target != nullptr) ::SetFocus(target);
            return 0;
        }
        case WM_CLOSE:
            // Ends the loop once the handler running now (if any) has returned; the window
            // goes with the program.
            RequestEnd();
            return 0;
        default:
            break;
    }
    return ::DefWindowProcA(hwnd_, msg, wParam, lParam);
}

void MainWindow::OnCommand(int id, int code, HWND control) {
    // Enter and Escape arrive as IDOK and IDCANCEL without a control: not clicks.
    if (control == nullptr || code != BN_CLICKED) return;
    switch (id) {
        case kIdButton1:
            RunHandler(*this, [&] { form_.Button1Click(); });
            break;
        case kIdButton2:
            RunHandler(*this, [&] { form_.Button2Click(); });
            break;
        case kIdButton3:
            RunHandler(*this, [&] { form_.Button3Click(); });
            break;
        case kIdButton4:
            RunHandler(*this, [&] { form_.Button4Click(); });
            break;
        case kIdButton5:
            RunHandler(*this, [&] { form_.Button5Click(); });
            break;
        case kIdButton6:
            RunHandler(*this, [&] { form_.Button6Click(); });
            break;
        default:
            break;
    }
}

void MainWindow::OnHScroll(int code, HWND control) {
    HWND bar = Control(kIdScrollBar1);
    if (bar == nullptr || control != bar) return;
    SCROLLINFO info{};
    info.cbSize = sizeof info;
    info.fMask = SIF_ALL;
    if (!::GetScrollInfo(bar, SB_CTL, &info)) return;
    int position = info.nPos;
    switch (code) {
        case SB_LINELEFT:
        case SB_PAGELEFT:  // the page step is 1, as the arrow step
            --position;
            break;
        case SB_LINERIGHT:
        case SB_PAGERIGHT:
            ++position;
            break;
        case SB_LEFT:
            position = kScrollMin;
            break;
        case SB_RIGHT:
            position = kScrollMax;
            break;
        case SB_THUMBTRACK:
        case SB_THUMBPOSITION:
            position = info.nTrackPos;
            break;
        default:
            return;
    }
    if (position < kScrollMin) position = kScrollMin;
    if (position > kScrollMax) position = kScrollMax;
    if (position == info.nPos) return;
    ::SetScrollPos(bar, SB_CTL, position, TRUE);
    RunHandler(*this, [&] { form_.ScrollBar1Change(); });
}

void MainWindow::OnDpiChanged(int dpi, const RECT* suggested) {
    ApplyDpi(dpi);
    if (suggested != nullptr) {
        ::SetWindowPos(hwnd_, nullptr, suggested->left, suggested->top, 0, 0,
                       SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
    }
}

}  // namespace app::win32
