#include "platform/linux/linux_device_io.h"

#include <fcntl.h>
#include <libusb.h>
#include <scsi/sg.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <thread>
#include <vector>

#include "platform/linux/removable_disks.h"
#include "platform/linux/still_image_devices.h"

namespace platform::linux_os {
namespace {

constexpr const char* kStillImagePrefix = "\\\\.\\USBSCAN";
constexpr unsigned kBulkTimeoutMs = 30'000;
// Another program may hold the interface for one transfer; a claim that stays refused this long
// means something else has taken the device.
constexpr auto kClaimPatience = std::chrono::seconds(10);
constexpr auto kClaimRetryPause = std::chrono::milliseconds(2);
constexpr std::uint32_t kMaxSgTimeoutSeconds = 24 * 60 * 60;
constexpr unsigned kControlTimeoutMs = 5'000;
// Bulk-Only Mass Storage Reset: class request to the interface, no data.
constexpr std::uint8_t kClassToInterface = 0x21;
constexpr std::uint8_t kMassStorageResetRequest = 0xFF;

// "\\.\USBSCAN<n>" gives n; -1 for any other name.
int StillImageNumber(const char* name) {
    const std::size_t prefix = std::strlen(kStillImagePrefix);
    if (std::strncmp(name, kStillImagePrefix, prefix) != 0) return -1;
    const char* digits = name + prefix;
    if (*digits == '\0' || std::strlen(digits) > 6) return -1;
    int n = 0;
    for (const char* p = digits; *p; ++p) {
        if (*p < '0' || *p > '9') return -1;
        n = n * 10 + (*p - '0');
    }
    return n;
}

// "\\.\X:" gives X (upper case); 0 for any other name.
char VolumeLetter(const char* name) {
    if (std::strlen(name) != 6 || std::strncmp(name, "\\\\.\\", 4) != 0 || name[5] != ':') return 0;
    const char c = name[4];
    if (c >= 'a' && c <= 'z') return static_cast<char>(c - 'a' + 'A');
    if (c >= 'A' && c <= 'Z') return c;
    return 0;
}

// A root "X:\" (or "X:", "X:/") gives X upper case; 0 otherwise.
char RootLetter(const char* root) {
    if (root == nullptr || root[0] == '\0' || root[1] != ':') return 0;
    if (root[2] != '\0' && !((root[2] == '\\' || root[2] == '/') && root[3] == '\0')) return 0;
    const char c = root[0];
    if (c >= 'a' && c <= 'z') return static_cast<char>(c - 'a' + 'A');
    if (c >= 'A' && c <= 'Z') return c;
    return 0;
}

const RemovableDisk* FindDisk(const std::vector<RemovableDisk>& disks, char letter) {
    for (const RemovableDisk& d : disks) {
        if (d.letter == letter) return &d;
    }
    return nullptr;
}

void Report(std::uint32_t* out, std::uint32_t value) {
    if (out) *out = value;
}

}  // namespace

struct LinuxDeviceIo::OpenDeviceBase {
    virtual ~OpenDeviceBase() = default;
    virtual bool Ioctl(std::uint32_t code, void* in, std::uint32_t inLen, void* out,
                       std::uint32_t outLen, std::uint32_t* returned) = 0;
    virtual bool Read(void* buf, std::uint32_t len, std::uint32_t* done) = 0;
    virtual bool Write(const void* buf, std::uint32_t len, std::uint32_t* done) = 0;
    virtual PipeStepResult Recover(PipeStep) { return PipeStepResult::kNotAvailable; }
    virtual bool LastStalled() const { return false; }
};

namespace {

// An open still-image device: the libusb handle, the interface and its pipes.
class UsbDevice final : public LinuxDeviceIo::OpenDeviceBase {
  public:
    UsbDevice(libusb_device_handle* handle, const StillImageDevice& found)
        : handle_(handle), found_(found) {
        // Only a driver that is really bound is taken away, and only that one is given back.
        if (libusb_kernel_driver_active(handle_, found_.interfaceNumber) == 1 &&
            libusb_detach_kernel_driver(handle_, found_.interfaceNumber) == 0) {
            detached_ = true;
        }
    }
    ~UsbDevice() override {
        if (detached_) libusb_attach_kernel_driver(handle_, found_.interfaceNumber);
        libusb_close(handle_);
    }
    UsbDevice(const UsbDevice&) = delete;
    UsbDevice& operator=(const UsbDevice&) = delete;

