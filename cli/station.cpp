#include "cli/station.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <map>
#include <memory>
#include <mutex>
#include <thread>

#include "cli/console_view.h"
#include "cli/json_lines.h"
#include "platform/handles.h"
#include "platform/platform.h"

#ifdef _WIN32
#include <windows.h>
#endif

namespace cli {
namespace {

using json = nlohmann::ordered_json;
using State = ScannerRun::State;

constexpr auto kRedraw = std::chrono::milliseconds(250);

std::string Text(const json& object, const char* key) {
    const auto it = object.find(key);
    return it != object.end() && it->is_string() ? it->get<std::string>() : std::string();
}

std::string Padded(std::string text, std::size_t width) {
    if (text.size() < width) text.append(width - text.size(), ' ');
    return text;
}

#ifdef _WIN32
// The live view moves the cursor with escape sequences, which a console shows only when asked.
bool EnableEscapes() {
    const HANDLE out = ::GetStdHandle(STD_OUTPUT_HANDLE);
    DWORD mode = 0;
    return ::GetConsoleMode(out, &mode) &&
           ::SetConsoleMode(out, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING);
}
#else
bool EnableEscapes() {
    return true;
}
#endif

// A worker and what the parent keeps of it.
struct Worker {
    ScannerRun run;
    platform::Handle process = platform::InvalidHandle();
    platform::Handle output = platform::InvalidHandle();
    bool started = false;
    std::unique_ptr<ProgressLines> lines;  // without a terminal: its progress on standard error
    std::thread reader;
};

}  // namespace

bool ApplyWorkerLine(ScannerRun& run, const std::string& line, json* object) {
    json parsed = json::parse(line, nullptr, false);
    if (parsed.is_discarded() || !parsed.is_object()) return false;
    const std::string type = Text(parsed, "type");
    if (type == "progress") {
        run.state = State::kActive;
        run.phase = Text(parsed, "phase");
        const auto done = parsed.value("done", std::int64_t{0});
        const auto total = parsed.value("total", std::int64_t{0});
        run.percent = total > 0 ? static_cast<int>(done * 100 / total) : 0;
    } else if (type == "version") {
        if (parsed.contains("version") && parsed["version"].is_string())
            run.version = parsed["version"].get<std::string>();
    } else if (type == "result") {
        run.resultSeen = true;
        run.status = parsed.value("status", -1);
        run.message = Text(parsed, "message");
        if (parsed.contains("firmware_version") && parsed["firmware_version"].is_string())
            run.version = parsed["firmware_version"].get<std::string>();
        run.state = run.status == 0 ? State::kSucceeded : State::kFailed;
    }
    if (object != nullptr) *object = std::move(parsed);
    return true;
}

void EndWorker(ScannerRun& run, std::uint32_t code) {
    if (!run.resultSeen) {
        run.status =
            code == 0 ? app::ToInt(app::ExitStatus::kDeviceFailed) : static_cast<int>(code);
        run.message =
            "the worker ended without a result (exit status " + std::to_string(code) + ")";
    } else if (static_cast<int>(code) != run.status) {
        // Its exit status is the last word; a success must be both.
        run.message += " (the worker's exit status was " + std::to_string(code) + ")";
        if (run.status == 0 || code != 0) run.status = code == 0 ? 4 : static_cast<int>(code);
    }
    run.state = run.status == 0 ? State::kSucceeded : State::kFailed;
}

std::vector<std::string> Identities(const std::vector<std::string>& names,
                                    const std::vector<std::string>& wheres) {
    std::map<std::string, int> count;
    for (const std::string& w : wheres) ++count[w];
    std::vector<std::string> ids;
    for (std::size_t i = 0; i < names.size(); ++i) {
        const std::string& where = i < wheres.size() ? wheres[i] : std::string();
        if (!where.empty() && count[where] == 1) {
            ids.push_back(where);
        } else {
            std::string name = names[i];
            if (name.rfind("\\\\.\\", 0) == 0) name.erase(0, 4);
            ids.push_back(name);
        }
    }
    return ids;
}

std::string FileNameFor(const std::string& file, const std::string& identity) {
    std::string id = identity;
    for (char& c : id) {
        const auto u = static_cast<unsigned char>(c);
        if (u < 0x20 || u == 0x7F || std::string("<>:\"/\\|?* ").find(c) != std::string::npos)
            c = '_';
    }
    // The extension of the file's own name, not of a folder on its path.
    const std::size_t slash = file.find_last_of("/\\");
    const std::size_t dot = file.find_last_of('.');
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash) ||
        dot == (slash == std::string::npos ? 0 : slash + 1))
        return file + "-" + id;
    return file.substr(0, dot) + "-" + id + file.substr(dot);
}

