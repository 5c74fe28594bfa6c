#include "tools/operator/session.h"

#include <commctrl.h>
#include <dlgs.h>

#include <cstdio>
#include <map>

#include "app/win32/layout.h"
#include "tools/operator/input.h"
#include "tools/operator/remote_buffer.h"
#include "tools/operator/script.h"
#include "tools/operator/window_query.h"

namespace op {
namespace {

constexpr unsigned long kDefaultWaitMs = 10000;
constexpr unsigned long kWindowWaitMs = 30000;
// A closed window still lets its command frame start the service again first, and a loaded
// machine can take many seconds to start a process under Wine.
constexpr unsigned long kExitWaitMs = 60000;
// A command frame runs "net stop stisvc" and "net start stisvc". Under Wine a console program
// started without a window brings a console host of its own into the job, so each service command
// is two processes there and a frame four.
constexpr unsigned kProcessesPerFrame = 4;
// How often a wait looks at the window again; job messages end a pause early.
constexpr DWORD kPollMs = 50;

std::string RectText(const RECT& r) {
    return std::to_string(r.left) + "," + std::to_string(r.top) + "," +
           std::to_string(r.right - r.left) + "," + std::to_string(r.bottom - r.top);
}

bool HasChildOfClass(HWND parent, const char* const* classes) {
    for (HWND child : Children(parent)) {
        const std::string name = ClassOf(child);
        for (const char* const* c = classes; *c != nullptr; ++c) {
            if (name == *c) return true;
        }
        if (HasChildOfClass(child, classes)) return true;
    }
    return false;
}

bool IsFileDialog(HWND dialog) {
    static const char* const kFileControls[] = {"ComboBox", "ComboBoxEx32", "Edit", nullptr};
    return HasChildOfClass(dialog, kFileControls);
}

HWND FirstDescendantOfClass(HWND parent, const std::string& name) {
    for (HWND child : Children(parent)) {
        if (ClassOf(child) == name && IsShown(child)) return child;
        if (HWND found = FirstDescendantOfClass(child, name)) return found;
    }
    return nullptr;
}

int ScrollPos(HWND bar) {
    return ::GetScrollPos(bar, SB_CTL);
}

}  // namespace

// --- plumbing -------------------------------------------------------------------------------

void Session::Say(const std::string& kind, const std::string& text) {
    std::printf("%s: %s\n", kind.c_str(), Escaped(text).c_str());
    std::fflush(stdout);
}

bool Session::Fail(const std::string& kind, const std::string& text) {
    Say(kind, text);
    return false;
}

bool Session::FailWait(Wait outcome, const std::string& what) {
    if (outcome == Wait::Exited) {
        const auto code = target_.ExitCode();
        return Fail("exited", std::to_string(code ? *code : 0) + " while waiting for " + what);
    }
    return Fail("timeout", what);
}

void Session::Collect(DWORD waitMs) {
    target_.DrainOutput([this](const std::string& line) { Say("stdout", line); });
    target_.Job().Drain(waitMs, [this](unsigned number, const std::string& path) {
        Say("child", "started " + std::to_string(number));
        // Informative only: a process that ends at once is often gone before it can be named.
        if (!path.empty()) Say("note", "child " + std::to_string(number) + " is " + path);
    });
}

template <typename Condition>
Session::Wait Session::WaitFor(DWORD ms, Condition condition) {
    const ULONGLONG deadline = ::GetTickCount64() + ms;
    for (;;) {
        Collect();
        if (condition()) {
            // What happened before the condition came true is reported before it.
            Collect();
            return Wait::Met;
        }
        if (target_.ExitCode()) return Wait::Exited;
        if (::GetTickCount64() >= deadline) return Wait::TimedOut;
        Collect(kPollMs);
    }
}

bool Session::MainWindow(DWORD ms) {
    if (main_ != nullptr && ::IsWindow(main_)) return true;
    main_ = nullptr;
    const Wait outcome = WaitFor(ms, [this] {
        for (HWND window : TopLevelWindows(target_.Id())) {
            char caption[256] = {};
            ::GetWindowTextA(window, caption, sizeof caption);
            if (std::string(caption) == app::win32::kCaption) {
                main_ = window;
                return true;
            }
        }
        return false;
    });
    return outcome == Wait::Met ||
           FailWait(outcome, std::string("the window \"") + app::win32::kCaption + "\"");
}

HWND Session::Control(const std::string& nameOrCaption) const {
    for (const app::win32::ControlSpec& item : app::win32::kControls) {
        if (nameOrCaption == item.name) return ::GetDlgItem(main_, item.id);
    }
    // Otherwise a button by its caption as the window shows it.
    for (HWND child : Children(main_)) {
        if (ClassOf(child) != "Button") continue;
        const auto text = TextOf(child);
        if (text && *text == nameOrCaption) return child;
    }
    return nullptr;
}

HWND Session::FindBox() const {
    for (HWND window : TopLevelWindows(target_.Id())) {
        if (ClassOf(window) == "#32770" && !IsFileDialog(window)) return window;
    }
    return nullptr;
}

HWND Session::FindFileDialog() const {
    for (HWND window : TopLevelWindows(target_.Id())) {
        if (ClassOf(window) == "#32770" && IsFileDialog(window)) return window;
    }
    return nullptr;
}

std::string Session::StatusNow(bool* answered) const {
    HWND status = ::GetDlgItem(main_, app::win32::kIdStatusBar1);
    const auto text = StatusPanelText(target_.Process(), status, 0, 500);
    if (answered != nullptr) *answered = text.has_value();
    return text.value_or(std::string());
}

bool Session::ClickWindow(HWND window, const std::string& what) {
    if (window == nullptr || !IsShown(window)) return Fail("error", "no " + what + " to click");
    std::string error;
    if (!ClickAt(ScreenCentre(window), error)) {
        return Fail("error", "clicking " + what + ": " + error);
    }
    return true;
}

bool Session::TypeInto(HWND edit, const std::string& text, std::string& how) {
    std::string error;
    if (!ClickAt(ScreenCentre(edit), error)) return Fail("error", "clicking the field: " + error);
    DWORD_PTR ignored = 0;
    const UINT flags = SMTO_BLOCK | SMTO_ABORTIFHUNG;
    // Keys go where the keyboard focus is: wait for the click to put it into the field.
    const DWORD thread = ::GetWindowThreadProcessId(edit, nullptr);
    const Wait focused = WaitFor(kDefaultWaitMs, [&] {
        GUITHREADINFO info{};
        info.cbSize = sizeof info;
        return ::GetGUIThreadInfo(thread, &info) && info.hwndFocus == edit;
    });
    if (focused == Wait::Exited) return FailWait(focused, "the field to take the focus");
    if (focused == Wait::TimedOut) {
        // No keyboard focus to be had: set the text instead. No key is sent, so none can arrive
        // late and change the text behind the check.
        how = "WM_SETTEXT";
        ::SendMessageTimeoutA(edit, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text.c_str()), flags,
                              2000, &ignored);
        return TextOf(edit) == text ||
               Fail("error",
                    "the field reads '" + TextOf(edit).value_or("?") + "', not '" + text + "'");
    }
    // Select the field's text so typing replaces it. By keys, not by a message: a message
    // could overtake the click's own input, whose button-up then moves the caret again.
    if (!SelectAllByKeys(text.empty(), error)) return Fail("error", "selecting: " + error);
    if (!text.empty() && !TypeText(text, error)) return Fail("error", "typing: " + error);
    how = "keys";
    std::string seen;
    const Wait typed =
        WaitFor(kDefaultWaitMs, [&] { return (seen = TextOf(edit).value_or("?")) == text; });
    if (typed != Wait::Met) {
        return FailWait(typed, "the field to read '" + text + "'; it reads '" + seen + "'");
    }
    return true;
}

