// The main window's logic, TForm1: the command frame, the command runner, the four device
// commands, the start-up modes and the result file. It talks to its window through View only.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>

#include "app/exit_status.h"
#include "app/frame_guards.h"
#include "app/job_outcome.h"
#include "app/status_tap.h"
#include "app/view.h"

namespace app {

// Status panel 1 when the process is not elevated: the service stop will be refused, and the
// scanner then looks missing. The panel is narrow; the message at start says it in full.
inline constexpr const char* kNoRightsPanelText = "Limited";
inline constexpr const char* kNoRightsMessage =
    "Kelvane is not running as administrator, so it cannot stop the scanner service and may not "
    "find the scanner. Start it with \"Run as administrator\".";
// Status panel 1 while a command waits for another Kelvane program's command frame.
inline constexpr const char* kWaitingPanelText = "Waiting";

// An error that reaches the window's event loop and is shown in the error box.
class Error : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// The command frame's lock could not be had: created, opened, taken, or taken within the
// caller's time limit. No command of the frame has run. Its own status (kLockUnavailable).
class FrameLockError : public Error {
  public:
    using Error::Error;
};

class TForm1 {
  public:
    explicit TForm1(View& view);

    // Event handlers. They may throw app::Error; the window runs each through RunHandler.
    // FormCreate takes the whole command line (program name first), as the platform gives it.
    void FormCreate(const char* commandLine);
    // Once the window is shown: a window without administrator rights says what that costs.
    void FormShow();
    void Button1Click();  // "Ok"
    void Button2Click();  // "Cancel"
    void Button3Click();  // "UpdateFW"
    void Button4Click();  // "Read Flash"
    void Button5Click();  // "DoCalibration"
    void Button6Click();  // "Get Version"
    void ScrollBar1Change();

    // The routines and helpers, public for tests and the start-up modes.
    int RunCommand(const std::string& commandLine);
    void UpdateFirmware(const char* path);
    void ReadFlash();
    void QueryVersion();
    void SetCalibration();
    void WriteResult(const std::string& key, const std::string& value);

    std::string StopServiceCommand;
    std::string StartServiceCommand;
    bool CheckMode = false;

    // The program's exit status: how the unattended job ended; kOk in the window mode.
    ExitStatus Exit() const { return exit_; }
    // --- Front-end settings -------------------------------------------------------------------
    // The window program keeps these defaults; the command-line program sets its own.
    // The read-back file (relative names are in the current folder).
    std::string DumpFileName = "flash.bin";
    // The version query's result file: empty for result2.ini beside the program.
    std::string ResultFilePath;
    bool WriteVersionResult = true;  // false: the version query writes no result file
    bool ShowVersionMessage = true;  // false: no version message box (check mode also silences it)
    // The device the commands use: 0 for the first one found, otherwise its device handle.
    int ChosenDevice = 0;
    // The frame's service command lines; an empty line is not run.
    std::string ServiceStopLine = "net stop stisvc";
    std::string ServiceStartLine = "net start stisvc";
    // The longest wait for another program's command frame, in milliseconds; none: no limit.
    // Past it the frame ends with FrameLockError.
    std::optional<std::uint32_t> LockTimeoutMs;
    // Told every kLockNoteMs while the frame waits, with who holds the lock where the system can
    // say (the command-line program prints it); nothing when unset.
    std::function<void(const std::string&)> LockWaitNote;
    static constexpr std::uint32_t kLockNoteMs = 5000;
    // What the last version query read; nothing when its version transfer failed.
    std::optional<std::string> LastVersion;
    // Told once the frame holds the lock of the scanner it found (its device handle), and again
    // when the job has done with the scanner, before the lock is given back (also when the
    // routine failed). What is kept for the scanner outside it (a simulated scanner's memory) is
    // read and written there, under the lock. Either may throw app::Error.
    std::function<void(int)> ScannerTaken;
    std::function<void(int)> ScannerDone;
    // Still-image scanners get service events of their own (see devlink/scanner_identity.h).
    bool OwnServiceEvents = false;
    // After a firmware update that was done, read the written range back (the read-back's own
    // calls, into memory) and compare it with the image. The window program does not.
    bool VerifyAfterUpdate = false;
    // Before an update's first write, read the range its blocks will cover (with the read-back's
    // calls) into this file, replacing it in one step as flash.bin is; when that fails nothing
    // is written. Empty: no backup. The window program makes none.
    std::string BackupFileName;
    // An update reads the device's version before its first write and after its end (for a
    // record of the job). The window program does not.
    bool ReadVersionAround = false;
    // Told the version read before the update's first write (nothing when that read failed).
    std::function<void(const std::optional<std::string>& version)> VersionBeforeRead;
    // Told the image's bytes once the update has loaded them, before any block goes out.
    std::function<void(const std::uint8_t* image, std::uint32_t size)> ImageLoaded;
    // Told the device handle when a job has connected to its device. When set, it replaces the
    // line "Connect to Device Success!" that the update, version and calibration write to
    // standard output (the front end reports the connection its own way).
    std::function<void(int handle)> Connected;

