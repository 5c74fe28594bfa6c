#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <new>
#include <optional>
#include <string>

#include "app/unit1.h"
#include "devlink/byte_order.h"
#include "devlink/command_set.h"
#include "devlink/host_interface.h"
#include "platform/handles.h"
#include "platform/platform.h"

namespace app {
namespace {

// The path buffer of the file dialog and the command line holds 254 characters; a longer path
// is not cut into the name of some other file.
constexpr std::size_t kMaxImagePath = 254;
// Room behind the image for the rounding of the last still-image block.
constexpr std::uint32_t kRoundingUnit = 4096;
constexpr std::uint32_t kStillImageBlock = 65536;
constexpr std::uint32_t kDiskBlock = 4096;
// Handles 1..26 are drive letters; above them, still-image devices.
constexpr int kLastDiskHandle = 26;

// Reads exactly `size` bytes from the start of the file.
bool ReadWhole(platform::Handle file, std::uint8_t* buffer, std::uint32_t size) {
    std::uint32_t done = 0;
    while (done < size) {
        std::uint32_t n = 0;
        // Zero bytes before the end: the file shrank while it was read.
        if (!platform::Sys().ReadFile(file, buffer + done, size - done, &n) || n == 0 ||
            n > size - done)
            return false;
        done += n;
    }
    return true;
}

std::uint32_t RoundUp(std::uint32_t n, std::uint32_t unit) {
    return (n + unit - 1) / unit * unit;
}

// Check: the path, the file and its size. The step that ends the job when they will not do.
std::optional<JobEnd> CheckImage(const char* path, platform::FileHandle& file,
                                 std::uint32_t& size) {
    if (path == nullptr || std::strlen(path) > kMaxImagePath) return JobEnd::kImageUnreadable;
    // Others may read the image meanwhile, but nobody may change it under the update.
    file = platform::FileHandle(platform::Sys().CreateFile(
        path, platform::kGenericRead, platform::kFileShareRead, platform::kOpenExisting));
    if (!file.valid()) return JobEnd::kImageUnreadable;
    std::int64_t fileSize = -1;
    if (!platform::Sys().GetFileSizeEx(file.get(), &fileSize) || fileSize < 0)
        return JobEnd::kImageUnreadable;
    if (fileSize == 0) return JobEnd::kImageEmpty;
    if (fileSize > std::numeric_limits<std::int32_t>::max()) return JobEnd::kImageTooLarge;
    size = static_cast<std::uint32_t>(fileSize);
    return std::nullopt;
}

// Load: the whole file into memory, with room for the rounding. Null with the step that ended
// the job in `end`.
std::unique_ptr<std::uint8_t[]> LoadImage(platform::Handle file, std::uint32_t size, JobEnd& end) {
    std::unique_ptr<std::uint8_t[]> image;
    try {
        image = std::make_unique_for_overwrite<std::uint8_t[]>(std::size_t{size} + kRoundingUnit);
    } catch (const std::bad_alloc&) {
        end = JobEnd::kNoMemory;
        return nullptr;
    }
    // A rounded last block carries zeros past the end of the file.
    std::memset(image.get() + size, 0, kRoundingUnit);
    // Where the system cannot keep writers out while the image is open (Linux), an image that
    // another program changes meanwhile would go out torn: its stamp must not move.
    platform::System::FileStamp before;
    platform::System::FileStamp after;
    if (!platform::Sys().GetFileStamp(file, &before) || before.size != size ||
        !ReadWhole(file, image.get(), size) || !platform::Sys().GetFileStamp(file, &after) ||
        after != before) {
        end = JobEnd::kImageUnreadable;
        return nullptr;
    }
    return image;
}

// Send: the opening bracket, the blocks, then the finishing value. Stops at the first failed
// call, which `outcome` names; true when every call went through.
bool SendBlocks(View& view, int handle, const std::uint8_t* image, std::uint32_t size,
                JobOutcome& outcome) {
    const bool stillImage = handle > kLastDiskHandle;
    std::uint32_t blockLength = stillImage ? kStillImageBlock : kDiskBlock;
    outcome.blockCount = (size + blockLength - 1) / blockLength;
    std::uint8_t bracket[16] = {};
    std::uint8_t address[16] = {};
    const auto fail = [&](JobCall call) {
        outcome.failedCall = call;
        return false;
    };

    if (ZamoUSB_VenderCmd_GetData(handle, cmdset::kSelOpen, bracket, sizeof bracket) == 0)
        return fail(JobCall::kOpening);
    ShowGauge(view, size);
    // Built once per job: the texts are set for every block.
    const std::string startText = "Update FW Start...";
    const std::string dataText = "Update FW Data...";
    std::uint32_t offset = 0;
    std::uint32_t remaining = size;
    while (remaining > 0) {
        if (blockLength > remaining)
            blockLength = stillImage ? RoundUp(remaining, kRoundingUnit) : remaining;
        PutBE32(address, cmdset::kFirmwareBaseAddress + offset);
        if (ZamoUSB_VenderCmd_SetData(handle, cmdset::kSelAddress, address, 4) == 0)
            return fail(JobCall::kAddress);
        view.SetStatus(startText);
        // From here the device may hold some of this block's bytes, whatever the call returns.
        outcome.blockSent = true;
        if (ZamoUSB_VenderCmd_SetData(handle, cmdset::kSelFirmware, image + offset, blockLength) ==
            0)
            return fail(JobCall::kBlock);
        ++outcome.blocksConfirmed;
        outcome.bytesMoved += blockLength;
        view.SetStatus(dataText);
        offset += blockLength;
        view.SetGaugeProgress(view.GaugeProgress() + blockLength);
        remaining = blockLength >= remaining ? 0 : remaining - blockLength;
    }
    std::memset(address, 0, sizeof address);
    PutBE32(address, cmdset::kFinishingValue);
    if (ZamoUSB_VenderCmd_SetData(handle, cmdset::kSelVersion, address, 4) == 0)
        return fail(JobCall::kFinishing);
    return true;
}

}  // namespace

void TForm1::UpdateFirmware(const char* path) {
    BeginJob(JobKind::kUpdate);
    const int handle = OpenDevice();
    if (handle == 0) return;
    platform::FileHandle file;
    std::uint32_t size = 0;
    std::unique_ptr<std::uint8_t[]> image;
    if (const std::optional<JobEnd> refused = CheckImage(path, file, size)) {
        EndJob(*refused);
    } else {
        JobEnd end = JobEnd::kUnfinished;
        image = LoadImage(file.get(), size, end);
        if (image == nullptr) {
            EndJob(end);
        } else {
            if (ImageLoaded) ImageLoaded(image.get(), size);
            if (ReadVersionAround) {
                outcome_.versionBefore = ReadDeviceVersion(handle);
                if (VersionBeforeRead) VersionBeforeRead(outcome_.versionBefore);
            }
            // The blocks cover the image with the last still-image block padded.
            const std::uint32_t covered =
                handle > kLastDiskHandle ? RoundUp(size, kRoundingUnit) : size;
            if (BackupFileName.empty() || BackUpRange(handle, covered)) {
                const bool sent = SendBlocks(view_, handle, image.get(), size, outcome_);
                EndJob(sent ? JobEnd::kDone : JobEnd::kCallFailed);
                HideGauge(view_);
            }
        }
    }
    // Made on every path past the connection, whatever happened before.
    std::uint8_t bracket[16] = {};
    const bool closed =
        ZamoUSB_VenderCmd_GetData(handle, cmdset::kSelClose, bracket, sizeof bracket) != 0;
    // The image is in the device by now; the job stays done, but the caller hears of it.
    if (!closed && outcome_.end == JobEnd::kDone)
        outcome_.warnings.push_back(JobWarning::kClosingFailed);
    if (VerifyAfterUpdate && outcome_.end == JobEnd::kDone) VerifyUpdate(handle, image.get(), size);
    if (ReadVersionAround && image != nullptr) outcome_.versionAfter = ReadDeviceVersion(handle);
    NoteReleases();
}

}  // namespace app
