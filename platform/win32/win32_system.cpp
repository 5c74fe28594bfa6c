#include "platform/win32/win32_system.h"

#include <cstdio>
#include <cstring>
#include <string>

#include "platform/win32/windows_api.h"
// After <windows.h>, which they need.
#include "platform/win32/windows_extra_api.h"

namespace platform::win32 {
namespace {

static_assert(kWaitObject0 == WAIT_OBJECT_0);
static_assert(kWaitTimeout == WAIT_TIMEOUT);
static_assert(kWaitFailed == WAIT_FAILED);
static_assert(kWaitAbandoned == WAIT_ABANDONED);
static_assert(kDriveUnknown == DRIVE_UNKNOWN && kDriveNoRootDir == DRIVE_NO_ROOT_DIR &&
              kDriveRemovable == DRIVE_REMOVABLE && kDriveFixed == DRIVE_FIXED &&
              kDriveRemote == DRIVE_REMOTE && kDriveCdrom == DRIVE_CDROM &&
              kDriveRamdisk == DRIVE_RAMDISK);

// GetModuleFileNameA before Vista, and Wine today, leave a cut path unterminated; terminate it
// as Vista and later do, so the text is a string whatever the system.
std::uint32_t PathResult(DWORD length, char* buf, std::uint32_t bufLen) {
    if (length >= bufLen) {
        buf[bufLen - 1] = '\0';
        return bufLen;
    }
    buf[length] = '\0';
    return length;
}

}  // namespace

Handle Win32System::OpenEvent(const char* name) {
    return ::OpenEventA(EVENT_ALL_ACCESS, TRUE, name);
}

Handle Win32System::CreateEvent(const char* name) {
    return ::CreateEventA(nullptr, FALSE, TRUE, name);
}

bool Win32System::SetEvent(Handle h) {
    return ::SetEvent(h) != FALSE;
}

std::uint32_t Win32System::WaitForSingleObject(Handle h, std::uint32_t ms) {
    return ::WaitForSingleObject(h, ms);
}

bool Win32System::CloseHandle(Handle h) {
    return ::CloseHandle(h) != FALSE;
}

void Win32System::Sleep(std::uint32_t ms) {
    ::Sleep(ms);
}

std::uint64_t Win32System::TickCount() {
    return ::GetTickCount64();
}

void Win32System::OutputDebugString(const char* text) {
    ::OutputDebugStringA(text);
    if (!debugToStderr_ || text == nullptr) return;
    const HANDLE err = ::GetStdHandle(STD_ERROR_HANDLE);
    if (err == nullptr || err == INVALID_HANDLE_VALUE) return;
    // One line per call, as a debug output viewer shows it.
    DWORD length = static_cast<DWORD>(std::strlen(text));
    while (length > 0 && (text[length - 1] == '\n' || text[length - 1] == '\r')) --length;
    DWORD written = 0;
    ::WriteFile(err, text, length, &written, nullptr);
    ::WriteFile(err, "\r\n", 2, &written, nullptr);
}

void Win32System::WriteStdout(const char* text) {
    // Straight to the handle, not through the C runtime: its text mode would turn "\r\n" into
    // "\r\r\n", and a window program has no CRT stream attached to a redirected handle anyway.
    const HANDLE out = ::GetStdHandle(STD_OUTPUT_HANDLE);
    if (text == nullptr || out == nullptr || out == INVALID_HANDLE_VALUE) return;
    std::size_t left = std::strlen(text);
    while (left > 0) {
        const DWORD chunk = left > 0x40000000u ? 0x40000000u : static_cast<DWORD>(left);
        DWORD written = 0;
        if (!::WriteFile(out, text, chunk, &written, nullptr) || written == 0) return;
        text += written;
        left -= written;
    }
}

bool Win32System::CreateProcessNoWindow(const char* applicationName, char* commandLine,
                                        ProcessInfo* pi) {
    STARTUPINFOA si{};
    si.cb = sizeof(si);
    PROCESS_INFORMATION info{};
    if (!::CreateProcessA(applicationName, commandLine, nullptr, nullptr, FALSE, CREATE_NO_WINDOW,
                          nullptr, nullptr, &si, &info)) {
        return false;
    }
    if (pi) {
        pi->process = info.hProcess;
        pi->thread = info.hThread;
    } else {
        // Nobody to own them: close here rather than leak.
        ::CloseHandle(info.hThread);
        ::CloseHandle(info.hProcess);
    }
    return true;
}

bool Win32System::GetExitCodeProcess(Handle process, std::uint32_t* code) {
    DWORD value = 0;
    if (!::GetExitCodeProcess(process, &value)) return false;
    if (code) *code = value;
    return true;
}

bool Win32System::WritePrivateProfileString(const char* section, const char* key, const char* value,
                                            const char* path) {
    return ::WritePrivateProfileStringA(section, key, value, path) != FALSE;
}

std::uint32_t Win32System::GetModuleFileName(char* buf, std::uint32_t bufLen) {
    if (buf == nullptr || bufLen == 0) return 0;
    return PathResult(::GetModuleFileNameA(nullptr, buf, bufLen), buf, bufLen);
}

std::uint32_t Win32System::GetSystemDirectory(char* buf, std::uint32_t bufLen) {
    return ::GetSystemDirectoryA(buf, buf == nullptr ? 0 : bufLen);
}

// --- File contents ---------------------------------------------------------------------------

static_assert(kGenericRead == GENERIC_READ && kGenericWrite == GENERIC_WRITE);
static_assert(kFileShareRead == FILE_SHARE_READ);
static_assert(kCreateNew == CREATE_NEW && kCreateAlways == CREATE_ALWAYS &&
              kOpenExisting == OPEN_EXISTING && kOpenAlways == OPEN_ALWAYS &&
              kTruncateExisting == TRUNCATE_EXISTING);
static_assert(kMoveFileReplaceExisting == MOVEFILE_REPLACE_EXISTING &&
              kMoveFileWriteThrough == MOVEFILE_WRITE_THROUGH);
static_assert(kMaxPath == MAX_PATH);
static_assert(kFileAppendData == FILE_APPEND_DATA && kFileShareRead == FILE_SHARE_READ &&
              kFileShareWrite == FILE_SHARE_WRITE);
static_assert(kInvalidFileAttributes == INVALID_FILE_ATTRIBUTES &&
              kFileAttributeDirectory == FILE_ATTRIBUTE_DIRECTORY &&
              kFileAttributeNormal == FILE_ATTRIBUTE_NORMAL);

Handle Win32System::CreateFile(const char* path, std::uint32_t access, std::uint32_t shareMode,
                               std::uint32_t disposition) {
    return ::CreateFileA(path, access, shareMode, nullptr, disposition, FILE_ATTRIBUTE_NORMAL,
                         nullptr);
}

bool Win32System::ReadFile(Handle h, void* buf, std::uint32_t len, std::uint32_t* done) {
    DWORD n = 0;
    const bool ok = ::ReadFile(h, buf, len, &n, nullptr) != FALSE;
    if (done) *done = n;
    return ok;
}

bool Win32System::WriteFile(Handle h, const void* data, std::uint32_t len, std::uint32_t* done) {
    DWORD n = 0;
    const bool ok = ::WriteFile(h, data, len, &n, nullptr) != FALSE;
    if (done) *done = n;
    return ok;
}

// An append-only handle writes at the end of the file, but not every implementation of it makes
// the end and the write one step for writers on other handles (Wine's does not). A lock on a
// range far past any end the file can have serialises the appending writers of this program,
// and keeps out of the way of readers.
bool Win32System::AppendFile(Handle h, const void* data, std::uint32_t len, std::uint32_t* done) {
    if (done) *done = 0;
    OVERLAPPED range{};
    range.Offset = 0;
    range.OffsetHigh = 0x7FFFFFFFu;
    if (!::LockFileEx(h, LOCKFILE_EXCLUSIVE_LOCK, 0, 1, 0, &range)) return false;
    const bool ok = WriteFile(h, data, len, done);
    ::UnlockFileEx(h, 0, 1, 0, &range);
    return ok;
}

bool Win32System::FlushFileBuffers(Handle h) {
    return ::FlushFileBuffers(h) != FALSE;
}

bool Win32System::GetFileSizeEx(Handle h, std::int64_t* size) {
    LARGE_INTEGER value{};
    if (!::GetFileSizeEx(h, &value)) return false;
    if (size) *size = value.QuadPart;
    return true;
}

std::uint32_t Win32System::GetTempFileName(const char* folder, const char* prefix, char* buf) {
    return ::GetTempFileNameA(folder, prefix, 0, buf);
}

// The new file takes the security that the folder gives new files; Windows files carry no mode
// to copy, so `modeOf` changes nothing here.
Handle Win32System::CreateTempFile(const char* folder, const char* prefix, const char*,
                                   std::string* path) {
    if (path == nullptr) return InvalidHandle();
    path->clear();
    if (folder == nullptr || prefix == nullptr) return InvalidHandle();
    std::string base = folder;
    if (!base.empty() && base.back() != '\\' && base.back() != '/') base += '\\';
    base.append(prefix, ::strnlen(prefix, 3));
    // As GetTempFileNameA names them; the first number tried depends on the process.
    std::uint32_t number = (::GetCurrentProcessId() & 0xFFFFu) | 1u;
    for (std::uint32_t tries = 0; tries < 0xFFFFu; ++tries) {
        char name[16];
        std::snprintf(name, sizeof name, "%04X.tmp", static_cast<unsigned>(number));
        const std::string candidate = base + name;
        const Handle h = ::CreateFileA(candidate.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                       FILE_ATTRIBUTE_NORMAL, nullptr);
        if (h != INVALID_HANDLE_VALUE) {
            *path = candidate;
            return h;
        }
        const DWORD error = ::GetLastError();
        if (error != ERROR_FILE_EXISTS && error != ERROR_ALREADY_EXISTS) return InvalidHandle();
        number = number == 0xFFFFu ? 1u : number + 1u;
    }
    return InvalidHandle();
}

bool Win32System::MoveFileEx(const char* from, const char* to, std::uint32_t flags) {
    // A link planted at the temporary name is not moved into the target's place.
    const DWORD attributes = ::GetFileAttributesA(from);
    if (attributes == INVALID_FILE_ATTRIBUTES ||
        (attributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) != 0)
        return false;
    return ::MoveFileExA(from, to, flags) != FALSE;
}

bool Win32System::DeleteFile(const char* path) {
    return ::DeleteFileA(path) != FALSE;
}

std::uint32_t Win32System::GetFileAttributes(const char* path) {
    return ::GetFileAttributesA(path);
}

bool Win32System::GetFileStamp(Handle h, FileStamp* stamp) {
    LARGE_INTEGER size{};
    FILE_BASIC_INFO info{};
    if (stamp == nullptr || !::GetFileSizeEx(h, &size) ||
        !::GetFileInformationByHandleEx(h, FileBasicInfo, &info, sizeof info))
        return false;
    stamp->size = size.QuadPart;
    stamp->lastWrite = info.LastWriteTime.QuadPart;
    stamp->change = info.ChangeTime.QuadPart;
    return true;
}

// --- Rights, timer resolution and the frame lock ---------------------------------------------

namespace {

// The mutex is meant to be shared by every Kelvane process on the machine, elevated or not:
// everyone may wait for it and release it (SYNCHRONIZE | MUTEX_MODIFY_STATE, nothing more, so no
// one can change its security), and its low integrity label lets a medium-integrity process
// reach an object that a high-integrity one created, and the other way round.
constexpr const char* kFrameMutexSecurity = "D:(A;;0x00100001;;;WD)S:(ML;;NW;;;LW)";
constexpr DWORD kFrameMutexAccess = SYNCHRONIZE | MUTEX_MODIFY_STATE;

// Older headers lack these; the values are the system's own.
constexpr int kProcessPowerThrottling = 4;  // PROCESS_INFORMATION_CLASS
constexpr ULONG kPowerThrottlingVersion = 1;
constexpr ULONG kPowerThrottlingIgnoreTimerResolution = 0x4;

struct PowerThrottlingState {
    ULONG Version;
    ULONG ControlMask;
    ULONG StateMask;
};

using SetProcessInformationFn = BOOL(WINAPI*)(HANDLE, int, LPVOID, DWORD);

// A security descriptor from its text form, freed with LocalFree.
class SecurityDescriptor {
  public:
    explicit SecurityDescriptor(const char* text) {
        if (!::ConvertStringSecurityDescriptorToSecurityDescriptorA(text, SDDL_REVISION_1, &sd_,
                                                                    nullptr)) {
            sd_ = nullptr;
        }
    }
    ~SecurityDescriptor() {
        if (sd_ != nullptr) ::LocalFree(sd_);
    }
    SecurityDescriptor(const SecurityDescriptor&) = delete;
    SecurityDescriptor& operator=(const SecurityDescriptor&) = delete;
    PSECURITY_DESCRIPTOR get() const { return sd_; }

