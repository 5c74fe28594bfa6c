#include "platform/linux/linux_system.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <system_error>
#include <utility>

#include "platform/linux/linux_worker.h"
#include "platform/profile/profile_file.h"

namespace platform::linux_os {
namespace {

constexpr std::uint32_t kInfinite = 0xFFFFFFFFu;
// How often a wait looks at a held name again; a binding has no waiters to wake.
constexpr std::uint32_t kLockPollMs = 2;
constexpr const char* kQueueSuffix = ".queue";

void SleepMs(std::uint32_t ms) {
    timespec ts{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1'000'000L};
    while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
}

std::uint64_t MonotonicMs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<std::uint64_t>(ts.tv_sec) * 1000u +
           static_cast<std::uint64_t>(ts.tv_nsec) / 1'000'000u;
}

void WriteAll(int fd, const char* text, std::size_t left) {
    while (left > 0) {
        const ssize_t n = ::write(fd, text, left);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        text += n;
        left -= static_cast<std::size_t>(n);
    }
}

std::uint32_t EmptyPath(char* buf, std::uint32_t bufLen) {
    if (buf && bufLen) buf[0] = '\0';
    return 0;
}

}  // namespace

// One handle on a named event or mutex. The name is an address in the kernel's abstract socket
// namespace: a socket bound to it holds the object, and the kernel drops the binding when the
// socket is closed or its program dies. No file, folder or link is involved, so nothing another
// user planted can be opened, followed, blocked on or have its mode changed, and every user and
// every process of the machine meets the same name (see WaitForSingleObject for the queue).
struct LinuxSystem::NamedLock {
    explicit NamedLock(std::string name) : address(std::move(name)) {}
    ~NamedLock() {  // closing gives a held object back
        if (fd >= 0) ::close(fd);
    }
    NamedLock(const NamedLock&) = delete;
    NamedLock& operator=(const NamedLock&) = delete;

    std::string address;  // without the leading NUL
    int fd = -1;          // bound to the address while this handle holds it
    bool holding = false;
};

namespace {

// Room in sockaddr_un for an abstract address: sun_path less its leading NUL.
constexpr std::size_t kMaxAddress = sizeof(sockaddr_un{}.sun_path) - 1;

// Binds `*fd` (a new socket when it is -1) to the abstract `address`. True once bound; false with
// errno EADDRINUSE while another socket holds it, or another errno when the system refuses.
bool BindName(int* fd, const std::string& address) {
    if (*fd < 0) {
        *fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (*fd < 0) return false;
    }
    sockaddr_un sa{};
    sa.sun_family = AF_UNIX;
    std::memcpy(sa.sun_path + 1, address.data(), address.size());
    const auto length =
        static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + address.size());
    // Never listened on: a connect to the name is refused, so nobody can talk to the holder.
    return ::bind(*fd, reinterpret_cast<const sockaddr*>(&sa), length) == 0;
}

// Takes `address` by `deadline` (milliseconds of MonotonicMs; none for an infinite wait): polls,
// as a binding has no waiters. `*error` gets the errno of a refusal.
std::uint32_t TakeName(int* fd, const std::string& address, bool infinite, std::uint64_t deadline,
                       int* error) {
    for (;;) {
        if (BindName(fd, address)) return kWaitObject0;
        if (errno != EADDRINUSE && errno != EINTR) {
            *error = errno;
            if (*fd >= 0) ::close(*fd);
            *fd = -1;
            return kWaitFailed;
        }
        std::uint32_t pause = kLockPollMs;
        if (!infinite) {
            const std::uint64_t now = MonotonicMs();
            if (now >= deadline) return kWaitTimeout;
            if (deadline - now < pause) pause = static_cast<std::uint32_t>(deadline - now);
        }
        SleepMs(pause);
    }
}

void CloseName(int* fd) {
    if (*fd >= 0) ::close(*fd);
    *fd = -1;
}

