// kelvane-gadget: one simulated scanner served as a real USB device over FunctionFS, for tests
// that run kelvane-cli against the kernel's own USB stack (dummy_hcd in a virtual machine).
//
//   kelvane-gadget --ffs DIR --presentation still-image|disk [--vendor HEX] [--product HEX]
//                  [--memory-size BYTES] [--fault TEXT]... [--real-conduct] [--log FILE]
//                  [--dump FILE] [--udc-file PATH] [--ready FILE] [--control FIFO]
//
// DIR is the mounted functionfs. Once the descriptors are written the --ready file is created,
// holding "VENDOR PRODUCT BCDDEVICE" in hexadecimal for the gadget's configfs entry; then the
// caller binds the UDC. SIGTERM or SIGINT ends it: the memory image goes to the --dump file and
// the status is 0.
//
// --control FIFO: the gadget makes that FIFO (it must not exist yet) and takes one command per
// line from it while it serves, so one device can meet fault after fault without being set up
// anew: "fault TEXT" (as --fault), "clear" (every fault dropped) or "mark TEXT" (nothing). Each
// command, once applied, is noted in the log as "# <command>", and one it cannot apply as
// "# refused <command>: <why>".
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "platform/linux/linux_system.h"
#include "platform/platform.h"
#include "sim/gadget/command_log.h"
#include "sim/gadget/disk_target.h"
#include "sim/gadget/ffs_gadget.h"
#include "sim/gadget/memory_dump.h"
#include "sim/gadget/still_image_function.h"
#include "sim/gadget/unique_fd.h"
#include "sim/lie_text.h"
#include "sim/scanner.h"

