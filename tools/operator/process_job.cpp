#include "tools/operator/process_job.h"

namespace op {
namespace {

// Any value: the port serves this one job.
constexpr ULONG_PTR kJobKey = 1;

std::string ImagePath(DWORD pid) {
    OwnedHandle process(::OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid));
    char path[MAX_PATH * 2] = {};
    DWORD size = sizeof path;
    if (process && ::QueryFullProcessImageNameA(process.get(), 0, path, &size)) {
        return std::string(path, size);
    }
    return {};
}

std::string LastError(const char* what) {
    return std::string(what) + " failed (error " + std::to_string(::GetLastError()) + ")";
}

}  // namespace

bool ProcessJob::Create(std::string& error) {
    job_.reset(::CreateJobObjectA(nullptr, nullptr));
    if (!job_) {
        error = LastError("CreateJobObject");
        return false;
    }
    // Whatever the program leaves running ends with the operator, also when a case fails.
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
    limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
    if (!::SetInformationJobObject(job_.get(), JobObjectExtendedLimitInformation, &limits,
                                   sizeof limits)) {
        error = LastError("SetInformationJobObject (limits)");
        return false;
    }
    port_.reset(::CreateIoCompletionPort(INVALID_HANDLE_VALUE, nullptr, 0, 1));
    if (!port_) {
        error = LastError("CreateIoCompletionPort");
        return false;
    }
    JOBOBJECT_ASSOCIATE_COMPLETION_PORT association{};
    association.CompletionKey = reinterpret_cast<PVOID>(kJobKey);
    association.CompletionPort = port_.get();
    if (!::SetInformationJobObject(job_.get(), JobObjectAssociateCompletionPortInformation,
                                   &association, sizeof association)) {
        error = LastError("SetInformationJobObject (completion port)");
        return false;
    }
    return true;
}

bool ProcessJob::Assign(HANDLE process, DWORD id, std::string& error) {
    targetId_ = id;
    if (!::AssignProcessToJobObject(job_.get(), process)) {
        error = LastError("AssignProcessToJobObject");
        return false;
    }
    return true;
}

void ProcessJob::Drain(DWORD ms, const std::function<void(unsigned, const std::string&)>& started) {
    if (!port_) {
        ::Sleep(ms);
        return;
    }
    DWORD wait = ms;
    for (;;) {
        DWORD message = 0;
        ULONG_PTR key = 0;
        LPOVERLAPPED data = nullptr;
        if (!::GetQueuedCompletionStatus(port_.get(), &message, &key, &data, wait)) return;
        wait = 0;
        if (key != kJobKey) continue;
        // For the process messages the "overlapped" value carries the process id.
        const auto pid = static_cast<DWORD>(reinterpret_cast<ULONG_PTR>(data));
        if (pid == targetId_) continue;
        switch (message) {
            case JOB_OBJECT_MSG_NEW_PROCESS:
                ++started_;
                alive_.insert(pid);
                started(started_, ImagePath(pid));
                break;
            case JOB_OBJECT_MSG_EXIT_PROCESS:
            case JOB_OBJECT_MSG_ABNORMAL_EXIT_PROCESS:
                // One end per process, whichever of the two messages tells it; ids are reused
                // once a process is gone.
                if (alive_.erase(pid) != 0) ++ended_;
                break;
            default:
                break;
        }
    }
}

}  // namespace op
