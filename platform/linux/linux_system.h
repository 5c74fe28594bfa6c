// The Linux System backend.
//
// - Named events are lock files held with flock: "<dir>/<name>.lock", where <dir> is
//   $XDG_RUNTIME_DIR when set, else /run/lock, with "<dir>/<name>.queue" where waiters line up.
//   Taking the event is taking the lock; SetEvent gives it back when this handle holds it and
//   does nothing otherwise. The kernel frees the lock
//   of a program that dies, so a dead holder never blocks the file (the device-side lock it held
//   is the protocol's business). A handle that holds the event and waits on it again times out,
//   as a wait on an auto-reset event that nobody set does.
// - There is no still-image service to stop, so no processes are started: CreateProcessNoWindow
//   fails and there is no system folder.
// - Debug output goes to standard error, one line per call, when switched on.
// - INI files are written as WritePrivateProfileStringA writes them (platform/profile).
// - Files are plain POSIX descriptors, opened without following a link at the name and only
//   when they are plain files (never blocking on a FIFO). The share mode is not kept: the
//   image read checks its file's stamp instead. CreateTempFile creates with O_EXCL; MoveFileEx
//   is rename(2), which replaces in one step, and its write-through then syncs the target's
//   folder (a failed sync is a debug line, not a failed move).
// - The command frame's named mutex is a lock file like the events, but released only by its
//   holder. The kernel frees it when the holder dies, so an abandoned one is simply free.
// - There is no service to stop and so no elevation to ask for: the process counts as elevated,
//   and the device nodes' own permissions decide. Sleeps are not rounded to a timer tick, so the
//   timer calls succeed without doing anything.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>

#include "platform/system.h"

namespace platform::linux_os {

class LinuxSystem final : public System {
  public:
    LinuxSystem();
    ~LinuxSystem() override;
    LinuxSystem(const LinuxSystem&) = delete;
    LinuxSystem& operator=(const LinuxSystem&) = delete;

    // --- platform::System ------------------------------------------------------------------
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
    bool WritePrivateProfileString(const char* section, const char* key, const char* value,
                                   const char* path) override;
    std::uint32_t GetModuleFileName(char* buf, std::uint32_t bufLen) override;
    std::uint32_t GetSystemDirectory(char* buf, std::uint32_t bufLen) override;
    Handle CreateFile(const char* path, std::uint32_t access, std::uint32_t shareMode,
                      std::uint32_t disposition) override;
    bool ReadFile(Handle h, void* buf, std::uint32_t len, std::uint32_t* done) override;
    bool WriteFile(Handle h, const void* data, std::uint32_t len, std::uint32_t* done) override;
    bool FlushFileBuffers(Handle h) override;
    bool GetFileSizeEx(Handle h, std::int64_t* size) override;
    std::uint32_t GetTempFileName(const char* folder, const char* prefix, char* buf) override;
    Handle CreateTempFile(const char* folder, const char* prefix, const char* modeOf,
                          std::string* path) override;
    bool MoveFileEx(const char* from, const char* to, std::uint32_t flags) override;
    bool DeleteFile(const char* path) override;
    std::uint32_t GetFileAttributes(const char* path) override;
    bool GetFileStamp(Handle h, FileStamp* stamp) override;
    bool IsProcessElevated() override { return true; }
    bool TimeBeginPeriod(std::uint32_t ms) override { return ms != 0; }
    bool TimeEndPeriod(std::uint32_t ms) override { return ms != 0; }
    bool IgnoreTimerResolutionThrottling() override { return false; }
    Handle CreateMutex(const char* name) override;
    bool ReleaseMutex(Handle h) override;

    // --- Linux only ---------------------------------------------------------------------------
    void SetDebugOutput(bool on) { debugOutput_ = on; }
    // The folder of the lock files (read from the environment at construction).
    const std::string& LockFolder() const { return lockFolder_; }
    // The lock file of the event `name`; empty when the name cannot be a file name.
    std::string LockFilePath(const char* name) const;

    struct LockFile;
    struct PlainFile;

  private:
    Handle OpenLock(const char* name, bool create);

    std::string lockFolder_;
    bool debugOutput_ = false;
    std::map<Handle, std::unique_ptr<LockFile>> locks_;
    std::map<Handle, std::unique_ptr<PlainFile>> files_;
};

}  // namespace platform::linux_os
