// The real window, created under Wine on a virtual display. Each test gets a fresh window
// without the device backends installed, so the commands find no device.
#ifdef _WIN32

#include "app/win32/main_window.h"

#include <commctrl.h>
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "app/win32/layout.h"

namespace {

using namespace app::win32;

RECT RectInParent(HWND child) {
    RECT r;
    ::GetWindowRect(child, &r);
    ::MapWindowPoints(nullptr, ::GetParent(child), reinterpret_cast<POINT*>(&r), 2);
    return r;
}

std::string WindowText(HWND hwnd) {
    char text[256] = {};
    ::GetWindowTextA(hwnd, text, sizeof text);
    return text;
}

std::string ClassOf(HWND hwnd) {
    char name[64] = {};
    ::GetClassNameA(hwnd, name, sizeof name);
    return name;
}

std::string StatusText(HWND status, int part) {
    char text[256] = {};
    ::SendMessageA(status, SB_GETTEXTA, part, reinterpret_cast<LPARAM>(text));
    return text;
}

// Message boxes shown while a test runs: caption and text, closed at once by a hook.
struct BoxRecord {
    std::string caption;
    std::string text;
};
std::vector<BoxRecord>* g_boxes = nullptr;

BOOL CALLBACK CollectStaticText(HWND child, LPARAM out) {
    const std::string text = WindowText(child);
    if (ClassOf(child) == "Static" && !text.empty()) {
        *reinterpret_cast<std::string*>(out) += text;
    }
    return TRUE;
}

LRESULT CALLBACK BoxHook(int code, WPARAM wParam, LPARAM lParam) {
    if (code == HCBT_ACTIVATE && g_boxes != nullptr) {
        HWND box = reinterpret_cast<HWND>(wParam);
        if (ClassOf(box) == "#32770") {
            BoxRecord record{WindowText(box), {}};
            ::EnumChildWindows(box, CollectStaticText, reinterpret_cast<LPARAM>(&record.text));
            g_boxes->push_back(record);
            ::PostMessageA(box, WM_COMMAND, IDOK, 0);
        }
    }
    return ::CallNextHookEx(nullptr, code, wParam, lParam);
}

class MainWindowTest : public testing::Test {
  protected:
    void SetUp() override {
        INITCOMMONCONTROLSEX icc{sizeof icc, ICC_STANDARD_CLASSES | ICC_BAR_CLASSES};
        ::InitCommonControlsEx(&icc);
        window_.Create();
        g_boxes = &boxes_;
        hook_ = ::SetWindowsHookExA(WH_CBT, BoxHook, nullptr, ::GetCurrentThreadId());
    }
    void TearDown() override {
        if (hook_ != nullptr) ::UnhookWindowsHookEx(hook_);
        g_boxes = nullptr;
    }

    HWND Control(ControlId id) const { return window_.Control(id); }
    int S(int value) const { return Scale(value, window_.Dpi()); }
    void Scroll(int code) {
        ::SendMessageA(window_.Hwnd(), WM_HSCROLL, MAKEWPARAM(code, 0),
                       reinterpret_cast<LPARAM>(Control(kIdScrollBar1)));
    }