    bool Ioctl(std::uint32_t code, void*, std::uint32_t, void* out, std::uint32_t outLen,
               std::uint32_t* returned) override {
        Report(returned, 0);
        if (code != kIoctlGetDeviceDescriptor || out == nullptr ||
            outLen < sizeof(DeviceDescriptor)) {
            return false;
        }
        libusb_device_descriptor usb{};
        if (libusb_get_device_descriptor(libusb_get_device(handle_), &usb) != 0) return false;
        DeviceDescriptor d{};
        d.usVendorId = usb.idVendor;
        d.usProductId = usb.idProduct;
        d.usBcdDevice = usb.bcdDevice;
        d.usLanguageId = 0;
        std::memcpy(out, &d, sizeof d);
        Report(returned, sizeof d);
        return true;
    }

    bool Read(void* buf, std::uint32_t len, std::uint32_t* done) override {
        return Transfer(found_.bulkIn, static_cast<unsigned char*>(buf), len, done);
    }

    bool Write(const void* buf, std::uint32_t len, std::uint32_t* done) override {
        // libusb takes a non-const buffer for both directions; an out transfer only reads it.
        return Transfer(found_.bulkOut,
                        const_cast<unsigned char*>(static_cast<const unsigned char*>(buf)), len,
                        done);
    }

    PipeStepResult Recover(PipeStep step) override {
        if (!Claim()) return PipeStepResult::kFailed;
        int r = 0;
        switch (step) {
            case PipeStep::kClearHaltIn:
                r = libusb_clear_halt(handle_, found_.bulkIn);
                break;
            case PipeStep::kClearHaltOut:
                r = libusb_clear_halt(handle_, found_.bulkOut);
                break;
            case PipeStep::kMassStorageReset:
                r = libusb_control_transfer(handle_, kClassToInterface, kMassStorageResetRequest, 0,
                                            found_.interfaceNumber, nullptr, 0, kControlTimeoutMs);
                break;
        }
        libusb_release_interface(handle_, found_.interfaceNumber);
        return r >= 0 ? PipeStepResult::kDone : PipeStepResult::kFailed;
    }

    bool LastStalled() const override { return lastStalled_; }

  private:
    bool Claim() {
        const auto limit = std::chrono::steady_clock::now() + kClaimPatience;
        for (;;) {
            const int r = libusb_claim_interface(handle_, found_.interfaceNumber);
            if (r == 0) return true;
            if (r != LIBUSB_ERROR_BUSY || std::chrono::steady_clock::now() >= limit) return false;
            std::this_thread::sleep_for(kClaimRetryPause);
        }
    }

    bool Transfer(std::uint8_t endpoint, unsigned char* buf, std::uint32_t len,
                  std::uint32_t* done) {
        Report(done, 0);
        // Like ReadFile and WriteFile, zero bytes move nothing: no zero-length packet.
        if (len == 0) return true;
        if (buf == nullptr || !Claim()) {
            lastStalled_ = false;
            return false;
        }
        int moved = 0;
        const int r = libusb_bulk_transfer(handle_, endpoint, buf, static_cast<int>(len), &moved,
                                           kBulkTimeoutMs);
        libusb_release_interface(handle_, found_.interfaceNumber);
        Report(done, moved > 0 ? static_cast<std::uint32_t>(moved) : 0);
        // A stalled pipe stays halted: the transport knows which phase it was and clears it.
        if (r != 0) lastStalled_ = r == LIBUSB_ERROR_PIPE;
        return r == 0;
    }

    libusb_device_handle* handle_;
    StillImageDevice found_;
    bool detached_ = false;
    bool lastStalled_ = false;
};

// An open removable disk: its block device, for SG_IO.
class Disk final : public LinuxDeviceIo::OpenDeviceBase {
  public:
    explicit Disk(int fd) : fd_(fd) {}
    ~Disk() override { ::close(fd_); }
    Disk(const Disk&) = delete;
    Disk& operator=(const Disk&) = delete;

