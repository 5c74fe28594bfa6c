// Standard output for a window program. Started with redirected output, the program inherits
// the handle and nothing is needed; started from a console without redirection it has no
// output at all, so it writes to the console of the program that started it.
#pragma once

#include <windows.h>

namespace app::win32 {

class ParentConsoleOutput {
  public:
    ParentConsoleOutput();
    ~ParentConsoleOutput();
    ParentConsoleOutput(const ParentConsoleOutput&) = delete;
    ParentConsoleOutput& operator=(const ParentConsoleOutput&) = delete;

  private:
    bool attached_ = false;
    HANDLE ownOutput_ = nullptr;  // opened here when attaching gave no standard output
};

}  // namespace app::win32
