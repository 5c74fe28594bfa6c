#include <cstdint>
#include <cstring>
#include <memory>
#include <new>
#include <string>

#include "app/int_field.h"
#include "app/unit1.h"
#include "devlink/byte_order.h"
#include "devlink/command_set.h"
#include "devlink/host_interface.h"
#include "platform/handles.h"
#include "platform/platform.h"

namespace app {
namespace {

constexpr std::uint32_t kChunk = 65536;
constexpr std::uint32_t kReadinessPauseMs = 100;
constexpr std::size_t kReadinessByte = 8;

// The name prefix of the temporary file that becomes the new flash.bin.
constexpr const char* kTempPrefix = "kvf";
// WriteFile takes 32-bit counts; the dump is written in pieces no larger than this.
constexpr std::uint32_t kWritePiece = 1u << 30;

// The read-back file ("flash.bin" in the current folder unless the front end names another). It
// changes only when a complete read replaces it in one step; until then, and after any failure,
// it is exactly as it was (or still absent).
class DumpFile {
  public:
    explicit DumpFile(const std::string& name) : name_(name) {}

    // Whether the file can be written, asked before the read so that an unwritable file costs
    // no device work. An existing file is opened for writing and left untouched; a missing one is
    // created and removed again.
    bool CanWrite() const {
        platform::System& sys = platform::Sys();
        if (platform::FileHandle(sys.CreateFile(name_.c_str(), platform::kGenericWrite,
                                                platform::kFileShareRead, platform::kOpenExisting))
                .valid())
            return true;
        // Fails also when the file exists but would not open for writing.
        platform::FileHandle created(
            sys.CreateFile(name_.c_str(), platform::kGenericWrite, 0, platform::kCreateNew));
        if (!created.valid()) return false;
        created.reset();
        sys.DeleteFile(name_.c_str());
        return true;
    }

    // Writes `size` bytes to a new file beside the read-back file, flushes it, then puts it in
    // that file's place in one step. The new file is written through the handle that created it
    // and takes the old file's mode. kDone, or the step that failed, with the new file removed
    // and the read-back file as it was. The move is the commit point: once it has happened the
    // file was replaced.
    JobEnd Replace(const std::uint8_t* data, std::size_t size) const {
        platform::System& sys = platform::Sys();
        std::string temp;
        // The same folder, so the move is a rename within one volume.
        platform::FileHandle file(
            sys.CreateTempFile(Folder().c_str(), kTempPrefix, name_.c_str(), &temp));
        if (!file.valid()) return JobEnd::kFileWriteFailed;
        JobEnd end = JobEnd::kDone;
        if (!WriteWhole(file, data, size)) {
            end = JobEnd::kFileWriteFailed;
        } else if (!sys.MoveFileEx(
                       temp.c_str(), name_.c_str(),
                       platform::kMoveFileReplaceExisting | platform::kMoveFileWriteThrough)) {
            end = JobEnd::kFileReplaceFailed;
        }
        if (end != JobEnd::kDone) {
            file.reset();
            sys.DeleteFile(temp.c_str());
        }
        return end;
    }

  private:
    std::string Folder() const {
        const std::size_t slash = name_.find_last_of("/\\");
        if (slash == std::string::npos) return ".";
        // A root ("/", "C:\\") keeps its separator.
        if (slash == 0 || name_[slash - 1] == ':') return name_.substr(0, slash + 1);
        return name_.substr(0, slash);
    }

    // `file` holds exactly `size` bytes from `data`, on the disk, and is closed.
    static bool WriteWhole(platform::FileHandle& file, const std::uint8_t* data, std::size_t size) {
        platform::System& sys = platform::Sys();
        while (size > 0) {
            const auto piece = static_cast<std::uint32_t>(size < kWritePiece ? size : kWritePiece);
            std::uint32_t done = 0;
            // A full disk may take part of a piece and report success: only the count says.
            if (!sys.WriteFile(file.get(), data, piece, &done) || done == 0 || done > piece)
                return false;
            data += done;
            size -= done;
        }
        return sys.FlushFileBuffers(file.get()) && file.close();
    }