// --- commands -------------------------------------------------------------------------------

bool Session::Run(const std::string& line) {
    const auto [verb, args] = SplitFirstWord(line);
    if (verb.empty() || verb[0] == '#') return true;
    // Typed text is taken as it stands, trailing blanks included (a script's CR aside).
    rawArgs_ = line.substr(line.find(verb) + verb.size());
    if (!rawArgs_.empty() && rawArgs_.back() == '\r') rawArgs_.pop_back();
    if (!rawArgs_.empty()) rawArgs_.erase(0, 1);
    std::printf("> %s\n", Escaped(line).c_str());
    std::fflush(stdout);
    using Handler = bool (Session::*)(const std::string&);
    static const std::map<std::string, Handler> kCommands = {
        {"wait-window", &Session::WaitWindow},
        {"click", &Session::Click},
        {"scroll", &Session::Scroll},
        {"type", &Session::Type},
        {"dialog", &Session::Dialog},
        {"wait-status", &Session::WaitStatus},
        {"read-status", &Session::ReadStatus},
        {"read-edit", &Session::ReadEdit},
        {"wait-edit", &Session::WaitEdit},
        {"read-scroll", &Session::ReadScroll},
        {"wait-scroll", &Session::WaitScroll},
        {"read-layout", &Session::ReadLayout},
        {"read-messagebox", &Session::ReadMessageBox},
        {"close-messagebox", &Session::CloseMessageBox},
        {"no-messagebox", &Session::NoMessageBox},
        {"close", &Session::Close},
        {"wait-exit", &Session::WaitExit},
        {"wait-children", &Session::WaitChildren},
        {"wait-frames", &Session::WaitFrames},
        {"wait-file", &Session::WaitFile},
        {"wait-visible", &Session::WaitVisible},
        {"kill", &Session::Kill},
    };
    const auto command = kCommands.find(verb);
    if (command == kCommands.end()) return Fail("error", "unknown command '" + verb + "'");
    return (this->*command->second)(args);
}

