// The simulated System backend: a virtual clock, in-memory named events, simulated processes,
// captured debug output and standard output, and INI files written on the real file system.
//
// Time: the clock starts at kStartTickMs and moves only when Sleep or a timed wait advances it;
// both return at once. Actions scheduled with At() run, in time order, when the clock passes
// their time (during Sleep or a wait), with the clock set to that time.
//
// Events: named, auto-reset. CreateEvent creates a signalled event or opens the existing one;
// OpenEvent gives null for an unknown name; every open/create gives a new handle value. An event
// lives while any handle (or a simulated holder, see HoldEvent) refers to it.
//
// Handles: values are never reused. CloseHandle of an unknown or already closed handle returns
// false and is counted (CloseErrors()), so tests assert that no handle is closed twice.
//
// Not thread-safe: the program under test runs on one thread.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "platform/system.h"

namespace sim {

// What a simulated program does when it is started.
struct ProcessSpec {
    bool starts = true;          // false: CreateProcess fails
    std::uint32_t exitCode = 0;  // reported once the process has ended
    std::uint32_t runMs = 0;     // how long it runs on the virtual clock (0: ended at once)
};

// One CreateProcessNoWindow call, as the program made it.
struct StartedProcess {
    std::string applicationName;  // empty when null was passed
    std::string commandLine;      // empty when null was passed
    bool started = false;
};

// Observations on one named event, kept also after the event itself is gone.
struct EventStats {
    std::uint32_t setCount = 0;      // successful SetEvent calls (holders' releases included)
    std::uint32_t takeCount = 0;     // waits that obtained the event
    std::uint32_t timeoutCount = 0;  // waits that timed out
    std::uint32_t createdCount = 0;  // times the event came into being
};

class SimSystem final : public platform::System {
  public:
    static constexpr std::uint64_t kStartTickMs = 10'000'000;
    static constexpr std::uint32_t kInfinite = 0xFFFFFFFFu;
    static constexpr std::uint32_t kStillActive = 259;

    SimSystem();
    ~SimSystem() override;
    SimSystem(const SimSystem&) = delete;
    SimSystem& operator=(const SimSystem&) = delete;

    // --- platform::System ------------------------------------------------------------------
    platform::Handle OpenEvent(const char* name) override;
    platform::Handle CreateEvent(const char* name) override;
    bool SetEvent(platform::Handle h) override;
    std::uint32_t WaitForSingleObject(platform::Handle h, std::uint32_t ms) override;
    bool CloseHandle(platform::Handle h) override;
    void Sleep(std::uint32_t ms) override;
    std::uint64_t TickCount() override { return now_; }
    void OutputDebugString(const char* text) override;
    void WriteStdout(const char* text) override;
    bool CreateProcessNoWindow(const char* applicationName, char* commandLine,
                               platform::ProcessInfo* pi) override;
    bool GetExitCodeProcess(platform::Handle process, std::uint32_t* code) override;
    bool WritePrivateProfileString(const char* section, const char* key, const char* value,
                                   const char* path) override;
    std::uint32_t GetModuleFileName(char* buf, std::uint32_t bufLen) override;
    std::uint32_t GetSystemDirectory(char* buf, std::uint32_t bufLen) override;

    // --- Clock and scheduler ---------------------------------------------------------------
    std::uint64_t Now() const { return now_; }
    // Runs `action` when the clock reaches `timeMs` (at the next Sleep or wait if that time has
    // already come). Actions of equal time run in the order they were scheduled.
    void At(std::uint64_t timeMs, std::function<void()> action);
    // Moves the clock forward by `ms`, running due actions (the same as Sleep).
    void Advance(std::uint64_t ms);
    std::size_t PendingActions() const { return actions_.size(); }

