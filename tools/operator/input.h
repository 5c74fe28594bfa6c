// A person's hands: mouse clicks and key presses through SendInput, the way the system's own
// input arrives, so the program under test sees real button-down/up and key messages.
#pragma once

#include <windows.h>

#include <string>

namespace op {

// Moves the cursor to `screen` and presses and releases the left button there. False with a
// reason in `error` when the input could not be injected or the cursor did not get there.
bool ClickAt(POINT screen, std::string& error);

// Selects the whole text of the single-line field that has the keyboard focus, by keys (Home,
// then Shift+End), so it comes in order after the click that gave the focus; with `erase`, also
// presses Delete.
bool SelectAllByKeys(bool erase, std::string& error);

// Presses and releases one key; it goes to the window with the keyboard focus.
bool PressKey(WORD key, std::string& error);

// Types `text` into the window that has the keyboard focus, one character at a time.
bool TypeText(const std::string& text, std::string& error);

}  // namespace op
