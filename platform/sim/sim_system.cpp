#include "platform/sim/sim_system.h"

#include <cstring>

#include "platform/profile/profile_file.h"

namespace sim {

struct SimSystem::Event {
    std::string name;  // empty: unnamed
    bool signalled = false;
    std::uint32_t handles = 0;
    std::uint32_t holders = 0;
};

struct SimSystem::Process {
    std::uint32_t exitCode = 0;
    bool ended = false;
};

SimSystem::SimSystem() = default;
SimSystem::~SimSystem() = default;

// --- Handles ---------------------------------------------------------------------------------

platform::Handle SimSystem::NewHandle(HandleEntry entry) {
    const std::uintptr_t value = nextHandle_;
    nextHandle_ += 4;
    handles_.emplace(value, std::move(entry));
    return reinterpret_cast<platform::Handle>(value);
}

SimSystem::HandleEntry* SimSystem::Find(platform::Handle h) {
    auto it = handles_.find(reinterpret_cast<std::uintptr_t>(h));
    return it == handles_.end() ? nullptr : &it->second;
}

bool SimSystem::CloseHandle(platform::Handle h) {
    auto it = handles_.find(reinterpret_cast<std::uintptr_t>(h));
    if (it == handles_.end()) {
        ++closeErrors_;
        return false;
    }
    HandleEntry entry = std::move(it->second);
    handles_.erase(it);
    if (entry.kind == HandleKind::kEvent) {
        --entry.event->handles;
        Release(entry.event);
    }
    return true;
}

// --- Events ----------------------------------------------------------------------------------

std::shared_ptr<SimSystem::Event> SimSystem::FindEvent(const std::string& name) const {
    auto it = events_.find(name);
    return it == events_.end() ? nullptr : it->second;
}

std::shared_ptr<SimSystem::Event> SimSystem::MakeEvent(const std::string& name, bool signalled) {
    auto e = std::make_shared<Event>();
    e->name = name;
    e->signalled = signalled;
    if (!name.empty()) {
        events_[name] = e;
        ++stats_[name].createdCount;
    }
    return e;
}

// A named event ceases to exist when nothing refers to it any more.
void SimSystem::Release(const std::shared_ptr<Event>& e) {
    if (e->handles == 0 && e->holders == 0 && !e->name.empty()) events_.erase(e->name);
}

platform::Handle SimSystem::OpenEvent(const char* name) {
    if (name == nullptr) return nullptr;
    auto e = FindEvent(name);
    if (!e) return nullptr;
    ++e->handles;
    return NewHandle({HandleKind::kEvent, e, nullptr});
}

platform::Handle SimSystem::CreateEvent(const char* name) {
    const std::string n = name ? name : "";
    auto e = n.empty() ? nullptr : FindEvent(n);
    if (!e) e = MakeEvent(n, true);
    ++e->handles;
    return NewHandle({HandleKind::kEvent, e, nullptr});
}

bool SimSystem::SetEvent(platform::Handle h) {
    HandleEntry* entry = Find(h);
    if (entry == nullptr || entry->kind != HandleKind::kEvent) return false;
    entry->event->signalled = true;
    if (!entry->event->name.empty()) ++stats_[entry->event->name].setCount;
    return true;
}

void SimSystem::HoldEvent(const std::string& name) {
    auto e = FindEvent(name);
    if (!e) e = MakeEvent(name, false);
    if (e->signalled) {
        e->signalled = false;
        ++stats_[name].takeCount;
    }
    ++e->holders;
    heldByOthers_.push_back(e);
}

void SimSystem::HoldEvent(const std::string& name, std::uint64_t releaseAtMs) {
    HoldEvent(name);
    std::shared_ptr<Event> e = FindEvent(name);
    At(releaseAtMs, [this, e] {
        e->signalled = true;
        ++stats_[e->name].setCount;
    });
}

bool SimSystem::SignalEvent(const std::string& name) {
    auto e = FindEvent(name);
    if (!e) return false;
    e->signalled = true;
    ++stats_[name].setCount;
    return true;
}

bool SimSystem::EventExists(const std::string& name) const {
    return FindEvent(name) != nullptr;
}

bool SimSystem::EventSignalled(const std::string& name) const {
    auto e = FindEvent(name);
    return e && e->signalled;
}

std::uint32_t SimSystem::EventHandleCount(const std::string& name) const {
    auto e = FindEvent(name);
    return e ? e->handles : 0;
}

EventStats SimSystem::Stats(const std::string& name) const {
    auto it = stats_.find(name);
    return it == stats_.end() ? EventStats{} : it->second;
}

// --- Waiting and time ------------------------------------------------------------------------

bool SimSystem::Signalled(const HandleEntry& entry) const {
    if (entry.kind == HandleKind::kEvent) return entry.event->signalled;
    return entry.process->ended;
}

void SimSystem::Take(HandleEntry& entry) {
    if (entry.kind != HandleKind::kEvent) return;  // an ended process stays signalled
    entry.event->signalled = false;
    if (!entry.event->name.empty()) ++stats_[entry.event->name].takeCount;
}

std::uint32_t SimSystem::WaitForSingleObject(platform::Handle h, std::uint32_t ms) {
    const std::uintptr_t key = reinterpret_cast<std::uintptr_t>(h);
    auto entryOf = [&]() -> HandleEntry* {
        auto it = handles_.find(key);
        return it == handles_.end() ? nullptr : &it->second;
    };
    if (entryOf() == nullptr) return platform::kWaitFailed;

    const bool infinite = ms == kInfinite;
    const std::uint64_t deadline = infinite ? ~std::uint64_t{0} : now_ + ms;
    for (;;) {
        // An action may close the handle; a wait on a handle closed meanwhile fails.
        HandleEntry* entry = entryOf();
        if (entry == nullptr) return platform::kWaitFailed;
        if (Signalled(*entry)) {
            Take(*entry);
            return platform::kWaitObject0;
        }
        if (!RunNextAction(deadline)) break;
    }
    HandleEntry* entry = entryOf();
    if (entry != nullptr && entry->kind == HandleKind::kEvent && !entry->event->name.empty())
        ++stats_[entry->event->name].timeoutCount;
    if (infinite) {
        ++deadlockedWaits_;
        return platform::kWaitFailed;
    }
    now_ = deadline;
    return platform::kWaitTimeout;
}

bool SimSystem::RunNextAction(std::uint64_t limit) {
    if (actions_.empty()) return false;
    auto it = actions_.begin();
    if (it->first.first > limit) return false;
    if (it->first.first > now_) now_ = it->first.first;
    std::function<void()> action = std::move(it->second);
    actions_.erase(it);
    action();
    return true;
}

void SimSystem::At(std::uint64_t timeMs, std::function<void()> action) {
    actions_.emplace(std::make_pair(timeMs, nextSeq_++), std::move(action));
}

void SimSystem::Advance(std::uint64_t ms) {
    const std::uint64_t deadline = now_ + ms;
    while (RunNextAction(deadline)) {
    }
    now_ = deadline;
}

void SimSystem::Sleep(std::uint32_t ms) {
    Advance(ms);
}

// --- Output ----------------------------------------------------------------------------------

void SimSystem::OutputDebugString(const char* text) {
    if (captureDebug_) debugLines_.emplace_back(text ? text : "");
}

void SimSystem::WriteStdout(const char* text) {
    if (text) stdout_ += text;
}

// --- Processes -------------------------------------------------------------------------------

void SimSystem::SetProcess(const std::string& key, ProcessSpec behaviour) {
    processSpecs_[key] = behaviour;
}

std::vector<std::string> SimSystem::CommandLines() const {
    std::vector<std::string> lines;
    for (const auto& p : processLog_) lines.push_back(p.commandLine);
    return lines;
}

bool SimSystem::CreateProcessNoWindow(const char* applicationName, char* commandLine,
                                      platform::ProcessInfo* pi) {
    StartedProcess record;
    record.applicationName = applicationName ? applicationName : "";
    record.commandLine = commandLine ? commandLine : "";

    ProcessSpec behaviour = defaultProcess_;
    if (auto it = processSpecs_.find(record.commandLine);
        !record.commandLine.empty() && it != processSpecs_.end()) {
        behaviour = it->second;
    } else if (auto app = processSpecs_.find(record.applicationName);
               !record.applicationName.empty() && app != processSpecs_.end()) {
        behaviour = app->second;
    }
    if (applicationName == nullptr && commandLine == nullptr) behaviour.starts = false;
    record.started = behaviour.starts;
    processLog_.push_back(record);
    if (!behaviour.starts || pi == nullptr) return false;

    auto process = std::make_shared<Process>();
    process->exitCode = behaviour.exitCode;
    if (behaviour.runMs == 0) {
        process->ended = true;
    } else {
        At(now_ + behaviour.runMs, [process] { process->ended = true; });
    }
    pi->process = NewHandle({HandleKind::kProcess, nullptr, process});
    pi->thread = NewHandle({HandleKind::kThread, nullptr, process});
    return true;
}

bool SimSystem::GetExitCodeProcess(platform::Handle process, std::uint32_t* code) {
    HandleEntry* entry = Find(process);
    if (entry == nullptr || entry->kind != HandleKind::kProcess || code == nullptr) return false;
    *code = entry->process->ended ? entry->process->exitCode : kStillActive;
    return true;
}

// --- Files and paths -------------------------------------------------------------------------

bool SimSystem::WritePrivateProfileString(const char* section, const char* key, const char* value,
                                          const char* path) {
    return platform::profile::WriteProfileString(section, key, value, path);
}

std::uint32_t SimSystem::GetModuleFileName(char* buf, std::uint32_t bufLen) {
    if (buf == nullptr || bufLen == 0) return 0;
    const auto len = static_cast<std::uint32_t>(modulePath_.size());
    // As GetModuleFileNameA: a path that does not fit is cut, terminated, and bufLen returned.
    const std::uint32_t copied = len < bufLen ? len : bufLen - 1;
    std::memcpy(buf, modulePath_.data(), copied);
    buf[copied] = '\0';
    return len < bufLen ? len : bufLen;
}

std::uint32_t SimSystem::GetSystemDirectory(char* buf, std::uint32_t bufLen) {
    const auto len = static_cast<std::uint32_t>(systemDir_.size());
    // As GetSystemDirectoryA: when the buffer is too small, nothing is copied and the size needed
    // (terminator included) is returned.
    if (buf == nullptr || bufLen <= len) return len + 1;
    std::memcpy(buf, systemDir_.data(), len);
    buf[len] = '\0';
    return len;
}

}  // namespace sim
