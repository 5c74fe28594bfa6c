// kelvane-cli: the tool's four jobs and a device list from the command line, with the same
// device link and form logic as the window program.
//
//   kelvane-cli [OPTIONS] update [--no-verify] [--backup FILE] IMAGE
//   kelvane-cli [OPTIONS] read ADDRESS LENGTH [FILE]   (FILE: flash.bin)
//   kelvane-cli [OPTIONS] version [--result FILE]
//   kelvane-cli [OPTIONS] calibrate
//   kelvane-cli [--verbose] [--json] list
// OPTIONS: --device NAME (more than once: several scanners), --all, --verbose,
// --lock-timeout SECONDS, --json, --log FILE, --own-events (still-image scanners get service
// events of their own).
//
// The exit status is one of app::ExitStatus. With --json standard output carries JSON lines only
// (cli/json_lines.h); without a terminal, progress goes to standard error a tenth at a time.
#include <CLI/CLI.hpp>
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
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
#include "cli/digest.h"
#include "cli/job_record.h"
#include "cli/json_lines.h"
#include "cli/report.h"
#include "cli/station.h"
#include "devlink/device_list.h"
#include "platform/platform.h"

namespace {

using app::ExitStatus;

struct Options {
    std::vector<std::string> devices;  // --device, once or more
    bool all = false;                  // --all
    bool verbose = false;
    std::string image;
    std::string address;
    std::string length;
    std::string file = "flash.bin";
    std::string resultFile;
    std::uint32_t lockTimeoutSeconds = 0;
    bool lockTimeout = false;  // --lock-timeout given
    bool noVerify = false;
    bool json = false;
    std::string logFile;
    std::string backupFile;
    bool ownEvents = false;
};

enum class Job { kUpdate, kRead, kVersion, kCalibrate };

const char* JobName(Job job) {
    switch (job) {
        case Job::kUpdate:
            return "update";
        case Job::kRead:
            return "read";
        case Job::kVersion:
            return "version";
        case Job::kCalibrate:
            return "calibrate";
    }
    return "";
}

// Where a run says what happened: text for a person (results on standard output, failures on
// standard error), or JSON lines on standard output only.
class Report {
  public:
    explicit Report(bool json) : json_(json) {}
    bool Json() const { return json_; }

    void Start(const std::string& command) {
        if (json_) cli::WriteLine(stdout, cli::StartObject(command));
    }
    // A line for the person on standard error; with --json a warning line.
    void Warning(const std::string& text) {
        if (json_) {
            cli::WriteLine(stdout, cli::WarningObject(text));
        } else {
            std::fprintf(stderr, "kelvane-cli: %s\n", text.c_str());
        }
    }
    // A note while the job waits (for another job's lock).
    void Note(const std::string& text) {
        if (json_) {
            nlohmann::ordered_json line = cli::WarningObject(text);
            line["type"] = "note";
            cli::WriteLine(stdout, line);
        } else {
            std::fprintf(stderr, "kelvane-cli: %s\n", text.c_str());
        }
    }
    // The run's end: `text` is the failure for a person, or the result line's message.
    int End(ExitStatus status, const std::string& text, const app::JobOutcome* outcome = nullptr,
            const std::optional<std::string>& version = std::nullopt) {
        if (json_) {
            cli::WriteLine(stdout, cli::ResultObject(status, text, outcome, version));
        } else if (status != ExitStatus::kOk) {
            std::fprintf(stderr, "kelvane-cli: %s\n", text.c_str());
        }
        return app::ToInt(status);
    }

