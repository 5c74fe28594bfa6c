#include <cctype>
#include <cstdint>
#include <string>

#include "app/unit1.h"
#include "platform/handles.h"
#include "platform/platform.h"

namespace app {
namespace {

constexpr std::uint32_t kPollIntervalMs = 100;
constexpr int kStartFailed = 1000;

bool IsCommandSeparator(char c) {
    return c == ' ' || c == '\t';
}

// The first word of a command line, case folded.
std::string FirstWordLower(const std::string& commandLine) {
    std::size_t i = 0;
    while (i < commandLine.size() && IsCommandSeparator(commandLine[i])) ++i;
    std::string word;
    while (i < commandLine.size() && !IsCommandSeparator(commandLine[i])) {
        word.push_back(static_cast<char>(std::tolower(static_cast<unsigned char>(commandLine[i]))));
        ++i;
    }
    return word;
}

// The system's net.exe by full path, so that a net.exe in the program's or the current folder is
// never the one started. Empty when the system folder is unknown.
std::string SystemNetPath() {
    char dir[260] = {};
    const std::uint32_t n = platform::Sys().GetSystemDirectory(dir, sizeof dir);
    if (n == 0 || n >= sizeof dir) return std::string();
    std::string path(dir, n);
    if (path.back() != '\\' && path.back() != '/') path += '\\';
    return path + "net.exe";
}

}  // namespace

int TForm1::RunCommand(const std::string& commandLine) {
    std::string applicationName;
    const std::string first = FirstWordLower(commandLine);
    if (first == "net" || first == "net.exe") {
        applicationName = SystemNetPath();
        if (applicationName.empty()) {
            view_.SetStatus("CreaetProcess Error!");
            return kStartFailed;
        }
    }

    // CreateProcessA may write into its command line, so it gets a copy of its own.
    std::string mutableLine = commandLine;
    platform::ProcessInfo pi;
    if (!platform::Sys().CreateProcessNoWindow(
            applicationName.empty() ? nullptr : applicationName.c_str(), mutableLine.data(), &pi)) {
        view_.SetStatus("CreaetProcess Error!");
        return kStartFailed;
    }
    const platform::SystemHandle process(pi.process);
    const platform::SystemHandle thread(pi.thread);

    // Poll without ever blocking, so the window stays live while the command runs.
    std::uint32_t wait = 0;
    do {
        wait = platform::Sys().WaitForSingleObject(process.get(), 0);
        view_.ProcessMessages();
        platform::Sys().Sleep(kPollIntervalMs);
    } while (wait == platform::kWaitTimeout);

    std::uint32_t exitCode = 0;
    if (!platform::Sys().GetExitCodeProcess(process.get(), &exitCode)) return kStartFailed;
    return static_cast<int>(exitCode);
}

}  // namespace app
