#include "platform/platform.h"

namespace platform {
namespace {

// A null backend's transfer: nothing moved, and the call fails.
bool NothingMoved(std::uint32_t* count) {
    if (count) *count = 0;
    return false;
}

class NullDeviceIo final : public DeviceIo {
  public:
    Handle OpenDevice(const char*) override { return InvalidHandle(); }
    bool CloseDevice(Handle) override { return false; }
    bool DeviceIoControl(Handle, std::uint32_t, void*, std::uint32_t, void*, std::uint32_t,
                         std::uint32_t* returned) override {
        return NothingMoved(returned);
    }
    bool ReadFile(Handle, void*, std::uint32_t, std::uint32_t* done) override {
        return NothingMoved(done);
    }
    bool WriteFile(Handle, const void*, std::uint32_t, std::uint32_t* done) override {
        return NothingMoved(done);
    }
    PipeStepResult RecoverPipe(Handle, PipeStep) override { return PipeStepResult::kNotAvailable; }
    bool LastTransferStalled(Handle) override { return false; }
    std::uint32_t GetLogicalDriveStrings(std::uint32_t, char*) override { return 0; }
    std::uint32_t GetDriveType(const char*) override { return kDriveNoRootDir; }
    std::string DeviceIdentity(const char*) override { return {}; }
};

class NullSystem final : public System {
  public:
    Handle OpenEvent(const char*) override { return nullptr; }
    Handle CreateEvent(const char*) override { return nullptr; }
    bool SetEvent(Handle) override { return false; }
    std::uint32_t WaitForSingleObject(Handle, std::uint32_t) override { return kWaitFailed; }
    bool CloseHandle(Handle) override { return false; }
    void Sleep(std::uint32_t) override {}
    std::uint64_t TickCount() override { return 0; }
    void OutputDebugString(const char*) override {}
    void WriteStdout(const char*) override {}
    bool CreateProcessNoWindow(const char*, char*, ProcessInfo*) override { return false; }
    bool GetExitCodeProcess(Handle, std::uint32_t*) override { return false; }
    bool WritePrivateProfileString(const char*, const char*, const char*, const char*) override {
        return false;
    }
    std::uint32_t GetModuleFileName(char* buf, std::uint32_t bufLen) override {
        if (buf && bufLen) buf[0] = '\0';
        return 0;
    }
    std::uint32_t GetSystemDirectory(char* buf, std::uint32_t bufLen) override {
        if (buf && bufLen) buf[0] = '\0';
        return 0;
    }

    // --- File contents ---
    Handle CreateFile(const char*, std::uint32_t, std::uint32_t, std::uint32_t) override {
        return InvalidHandle();
    }
    bool ReadFile(Handle, void*, std::uint32_t, std::uint32_t* done) override {
        return NothingMoved(done);
    }
    bool WriteFile(Handle, const void*, std::uint32_t, std::uint32_t* done) override {
        return NothingMoved(done);
    }
    bool FlushFileBuffers(Handle) override { return false; }
    bool GetFileSizeEx(Handle, std::int64_t*) override { return false; }
    std::uint32_t GetTempFileName(const char*, const char*, char* buf) override {
        if (buf) buf[0] = '\0';
        return 0;
    }
    Handle CreateTempFile(const char*, const char*, const char*, std::string* path) override {
        if (path) path->clear();
        return InvalidHandle();
    }
    bool MoveFileEx(const char*, const char*, std::uint32_t) override { return false; }
    bool DeleteFile(const char*) override { return false; }
    std::uint32_t GetFileAttributes(const char*) override { return kInvalidFileAttributes; }
    bool GetFileStamp(Handle, FileStamp*) override { return false; }
    // --- Rights, timer resolution and the frame lock ---
    bool IsProcessElevated() override { return false; }
    bool TimeBeginPeriod(std::uint32_t) override { return false; }
    bool TimeEndPeriod(std::uint32_t) override { return false; }
    bool IgnoreTimerResolutionThrottling() override { return false; }
    Handle CreateMutex(const char*) override { return nullptr; }
    bool ReleaseMutex(Handle) override { return false; }
    std::string MutexError() override { return "no system backend is installed"; }
    std::string MutexOwner(Handle) override { return {}; }
};

// Constant-initialised and trivially destructible, so they are usable during static
// initialisation and at exit, whatever the order of other statics.
constinit NullDeviceIo g_nullIo;
constinit NullSystem g_nullSys;
constinit DeviceIo* g_io = &g_nullIo;
constinit System* g_sys = &g_nullSys;

}  // namespace

DeviceIo& Io() {
    return *g_io;
}
System& Sys() {
    return *g_sys;
}

void Install(DeviceIo* io, System* sys) {
    g_io = io ? io : static_cast<DeviceIo*>(&g_nullIo);
    g_sys = sys ? sys : static_cast<System*>(&g_nullSys);
}

}  // namespace platform
