#include "cli/sim_scanners.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <map>
#include <system_error>
#include <utility>

#include "app/unit1.h"
#include "app/win32/sim_scanner_setup.h"
#include "devlink/scanner_identity.h"
#include "devlink/zamo_usb.h"
#include "platform/handles.h"
#include "platform/platform.h"

namespace cli {
namespace {

constexpr char kStateHeader[] = "kelvane-sim-state 1\n";
constexpr std::size_t kHeaderLength = sizeof kStateHeader - 1;
constexpr std::uint32_t kPageSize = 4096;
constexpr std::size_t kRecordLength = 8 + kPageSize;

std::string Trimmed(std::string text) {
    while (!text.empty() && text.front() == ' ') text.erase(text.begin());
    while (!text.empty() && text.back() == ' ') text.pop_back();
    return text;
}

}  // namespace

std::optional<SimLayout> ParseSimLayout(const char* scanners, const char* presentation,
                                        const char* stateFile, std::string* error) {
    int count = 1;
    if (scanners != nullptr && scanners[0] != '\0') {
        const std::string text = scanners;
        if (text.size() > 2 || text.find_first_not_of("0123456789") != std::string::npos ||
            (count = std::stoi(text)) < 1 || count > kMaxSimScanners) {
            *error = "KV_SIM_SCANNERS must be a number from 1 to " +
                     std::to_string(kMaxSimScanners) + ", not '" + text + "'";
            return std::nullopt;
        }
    }
    std::vector<SimPresentation> given;
    if (presentation != nullptr && presentation[0] != '\0') {
        const std::string text = presentation;
        std::size_t at = 0;
        for (;;) {
            const std::size_t comma = text.find(',', at);
            const std::string word = Trimmed(text.substr(at, comma - at));
            if (word == "still-image") {
                given.push_back(SimPresentation::kStillImage);
            } else if (word == "disk") {
                given.push_back(SimPresentation::kDisk);
            } else {
                *error = "KV_SIM_PRESENTATION takes still-image or disk for each scanner, not '" +
                         word + "'";
                return std::nullopt;
            }
            if (comma == std::string::npos) break;
            at = comma + 1;
        }
        if (given.size() > static_cast<std::size_t>(count)) {
            *error = "KV_SIM_PRESENTATION names more scanners than KV_SIM_SCANNERS attaches";
            return std::nullopt;
        }
    }
    if (given.empty()) given.push_back(SimPresentation::kStillImage);
    SimLayout layout;
    for (int i = 0; i < count; ++i)
        layout.presentations.push_back(given[std::min<std::size_t>(i, given.size() - 1)]);
    if (stateFile != nullptr) layout.stateFile = stateFile;
    return layout;
}

SimScanners::SimScanners(const SimLayout& layout, std::uint32_t memorySize) {
    for (const SimPresentation presentation : layout.presentations) {
        const int index = static_cast<int>(scanners_.size());
        auto scanner = std::make_unique<sim::Scanner>(app::win32::SimScannerConfig(), memorySize);
        // A demo transfer would otherwise keep a copy of every byte moved.
        scanner->Log().Enable(false);
        sim::SimDeviceFile* file = nullptr;
        if (presentation == SimPresentation::kStillImage) {
            file = &scanner->StillImage();
            io_.AddStillImage(static_cast<int>(stillImage_.size()), file);
            stillImage_.push_back(index);
        } else {
            file = &scanner->Disk();
            io_.AddDrive(static_cast<char>(kFirstSimDiskLetter + disk_.size()),
                         platform::kDriveRemovable, file);
            disk_.push_back(index);
        }
        io_.SetIdentity(file, Identity(index));
        scanners_.push_back(std::move(scanner));
    }
}

int SimScanners::IndexOf(int hDevice) const {
    if (hDevice >= kStillImageHandleBase) {
        const auto n = static_cast<std::size_t>(hDevice - kStillImageHandleBase);
        return n < stillImage_.size() ? stillImage_[n] : -1;
    }
    const int n = hDevice - (kFirstSimDiskLetter - 'A' + 1);
    return n >= 0 && static_cast<std::size_t>(n) < disk_.size() ? disk_[static_cast<std::size_t>(n)]
                                                                : -1;
}

// --- The state file --------------------------------------------------------------------------

namespace {

std::string AbsolutePath(const std::string& path) {
    std::error_code ec;
    const std::filesystem::path full = std::filesystem::absolute(path, ec);
    return ec ? path : full.lexically_normal().string();
}

// The state file's lock, held for the life of the object. `Failure` is what it throws.
template <typename Failure>
class StateLock {
  public:
    explicit StateLock(const std::string& path) {
        platform::System& sys = platform::Sys();
        lock_.reset(sys.CreateMutex(StateLockName(path).c_str()));
        if (!lock_.valid()) {
            const std::string why = sys.MutexError();
            throw Failure("The simulated scanners' state lock cannot be had" +
                          (why.empty() ? std::string() : ": " + why));
        }
        const std::uint32_t result = sys.WaitForSingleObject(lock_.get(), kStateLockWaitMs);
        if (result == platform::kWaitObject0 || result == platform::kWaitAbandoned) return;
        const std::string owner =
            result == platform::kWaitTimeout ? sys.MutexOwner(lock_.get()) : "";
        lock_.reset();
        if (result == platform::kWaitTimeout) {
            throw Failure("Another run held the simulated scanners' state lock for " +
                          std::to_string(kStateLockWaitMs / 1000) + " s" +
                          (owner.empty() ? std::string() : " (" + owner + ")"));
        }
        throw Failure("The wait for the simulated scanners' state lock failed");
    }
    ~StateLock() {
        if (lock_.valid()) platform::Sys().ReleaseMutex(lock_.get());
    }
    StateLock(const StateLock&) = delete;
    StateLock& operator=(const StateLock&) = delete;

