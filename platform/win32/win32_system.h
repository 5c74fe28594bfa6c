// System services on the real Windows API: named events, real time, debug output, processes,
// INI files and standard output. Stateless, so one instance serves the whole process from static
// initialisation until exit.
#pragma once

#include <cstdint>
#include <string>

#include "platform/system.h"

namespace platform::win32 {

class Win32System final : public System {
  public:
    constexpr Win32System() = default;

    Handle OpenEvent(const char* name) override;
    Handle CreateEvent(const char* name) override;
    bool SetEvent(Handle h) override;
    std::uint32_t WaitForSingleObject(Handle h, std::uint32_t ms) override;
    bool CloseHandle(Handle h) override;

    void Sleep(std::uint32_t ms) override;
    std::uint64_t TickCount() override;

    void OutputDebugString(const char* text) override;
    void WriteStdout(const char* text) override;

    bool CreateProcessNoWindow(const char* applicationName, char* commandLine,
                               ProcessInfo* pi) override;
    bool GetExitCodeProcess(Handle process, std::uint32_t* code) override;
    bool StartWorker(const std::vector<std::string>& argv, Handle* process,
                     Handle* output) override;
    bool ReadWorkerOutput(Handle output, void* buf, std::uint32_t len,
                          std::uint32_t* done) override;
    bool WaitWorker(Handle process, std::uint32_t* code) override;
    // The command line that gives a program the arguments `argv` (argv[0] its name).
    static std::string CommandLineOf(const std::vector<std::string>& argv);

    bool WritePrivateProfileString(const char* section, const char* key, const char* value,
                                   const char* path) override;
    std::uint32_t GetModuleFileName(char* buf, std::uint32_t bufLen) override;
    std::uint32_t GetSystemDirectory(char* buf, std::uint32_t bufLen) override;

    // --- File contents ---
    Handle CreateFile(const char* path, std::uint32_t access, std::uint32_t shareMode,
                      std::uint32_t disposition) override;
    bool ReadFile(Handle h, void* buf, std::uint32_t len, std::uint32_t* done) override;
    bool WriteFile(Handle h, const void* data, std::uint32_t len, std::uint32_t* done) override;
    bool AppendFile(Handle h, const void* data, std::uint32_t len, std::uint32_t* done) override;
    bool FlushFileBuffers(Handle h) override;
    bool GetFileSizeEx(Handle h, std::int64_t* size) override;
    std::uint32_t GetTempFileName(const char* folder, const char* prefix, char* buf) override;
    Handle CreateTempFile(const char* folder, const char* prefix, const char* modeOf,
                          std::string* path) override;
    bool MoveFileEx(const char* from, const char* to, std::uint32_t flags) override;
    bool DeleteFile(const char* path) override;
    std::uint32_t GetFileAttributes(const char* path) override;
    bool GetFileStamp(Handle h, FileStamp* stamp) override;
    // --- Rights, timer resolution and the frame lock ---
    bool IsProcessElevated() override;
    bool TimeBeginPeriod(std::uint32_t ms) override;
    bool TimeEndPeriod(std::uint32_t ms) override;
    bool IgnoreTimerResolutionThrottling() override;
    Handle CreateMutex(const char* name) override;
    bool ReleaseMutex(Handle h) override;
    std::string MutexError() override;
    // The system does not name a mutex's owner.
    std::string MutexOwner(Handle) override { return {}; }
    // --- Debug output on standard error ---
    // A console program's --verbose: each debug output line is also written to standard error.
    void CopyDebugOutputToStderr(bool on) { debugToStderr_ = on; }

  private:
    bool debugToStderr_ = false;
    std::uint32_t mutexError_ = 0;  // GetLastError of the last CreateMutex that failed
};

}  // namespace platform::win32
