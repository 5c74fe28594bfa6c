// What whole jobs cost: a firmware update and a flash read-back of 16 MiB, on both paths, run by
// the form logic against the simulated scanner behind a USB 2.0 high-speed timing model. For
// each it prints the modeled time and the floor the protocol imposes on that wire and device,
// the host's CPU time and heap allocations per exchange, and the job's peak heap and memory.
// Each job runs twice on a Windows-like system timer of 15.625 ms: once as a plain program
// would, its sleeps and timed waits rounded up to whole ticks, and once holding the 1 ms timer
// period that every command frame asks for.
// It is a measurement, not a test: it always exits 0 once the jobs have run.
//
//   kv_bench [--mib N] [--phase-us US] [--rate MB/s] [--block-busy-ms MS] [--read-busy-ms MS]
//
// Build it without sanitizers (-DKV_SANITIZE=OFF -DCMAKE_BUILD_TYPE=Release).
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "app/frame_guards.h"
#include "app/unit1.h"
#include "app/view.h"
#include "bench/heap_meter.h"
#include "bench/protocol_floor.h"
#include "bench/timed_wire.h"
#include "devlink/bot.h"
#include "devlink/zamo_usb.h"
#include "sim/world.h"

namespace bench {
namespace {

constexpr double kMiB = 1024.0 * 1024.0;
// Jobs this small are run as well: the difference to the large ones gives the allocations each
// further exchange costs, apart from what a job allocates once.
constexpr std::uint32_t kSmallJobBytes = 1u << 20;

struct Options {
    std::uint32_t mib = 16;
    WireModel wire;
    std::uint32_t blockBusyMs = 20;  // after each firmware block (selector 5)
    std::uint32_t readBusyMs = 1;    // after the first transfer of a memory read (selector 11)
};

enum class Job { kFirmwareUpdate, kReadBack };

// The system timer's default tick on Windows.
constexpr std::uint32_t kWindowsTickUs = 15'625;

// How the job's sleeps and timed waits meet the system timer.
enum class Timer {
    kDefaultTick,  // 15.625 ms: no period asked for
    kFramePeriod,  // the same tick, with the frame's 1 ms period in force
};

// A window that shows nothing and allocates nothing.
class NullView final : public app::View {
  public:
    explicit NullView(std::string length) : edit2_(std::move(length)) {}
    void SetStatus(const std::string& text) override { last_ = text; }
    void SetGaugeVisible(bool) override {}
    void SetGaugeMax(std::int64_t maximum) override { max_ = maximum; }
    void SetGaugeProgress(std::int64_t progress) override {
        progress_ = progress < 0 ? 0 : (progress > max_ ? max_ : progress);
    }
    std::int64_t GaugeProgress() const override { return progress_; }
    std::string Edit1Text() const override { return "0"; }
    std::string Edit2Text() const override { return edit2_; }
    void SetEdit2Text(const std::string&) override {}
    int ScrollPosition() const override { return 0; }
    void SetScrollPosition(int) override {}
    void ShowMessage(const std::string&) override {}
    void ShowError(const std::string&) override {}
    std::optional<std::string> PickFile(const std::string&) override { return std::nullopt; }
    void ProcessMessages() override {}
    void RequestEnd() override {}
    const std::string& LastStatus() const { return last_; }

