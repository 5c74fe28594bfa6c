#include "sim/gadget/ffs_gadget.h"

#include <endian.h>
#include <fcntl.h>
#include <linux/usb/ch9.h>
#include <linux/usb/functionfs.h>
#include <pthread.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>

#include "sim/gadget/command_log.h"
#include "sim/scanner.h"

namespace gadget {
namespace {

constexpr int kWakeSignal = SIGUSR1;
constexpr std::uint8_t kGetMaxLun = 0xFE;
constexpr std::uint8_t kMassStorageReset = 0xFF;
constexpr auto kKickInterval = std::chrono::milliseconds(10);
constexpr auto kResetPatience = std::chrono::seconds(2);
constexpr auto kFailurePause = std::chrono::milliseconds(10);
// The device controller refuses to halt an IN endpoint while it still holds a request (EAGAIN),
// which it can for a moment after a write has returned; the halt is asked for again.
constexpr auto kHaltRetryPause = std::chrono::milliseconds(1);
constexpr int kHaltTries = 1000;

void OnWake(int) {}

// The wake signal interrupts blocking endpoint I/O: no SA_RESTART.
void InstallWakeHandler() {
    struct sigaction action {};
    action.sa_handler = OnWake;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;
    sigaction(kWakeSignal, &action, nullptr);
}

bool WriteAll(int fd, const std::vector<std::uint8_t>& bytes) {
    ssize_t n;
    do {
        n = ::write(fd, bytes.data(), bytes.size());
    } while (n < 0 && errno == EINTR);
    return n == static_cast<ssize_t>(bytes.size());
}

UniqueFd OpenIn(const std::string& dir, const char* name) {
    return UniqueFd(::open((dir + "/" + name).c_str(), O_RDWR | O_NOFOLLOW | O_CLOEXEC));
}

void Note(const char* what) {
    std::fprintf(stderr, "kelvane-gadget: %s\n", what);
}

}  // namespace

FfsGadget::FfsGadget(sim::Scanner& scanner, BulkFunction& function, CommandLog& log,
                     Presentation presentation, std::string udcFile)
    : scanner_(scanner),
      function_(function),
      log_(log),
      presentation_(presentation),
      udcFile_(std::move(udcFile)) {}

FfsGadget::~FfsGadget() {
    Stop(2000);
}

bool FfsGadget::Start(const std::string& dir, std::string* error) {
    ep0_ = OpenIn(dir, "ep0");
    if (!ep0_.Valid()) {
        *error = "cannot open " + dir + "/ep0: " + std::strerror(errno);
        return false;
    }
    if (!WriteAll(ep0_.Get(), FfsDescriptors(presentation_))) {
        *error = std::string("FunctionFS refused the descriptors: ") + std::strerror(errno);
        return false;
    }
    if (!WriteAll(ep0_.Get(), FfsStrings())) {
        *error = std::string("FunctionFS refused the strings: ") + std::strerror(errno);
        return false;
    }
    // The endpoint files are numbered in the order of the descriptors: IN first.
    in_ = OpenIn(dir, "ep1");
    out_ = OpenIn(dir, "ep2");
    if (!in_.Valid() || !out_.Valid()) {
        *error = "cannot open the bulk endpoints in " + dir + ": " + std::strerror(errno);
        return false;
    }
    InstallWakeHandler();
    // The bulk thread first: ep0's thread signals it by its handle.
    bulkThread_ = std::thread([this] {
        BulkLoop();
        bulkDone_ = true;
    });
    ep0Thread_ = std::thread([this] {
        Ep0Loop();
        ep0Done_ = true;
    });
    return true;
}

void FfsGadget::WithScanner(const std::function<void(sim::Scanner&)>& f) {
    std::lock_guard<std::mutex> lock(mutex_);
    f(scanner_);
}

bool FfsGadget::Stop(int patienceMs) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stop_ = true;
        changed_.notify_all();
    }
    const auto limit = std::chrono::steady_clock::now() + std::chrono::milliseconds(patienceMs);
    for (;;) {
        const bool ep0Left = ep0Thread_.joinable() && !ep0Done_;
        const bool bulkLeft = bulkThread_.joinable() && !bulkDone_;
        if (!ep0Left && !bulkLeft) break;
        if (std::chrono::steady_clock::now() >= limit) return false;
        if (ep0Left) pthread_kill(ep0Thread_.native_handle(), kWakeSignal);
        if (bulkLeft) pthread_kill(bulkThread_.native_handle(), kWakeSignal);
        std::this_thread::sleep_for(kKickInterval);
    }
    if (ep0Thread_.joinable()) ep0Thread_.join();
    if (bulkThread_.joinable()) bulkThread_.join();
    return true;
}

