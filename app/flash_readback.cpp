#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <new>
#include <string>
#include <system_error>

#include "app/c_file.h"
#include "app/int_field.h"
#include "app/unit1.h"
#include "devlink/byte_order.h"
#include "devlink/command_set.h"
#include "devlink/host_interface.h"
#include "platform/platform.h"

namespace app {
namespace {

constexpr std::uint32_t kChunk = 65536;
constexpr std::uint32_t kReadinessPauseMs = 100;
constexpr std::size_t kReadinessByte = 8;

// The read-back file ("flash.bin" in the current folder unless the front end names another).
// Its old contents survive until a complete read replaces them, and a file this run created is
// removed again when nothing is written into it.
class DumpFile {
  public:
    explicit DumpFile(const std::string& name) : name_(name) {}

    // Makes sure the file can be opened for writing, creating it when missing, without
    // truncating an existing one.
    bool Prepare() {
        std::error_code ec;
        const bool existed = std::filesystem::exists(name_, ec);
        // When it cannot be told, assume the file is someone's and never remove it.
        const bool knownMissing = !existed && !ec;
        const CFile probe(std::fopen(name_.c_str(), "ab"));
        if (!probe) return false;
        createdHere_ = knownMissing;
        return true;
    }

    void Discard() {
        if (createdHere_) std::remove(name_.c_str());
        createdHere_ = false;
    }

    // Replaces the contents with `size` bytes; false on any failed or short write.
    bool Replace(const std::uint8_t* data, std::size_t size) {
        std::FILE* raw = std::fopen(name_.c_str(), "wb");
        if (raw == nullptr) return false;
        CFile file(raw);
        const bool written = std::fwrite(data, 1, size, raw) == size && std::fflush(raw) == 0;
        return std::fclose(file.release()) == 0 && written;
    }

  private:
    const std::string& name_;
    bool createdHere_ = false;
};

// Reads `length` bytes from device address `start` into `buffer`, chunk by chunk; false at the
// first call that fails.
bool ReadRange(View& view, int handle, std::uint32_t start, std::uint32_t length,
               std::uint8_t* buffer) {
    std::uint8_t status[16] = {};
    std::uint8_t address[16] = {};
    std::uint32_t current = start;
    std::uint32_t remaining = length;
    std::uint32_t position = 0;
    std::uint32_t chunk = kChunk;
    bool first = true;
    const std::string uploadText = "Upload data....";  // built once, set for every chunk
    while (remaining != 0) {
        if (chunk > remaining) chunk = remaining;
        if (first) {
            first = false;
            // Zeroed, so a failed check can never pause on stale bytes.
            std::memset(status, 0, sizeof status);
            if (ZamoUSB_VenderCmd_GetData(handle, cmdset::kSelReadiness, status, sizeof status) ==
                0)
                return false;
            if (status[kReadinessByte] != 0) platform::Sys().Sleep(kReadinessPauseMs);
        }
        if (ZamoUSB_VenderCmd_GetData(handle, cmdset::kSelOpen, status, sizeof status) == 0)
            return false;
        view.SetStatus(uploadText);
        PutBE32(address, current);
        if (ZamoUSB_VenderCmd_SetData(handle, cmdset::kSelAddress, address, 4) == 0) return false;
        if (ZamoUSB_VenderCmd_GetData(handle, cmdset::kSelMemory, buffer + position, chunk) == 0)
            return false;
        if (ZamoUSB_VenderCmd_GetData(handle, cmdset::kSelClose, status, sizeof status) == 0)
            return false;
        position += chunk;
        current += chunk;  // wraps past the top of the 32-bit address space
        remaining -= chunk;
        view.SetGaugeProgress(view.GaugeProgress() + chunk);
    }
    return true;
}

}  // namespace

void TForm1::ReadFlash() {
    // Both fields are checked before any device or file work.
    const auto start = static_cast<std::uint32_t>(FieldToInt(view_.Edit1Text()));
    const std::string lengthText = view_.Edit2Text();
    const std::int32_t signedLength = FieldToInt(lengthText);
    if (signedLength < 0) throw Error("'" + lengthText + "' is not a valid length");
    const auto length = static_cast<std::uint32_t>(signedLength);

    const int handle = FindChosenDevice();
    if (handle == 0) {
        view_.SetStatus("No Device is Existing");
        return;
    }
    if (ZamoUSB_ConnectToDevice(handle) == 0) {
        view_.SetStatus("Connect to Device Failed!");
        return;
    }
    view_.SetStatus("Connect to Device Success!");

    DumpFile dump(DumpFileName);
    if (!dump.Prepare()) {
        view_.SetStatus("Create file fail!");
        return;
    }
    std::unique_ptr<std::uint8_t[]> buffer;
    try {
        buffer = std::make_unique_for_overwrite<std::uint8_t[]>(length);
    } catch (const std::bad_alloc&) {
        // No message: the status keeps "Connect to Device Success!".
        dump.Discard();
        return;
    }

    view_.SetGaugeProgress(0);
    view_.SetGaugeMax(length);
    view_.SetGaugeVisible(true);
    if (!ReadRange(view_, handle, start, length, buffer.get())) {
        dump.Discard();
        view_.SetStatus("Upload fail!");
    } else if (!dump.Replace(buffer.get(), length)) {
        view_.SetStatus("Write file fail!");
    } else {
        view_.SetStatus("Upload OK!");
    }
    view_.SetGaugeProgress(0);
    view_.SetGaugeVisible(false);
}

}  // namespace app