namespace {

constexpr int kUsageStatus = 2;
constexpr int kFailureStatus = 1;
constexpr int kStopPatienceMs = 2000;

struct Options {
    std::string ffs;
    gadget::Presentation presentation = gadget::Presentation::kStillImage;
    bool presentationGiven = false;
    sim::ModelConfig config;
    std::uint32_t memorySize = sim::Scanner::kDefaultMemorySize;
    std::vector<sim::Fault> faults;
    bool realConduct = false;
    std::string log, dump, udcFile, ready, control;
};

const char kUsage[] =
    "usage: kelvane-gadget --ffs DIR --presentation still-image|disk [--vendor HEX]\n"
    "                      [--product HEX] [--memory-size BYTES] [--fault TEXT]...\n"
    "                      [--real-conduct] [--log FILE] [--dump FILE] [--udc-file PATH]\n"
    "                      [--ready FILE] [--control FIFO]\n";

bool ParseUnsigned(const std::string& text, int base, std::uint64_t max, std::uint64_t* value) {
    if (text.empty() || text[0] == '-' || text[0] == '+') return false;
    errno = 0;
    char* end = nullptr;
    const unsigned long long v = std::strtoull(text.c_str(), &end, base);
    if (errno != 0 || end == text.c_str() || *end != '\0' || v > max) return false;
    *value = v;
    return true;
}

// The options, or false with the reason in `error`.
bool Parse(int argc, char** argv, Options* o, std::string* error) {
    for (int i = 1; i < argc; ++i) {
        const std::string name = argv[i];
        if (name == "--real-conduct") {
            o->realConduct = true;
            continue;
        }
        if (i + 1 >= argc) {
            *error = name + " needs a value";
            return false;
        }
        const std::string value = argv[++i];
        std::uint64_t number = 0;
        if (name == "--ffs") {
            o->ffs = value;
        } else if (name == "--presentation") {
            o->presentationGiven = true;
            if (value == "still-image") {
                o->presentation = gadget::Presentation::kStillImage;
            } else if (value == "disk") {
                o->presentation = gadget::Presentation::kDisk;
            } else {
                *error = "unknown presentation '" + value + "'";
                return false;
            }
        } else if (name == "--vendor" || name == "--product") {
            if (!ParseUnsigned(value, 16, 0xFFFF, &number)) {
                *error = name + " takes a hexadecimal 16-bit id, not '" + value + "'";
                return false;
            }
            (name == "--vendor" ? o->config.vendorId : o->config.productId) =
                static_cast<std::uint16_t>(number);
        } else if (name == "--memory-size") {
            if (!ParseUnsigned(value, 0, 0xFFFFFFFFu, &number)) {
                *error = "--memory-size takes a byte count below 4 GiB, not '" + value + "'";
                return false;
            }
            o->memorySize = static_cast<std::uint32_t>(number);
        } else if (name == "--fault") {
            std::string reason;
            const auto fault = sim::ParseLie(value, &reason);
            if (!fault) {
                *error = "--fault '" + value + "': " + reason;
                return false;
            }
            o->faults.push_back(*fault);
        } else if (name == "--log") {
            o->log = value;
        } else if (name == "--dump") {
            o->dump = value;
        } else if (name == "--udc-file") {
            o->udcFile = value;
        } else if (name == "--ready") {
            o->ready = value;
        } else if (name == "--control") {
            o->control = value;
        } else {
            *error = "unknown option " + name;
            return false;
        }
    }
    if (o->ffs.empty() || !o->presentationGiven) {
        *error = "--ffs and --presentation are required";
        return false;
    }
    return true;
}

// The log file: a plain file only, never reached through a link or waited on as a FIFO.
gadget::UniqueFd OpenLog(const std::string& path, std::string* error) {
    gadget::UniqueFd fd(
        ::open(path.c_str(), O_WRONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0644));
    struct stat st {};
    if (!fd.Valid() || ::fstat(fd.Get(), &st) != 0 || !S_ISREG(st.st_mode) ||
        ::ftruncate(fd.Get(), 0) != 0) {
        *error = "cannot open the log " + path + (fd.Valid() ? ": not a plain file" : "");
        return gadget::UniqueFd();
    }
    return fd;
}

bool WriteReady(const std::string& path, const sim::ModelConfig& c, std::string* error) {
    const gadget::UniqueFd fd(
        ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644));
    char text[32];
    const int n =
        std::snprintf(text, sizeof text, "%04x %04x %04x\n", c.vendorId, c.productId, c.bcdDevice);
    if (!fd.Valid() || ::write(fd.Get(), text, static_cast<std::size_t>(n)) != n) {
        *error = "cannot create " + path + ": " + std::strerror(errno);
        return false;
    }
    return true;
}

// The control FIFO, made here and so ours: opened for reading and writing, so that it neither
// blocks the open nor ends when a writer closes it.
gadget::UniqueFd MakeControl(const std::string& path, std::string* error) {
    if (::mkfifo(path.c_str(), 0600) != 0) {
        *error = "cannot make the control FIFO " + path + ": " + std::strerror(errno);
        return gadget::UniqueFd();
    }
    gadget::UniqueFd fd(::open(path.c_str(), O_RDWR | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC));
    struct stat st {};
    if (!fd.Valid() || ::fstat(fd.Get(), &st) != 0 || !S_ISFIFO(st.st_mode)) {
        *error = "cannot open the control FIFO " + path;
        return gadget::UniqueFd();
    }
    return fd;
}

// One control command, applied to the scanner; false with the reason when it cannot be.
bool ApplyControl(const std::string& line, sim::Scanner& scanner, std::string* why) {
    if (line == "clear") {
        scanner.ClearFaults();
        return true;
    }
    if (line.rfind("mark ", 0) == 0) return true;
    if (line.rfind("fault ", 0) == 0) {
        const auto fault = sim::ParseLie(line.substr(6), why);
        if (fault) scanner.Inject(*fault);
        return fault.has_value();
    }
    *why = "unknown command";
    return false;
}

