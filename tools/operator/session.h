// One run of the operator: the program under test, its main window, and the script commands
// that work it. Every wait is bounded; each command reports what it saw on standard output.
#pragma once

#include <windows.h>

#include <string>

#include "tools/operator/target_process.h"

namespace op {

class Session {
  public:
    explicit Session(TargetProcess& target) : target_(target) {}

    // Runs one script line; false once a command failed or timed out (already reported).
    bool Run(const std::string& line);
    // Collects the program's last output and ends the program if it still runs.
    void Finish();

  private:
    enum class Wait { Met, TimedOut, Exited };
    template <typename Condition>
    Wait WaitFor(DWORD ms, Condition condition);
    // Output lines and job messages that have come in, without waiting for more.
    void Collect(DWORD waitMs = 0);

    bool Fail(const std::string& kind, const std::string& text);
    bool FailWait(Wait outcome, const std::string& what);
    void Say(const std::string& kind, const std::string& text);

    bool MainWindow(DWORD ms);
    HWND Control(const std::string& nameOrCaption) const;
    HWND FindBox() const;
    HWND FindFileDialog() const;
    std::string StatusNow(bool* answered = nullptr) const;

    bool WaitWindow(const std::string& args);
    bool Click(const std::string& args);
    bool Scroll(const std::string& args);
    bool Type(const std::string& args);
    bool Dialog(const std::string& args);
    bool WaitStatus(const std::string& args);
    bool ReadStatus(const std::string& args);
    bool ReadEdit(const std::string& args);
    bool WaitEdit(const std::string& args);
    bool ReadScroll(const std::string& args);
    bool WaitScroll(const std::string& args);
    bool ReadLayout(const std::string& args);
    bool ReadMessageBox(const std::string& args);
    bool CloseMessageBox(const std::string& args);
    bool NoMessageBox(const std::string& args);
    bool Close(const std::string& args);
    bool WaitExit(const std::string& args);
    bool WaitChildren(const std::string& args);
    bool WaitFrames(const std::string& args);
    bool WaitEnded(unsigned count, DWORD ms, const std::string& what);
    bool WaitFile(const std::string& args);
    bool WaitVisible(const std::string& args);
    bool Kill(const std::string& args);

    bool ClickWindow(HWND window, const std::string& what);
    bool TypeInto(HWND edit, const std::string& text, std::string& how);

    TargetProcess& target_;
    HWND main_ = nullptr;
    std::string rawArgs_;  // the current line after its verb, blanks kept
};

}  // namespace op