// The inode of the socket bound to the abstract `address`, from /proc/net/unix; 0 when none.
unsigned long BoundInode(const std::string& address) {
    std::FILE* table = std::fopen("/proc/net/unix", "re");
    if (table == nullptr) return 0;
    const std::string shown = "@" + address;
    char line[512];
    unsigned long found = 0;
    while (found == 0 && std::fgets(line, sizeof line, table) != nullptr) {
        unsigned long inode = 0;
        int pathAt = 0;
        if (std::sscanf(line, "%*s %*s %*s %*s %*s %*s %lu %n", &inode, &pathAt) != 1) continue;
        std::string path = line + pathAt;
        while (!path.empty() && (path.back() == '\n' || path.back() == ' ')) path.pop_back();
        if (path == shown) found = inode;
    }
    std::fclose(table);
    return found;
}

// "process 4711 (kelvane-cli)" for the process with a descriptor on socket `inode`; empty when
// none can be seen (other users' processes are hidden from a process that is not root).
std::string SocketOwner(unsigned long inode) {
    const std::string target = "socket:[" + std::to_string(inode) + "]";
    std::error_code ec;
    for (std::filesystem::directory_iterator proc("/proc", ec), end; !ec && proc != end;
         proc.increment(ec)) {
        const std::string pid = proc->path().filename().string();
        if (pid.empty() || pid.find_first_not_of("0123456789") != std::string::npos) continue;
        std::error_code fdEc;
        for (std::filesystem::directory_iterator fd(proc->path() / "fd", fdEc), fdEnd;
             !fdEc && fd != fdEnd; fd.increment(fdEc)) {
            char link[64];
            const ssize_t n = ::readlink(fd->path().c_str(), link, sizeof link - 1);
            if (n <= 0) continue;
            link[n] = '\0';
            if (target != link) continue;
            std::string command;
            if (std::FILE* comm = std::fopen((proc->path() / "comm").c_str(), "re")) {
                char text[64] = {};
                if (std::fgets(text, sizeof text, comm) != nullptr) command = text;
                std::fclose(comm);
                while (!command.empty() && command.back() == '\n') command.pop_back();
            }
            return "process " + pid + (command.empty() ? "" : " (" + command + ")");
        }
    }
    return {};
}

}  // namespace

LinuxSystem::LinuxSystem() : LinuxSystem(kLockNamespace) {}

LinuxSystem::LinuxSystem(std::string lockNamespace) : lockNamespace_(std::move(lockNamespace)) {}

LinuxSystem::~LinuxSystem() = default;

std::string LinuxSystem::LockAddress(const char* name) const {
    if (name == nullptr || name[0] == '\0') return {};
    const std::string key = eventKey_ ? eventKey_(name) : std::string(name);
    std::string address = lockNamespace_ + key;
    // A NUL would cut the name short in the kernel's table and in every program reading it.
    if (address.size() + std::strlen(kQueueSuffix) > kMaxAddress ||
        key.find('\0') != std::string::npos) {
        return {};
    }
    return address;
}

Handle LinuxSystem::OpenLock(const char* name) {
    std::string address = LockAddress(name);
    if (address.empty()) return nullptr;
    auto lock = std::make_unique<NamedLock>(std::move(address));
    const Handle h = lock.get();
    locks_.emplace(h, std::move(lock));
    return h;
}

Handle LinuxSystem::OpenEvent(const char* name) {
    // A name the kernel keeps exists for every program: there is nothing to open or create.
    return OpenLock(name);
}

Handle LinuxSystem::CreateEvent(const char* name) {
    return OpenLock(name);
}

bool LinuxSystem::SetEvent(Handle h) {
    const auto it = locks_.find(h);
    if (it == locks_.end()) return false;
    NamedLock& lock = *it->second;
    // Not holding it: nothing to give back, and nobody else's turn is touched.
    if (!lock.holding) return true;
    CloseName(&lock.fd);
    lock.holding = false;
    return true;
}

