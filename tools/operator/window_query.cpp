#include "tools/operator/window_query.h"

namespace op {
namespace {

struct TopLevelSearch {
    DWORD pid;
    std::vector<HWND> found;
};

BOOL CALLBACK CollectTopLevel(HWND window, LPARAM param) {
    auto* search = reinterpret_cast<TopLevelSearch*>(param);
    DWORD pid = 0;
    ::GetWindowThreadProcessId(window, &pid);
    if (pid == search->pid && ::IsWindowVisible(window)) search->found.push_back(window);
    return TRUE;
}

}  // namespace

std::string ClassOf(HWND window) {
    char name[256] = {};
    const int n = ::GetClassNameA(window, name, sizeof name);
    return std::string(name, n > 0 ? static_cast<std::size_t>(n) : 0);
}

std::optional<std::string> TextOf(HWND window, UINT timeoutMs) {
    constexpr UINT kFlags = SMTO_BLOCK | SMTO_ABORTIFHUNG;
    DWORD_PTR length = 0;
    if (!::SendMessageTimeoutA(window, WM_GETTEXTLENGTH, 0, 0, kFlags, timeoutMs, &length)) {
        return std::nullopt;
    }
    std::string text(length + 1, '\0');
    DWORD_PTR copied = 0;
    if (!::SendMessageTimeoutA(window, WM_GETTEXT, text.size(),
                               reinterpret_cast<LPARAM>(text.data()), kFlags, timeoutMs, &copied)) {
        return std::nullopt;
    }
    text.resize(copied < text.size() ? copied : text.size() - 1);
    return text;
}

std::vector<HWND> TopLevelWindows(DWORD pid) {
    TopLevelSearch search{pid, {}};
    ::EnumWindows(CollectTopLevel, reinterpret_cast<LPARAM>(&search));
    return search.found;
}

std::vector<HWND> Children(HWND parent) {
    std::vector<HWND> children;
    for (HWND child = ::GetWindow(parent, GW_CHILD); child != nullptr;
         child = ::GetWindow(child, GW_HWNDNEXT)) {
        children.push_back(child);
    }
    return children;
}

RECT RectInClient(HWND child, HWND parent) {
    RECT r{};
    ::GetWindowRect(child, &r);
    ::MapWindowPoints(nullptr, parent, reinterpret_cast<POINT*>(&r), 2);
    return r;
}

POINT ScreenCentre(HWND window) {
    RECT r{};
    ::GetWindowRect(window, &r);
    return POINT{(r.left + r.right) / 2, (r.top + r.bottom) / 2};
}

bool IsShown(HWND window) {
    return (::GetWindowLongPtrA(window, GWL_STYLE) & WS_VISIBLE) != 0;
}

std::string Escaped(const std::string& text) {
    std::string out;
    for (char c : text) {
        switch (c) {
            case '\r':
                out += "\\r";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\t':
                out += "\\t";
                break;
            default:
                out += c;
        }
    }
    return out;
}

}  // namespace op