    // --- Another program and the named events ----------------------------------------------
    // Another program holds the event `name` from now on: the event exists (created if needed)
    // and is not signalled. It releases it (SetEvent) at `releaseAtMs`; HoldEvent without a time
    // is a dead holder that never releases it. The holder keeps the event alive.
    void HoldEvent(const std::string& name);
    void HoldEvent(const std::string& name, std::uint64_t releaseAtMs);
    // Sets the named event from outside, as another program's SetEvent would. False if no such
    // event exists.
    bool SignalEvent(const std::string& name);
    bool EventExists(const std::string& name) const;
    bool EventSignalled(const std::string& name) const;  // false also when it does not exist
    // Handles currently open on the event (holders not counted).
    std::uint32_t EventHandleCount(const std::string& name) const;
    EventStats Stats(const std::string& name) const;

    // --- Handles ---------------------------------------------------------------------------
    std::size_t OpenHandleCount() const { return handles_.size() + files_.size(); }
    std::uint32_t CloseErrors() const { return closeErrors_; }
    // Infinite waits that could never end (nothing scheduled would signal the object).
    std::uint32_t DeadlockedWaits() const { return deadlockedWaits_; }

    // --- Processes -------------------------------------------------------------------------
    // What starting `key` does; `key` is compared with the whole command line first, then with
    // the application name. Other programs follow the default (starts, exit code 0, runs 0 ms).
    void SetProcess(const std::string& key, ProcessSpec behaviour);
    void SetDefaultProcess(ProcessSpec behaviour) { defaultProcess_ = behaviour; }
    const std::vector<StartedProcess>& ProcessLog() const { return processLog_; }
    // The command lines of the processes that were started (in order), failed starts included.
    std::vector<std::string> CommandLines() const;

    // --- Output ----------------------------------------------------------------------------
    // One entry per OutputDebugString call, text as given. Capture is on at start.
    const std::vector<std::string>& DebugLines() const { return debugLines_; }
    void CaptureDebugOutput(bool on) { captureDebug_ = on; }
    void ClearDebugLines() { debugLines_.clear(); }
    const std::string& StdoutText() const { return stdout_; }
    void ClearStdout() { stdout_.clear(); }

    // --- Paths -----------------------------------------------------------------------------
    void SetModuleFileName(std::string path) { modulePath_ = std::move(path); }
    void SetSystemDirectory(std::string path) { systemDir_ = std::move(path); }

    // --- Rights, timer resolution and named mutexes ----------------------------------------
    // platform::System
    bool IsProcessElevated() override { return elevated_; }
    bool TimeBeginPeriod(std::uint32_t ms) override;
    bool TimeEndPeriod(std::uint32_t ms) override;
    bool IgnoreTimerResolutionThrottling() override;
    platform::Handle CreateMutex(const char* name) override;
    bool ReleaseMutex(platform::Handle h) override;
    std::string MutexError() override { return mutexCreationFails_ ? mutexDenial_ : ""; }
    std::string MutexOwner(platform::Handle) override { return mutexOwnerText_; }

    // Whether the process's token is elevated (IsProcessElevated); elevated at start.
    void SetElevated(bool elevated) { elevated_ = elevated; }

    // The system timer. With a tick set (microseconds; 0, the start, is exact), Sleep and the
    // timeout of a wait last a whole number of ticks, at least what was asked, as on Windows;
    // while a TimeBeginPeriod is in force the tick is the smallest period asked for, if shorter.
    // A wait that its object ends early returns at once. Time below a millisecond is carried.
    void SetTimerTickUs(std::uint32_t us) { timerTickUs_ = us; }
    // The tick in force now, in microseconds (0: exact).
    std::uint32_t TimerResolutionUs() const;
    // Modeled time that has not yet reached the millisecond clock, in microseconds.
    std::uint32_t TimerCarryUs() const { return timerCarryUs_; }
    // Periods begun and not yet ended, and every TimeBeginPeriod/TimeEndPeriod as "begin N" or
    // "end N", in order.
    const std::multiset<std::uint32_t>& ActivePeriods() const { return periods_; }
    const std::vector<std::string>& TimerLog() const { return timerLog_; }
    // Whether the throttling opt-out succeeds (it does at start), and how often it was asked.
    void SetThrottlingOptOutWorks(bool works) { throttlingOptOutWorks_ = works; }
    std::uint32_t ThrottlingOptOutCalls() const { return throttlingOptOutCalls_; }