std::string ViewLine(const ScannerRun& run) {
    std::string state;
    switch (run.state) {
        case State::kStarting:
            state = "starting";
            break;
        case State::kActive:
            state = run.phase;
            break;
        case State::kSucceeded:
            state = "succeeded";
            break;
        case State::kFailed:
            state = "failed (" + std::to_string(run.status) + " " +
                    app::ExitStatusName(static_cast<app::ExitStatus>(run.status)) + ")";
            break;
    }
    char percent[8];
    std::snprintf(percent, sizeof percent, "%3d%%", run.percent);
    return Padded(run.identity, 24) + " " + Padded(run.version.value_or("-"), 8) + " " + percent +
           "  " + state;
}

std::string SummaryLine(const std::vector<ScannerRun>& runs) {
    int ok = 0, failed = 0, active = 0;
    for (const ScannerRun& r : runs) {
        ok += r.state == State::kSucceeded;
        failed += r.state == State::kFailed;
        active += r.state == State::kStarting || r.state == State::kActive;
    }
    return "Succeeded " + std::to_string(ok) + ", Failed " + std::to_string(failed) + ", Active " +
           std::to_string(active);
}

std::string TableText(const std::vector<ScannerRun>& runs) {
    std::string text = Padded("scanner", 24) + " " + Padded("version", 8) + " " +
                       Padded("status", 24) + " message\n";
    for (const ScannerRun& r : runs) {
        const std::string status =
            std::to_string(r.status) + " " +
            (r.status >= 0 ? app::ExitStatusName(static_cast<app::ExitStatus>(r.status)) : "");
        text += Padded(r.identity, 24) + " " + Padded(r.version.value_or("-"), 8) + " " +
                Padded(status, 24) + " " + r.message + "\n";
    }
    return text;
}

app::ExitStatus StationStatus(const std::vector<ScannerRun>& runs) {
    if (runs.empty()) return app::ExitStatus::kNoDevice;
    for (const ScannerRun& r : runs)
        if (r.status != 0) return app::ExitStatus::kSomeFailed;
    return app::ExitStatus::kOk;
}

