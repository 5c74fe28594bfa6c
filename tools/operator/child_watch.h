// Watches the processes that the program under test starts (the service commands), so a test can
// tell which programs ran and when the program has been quiet for a while.
#pragma once

#include <windows.h>

#include <functional>
#include <set>
#include <string>

namespace op {

class ChildWatch {
  public:
    // Looks for children of `parent` once; `report` gets the full path of each new one.
    void Poll(DWORD parent, const std::function<void(const std::string&)>& report);
    // Milliseconds since a child was last seen alive (since the watch began if none was).
    ULONGLONG QuietMs() const { return ::GetTickCount64() - lastAlive_; }

  private:
    std::set<DWORD> seen_;
    std::set<DWORD> unnamed_;
    ULONGLONG lastAlive_ = ::GetTickCount64();
};

}  // namespace op