    const std::string& name_;
};

// Reads `length` bytes from device address `start` into `buffer`, chunk by chunk; false at the
// first call that fails, which `outcome` names. `showText`: the chunks' status text is set.
bool ReadRange(View& view, int handle, std::uint32_t start, std::uint32_t length,
               std::uint8_t* buffer, JobOutcome& outcome, bool showText) {
    std::uint8_t status[16] = {};
    std::uint8_t address[16] = {};
    std::uint32_t current = start;
    std::uint32_t remaining = length;
    std::uint32_t position = 0;
    std::uint32_t chunk = kChunk;
    bool first = true;
    const auto fail = [&](JobCall call) {
        outcome.failedCall = call;
        return false;
    };
    const std::string uploadText = "Upload data....";  // built once, set for every chunk
    while (remaining != 0) {
        if (chunk > remaining) chunk = remaining;
        if (first) {
            first = false;
            // Zeroed, so a failed check can never pause on stale bytes.
            std::memset(status, 0, sizeof status);
            if (ZamoUSB_VenderCmd_GetData(handle, cmdset::kSelReadiness, status, sizeof status) ==
                0)
                return fail(JobCall::kReadiness);
            if (status[kReadinessByte] != 0) platform::Sys().Sleep(kReadinessPauseMs);
        }
        if (ZamoUSB_VenderCmd_GetData(handle, cmdset::kSelOpen, status, sizeof status) == 0)
            return fail(JobCall::kOpening);
        if (showText) view.SetStatus(uploadText);
        PutBE32(address, current);
        if (ZamoUSB_VenderCmd_SetData(handle, cmdset::kSelAddress, address, 4) == 0)
            return fail(JobCall::kAddress);
        if (ZamoUSB_VenderCmd_GetData(handle, cmdset::kSelMemory, buffer + position, chunk) == 0)
            return fail(JobCall::kMemory);
        if (ZamoUSB_VenderCmd_GetData(handle, cmdset::kSelClose, status, sizeof status) == 0)
            return fail(JobCall::kChunkClose);
        position += chunk;
        current += chunk;  // 0 after the last chunk of a range that ends at 0xFFFFFFFF
        remaining -= chunk;
        outcome.bytesMoved += chunk;
        view.SetGaugeProgress(view.GaugeProgress() + chunk);
    }
    return true;
}

}  // namespace

void TForm1::ReadFlash() {
    BeginJob(JobKind::kRead);
    // Both fields are checked before any device or file work.
    outcome_.end = JobEnd::kBadLength;
    const auto start = static_cast<std::uint32_t>(FieldToInt(view_.Edit1Text()));
    const std::string lengthText = view_.Edit2Text();
    const std::int32_t signedLength = FieldToInt(lengthText);
    // A range must lie within the 32-bit address space: past its end the addresses would wrap
    // to 0 and the file would hold bytes of another range.
    if (signedLength < 0 || std::uint64_t{start} + static_cast<std::uint64_t>(signedLength) >
                                std::uint64_t{0x100000000})
        throw Error("'" + lengthText + "' is not a valid length");
    const auto length = static_cast<std::uint32_t>(signedLength);
    outcome_.end = JobEnd::kUnfinished;

    const int handle = FindChosenDevice();
    if (handle == 0) {
        EndJob(JobEnd::kNoDevice);
        return;
    }
    if (ZamoUSB_ConnectToDevice(handle) == 0) {
        EndJob(JobEnd::kConnectFailed);
        return;
    }
    JobReached(handle);
    view_.SetStatus("Connect to Device Success!");

    const DumpFile dump(DumpFileName);
    outcome_.file = FileResult::kKept;
    if (!dump.CanWrite()) {
        EndJob(JobEnd::kFileCreateFailed);
        return;
    }
    std::unique_ptr<std::uint8_t[]> buffer;
    try {
        // Zeroed: whatever happens, no stale heap bytes can reach the file.
        buffer = std::make_unique<std::uint8_t[]>(length);
    } catch (const std::bad_alloc&) {
        // No message: the status keeps "Connect to Device Success!".
        EndJob(JobEnd::kNoMemory);
        return;
    }

    ShowGauge(view_, length);
    if (!ReadRange(view_, handle, start, length, buffer.get(), outcome_, true)) {
        EndJob(JobEnd::kCallFailed);
    } else {
        const JobEnd written = dump.Replace(buffer.get(), length);
        if (written == JobEnd::kDone) outcome_.file = FileResult::kReplaced;
        EndJob(written);
    }
    HideGauge(view_);
    NoteReleases();
}

bool TForm1::BackUpRange(int handle, std::uint32_t length) {
    const std::uint32_t start = cmdset::kFirmwareBaseAddress;
    outcome_.backup.ran = true;
    outcome_.backup.start = start;
    outcome_.backup.length = length;
    const DumpFile backup(BackupFileName);
    if (!backup.CanWrite()) {
        EndJob(JobEnd::kBackupFileFailed);
        return false;
    }
    std::unique_ptr<std::uint8_t[]> saved;
    try {
        saved = std::make_unique<std::uint8_t[]>(length);
    } catch (const std::bad_alloc&) {
        EndJob(JobEnd::kNoMemory);
        return false;
    }
    // Its own outcome: the bytes the update moves are the blocks'.
    JobOutcome read;
    view_.SetPhase("backing up");
    ShowGauge(view_, length);
    const bool got = ReadRange(view_, handle, start, length, saved.get(), read, false);
    HideGauge(view_);
    view_.SetPhase("");
    if (!got) {
        outcome_.failedCall = read.failedCall;
        EndJob(JobEnd::kBackupReadFailed);
        return false;
    }
    if (backup.Replace(saved.get(), length) != JobEnd::kDone) {
        EndJob(JobEnd::kBackupWriteFailed);
        return false;
    }
    outcome_.backup.written = true;
    return true;
}

void TForm1::VerifyUpdate(int handle, const std::uint8_t* image, std::uint32_t size) {
    const std::uint32_t start = cmdset::kFirmwareBaseAddress;
    JobOutcome read;
    read.job = JobKind::kRead;
    std::unique_ptr<std::uint8_t[]> found;
    try {
        // Zeroed, as the read-back's buffer is.
        found = std::make_unique<std::uint8_t[]>(size);
    } catch (const std::bad_alloc&) {
        read.end = JobEnd::kNoMemory;
    }
    if (found != nullptr) {
        view_.SetPhase("verifying");
        ShowGauge(view_, size);
        read.end = ReadRange(view_, handle, start, size, found.get(), read, false)
                       ? JobEnd::kDone
                       : JobEnd::kCallFailed;
        HideGauge(view_);
        view_.SetPhase("");
    }
    if (read.end == JobEnd::kDone) {
        outcome_.verify = Compare(image, found.get(), size, start);
        if (outcome_.verify.differing != 0) outcome_.end = JobEnd::kVerifyMismatch;
    } else {
        outcome_.verify.ran = true;
        outcome_.verify.start = start;
        outcome_.verify.length = size;
        outcome_.end = JobEnd::kVerifyReadFailed;
    }
    outcome_.verify.readEnd = read.end;
    outcome_.verify.readFailedCall = read.failedCall;
    outcome_.verify.bytesRead = read.bytesMoved;
}

}  // namespace app
