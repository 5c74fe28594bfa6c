// System half of the OS seam: named events, time, debug output, processes, INI files, the
// program's own path and standard output. Each call has the meaning of the Win32 call it is named
// after. In the simulated backend time is virtual: Sleep and timed waits advance a clock at once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/types.h"

namespace platform {

struct ProcessInfo {
    Handle process = nullptr;
    Handle thread = nullptr;
};

class System {
  public:
    virtual ~System() = default;

    // --- Named events -------------------------------------------------------------------------
    // OpenEventA(EVENT_ALL_ACCESS, TRUE, name): null when no event of that name exists.
    virtual Handle OpenEvent(const char* name) = 0;
    // CreateEventA(nullptr, FALSE /*auto-reset*/, TRUE /*signalled*/, name): null on failure.
    // An existing event of that name is opened instead (as CreateEventA does).
    virtual Handle CreateEvent(const char* name) = 0;
    virtual bool SetEvent(Handle h) = 0;
    // WaitForSingleObject on an event or a process. A null or unknown handle gives
    // kWaitFailed at once; a timed-out wait gives kWaitTimeout after `ms` milliseconds.
    virtual std::uint32_t WaitForSingleObject(Handle h, std::uint32_t ms) = 0;
    // CloseHandle on an event, process or thread handle of this backend.
    virtual bool CloseHandle(Handle h) = 0;

    // --- Time -----------------------------------------------------------------------------------
    virtual void Sleep(std::uint32_t ms) = 0;
    // Milliseconds since an arbitrary origin (GetTickCount64); the simulated scanner's clock.
    virtual std::uint64_t TickCount() = 0;

    // --- Output ---------------------------------------------------------------------------------
    // OutputDebugStringA: one call per trace line.
    virtual void OutputDebugString(const char* text) = 0;
    // The program's standard output stream (unbuffered text, written as given).
    virtual void WriteStdout(const char* text) = 0;

    // --- Processes ------------------------------------------------------------------------------
    // CreateProcessA(applicationName, commandLine, nullptr, nullptr, FALSE, CREATE_NO_WINDOW,
    // nullptr, nullptr, &startupInfo{cb only}, &pi). `applicationName` may be null (the first
    // word of the command line names the program). `commandLine` may be modified by the call.
    // With `pi` null the program still starts and its handles are closed at once.
    virtual bool CreateProcessNoWindow(const char* applicationName, char* commandLine,
                                       ProcessInfo* pi) = 0;
    virtual bool GetExitCodeProcess(Handle process, std::uint32_t* code) = 0;

    // --- Worker programs ------------------------------------------------------------------------
    // Starts the program `argv[0]` with the arguments `argv`, its standard output into a new pipe
    // whose reading end goes to *output, its standard input and error this process's. *process
    // is for WaitWorker; both are closed with CloseHandle. Workers are started from one thread,
    // one after another, so that none inherits another's pipe. False with nothing started.
    virtual bool StartWorker(const std::vector<std::string>& argv, Handle* process,
                             Handle* output) {
        (void)argv, (void)process, (void)output;
        return false;
    }
    // What the worker has written, as soon as there is some: up to `len` bytes, *done == 0 at
    // the end of its output. May be called from a thread of its own for each worker.
    virtual bool ReadWorkerOutput(Handle output, void* buf, std::uint32_t len,
                                  std::uint32_t* done) {
        (void)output, (void)buf, (void)len;
        if (done) *done = 0;
        return false;
    }
    // Waits for the worker's end; *code is its exit status (128 + the signal for one that a
    // signal ended).
    virtual bool WaitWorker(Handle process, std::uint32_t* code) {
        (void)process, (void)code;
        return false;
    }

