#include "tools/operator/child_watch.h"

#include <tlhelp32.h>

#include "tools/operator/owned_handle.h"

namespace op {
namespace {

std::string ImagePath(DWORD pid, const char* fallback) {
    OwnedHandle process(::OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid));
    char path[MAX_PATH * 2] = {};
    DWORD size = sizeof path;
    if (process && ::QueryFullProcessImageNameA(process.get(), 0, path, &size)) {
        return std::string(path, size);
    }
    return fallback;
}

}  // namespace

void ChildWatch::Poll(DWORD parent, const std::function<void(const std::string&)>& report) {
    OwnedHandle snapshot(::CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    if (!snapshot) return;
    PROCESSENTRY32 entry{};
    entry.dwSize = sizeof entry;
    for (BOOL more = ::Process32First(snapshot.get(), &entry); more;
         more = ::Process32Next(snapshot.get(), &entry)) {
        if (entry.th32ParentProcessID != parent || entry.th32ProcessID == parent) continue;
        lastAlive_ = ::GetTickCount64();
        if (seen_.insert(entry.th32ProcessID).second) {
            report(ImagePath(entry.th32ProcessID, entry.szExeFile));
        }
    }
}

}  // namespace op
