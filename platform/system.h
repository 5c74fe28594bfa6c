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
    // With `pi` null the program still starts and its handles are closed at once.
    virtual bool CreateProcessNoWindow(const char* applicationName, char* commandLine,
                                       ProcessInfo* pi) = 0;
    virtual bool GetExitCodeProcess(Handle process, std::uint32_t* code) = 0;

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
};

}  // namespace platform