    // Named mutexes. Another program holds `name` from now on (created if needed); it releases
    // it at `releaseAtMs`, or ends then without releasing it (abandoned: the next wait gets
    // kWaitAbandoned). HoldMutex without a time never lets go.
    void HoldMutex(const std::string& name);
    void HoldMutex(const std::string& name, std::uint64_t releaseAtMs, bool abandon = false);
    // CreateMutex fails (returns null) while set, and MutexError gives `why`: another
    // program's mutex of that name that refuses the rights asked for, say.
    void SetMutexCreationFails(bool fails, std::string why = "access is denied") {
        mutexCreationFails_ = fails;
        mutexDenial_ = std::move(why);
    }
    // What MutexOwner says of every mutex (empty at start: the system cannot tell).
    void SetMutexOwnerText(std::string text) { mutexOwnerText_ = std::move(text); }
    bool MutexExists(const std::string& name) const;
    // Whether the program making calls now owns the mutex (taken by a wait and not yet
    // released).
    bool MutexOwnedHere(const std::string& name) const;
    // Several programs in one test: mutex calls from now on are made by `program` (0 at start),
    // so a mutex one of them owns keeps the others waiting as it would another process.
    void SetProgram(int program) { program_ = program; }
    int Program() const { return program_; }
    // `program` ended without releasing what it held: its mutexes are abandoned.
    void EndProgram(int program);
    // Times this program took the mutex (abandoned takes included).
    std::uint32_t MutexTakeCount(const std::string& name) const;

  private:
    struct Event;
    struct Mutex;
    struct Process;
    enum class HandleKind { kEvent, kProcess, kThread, kMutex };
    struct HandleEntry {
        HandleKind kind;
        std::shared_ptr<Event> event;
        std::shared_ptr<Process> process;
        std::shared_ptr<Mutex> mutex = nullptr;
    };

    platform::Handle NewHandle(HandleEntry entry);
    HandleEntry* Find(platform::Handle h);
    std::shared_ptr<Event> FindEvent(const std::string& name) const;
    std::shared_ptr<Event> MakeEvent(const std::string& name, bool signalled);
    void Release(const std::shared_ptr<Event>& e);
    // Runs the earliest action due at or before `limit`; false when there is none.
    bool RunNextAction(std::uint64_t limit);
    bool Signalled(const HandleEntry& entry) const;
    // Takes a signalled object for a wait and gives the wait's result.
    std::uint32_t Take(HandleEntry& entry);

    std::uint64_t now_ = kStartTickMs;
    std::uint64_t nextSeq_ = 0;
    std::multimap<std::pair<std::uint64_t, std::uint64_t>, std::function<void()>> actions_;

    std::uintptr_t nextHandle_ = 0x10000;
    std::map<std::uintptr_t, HandleEntry> handles_;
    std::map<std::string, std::shared_ptr<Event>> events_;  // named events alive
    std::vector<std::shared_ptr<Event>> heldByOthers_;
    std::map<std::string, EventStats> stats_;
    std::uint32_t closeErrors_ = 0;
    std::uint32_t deadlockedWaits_ = 0;

    std::map<std::string, ProcessSpec> processSpecs_;
    ProcessSpec defaultProcess_;
    std::vector<StartedProcess> processLog_;

    bool captureDebug_ = true;
    std::vector<std::string> debugLines_;
    std::string stdout_;
    std::string modulePath_ = "C:\\Kelvane\\kelvane.exe";
    std::string systemDir_ = "C:\\windows\\system32";