  private:
    std::string edit2_;
    std::string last_;
    std::int64_t max_ = 100;
    std::int64_t progress_ = 0;
};

std::uint64_t ProcessCpuNs() {
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return static_cast<std::uint64_t>(ts.tv_sec) * 1'000'000'000u +
           static_cast<std::uint64_t>(ts.tv_nsec);
}

// What one reading of the thread's CPU clock costs.
double ClockReadingNs() {
    static const double cost = [] {
        constexpr int kReadings = 20000;
        const std::uint64_t start = ThreadCpuNs();
        std::uint64_t sink = 0;
        for (int i = 0; i < kReadings; ++i) sink += ThreadCpuNs() & 1;
        const std::uint64_t end = ThreadCpuNs();
        return static_cast<double>(end - start + (sink & 0)) / kReadings;
    }();
    return cost;
}

struct Figures {
    bool succeeded = false;
    std::uint64_t exchanges = 0;
    std::uint64_t allocations = 0;
    double modeledUs = 0;
    double floorUs = 0;
    double payloadUs = 0;
    double cpuNs = 0;
    double deviceNs = 0;
    std::uint64_t peakHeap = 0;
};

sim::ModelConfig DeviceFor(Job job, const Options& o) {
    sim::ModelConfig config;
    if (job == Job::kFirmwareUpdate) {
        config.workMsFor[sim::kSetBlock] = o.blockBusyMs;
    } else {
        config.workMsFor[sim::kGetMemory] = o.readBusyMs;
    }
    return config;
}

Figures RunJob(Job job, bool stillImage, std::uint32_t bytes, Timer timer, const Options& o) {
    const char* imageName = "kv-bench-image.bin";
    if (job == Job::kFirmwareUpdate) {
        std::vector<char> image(bytes);
        for (std::uint32_t i = 0; i < bytes; ++i) image[i] = static_cast<char>(i * 13 + (i >> 12));
        std::FILE* f = std::fopen(imageName, "wb");
        if (f == nullptr || std::fwrite(image.data(), 1, bytes, f) != bytes) std::abort();
        std::fclose(f);
    }

    Figures fig;
    {
        sim::World world;
        const sim::ModelConfig device = DeviceFor(job, o);
        sim::Scanner& scanner = world.AddScanner(device);
        scanner.Log().Enable(false);
        world.sys.CaptureDebugOutput(false);
        world.sys.SetTimerTickUs(kWindowsTickUs);
        TimedWire wire(stillImage ? scanner.StillImage() : scanner.Disk(), world.sys, o.wire);
        if (stillImage) {
            world.AttachStillImage(scanner, 0);
            world.io.AddStillImage(0, &wire);
        } else {
            world.io.AddDrive('C', platform::kDriveFixed);
            world.io.AddDrive('E', platform::kDriveRemovable, &wire);
        }
        std::memset(&g_BOTState, 0, sizeof g_BOTState);
        ResetDeviceTable();
        NullView view(std::to_string(bytes));
        app::TForm1 form(view);

        ClockReadingNs();  // calibrated before the measurement
        const HeapMeter heapBefore = Heap();
        Heap().ResetPeak();
        const std::uint64_t clock0 = world.sys.Now();
        const std::uint64_t carried0 = wire.CarriedNs() + world.sys.TimerCarryUs() * 1000u;
        wire.ResetCounters();
        const std::uint64_t cpu0 = ProcessCpuNs();

        std::optional<app::TimerPeriod> period;
        if (timer == Timer::kFramePeriod) period.emplace();
        if (job == Job::kFirmwareUpdate) {
            form.UpdateFirmware(imageName);
            fig.succeeded =
                view.LastStatus() == "Update FW Ok." && scanner.Counters().firmwareBytes >= bytes;
        } else {
            form.ReadFlash();
            fig.succeeded = view.LastStatus() == "Upload OK!";
        }

        period.reset();
        fig.cpuNs = static_cast<double>(ProcessCpuNs() - cpu0);
        fig.exchanges = wire.Exchanges();
        // Half of each timer reading's own cost falls outside the device's share.
        fig.deviceNs = static_cast<double>(wire.DeviceNs()) +
                       static_cast<double>(wire.DeviceCalls()) * ClockReadingNs();
        fig.allocations = Heap().allocations - heapBefore.allocations;
        fig.peakHeap = Heap().peakBytes - heapBefore.liveBytes;
        constexpr std::uint64_t kNsPerMs = 1'000'000;
        const std::uint64_t startNs = clock0 * kNsPerMs + carried0;
        fig.modeledUs = static_cast<double>(world.sys.Now() * kNsPerMs + wire.CarriedNs() +
                                            world.sys.TimerCarryUs() * 1000u - startNs) /
                        1000.0;
        ProtocolFloor floor(o.wire, device, startNs);
        fig.floorUs = static_cast<double>(job == Job::kFirmwareUpdate
                                              ? floor.FirmwareUpdateNs(stillImage, bytes)
                                              : floor.ReadBackNs(stillImage, bytes)) /
                      1000.0;
        fig.payloadUs = static_cast<double>(bytes) / o.wire.bytesPerUs;
        ResetDeviceTable();
    }
    std::remove(imageName);
    std::remove("flash.bin");
    return fig;
}

// Runs one job, small then large, and prints its line. Runs in a process of its own, so the
// peak resident size is the job's.
void MeasureJob(Job job, bool stillImage, Timer timer, const Options& o) {
    const std::uint32_t bytes = o.mib << 20;
    const Figures small = RunJob(job, stillImage, kSmallJobBytes, timer, o);
    const Figures large = RunJob(job, stillImage, bytes, timer, o);

    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    const double rssMiB = static_cast<double>(usage.ru_maxrss) / 1024.0;
    const double ratio = large.modeledUs / large.floorUs;
    const double marginalAllocs =
        large.exchanges > small.exchanges
            ? static_cast<double>(large.allocations) - static_cast<double>(small.allocations)
            : 0.0;
    const double allocsPerExchange =
        marginalAllocs / static_cast<double>(large.exchanges - small.exchanges);
    const double peakMiB = static_cast<double>(large.peakHeap) / kMiB;
    const double limitMiB = static_cast<double>(bytes) / kMiB + 1.0;
    const double exchanges = static_cast<double>(large.exchanges);

    // The targets: within 1% of the floor, no allocation per exchange, peak heap within the
    // job's data and 1 MiB.
    std::string verdict;
    if (!large.succeeded || !small.succeeded) verdict += " JOB-FAILED";
    if (ratio > 1.01) verdict += " time";
    if (allocsPerExchange > 0.0) verdict += " allocations";
    if (peakMiB > limitMiB) verdict += " heap";
    if (verdict.empty()) verdict = " all met";
    std::printf(
        "%-16s %-12s %-6s %9llu %10.3f %10.3f %8.5f %8.3f %8.2f %8.2f %7.3f %6llu %8.2f %8.2f "
        "%7.1f "
        "%s\n",
        job == Job::kFirmwareUpdate ? "firmware update" : "flash read-back",
        stillImage ? "still-image" : "disk", timer == Timer::kDefaultTick ? "15.625" : "1",
        static_cast<unsigned long long>(large.exchanges), large.modeledUs / 1e6,
        large.floorUs / 1e6, ratio, large.payloadUs / 1e6, large.cpuNs / exchanges / 1000.0,
        (large.cpuNs - large.deviceNs) / exchanges / 1000.0, allocsPerExchange,
        static_cast<unsigned long long>(large.allocations), peakMiB, limitMiB, rssMiB,
        verdict.c_str() + 1);
    std::fflush(stdout);
}

bool ParseOptions(int argc, char** argv, Options& o) {
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (i + 1 >= argc) return false;
        const double value = std::strtod(argv[++i], nullptr);
        if (!(value > 0)) return false;
        if (arg == "--mib") {
            o.mib = static_cast<std::uint32_t>(value);
            if (o.mib == 0 || o.mib > 1024) return false;
        } else if (arg == "--phase-us") {
            o.wire.phaseFixedUs = value;
        } else if (arg == "--rate") {
            o.wire.bytesPerUs = value;
        } else if (arg == "--block-busy-ms") {
            o.blockBusyMs = static_cast<std::uint32_t>(value);
        } else if (arg == "--read-busy-ms") {
            o.readBusyMs = static_cast<std::uint32_t>(value);
        } else {
            return false;
        }
    }
    return true;
}

}  // namespace
}  // namespace bench