bool Session::WaitWindow(const std::string& args) {
    const auto ms = ParseMs(args, kWindowWaitMs);
    if (!ms) return Fail("error", "wait-window takes a time in ms");
    if (!MainWindow(*ms)) return false;
    Say("window", app::win32::kCaption);
    return true;
}

bool Session::Click(const std::string& args) {
    if (!MainWindow(kWindowWaitMs)) return false;
    HWND control = Control(args);
    // The program greys its command buttons until the command before has quite ended; a click
    // before then would be ignored.
    if (control != nullptr) {
        const Wait enabled =
            WaitFor(kWindowWaitMs, [&] { return ::IsWindowEnabled(control) != 0; });
        if (enabled != Wait::Met) return FailWait(enabled, "control '" + args + "' to be enabled");
    }
    return ClickWindow(control, "control '" + args + "'");
}

bool Session::Scroll(const std::string& args) {
    const auto [direction, countText] = SplitFirstWord(args);
    const auto count = ParseMs(countText, 1);
    if ((direction != "left" && direction != "right") || !count) {
        return Fail("error", "scroll takes left or right and a count");
    }
    if (!MainWindow(kWindowWaitMs)) return false;
    HWND bar = ::GetDlgItem(main_, app::win32::kIdScrollBar1);
    if (bar == nullptr) return Fail("error", "no scroll bar");
    for (unsigned long i = 0; i < *count; ++i) {
        RECT r{};
        ::GetWindowRect(bar, &r);
        // The arrows are at least as wide as half the bar's height at either end.
        const int inset = (r.bottom - r.top) / 2;
        const POINT arrow{direction == "left" ? r.left + inset : r.right - 1 - inset,
                          (r.top + r.bottom) / 2};
        const int before = ScrollPos(bar);
        SCROLLINFO range{};
        range.cbSize = sizeof range;
        range.fMask = SIF_RANGE;
        ::GetScrollInfo(bar, SB_CTL, &range);
        // At the end it points to, the arrow moves nothing, so there is nothing to wait for;
        // input is taken in order, so the next command's clicks still come after this one.
        const bool atEnd = direction == "left" ? before <= range.nMin : before >= range.nMax;
        std::string error;
        if (!ClickAt(arrow, error)) return Fail("error", "clicking the arrow: " + error);
        if (atEnd) continue;
        const Wait moved = WaitFor(kDefaultWaitMs, [&] { return ScrollPos(bar) != before; });
        if (moved != Wait::Met) return FailWait(moved, "the scroll bar to move");
    }
    Say("scroll", std::to_string(ScrollPos(bar)));
    return true;
}

