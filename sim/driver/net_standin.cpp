// net-standin.exe: planted as the system's net.exe in a test's prefix, so that the service
// commands a Kelvane job runs can be ordered against the scanners' exchanges. It runs no
// service command; it appends its arguments and the driver's call counter at that moment
// ("stop stisvc tick=812") to "net-standin.log" in its own folder and ends with 0, as a
// service command that worked. An exchange whose start is above that tick came after the command.
#include <windows.h>

#include <cstdio>
#include <string>

#include "sim/driver/driver_interface.h"

namespace drv = scanner_driver;

namespace {

// The counter every scanner's exchanges are stamped with, or "unknown" when the driver does not
// answer (so the log says so rather than pass for an order).
std::string DriverTick() {
    const HANDLE h =
        ::CreateFileA(drv::kControlDeviceName, GENERIC_READ | GENERIC_WRITE,
                      FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE) return "unknown";
    // Asked from past the end, the log answers with its counters alone.
    const drv::LogQuery query{0xFFFFFFFFu};
    drv::LogReply reply{};
    DWORD returned = 0;
    const bool ok = ::DeviceIoControl(h, drv::kIoctlReadLog, const_cast<drv::LogQuery*>(&query),
                                      sizeof query, &reply, sizeof reply, &returned, nullptr) != 0;
    ::CloseHandle(h);
    return ok && returned >= sizeof reply ? std::to_string(reply.tick) : "unknown";
}

}  // namespace

int main(int argc, char** argv) {
    char self[MAX_PATH] = {};
    const DWORD n = ::GetModuleFileNameA(nullptr, self, sizeof self);
    if (n == 0 || n >= sizeof self) return 3;
    std::string log(self, n);
    log.resize(log.find_last_of("\\/") + 1);
    log += "net-standin.log";
    std::string line;
    for (int i = 1; i < argc; ++i) line += std::string(argv[i]) + " ";
    line += "tick=" + DriverTick();
    std::FILE* file = std::fopen(log.c_str(), "ab");
    if (file == nullptr) return 4;
    const bool written = std::fprintf(file, "%s\n", line.c_str()) > 0;
    return std::fclose(file) == 0 && written ? 0 : 4;
}
