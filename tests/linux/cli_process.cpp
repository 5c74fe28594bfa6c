#include "tests/linux/cli_process.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

extern char** environ;

namespace linuxe2e {
namespace {

std::string ReadText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// The preload list: AddressSanitizer's runtime must come before everything else it intercepts.
std::string PreloadList() {
    std::string list = KV_ASAN_RUNTIME;
    if (!list.empty()) list += ':';
    return list + "libumockdev-preload.so.0";
}

}  // namespace

CliProcess::CliProcess(const std::vector<std::string>& args, const std::string& workDir,
                       const std::string& lockNamespace, const std::string& tag)
    : outPath_(workDir + "/" + tag + ".out"), errPath_(workDir + "/" + tag + ".err") {
    std::vector<std::string> env;
    for (char** e = environ; *e != nullptr; ++e) {
        if (std::strncmp(*e, "LD_PRELOAD=", 11) == 0 ||
            std::strncmp(*e, "KV_E2E_LOCK_NAMESPACE=", 22) == 0)
            continue;
        env.emplace_back(*e);
    }
    env.push_back("LD_PRELOAD=" + PreloadList());
    env.push_back("KV_E2E_LOCK_NAMESPACE=" + lockNamespace);

    std::vector<std::string> argv = {KV_CLI_PATH};
    argv.insert(argv.end(), args.begin(), args.end());
    std::vector<char*> argp;
    for (std::string& a : argv) argp.push_back(a.data());
    argp.push_back(nullptr);
    std::vector<char*> envp;
    for (std::string& e : env) envp.push_back(e.data());
    envp.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addchdir_np(&actions, workDir.c_str());
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, outPath_.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, errPath_.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const int r = posix_spawn(&pid_, argp[0], &actions, nullptr, argp.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    if (r != 0) throw std::runtime_error("kelvane-cli not started: " + std::string(strerror(r)));
}

CliProcess::~CliProcess() {
    if (pid_ > 0) Kill();
}

CliResult CliProcess::Wait(std::chrono::milliseconds bound) {
    CliResult result;
    if (pid_ <= 0) return result;
    const auto limit = std::chrono::steady_clock::now() + bound;
    int status = 0;
    for (;;) {
        const pid_t r = waitpid(pid_, &status, WNOHANG);
        if (r == pid_) {
            result.ended = true;
            break;
        }
        if (std::chrono::steady_clock::now() >= limit) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    if (!result.ended) {
        Kill();
    } else {
        pid_ = -1;
        if (WIFEXITED(status)) result.exitCode = WEXITSTATUS(status);
        result.signalled = WIFSIGNALED(status);
    }
    result.out = ReadText(outPath_);
    result.err = ReadText(errPath_);
    return result;
}

void CliProcess::Kill() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGKILL);
    int status = 0;
    waitpid(pid_, &status, 0);
    pid_ = -1;
}

CliResult RunCli(const std::vector<std::string>& args, const std::string& workDir,
                 const std::string& lockNamespace, std::chrono::milliseconds bound) {
    CliProcess process(args, workDir, lockNamespace);
    return process.Wait(bound);
}

}  // namespace linuxe2e
