// kelvane-cli started as a separate program against the emulated devices: with the umockdev
// preload library (behind AddressSanitizer's runtime when the program carries it, which must be
// loaded first), lock names of the test's own, and its output captured to files.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <string>
#include <vector>

namespace linuxe2e {

struct CliResult {
    int exitCode = -1;   // -1 when it did not end by itself
    bool ended = false;  // false: still running at the bound, then killed
    bool signalled = false;
    std::string out;
    std::string err;
};

class CliProcess {
  public:
    // Starts kelvane-cli with `args` in `workDir`, its events and frame lock named under
    // `lockNamespace`.
    CliProcess(const std::vector<std::string>& args, const std::string& workDir,
               const std::string& lockNamespace, const std::string& tag = "cli");
    ~CliProcess();  // kills and reaps a program still running
    CliProcess(const CliProcess&) = delete;
    CliProcess& operator=(const CliProcess&) = delete;

    pid_t Pid() const { return pid_; }
    // Waits for the end, at most `bound` (a failure limit, not an expected time).
    CliResult Wait(std::chrono::milliseconds bound = std::chrono::seconds(120));
    // SIGKILL, then reaps it.
    void Kill();

  private:
    std::string outPath_;
    std::string errPath_;
    pid_t pid_ = -1;
};

// Runs kelvane-cli to its end (within the bound).
CliResult RunCli(const std::vector<std::string>& args, const std::string& workDir,
                 const std::string& lockNamespace,
                 std::chrono::milliseconds bound = std::chrono::seconds(120));

}  // namespace linuxe2e