bool Session::Type(const std::string& args) {
    const std::string name = SplitFirstWord(args).first;
    // TEXT starts after the one blank that follows the field's name.
    const std::size_t at = rawArgs_.find(name) + name.size();
    const std::string text = at < rawArgs_.size() ? rawArgs_.substr(at + 1) : std::string();
    if (!MainWindow(kWindowWaitMs)) return false;
    HWND edit = Control(name);
    if (edit == nullptr || ClassOf(edit) != "Edit") return Fail("error", "no field '" + name + "'");
    std::string how;
    if (!TypeInto(edit, text, how)) return false;
    Say("typed", name + "|" + text + (how == "keys" ? "" : "|by " + how));
    return true;
}

bool Session::Dialog(const std::string& args) {
    const auto [answer, ms] = SplitTrailingMs(args, kDefaultWaitMs);
    if (answer.empty()) return Fail("error", "dialog takes a path or cancel");
    HWND dialog = nullptr;
    Wait shown = WaitFor(ms, [&] { return (dialog = FindFileDialog()) != nullptr; });
    if (shown != Wait::Met) return FailWait(shown, "the file dialog");
    char caption[256] = {};
    ::GetWindowTextA(dialog, caption, sizeof caption);
    Say("dialog", caption);
    if (answer == "cancel") {
        // Escape, once the dialog is active: a key goes to the dialog whatever it still does
        // after it is shown, while a click right after it appears can be undone by a late focus
        // change between button down and up.
        const Wait active = WaitFor(ms, [&] {
            return ::GetForegroundWindow() == dialog && ::IsWindowEnabled(dialog) &&
                   IsShown(dialog);
        });
        if (active != Wait::Met) return FailWait(active, "the file dialog to be active");
        std::string error;
        if (!PressKey(VK_ESCAPE, error)) return Fail("error", "pressing Escape: " + error);
    } else {
        // The file name box: an edit of its own, or the edit inside a combo box.
        HWND name = ::GetDlgItem(dialog, edt1);
        if (name == nullptr || !IsShown(name)) {
            HWND combo = ::GetDlgItem(dialog, cmb13);
            name = combo != nullptr ? FirstDescendantOfClass(combo, "Edit") : nullptr;
        }
        if (name == nullptr) name = FirstDescendantOfClass(dialog, "Edit");
        if (name == nullptr) return Fail("error", "the file dialog has no file name box");
        std::string how;
        if (!TypeInto(name, answer, how)) return false;
        if (how != "keys") Say("note", "the file name went in by " + how);
        if (!ClickWindow(::GetDlgItem(dialog, IDOK), "the dialog's Open button")) return false;
    }
    const Wait gone = WaitFor(ms, [&] { return !::IsWindow(dialog) || !IsShown(dialog); });
    if (gone != Wait::Met) return FailWait(gone, "the file dialog to close");
    Say("dialog", answer == "cancel" ? "cancelled" : "opened " + answer);
    return true;
}

bool Session::WaitStatus(const std::string& args) {
    const auto [expected, ms] = SplitTrailingMs(args, kDefaultWaitMs);
    if (!MainWindow(kWindowWaitMs)) return false;
    std::string seen;
    const Wait outcome = WaitFor(ms, [&] { return (seen = StatusNow()) == expected; });
    if (outcome != Wait::Met) {
        return FailWait(outcome, "status '" + expected + "'; it reads '" + seen + "'");
    }
    Say("status", seen);
    return true;
}

