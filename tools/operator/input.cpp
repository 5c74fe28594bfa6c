#include "tools/operator/input.h"

#include <vector>

namespace op {
namespace {

bool Send(std::vector<INPUT>& inputs, std::string& error) {
    const UINT sent = ::SendInput(static_cast<UINT>(inputs.size()), inputs.data(), sizeof(INPUT));
    if (sent != inputs.size()) {
        error = "SendInput injected " + std::to_string(sent) + " of " +
                std::to_string(inputs.size()) + " events (error " +
                std::to_string(::GetLastError()) + ")";
        return false;
    }
    return true;
}

INPUT MouseInput(DWORD flags, LONG dx = 0, LONG dy = 0) {
    INPUT in{};
    in.type = INPUT_MOUSE;
    in.mi.dx = dx;
    in.mi.dy = dy;
    in.mi.dwFlags = flags;
    return in;
}

// Absolute mouse coordinates run from 0 to 65535 across the primary screen.
LONG Normalised(LONG value, int extent) {
    if (extent <= 1) return 0;
    return static_cast<LONG>((static_cast<long long>(value) * 65535 + (extent - 1) / 2) /
                             (extent - 1));
}

INPUT KeyInput(WORD key, DWORD flags) {
    INPUT in{};
    in.type = INPUT_KEYBOARD;
    in.ki.wVk = key;
    in.ki.dwFlags = flags;
    return in;
}

}  // namespace

bool ClickAt(POINT screen, std::string& error) {
    const int width = ::GetSystemMetrics(SM_CXSCREEN);
    const int height = ::GetSystemMetrics(SM_CYSCREEN);
    std::vector<INPUT> move{MouseInput(MOUSEEVENTF_MOVE | MOUSEEVENTF_ABSOLUTE,
                                       Normalised(screen.x, width), Normalised(screen.y, height))};
    if (!Send(move, error)) return false;
    POINT at{};
    if (!::GetCursorPos(&at) || at.x != screen.x || at.y != screen.y) {
        // Rounding of the normalised coordinates can miss by a pixel: put it there exactly.
        ::SetCursorPos(screen.x, screen.y);
        if (!::GetCursorPos(&at) || at.x != screen.x || at.y != screen.y) {
            error = "the cursor went to " + std::to_string(at.x) + "," + std::to_string(at.y) +
                    " instead of " + std::to_string(screen.x) + "," + std::to_string(screen.y);
            return false;
        }
    }
    std::vector<INPUT> press{MouseInput(MOUSEEVENTF_LEFTDOWN), MouseInput(MOUSEEVENTF_LEFTUP)};
    return Send(press, error);
}

bool SelectAllByKeys(bool erase, std::string& error) {
    const DWORD ext = KEYEVENTF_EXTENDEDKEY;
    std::vector<INPUT> keys{KeyInput(VK_HOME, ext),
                            KeyInput(VK_HOME, ext | KEYEVENTF_KEYUP),
                            KeyInput(VK_SHIFT, 0),
                            KeyInput(VK_END, ext),
                            KeyInput(VK_END, ext | KEYEVENTF_KEYUP),
                            KeyInput(VK_SHIFT, KEYEVENTF_KEYUP)};
    if (erase) {
        keys.push_back(KeyInput(VK_DELETE, ext));
        keys.push_back(KeyInput(VK_DELETE, ext | KEYEVENTF_KEYUP));
    }
    return Send(keys, error);
}

bool PressKey(WORD key, std::string& error) {
    std::vector<INPUT> keys{KeyInput(key, 0), KeyInput(key, KEYEVENTF_KEYUP)};
    return Send(keys, error);
}

bool TypeText(const std::string& text, std::string& error) {
    std::vector<INPUT> keys;
    for (unsigned char c : text) {
        // The text is taken as Latin-1: every byte is one character.
        for (DWORD flags : {DWORD{KEYEVENTF_UNICODE}, DWORD{KEYEVENTF_UNICODE | KEYEVENTF_KEYUP}}) {
            INPUT in{};
            in.type = INPUT_KEYBOARD;
            in.ki.wScan = c;
            in.ki.dwFlags = flags;
            keys.push_back(in);
        }
    }
    return keys.empty() || Send(keys, error);
}

}  // namespace op