std::uint32_t LinuxSystem::WaitForSingleObject(Handle h, std::uint32_t ms) {
    const auto it = locks_.find(h);
    if (it == locks_.end()) return kWaitFailed;
    NamedLock& lock = *it->second;
    const bool infinite = ms == kInfinite;
    if (lock.holding) {
        // A second bind of one name fails; an auto-reset event stays taken.
        if (infinite) return kWaitFailed;
        SleepMs(ms);
        return kWaitTimeout;
    }
    // Waiters line up on the queue name first and keep it while they wait for the object. A
    // holder that gives it back and wants it again at once must then queue behind them, as a
    // waiter on an auto-reset event is served when it is set; polling alone would let the
    // releasing program win nearly every time and starve the others.
    const std::uint64_t deadline = infinite ? 0 : MonotonicMs() + ms;
    int queue = -1;
    std::uint32_t result =
        TakeName(&queue, lock.address + kQueueSuffix, infinite, deadline, &lastError_);
    if (result == kWaitObject0) {
        result = TakeName(&lock.fd, lock.address, infinite, deadline, &lastError_);
        if (result == kWaitObject0) lock.holding = true;
    }
    CloseName(&queue);
    if (!lock.holding) CloseName(&lock.fd);
    return result;
}

std::string LinuxSystem::MutexError() {
    return lastError_ != 0 ? std::string(std::strerror(lastError_)) : std::string();
}

std::string LinuxSystem::MutexOwner(Handle h) {
    const auto it = locks_.find(h);
    if (it == locks_.end()) return {};
    const unsigned long inode = BoundInode(it->second->address);
    return inode != 0 ? SocketOwner(inode) : std::string();
}

bool LinuxSystem::CloseHandle(Handle h) {
    return locks_.erase(h) == 1 || files_.erase(h) == 1 || workers_.erase(h) == 1;
}

void LinuxSystem::Sleep(std::uint32_t ms) {
    SleepMs(ms);
}

std::uint64_t LinuxSystem::TickCount() {
    return MonotonicMs();
}

void LinuxSystem::OutputDebugString(const char* text) {
    if (!debugOutput_ || text == nullptr) return;
    // One line per call on a terminal or in a log: the trailing CR LF (or none) becomes LF.
    std::size_t length = std::strlen(text);
    while (length > 0 && (text[length - 1] == '\n' || text[length - 1] == '\r')) --length;
    WriteAll(STDERR_FILENO, text, length);
    WriteAll(STDERR_FILENO, "\n", 1);
}

void LinuxSystem::WriteStdout(const char* text) {
    if (text == nullptr) return;
    WriteAll(STDOUT_FILENO, text, std::strlen(text));
}

bool LinuxSystem::CreateProcessNoWindow(const char*, char*, ProcessInfo* pi) {
    if (pi) *pi = ProcessInfo{};
    return false;
}

bool LinuxSystem::GetExitCodeProcess(Handle, std::uint32_t*) {
    return false;
}

bool LinuxSystem::WritePrivateProfileString(const char* section, const char* key, const char* value,
                                            const char* path) {
    return profile::WriteProfileString(*this, section, key, value, path);
}

std::uint32_t LinuxSystem::GetModuleFileName(char* buf, std::uint32_t bufLen) {
    if (buf == nullptr || bufLen == 0) return 0;
    const ssize_t n = ::readlink("/proc/self/exe", buf, bufLen);
    if (n <= 0) return EmptyPath(buf, bufLen);
    // As the Windows call does: a path that does not fit is cut, terminated, and the buffer's
    // size returned, so the caller knows to ask again with more room.
    if (static_cast<std::uint32_t>(n) >= bufLen) {
        buf[bufLen - 1] = '\0';
        return bufLen;
    }
    buf[n] = '\0';
    return static_cast<std::uint32_t>(n);
}

