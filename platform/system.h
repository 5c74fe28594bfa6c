// System half of the OS seam: named events, time, debug output, processes, INI files, the
// program's own path and standard output. Each call has the meaning of the Win32 call it is named
// after. In the simulated backend time is virtual: Sleep and timed waits advance a clock at once.
#pragma once

#include <cstddef>
#include <cstdint>

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
    virtual bool CreateProcessNoWindow(const char* applicationName, char* commandLine,
                                       ProcessInfo* pi) = 0;
    virtual bool GetExitCodeProcess(Handle process, std::uint32_t* code) = 0;

    // --- Files ----------------------------------------------------------------------------------
    // WritePrivateProfileStringA(section, key, value, path).
    virtual bool WritePrivateProfileString(const char* section, const char* key, const char* value,
                                           const char* path) = 0;
    // GetModuleFileNameA(nullptr, ...): the program file's full path. Returns the length copied,
    // 0 on failure; the text is always terminated.
    virtual std::uint32_t GetModuleFileName(char* buf, std::uint32_t bufLen) = 0;
    // GetSystemDirectoryA: the system folder, without a trailing separator; same return rule.
    virtual std::uint32_t GetSystemDirectory(char* buf, std::uint32_t bufLen) = 0;

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
};

}  // namespace platform
