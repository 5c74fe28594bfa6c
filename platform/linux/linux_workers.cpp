// Worker programs on Linux: posix_spawn with the standard output into a pipe.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

#include "platform/linux/linux_system.h"
#include "platform/linux/linux_worker.h"

extern char** environ;

namespace platform::linux_os {

bool LinuxSystem::StartWorker(const std::vector<std::string>& argv, Handle* process,
                              Handle* output) {
    if (argv.empty() || process == nullptr || output == nullptr) return false;
    int ends[2] = {-1, -1};
    // Close-on-exec: no other worker started later inherits this pipe.
    if (::pipe2(ends, O_CLOEXEC) != 0) return false;
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    // dup2 clears close-on-exec on the new descriptor 1 only.
    posix_spawn_file_actions_adddup2(&actions, ends[1], STDOUT_FILENO);
    pid_t pid = -1;
    const int failed = ::posix_spawn(&pid, args[0], &actions, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(ends[1]);
    if (failed != 0) {
        ::close(ends[0]);
        return false;
    }
    auto started = std::make_unique<Worker>();
    started->pid = pid;
    auto pipe = std::make_unique<Worker>();
    pipe->fd = ends[0];
    *process = started.get();
    *output = pipe.get();
    workers_.emplace(*process, std::move(started));
    workers_.emplace(*output, std::move(pipe));
    return true;
}

bool LinuxSystem::ReadWorkerOutput(Handle output, void* buf, std::uint32_t len,
                                   std::uint32_t* done) {
    if (done) *done = 0;
    const auto it = workers_.find(output);
    if (it == workers_.end() || it->second->fd < 0) return false;
    ssize_t n = -1;
    do {
        n = ::read(it->second->fd, buf, len);
    } while (n < 0 && errno == EINTR);
    if (n < 0) return false;
    if (done) *done = static_cast<std::uint32_t>(n);
    return true;
}

bool LinuxSystem::WaitWorker(Handle process, std::uint32_t* code) {
    const auto it = workers_.find(process);
    if (it == workers_.end() || it->second->pid <= 0 || it->second->reaped) return false;
    int status = 0;
    pid_t got = -1;
    do {
        got = ::waitpid(it->second->pid, &status, 0);
    } while (got < 0 && errno == EINTR);
    if (got != it->second->pid) return false;
    it->second->reaped = true;
    if (code) {
        *code = WIFEXITED(status) ? static_cast<std::uint32_t>(WEXITSTATUS(status))
                                  : 128u + static_cast<std::uint32_t>(WTERMSIG(status));
    }
    return true;
}

}  // namespace platform::linux_os
