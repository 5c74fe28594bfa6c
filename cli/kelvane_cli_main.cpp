// kelvane-cli: the tool's four jobs and a device list from the command line, with the same
// device link and form logic as the window program.
//
//   kelvane-cli [--device NAME] [--verbose] [--lock-timeout SECONDS] update [--no-verify] IMAGE
//   kelvane-cli [--device NAME] [--verbose] read ADDRESS LENGTH [FILE]   (FILE: flash.bin)
//   kelvane-cli [--device NAME] [--verbose] version [--result FILE]
//   kelvane-cli [--device NAME] [--verbose] calibrate
//   kelvane-cli [--verbose] list
//   (and [--own-events] before any job: still-image scanners get service events of their own)
//
// The exit status is one of app::ExitStatus.
#include <CLI/CLI.hpp>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <optional>
#include <string>
#include <system_error>

#ifdef _WIN32
#include <io.h>
#else
#include <unistd.h>
#endif

#include "app/exit_status.h"
#include "app/frame_guards.h"
#include "app/unit1.h"
#include "cli/backend.h"
#include "cli/console_view.h"
#include "cli/device_choice.h"
#include "cli/report.h"
#include "devlink/device_list.h"

namespace {

using app::ExitStatus;

struct Options {
    std::string device;
    bool verbose = false;
    std::string image;
    std::string address;
    std::string length;
    std::string file = "flash.bin";
    std::string resultFile;
    std::uint32_t lockTimeoutSeconds = 0;
    bool lockTimeout = false;  // --lock-timeout given
    bool noVerify = false;
    bool ownEvents = false;
};

enum class Job { kUpdate, kRead, kVersion, kCalibrate };

bool StdoutIsTerminal() {
#ifdef _WIN32
    return _isatty(_fileno(stdout)) != 0;
#else
    return isatty(STDOUT_FILENO) != 0;
#endif
}

int Fail(ExitStatus status, const std::string& text) {
    std::fprintf(stderr, "kelvane-cli: %s\n", text.c_str());
    return app::ToInt(status);
}

// An absolute path: the INI call of Windows puts a file named without a folder into the Windows
// folder, not the current one.
std::string Absolute(const std::string& path) {
    std::error_code ec;
    const std::filesystem::path full = std::filesystem::absolute(path, ec);
    return ec ? path : full.string();
}

int RunJob(Job job, const Options& options, std::optional<int> chosen) {
    cli::ConsoleView view(StdoutIsTerminal() ? stdout : nullptr,
                          options.verbose ? stderr : nullptr);
    app::TForm1 form(view);
    if (chosen) form.ChosenDevice = *chosen;
    if (!cli::HasStillImageService()) {
        form.ServiceStopLine.clear();
        form.ServiceStartLine.clear();
    }
    form.ShowVersionMessage = false;
    form.WriteVersionResult = !options.resultFile.empty();
    if (!options.resultFile.empty()) form.ResultFilePath = Absolute(options.resultFile);
    form.DumpFileName = options.file;
    form.VerifyAfterUpdate = !options.noVerify;
    if (options.lockTimeout) form.LockTimeoutMs = options.lockTimeoutSeconds * 1000u;
    form.LockWaitNote = [](const std::string& note) {
        std::fprintf(stderr, "kelvane-cli: %s\n", note.c_str());
    };
    form.OwnServiceEvents = options.ownEvents;
    cli::PrepareForm(form);

    // The window's event loop shows what escapes a handler in its error box; a frame lock that
    // could not be had has its own status.
    std::optional<std::string> lockError;
    const auto run = [&](auto&& click) {
        app::RunHandler(view, [&] {
            try {
                click();
            } catch (const app::FrameLockError& e) {
                lockError = e.what();
            }
        });
    };
    switch (job) {
        case Job::kUpdate:
            view.SetPickedFile(options.image);
            run([&] { form.Button3Click(); });
            break;
        case Job::kRead:
            view.SetFields(options.address, options.length);
            run([&] { form.Button4Click(); });
            break;
        case Job::kVersion:
            run([&] { form.Button6Click(); });
            break;
        case Job::kCalibrate:
            run([&] { form.Button5Click(); });
            break;
    }
    if (lockError) return Fail(ExitStatus::kLockUnavailable, app::WithFullStop(*lockError));

    const app::JobOutcome& outcome = form.LastOutcome();
    for (const std::string& line : cli::WarningTexts(outcome))
        std::fprintf(stderr, "kelvane-cli: %s\n", line.c_str());
    if (!view.Errors().empty()) {
        // What escaped the job: the read-back's fields, the version's result file, or anything
        // else, which is never a success.
        ExitStatus status = app::ExitStatusOf(outcome);
        if (status == ExitStatus::kOk) status = ExitStatus::kDeviceFailed;
        return Fail(status, view.Errors().front());
    }
    const ExitStatus status = app::ExitStatusOf(outcome);
    if (status != ExitStatus::kOk) {
        const int code = Fail(status, cli::FailureText(outcome));
        const std::string state = cli::UpdateStateText(outcome);
        if (!state.empty()) std::fprintf(stderr, "kelvane-cli: %s\n", state.c_str());
        return code;
    }
    if (job == Job::kVersion) {
        if (options.resultFile.empty()) std::printf("%s\n", form.LastVersion->c_str());
    } else {
        std::printf("%s\n", app::StatusText(outcome.job, outcome.end));
    }
    if (outcome.verify.ran) {
        std::printf("Verify OK: the device's memory from 0x%08X holds the image's %u bytes.\n",
                    static_cast<unsigned>(outcome.verify.start),
                    static_cast<unsigned>(outcome.verify.length));
    }
    return app::ToInt(ExitStatus::kOk);
}

int ListDevicesJob() {
    const std::vector<ListedDevice> devices = ListDevices();
    if (devices.empty()) return Fail(ExitStatus::kNoDevice, "No Device is Existing.");
    for (const ListedDevice& d : devices) {
        const std::string where = cli::DescribeDevice(d.name);
        // Whether a job holds the scanner now: its frame lock, tried without waiting.
        std::string holder;
        const app::ScannerUse use = app::ProbeScannerUse(d.identity, &holder);
        const std::string state =
            use == app::ScannerUse::kFree ? "free"
            : use == app::ScannerUse::kHeld
                ? "in use" + (holder.empty() ? std::string() : " by " + holder)
                : "lock unavailable";
        if (d.stillImage) {
            std::printf("%s\t%s\tstill-image %04X:%04X%s\t%s\t%s\n", d.name.c_str(), where.c_str(),
                        d.vendorId, d.productId, d.acceptedVendor ? "" : " (vendor not accepted)",
                        d.identity.c_str(), state.c_str());
        } else {
            std::printf("%s\t%s\tdisk\t%s\t%s\n", d.name.c_str(), where.c_str(), d.identity.c_str(),
                        state.c_str());
        }
    }
    return app::ToInt(ExitStatus::kOk);
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    CLI::App cli{"Firmware update, flash read-back, version and calibration of the scanner."};
    cli.name("kelvane-cli");
    cli.require_subcommand(1);
    std::string statuses = "Exit statuses:";
    for (int n = 0; n <= app::ToInt(ExitStatus::kVerifyMismatch); ++n)
        statuses += " " + std::to_string(n) + " " +
                    app::ExitStatusName(static_cast<ExitStatus>(n)) +
                    (n < app::ToInt(ExitStatus::kVerifyMismatch) ? "," : ".");
    cli.footer(statuses);
    cli.fallthrough();
    cli.add_option("--device", options.device,
                   "the device to use, as `list` names it (\\\\.\\USBSCAN0, \\\\.\\E:, "
                   "USBSCAN1, E:); default: the first one found");
    cli.add_flag("-v,--verbose", options.verbose,
                 "the device link's trace lines and the job's status texts on standard error");
    cli.add_flag("--own-events", options.ownEvents,
                 "give each still-image scanner a service event of its own, so jobs on several "
                 "still-image scanners run at once (other programs of the protocol are then not "
                 "kept out between data calls)");

    CLI::Option* lockTimeout =
        cli.add_option("--lock-timeout", options.lockTimeoutSeconds,
                       "wait at most SECONDS for another Kelvane job on the scanner, then end with "
                       "status 8; default: wait as long as it takes")
            ->type_name("SECONDS")
            ->check(CLI::Range(0u, 4'000'000u));
    CLI::App* update = cli.add_subcommand("update", "update the firmware from IMAGE");
    update->add_option("IMAGE", options.image, "the firmware image file")->required();
    update->add_flag("--no-verify", options.noVerify,
                     "do not read the written range back and compare it with the image (for a "
                     "device whose memory does not read back what was written)");
    CLI::App* read = cli.add_subcommand("read", "read LENGTH bytes of device memory from ADDRESS");
    read->add_option("ADDRESS", options.address, "start address (decimal, or hex as 0x.. or $..)")
        ->required();
    read->add_option("LENGTH", options.length, "byte count (decimal, or hex)")->required();
    read->add_option("FILE", options.file, "the file to write (default flash.bin)");
    CLI::App* version = cli.add_subcommand("version", "print the firmware version");
    version->add_option("--result", options.resultFile,
                        "write it as key \"version\" of section \"result\" into this INI file "
                        "instead of printing it");
    CLI::App* calibrate = cli.add_subcommand("calibrate", "start the calibration");
    CLI::App* list = cli.add_subcommand("list", "list the devices found, with their paths");

    try {
        cli.parse(argc, argv);
    } catch (const CLI::CallForHelp& e) {
        return cli.exit(e);
    } catch (const CLI::CallForAllHelp& e) {
        return cli.exit(e);
    } catch (const CLI::ParseError& e) {
        cli.exit(e);
        return app::ToInt(ExitStatus::kUsage);
    }

    options.lockTimeout = lockTimeout->count() > 0;
    std::optional<int> chosen;
    if (!options.device.empty()) {
        chosen = cli::DeviceHandleFromName(options.device);
        if (!chosen) {
            return Fail(ExitStatus::kUsage, "'" + options.device +
                                                "' names no device (use the "
                                                "names that `kelvane-cli list` prints)");
        }
    }
    if (read->parsed() && options.file.empty())
        return Fail(ExitStatus::kUsage, "the read-back file needs a name");

    cli::InstallBackends(options.verbose);
    if (list->parsed()) return ListDevicesJob();
    if (update->parsed()) return RunJob(Job::kUpdate, options, chosen);
    if (read->parsed()) return RunJob(Job::kRead, options, chosen);
    if (version->parsed()) return RunJob(Job::kVersion, options, chosen);
    if (calibrate->parsed()) return RunJob(Job::kCalibrate, options, chosen);
    return app::ToInt(ExitStatus::kUsage);
}
