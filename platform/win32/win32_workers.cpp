// Worker programs on Windows: CreateProcess with the standard output into an anonymous pipe.
#include <string>

#include "platform/win32/win32_system.h"
#include "platform/win32/windows_api.h"

namespace platform::win32 {
namespace {

// One argument as the C runtime's parser reads it back: quoted when it holds a blank or a quote,
// a quote escaped, and the backslashes before a quote (or the closing quote) doubled.
void AppendQuoted(std::string& line, const std::string& arg) {
    if (!arg.empty() && arg.find_first_of(" \t\n\v\"") == std::string::npos) {
        line += arg;
        return;
    }
    line += '"';
    std::size_t slashes = 0;
    for (const char c : arg) {
        if (c == '\\') {
            ++slashes;
            continue;
        }
        if (c == '"')
            line.append(slashes + 1, '\\');
        else
            line.append(slashes, '\\');
        slashes = 0;
        line += c;
    }
    line.append(slashes * 2, '\\');
    line += '"';
}

}  // namespace

std::string Win32System::CommandLineOf(const std::vector<std::string>& argv) {
    std::string line;
    for (const std::string& arg : argv) {
        if (!line.empty()) line += ' ';
        AppendQuoted(line, arg);
    }
    return line;
}

bool Win32System::StartWorker(const std::vector<std::string>& argv, Handle* process,
                              Handle* output) {
    if (argv.empty() || process == nullptr || output == nullptr) return false;
    SECURITY_ATTRIBUTES inherit{};
    inherit.nLength = sizeof inherit;
    inherit.bInheritHandle = TRUE;
    HANDLE readEnd = nullptr;
    HANDLE writeEnd = nullptr;
    if (!::CreatePipe(&readEnd, &writeEnd, &inherit, 0)) return false;
    // Only the writing end goes to the worker; it is closed here as soon as the worker has it,
    // so the next worker (started after this call returns) cannot inherit it.
    ::SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0);
    STARTUPINFOA si{};
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdInput = ::GetStdHandle(STD_INPUT_HANDLE);
    si.hStdOutput = writeEnd;
    si.hStdError = ::GetStdHandle(STD_ERROR_HANDLE);
    std::string line = CommandLineOf(argv);
    PROCESS_INFORMATION info{};
    const bool started = ::CreateProcessA(argv[0].c_str(), line.data(), nullptr, nullptr, TRUE, 0,
                                          nullptr, nullptr, &si, &info) != FALSE;
    ::CloseHandle(writeEnd);
    if (!started) {
        ::CloseHandle(readEnd);
        return false;
    }
    ::CloseHandle(info.hThread);
    *process = info.hProcess;
    *output = readEnd;
    return true;
}

bool Win32System::ReadWorkerOutput(Handle output, void* buf, std::uint32_t len,
                                   std::uint32_t* done) {
    if (done) *done = 0;
    DWORD n = 0;
    if (::ReadFile(output, buf, len, &n, nullptr)) {
        if (done) *done = n;
        return true;
    }
    // The worker's end closes the pipe: that is the end of its output.
    return ::GetLastError() == ERROR_BROKEN_PIPE;
}

bool Win32System::WaitWorker(Handle process, std::uint32_t* code) {
    if (::WaitForSingleObject(process, INFINITE) != WAIT_OBJECT_0) return false;
    return GetExitCodeProcess(process, code);
}

}  // namespace platform::win32