int main(int argc, char** argv) {
    bench::Options o;
    if (!bench::ParseOptions(argc, argv, o)) {
        std::fprintf(stderr,
                     "usage: kv_bench [--mib N] [--phase-us US] [--rate MB/s] "
                     "[--block-busy-ms MS] [--read-busy-ms MS]\n");
        return 2;
    }
    // Scratch files (the image, flash.bin) go to a folder of the benchmark's own.
    const auto scratch = std::filesystem::temp_directory_path() /
                         ("kv-bench-" + std::to_string(static_cast<long>(getpid())));
    std::filesystem::create_directories(scratch);
    std::filesystem::current_path(scratch);

    std::printf("Kelvane cost: %u MiB jobs on the simulated scanner\n", o.mib);
    std::printf(
        "wire model: %.1f us per phase, %.3f MB/s; device busy: %u ms per firmware block, "
        "%u ms per memory read\n\n",
        o.wire.phaseFixedUs, o.wire.bytesPerUs, o.blockBusyMs, o.readBusyMs);
    std::printf("%-16s %-12s %-6s %9s %10s %10s %8s %8s %8s %8s %7s %6s %8s %8s %7s %s\n", "job",
                "path", "tick", "exchanges", "modeled s", "floor s", "ratio", "data s", "cpu us",
                "host us", "alloc/x", "allocs", "peak MiB", "lim MiB", "RSS MiB", "targets");
    std::fflush(stdout);
    for (bench::Timer timer : {bench::Timer::kDefaultTick, bench::Timer::kFramePeriod}) {
        for (bench::Job job : {bench::Job::kFirmwareUpdate, bench::Job::kReadBack}) {
            for (bool stillImage : {true, false}) {
                const pid_t child = fork();
                if (child == 0) {
                    bench::MeasureJob(job, stillImage, timer, o);
                    _exit(0);
                }
                int status = 0;
                if (child < 0 || waitpid(child, &status, 0) != child || !WIFEXITED(status) ||
                    WEXITSTATUS(status) != 0)
                    std::printf("(the job's process failed)\n");
            }
        }
    }
    std::printf(
        "\ntick: the system timer's resolution in ms while the job ran (15.625: Windows' default; "
        "1: "
        "the\nperiod each command frame asks for); sleeps and timed waits last whole ticks.\n"
        "modeled: virtual time of the job on the timing model; floor: the least the protocol "
        "allows\non that wire and device; data: the payload alone at the wire rate; cpu us: CPU "
        "per exchange,\nhost us: the same without the time inside the simulated device; alloc/x: "
        "heap allocations\nper further exchange (large job minus 1 MiB job); allocs: all of the "
        "large job's; peak MiB:\nthe job's heap high-water mark; lim MiB: data size + 1 MiB; RSS: "
        "the process's peak resident size,\nthe simulated scanner's memory image included. "
        "targets: modeled within 1%% of the floor,\nno allocation per exchange, peak heap within "
        "the limit (a missed one is named).\n");
    std::error_code ec;
    std::filesystem::current_path(std::filesystem::temp_directory_path(), ec);
    std::filesystem::remove_all(scratch, ec);
    return 0;
}
