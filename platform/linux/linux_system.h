// The Linux System backend.
//
// - Named events and the command frame's mutex are names in the kernel's abstract socket
//   namespace, "kelvane/<name>": a socket bound to the name holds the object, and waiters line up
//   on "<name>.queue" first. Taking the event is binding its name; SetEvent gives it back when
//   this handle holds it and does nothing otherwise; a mutex is given back only by its holder.
//   The kernel drops the binding of a program that dies, so a dead holder never blocks the name
//   (the device-side lock it held is the protocol's business, and no mutex is ever abandoned). A
//   handle that holds the object and waits on it again times out, as a wait on an auto-reset
//   event that nobody set does. Two handles in one process exclude each other like two programs.
//   The names are the same for every user and every process of the machine (of its network
//   namespace: a container with a network of its own has its own names) and no file is involved, so
//   another user can hold a name (waits are bounded by their callers and the holder can be named)
//   but never redirect, block or subvert one.
// - The service events of removable disks are named after the disk's kernel name ("sdb"), not
//   its drive letter: letters follow the set of disks attached, kernel names stay while the disk
//   does, so every process that talks to one disk takes one event.
// - There is no still-image service to stop, so no processes are started: CreateProcessNoWindow
//   fails and there is no system folder.
// - Debug output goes to standard error, one line per call, when switched on.
// - INI files are written as WritePrivateProfileStringA writes them (platform/profile).
// - Files are plain POSIX descriptors, opened without following a link at the name and only
//   when they are plain files (never blocking on a FIFO). The share mode is not kept: the
//   image read checks its file's stamp instead. CreateTempFile creates with O_EXCL; MoveFileEx
//   is rename(2), which replaces in one step, and its write-through then syncs the target's
//   folder (a failed sync is a debug line, not a failed move).
// - There is no service to stop and so no elevation to ask for: the process counts as elevated,
//   and the device nodes' own permissions decide. Sleeps are not rounded to a timer tick, so the
//   timer calls succeed without doing anything.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <utility>

#include "platform/system.h"

namespace platform::linux_os {

class LinuxSystem final : public System {
  public:
    // The product's names: every Kelvane process of the machine shares them.
    static constexpr const char* kLockNamespace = "kelvane/";
    LinuxSystem();
    // Names under `lockNamespace` instead: tests keep their objects apart from each other's
    // and from a real Kelvane's.
    explicit LinuxSystem(std::string lockNamespace);
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
    bool IsProcessElevated() override { return true; }
    bool TimeBeginPeriod(std::uint32_t ms) override { return ms != 0; }
    bool TimeEndPeriod(std::uint32_t ms) override { return ms != 0; }
    bool IgnoreTimerResolutionThrottling() override { return false; }
    Handle CreateMutex(const char* name) override;
    bool ReleaseMutex(Handle h) override;
    std::string MutexError() override;
    // The process holding the object's name, when this process may see it (root sees all).
    std::string MutexOwner(Handle h) override;

    // --- Linux only ---------------------------------------------------------------------------
    void SetDebugOutput(bool on) { debugOutput_ = on; }
    // Another namespace for the names, set before the first handle is opened (a test build's
    // hook; see the constructor).
    void SetLockNamespace(std::string lockNamespace) { lockNamespace_ = std::move(lockNamespace); }
    // Maps an event or mutex name to the one its object is kept under (the disk events' letters
    // to kernel names); set before the first handle is opened.
    void SetObjectKey(std::function<std::string(const std::string&)> key) {
        eventKey_ = std::move(key);
    }
    // The abstract socket address (without its leading NUL) of the object `name`; empty when the
    // name cannot be one.
    std::string LockAddress(const char* name) const;

    // Worker programs (posix_spawn; linux_workers.cpp).
    bool StartWorker(const std::vector<std::string>& argv, Handle* process,
                     Handle* output) override;
    bool ReadWorkerOutput(Handle output, void* buf, std::uint32_t len,
                          std::uint32_t* done) override;
    bool WaitWorker(Handle process, std::uint32_t* code) override;

    struct NamedLock;
    struct PlainFile;
    struct Worker;

  private:
    Handle OpenLock(const char* name);
    // A handle owning the open descriptor `fd` of a plain file.
    Handle KeepFile(int fd);

    std::string lockNamespace_;
    std::function<std::string(const std::string&)> eventKey_;
    int lastError_ = 0;  // errno of the last wait the system refused
    bool debugOutput_ = false;
    std::map<Handle, std::unique_ptr<NamedLock>> locks_;
    std::map<Handle, std::unique_ptr<PlainFile>> files_;
    std::map<Handle, std::unique_ptr<Worker>> workers_;
};

}  // namespace platform::linux_os