std::uint32_t LinuxSystem::GetSystemDirectory(char* buf, std::uint32_t bufLen) {
    return EmptyPath(buf, bufLen);
}

// --- Files ----------------------------------------------------------------------------------

struct LinuxSystem::PlainFile {
    explicit PlainFile(int descriptor) : fd(descriptor) {}
    ~PlainFile() { ::close(fd); }
    PlainFile(const PlainFile&) = delete;
    PlainFile& operator=(const PlainFile&) = delete;
    int fd;
};

namespace {

// fsync of the folder that holds `path`, so a rename in it is on the disk. 0 or an errno.
int SyncFolderOf(const std::string& path) {
    const std::size_t slash = path.find_last_of('/');
    const std::string folder =
        slash == std::string::npos ? "." : (slash == 0 ? "/" : path.substr(0, slash));
    const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return errno;
    const int result = ::fsync(fd) == 0 ? 0 : errno;
    ::close(fd);
    return result;
}

// Removes `path` only while it still names the file open on `fd`: a name that another program
// took over meanwhile is not ours to delete.
void UnlinkIfOurs(const char* path, int fd) {
    struct stat mine {};
    struct stat there {};
    if (::fstat(fd, &mine) == 0 && ::lstat(path, &there) == 0 && mine.st_dev == there.st_dev &&
        mine.st_ino == there.st_ino)
        ::unlink(path);
}

// The permissions and, where we may, the owner of the plain file `model` for our own file `fd`.
// Set-id and sticky bits are not copied: a dump never becomes a program that runs as another.
bool TakeModeOf(int fd, const char* model) {
    struct stat st {};
    if (model == nullptr || ::lstat(model, &st) != 0 || !S_ISREG(st.st_mode)) return true;
    // Refused without the right to give files away (not root): the file stays ours and the
    // mode still follows.
    const bool given = ::fchown(fd, st.st_uid, st.st_gid) == 0;
    static_cast<void>(given);
    return ::fchmod(fd, st.st_mode & 0777) == 0;
}

int OpenRetrying(const char* path, int flags, mode_t mode) {
    int fd = -1;
    do {
        fd = ::open(path, flags, mode);
    } while (fd < 0 && errno == EINTR);
    return fd;
}

}  // namespace

Handle LinuxSystem::CreateFile(const char* path, std::uint32_t access, std::uint32_t,
                               std::uint32_t disposition) {
    if (path == nullptr || path[0] == '\0') return InvalidHandle();
    const bool read = (access & kGenericRead) != 0;
    const bool append = (access & kFileAppendData) != 0 && (access & kGenericWrite) == 0;
    const bool write = (access & kGenericWrite) != 0 || append;
    int flags = O_CLOEXEC | (read && write ? O_RDWR : write ? O_WRONLY : O_RDONLY);
    if (append) flags |= O_APPEND;
    switch (disposition) {
        case kCreateNew:
            flags |= O_CREAT | O_EXCL;
            break;
        case kCreateAlways:
            flags |= O_CREAT | O_TRUNC;
            break;
        case kOpenExisting:
            break;
        case kOpenAlways:
            flags |= O_CREAT;
            break;
        case kTruncateExisting:
            if (!write) return InvalidHandle();
            flags |= O_TRUNC;
            break;
        default:
            return InvalidHandle();
    }
    // The files may lie in folders that other users share: a link at the name is never
    // followed, and a FIFO planted there cannot hold the open up.
    const int fd = OpenRetrying(path, flags | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY, 0666);
    if (fd < 0) return InvalidHandle();
    struct stat st {};
    // Only plain files: a folder never opens as a file, as on Windows, nor does a device or FIFO.
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) ||
        ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK) != 0) {
        ::close(fd);
        return InvalidHandle();
    }
    return KeepFile(fd);
}