    MainWindow window_{::GetModuleHandleA(nullptr)};
    std::vector<BoxRecord> boxes_;
    HHOOK hook_ = nullptr;
};

TEST_F(MainWindowTest, FixedDialogWindowWithTheClientSizeAtItsPlace) {
    HWND hwnd = window_.Hwnd();
    EXPECT_EQ(WindowText(hwnd), "Kelvane 2022.6.9");
    const LONG_PTR style = ::GetWindowLongPtrA(hwnd, GWL_STYLE);
    EXPECT_EQ(style & (WS_THICKFRAME | WS_MINIMIZEBOX | WS_MAXIMIZEBOX), 0);
    EXPECT_NE(style & WS_CAPTION, 0);
    EXPECT_FALSE(::IsWindowVisible(hwnd)) << "shown only after the creation handler";
    RECT client;
    ::GetClientRect(hwnd, &client);
    EXPECT_EQ(client.right, S(kClientWidth));
    EXPECT_EQ(client.bottom, S(kClientHeight));
    RECT outer;
    ::GetWindowRect(hwnd, &outer);
    EXPECT_EQ(outer.left, kWindowLeft);
    EXPECT_EQ(outer.top, kWindowTop);
}

TEST_F(MainWindowTest, EveryControlHasItsPlaceKindAndText) {
    for (const ControlSpec& item : kControls) {
        HWND control = Control(item.id);
        ASSERT_NE(control, nullptr) << item.name;
        EXPECT_EQ(::GetDlgCtrlID(control), item.id) << item.name;
        const RECT r = RectInParent(control);
        EXPECT_EQ(r.left, S(item.left)) << item.name;
        EXPECT_EQ(r.top, S(item.top)) << item.name;
        if (item.kind != ControlKind::Label) {  // the label may grow to fit its text
            EXPECT_EQ(r.right - r.left, S(item.width)) << item.name;
            EXPECT_EQ(r.bottom - r.top, S(item.height)) << item.name;
        }
        if (item.kind != ControlKind::StatusBar && item.kind != ControlKind::ScrollBar) {
            EXPECT_EQ(WindowText(control), item.text) << item.name;
        }
    }
    EXPECT_EQ(ClassOf(Control(kIdEdit1)), "Edit");
    EXPECT_EQ(ClassOf(Control(kIdScrollBar1)), "ScrollBar");
    EXPECT_EQ(ClassOf(Control(kIdGauge1)), kGaugeClassName);
    EXPECT_EQ(ClassOf(Control(kIdStatusBar1)), STATUSCLASSNAMEA);
}

TEST_F(MainWindowTest, TabMovesThroughTheControlsInTabOrder) {
    const ControlId order[] = {kIdEdit1,   kIdButton1,    kIdButton2, kIdEdit2,   kIdButton3,
                               kIdButton4, kIdScrollBar1, kIdButton5, kIdButton6, kIdEdit1};
    HWND at = Control(order[0]);
    for (std::size_t i = 1; i < std::size(order); ++i) {
        at = ::GetNextDlgTabItem(window_.Hwnd(), at, FALSE);
        EXPECT_EQ(at, Control(order[i])) << "step " << i;
    }
}

TEST_F(MainWindowTest, StartsWithHiddenGaugeEmptyPanelsAndScrollBarAtZero) {
    EXPECT_EQ(::GetWindowLongPtrA(Control(kIdGauge1), GWL_STYLE) & WS_VISIBLE, 0);
    HWND status = Control(kIdStatusBar1);
    int edges[4] = {};
    ASSERT_EQ(::SendMessageA(status, SB_GETPARTS, 4, reinterpret_cast<LPARAM>(edges)), 2);
    EXPECT_EQ(edges[0], S(300));
    EXPECT_EQ(edges[1], S(300) + S(50));
    EXPECT_EQ(StatusText(status, 0), "");
    EXPECT_EQ(StatusText(status, 1), "");
    EXPECT_EQ(window_.ScrollPosition(), 0);
    EXPECT_EQ(window_.Edit1Text(), "0");
    EXPECT_EQ(window_.Edit2Text(), "2097152");
}

TEST_F(MainWindowTest, StatusGoesToPanelZeroOnly) {
    window_.SetStatus("No Device is Existing.");
    window_.SetStatus("Update FW Ok.");
    EXPECT_EQ(StatusText(Control(kIdStatusBar1), 0), "Update FW Ok.");
    EXPECT_EQ(StatusText(Control(kIdStatusBar1), 1), "");
}

TEST_F(MainWindowTest, NotesGoToPanelOneAndLeavePanelZeroAlone) {
    window_.SetStatus("No Device is Existing.");
    window_.SetStatus1("Limited");
    EXPECT_EQ(StatusText(Control(kIdStatusBar1), 0), "No Device is Existing.");
    EXPECT_EQ(StatusText(Control(kIdStatusBar1), 1), "Limited");
    window_.SetStatus1("");
    EXPECT_EQ(StatusText(Control(kIdStatusBar1), 1), "");
}

TEST_F(MainWindowTest, PanelOneNotesFitTheirNarrowPanel) {
    HWND status = Control(kIdStatusBar1);
    RECT panel{};
    ASSERT_TRUE(::SendMessageA(status, SB_GETRECT, 1, reinterpret_cast<LPARAM>(&panel)));
    HDC dc = ::GetDC(status);
    ASSERT_NE(dc, nullptr);
    const auto font = reinterpret_cast<HFONT>(::SendMessageA(status, WM_GETFONT, 0, 0));
    HGDIOBJ old = font != nullptr ? ::SelectObject(dc, font) : nullptr;
    for (const char* note : {app::kNoRightsPanelText, app::kWaitingPanelText}) {
        SIZE size{};
        ASSERT_TRUE(::GetTextExtentPoint32A(dc, note, static_cast<int>(std::strlen(note)), &size));
        // The status bar draws its text a few pixels inside the panel's border.
        EXPECT_LE(size.cx + S(6), panel.right - panel.left) << note;
    }
    if (old != nullptr) ::SelectObject(dc, old);
    ::ReleaseDC(status, dc);
}

struct ScrollCase {
    int start;
    int code;
    int position;
    const char* edit2;  // after the event; "typed" when no change event may follow
};

TEST_F(MainWindowTest, ScrollBarStepsByOneAndRaisesTheChangeOnlyOnAChange) {
    const ScrollCase cases[] = {
        {0, SB_LINERIGHT, 1, "1048576"}, {0, SB_PAGERIGHT, 1, "1048576"},
        {3, SB_LINELEFT, 2, "2097152"},  {3, SB_PAGELEFT, 2, "2097152"},
        {2, SB_RIGHT, 5, "16777216"},    {4, SB_LEFT, 0, "524288"},
        {0, SB_LINELEFT, 0, "typed"},    {5, SB_LINERIGHT, 5, "typed"},
        {5, SB_PAGERIGHT, 5, "typed"},   {3, SB_ENDSCROLL, 3, "typed"},
    };
    for (const ScrollCase& c : cases) {
        window_.SetScrollPosition(c.start);
        window_.SetEdit2Text("typed");
        Scroll(c.code);
        EXPECT_EQ(window_.ScrollPosition(), c.position) << c.start << " code " << c.code;
        EXPECT_EQ(window_.Edit2Text(), c.edit2) << c.start << " code " << c.code;
    }
}

TEST_F(MainWindowTest, SettingTheScrollPositionRaisesNoChangeAndStaysInRange) {
    window_.SetScrollPosition(3);
    EXPECT_EQ(window_.ScrollPosition(), 3);
    EXPECT_EQ(window_.Edit2Text(), "2097152");
    window_.SetScrollPosition(9);
    EXPECT_EQ(window_.ScrollPosition(), 5);
    window_.SetScrollPosition(-1);
    EXPECT_EQ(window_.ScrollPosition(), 0);
}

TEST_F(MainWindowTest, OkCancelAndClosingEndTheProgram) {
    for (ControlId button : {kIdButton1, kIdButton2}) {
        MainWindow window(::GetModuleHandleA(nullptr));
        window.Create();
        EXPECT_FALSE(window.EndRequested());
        ::SendMessageA(window.Control(button), BM_CLICK, 0, 0);
        EXPECT_TRUE(window.EndRequested()) << WindowText(window.Control(button));
    }
    ::SendMessageA(window_.Hwnd(), WM_CLOSE, 0, 0);
    EXPECT_TRUE(window_.EndRequested());
    // The loop returns at once once the end is requested.
    window_.RunMessageLoop();
}

TEST_F(MainWindowTest, EnterAndEscapeAreNotClicksOnOkOrCancel) {
    // What the dialog keyboard handling sends for Enter and Escape: no control attached.
    ::SendMessageA(window_.Hwnd(), WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
    ::SendMessageA(window_.Hwnd(), WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), 0);
    EXPECT_FALSE(window_.EndRequested());
}

TEST_F(MainWindowTest, EndRequestLeavesNoQuitMessageThatWouldCloseALaterErrorBox) {
    window_.RequestEnd();
    MSG msg;
    EXPECT_FALSE(::PeekMessageA(&msg, nullptr, WM_QUIT, WM_QUIT, PM_NOREMOVE));
    window_.ShowError("Unable to write to C:\\x\\result2.ini");
    ASSERT_EQ(boxes_.size(), 1u);
    EXPECT_EQ(boxes_[0].text, "Unable to write to C:\\x\\result2.ini");
}

TEST_F(MainWindowTest, ProcessMessagesDispatchesPendingEventsAndKeepsAQuitForTheLoop) {
    ::PostMessageA(window_.Hwnd(), WM_HSCROLL, MAKEWPARAM(SB_RIGHT, 0),
                   reinterpret_cast<LPARAM>(Control(kIdScrollBar1)));
    window_.ProcessMessages();
    EXPECT_EQ(window_.ScrollPosition(), 5);
    EXPECT_EQ(window_.Edit2Text(), "16777216");
    EXPECT_FALSE(window_.EndRequested());

    ::PostQuitMessage(7);
    window_.ProcessMessages();
    EXPECT_TRUE(window_.EndRequested());
    MSG msg;
    ASSERT_TRUE(::PeekMessageA(&msg, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE));
    EXPECT_EQ(msg.wParam, 7u);
}

TEST_F(MainWindowTest, MessageAndErrorBoxesCarryTheProgramTitle) {
    window_.ShowMessage("The Verision:1.23\r\n");
    window_.ShowError("Open file fail.");
    ASSERT_EQ(boxes_.size(), 2u);
    EXPECT_EQ(boxes_[0].caption, kProgramTitle);
    EXPECT_EQ(boxes_[0].text.rfind("The Verision:1.23", 0), 0u) << boxes_[0].text;
    EXPECT_EQ(boxes_[1].caption, kProgramTitle);
    EXPECT_EQ(boxes_[1].text, "Open file fail.");
}

TEST_F(MainWindowTest, AnErrorInAHandlerIsShownAndTheWindowStays) {
    // A length that is no number: the read-back raises its conversion error.
    ::SetWindowTextA(Control(kIdEdit2), "lots");
    ::SendMessageA(Control(kIdButton4), BM_CLICK, 0, 0);
    ASSERT_EQ(boxes_.size(), 1u);
    EXPECT_EQ(boxes_[0].caption, kProgramTitle);
    EXPECT_FALSE(boxes_[0].text.empty());
    EXPECT_EQ(boxes_[0].text.back(), '.');
    EXPECT_TRUE(::IsWindow(window_.Hwnd()));
    EXPECT_FALSE(window_.EndRequested());
}

TEST_F(MainWindowTest, GaugeKeepsItsRangeAndHidesAgain) {
    window_.SetGaugeMax(0);  // ignored
    window_.SetGaugeProgress(150);
    EXPECT_EQ(window_.GaugeProgress(), 100);
    window_.SetGaugeMax(1000);
    window_.SetGaugeProgress(-4);
    EXPECT_EQ(window_.GaugeProgress(), 0);
    window_.SetGaugeVisible(true);
    EXPECT_NE(::GetWindowLongPtrA(Control(kIdGauge1), GWL_STYLE) & WS_VISIBLE, 0);
    window_.SetGaugeVisible(false);
    EXPECT_EQ(::GetWindowLongPtrA(Control(kIdGauge1), GWL_STYLE) & WS_VISIBLE, 0);
}

TEST_F(MainWindowTest, GaugeDrawsAtOnceWithoutHandlingEvents) {
    window_.Show();
    window_.SetGaugeVisible(true);
    window_.SetGaugeMax(200);
    window_.SetGaugeProgress(100);  // no event is handled from here on
    HWND gauge = Control(kIdGauge1);
    RECT r;
    ::GetClientRect(gauge, &r);
    HDC dc = ::GetDC(gauge);
    const int y = r.bottom / 4;  // above the centred text
    const COLORREF border = ::GetPixel(dc, 0, y);
    const COLORREF filled = ::GetPixel(dc, r.right / 8, y);
    const COLORREF empty = ::GetPixel(dc, r.right * 7 / 8, y);
    window_.SetGaugeProgress(200);
    const COLORREF full = ::GetPixel(dc, r.right * 7 / 8, y);
    ::ReleaseDC(gauge, dc);
    EXPECT_EQ(border, RGB(0, 0, 0));
    EXPECT_EQ(filled, RGB(0, 0, 0));
    EXPECT_EQ(empty, RGB(255, 255, 255));
    EXPECT_EQ(full, RGB(0, 0, 0));
}

TEST_F(MainWindowTest, DpiChangeRescalesTheWindowAndEveryControl) {
    RECT suggested{100, 120, 900, 700};
    ::SendMessageA(window_.Hwnd(), WM_DPICHANGED, MAKEWPARAM(144, 144),
                   reinterpret_cast<LPARAM>(&suggested));
    EXPECT_EQ(window_.Dpi(), 144);
    RECT client;
    ::GetClientRect(window_.Hwnd(), &client);
    EXPECT_EQ(client.right, 696);
    EXPECT_EQ(client.bottom, 344);
    const RECT ok = RectInParent(Control(kIdButton1));
    EXPECT_EQ(ok.left, 576);
    EXPECT_EQ(ok.top, 12);
    EXPECT_EQ(ok.right - ok.left, 113);
    RECT outer;
    ::GetWindowRect(window_.Hwnd(), &outer);
    EXPECT_EQ(outer.left, 100);
    EXPECT_EQ(outer.top, 120);
    int edges[2] = {};
    ::SendMessageA(Control(kIdStatusBar1), SB_GETPARTS, 2, reinterpret_cast<LPARAM>(edges));
    EXPECT_EQ(edges[0], 450);
    EXPECT_EQ(edges[1], 525);
}

TEST_F(MainWindowTest, PickFileCancelledGivesNothing) {
    // The hook closes the dialog with IDOK as for a message box; with no file name typed the
    // dialog does not accept that, so cancel it explicitly.
    ::UnhookWindowsHookEx(hook_);
    hook_ = ::SetWindowsHookExA(
        WH_CBT,
        [](int code, WPARAM wParam, LPARAM lParam) -> LRESULT {
            if (code == HCBT_ACTIVATE && ClassOf(reinterpret_cast<HWND>(wParam)) == "#32770") {
                ::PostMessageA(reinterpret_cast<HWND>(wParam), WM_COMMAND, IDCANCEL, 0);
            }
            return ::CallNextHookEx(nullptr, code, wParam, lParam);
        },
        nullptr, ::GetCurrentThreadId());
    EXPECT_EQ(window_.PickFile("C:\\"), std::nullopt);
}

}  // namespace

#endif  // _WIN32
