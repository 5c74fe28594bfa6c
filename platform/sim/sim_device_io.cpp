#include "platform/sim/sim_device_io.h"

#include <cstring>

namespace sim {
namespace {

char Upper(char c) {
    return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
}
bool IsLetter(char c) {
    return Upper(c) >= 'A' && Upper(c) <= 'Z';
}

bool StartsWithNoCase(const char* s, const char* prefix) {
    for (; *prefix; ++s, ++prefix)
        if (Upper(*s) != Upper(*prefix)) return false;
    return true;
}

// "\\.\USBSCAN<decimal>" -> n, "\\.\<letter>:" -> letter. Anything else is not a device name.
bool ParseDeviceName(const char* name, int* stillImage, char* letter) {
    const char* kPrefix = "\\\\.\\";
    if (name == nullptr || std::strncmp(name, kPrefix, 4) != 0) return false;
    const char* rest = name + 4;
    if (IsLetter(rest[0]) && rest[1] == ':' && rest[2] == '\0') {
        *letter = Upper(rest[0]);
        return true;
    }
    if (!StartsWithNoCase(rest, "USBSCAN")) return false;
    const char* digits = rest + 7;
    if (*digits == '\0') return false;
    int n = 0;
    for (const char* p = digits; *p; ++p) {
        if (*p < '0' || *p > '9' || n > 100000) return false;
        n = n * 10 + (*p - '0');
    }
    *stillImage = n;
    return true;
}

}  // namespace

// --- Layout ----------------------------------------------------------------------------------

void SimDeviceIo::AddDrive(char letter, std::uint32_t driveType, SimDeviceFile* file,
                           bool openable) {
    if (!IsLetter(letter)) return;
    drives_[Upper(letter)] = Drive{driveType, Slot{file, openable}};
}

void SimDeviceIo::RemoveDrive(char letter) {
    drives_.erase(Upper(letter));
}

void SimDeviceIo::AddStillImage(int n, SimDeviceFile* file, bool openable) {
    stillImages_[n] = Slot{file, openable};
}

void SimDeviceIo::RemoveStillImage(int n) {
    stillImages_.erase(n);
}

void SimDeviceIo::SetOpenable(SimDeviceFile* file, bool openable) {
    for (auto& [letter, drive] : drives_)
        if (drive.slot.file == file) drive.slot.openable = openable;
    for (auto& [n, slot] : stillImages_)
        if (slot.file == file) slot.openable = openable;
}

// --- Vanishing -------------------------------------------------------------------------------

void SimDeviceIo::Vanish(SimDeviceFile* file) {
    files_[file].vanished = true;
}

void SimDeviceIo::VanishAfter(SimDeviceFile* file, std::uint32_t ioCalls) {
    FileState& state = files_[file];
    if (ioCalls == 0) {
        state.vanished = true;
    } else {
        state.countdown = true;
        state.callsLeft = ioCalls;
    }
}

bool SimDeviceIo::Vanished(SimDeviceFile* file) const {
    auto it = files_.find(file);
    return it != files_.end() && it->second.vanished;
}

bool SimDeviceIo::Present(SimDeviceFile* file) {
    auto it = files_.find(file);
    if (it == files_.end()) return true;
    FileState& state = it->second;
    if (state.vanished) return false;
    if (state.countdown) {
        if (state.callsLeft == 0) {
            state.vanished = true;
            return false;
        }
        --state.callsLeft;
    }
    return true;
}

// --- Opening and closing ---------------------------------------------------------------------

bool SimDeviceIo::Openable(const Slot& slot) {
    return slot.file != nullptr && slot.openable && !Vanished(slot.file) && slot.file->CanOpen();
}

platform::Handle SimDeviceIo::OpenDevice(const char* name) {
    openAttempts_.emplace_back(name ? name : "");
    int n = -1;
    char letter = 0;
    if (!ParseDeviceName(name, &n, &letter)) return platform::InvalidHandle();

    SimDeviceFile* file = nullptr;
    if (letter != 0) {
        auto it = drives_.find(letter);
        if (it == drives_.end() || !Openable(it->second.slot)) return platform::InvalidHandle();
        file = it->second.slot.file;
    } else {
        auto it = stillImages_.find(n);
        if (it == stillImages_.end() || !Openable(it->second)) return platform::InvalidHandle();
        file = it->second.file;
    }
    const std::uintptr_t value = nextHandle_;
    nextHandle_ += 4;
    handles_[value] = file;
    opened_.emplace_back(name);
    return reinterpret_cast<platform::Handle>(value);
}

bool SimDeviceIo::CloseDevice(platform::Handle h) {
    if (handles_.erase(reinterpret_cast<std::uintptr_t>(h)) == 0) {
        ++closeErrors_;
        return false;
    }
    return true;
}

SimDeviceFile* SimDeviceIo::FileFor(platform::Handle h) {
    auto it = handles_.find(reinterpret_cast<std::uintptr_t>(h));
    if (it == handles_.end()) {
        ++unknownHandleCalls_;
        return nullptr;
    }
    return it->second;
}

// --- I/O -------------------------------------------------------------------------------------

bool SimDeviceIo::DeviceIoControl(platform::Handle h, std::uint32_t code, void* in,
                                  std::uint32_t inLen, void* out, std::uint32_t outLen,
                                  std::uint32_t* returned) {
    std::uint32_t scratch = 0;
    std::uint32_t* count = returned ? returned : &scratch;
    *count = 0;
    SimDeviceFile* file = FileFor(h);
    if (file == nullptr || !Present(file)) return false;
    return file->Ioctl(code, in, inLen, out, outLen, count);
}

platform::PipeStepResult SimDeviceIo::RecoverPipe(platform::Handle h, platform::PipeStep step) {
    if (!pipeRecovery_) return platform::PipeStepResult::kNotAvailable;
    SimDeviceFile* file = FileFor(h);
    if (file == nullptr || Vanished(file)) return platform::PipeStepResult::kFailed;
    return file->RecoverPipe(step);
}

bool SimDeviceIo::LastTransferStalled(platform::Handle h) {
    if (!pipeRecovery_) return false;
    SimDeviceFile* file = FileFor(h);
    return file != nullptr && !Vanished(file) && file->LastTransferStalled();
}

bool SimDeviceIo::ReadFile(platform::Handle h, void* buf, std::uint32_t len, std::uint32_t* done) {
    std::uint32_t scratch = 0;
    std::uint32_t* count = done ? done : &scratch;
    *count = 0;
    SimDeviceFile* file = FileFor(h);
    if (file == nullptr || !Present(file)) return false;
    if (buf == nullptr && len != 0) return false;
    return file->Read(buf, len, count);
}

bool SimDeviceIo::WriteFile(platform::Handle h, const void* buf, std::uint32_t len,
                            std::uint32_t* done) {
    std::uint32_t scratch = 0;
    std::uint32_t* count = done ? done : &scratch;
    *count = 0;
    SimDeviceFile* file = FileFor(h);
    if (file == nullptr || !Present(file)) return false;
    if (buf == nullptr && len != 0) return false;
    return file->Write(buf, len, count);
}

// --- Drive list ------------------------------------------------------------------------------

std::uint32_t SimDeviceIo::GetLogicalDriveStrings(std::uint32_t bufLen, char* buf) {
    std::uint32_t drives = 0;
    for (const auto& [letter, drive] : drives_)
        if (drive.type != platform::kDriveNoRootDir) ++drives;
    const std::uint32_t length = drives * 4;  // "X:\" and its terminator each
    if (buf == nullptr || bufLen < length + 1) return length + 1;
    char* p = buf;
    for (const auto& [letter, drive] : drives_) {
        if (drive.type == platform::kDriveNoRootDir) continue;
        *p++ = letter;
        *p++ = ':';
        *p++ = '\\';
        *p++ = '\0';
    }
    *p = '\0';
    return length;
}

std::uint32_t SimDeviceIo::GetDriveType(const char* root) {
    if (root == nullptr || !IsLetter(root[0]) || root[1] != ':' ||
        (root[2] != '\0' && (root[2] != '\\' || root[3] != '\0')))
        return platform::kDriveNoRootDir;
    auto it = drives_.find(Upper(root[0]));
    return it == drives_.end() ? platform::kDriveNoRootDir : it->second.type;
}

std::string SimDeviceIo::DeviceIdentity(const char* name) {
    int n = -1;
    char letter = 0;
    if (!ParseDeviceName(name, &n, &letter)) return {};
    const Slot* slot = nullptr;
    if (letter != 0) {
        const auto it = drives_.find(letter);
        if (it != drives_.end()) slot = &it->second.slot;
    } else if (const auto it = stillImages_.find(n); it != stillImages_.end()) {
        slot = &it->second;
    }
    if (slot == nullptr || slot->file == nullptr || Vanished(slot->file)) return {};
    if (const auto it = identities_.find(slot->file); it != identities_.end()) return it->second;
    return letter != 0 ? std::string("sim-drive-") + letter : "sim-usbscan-" + std::to_string(n);
}

bool SimDeviceIo::VolumeOpenAttempted(char letter) const {
    const char name[] = {'\\', '\\', '.', '\\', Upper(letter), ':', '\0'};
    for (const auto& attempt : openAttempts_) {
        if (attempt.size() == 6 && Upper(attempt[4]) == name[4] &&
            attempt.compare(0, 4, name, 4) == 0 && attempt[5] == ':')
            return true;
    }
    return false;
}

void SimDeviceIo::ClearLogs() {
    openAttempts_.clear();
    opened_.clear();
}

}  // namespace sim