  private:
    bool json_;
};

bool StdoutIsTerminal() {
#ifdef _WIN32
    return _isatty(_fileno(stdout)) != 0;
#else
    return isatty(STDOUT_FILENO) != 0;
#endif
}

// An absolute path: the INI call of Windows puts a file named without a folder into the Windows
// folder, not the current one.
std::string Absolute(const std::string& path) {
    std::error_code ec;
    const std::filesystem::path full = std::filesystem::absolute(path, ec);
    return ec ? path : full.string();
}

// What a job's run tells the job log beyond its outcome.
struct RunFacts {
    ExitStatus status = ExitStatus::kOk;
    std::string message;
    std::optional<cli::DeviceIdentity> device;
    std::optional<cli::ImageFacts> image;
    std::optional<std::string> version;
    std::string state;               // the state a failed update left the device in
    std::vector<std::string> lines;  // a success's lines on standard output
};

RunFacts RunJob(Job job, const Options& options, std::optional<int> chosen, Report& report,
                app::JobOutcome& outcome) {
    const bool terminal = StdoutIsTerminal();
    cli::ConsoleView view(terminal && !report.Json() ? stdout : nullptr,
                          options.verbose ? stderr : nullptr);
    cli::JsonProgress jsonProgress(stdout);
    cli::ProgressLines progressLines(stderr, "kelvane-cli: ");
    if (report.Json()) {
        view.SetSink(&jsonProgress);
    } else if (!terminal) {
        view.SetSink(&progressLines);
    }
    view.SetGaugePhase(job == Job::kRead ? "reading" : "writing");
    RunFacts facts;

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
    form.BackupFileName = options.backupFile;
    // A record of the job names the versions it went from and to.
    const bool recorded = report.Json() || !options.logFile.empty();
    form.ReadVersionAround = recorded;
    if (options.lockTimeout) form.LockTimeoutMs = options.lockTimeoutSeconds * 1000u;
    form.LockWaitNote = [&report](const std::string& note) { report.Note(note); };
    if (recorded) {
        form.Connected = [&](int handle) {
            cli::DeviceIdentity device;
            device.handle = handle;
            device.name = cli::DeviceNameOf(handle);
            device.where = cli::DescribeDevice(device.name);
            device.identity = platform::Io().DeviceIdentity(device.name.c_str());
            if (report.Json()) {
                cli::WriteLine(stdout, cli::DeviceObject(device));
            } else if (job != Job::kRead) {
                // The line the form writes when nobody takes the connection.
                std::fputs("Connect to Device Success!\r\n", stdout);
                std::fflush(stdout);
            }
            facts.device = device;
        };
    }
    if (report.Json()) {
        form.VersionBeforeRead = [](const std::optional<std::string>& version) {
            nlohmann::ordered_json line = {{"type", "version"}, {"when", "before"}};
            line["version"] = version ? nlohmann::ordered_json(*version) : nullptr;
            cli::WriteLine(stdout, line);
        };
    }
    if (!options.logFile.empty() && job == Job::kUpdate) {
        cli::ImageFacts image;
        image.path = Absolute(options.image);
        facts.image = image;
        form.ImageLoaded = [&facts](const std::uint8_t* bytes, std::uint32_t size) {
            facts.image->size = size;
            facts.image->sha256 = cli::Sha256Hex(bytes, size).value_or("");
        };
    }
    form.OwnServiceEvents = options.ownEvents;
    cli::PrepareForm(form);
    if (cli::ProgressSink* sink = view.Sink()) sink->Progress("connecting", 0, 0);

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
    outcome = form.LastOutcome();
    if (lockError) {
        facts.status = ExitStatus::kLockUnavailable;
        facts.message = app::WithFullStop(*lockError);
        return facts;
    }
    for (const std::string& line : cli::WarningTexts(outcome)) report.Warning(line);
    facts.status = app::ExitStatusOf(outcome);
    if (!view.Errors().empty()) {
        // What escaped the job: the read-back's fields, the version's result file, or anything
        // else, which is never a success.
        if (facts.status == ExitStatus::kOk) facts.status = ExitStatus::kDeviceFailed;
        facts.message = view.Errors().front();
        return facts;
    }
    if (facts.status != ExitStatus::kOk) {
        facts.message = cli::FailureText(outcome);
        facts.state = cli::UpdateStateText(outcome);
        return facts;
    }
    if (job == Job::kVersion) {
        facts.version = form.LastVersion;
        facts.message = form.LastVersion.value_or("");
        if (options.resultFile.empty()) facts.lines.push_back(facts.message);
    } else {
        facts.message = app::StatusText(outcome.job, outcome.end);
        facts.lines.push_back(facts.message);
    }
    if (outcome.verify.ran) {
        char text[120];
        std::snprintf(text, sizeof text,
                      "Verify OK: the device's memory from 0x%08X holds the image's %u bytes.",
                      static_cast<unsigned>(outcome.verify.start),
                      static_cast<unsigned>(outcome.verify.length));
        facts.lines.emplace_back(text);
    }
    return facts;
}

// The run's end as the report has it: the result line, or the texts for a person.
int EndRun(Report& report, const RunFacts& facts, const app::JobOutcome* outcome) {
    if (report.Json()) return report.End(facts.status, facts.message, outcome, facts.version);
    for (const std::string& line : facts.lines) std::printf("%s\n", line.c_str());
    const int code = report.End(facts.status, facts.message);
    if (!facts.state.empty()) std::fprintf(stderr, "kelvane-cli: %s\n", facts.state.c_str());
    return code;
}

// A job with its record in the job log, when there is one. The log is opened before any device
// work: a job whose record cannot be kept does not run.
int RunRecordedJob(Job job, const Options& options, std::optional<int> chosen, Report& report) {
    cli::JobLog log;
    if (!options.logFile.empty() && !log.Open(options.logFile)) {
        return report.End(ExitStatus::kOutputFile,
                          "the job log '" + options.logFile + "' cannot be opened for appending");
    }
    const auto started = std::chrono::system_clock::now();
    const auto clock = std::chrono::steady_clock::now();
    app::JobOutcome outcome;
    RunFacts facts = RunJob(job, options, chosen, report, outcome);
    const bool ran = facts.status != ExitStatus::kLockUnavailable;
    if (options.logFile.empty()) return EndRun(report, facts, ran ? &outcome : nullptr);

    cli::JobRecord record;
    record.started = started;
    record.duration = std::chrono::steady_clock::now() - clock;
    record.host = cli::HostName();
    record.command = JobName(job);
    record.device = facts.device;
    record.image = facts.image;
    record.status = facts.status;
    record.message = facts.message;
    record.outcome = ran ? &outcome : nullptr;
    record.version = facts.version;
    if (!log.Append(cli::LineOf(cli::RecordObject(record)))) {
        const std::string text =
            "the job's record could not be written whole to '" + options.logFile + "'";
        if (facts.status == ExitStatus::kOk) {
            // The job was done, but the record it owes is missing: never a plain success.
            facts.status = ExitStatus::kOutputFile;
            facts.message = text;
            facts.lines.clear();
        } else {
            report.Warning(text);
        }
    }
    return EndRun(report, facts, ran ? &outcome : nullptr);
}

int ListDevicesJob(Report& report) {
    const std::vector<ListedDevice> devices = ListDevices();
    if (devices.empty()) return report.End(ExitStatus::kNoDevice, "No Device is Existing.");
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
        if (report.Json()) {
            nlohmann::ordered_json line = cli::DeviceObject({d.handle, d.name, where, d.identity});
            if (d.stillImage) {
                line["vendor_id"] = d.vendorId;
                line["product_id"] = d.productId;
                line["vendor_accepted"] = d.acceptedVendor;
            }
            line["state"] = state;
            cli::WriteLine(stdout, line);
        } else if (d.stillImage) {
            std::printf("%s\t%s\tstill-image %04X:%04X%s\t%s\t%s\n", d.name.c_str(), where.c_str(),
                        d.vendorId, d.productId, d.acceptedVendor ? "" : " (vendor not accepted)",
                        d.identity.c_str(), state.c_str());
        } else {
            std::printf("%s\t%s\tdisk\t%s\t%s\n", d.name.c_str(), where.c_str(), d.identity.c_str(),
                        state.c_str());
        }
    }
    return report.End(ExitStatus::kOk, std::to_string(devices.size()) + " device(s)");
}

