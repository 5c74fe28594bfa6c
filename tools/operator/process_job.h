// The program under test and every process it starts, directly or further down, run in one job
// object tied to an I/O completion port. The system queues a message for each process that
// enters or leaves the job, so none is missed however briefly it lives; the operator counts
// them instead of sampling the process list.
#pragma once

#include <windows.h>

#include <functional>
#include <set>
#include <string>

#include "tools/operator/owned_handle.h"

namespace op {

class ProcessJob {
  public:
    // Creates the job (every process in it ends when the operator lets go of the job) and its
    // port. On failure returns false and says why in `error`.
    bool Create(std::string& error);
    // Puts a process started suspended into the job; `id` is the program under test, whose own
    // messages are not counted.
    bool Assign(HANDLE process, DWORD id, std::string& error);

    // Takes every message queued so far, waiting up to `ms` for the first one. `started` gets
    // the running number of each process that entered the job and, when it could still be
    // read, its image path (empty otherwise: a short-lived process may be gone already).
    void Drain(DWORD ms, const std::function<void(unsigned, const std::string&)>& started);

    // Processes other than the program under test that entered, and left, the job so far.
    unsigned Started() const { return started_; }
    unsigned Ended() const { return ended_; }

  private:
    OwnedHandle job_;
    OwnedHandle port_;
    DWORD targetId_ = 0;
    std::set<DWORD> alive_;  // ids of started processes whose end has not come yet
    unsigned started_ = 0;
    unsigned ended_ = 0;
};

}  // namespace op