    bool Ioctl(std::uint32_t code, void* in, std::uint32_t inLen, void* out, std::uint32_t outLen,
               std::uint32_t* returned) override {
        Report(returned, 0);
        if (code != kIoctlScsiPassThroughDirect || in == nullptr || out == nullptr ||
            inLen < sizeof(ScsiPassThroughDirect) || outLen < sizeof(ScsiPassThroughDirect)) {
            return false;
        }
        // The record is worked on where it came in and handed back in `out`.
        auto* record = static_cast<std::uint8_t*>(in);
        ScsiPassThroughDirect sptd;
        std::memcpy(&sptd, record, sizeof sptd);
        if (sptd.Length != sizeof(ScsiPassThroughDirect) || sptd.CdbLength == 0 ||
            sptd.CdbLength > sizeof sptd.Cdb || sptd.DataIn > kScsiIoctlDataIn) {
            return false;
        }
        if (sptd.SenseInfoLength != 0 &&
            (sptd.SenseInfoOffset < sizeof sptd ||
             std::uint64_t{sptd.SenseInfoOffset} + sptd.SenseInfoLength > inLen)) {
            return false;
        }
        if (sptd.DataTransferLength != 0 && sptd.DataBuffer == nullptr) return false;

        sg_io_hdr_t io{};
        io.interface_id = 'S';
        io.dxfer_direction = sptd.DataTransferLength == 0      ? SG_DXFER_NONE
                             : sptd.DataIn == kScsiIoctlDataIn ? SG_DXFER_FROM_DEV
                                                               : SG_DXFER_TO_DEV;
        io.cmd_len = sptd.CdbLength;
        io.cmdp = sptd.Cdb;
        io.dxfer_len = sptd.DataTransferLength;
        io.dxferp = sptd.DataBuffer;
        io.mx_sb_len = sptd.SenseInfoLength;
        io.sbp = sptd.SenseInfoLength != 0 ? record + sptd.SenseInfoOffset : nullptr;
        const std::uint32_t seconds =
            sptd.TimeOutValue > kMaxSgTimeoutSeconds ? kMaxSgTimeoutSeconds : sptd.TimeOutValue;
        io.timeout = seconds * 1000u;
        int r = 0;
        do {
            r = ::ioctl(fd_, SG_IO, &io);
        } while (r < 0 && errno == EINTR);
        if (r < 0) return false;

        sptd.ScsiStatus = io.status;
        const auto resid = io.resid > 0 ? static_cast<std::uint32_t>(io.resid) : 0u;
        sptd.DataTransferLength =
            resid < sptd.DataTransferLength ? sptd.DataTransferLength - resid : 0u;
        sptd.SenseInfoLength =
            io.sb_len_wr <= sptd.SenseInfoLength ? io.sb_len_wr : sptd.SenseInfoLength;
        std::memcpy(record, &sptd, sizeof sptd);
        const std::uint32_t count = inLen < outLen ? inLen : outLen;
        if (out != in) std::memmove(out, in, count);
        Report(returned, count);
        // A host or driver failure means the request never reached the device as asked; a
        // check condition with sense data is a device answer and carried back as such.
        const unsigned driverStatus = io.driver_status & 0x0F;
        return io.host_status == 0 && (driverStatus == 0 || driverStatus == 0x08 /*sense*/);
    }

    bool Read(void*, std::uint32_t, std::uint32_t* done) override {
        Report(done, 0);
        return false;
    }
    bool Write(const void*, std::uint32_t, std::uint32_t* done) override {
        Report(done, 0);
        return false;
    }