void FfsGadget::Ep0Loop() {
    for (;;) {
        usb_functionfs_event event{};
        const ssize_t n = ::read(ep0_.Get(), &event, sizeof event);
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (stop_) return;
        }
        if (n < 0) {
            // EINTR: a wake; EIDRM: a request the host gave up before it was answered.
            if (errno != EINTR && errno != EIDRM) {
                Note("reading ep0 failed");
                std::this_thread::sleep_for(kFailurePause);
            }
            continue;
        }
        if (n != sizeof event) continue;
        std::unique_lock<std::mutex> lock(mutex_);
        switch (event.type) {
            case FUNCTIONFS_ENABLE:
                // A fresh configuration: no exchange under way, no halt left over.
                enabled_ = true;
                if (!serving_) {
                    scanner_.Replug();
                    serving_ = true;
                }
                function_.Reset();
                NewGeneration(lock);
                break;
            case FUNCTIONFS_DISABLE:
            case FUNCTIONFS_UNBIND:
                enabled_ = false;
                NewGeneration(lock);
                break;
            case FUNCTIONFS_SETUP:
                lock.unlock();
                HandleSetup(&event.u.setup);
                break;
            default:  // BIND, SUSPEND, RESUME: nothing to do
                break;
        }
    }
}

void FfsGadget::HandleSetup(const void* raw) {
    usb_ctrlrequest request;
    std::memcpy(&request, raw, sizeof request);
    const bool in = (request.bRequestType & USB_DIR_IN) != 0;
    const bool classToInterface = (request.bRequestType & USB_TYPE_MASK) == USB_TYPE_CLASS &&
                                  (request.bRequestType & USB_RECIP_MASK) == USB_RECIP_INTERFACE;
    const std::uint16_t value = le16toh(request.wValue);
    const std::uint16_t length = le16toh(request.wLength);
    std::uint8_t byte = 0;
    ssize_t r;
    if (classToInterface && request.bRequest == kGetMaxLun && in && value == 0 && length >= 1 &&
        presentation_ == Presentation::kDisk) {
        do {
            r = ::write(ep0_.Get(), &byte, 1);  // one logical unit: the highest number is 0
        } while (r < 0 && errno == EINTR);
        return;
    }
    if (classToInterface && request.bRequest == kMassStorageReset && !in && value == 0 &&
        length == 0) {
        Note("Bulk-Only Mass Storage Reset");
        {
            std::unique_lock<std::mutex> lock(mutex_);
            function_.Reset();
            log_.Drain(scanner_.Log());
            log_.Note("Bulk-Only Mass Storage Reset");
            NewGeneration(lock);
        }
        do {
            r = ::read(ep0_.Get(), &byte, 0);  // the status stage: the reset is done
        } while (r < 0 && errno == EINTR);
        return;
    }
    // A request this device does not have: I/O in the wrong direction stalls ep0.
    if (in) {
        r = ::read(ep0_.Get(), &byte, 0);
    } else {
        r = ::write(ep0_.Get(), &byte, 0);
    }
}

void FfsGadget::NewGeneration(std::unique_lock<std::mutex>& lock) {
    const std::uint64_t generation = ++generation_;
    changed_.notify_all();
    const auto limit = std::chrono::steady_clock::now() + kResetPatience;
    // A wake that comes before the bulk thread enters its I/O is lost, so it is repeated until
    // the thread has started over.
    while (seen_ < generation && !stop_ && std::chrono::steady_clock::now() < limit) {
        if (bulkThread_.joinable()) pthread_kill(bulkThread_.native_handle(), kWakeSignal);
        changed_.wait_for(lock, kKickInterval);
    }
    if (seen_ < generation && !stop_) Note("the bulk thread did not let go of its exchange");
}

FfsGadget::Io FfsGadget::Retry(std::uint64_t generation) {
    std::lock_guard<std::mutex> lock(mutex_);
    return stop_ || generation_ != generation ? Io::kCancelled : Io::kDone;
}