    // How the last job (update, read-back, version, calibration) ended.
    const JobOutcome& LastOutcome() const { return outcome_; }

  private:
    // Finds and connects to the device with the shared texts; the handle, or 0 when the routine
    // must end (the status already says why).
    int OpenDevice();
    // The chosen device, or the first one found; 0 when there is none. Within a frame the first
    // call finds it and takes its frame lock, and later calls give the same device.
    int FindChosenDevice();
    int FindScannerForFrame();
    // RunCommand for a service command line; an empty line runs nothing.
    int RunServiceCommand(const std::string& commandLine);
    // The command frame: service stop, the routine, service start however the routine ends.
    // Returns false without doing anything when a frame is already running.
    template <typename Routine>
    bool RunInFrame(Routine&& routine);
    // The frame itself, for a caller that has set commandRunning_: the timer period, the job's
    // slot and the service stop, the scanner found and its frame lock, the routine, the service
    // start when no other job runs. False when the end was requested while the frame waited for
    // a lock; the routine has not run then.
    bool RunFrame(const std::function<void()>& routine);
    // The part of the frame on the scanner: finds it, takes its lock and runs the routine on it.
    bool RunOnScanner(const std::function<void()>& routine);
    // Takes the gate, a job slot, and stops the service; the slot, held for the job. Nullopt
    // when the end was requested while waiting for the gate.
    std::optional<FrameLock> EnterService();
    // Gives the slot back under the gate and starts the service when no other job runs. Never
    // throws: a gate that cannot be had leaves the service stopped, and says so.
    void LeaveService(std::optional<FrameLock>& slot);
    // Whether any job slot is held by another job (or cannot be looked at).
    static bool OtherJobsRunning();
    // Waits for the frame lock `name`, handling events meanwhile, for at most LockTimeoutMs.
    // Nullopt when the end was requested during the wait (only when `endable`); FrameLockError
    // when the lock cannot be created or taken, or the limit passed.
    std::optional<FrameLock> TakeFrameLock(const char* name, bool endable = true);
    // Notes whether the service could not be stopped for want of rights, and tells the caller
    // of an unattended run.
    void NoteServiceStop(int stopExitCode);
    // The unattended start-up, after the argument was found.
    void RunUnattended(const std::string& argument);
    // Text for the caller of an unattended run: standard output and the debug output.
    static void TellCaller(const std::string& text);
    // A fresh outcome for a job, with the device's count of refused releases noted.
    void BeginJob(JobKind job);
    // Records how the job ended and shows its text.
    void EndJob(JobEnd end);
    // The device the job reached: its refused releases from now on are the job's.
    void JobReached(int handle);
    // At the job's very end: the releases the device refused meanwhile become a warning.
    void NoteReleases();
    // The update's verify: the written range read back and compared with `image`.
    void VerifyUpdate(int handle, const std::uint8_t* image, std::uint32_t size);
    // The update's backup of the range it is about to overwrite; false (the job ended) when it
    // could not be made.
    bool BackUpRange(int handle, std::uint32_t length);
    // The version exchange (opening call, version, closing call); nothing when the version
    // transfer failed.
    std::optional<std::string> ReadDeviceVersion(int handle);

    JobOutcome outcome_;
    int jobHandle_ = 0;  // the device the job reached, for its count of refused releases
    std::uint32_t releasesBefore_ = 0;

    StatusTap view_;
    bool commandRunning_ = false;     // clicks on command buttons are ignored while set
    bool inFrame_ = false;            // RunOnScanner is under way
    std::optional<int> frameDevice_;  // within a frame: the scanner found and locked (0: none)
    std::optional<FrameLock> scannerLock_;  // its frame lock
    bool unattended_ = false;               // started with an argument: no person is watching
    bool elevated_ = true;
    bool stopRefused_ = false;  // the last frame's service stop failed for want of rights
    ExitStatus exit_ = ExitStatus::kOk;
};

// Runs one event handler the way the window's event loop does: an app::Error (or any other
// std::exception) escaping it is shown in the error box, with a full stop added when the text's
// last character has a code above that of the full stop.
std::string WithFullStop(const std::string& text);

template <typename F>
void RunHandler(View& view, F&& handler) {
    try {
        handler();
    } catch (const std::exception& e) {
        view.ShowError(WithFullStop(e.what()));
    }
}

}  // namespace app