  private:
    int fd_;
};

}  // namespace

LinuxDeviceIo::LinuxDeviceIo() = default;

LinuxDeviceIo::~LinuxDeviceIo() {
    open_.clear();
    if (context_) libusb_exit(context_);
}

libusb_context* LinuxDeviceIo::Context() {
    if (!contextTried_) {
        contextTried_ = true;
        if (libusb_init(&context_) != 0) context_ = nullptr;
    }
    return context_;
}

Handle LinuxDeviceIo::OpenDevice(const char* name) {
    if (name == nullptr) return InvalidHandle();
    std::unique_ptr<OpenDeviceBase> device;
    const int number = StillImageNumber(name);
    if (number >= 0) {
        const StillImageList list(Context());
        if (static_cast<std::size_t>(number) >= list.Devices().size()) return InvalidHandle();
        const StillImageDevice& found = list.Devices()[static_cast<std::size_t>(number)];
        libusb_device_handle* handle = nullptr;
        if (libusb_open(found.device, &handle) != 0) return InvalidHandle();
        device = std::make_unique<UsbDevice>(handle, found);
    } else if (const char letter = VolumeLetter(name); letter != 0) {
        const std::vector<RemovableDisk> disks = ListRemovableDisks();
        const RemovableDisk* disk = FindDisk(disks, letter);
        if (disk == nullptr) return InvalidHandle();
        // Non-blocking: a drive without a medium still opens, as the volume does on Windows.
        const int fd = ::open(disk->node.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0) return InvalidHandle();
        device = std::make_unique<Disk>(fd);
    } else {
        return InvalidHandle();
    }
    const Handle h = device.get();
    open_.emplace(h, std::move(device));
    return h;
}

bool LinuxDeviceIo::CloseDevice(Handle h) {
    return open_.erase(h) == 1;
}

bool LinuxDeviceIo::DeviceIoControl(Handle h, std::uint32_t code, void* in, std::uint32_t inLen,
                                    void* out, std::uint32_t outLen, std::uint32_t* returned) {
    const auto it = open_.find(h);
    if (it == open_.end()) {
        Report(returned, 0);
        return false;
    }
    return it->second->Ioctl(code, in, inLen, out, outLen, returned);
}

bool LinuxDeviceIo::ReadFile(Handle h, void* buf, std::uint32_t len, std::uint32_t* done) {
    const auto it = open_.find(h);
    if (it == open_.end()) {
        Report(done, 0);
        return false;
    }
    return it->second->Read(buf, len, done);
}

bool LinuxDeviceIo::WriteFile(Handle h, const void* buf, std::uint32_t len, std::uint32_t* done) {
    const auto it = open_.find(h);
    if (it == open_.end()) {
        Report(done, 0);
        return false;
    }
    return it->second->Write(buf, len, done);
}

PipeStepResult LinuxDeviceIo::RecoverPipe(Handle h, PipeStep step) {
    const auto it = open_.find(h);
    return it == open_.end() ? PipeStepResult::kFailed : it->second->Recover(step);
}

bool LinuxDeviceIo::LastTransferStalled(Handle h) {
    const auto it = open_.find(h);
    return it != open_.end() && it->second->LastStalled();
}

std::uint32_t LinuxDeviceIo::GetLogicalDriveStrings(std::uint32_t bufLen, char* buf) {
    std::string list;
    for (const RemovableDisk& d : ListRemovableDisks()) {
        list += d.letter;
        list += ":\\";
        list += '\0';
    }
    const auto length = static_cast<std::uint32_t>(list.size());
    if (buf == nullptr || bufLen < length + 1) return length + 1;
    std::memcpy(buf, list.data(), length);
    buf[length] = '\0';
    return length;
}

std::uint32_t LinuxDeviceIo::GetDriveType(const char* root) {
    const char letter = RootLetter(root);
    if (letter == 0) return kDriveNoRootDir;
    return FindDisk(ListRemovableDisks(), letter) != nullptr ? kDriveRemovable : kDriveNoRootDir;
}

namespace {

// What `still` says of the still-image device `name` stands for, or `disk` of its removable
// disk; empty when it names neither.
template <typename Still, typename Disk>
std::string AboutDevice(libusb_context* context, const char* name, Still still, Disk disk) {
    if (name == nullptr) return {};
    const int number = StillImageNumber(name);
    if (number >= 0) {
        const StillImageList list(context);
        if (static_cast<std::size_t>(number) >= list.Devices().size()) return {};
        return still(list.Devices()[static_cast<std::size_t>(number)]);
    }
    if (const char letter = VolumeLetter(name); letter != 0) {
        const std::vector<RemovableDisk> disks = ListRemovableDisks();
        if (const RemovableDisk* found = FindDisk(disks, letter)) return disk(*found);
    }
    return {};
}

}  // namespace

std::string LinuxDeviceIo::DescribeDevice(const char* name) {
    return AboutDevice(
        Context(), name,
        [](const StillImageDevice& d) {
            char text[32];
            std::snprintf(text, sizeof text, "usb %03u:%03u", static_cast<unsigned>(d.bus),
                          static_cast<unsigned>(d.address));
            return std::string(text);
        },
        [](const RemovableDisk& disk) { return disk.node; });
}

std::string LinuxDeviceIo::DeviceIdentity(const char* name) {
    return AboutDevice(
        Context(), name,
        [](const StillImageDevice& d) {
            std::string identity = "usb-" + std::to_string(d.bus) + "-" + std::to_string(d.address);
            std::uint8_t ports[8];
            const int depth = libusb_get_port_numbers(d.device, ports, sizeof ports);
            for (int i = 0; i < depth; ++i)
                identity += (i == 0 ? "@" : ".") + std::to_string(ports[i]);
            return identity;
        },
        [](const RemovableDisk& disk) { return "disk-" + disk.name; });
}

}  // namespace platform::linux_os