Handle LinuxSystem::KeepFile(int fd) {
    auto file = std::make_unique<PlainFile>(fd);
    const Handle h = file.get();
    files_.emplace(h, std::move(file));
    return h;
}

bool LinuxSystem::ReadFile(Handle h, void* buf, std::uint32_t len, std::uint32_t* done) {
    if (done) *done = 0;
    const auto it = files_.find(h);
    if (it == files_.end() || (buf == nullptr && len != 0)) return false;
    std::uint32_t got = 0;
    while (got < len) {
        const ssize_t n = ::read(it->second->fd, static_cast<char*>(buf) + got, len - got);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return false;
        if (n == 0) break;  // the end of the file
        got += static_cast<std::uint32_t>(n);
    }
    if (done) *done = got;
    return true;
}

bool LinuxSystem::WriteFile(Handle h, const void* data, std::uint32_t len, std::uint32_t* done) {
    if (done) *done = 0;
    const auto it = files_.find(h);
    if (it == files_.end() || (data == nullptr && len != 0)) return false;
    std::uint32_t put = 0;
    while (put < len) {
        const ssize_t n = ::write(it->second->fd, static_cast<const char*>(data) + put, len - put);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;  // a full disk: what went is reported, the caller compares
        put += static_cast<std::uint32_t>(n);
    }
    if (done) *done = put;
    return put == len || put > 0;
}

// O_APPEND makes finding the end and writing one step for every writer of the file; one call,
// so that the piece is never split.
bool LinuxSystem::AppendFile(Handle h, const void* data, std::uint32_t len, std::uint32_t* done) {
    if (done) *done = 0;
    const auto it = files_.find(h);
    if (it == files_.end() || (data == nullptr && len != 0)) return false;
    ssize_t n = -1;
    do {
        n = ::write(it->second->fd, data, len);
    } while (n < 0 && errno == EINTR);
    if (n < 0) return false;
    if (done) *done = static_cast<std::uint32_t>(n);
    return true;
}

bool LinuxSystem::FlushFileBuffers(Handle h) {
    const auto it = files_.find(h);
    return it != files_.end() && ::fsync(it->second->fd) == 0;
}

bool LinuxSystem::GetFileSizeEx(Handle h, std::int64_t* size) {
    const auto it = files_.find(h);
    struct stat st {};
    if (it == files_.end() || ::fstat(it->second->fd, &st) != 0) return false;
    if (size) *size = static_cast<std::int64_t>(st.st_size);
    return true;
}

std::uint32_t LinuxSystem::GetTempFileName(const char* folder, const char* prefix, char* buf) {
    if (buf == nullptr) return 0;
    buf[0] = '\0';
    if (folder == nullptr || prefix == nullptr) return 0;
    // The Windows form: up to three characters of the prefix, four hex digits, ".tmp"; the
    // first number tried depends on the process, so two programs rarely meet.
    const std::string stem = std::string(prefix).substr(0, 3);
    std::uint32_t number = (static_cast<std::uint32_t>(::getpid()) & 0xFFFFu) | 1u;
    for (std::uint32_t tries = 0; tries < 0xFFFFu; ++tries) {
        char name[16];
        std::snprintf(name, sizeof name, "%.3s%04X.tmp", stem.c_str(), number);
        const std::string path = std::string(folder) + "/" + name;
        if (path.size() >= kMaxPath) return 0;
        const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd >= 0) {
            ::close(fd);
            std::memcpy(buf, path.c_str(), path.size() + 1);
            return number;
        }
        if (errno != EEXIST && errno != EINTR) return 0;
        number = number == 0xFFFFu ? 1u : number + 1u;
    }
    return 0;
}

