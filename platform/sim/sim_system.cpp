#include "platform/sim/sim_system.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstring>
#include <filesystem>

#ifdef _WIN32
#include <io.h>
#else
#include <unistd.h>
#endif

#include "platform/profile/profile_file.h"

namespace sim {

struct SimSystem::Event {
    std::string name;  // empty: unnamed
    bool signalled = false;
    std::uint32_t handles = 0;
    std::uint32_t holders = 0;
};

struct SimSystem::Mutex {
    static constexpr int kNone = -1;
    static constexpr int kOther = -2;  // HoldMutex's other program
    std::string name;
    int owner = kNone;            // the program that owns it, or kNone, or kOther
    std::uint32_t recursion = 0;  // takes by its owner not yet released
    bool abandoned = false;       // its last owner ended while holding it
    std::uint32_t handles = 0;
};

struct SimSystem::Process {
    std::uint32_t exitCode = 0;
    bool ended = false;
};

namespace {

struct StreamCloser {
    void operator()(std::FILE* f) const { std::fclose(f); }
};

}  // namespace

struct SimSystem::OpenFile {
    std::string key;  // absolute, normalised path: which file the handle is open on
    std::string path;
    std::unique_ptr<std::FILE, StreamCloser> stream;
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
    if (CloseFile(h)) return true;
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
    if (entry.kind == HandleKind::kMutex) {
        --entry.mutex->handles;
        ForgetMutexIfUnused(entry.mutex);
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
    if (entry.kind == HandleKind::kMutex)
        return entry.mutex->owner == Mutex::kNone || entry.mutex->owner == program_;
    return entry.process->ended;
}

std::uint32_t SimSystem::Take(HandleEntry& entry) {
    if (entry.kind == HandleKind::kMutex) {
        Mutex& m = *entry.mutex;
        m.owner = program_;
        ++m.recursion;
        ++mutexTakes_[m.name];
        if (m.abandoned) {
            m.abandoned = false;
            return platform::kWaitAbandoned;
        }
        return platform::kWaitObject0;
    }
    if (entry.kind != HandleKind::kEvent) return platform::kWaitObject0;  // a process stays ended
    entry.event->signalled = false;
    if (!entry.event->name.empty()) ++stats_[entry.event->name].takeCount;
    return platform::kWaitObject0;
}

std::uint32_t SimSystem::WaitForSingleObject(platform::Handle h, std::uint32_t ms) {
    const std::uintptr_t key = reinterpret_cast<std::uintptr_t>(h);
    auto entryOf = [&]() -> HandleEntry* {
        auto it = handles_.find(key);
        return it == handles_.end() ? nullptr : &it->second;
    };
    if (entryOf() == nullptr) return platform::kWaitFailed;

    const bool infinite = ms == kInfinite;
    std::uint32_t carryAfter = timerCarryUs_;
    const std::uint64_t deadline = infinite ? ~std::uint64_t{0} : TickedDeadline(ms, &carryAfter);
    for (;;) {
        // An action may close the handle; a wait on a handle closed meanwhile fails.
        HandleEntry* entry = entryOf();
        if (entry == nullptr) return platform::kWaitFailed;
        if (Signalled(*entry)) return Take(*entry);
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
    timerCarryUs_ = carryAfter;
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
    std::uint32_t carryAfter = timerCarryUs_;
    const std::uint64_t deadline = TickedDeadline(ms, &carryAfter);
    Advance(deadline - now_);
    timerCarryUs_ = carryAfter;
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
    if (!behaviour.starts) return false;

    auto process = std::make_shared<Process>();
    process->exitCode = behaviour.exitCode;
    if (behaviour.runMs == 0) {
        process->ended = true;
    } else {
        At(now_ + behaviour.runMs, [process] { process->ended = true; });
    }
    if (pi == nullptr) return true;  // started, and nobody to own its handles
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
    return platform::profile::WriteProfileString(*this, section, key, value, path);
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

// --- File contents ---------------------------------------------------------------------------

namespace {

std::string FileKey(const std::filesystem::path& p) {
    std::error_code ec;
    const std::filesystem::path absolute = std::filesystem::absolute(p, ec);
    return (ec ? p : absolute).lexically_normal().string();
}

bool ReadOnly(const std::filesystem::file_status& st) {
    return (st.permissions() & std::filesystem::perms::owner_write) == std::filesystem::perms::none;
}

}  // namespace

SimSystem::OpenFile* SimSystem::FindFile(platform::Handle h) {
    auto it = files_.find(reinterpret_cast<std::uintptr_t>(h));
    return it == files_.end() ? nullptr : it->second.get();
}

bool SimSystem::CloseFile(platform::Handle h) {
    return files_.erase(reinterpret_cast<std::uintptr_t>(h)) != 0;
}

bool SimSystem::IsOpen(const std::string& path) const {
    const std::string key = FileKey(path);
    for (const auto& [value, file] : files_)
        if (file->key == key) return true;
    return false;
}

platform::Handle SimSystem::CreateFile(const char* path, std::uint32_t access,
                                       std::uint32_t /*shareMode*/, std::uint32_t disposition) {
    if (path == nullptr || *path == '\0') return platform::InvalidHandle();
    if (!fileFaults_.accessDenied.empty() && FileKey(path) == FileKey(fileFaults_.accessDenied))
        return platform::InvalidHandle();
    const bool read = (access & platform::kGenericRead) != 0;
    const bool append =
        (access & platform::kFileAppendData) != 0 && (access & platform::kGenericWrite) == 0;
    const bool write = (access & platform::kGenericWrite) != 0 || append;
    std::error_code ec;
    const auto st = std::filesystem::status(path, ec);
    const bool exists = std::filesystem::exists(st);
    if (std::filesystem::is_directory(st)) return platform::InvalidHandle();
    if (exists && write && ReadOnly(st)) return platform::InvalidHandle();

    const char* mode = nullptr;
    switch (disposition) {
        case platform::kCreateNew:
            if (!exists) mode = read ? "w+b" : "wb";
            break;
        case platform::kCreateAlways:
            mode = read ? "w+b" : "wb";
            break;
        case platform::kOpenExisting:
            if (exists) mode = write ? "r+b" : "rb";
            break;
        case platform::kOpenAlways:
            mode = exists ? (write ? "r+b" : "rb") : "w+b";
            break;
        case platform::kTruncateExisting:
            if (exists && write) mode = read ? "w+b" : "wb";
            break;
        default:
            break;
    }
    if (mode == nullptr) return platform::InvalidHandle();
    if (append) mode = "ab";
    auto file = std::make_unique<OpenFile>();
    file->stream.reset(std::fopen(path, mode));
    if (!file->stream) return platform::InvalidHandle();
    file->path = path;
    file->key = FileKey(path);
    const std::uintptr_t value = nextHandle_;
    nextHandle_ += 4;
    files_.emplace(value, std::move(file));
    return reinterpret_cast<platform::Handle>(value);
}

bool SimSystem::ReadFile(platform::Handle h, void* buf, std::uint32_t len, std::uint32_t* done) {
    if (done) *done = 0;
    OpenFile* file = FindFile(h);
    if (file == nullptr || (buf == nullptr && len != 0)) return false;
    const std::size_t n = std::fread(buf, 1, len, file->stream.get());
    if (done) *done = static_cast<std::uint32_t>(n);
    const bool ok = n == len || !std::ferror(file->stream.get());
    if (fileFaults_.afterRead) fileFaults_.afterRead(file->path);
    return ok;
}

bool SimSystem::WriteFile(platform::Handle h, const void* data, std::uint32_t len,
                          std::uint32_t* done) {
    if (done) *done = 0;
    OpenFile* file = FindFile(h);
    if (file == nullptr || (data == nullptr && len != 0) || fileFaults_.failWrites) return false;
    std::uint32_t fits = len;
    if (fileFaults_.diskSpace < fits) fits = static_cast<std::uint32_t>(fileFaults_.diskSpace);
    if (fits == 0 && len != 0) return false;  // the disk is full
    const std::size_t n = std::fwrite(data, 1, fits, file->stream.get());
    fileFaults_.diskSpace -= n;
    fileBytesWritten_ += n;
    if (done) *done = static_cast<std::uint32_t>(n);
    return n == fits;
}

bool SimSystem::FlushFileBuffers(platform::Handle h) {
    OpenFile* file = FindFile(h);
    if (file == nullptr || fileFaults_.failFlush) return false;
    return std::fflush(file->stream.get()) == 0;
}

bool SimSystem::GetFileSizeEx(platform::Handle h, std::int64_t* size) {
    OpenFile* file = FindFile(h);
    if (file == nullptr || std::fflush(file->stream.get()) != 0) return false;
    std::error_code ec;
    const auto bytes = std::filesystem::file_size(file->path, ec);
    if (ec) return false;
    if (size) *size = static_cast<std::int64_t>(bytes);
    return true;
}

std::string SimSystem::NextTempPath(const char* folder, const std::string& stem,
                                    std::uint32_t* number) {
    // As Windows does: up to three characters of the prefix, four hex digits, ".tmp".
    *number = nextTempNumber_;
    nextTempNumber_ = nextTempNumber_ == 0xFFFF ? 1 : nextTempNumber_ + 1;
    char name[16];
    std::snprintf(name, sizeof name, "%.3s%04X.tmp", stem.c_str(), *number);
    return (std::filesystem::path(folder) / name).string();
}

std::uint32_t SimSystem::GetTempFileName(const char* folder, const char* prefix, char* buf) {
    if (buf == nullptr) return 0;
    buf[0] = '\0';
    if (folder == nullptr || prefix == nullptr || fileFaults_.failTempName) return 0;
    std::error_code ec;
    if (!std::filesystem::is_directory(folder, ec)) return 0;
    const std::string stem = std::string(prefix).substr(0, 3);
    for (std::uint32_t tries = 0; tries < 0xFFFF; ++tries) {
        std::uint32_t number = 0;
        const std::string path = NextTempPath(folder, stem, &number);
        if (std::filesystem::exists(path, ec)) continue;
        if (path.size() >= platform::kMaxPath) return 0;
        const std::unique_ptr<std::FILE, StreamCloser> created(std::fopen(path.c_str(), "wb"));
        if (!created) return 0;
        std::memcpy(buf, path.c_str(), path.size() + 1);
        return number;
    }
    return 0;
}

namespace {

// A new file at `path`, created only if nothing (a link included) is there yet.
std::FILE* CreateExclusive(const std::string& path) {
#ifdef _WIN32
    const int fd =
        ::_open(path.c_str(), _O_WRONLY | _O_CREAT | _O_EXCL | _O_BINARY, _S_IREAD | _S_IWRITE);
    if (fd < 0) return nullptr;
    std::FILE* stream = ::_fdopen(fd, "wb");
    if (stream == nullptr) ::_close(fd);
#else
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (fd < 0) return nullptr;
    std::FILE* stream = ::fdopen(fd, "wb");
    if (stream == nullptr) ::close(fd);
#endif
    return stream;
}

// The permissions, and the owner where allowed, of the plain file `model` for our new file.
// Windows files carry no such mode, and neither do the simulated ones there.
bool TakeModeOf([[maybe_unused]] std::FILE* stream, [[maybe_unused]] const char* model) {
#ifdef _WIN32
    return true;
#else
    struct stat st {};
    if (model == nullptr || ::lstat(model, &st) != 0 || !S_ISREG(st.st_mode)) return true;
    const int fd = ::fileno(stream);
    const bool given = ::fchown(fd, st.st_uid, st.st_gid) == 0;  // only root may give it away
    static_cast<void>(given);
    return ::fchmod(fd, st.st_mode & 0777) == 0;
#endif
}

}  // namespace

platform::Handle SimSystem::CreateTempFile(const char* folder, const char* prefix,
                                           const char* modeOf, std::string* path) {
    if (path == nullptr) return platform::InvalidHandle();
    path->clear();
    if (folder == nullptr || prefix == nullptr || fileFaults_.failTempName)
        return platform::InvalidHandle();
    std::error_code ec;
    if (!std::filesystem::is_directory(folder, ec)) return platform::InvalidHandle();
    const std::string stem = std::string(prefix).substr(0, 3);
    for (std::uint32_t tries = 0; tries < 0xFFFF; ++tries) {
        std::uint32_t number = 0;
        const std::string candidate = NextTempPath(folder, stem, &number);
        auto file = std::make_unique<OpenFile>();
        file->stream.reset(CreateExclusive(candidate));
        if (!file->stream) {
            if (std::filesystem::symlink_status(candidate, ec).type() !=
                std::filesystem::file_type::not_found)
                continue;  // taken
            return platform::InvalidHandle();
        }
        if (!TakeModeOf(file->stream.get(), modeOf)) {
            file.reset();
            std::filesystem::remove(candidate, ec);
            return platform::InvalidHandle();
        }
        file->path = candidate;
        file->key = FileKey(candidate);
        const std::uintptr_t value = nextHandle_;
        nextHandle_ += 4;
        files_.emplace(value, std::move(file));
        *path = candidate;
        if (fileFaults_.afterTempFile) fileFaults_.afterTempFile(candidate);
        return reinterpret_cast<platform::Handle>(value);
    }
    return platform::InvalidHandle();
}

bool SimSystem::MoveFileEx(const char* from, const char* to, std::uint32_t flags) {
    if (from == nullptr || to == nullptr || fileFaults_.failMove) return false;
    std::error_code ec;
    // A link is never moved into a file's place.
    const auto source = std::filesystem::symlink_status(from, ec);
    if (!std::filesystem::is_regular_file(source) || IsOpen(from)) return false;
    const auto target = std::filesystem::symlink_status(to, ec);
    if (std::filesystem::exists(target) || std::filesystem::is_symlink(target)) {
        if ((flags & platform::kMoveFileReplaceExisting) == 0) return false;
        if (std::filesystem::is_directory(target) || IsOpen(to)) return false;
        if (std::filesystem::is_regular_file(target) && ReadOnly(target)) return false;
    }
    std::filesystem::rename(from, to, ec);
    if (ec) return false;
    // Moved: a sync that fails now does not undo it.
    if ((flags & platform::kMoveFileWriteThrough) != 0 && fileFaults_.failFolderSync)
        OutputDebugString(
            (std::string("MoveFileEx: ") + to + " is in place, but its folder could not be synced")
                .c_str());
    return true;
}

bool SimSystem::DeleteFile(const char* path) {
    if (path == nullptr) return false;
    std::error_code ec;
    const auto st = std::filesystem::status(path, ec);
    if (!std::filesystem::is_regular_file(st) || ReadOnly(st) || IsOpen(path)) return false;
    return std::filesystem::remove(path, ec);
}

std::uint32_t SimSystem::GetFileAttributes(const char* path) {
    if (path == nullptr) return platform::kInvalidFileAttributes;
    std::error_code ec;
    const auto st = std::filesystem::symlink_status(path, ec);
    if (st.type() == std::filesystem::file_type::not_found ||
        st.type() == std::filesystem::file_type::none)
        return platform::kInvalidFileAttributes;
    return std::filesystem::is_directory(st) ? platform::kFileAttributeDirectory
                                             : platform::kFileAttributeNormal;
}

bool SimSystem::GetFileStamp(platform::Handle h, FileStamp* stamp) {
    OpenFile* file = FindFile(h);
    if (file == nullptr || stamp == nullptr || std::fflush(file->stream.get()) != 0) return false;
#ifdef _WIN32
    struct _stat64 st {};
    if (::_fstat64(::_fileno(file->stream.get()), &st) != 0) return false;
    stamp->lastWrite = st.st_mtime;
    stamp->change = st.st_ctime;
#else
    struct stat st {};
    if (::fstat(::fileno(file->stream.get()), &st) != 0) return false;
    stamp->lastWrite = st.st_mtim.tv_sec * 1'000'000'000LL + st.st_mtim.tv_nsec;
    stamp->change = st.st_ctim.tv_sec * 1'000'000'000LL + st.st_ctim.tv_nsec;
#endif
    stamp->size = static_cast<std::int64_t>(st.st_size);
    return true;
}

// --- Rights, timer resolution and named mutexes ---------------------------------------------

std::uint32_t SimSystem::TimerResolutionUs() const {
    if (timerTickUs_ == 0) return 0;
    if (!periods_.empty()) {
        const std::uint64_t asked = std::uint64_t{*periods_.begin()} * 1000;
        if (asked < timerTickUs_) return static_cast<std::uint32_t>(asked);
    }
    return timerTickUs_;
}

std::uint64_t SimSystem::TickedDeadline(std::uint32_t ms, std::uint32_t* carryAfter) const {
    const std::uint64_t resolution = TimerResolutionUs();
    std::uint64_t us = std::uint64_t{ms} * 1000;
    if (resolution != 0) us = (us + resolution - 1) / resolution * resolution;
    const std::uint64_t total = us + timerCarryUs_;
    *carryAfter = static_cast<std::uint32_t>(total % 1000);
    return now_ + total / 1000;
}

bool SimSystem::TimeBeginPeriod(std::uint32_t ms) {
    timerLog_.push_back("begin " + std::to_string(ms));
    if (ms == 0) return false;  // TIMERR_NOCANDO
    periods_.insert(ms);
    return true;
}

bool SimSystem::TimeEndPeriod(std::uint32_t ms) {
    timerLog_.push_back("end " + std::to_string(ms));
    const auto it = periods_.find(ms);
    if (it == periods_.end()) return false;
    periods_.erase(it);
    return true;
}

bool SimSystem::IgnoreTimerResolutionThrottling() {
    ++throttlingOptOutCalls_;
    return throttlingOptOutWorks_;
}

std::shared_ptr<SimSystem::Mutex> SimSystem::NamedMutex(const std::string& name) {
    auto it = mutexes_.find(name);
    if (it != mutexes_.end()) return it->second;
    auto m = std::make_shared<Mutex>();
    m->name = name;
    if (!name.empty()) mutexes_[name] = m;
    return m;
}

void SimSystem::ForgetMutexIfUnused(const std::shared_ptr<Mutex>& m) {
    // Alive while a handle refers to it or someone owns it.
    if (m->handles == 0 && m->owner == Mutex::kNone) mutexes_.erase(m->name);
}

platform::Handle SimSystem::CreateMutex(const char* name) {
    if (mutexCreationFails_) return nullptr;
    auto m = NamedMutex(name != nullptr ? name : "");
    ++m->handles;
    HandleEntry entry{HandleKind::kMutex, nullptr, nullptr};
    entry.mutex = m;
    return NewHandle(std::move(entry));
}

bool SimSystem::ReleaseMutex(platform::Handle h) {
    HandleEntry* entry = Find(h);
    if (entry == nullptr || entry->kind != HandleKind::kMutex) return false;
    Mutex& m = *entry->mutex;
    if (m.owner != program_) return false;
    if (--m.recursion == 0) m.owner = Mutex::kNone;
    return true;
}

void SimSystem::HoldMutex(const std::string& name) {
    auto m = NamedMutex(name);
    m->owner = Mutex::kOther;
    m->recursion = 0;
}

void SimSystem::HoldMutex(const std::string& name, std::uint64_t releaseAtMs, bool abandon) {
    HoldMutex(name);
    std::shared_ptr<Mutex> m = NamedMutex(name);
    At(releaseAtMs, [this, m, abandon] {
        m->owner = Mutex::kNone;
        m->abandoned = abandon;
        // With no handle left anywhere the mutex goes with its owner, abandoned or not.
        ForgetMutexIfUnused(m);
    });
}

bool SimSystem::MutexExists(const std::string& name) const {
    return mutexes_.count(name) != 0;
}

bool SimSystem::MutexOwnedHere(const std::string& name) const {
    auto it = mutexes_.find(name);
    return it != mutexes_.end() && it->second->owner == program_;
}

void SimSystem::EndProgram(int program) {
    for (auto it = mutexes_.begin(); it != mutexes_.end();) {
        const std::shared_ptr<Mutex> m = it->second;
        ++it;
        if (m->owner != program) continue;
        m->owner = Mutex::kNone;
        m->recursion = 0;
        m->abandoned = true;
    }
}

std::uint32_t SimSystem::MutexTakeCount(const std::string& name) const {
    auto t = mutexTakes_.find(name);
    return t == mutexTakes_.end() ? 0 : t->second;
}

}  // namespace sim