bool Session::ReadStatus(const std::string&) {
    if (!MainWindow(kWindowWaitMs)) return false;
    bool answered = false;
    std::string text;
    const Wait outcome = WaitFor(kDefaultWaitMs, [&] {
        text = StatusNow(&answered);
        return answered;
    });
    if (outcome != Wait::Met) return FailWait(outcome, "the status bar to answer");
    Say("status", text);
    return true;
}

bool Session::ReadEdit(const std::string& args) {
    if (!MainWindow(kWindowWaitMs)) return false;
    HWND edit = Control(args);
    if (edit == nullptr) return Fail("error", "no field '" + args + "'");
    std::optional<std::string> text;
    const Wait outcome =
        WaitFor(kDefaultWaitMs, [&] { return (text = TextOf(edit, 500)).has_value(); });
    if (outcome != Wait::Met) return FailWait(outcome, "the field '" + args + "' to answer");
    Say("edit", args + "|" + *text);
    return true;
}

bool Session::WaitEdit(const std::string& args) {
    const auto [name, rest] = SplitFirstWord(args);
    const auto [expected, ms] = SplitTrailingMs(rest, kDefaultWaitMs);
    if (!MainWindow(kWindowWaitMs)) return false;
    HWND edit = Control(name);
    if (edit == nullptr) return Fail("error", "no field '" + name + "'");
    std::string seen;
    const Wait outcome =
        WaitFor(ms, [&] { return (seen = TextOf(edit, 500).value_or("")) == expected; });
    if (outcome != Wait::Met) {
        return FailWait(outcome, name + " '" + expected + "'; it reads '" + seen + "'");
    }
    Say("edit", name + "|" + seen);
    return true;
}

bool Session::ReadScroll(const std::string&) {
    if (!MainWindow(kWindowWaitMs)) return false;
    Say("scroll", std::to_string(ScrollPos(::GetDlgItem(main_, app::win32::kIdScrollBar1))));
    return true;
}

bool Session::WaitScroll(const std::string& args) {
    const auto [position, ms] = SplitTrailingMs(args, kDefaultWaitMs);
    if (!MainWindow(kWindowWaitMs)) return false;
    HWND bar = ::GetDlgItem(main_, app::win32::kIdScrollBar1);
    const std::string expected = position;
    const Wait outcome = WaitFor(ms, [&] { return std::to_string(ScrollPos(bar)) == expected; });
    if (outcome != Wait::Met) {
        return FailWait(outcome, "scroll position " + expected + "; it stands at " +
                                     std::to_string(ScrollPos(bar)));
    }
    Say("scroll", expected);
    return true;
}

bool Session::ReadLayout(const std::string&) {
    if (!MainWindow(kWindowWaitMs)) return false;
    RECT window{};
    RECT client{};
    ::GetWindowRect(main_, &window);
    ::GetClientRect(main_, &client);
    const LONG_PTR style = ::GetWindowLongPtrA(main_, GWL_STYLE);
    // The caption of another process's window is read without a message to it, so a busy
    // program cannot make the read time out.
    char caption[256] = {};
    ::GetWindowTextA(main_, caption, sizeof caption);
    Say("window", std::string(caption) + "|client " + std::to_string(client.right) + "x" +
                      std::to_string(client.bottom) + "|at " + std::to_string(window.left) + "," +
                      std::to_string(window.top));
    Say("frame", std::string((style & WS_THICKFRAME) ? "sizable" : "fixed") +
                     ((style & WS_MINIMIZEBOX) ? "|minimize" : "") +
                     ((style & WS_MAXIMIZEBOX) ? "|maximize" : ""));
    for (HWND child : Children(main_)) {
        std::string line = ClassOf(child) + "|" + TextOf(child).value_or("?") + "|" +
                           RectText(RectInClient(child, main_));
        if (!IsShown(child)) line += "|hidden";
        Say("control", line);
    }
    HWND status = ::GetDlgItem(main_, app::win32::kIdStatusBar1);
    if (const auto widths = StatusPanelWidths(target_.Process(), status)) {
        std::string list;
        for (std::size_t i = 0; i < widths->size(); ++i) {
            const auto text = StatusPanelText(target_.Process(), status, static_cast<int>(i));
            list += (i ? "," : "") + std::to_string((*widths)[i]) + "'" + text.value_or("?") + "'";
        }
        Say("panels", list);
    }
    HWND bar = ::GetDlgItem(main_, app::win32::kIdScrollBar1);
    SCROLLINFO info{};
    info.cbSize = sizeof info;
    info.fMask = SIF_ALL;
    if (bar != nullptr && ::GetScrollInfo(bar, SB_CTL, &info)) {
        Say("scrollbar", "range " + std::to_string(info.nMin) + ".." + std::to_string(info.nMax) +
                             "|position " + std::to_string(info.nPos));
    }
    return true;
}