// The job on several scanners: a worker of this program for each, pinned to it.
int RunStationJob(const std::string& command, const Options& options, Report& report) {
    std::vector<std::string> names = options.devices;
    std::vector<std::string> known;  // what names each scanner while it stays attached
    if (options.all) {
        for (const ListedDevice& d : ListDevices()) {
            if (!d.acceptedVendor) continue;
            names.push_back(d.name);
            known.push_back(d.identity);
        }
    } else {
        // "USBSCAN1" and "\\.\USBSCAN1" are one scanner: each gets one worker.
        std::vector<std::string> canonical;
        for (const std::string& name : names) {
            const std::string full = cli::DeviceNameOf(*cli::DeviceHandleFromName(name));
            if (std::find(canonical.begin(), canonical.end(), full) == canonical.end())
                canonical.push_back(full);
        }
        names = canonical;
        for (const std::string& name : names)
            known.push_back(platform::Io().DeviceIdentity(name.c_str()));
    }
    cli::StationRequest request;
    request.command = command;
    request.json = report.Json();
    request.terminal = StdoutIsTerminal();
    if (names.empty()) {
        if (report.Json()) report.Start(command);
        return report.End(ExitStatus::kNoDevice, "No Device is Existing.");
    }
    char self[4096] = {};
    if (platform::Sys().GetModuleFileName(self, sizeof self) == 0 ||
        std::strlen(self) + 1 >= sizeof self) {
        if (report.Json()) report.Start(command);
        return report.End(ExitStatus::kDeviceFailed, "this program's own path cannot be had");
    }
    request.program = self;
    if (options.verbose) request.options.push_back("--verbose");
    if (options.ownEvents) request.options.push_back("--own-events");
    if (options.lockTimeout) {
        request.options.push_back("--lock-timeout");
        request.options.push_back(std::to_string(options.lockTimeoutSeconds));
    }
    // Every worker appends its own line: the appends never mix. A log that cannot be had stops
    // the run here, before any worker touches a scanner.
    if (!options.logFile.empty()) {
        cli::JobLog log;
        if (!log.Open(options.logFile)) {
            if (report.Json()) report.Start(command);
            return report.End(ExitStatus::kOutputFile, "the job log '" + options.logFile +
                                                           "' cannot be opened for appending");
        }
        request.options.push_back("--log");
        request.options.push_back(Absolute(options.logFile));
    }
    if (command == "update") {
        if (options.noVerify) request.arguments.emplace_back("--no-verify", false);
        if (!options.backupFile.empty()) {
            request.arguments.emplace_back("--backup", false);
            request.arguments.emplace_back(options.backupFile, true);
        }
        request.arguments.emplace_back("--", false);
        request.arguments.emplace_back(options.image, false);
    } else if (command == "read") {
        request.arguments.emplace_back("--", false);
        request.arguments.emplace_back(options.address, false);
        request.arguments.emplace_back(options.length, false);
        request.arguments.emplace_back(options.file, true);
    } else if (command == "version" && !options.resultFile.empty()) {
        request.arguments.emplace_back("--result", false);
        request.arguments.emplace_back(Absolute(options.resultFile), true);
    }
    return cli::RunStation(request, names, cli::Identities(names, known));
}