    // --- File contents ---------------------------------------------------------------------
    // Real files, reached through the C library, with Windows' refusals where they differ: a
    // folder never opens, a read-only file does not open for writing and is not replaced, a
    // file with an open handle can be neither moved, replaced nor deleted, and a link is never
    // moved in a file's place. The share mode is not modelled. File handles come from the same
    // series as the other handles and count in OpenHandleCount().
  public:
    platform::Handle CreateFile(const char* path, std::uint32_t access, std::uint32_t shareMode,
                                std::uint32_t disposition) override;
    bool ReadFile(platform::Handle h, void* buf, std::uint32_t len, std::uint32_t* done) override;
    bool WriteFile(platform::Handle h, const void* data, std::uint32_t len,
                   std::uint32_t* done) override;
    bool FlushFileBuffers(platform::Handle h) override;
    bool GetFileSizeEx(platform::Handle h, std::int64_t* size) override;
    std::uint32_t GetTempFileName(const char* folder, const char* prefix, char* buf) override;
    platform::Handle CreateTempFile(const char* folder, const char* prefix, const char* modeOf,
                                    std::string* path) override;
    bool MoveFileEx(const char* from, const char* to, std::uint32_t flags) override;
    bool DeleteFile(const char* path) override;
    std::uint32_t GetFileAttributes(const char* path) override;
    bool GetFileStamp(platform::Handle h, FileStamp* stamp) override;

    // Failures a test asks for, and other programs at work on the files; they hold until changed.
    struct FileFaults {
        bool failWrites = false;  // WriteFile fails and writes nothing
        // Bytes still free on the disk: a write that does not fit writes what fits and reports
        // that count as success (a short write); with nothing free it fails.
        std::uint64_t diskSpace = ~std::uint64_t{0};
        bool failFlush = false;     // FlushFileBuffers fails
        bool failTempName = false;  // GetTempFileName and CreateTempFile fail, creating nothing
        bool failMove = false;      // MoveFileEx fails and moves nothing
        // A write-through MoveFileEx moves, and then the sync of the folder fails.
        bool failFolderSync = false;
        // CreateFile of this path fails, as for a file whose rights shut this user out.
        std::string accessDenied{};
        // Runs after every ReadFile with the file's path: another program writing the file
        // while it is read.
        std::function<void(const std::string&)> afterRead{};
        // Runs after CreateTempFile with the new file's path: another program in the folder.
        std::function<void(const std::string&)> afterTempFile{};
    };
    void SetFileFaults(const FileFaults& faults) { fileFaults_ = faults; }
    // Bytes written through WriteFile since the start (what a full disk's test expects).
    std::uint64_t FileBytesWritten() const { return fileBytesWritten_; }

  private:
    struct OpenFile;
    OpenFile* FindFile(platform::Handle h);
    bool CloseFile(platform::Handle h);
    bool IsOpen(const std::string& path) const;

    std::map<std::uintptr_t, std::unique_ptr<OpenFile>> files_;
    FileFaults fileFaults_;
    std::uint64_t fileBytesWritten_ = 0;
    std::uint32_t nextTempNumber_ = 1;
    // The next temporary name to try in `folder`, and its number.
    std::string NextTempPath(const char* folder, const std::string& stem, std::uint32_t* number);
    // When a Sleep or timeout of `ms` started now ends on the timer, and the carry after it.
    std::uint64_t TickedDeadline(std::uint32_t ms, std::uint32_t* carryAfter) const;
    std::shared_ptr<Mutex> NamedMutex(const std::string& name);
    void ForgetMutexIfUnused(const std::shared_ptr<Mutex>& m);

    bool elevated_ = true;
    std::uint32_t timerTickUs_ = 0;
    std::uint32_t timerCarryUs_ = 0;
    std::multiset<std::uint32_t> periods_;
    std::vector<std::string> timerLog_;
    bool throttlingOptOutWorks_ = true;
    std::uint32_t throttlingOptOutCalls_ = 0;
    bool mutexCreationFails_ = false;
    std::string mutexDenial_;
    std::string mutexOwnerText_;
    std::map<std::string, std::shared_ptr<Mutex>> mutexes_;  // named mutexes alive
    std::map<std::string, std::uint32_t> mutexTakes_;
    int program_ = 0;
};

}  // namespace sim