  private:
    PSECURITY_DESCRIPTOR sd_ = nullptr;
};

}  // namespace

bool Win32System::IsProcessElevated() {
    HANDLE token = nullptr;
    if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &token)) return false;
    TOKEN_ELEVATION elevation{};
    DWORD size = 0;
    const BOOL ok =
        ::GetTokenInformation(token, TokenElevation, &elevation, sizeof elevation, &size);
    ::CloseHandle(token);
    return ok && elevation.TokenIsElevated != 0;
}

bool Win32System::TimeBeginPeriod(std::uint32_t ms) {
    return ::timeBeginPeriod(ms) == TIMERR_NOERROR;
}

bool Win32System::TimeEndPeriod(std::uint32_t ms) {
    return ::timeEndPeriod(ms) == TIMERR_NOERROR;
}

bool Win32System::IgnoreTimerResolutionThrottling() {
    // Looked up at run time: systems before Windows 8 do not have the call at all.
    const HMODULE kernel = ::GetModuleHandleA("kernel32.dll");
    if (kernel == nullptr) return false;
    const auto set = reinterpret_cast<SetProcessInformationFn>(
        reinterpret_cast<void*>(::GetProcAddress(kernel, "SetProcessInformation")));
    if (set == nullptr) return false;
    PowerThrottlingState state{kPowerThrottlingVersion, kPowerThrottlingIgnoreTimerResolution,
                               kPowerThrottlingIgnoreTimerResolution};
    return set(::GetCurrentProcess(), kProcessPowerThrottling, &state, sizeof state) != FALSE;
}

Handle Win32System::CreateMutex(const char* name) {
    const SecurityDescriptor descriptor(kFrameMutexSecurity);
    SECURITY_ATTRIBUTES attributes{};
    attributes.nLength = sizeof attributes;
    attributes.lpSecurityDescriptor = descriptor.get();
    attributes.bInheritHandle = FALSE;
    // Without the descriptor the creator's default security applies; an existing mutex is
    // opened with its own security either way.
    const Handle h = ::CreateMutexExA(descriptor.get() != nullptr ? &attributes : nullptr, name, 0,
                                      kFrameMutexAccess);
    mutexError_ = h != nullptr ? 0 : ::GetLastError();
    return h;
}

std::string Win32System::MutexError() {
    switch (mutexError_) {
        case 0:
            return {};
        case ERROR_ACCESS_DENIED:
            // Another program created the name first with a descriptor that refuses these rights.
            return "another program owns a lock of that name that refuses Kelvane (access denied)";
        case ERROR_INVALID_HANDLE:
            return "another kind of object already has that name";
        default:
            return "system error " + std::to_string(mutexError_);
    }
}

bool Win32System::ReleaseMutex(Handle h) {
    return ::ReleaseMutex(h) != FALSE;
}

}  // namespace platform::win32
