// What LinuxSystem keeps of a worker program (linux_workers.cpp).
#pragma once

#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include "platform/linux/linux_system.h"

namespace platform::linux_os {

// A started program (pid) or the reading end of its output (fd).
struct LinuxSystem::Worker {
    Worker() = default;
    Worker(const Worker&) = delete;
    Worker& operator=(const Worker&) = delete;
    ~Worker() {
        if (fd >= 0) ::close(fd);
        // Reaped when it has ended; one still running is not waited for here.
        if (pid > 0 && !reaped) ::waitpid(pid, nullptr, WNOHANG);
    }
    pid_t pid = -1;
    int fd = -1;
    bool reaped = false;
};

}  // namespace platform::linux_os