// Whether the command line asks for JSON lines, looked for before it is parsed so that a usage
// error comes out as a line too.
bool WantsJson(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--json") == 0) return true;
        if (std::strcmp(argv[i], "--") == 0) break;
    }
    return false;
}

const char* CommandOf(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        for (const char* name : {"update", "read", "version", "calibrate", "list"})
            if (std::strcmp(argv[i], name) == 0) return name;
    }
    return "";
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    CLI::App cli{"Firmware update, flash read-back, version and calibration of the scanner."};
    cli.name("kelvane-cli");
    cli.require_subcommand(1);
    std::string statuses = "Exit statuses:";
    for (int n = 0; n <= app::ToInt(ExitStatus::kSomeFailed); ++n)
        statuses += " " + std::to_string(n) + " " +
                    app::ExitStatusName(static_cast<ExitStatus>(n)) +
                    (n < app::ToInt(ExitStatus::kSomeFailed) ? "," : ".");
    cli.footer(statuses);
    cli.fallthrough();
    cli.add_option("--device", options.devices,
                   "the device to use, as `list` names it (\\\\.\\USBSCAN0, \\\\.\\E:, "
                   "USBSCAN1, E:); default: the first one found. Given more than once: the job "
                   "runs on each of them at once")
        ->type_name("NAME");
    cli.add_flag("--all", options.all,
                 "run the job on every scanner attached, each in a worker of its own, at once; "
                 "exit status 10 when it failed on one or more");
    cli.add_flag("-v,--verbose", options.verbose,
                 "the device link's trace lines and the job's status texts on standard error");
    cli.add_flag("--json", options.json,
                 "JSON lines on standard output, and nothing else there (see the README)");
    cli.add_option("--log", options.logFile,
                   "append one JSON line for the job to this file (created when missing); a log "
                   "that cannot be opened ends the run with status 7 before any device work")
        ->type_name("FILE");
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
    update
        ->add_option("--backup", options.backupFile,
                     "first read the range the image will overwrite into FILE (replaced in one "
                     "step); when that fails, nothing is written. `update FILE` restores it")
        ->type_name("FILE");
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

    Report report(WantsJson(argc, argv));
    try {
        cli.parse(argc, argv);
    } catch (const CLI::CallForHelp& e) {
        return cli.exit(e);
    } catch (const CLI::CallForAllHelp& e) {
        return cli.exit(e);
    } catch (const CLI::ParseError& e) {
        if (!report.Json()) {
            cli.exit(e);
            return app::ToInt(ExitStatus::kUsage);
        }
        report.Start(CommandOf(argc, argv));
        return report.End(ExitStatus::kUsage, e.what());
    }
    const bool station = options.all || options.devices.size() > 1;
    if (!station || list->parsed()) report.Start(CommandOf(argc, argv));

    options.lockTimeout = lockTimeout->count() > 0;
    std::optional<int> chosen;
    for (const std::string& name : options.devices) {
        chosen = cli::DeviceHandleFromName(name);
        if (!chosen) {
            return report.End(ExitStatus::kUsage, "'" + name +
                                                      "' names no device (use the "
                                                      "names that `kelvane-cli list` prints)");
        }
    }
    if (station && list->parsed())
        return report.End(ExitStatus::kUsage, "`list` shows every scanner already");
    if (options.all && !options.devices.empty())
        return report.End(ExitStatus::kUsage, "--all and --device do not go together");
    if (read->parsed() && options.file.empty())
        return report.End(ExitStatus::kUsage, "the read-back file needs a name");
    if (update->parsed() && options.backupFile.empty() && update->count("--backup") > 0)
        return report.End(ExitStatus::kUsage, "the backup file needs a name");

    cli::InstallBackends(options.verbose);
    if (list->parsed()) return ListDevicesJob(report);
    if (station) {
        const char* command = update->parsed()    ? "update"
                              : read->parsed()    ? "read"
                              : version->parsed() ? "version"
                                                  : "calibrate";
        return RunStationJob(command, options, report);
    }
    if (update->parsed()) return RunRecordedJob(Job::kUpdate, options, chosen, report);
    if (read->parsed()) return RunRecordedJob(Job::kRead, options, chosen, report);
    if (version->parsed()) return RunRecordedJob(Job::kVersion, options, chosen, report);
    if (calibrate->parsed()) return RunRecordedJob(Job::kCalibrate, options, chosen, report);
    return report.End(ExitStatus::kUsage, "no command");
}