bool Session::ReadMessageBox(const std::string& args) {
    const auto ms = ParseMs(args, kDefaultWaitMs);
    if (!ms) return Fail("error", "read-messagebox takes a time in ms");
    HWND box = nullptr;
    const Wait outcome = WaitFor(*ms, [&] { return (box = FindBox()) != nullptr; });
    if (outcome != Wait::Met) return FailWait(outcome, "a message box");
    std::string text;
    bool icon = false;
    // Only the box's own thread fills it in, before it shows the box: wait until it is shown
    // and its text is there.
    const Wait filled = WaitFor(kDefaultWaitMs, [&] {
        text.clear();
        if (!IsShown(box)) return false;
        for (HWND child : Children(box)) {
            if (ClassOf(child) != "Static") continue;
            DWORD_PTR handle = 0;
            if ((::GetWindowLongPtrA(child, GWL_STYLE) & SS_TYPEMASK) == SS_ICON) {
                icon = ::SendMessageTimeoutA(child, STM_GETICON, 0, 0, SMTO_ABORTIFHUNG, 1000,
                                             &handle) &&
                       handle != 0;
            } else {
                text += TextOf(child).value_or("");
            }
        }
        return !text.empty();
    });
    if (filled != Wait::Met) return FailWait(filled, "the message box to show its text");
    Say(icon ? "errorbox" : "messagebox", TextOf(box).value_or("?") + "|" + text);
    return true;
}

bool Session::CloseMessageBox(const std::string& args) {
    const auto ms = ParseMs(args, kDefaultWaitMs);
    if (!ms) return Fail("error", "close-messagebox takes a time in ms");
    HWND box = nullptr;
    Wait outcome = WaitFor(*ms, [&] { return (box = FindBox()) != nullptr; });
    if (outcome != Wait::Met) return FailWait(outcome, "a message box");
    HWND ok = ::GetDlgItem(box, IDOK);
    if (ok == nullptr) ok = FirstDescendantOfClass(box, "Button");
    if (!ClickWindow(ok, "the box's button")) return false;
    outcome = WaitFor(*ms, [&] { return !::IsWindow(box) || !IsShown(box); });
    // The program may end as soon as its box is closed: that is no failure here.
    if (outcome == Wait::TimedOut) return FailWait(outcome, "the message box to close");
    Say("closed", "message box");
    return true;
}

bool Session::NoMessageBox(const std::string& args) {
    // Checked now, not over a while: a box that has not come yet proves nothing. Scripts ask
    // after a condition that a box would have come before (the command frame has ended).
    if (!args.empty()) return Fail("error", "no-messagebox takes no time; wait for a condition");
    Collect();
    if (HWND box = FindBox()) return Fail("unexpected", "message box " + TextOf(box).value_or("?"));
    Say("no-messagebox", "none");
    return true;
}

