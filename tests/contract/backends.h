// The backends the contract suite runs against, each behind the same small fixture: the two
// halves of the seam, plus what a test needs to set up a world in which a call can be checked
// (a program that ends with a given code, a program that does not exist). Natively only the
// simulated backend runs; the Windows build runs it too and, beside it, the real Win32 backend.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <string>
#include <type_traits>

#include "platform/device_io.h"
#include "platform/sim/sim_device_io.h"
#include "platform/sim/sim_system.h"
#include "platform/system.h"

#ifdef _WIN32
#include "platform/win32/win32_device_io.h"
#include "platform/win32/win32_system.h"
#include "platform/win32/windows_api.h"
#endif

namespace contract {

class SimBackend {
  public:
    // The virtual clock moves by exactly the time asked for.
    static constexpr std::uint32_t kTickSlackMs = 0;

    SimBackend() {
        // The drives a fresh Wine prefix has.
        io_.AddDrive('C', platform::kDriveFixed);
        io_.AddDrive('Z', platform::kDriveFixed);
    }

    platform::System& Sys() { return sys_; }
    platform::DeviceIo& Io() { return io_; }
    sim::SimDeviceIo& SimIo() { return io_; }

    // A command line whose program runs briefly and ends with `code`.
    std::string ProgramEndingWith(std::uint32_t code) {
        std::string line = "kv_exit.exe " + std::to_string(code);
        sys_.SetProcess(line, {.starts = true, .exitCode = code, .runMs = 40});
        return line;
    }
    // A command line whose program cannot be started.
    std::string MissingProgram() {
        std::string line = "kv_no_such_program_here.exe /x";
        sys_.SetProcess(line, {.starts = false});
        return line;
    }
    // A command line whose program runs until EndProgram ends it; that returns its exit code.
    std::string ProgramThatKeepsRunning() {
        std::string line = "kv_keeps_running.exe";
        sys_.SetProcess(line, {.starts = true, .exitCode = 5, .runMs = kKeepsRunningMs});
        return line;
    }
    std::uint32_t EndProgram(platform::Handle) {
        sys_.Advance(kKeepsRunningMs);
        return 5;
    }

  private:
    static constexpr std::uint32_t kKeepsRunningMs = 3'600'000;
    sim::SimSystem sys_;
    sim::SimDeviceIo io_;
};

#ifdef _WIN32
class Win32Backend {
  public:
    // GetTickCount64 moves in steps of the system timer (15.625 ms unless raised).
    static constexpr std::uint32_t kTickSlackMs = 16;

    platform::System& Sys() { return sys_; }
    platform::DeviceIo& Io() { return io_; }

    std::string ProgramEndingWith(std::uint32_t code) {
        return "cmd.exe /c exit " + std::to_string(code);
    }
    std::string MissingProgram() { return "kv_no_such_program_here.exe /x"; }
    // Waits for a key on a console of its own that nobody types into.
    std::string ProgramThatKeepsRunning() { return "cmd.exe /c pause"; }
    std::uint32_t EndProgram(platform::Handle process) {
        ::TerminateProcess(process, 5);
        return 5;
    }

  private:
    platform::win32::Win32System sys_;
    platform::win32::Win32DeviceIo io_;
};

using Backends = ::testing::Types<SimBackend, Win32Backend>;
#else
using Backends = ::testing::Types<SimBackend>;
#endif

// Test names say which backend a failure came from.
class BackendNames {
  public:
    template <typename T>
    static std::string GetName(int) {
        if constexpr (std::is_same_v<T, SimBackend>) return "Sim";
#ifdef _WIN32
        if constexpr (std::is_same_v<T, Win32Backend>) return "Win32";
#endif
        return "Unknown";
    }
};

// Names that no other run of the suite uses at the same time (the Win32 namespace of named
// objects is shared by every process of the Wine prefix).
std::string UniqueName(const std::string& base);

// A fresh, empty folder for one test, removed at the end of the test.
class TempFolder {
  public:
    TempFolder();
    ~TempFolder();
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;
    const std::filesystem::path& path() const { return path_; }

  private:
    std::filesystem::path path_;
};

std::string ReadAll(const std::filesystem::path& p);

}  // namespace contract
