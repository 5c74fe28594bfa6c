#include "platform/win32/win32_system.h"

#include <cstring>

#include "platform/win32/windows_api.h"

namespace platform::win32 {
namespace {

static_assert(kWaitObject0 == WAIT_OBJECT_0);
static_assert(kWaitTimeout == WAIT_TIMEOUT);
static_assert(kWaitFailed == WAIT_FAILED);
static_assert(kDriveUnknown == DRIVE_UNKNOWN && kDriveNoRootDir == DRIVE_NO_ROOT_DIR &&
              kDriveRemovable == DRIVE_REMOVABLE && kDriveFixed == DRIVE_FIXED &&
              kDriveRemote == DRIVE_REMOTE && kDriveCdrom == DRIVE_CDROM &&
              kDriveRamdisk == DRIVE_RAMDISK);

// A path that did not fit is not a path: callers would build file names in the wrong folder.
// So a truncated result counts as a failure and leaves an empty, terminated text.
std::uint32_t PathResult(UINT length, char* buf, std::uint32_t bufLen) {
    if (buf == nullptr || bufLen == 0) return 0;
    if (length == 0 || length >= bufLen) {
        buf[0] = '\0';
        return 0;
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
    if (buf == nullptr || bufLen == 0) return 0;
    return PathResult(::GetSystemDirectoryA(buf, bufLen), buf, bufLen);
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

bool Win32System::MoveFileEx(const char* from, const char* to, std::uint32_t flags) {
    return ::MoveFileExA(from, to, flags) != FALSE;
}

bool Win32System::DeleteFile(const char* path) {
    return ::DeleteFileA(path) != FALSE;
}

}  // namespace platform::win32