int RunStation(const StationRequest& request, const std::vector<std::string>& names,
               const std::vector<std::string>& identities) {
    platform::System& sys = platform::Sys();
    std::mutex mutex;  // the runs and the parent's output
    std::condition_variable changed;
    const bool live = request.terminal && !request.json && EnableEscapes();
    if (request.json) WriteLine(stdout, StartObject(request.command));

    std::vector<std::unique_ptr<Worker>> workers;
    for (std::size_t i = 0; i < names.size(); ++i) {
        auto w = std::make_unique<Worker>();
        w->run.name = names[i];
        w->run.identity = identities[i];
        if (!request.terminal && !request.json)
            w->lines = std::make_unique<ProgressLines>(stderr, identities[i] + ": kelvane-cli: ");
        std::vector<std::string> argv = {request.program, "--json", "--device", names[i]};
        argv.insert(argv.end(), request.options.begin(), request.options.end());
        argv.push_back(request.command);
        for (const auto& [text, perScanner] : request.arguments)
            argv.push_back(perScanner ? FileNameFor(text, identities[i]) : text);
        // One after another from this thread, so that no worker inherits another's pipe.
        w->started = sys.StartWorker(argv, &w->process, &w->output);
        if (!w->started) {
            w->run.state = State::kFailed;
            w->run.status = app::ToInt(app::ExitStatus::kDeviceFailed);
            w->run.message = "the worker for this scanner could not be started";
        }
        workers.push_back(std::move(w));
    }
    std::size_t reading = 0;
    for (auto& w : workers) {
        if (!w->started) continue;
        ++reading;
        w->reader = std::thread([&, worker = w.get()] {
            std::string pending;
            char buf[4096];
            for (;;) {
                std::uint32_t n = 0;
                if (!sys.ReadWorkerOutput(worker->output, buf, sizeof buf, &n) || n == 0) break;
                pending.append(buf, n);
                for (std::size_t end; (end = pending.find('\n')) != std::string::npos;) {
                    const std::string line = pending.substr(0, end);
                    pending.erase(0, end + 1);
                    const std::lock_guard<std::mutex> lock(mutex);
                    json object;
                    if (!ApplyWorkerLine(worker->run, line, &object)) continue;
                    if (request.json) {
                        object["scanner"] = worker->run.identity;
                        WriteLine(stdout, object);
                    } else if (worker->lines && Text(object, "type") == "progress") {
                        worker->lines->Progress(Text(object, "phase"),
                                                object.value("done", std::int64_t{0}),
                                                object.value("total", std::int64_t{0}));
                    }
                    changed.notify_all();
                }
            }
            const std::lock_guard<std::mutex> lock(mutex);
            --reading;
            changed.notify_all();
        });
    }

    std::size_t drawn = 0;
    const auto draw = [&] {
        std::string text;
        if (drawn > 0) text += "\x1b[" + std::to_string(drawn) + "A";
        for (const auto& w : workers) text += "\r\x1b[2K" + ViewLine(w->run) + "\n";
        std::vector<ScannerRun> runs;
        for (const auto& w : workers) runs.push_back(w->run);
        text += "\r\x1b[2K" + SummaryLine(runs) + "\n";
        std::fputs(text.c_str(), stdout);
        std::fflush(stdout);
        drawn = workers.size() + 1;
    };
    {
        std::unique_lock<std::mutex> lock(mutex);
        while (reading > 0) {
            if (live) draw();
            changed.wait_for(lock, kRedraw);
        }
    }
    for (auto& w : workers) {
        if (!w->started) continue;
        w->reader.join();
        std::uint32_t code = 0;
        const bool waited = sys.WaitWorker(w->process, &code);
        EndWorker(w->run, waited ? code : app::ToInt(app::ExitStatus::kDeviceFailed));
        sys.CloseHandle(w->output);
        sys.CloseHandle(w->process);
    }
    std::vector<ScannerRun> runs;
    for (const auto& w : workers) runs.push_back(w->run);
    const app::ExitStatus status = StationStatus(runs);
    if (request.json) {
        json result = ResultObject(status, SummaryLine(runs), nullptr, std::nullopt);
        json scanners = json::array();
        for (const ScannerRun& r : runs) {
            scanners.push_back(
                {{"scanner", r.identity},
                 {"name", r.name},
                 {"status", r.status},
                 {"status_name",
                  r.status >= 0 ? app::ExitStatusName(static_cast<app::ExitStatus>(r.status)) : ""},
                 {"message", r.message},
                 {"version", r.version ? json(*r.version) : json(nullptr)}});
        }
        result["scanners"] = scanners;
        WriteLine(stdout, result);
    } else {
        if (live) draw();
        std::fputs(TableText(runs).c_str(), stdout);
        std::fputs((SummaryLine(runs) + "\n").c_str(), stdout);
        std::fflush(stdout);
    }
    return app::ToInt(status);
}

}  // namespace cli