  private:
    platform::SystemHandle lock_;
};

using Pages = std::map<std::pair<std::uint32_t, std::uint32_t>, std::vector<std::uint8_t>>;

std::uint32_t Get32(const std::uint8_t* p) {
    return std::uint32_t{p[0]} | std::uint32_t{p[1]} << 8 | std::uint32_t{p[2]} << 16 |
           std::uint32_t{p[3]} << 24;
}

void Put32(std::vector<std::uint8_t>& out, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
}

// The pages the file holds, by scanner and address; none when there is no file.
Pages ReadState(const std::string& path) {
    platform::System& sys = platform::Sys();
    const std::string cannot = "The simulated scanners' state file '" + path + "' ";
    platform::FileHandle file(sys.CreateFile(path.c_str(), platform::kGenericRead,
                                             platform::kFileShareRead, platform::kOpenExisting));
    if (!file.valid()) {
        // Nothing there is a fresh start; anything else (a link, a folder, a FIFO, no right to
        // read) is no state to take as empty.
        if (sys.GetFileAttributes(path.c_str()) == platform::kInvalidFileAttributes) return {};
        throw app::Error(cannot + "cannot be read");
    }
    std::int64_t size = 0;
    if (!sys.GetFileSizeEx(file.get(), &size) || size < 0 || size > 0x7FFFFFFF)
        throw app::Error(cannot + "cannot be read");
    std::vector<std::uint8_t> bytes(static_cast<std::size_t>(size));
    std::uint32_t done = 0;
    if (!bytes.empty() &&
        (!sys.ReadFile(file.get(), bytes.data(), static_cast<std::uint32_t>(bytes.size()), &done) ||
         done != bytes.size()))
        throw app::Error(cannot + "cannot be read");
    if (bytes.size() < kHeaderLength ||
        std::memcmp(bytes.data(), kStateHeader, kHeaderLength) != 0 ||
        (bytes.size() - kHeaderLength) % kRecordLength != 0)
        throw app::Error(cannot + "is no state file");
    Pages pages;
    for (std::size_t at = kHeaderLength; at < bytes.size(); at += kRecordLength) {
        const std::uint8_t* record = bytes.data() + at;
        pages[{Get32(record), Get32(record + 4)}].assign(record + 8, record + kRecordLength);
    }
    return pages;
}

void WriteState(const std::string& path, const Pages& pages) {
    platform::System& sys = platform::Sys();
    std::vector<std::uint8_t> bytes(kStateHeader, kStateHeader + kHeaderLength);
    for (const auto& [key, page] : pages) {
        Put32(bytes, key.first);
        Put32(bytes, key.second);
        bytes.insert(bytes.end(), page.begin(), page.end());
    }
    const std::filesystem::path target(path);
    const std::string folder =
        target.has_parent_path() ? target.parent_path().string() : std::string(".");
    std::string temporary;
    platform::FileHandle file(sys.CreateTempFile(folder.c_str(), "kvs", path.c_str(), &temporary));
    const std::string cannot =
        "The simulated scanners' state file '" + path + "' cannot be written";
    if (!file.valid()) throw app::Error(cannot);
    std::uint32_t done = 0;
    const bool written =
        sys.WriteFile(file.get(), bytes.data(), static_cast<std::uint32_t>(bytes.size()), &done) &&
        done == bytes.size() && sys.FlushFileBuffers(file.get());
    if (!file.close() || !written ||
        !sys.MoveFileEx(temporary.c_str(), path.c_str(),
                        platform::kMoveFileReplaceExisting | platform::kMoveFileWriteThrough)) {
        sys.DeleteFile(temporary.c_str());
        throw app::Error(cannot);
    }
}

bool PageIsFresh(const std::uint8_t* page, std::uint32_t length) {
    for (std::uint32_t i = 0; i < length; ++i) {
        if (page[i] != 0) return false;
    }
    return true;
}

}  // namespace

std::string StateLockName(const std::string& path) {
    return "Global\\Kelvane.SimState." + IdentityKey(AbsolutePath(path));
}

void LoadScannerState(const std::string& path, int index, sim::Scanner& scanner) {
    const StateLock<app::FrameLockError> lock(path);
    const Pages pages = ReadState(path);
    std::uint8_t* memory = scanner.KeptMemory();
    const std::uint32_t size = scanner.MemorySize();
    for (const auto& [key, page] : pages) {
        if (key.first != static_cast<std::uint32_t>(index) || key.second >= size) continue;
        std::memcpy(memory + key.second, page.data(),
                    std::min<std::uint32_t>(kPageSize, size - key.second));
    }
}

void SaveScannerState(const std::string& path, int index, const sim::Scanner& scanner) {
    // The job has run by now, so a lock that cannot be had is the job's error, not status 8.
    const StateLock<app::Error> lock(path);
    Pages pages = ReadState(path);
    std::erase_if(pages, [&](const auto& entry) {
        return entry.first.first == static_cast<std::uint32_t>(index);
    });
    const std::uint8_t* memory = scanner.KeptMemory();
    const std::uint32_t size = scanner.MemorySize();
    for (std::uint32_t address = 0; address < size; address += kPageSize) {
        const std::uint32_t length = std::min(kPageSize, size - address);
        if (PageIsFresh(memory + address, length)) continue;
        std::vector<std::uint8_t> page(kPageSize, 0);
        std::memcpy(page.data(), memory + address, length);
        pages[{static_cast<std::uint32_t>(index), address}] = std::move(page);
    }
    WriteState(path, pages);
}

}  // namespace cli