    // --- Files ----------------------------------------------------------------------------------
    // WritePrivateProfileStringA(section, key, value, path).
    virtual bool WritePrivateProfileString(const char* section, const char* key, const char* value,
                                           const char* path) = 0;
    // GetModuleFileNameA(nullptr, ...): the program file's full path. Returns its length when it
    // fits (less than `bufLen`). A path that does not fit is cut to `bufLen` - 1 characters and
    // `bufLen` is returned, so callers grow the buffer while the result equals its size. 0 on
    // failure and when `bufLen` is 0. The text is terminated whenever `bufLen` > 0 (as since
    // Vista; older systems and Wine leave a cut path unterminated, the backend does not).
    virtual std::uint32_t GetModuleFileName(char* buf, std::uint32_t bufLen) = 0;
    // GetSystemDirectoryA: the system folder, without a trailing separator unless it is a root.
    // Returns its length when it fits (less than `bufLen`); otherwise copies nothing and returns
    // the size needed, terminator included. `buf` may be null with `bufLen` 0 to ask for the size.
    // 0 on failure.
    virtual std::uint32_t GetSystemDirectory(char* buf, std::uint32_t bufLen) = 0;

    // --- File contents ------------------------------------------------------------------------
    // Ordinary files (the firmware image, flash.bin and its temporary sibling). A file handle is
    // closed with CloseHandle; "none" is InvalidHandle(). Paths are the program's own texts.
    //
    // CreateFileA(path, access, shareMode, nullptr, disposition, FILE_ATTRIBUTE_NORMAL, nullptr):
    // `access` is kGenericRead and/or kGenericWrite, or kFileAppendData alone (every write goes
    // to the file's end, in one piece against other appending writers), `disposition` one of
    // kCreateNew ... kTruncateExisting. InvalidHandle() on failure; a folder never opens, and
    // neither does a read-only file for writing.
    virtual Handle CreateFile(const char* path, std::uint32_t access, std::uint32_t shareMode,
                              std::uint32_t disposition) = 0;
    // ReadFile(h, buf, len, done, nullptr): true with *done == 0 at the end of the file.
    virtual bool ReadFile(Handle h, void* buf, std::uint32_t len, std::uint32_t* done) = 0;
    // WriteFile(h, data, len, done, nullptr). True does not mean whole: compare *done with len.
    virtual bool WriteFile(Handle h, const void* data, std::uint32_t len, std::uint32_t* done) = 0;
    // A write at the end of a file opened with kFileAppendData, in one piece: another writer
    // appending to the same file at the same time never lands inside it. *done short of `len`
    // is not continued (a second write could be split from the first).
    virtual bool AppendFile(Handle h, const void* data, std::uint32_t len, std::uint32_t* done) {
        return WriteFile(h, data, len, done);
    }
    // FlushFileBuffers(h): what was written is on the disk once this returns true.
    virtual bool FlushFileBuffers(Handle h) = 0;
    // GetFileSizeEx(h, &size): the size in bytes.
    virtual bool GetFileSizeEx(Handle h, std::int64_t* size) = 0;
    // GetTempFileNameA(folder, prefix, 0, buf): creates an empty file of a name no other file in
    // `folder` has and puts its path in `buf`, which holds kMaxPath characters. Returns the
    // number in the name, 0 on failure.
    virtual std::uint32_t GetTempFileName(const char* folder, const char* prefix, char* buf) = 0;
    // CreateFileA(folder "\\" prefix "XXXX.tmp", GENERIC_WRITE, 0, CREATE_NEW) on generated
    // names until one is new: a new, empty file that no other file in `folder` was, open for
    // writing. A link or anything else already at a name counts as taken and is never followed.
    // Its path goes to `*path` for the MoveFileEx that puts it in place; the
    // file is written through the handle and never opened again by its name. When `modeOf`
    // names an existing plain file (not followed if it is a link, and never changed), the new
    // file takes its permissions and, where the process may set it, its owner, before any data go
    // in. InvalidHandle() on failure, with `*path` empty and nothing left behind.
    virtual Handle CreateTempFile(const char* folder, const char* prefix, const char* modeOf,
                                  std::string* path) = 0;
    // MoveFileExA(from, to, flags): with kMoveFileReplaceExisting an existing `to` is replaced in
    // one step (a reader sees the old file or the new one, never a mix). A `from` that is a link
    // or a folder is never moved. The move is the commit point: true means that `to` now names
    // the moved file, and false that it does not (`to` as it was). kMoveFileWriteThrough then
    // asks that the move be on the disk when the call returns; a backend that can only sync the
    // folder after the move does so, and a sync that fails there does not fail the call (the
    // file is in place, only its survival of a crash in the next moments is less sure): the
    // backend says so in the debug output instead.
    virtual bool MoveFileEx(const char* from, const char* to, std::uint32_t flags) = 0;
    // DeleteFileA(path).
    virtual bool DeleteFile(const char* path) = 0;
    // GetFileAttributesA(path): kInvalidFileAttributes when nothing is there; a link is not
    // followed. Callers test only for kInvalidFileAttributes and kFileAttributeDirectory.
    virtual std::uint32_t GetFileAttributes(const char* path) = 0;
    // What tells whether an open file changed: its size, last write time and change time, in the
    // system's own units (to compare, not to show).
    struct FileStamp {
        std::int64_t size = 0;
        std::int64_t lastWrite = 0;
        std::int64_t change = 0;
        bool operator==(const FileStamp&) const = default;
    };
    // GetFileSizeEx and GetFileInformationByHandleEx(h, FileBasicInfo).
    virtual bool GetFileStamp(Handle h, FileStamp* stamp) = 0;
    // --- Rights, timer resolution and the frame lock -----------------------------------------
    // OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY) and GetTokenInformation(TokenElevation):
    // true when the process's token is elevated. False also when the token cannot be asked.
    virtual bool IsProcessElevated() = 0;
    // timeBeginPeriod(ms): true on TIMERR_NOERROR. Each successful call needs a TimeEndPeriod
    // with the same value.
    virtual bool TimeBeginPeriod(std::uint32_t ms) = 0;
    // timeEndPeriod(ms): true on TIMERR_NOERROR.
    virtual bool TimeEndPeriod(std::uint32_t ms) = 0;
    // SetProcessInformation(GetCurrentProcess(), ProcessPowerThrottling, {version 1,
    // PROCESS_POWER_THROTTLING_IGNORE_TIMER_RESOLUTION in both masks}): the process's timer
    // requests keep their effect while its windows are hidden. False where the system lacks it.
    virtual bool IgnoreTimerResolutionThrottling() = 0;
    // CreateMutexExA(security open to every user and integrity level, name, not owned,
    // SYNCHRONIZE | MUTEX_MODIFY_STATE): creates the named mutex or opens the existing one; null
    // on failure. WaitForSingleObject takes it (kWaitObject0, or kWaitAbandoned when its owner
    // ended while holding it); CloseHandle closes it.
    virtual Handle CreateMutex(const char* name) = 0;
    // ReleaseMutex: false when the calling thread does not own it.
    virtual bool ReleaseMutex(Handle h) = 0;
    // Why the last CreateMutex, or wait on a mutex, failed: words for the user (empty when the
    // system gave no reason). A lock that cannot be had is an error its caller shows.
    virtual std::string MutexError() = 0;
    // Who holds the mutex of `h` now, in words for the user ("process 4711"); empty when the
    // system cannot tell.
    virtual std::string MutexOwner(Handle h) = 0;
};

// Arguments of the file calls, with their Win32 values.
constexpr std::uint32_t kGenericRead = 0x80000000u;
constexpr std::uint32_t kGenericWrite = 0x40000000u;
constexpr std::uint32_t kFileAppendData = 0x00000004u;
constexpr std::uint32_t kFileShareRead = 0x00000001u;
constexpr std::uint32_t kFileShareWrite = 0x00000002u;
constexpr std::uint32_t kCreateNew = 1;
constexpr std::uint32_t kCreateAlways = 2;
constexpr std::uint32_t kOpenExisting = 3;
constexpr std::uint32_t kOpenAlways = 4;
constexpr std::uint32_t kTruncateExisting = 5;
constexpr std::uint32_t kMoveFileReplaceExisting = 0x1u;
constexpr std::uint32_t kMoveFileWriteThrough = 0x8u;
constexpr std::uint32_t kInvalidFileAttributes = 0xFFFFFFFFu;
constexpr std::uint32_t kFileAttributeDirectory = 0x10u;
constexpr std::uint32_t kFileAttributeNormal = 0x80u;
constexpr std::size_t kMaxPath = 260;

}  // namespace platform