// Reads control commands until `stop`; polls so that it sees `stop` within a tenth of a second.
void ControlLoop(int fd, gadget::FfsGadget& device, gadget::CommandLog& log,
                 const std::atomic<bool>& stop) {
    std::string pending;
    char chunk[512];
    while (!stop) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 100) <= 0) continue;
        const ssize_t n = ::read(fd, chunk, sizeof chunk);
        if (n <= 0) continue;
        pending.append(chunk, static_cast<std::size_t>(n));
        for (std::size_t end; (end = pending.find('\n')) != std::string::npos;) {
            const std::string line = pending.substr(0, end);
            pending.erase(0, end + 1);
            if (line.empty()) continue;
            device.WithScanner([&](sim::Scanner& s) {
                log.Drain(s.Log());
                std::string why;
                log.Note(ApplyControl(line, s, &why) ? line : "refused " + line + ": " + why);
            });
        }
    }
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    std::string error;
    if (!Parse(argc, argv, &options, &error)) {
        std::fprintf(stderr, "kelvane-gadget: %s\n%s", error.c_str(), kUsage);
        return kUsageStatus;
    }

    // The stop signals are taken by sigwait below; every thread inherits the mask.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGINT);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

    // The scanner's busy times run on the real clock.
    platform::linux_os::LinuxSystem system;
    platform::Install(nullptr, &system);

    sim::Scanner scanner(options.config, options.memorySize);
    scanner.SetRealConduct(options.realConduct);
    for (const sim::Fault& fault : options.faults) scanner.Inject(fault);

    gadget::UniqueFd logFd;
    if (!options.log.empty()) {
        logFd = OpenLog(options.log, &error);
        if (!logFd.Valid()) {
            std::fprintf(stderr, "kelvane-gadget: %s\n", error.c_str());
            return kFailureStatus;
        }
    }
    // Without a log file the scanner records nothing.
    scanner.Log().Enable(logFd.Valid());
    gadget::CommandLog log(logFd.Get());

    std::unique_ptr<gadget::BulkFunction> function;
    if (options.presentation == gadget::Presentation::kDisk) {
        function = std::make_unique<gadget::DiskTarget>(scanner, &log);
    } else {
        function = std::make_unique<gadget::StillImageFunction>(scanner);
    }

    // Made before the ready file, so a caller that saw that file can give commands at once.
    gadget::UniqueFd control;
    if (!options.control.empty()) {
        control = MakeControl(options.control, &error);
        if (!control.Valid()) {
            std::fprintf(stderr, "kelvane-gadget: %s\n", error.c_str());
            return kFailureStatus;
        }
    }

    int status = 0;
    {
        gadget::FfsGadget device(scanner, *function, log, options.presentation, options.udcFile);
        if (!device.Start(options.ffs, &error) ||
            (!options.ready.empty() && !WriteReady(options.ready, scanner.Config(), &error))) {
            std::fprintf(stderr, "kelvane-gadget: %s\n", error.c_str());
            device.Stop(kStopPatienceMs);
            platform::Install(nullptr, nullptr);
            return kFailureStatus;
        }

        std::atomic<bool> stopControl{false};
        std::thread controlThread;
        if (control.Valid())
            controlThread = std::thread(ControlLoop, control.Get(), std::ref(device), std::ref(log),
                                        std::cref(stopControl));

        int signal = 0;
        while (sigwait(&stopSignals, &signal) != 0) {
        }
        stopControl = true;
        if (controlThread.joinable()) controlThread.join();

        device.WithScanner([&](sim::Scanner& s) {
            log.Drain(s.Log(), true);
            if (!options.dump.empty() && !gadget::DumpMemory(s, options.dump, &error)) {
                std::fprintf(stderr, "kelvane-gadget: %s\n", error.c_str());
                status = kFailureStatus;
            }
        });
        // The dump is written; threads stuck in the kernel must not keep the process.
        if (!device.Stop(kStopPatienceMs)) _exit(status);
    }
    platform::Install(nullptr, nullptr);
    return status;
}
