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
    std::set<DWORD> alive;
    PROCESSENTRY32 entry{};
    entry.dwSize = sizeof entry;
    for (BOOL more = ::Process32First(snapshot.get(), &entry); more;
         more = ::Process32Next(snapshot.get(), &entry)) {
        if (entry.th32ParentProcessID != parent || entry.th32ProcessID == parent) continue;
        lastAlive_ = ::GetTickCount64();
        alive.insert(entry.th32ProcessID);
        if (seen_.count(entry.th32ProcessID) != 0) continue;
        const std::string path = ImagePath(entry.th32ProcessID, entry.szExeFile);
        if (path.empty()) {
            // Caught while starting, before its image is known: look again next time.
            unnamed_.insert(entry.th32ProcessID);
            continue;
        }
        unnamed_.erase(entry.th32ProcessID);
        seen_.insert(entry.th32ProcessID);
        report(path);
    }
    for (auto it = unnamed_.begin(); it != unnamed_.end();) {
        if (alive.count(*it) != 0) {
            ++it;
            continue;
        }
        seen_.insert(*it);
        report("? (ended before its name was known)");
        it = unnamed_.erase(it);
    }
}

}  // namespace op
