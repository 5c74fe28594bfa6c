// The program under test: started by the operator, which owns its process and thread handles
// and the read end of its standard output.
#pragma once

#include <windows.h>

#include <functional>
#include <optional>
#include <string>

#include "tools/operator/owned_handle.h"
#include "tools/operator/process_job.h"

namespace op {

class TargetProcess {
  public:
    // Starts `commandLine` in the current folder, its standard output into a pipe of ours, inside
    // a job of its own: it starts suspended and runs only once it is in the job, so not even its
    // first child can escape the count. On failure returns false and says why in `error`.
    bool Start(const std::string& commandLine, std::string& error);

    bool Started() const { return static_cast<bool>(process_); }
    DWORD Id() const { return id_; }
    HANDLE Process() const { return process_.get(); }

    // The exit code once the program has ended; nothing while it runs.
    std::optional<DWORD> ExitCode() const;
    void Terminate();

    // The processes it starts.
    ProcessJob& Job() { return job_; }

    // Hands every complete line the program has written so far to `line` (without its line
    // end); at `final`, also an unfinished last line.
    void DrainOutput(const std::function<void(const std::string&)>& line, bool final = false);

  private:
    ProcessJob job_;  // first member: it outlives the handles, and its close ends what is left
    OwnedHandle process_;
    OwnedHandle thread_;
    OwnedHandle output_;
    DWORD id_ = 0;
    std::string pending_;
};

}  // namespace op
