#include "app/unit1.h"

#include <cstdint>
#include <iterator>
#include <optional>
#include <string>
#include <utility>

#include "app/flag_guard.h"
#include "app/program_folder.h"
#include "devlink/host_interface.h"
#include "devlink/scanner_identity.h"
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

std::optional<FrameLock> TForm1::TakeFrameLock(const char* name, bool endable) {
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
            if (endable && !unattended_ && view_.EndRequested()) break;
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
            if (endable && !unattended_ && view_.EndRequested()) return std::nullopt;
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

bool TForm1::OtherJobsRunning() {
    platform::System& sys = platform::Sys();
    for (int n = 0; n < kJobSlots; ++n) {
        const platform::SystemHandle slot(sys.CreateMutex(JobSlotName(n).c_str()));
        const std::uint32_t result =
            slot.valid() ? sys.WaitForSingleObject(slot.get(), 0) : platform::kWaitFailed;
        // A slot that cannot be looked at counts as held: a service left stopped is the lesser
        // harm than one started under another job's transfers.
        if (result != platform::kWaitObject0 && result != platform::kWaitAbandoned) return true;
        sys.ReleaseMutex(slot.get());
    }
    return false;
}

std::optional<FrameLock> TForm1::EnterService() {
    const std::optional<FrameLock> gate = TakeFrameLock(kServiceGateName);
    if (!gate) return std::nullopt;
    platform::System& sys = platform::Sys();
    const bool othersRunning = OtherJobsRunning();
    std::optional<FrameLock> slot;
    for (int n = 0; n < kJobSlots && !slot; ++n) {
        platform::SystemHandle candidate(sys.CreateMutex(JobSlotName(n).c_str()));
        if (!candidate.valid()) continue;
        const std::uint32_t result = sys.WaitForSingleObject(candidate.get(), 0);
        // Abandoned: the job that had it ended without giving it back; it is free.
        if (result == platform::kWaitObject0 || result == platform::kWaitAbandoned)
            slot.emplace(candidate.release());
    }
    if (!slot) {
        throw FrameLockError(
            WithReason("The command frame lock cannot be had",
                       "every one of the " + std::to_string(kJobSlots) + " job slots is taken"));
    }
    // The first job in stops the service and the last one out starts it again: a job already
    // running stopped it under this gate. A job without rights still runs its own stop, whose
    // refusal is what tells it why a scanner may be missing.
    if (!othersRunning || !elevated_) {
        NoteServiceStop(RunServiceCommand(StopServiceCommand));
    } else {
        stopRefused_ = false;
    }
    return slot;
}

void TForm1::LeaveService(std::optional<FrameLock>& slot) {
    std::string why;
    const std::optional<FrameLock> gate = [&]() -> std::optional<FrameLock> {
        try {
            return TakeFrameLock(kServiceGateName, /*endable=*/false);
        } catch (const FrameLockError& e) {
            why = e.what();
            return std::nullopt;
        }
    }();
    slot.reset();
    if (!gate) {
        platform::Sys().OutputDebugString(
            ("[Kelvane] The scanner service is left stopped: " + why + "\n").c_str());
        return;
    }
    if (!OtherJobsRunning()) RunServiceCommand(StartServiceCommand);
}

namespace {

// Thrown from the routine's first look for its device when the end was requested while the frame
// waited for the scanner's lock: the routine ends there, having done nothing on the device.
struct FrameGivenUp {};

}  // namespace

bool TForm1::RunOnScanner(const std::function<void()>& routine) {
    // The scanner is found and locked when the routine first asks for its device (after it has
    // checked its own input), and the routine works on that scanner to its end, even if
    // discovery would find another meanwhile.
    struct Scope {
        TForm1& form;
        ~Scope() {
            form.scannerLock_.reset();
            form.frameDevice_.reset();
            form.inFrame_ = false;
        }
    } scope{*this};
    inFrame_ = true;
    const auto done = [&] {
        if (frameDevice_ && *frameDevice_ != 0 && ScannerDone) ScannerDone(*frameDevice_);
    };
    try {
        routine();
    } catch (const FrameGivenUp&) {
        return false;
    } catch (...) {
        try {
            done();
        } catch (const std::exception& e) {
            // The routine's own error is the one to show.
            platform::Sys().OutputDebugString(
                (std::string("[Kelvane] After a failed job: ") + e.what() + "\n").c_str());
        }
        throw;
    }
    done();
    return true;
}

int TForm1::FindScannerForFrame() {
    const int device = ChosenDevice != 0 ? ChosenDevice : ZamoUSB_FindDevice();
    std::optional<FrameLock> lock =
        TakeFrameLock(FrameLockName(device != 0 ? DeviceIdentityOf(device) : "").c_str());
    if (!lock) throw FrameGivenUp{};
    scannerLock_.emplace(std::move(*lock));
    frameDevice_ = device;
    if (device != 0 && ScannerTaken) ScannerTaken(device);
    return device;
}

bool TForm1::RunFrame(const std::function<void()>& routine) {
    const TimerPeriod period;
    StopServiceCommand = ServiceStopLine;
    StartServiceCommand = ServiceStartLine;
    SetOwnStillImageEvents(OwnServiceEvents);
    // Linux has no service: no slot, no gate, nothing run.
    const bool service = !StopServiceCommand.empty() || !StartServiceCommand.empty();
    if (!service) stopRefused_ = false;
    std::optional<FrameLock> slot = service ? EnterService() : std::nullopt;
    if (service && !slot) return false;
    bool ran = false;
    try {
        ran = RunOnScanner(routine);
    } catch (...) {
        if (slot) LeaveService(slot);
        throw;
    }
    if (slot) LeaveService(slot);
    return ran;
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

int TForm1::FindChosenDevice() {
    if (frameDevice_) return *frameDevice_;
    if (inFrame_) return FindScannerForFrame();
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
