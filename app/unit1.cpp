#include "app/unit1.h"

#include <cstdint>
#include <iterator>
#include <optional>
#include <string>
#include <utility>

#include "app/flag_guard.h"
#include "app/program_folder.h"
#include "devlink/host_interface.h"
#include "devlink/zamo_usb.h"
#include "platform/platform.h"

namespace app {
namespace {

// Sizes offered by the scroll bar, by position.
constexpr const char* kScrollSizes[] = {"524288",  "1048576", "2097152",
                                        "4194304", "8388608", "16777216"};
constexpr int kScrollSizeCount = static_cast<int>(std::size(kScrollSizes));
constexpr int kVersionScrollPosition = 2;

constexpr const char* kNoRightsText =
    "The scanner service could not be stopped: the program is not running as administrator.";
constexpr const char* kWaitingText = "Waiting for another Kelvane program to end its command.";
// How often the wait for the frame lock lets the window handle its events.
constexpr std::uint32_t kLockPollMs = 100;

}  // namespace

std::string WithFullStop(const std::string& text) {
    if (!text.empty() && static_cast<unsigned char>(text.back()) > static_cast<unsigned char>('.'))
        return text + ".";
    return text;
}

TForm1::TForm1(View& view) : view_(view) {}

void TForm1::TellCaller(const std::string& text) {
    const std::string line = text + "\r\n";
    platform::Sys().OutputDebugString(line.c_str());
    platform::Sys().WriteStdout(line.c_str());
}

namespace {

std::string WithReason(const std::string& text, const std::string& reason) {
    return reason.empty() ? text : text + ": " + reason;
}

std::string DurationText(std::uint32_t ms) {
    return ms % 1000 == 0 ? std::to_string(ms / 1000) + " s" : std::to_string(ms) + " ms";
}

}  // namespace

std::optional<FrameLock> TForm1::TakeFrameLock(const char* name) {
    platform::System& sys = platform::Sys();
    platform::SystemHandle mutex(sys.CreateMutex(name));
    // Running without the lock could interleave two programs' commands on one scanner.
    if (!mutex.valid())
        throw FrameLockError(WithReason("The command frame lock cannot be had", sys.MutexError()));
    std::uint32_t result = sys.WaitForSingleObject(mutex.get(), 0);
    if (result == platform::kWaitTimeout) {
        // Another Kelvane process is inside its frame; a job can take minutes, so by default no
        // limit.
        if (unattended_) {
            TellCaller(kWaitingText);
        } else {
            view_.SetStatus1(kWaitingPanelText);
        }
        const std::uint64_t start = sys.TickCount();
        std::uint64_t nextNote = start + kLockNoteMs;
        do {
            view_.ProcessMessages();
            // Closing the window while it waits ends the program without the command; an
            // unattended run has its job to do.
            if (!unattended_ && view_.EndRequested()) break;
            const std::uint64_t waited = sys.TickCount() - start;
            if (LockTimeoutMs && waited >= *LockTimeoutMs) break;
            if (LockWaitNote && sys.TickCount() >= nextNote) {
                nextNote += kLockNoteMs;
                const std::string owner = sys.MutexOwner(mutex.get());
                LockWaitNote(owner.empty() ? std::string(kWaitingText)
                                           : std::string(kWaitingText) + " The lock is held by " +
                                                 owner + ".");
            }
            std::uint32_t step = kLockPollMs;
            if (LockTimeoutMs && *LockTimeoutMs - waited < step)
                step = static_cast<std::uint32_t>(*LockTimeoutMs - waited);
            result = sys.WaitForSingleObject(mutex.get(), step);
        } while (result == platform::kWaitTimeout);
        if (!unattended_) view_.SetStatus1(elevated_ ? "" : kNoRightsPanelText);
        if (result == platform::kWaitTimeout) {
            if (!unattended_ && view_.EndRequested()) return std::nullopt;
            const std::string owner = sys.MutexOwner(mutex.get());
            throw FrameLockError("Another Kelvane job held the command frame lock for " +
                                 DurationText(*LockTimeoutMs) +
                                 (owner.empty() ? std::string() : " (" + owner + ")"));
        }
    }
    if (result == platform::kWaitAbandoned) {
        // Its last holder ended inside its frame; the lock is ours all the same.
        sys.OutputDebugString(
            "[Kelvane] The command frame lock was abandoned by a program that ended.\n");
    } else if (result != platform::kWaitObject0) {
        throw FrameLockError(
            WithReason("The wait for the command frame lock failed", sys.MutexError()));
    }
    return FrameLock(mutex.release());
}

void TForm1::NoteServiceStop(int stopExitCode) {
    // net's exit code cannot tell "access denied" from "not running"; the token can.
    stopRefused_ = stopExitCode != 0 && !elevated_;
    if (stopRefused_ && unattended_) TellCaller(kNoRightsText);
}

bool TForm1::RunFrame(const std::function<void()>& routine) {
    const std::optional<FrameLock> lock = TakeFrameLock(kFrameLockName);
    if (!lock) return false;
    const TimerPeriod period;
    StopServiceCommand = ServiceStopLine;
    StartServiceCommand = ServiceStartLine;
    NoteServiceStop(RunServiceCommand(StopServiceCommand));
    try {
        routine();
    } catch (...) {
        RunServiceCommand(StartServiceCommand);
        throw;
    }
    RunServiceCommand(StartServiceCommand);
    return true;
}

template <typename Routine>
bool TForm1::RunInFrame(Routine&& routine) {
    // RunCommand lets the window handle events, so a click could otherwise start a command
    // inside this one.
    if (commandRunning_) return false;
    FlagGuard running(commandRunning_);
    // Greyed for as long as a click on them would be ignored, so none is silently lost.
    view_.SetCommandsEnabled(false);
    struct Regrant {
        View& view;
        ~Regrant() { view.SetCommandsEnabled(true); }
    } regrant{view_};
    return RunFrame(std::forward<Routine>(routine));
}

int TForm1::RunServiceCommand(const std::string& commandLine) {
    // An empty line is a front end's way of saying its system has no such service.
    return commandLine.empty() ? 0 : RunCommand(commandLine);
}

int TForm1::FindChosenDevice() const {
    return ChosenDevice != 0 ? ChosenDevice : ZamoUSB_FindDevice();
}

int TForm1::OpenDevice() {
    const int handle = FindChosenDevice();
    if (handle == 0) {
        EndJob(JobEnd::kNoDevice);
        return 0;
    }
    if (ZamoUSB_ConnectToDevice(handle) == 0) {
        EndJob(JobEnd::kConnectFailed);
        return 0;
    }
    JobReached(handle);
    if (!Connected) platform::Sys().WriteStdout("Connect to Device Success!\r\n");
    return handle;
}

void TForm1::BeginJob(JobKind job) {
    outcome_ = JobOutcome{};
    outcome_.job = job;
    jobHandle_ = 0;
    releasesBefore_ = 0;
}

void TForm1::EndJob(JobEnd end) {
    outcome_.end = end;
    if (const char* text = StatusText(outcome_.job, end)) view_.SetStatus(text);
}

void TForm1::JobReached(int handle) {
    jobHandle_ = handle;
    outcome_.device = handle;
    releasesBefore_ = SlotForHandle(handle).m_releasesRefused;
    if (Connected) Connected(handle);
}

void TForm1::NoteReleases() {
    if (jobHandle_ <= 0) return;
    outcome_.releasesRefused = SlotForHandle(jobHandle_).m_releasesRefused - releasesBefore_;
    if (outcome_.releasesRefused != 0) outcome_.warnings.push_back(JobWarning::kReleaseRefused);
}

void TForm1::Button1Click() {
    view_.RequestEnd();
}

void TForm1::Button2Click() {
    view_.RequestEnd();
}

void TForm1::Button3Click() {
    if (commandRunning_) return;
    const std::string folder = ProgramFolder().value_or(std::string());
    const std::optional<std::string> path = view_.PickFile(folder);
    if (!path) return;
    RunInFrame([&] { UpdateFirmware(path->c_str()); });
}

void TForm1::Button4Click() {
    RunInFrame([&] { ReadFlash(); });
}

void TForm1::Button5Click() {
    RunInFrame([&] { SetCalibration(); });
}

void TForm1::Button6Click() {
    if (!RunInFrame([&] { QueryVersion(); })) return;
    // The change event follows only a real change of position.
    if (view_.ScrollPosition() == kVersionScrollPosition) return;
    view_.SetScrollPosition(kVersionScrollPosition);
    ScrollBar1Change();
}

void TForm1::ScrollBar1Change() {
    const int position = view_.ScrollPosition();
    if (position < 0 || position >= kScrollSizeCount) return;
    view_.SetEdit2Text(kScrollSizes[position]);
}

}  // namespace app