std::uint16_t FfsGadget::InPacketSize() {
    usb_endpoint_descriptor descriptor{};
    if (::ioctl(in_.Get(), FUNCTIONFS_ENDPOINT_DESC, &descriptor) != 0) return kHighSpeedPacket;
    const std::uint16_t size = le16toh(descriptor.wMaxPacketSize) & 0x7FF;
    return size != 0 ? size : kHighSpeedPacket;
}

FfsGadget::Io FfsGadget::Carry(const BulkStep& step, std::uint64_t generation,
                               std::uint32_t* moved) {
    *moved = 0;
    std::uint8_t scratch = 0;
    switch (step.kind) {
        case BulkStep::Kind::kReceive:
            for (;;) {
                const ssize_t n = ::read(out_.Get(), step.data, step.length);
                if (n >= 0) {
                    *moved = static_cast<std::uint32_t>(n);
                    return Io::kDone;
                }
                if (errno != EINTR) return Io::kFailed;
                if (Retry(generation) == Io::kCancelled) return Io::kCancelled;
            }
        case BulkStep::Kind::kSend: {
            // The data, then a zero-length packet where the data alone would not end the transfer.
            bool zeroLength = false;
            for (;;) {
                const std::uint32_t length = zeroLength ? 0 : step.length;
                const ssize_t n = ::write(in_.Get(), step.data, length);
                if (n >= 0) {
                    if (zeroLength) return Io::kDone;
                    *moved = static_cast<std::uint32_t>(n);
                    if (!step.endShort || length == 0 || length % InPacketSize() != 0)
                        return Io::kDone;
                    zeroLength = true;
                    continue;
                }
                if (errno != EINTR) return Io::kFailed;
                if (Retry(generation) == Io::kCancelled) return Io::kCancelled;
            }
        }
        case BulkStep::Kind::kHalt:
            // I/O in the wrong direction halts an endpoint; FunctionFS answers EBADMSG.
            for (const bool in : {true, false}) {
                if (!(in ? step.haltIn : step.haltOut)) continue;
                for (int tries = 1;; ++tries) {
                    const ssize_t n =
                        in ? ::read(in_.Get(), &scratch, 1) : ::write(out_.Get(), &scratch, 1);
                    if (n < 0 && errno == EBADMSG) break;
                    if (n < 0 && errno == EAGAIN && tries < kHaltTries) {
                        std::this_thread::sleep_for(kHaltRetryPause);
                        continue;
                    }
                    if (n < 0 && errno == EINTR) {
                        if (Retry(generation) == Io::kCancelled) return Io::kCancelled;
                        continue;
                    }
                    return Io::kFailed;
                }
            }
            return Io::kDone;
    }
    return Io::kFailed;
}

void FfsGadget::BulkLoop() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        seen_ = generation_;
        changed_.notify_all();
        if (stop_) return;
        if (!enabled_ || !serving_) {
            changed_.wait(lock);
            continue;
        }
        const std::uint64_t generation = generation_;
        const BulkStep step = function_.Next();
        log_.Drain(scanner_.Log());
        lock.unlock();
        std::uint32_t moved = 0;
        const Io io = Carry(step, generation, &moved);
        lock.lock();
        if (stop_ || generation_ != generation || io == Io::kCancelled) continue;
        function_.Completed(step, io == Io::kDone, moved);
        log_.Drain(scanner_.Log());
        if (scanner_.Unplugged()) {
            serving_ = false;
            lock.unlock();
            Unplug();
            lock.lock();
            continue;
        }
        // A failing endpoint (the host went away) is not retried at full speed.
        if (io == Io::kFailed) changed_.wait_for(lock, kFailurePause);
    }
}

void FfsGadget::Unplug() {
    if (udcFile_.empty()) {
        Note("the scanner unplugged itself; no UDC file to unbind");
        return;
    }
    // The unbind must not be cut short by a wake: repeating it would meet an unbound UDC.
    sigset_t wake, previous;
    sigemptyset(&wake);
    sigaddset(&wake, kWakeSignal);
    pthread_sigmask(SIG_BLOCK, &wake, &previous);
    ssize_t n = -1;
    {
        const UniqueFd udc(
            ::open(udcFile_.c_str(), O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
        if (udc.Valid()) n = ::write(udc.Get(), "\n", 1);
    }
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    if (n != 1) Note("the scanner unplugged itself, but its UDC could not be unbound");
}

}  // namespace gadget
