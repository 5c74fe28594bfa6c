#include "tools/operator/target_process.h"

#include <vector>

namespace op {

bool TargetProcess::Start(const std::string& commandLine, std::string& error) {
    if (!job_.Create(error)) return false;
    SECURITY_ATTRIBUTES inheritable{sizeof inheritable, nullptr, TRUE};
    HANDLE readEnd = nullptr;
    HANDLE writeEnd = nullptr;
    if (!::CreatePipe(&readEnd, &writeEnd, &inheritable, 0)) {
        error = "cannot create a pipe for the program's output (error " +
                std::to_string(::GetLastError()) + ")";
        return false;
    }
    output_.reset(readEnd);
    OwnedHandle childEnd(writeEnd);
    // Only the child's end is inherited.
    ::SetHandleInformation(output_.get(), HANDLE_FLAG_INHERIT, 0);

    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = nullptr;
    startup.hStdOutput = childEnd.get();
    startup.hStdError = childEnd.get();
    PROCESS_INFORMATION info{};
    // CreateProcessA may write into the command line.
    std::vector<char> line(commandLine.begin(), commandLine.end());
    line.push_back('\0');
    if (!::CreateProcessA(nullptr, line.data(), nullptr, nullptr, TRUE, CREATE_SUSPENDED, nullptr,
                          nullptr, &startup, &info)) {
        error =
            "cannot start '" + commandLine + "' (error " + std::to_string(::GetLastError()) + ")";
        output_.reset();
        return false;
    }
    process_.reset(info.hProcess);
    thread_.reset(info.hThread);
    id_ = info.dwProcessId;
    if (!job_.Assign(process_.get(), id_, error)) {
        ::TerminateProcess(process_.get(), 255);
        return false;
    }
    if (::ResumeThread(thread_.get()) == static_cast<DWORD>(-1)) {
        error = "cannot resume the program (error " + std::to_string(::GetLastError()) + ")";
        ::TerminateProcess(process_.get(), 255);
        return false;
    }
    // Our copy of the write end goes now, so the pipe breaks when the program ends.
    return true;
}

std::optional<DWORD> TargetProcess::ExitCode() const {
    if (!process_ || ::WaitForSingleObject(process_.get(), 0) != WAIT_OBJECT_0) return {};
    DWORD code = 0;
    if (!::GetExitCodeProcess(process_.get(), &code)) return {};
    return code;
}

void TargetProcess::Terminate() {
    if (process_ && !ExitCode()) {
        ::TerminateProcess(process_.get(), 255);
        ::WaitForSingleObject(process_.get(), 5000);
    }
}

void TargetProcess::DrainOutput(const std::function<void(const std::string&)>& line, bool final) {
    char buffer[4096];
    while (output_) {
        DWORD available = 0;
        if (!::PeekNamedPipe(output_.get(), nullptr, 0, nullptr, &available, nullptr)) {
            output_.reset();  // the program and every copy of its end are gone
            break;
        }
        if (available == 0) break;
        DWORD got = 0;
        const DWORD want = available < sizeof buffer ? available : sizeof buffer;
        if (!::ReadFile(output_.get(), buffer, want, &got, nullptr) || got == 0) break;
        pending_.append(buffer, got);
    }
    std::size_t end;
    while ((end = pending_.find('\n')) != std::string::npos) {
        std::string text = pending_.substr(0, end);
        if (!text.empty() && text.back() == '\r') text.pop_back();
        pending_.erase(0, end + 1);
        line(text);
    }
    if (final && !pending_.empty()) {
        line(pending_);
        pending_.clear();
    }
}

}  // namespace op