Handle LinuxSystem::CreateTempFile(const char* folder, const char* prefix, const char* modeOf,
                                   std::string* path) {
    if (path == nullptr) return InvalidHandle();
    path->clear();
    if (folder == nullptr || prefix == nullptr) return InvalidHandle();
    // The Windows form: up to three characters of the prefix, four hex digits, ".tmp"; the
    // first number tried depends on the process, so two programs rarely meet.
    const std::string stem = std::string(prefix).substr(0, 3);
    std::uint32_t number = (static_cast<std::uint32_t>(::getpid()) & 0xFFFFu) | 1u;
    for (std::uint32_t tries = 0; tries < 0xFFFFu; ++tries) {
        char name[16];
        std::snprintf(name, sizeof name, "%.3s%04X.tmp", stem.c_str(), number);
        const std::string candidate = std::string(folder) + "/" + name;
        // O_EXCL: whatever is at the name already, a link included, makes it taken.
        const int fd = OpenRetrying(candidate.c_str(),
                                    O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
        if (fd >= 0) {
            if (!TakeModeOf(fd, modeOf)) {
                UnlinkIfOurs(candidate.c_str(), fd);
                ::close(fd);
                return InvalidHandle();
            }
            *path = candidate;
            return KeepFile(fd);
        }
        if (errno != EEXIST) return InvalidHandle();
        number = number == 0xFFFFu ? 1u : number + 1u;
    }
    return InvalidHandle();
}

bool LinuxSystem::MoveFileEx(const char* from, const char* to, std::uint32_t flags) {
    if (from == nullptr || to == nullptr) return false;
    struct stat st {};
    // A link planted at our temporary name is not moved into the target's place.
    if (::lstat(from, &st) != 0 || !S_ISREG(st.st_mode)) return false;
    if ((flags & kMoveFileReplaceExisting) == 0) {
        // link(2) fails when the target exists, so no other file is ever replaced.
        if (::link(from, to) != 0) return false;
        ::unlink(from);
    } else {
        if (::lstat(to, &st) == 0 && S_ISDIR(st.st_mode)) return false;
        if (::rename(from, to) != 0) return false;
    }
    // The move has happened: from here on the outcome is that `to` was replaced.
    if ((flags & kMoveFileWriteThrough) != 0) {
        if (const int error = SyncFolderOf(to); error != 0) {
            const std::string note = std::string("MoveFileEx: ") + to +
                                     " is in place, but its folder could not be synced (" +
                                     std::strerror(error) + ")";
            OutputDebugString(note.c_str());
        }
    }
    return true;
}

bool LinuxSystem::DeleteFile(const char* path) {
    return path != nullptr && ::unlink(path) == 0;
}

std::uint32_t LinuxSystem::GetFileAttributes(const char* path) {
    struct stat st {};
    if (path == nullptr || ::lstat(path, &st) != 0) return kInvalidFileAttributes;
    return S_ISDIR(st.st_mode) ? kFileAttributeDirectory : kFileAttributeNormal;
}

bool LinuxSystem::GetFileStamp(Handle h, FileStamp* stamp) {
    const auto it = files_.find(h);
    struct stat st {};
    if (it == files_.end() || stamp == nullptr || ::fstat(it->second->fd, &st) != 0) return false;
    stamp->size = static_cast<std::int64_t>(st.st_size);
    stamp->lastWrite =
        static_cast<std::int64_t>(st.st_mtim.tv_sec) * 1'000'000'000 + st.st_mtim.tv_nsec;
    stamp->change =
        static_cast<std::int64_t>(st.st_ctim.tv_sec) * 1'000'000'000 + st.st_ctim.tv_nsec;
    return true;
}

// --- The frame's named mutex --------------------------------------------------------------------

Handle LinuxSystem::CreateMutex(const char* name) {
    return OpenLock(name);
}

bool LinuxSystem::ReleaseMutex(Handle h) {
    const auto it = locks_.find(h);
    // Only its holder gives it back.
    if (it == locks_.end() || !it->second->holding) return false;
    CloseName(&it->second->fd);
    it->second->holding = false;
    return true;
}

}  // namespace platform::linux_os