bool Session::Close(const std::string&) {
    if (!MainWindow(kWindowWaitMs)) return false;
    // What the close box in the caption does.
    ::PostMessageA(main_, WM_SYSCOMMAND, SC_CLOSE, 0);
    return true;
}

bool Session::WaitExit(const std::string& args) {
    const auto ms = ParseMs(args, kExitWaitMs);
    if (!ms) return Fail("error", "wait-exit takes a time in ms");
    const Wait outcome = WaitFor(*ms, [] { return false; });
    if (outcome != Wait::Exited) return FailWait(outcome, "the program to end");
    target_.DrainOutput([this](const std::string& line) { Say("stdout", line); }, true);
    Say("exit", std::to_string(*target_.ExitCode()));
    return true;
}

bool Session::WaitEnded(unsigned count, DWORD ms, const std::string& what) {
    ProcessJob& job = target_.Job();
    // Children may outlive the program, so its end does not end this wait.
    const ULONGLONG deadline = ::GetTickCount64() + ms;
    Collect();
    while (job.Ended() < count && ::GetTickCount64() < deadline) Collect(kPollMs);
    const std::string counts =
        std::to_string(job.Started()) + " started, " + std::to_string(job.Ended()) + " ended";
    if (job.Ended() < count) return Fail("timeout", what + " (" + counts + ")");
    // Nothing else starts while the script waits, so more than that is a fault, not a race.
    if (job.Started() != count) {
        return Fail("unexpected", counts + ", expected " + std::to_string(count));
    }
    Say("children", counts);
    return true;
}

bool Session::WaitChildren(const std::string& args) {
    const auto [countText, ms] = SplitTrailingMs(args, kDefaultWaitMs);
    const auto count = ParseMs(countText, 0);
    if (countText.empty() || !count) return Fail("error", "wait-children takes a count");
    return WaitEnded(static_cast<unsigned>(*count), ms,
                     std::to_string(*count) + " programs started by the program to end");
}

bool Session::WaitFrames(const std::string& args) {
    const auto [countText, ms] = SplitTrailingMs(args, kDefaultWaitMs);
    const auto count = ParseMs(countText, 0);
    if (countText.empty() || !count) return Fail("error", "wait-frames takes a count");
    return WaitEnded(static_cast<unsigned>(*count) * kProcessesPerFrame, ms,
                     std::to_string(*count) + " command frames to end");
}

bool Session::WaitFile(const std::string& args) {
    const auto [path, ms] = SplitTrailingMs(args, kDefaultWaitMs);
    if (path.empty()) return Fail("error", "wait-file takes a path");
    const Wait outcome =
        WaitFor(ms, [&] { return ::GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES; });
    if (outcome != Wait::Met) return FailWait(outcome, "the file " + path);
    Say("file", path);
    return true;
}

bool Session::WaitVisible(const std::string& args) {
    const auto [name, ms] = SplitTrailingMs(args, kDefaultWaitMs);
    if (!MainWindow(kWindowWaitMs)) return false;
    HWND control = Control(name);
    if (control == nullptr) return Fail("error", "no control '" + name + "'");
    const Wait outcome = WaitFor(ms, [&] { return IsShown(control); });
    if (outcome != Wait::Met) return FailWait(outcome, name + " to be shown");
    Say("visible", name);
    return true;
}

bool Session::Kill(const std::string&) {
    if (target_.ExitCode()) return Fail("error", "the program has already ended");
    // As a crash or the task manager ends it: no clean-up of its own runs.
    target_.Terminate();
    Say("killed", std::to_string(target_.ExitCode().value_or(0)));
    return true;
}

void Session::Finish() {
    Collect();
    target_.DrainOutput([this](const std::string& line) { Say("stdout", line); }, true);
    Say("children", std::to_string(target_.Job().Started()) + " started, " +
                        std::to_string(target_.Job().Ended()) + " ended");
    if (target_.Started() && !target_.ExitCode()) {
        target_.Terminate();
        Say("end", "the program was still running; ended it");
    }
}

}  // namespace op
