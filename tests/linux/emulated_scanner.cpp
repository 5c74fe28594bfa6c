#include "tests/linux/emulated_scanner.h"

// <sys/ioctl.h> must come before the usbfs header.
// clang-format off
#include <sys/ioctl.h>
#include <linux/usbdevice_fs.h>
// clang-format on
#include <scsi/sg.h>
#include <umockdev.h>

#include <cerrno>
#include <cstring>
#include <deque>
#include <set>
#include <stdexcept>

#include "platform/device_io.h"
#include "sim/device_protocol.h"

namespace linuxe2e {
namespace {

constexpr const char* kUsbNode = "/dev/bus/usb/001/002";
constexpr const char* kDiskNode = "/dev/sdb";
constexpr std::uint8_t kScsiCheckCondition = 0x02;

// Root hub and scanner as sysfs shows them. The scanner's configuration has one still-image
// interface (class 6) with a bulk-in pipe 0x81 and a bulk-out pipe 0x02. The vendor and product
// IDs are patched in from the scanner's configuration.
constexpr const char* kUsbSysfs =
    "P: /devices/usb1\n"
    "N: bus/usb/001/001\n"
    "E: SUBSYSTEM=usb\n"
    "E: DEVTYPE=usb_device\n"
    "E: DRIVER=usb\n"
    "E: BUSNUM=001\n"
    "E: DEVNUM=001\n"
    "E: DEVNAME=/dev/bus/usb/001/001\n"
    "A: busnum=1\\n\n"
    "A: devnum=1\\n\n"
    "A: speed=480\\n\n"
    "A: bConfigurationValue=1\\n\n"
    "H: descriptors=12010002090001406b1d020006060302010109021900010100e0000904000001090000000705"
    "810304000c\n"
    "\n"
    "P: /devices/usb1/1-1\n"
    "N: bus/usb/001/002\n"
    "E: SUBSYSTEM=usb\n"
    "E: DEVTYPE=usb_device\n"
    "E: BUSNUM=001\n"
    "E: DEVNUM=002\n"
    "E: DEVNAME=/dev/bus/usb/001/002\n"
    "A: busnum=1\\n\n"
    "A: devnum=2\\n\n"
    "A: speed=480\\n\n"
    "A: bConfigurationValue=1\\n\n"
    "H: descriptors=12010002000000%s%s%s0102030109022000010100c0320904000002060101000705810200"
    "020007050202000200\n";

constexpr const char* kDiskSysfs =
    "P: /devices/pci0000:00/0000:00:14.0/host7/target7:0:0/7:0:0:0\n"
    "E: SUBSYSTEM=scsi\n"
    "E: DEVTYPE=scsi_device\n"
    "\n"
    "P: /devices/pci0000:00/0000:00:14.0/host7/target7:0:0/7:0:0:0/block/sdb\n"
    "N: sdb\n"
    "E: SUBSYSTEM=block\n"
    "E: DEVTYPE=disk\n"
    "E: DEVNAME=/dev/sdb\n"
    "E: MAJOR=8\n"
    "E: MINOR=16\n"
    "A: removable=1\\n\n"
    "A: dev=8:16\\n\n"
    "A: size=0\\n\n";

std::string Le16Hex(std::uint16_t v) {
    char text[8];
    std::snprintf(text, sizeof text, "%02x%02x", v & 0xFF, v >> 8);
    return text;
}

// A resolved copy of client memory, released when it goes.
struct Data {
    UMockdevIoctlData* d = nullptr;
    Data() = default;
    explicit Data(UMockdevIoctlData* data) : d(data) {}
    ~Data() {
        if (d) g_object_unref(d);
    }
    Data(const Data&) = delete;
    Data& operator=(const Data&) = delete;
    Data(Data&& o) noexcept : d(o.d) { o.d = nullptr; }
    Data& operator=(Data&& o) noexcept {
        std::swap(d, o.d);
        return *this;
    }
    explicit operator bool() const { return d != nullptr; }
};

Data Resolve(UMockdevIoctlData* parent, std::size_t offset, std::size_t length) {
    return Data(umockdev_ioctl_data_resolve(parent, offset, length, nullptr));
}

// A request whose memory cannot be read: a client killed in the middle of its ioctl.
gboolean Unreadable(UMockdevIoctlClient* client) {
    umockdev_ioctl_client_complete(client, -1, EFAULT);
    return TRUE;
}

}  // namespace

struct EmulatedScanner::Impl {
    Impl(const sim::ModelConfig& config, std::uint32_t memorySize) : scanner(config, memorySize) {
        scanner.Log().Enable(false);
    }

    std::mutex mutex;
    sim::Scanner scanner;
    UMockdevTestbed* testbed = nullptr;
    UMockdevIoctlBase* usbHandler = nullptr;
    UMockdevIoctlBase* diskHandler = nullptr;

    // A completed URB waiting for the client to reap it.
    struct Done {
        Data urb;
        UMockdevIoctlClient* client;
    };
    std::deque<Done> reapable;

    std::string driverName;
    DriverEvents driver;

    const void* lockOwner = nullptr;
    std::set<const void*> clients;
    std::uint32_t mixed = 0;
    std::uint32_t unknown = 0;

    // Called around every request that can run a vendor command.
    void BeforeCommand(const void* client, const std::uint8_t* cdb) {
        clients.insert(client);
        if (cdb[0] != sim::kOpVendor) return;
        const bool dataCommand = cdb[sim::kCmdBytesOffset] == sim::kFamilyData;
        if (dataCommand && scanner.Model().LockedByHost() && lockOwner != client) ++mixed;
    }
    void AfterRequest(const void* client, bool lockedBefore) {
        const bool lockedAfter = scanner.Model().LockedByHost();
        if (!lockedBefore && lockedAfter) lockOwner = client;
        if (!lockedAfter) lockOwner = nullptr;
    }

    gboolean HandleUsb(UMockdevIoctlClient* client);
    gboolean HandleDisk(UMockdevIoctlClient* client);
};

namespace {

gboolean OnUsbIoctl(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer self) {
    return static_cast<EmulatedScanner::Impl*>(self)->HandleUsb(client);
}

gboolean OnDiskIoctl(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer self) {
    return static_cast<EmulatedScanner::Impl*>(self)->HandleDisk(client);
}

}  // namespace

gboolean EmulatedScanner::Impl::HandleUsb(UMockdevIoctlClient* client) {
    std::lock_guard<std::mutex> lock(mutex);
    const gulong request = umockdev_ioctl_client_get_request(client);
    UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
    switch (request) {
        case USBDEVFS_GET_CAPABILITIES: {
            Data caps = Resolve(arg, 0, sizeof(std::uint32_t));
            if (!caps) return Unreadable(client);
            const std::uint32_t value = USBDEVFS_CAP_NO_PACKET_SIZE_LIM;
            std::memcpy(caps.d->data, &value, sizeof value);
            umockdev_ioctl_client_complete(client, 0, 0);
            return TRUE;
        }
        case USBDEVFS_GETDRIVER: {
            if (!driver.bound) {
                umockdev_ioctl_client_complete(client, -1, ENODATA);
                return TRUE;
            }
            Data query = Resolve(arg, 0, sizeof(usbdevfs_getdriver));
            if (!query) return Unreadable(client);
            auto* q = reinterpret_cast<usbdevfs_getdriver*>(query.d->data);
            std::snprintf(q->driver, sizeof q->driver, "%s", driverName.c_str());
            umockdev_ioctl_client_complete(client, 0, 0);
            return TRUE;
        }
        case USBDEVFS_IOCTL: {
            // Taking the interface from its kernel driver and giving it back.
            Data request = Resolve(arg, 0, sizeof(usbdevfs_ioctl));
            if (!request) return Unreadable(client);
            const auto* r = reinterpret_cast<const usbdevfs_ioctl*>(request.d->data);
            if (r->ioctl_code == static_cast<int>(USBDEVFS_DISCONNECT) && driver.bound) {
                driver.bound = false;
                ++driver.detaches;
            } else if (r->ioctl_code == static_cast<int>(USBDEVFS_CONNECT) && !driver.bound &&
                       !driverName.empty()) {
                driver.bound = true;
                ++driver.attaches;
            } else {
                umockdev_ioctl_client_complete(client, -1, ENODATA);
                return TRUE;
            }
            umockdev_ioctl_client_complete(client, 0, 0);
            return TRUE;
        }
        case USBDEVFS_CLEAR_HALT: {
            Data endpoint = Resolve(arg, 0, sizeof(unsigned));
            if (!endpoint) return Unreadable(client);
            unsigned address = 0;
            std::memcpy(&address, endpoint.d->data, sizeof address);
            const bool done = scanner.StillImage().RecoverPipe(
                                  (address & 0x80) != 0 ? platform::PipeStep::kClearHaltIn
                                                        : platform::PipeStep::kClearHaltOut) !=
                              platform::PipeStepResult::kFailed;
            umockdev_ioctl_client_complete(client, done ? 0 : -1, done ? 0 : ENODEV);
            return TRUE;
        }
        case USBDEVFS_CONTROL: {
            // Only the class reset of Bulk-Only recovery is expected here.
            Data request = Resolve(arg, 0, sizeof(usbdevfs_ctrltransfer));
            if (!request) return Unreadable(client);
            const auto* c = reinterpret_cast<const usbdevfs_ctrltransfer*>(request.d->data);
            if (c->bRequestType != 0x21 || c->bRequest != 0xFF || c->wLength != 0) {
                ++unknown;
                umockdev_ioctl_client_complete(client, -1, EPIPE);
                return TRUE;
            }
            const bool done =
                scanner.StillImage().RecoverPipe(platform::PipeStep::kMassStorageReset) ==
                platform::PipeStepResult::kDone;
            umockdev_ioctl_client_complete(client, done ? 0 : -1, done ? 0 : ENODEV);
            return TRUE;
        }
        case USBDEVFS_CLAIMINTERFACE:
        case USBDEVFS_RELEASEINTERFACE:
        case USBDEVFS_RESETEP:
        case USBDEVFS_RESET:
        case USBDEVFS_SETINTERFACE:
            umockdev_ioctl_client_complete(client, 0, 0);
            return TRUE;
        case USBDEVFS_SUBMITURB: {
            Data urbData = Resolve(arg, 0, sizeof(usbdevfs_urb));
            if (!urbData) return Unreadable(client);
            auto* urb = reinterpret_cast<usbdevfs_urb*>(urbData.d->data);
            if (urb->type != USBDEVFS_URB_TYPE_BULK || urb->buffer_length < 0) {
                umockdev_ioctl_client_complete(client, -1, EINVAL);
                return TRUE;
            }
            Data buffer = Resolve(urbData.d, offsetof(usbdevfs_urb, buffer),
                                  static_cast<std::size_t>(urb->buffer_length));
            if (!buffer) return Unreadable(client);
            const auto length = static_cast<std::uint32_t>(urb->buffer_length);
            const bool lockedBefore = scanner.Model().LockedByHost();
            std::uint32_t moved = 0;
            bool ok = false;
            if ((urb->endpoint & 0x80) != 0) {
                ok = scanner.StillImage().Read(buffer.d->data, length, &moved);
            } else {
                const std::uint8_t* bytes = buffer.d->data;
                if (length == sim::kBotCbwLength && std::memcmp(bytes, "USBC", 4) == 0)
                    BeforeCommand(client, bytes + sim::kBotCommandBlockOffset);
                ok = scanner.StillImage().Write(bytes, length, &moved);
            }
            AfterRequest(client, lockedBefore);
            // A stall is -EPIPE; a device that is gone, -ENODEV; any other failure stands for a
            // transfer that never completed.
            urb->status = ok                                           ? 0
                          : scanner.Unplugged()                        ? -ENODEV
                          : scanner.StillImage().LastTransferStalled() ? -EPIPE
                                                                       : -EPROTO;
            urb->actual_length = ok ? static_cast<int>(moved) : 0;
            reapable.push_back(Done{std::move(urbData), client});
            umockdev_ioctl_client_complete(client, 0, 0);
            return TRUE;
        }
        case USBDEVFS_REAPURB:
        case USBDEVFS_REAPURBNDELAY: {
            for (auto it = reapable.begin(); it != reapable.end(); ++it) {
                if (it->client != client) continue;
                Data pointer = Resolve(arg, 0, sizeof(void*));
                if (!pointer) return Unreadable(client);
                umockdev_ioctl_data_set_ptr(pointer.d, 0, it->urb.d);
                reapable.erase(it);
                umockdev_ioctl_client_complete(client, 0, 0);
                return TRUE;
            }
            umockdev_ioctl_client_complete(client, -1, EAGAIN);
            return TRUE;
        }
        case USBDEVFS_DISCARDURB:
            umockdev_ioctl_client_complete(client, -1, EINVAL);
            return TRUE;
        default:
            ++unknown;
            umockdev_ioctl_client_complete(client, -1, ENOTTY);
            return TRUE;
    }
}

gboolean EmulatedScanner::Impl::HandleDisk(UMockdevIoctlClient* client) {
    std::lock_guard<std::mutex> lock(mutex);
    const gulong request = umockdev_ioctl_client_get_request(client);
    UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
    if (request != SG_IO) {
        ++unknown;
        umockdev_ioctl_client_complete(client, -1, ENOTTY);
        return TRUE;
    }
    Data hdrData = Resolve(arg, 0, sizeof(sg_io_hdr_t));
    if (!hdrData) return Unreadable(client);
    auto* hdr = reinterpret_cast<sg_io_hdr_t*>(hdrData.d->data);
    if (hdr->interface_id != 'S' || hdr->cmd_len == 0 || hdr->cmd_len > 16) {
        umockdev_ioctl_client_complete(client, -1, EINVAL);
        return TRUE;
    }
    Data cdb = Resolve(hdrData.d, offsetof(sg_io_hdr_t, cmdp), hdr->cmd_len);
    Data data;
    if (hdr->dxfer_len != 0)
        data = Resolve(hdrData.d, offsetof(sg_io_hdr_t, dxferp), hdr->dxfer_len);
    Data sense;
    if (hdr->mx_sb_len != 0) sense = Resolve(hdrData.d, offsetof(sg_io_hdr_t, sbp), hdr->mx_sb_len);
    if (!cdb || (hdr->dxfer_len != 0 && !data) || (hdr->mx_sb_len != 0 && !sense))
        return Unreadable(client);

    // The same request as the storage stack of Windows hands to the disk.
    platform::ScsiPassThroughRecord record{};
    record.sptd.Length = sizeof(platform::ScsiPassThroughDirect);
    record.sptd.CdbLength = hdr->cmd_len;
    record.sptd.SenseInfoLength = sizeof record.ucSenseBuf;
    record.sptd.SenseInfoOffset = offsetof(platform::ScsiPassThroughRecord, ucSenseBuf);
    record.sptd.DataIn = hdr->dxfer_direction == SG_DXFER_FROM_DEV ? platform::kScsiIoctlDataIn
                                                                   : platform::kScsiIoctlDataOut;
    record.sptd.DataTransferLength = hdr->dxfer_len;
    record.sptd.DataBuffer = data ? data.d->data : nullptr;
    record.sptd.TimeOutValue = hdr->timeout / 1000;
    std::memcpy(record.sptd.Cdb, cdb.d->data, hdr->cmd_len);

    const bool lockedBefore = scanner.Model().LockedByHost();
    BeforeCommand(client, record.sptd.Cdb);
    std::uint32_t returned = 0;
    const bool ok = scanner.Disk().Ioctl(platform::kIoctlScsiPassThroughDirect, &record,
                                         sizeof record, &record, sizeof record, &returned);
    AfterRequest(client, lockedBefore);
    if (!ok) {
        umockdev_ioctl_client_complete(client, -1, EIO);
        return TRUE;
    }
    hdr->status = record.sptd.ScsiStatus;
    hdr->masked_status = static_cast<unsigned char>(record.sptd.ScsiStatus >> 1);
    hdr->host_status = 0;
    hdr->driver_status = record.sptd.ScsiStatus == kScsiCheckCondition ? 0x08 : 0;
    hdr->resid = static_cast<int>(hdr->dxfer_len - record.sptd.DataTransferLength);
    hdr->sb_len_wr = 0;
    if (record.sptd.ScsiStatus == kScsiCheckCondition && sense) {
        const std::uint32_t n =
            hdr->mx_sb_len < sim::kSenseDataLength ? hdr->mx_sb_len : sim::kSenseDataLength;
        std::memcpy(sense.d->data, record.ucSenseBuf, n);
        hdr->sb_len_wr = static_cast<unsigned char>(n);
    }
    umockdev_ioctl_client_complete(client, 0, 0);
    return TRUE;
}

EmulatedScanner::EmulatedScanner(const sim::ModelConfig& config, std::uint32_t memorySize,
                                 EmulatedLayout layout)
    : impl_(std::make_unique<Impl>(config, memorySize)) {
    impl_->driverName = layout.boundDriver;
    impl_->driver.bound = !layout.boundDriver.empty();
    impl_->testbed = umockdev_testbed_new();
    if (impl_->testbed == nullptr) throw std::runtime_error("umockdev testbed not created");
    // The handlers are attached before the devices appear, so a program never finds a device
    // that does not answer yet.
    if (layout.stillImage) {
        impl_->usbHandler = umockdev_ioctl_base_new();
        g_signal_connect(impl_->usbHandler, "handle-ioctl", G_CALLBACK(OnUsbIoctl), impl_.get());
        if (!umockdev_testbed_attach_ioctl(impl_->testbed, kUsbNode, impl_->usbHandler, nullptr))
            throw std::runtime_error("usbfs handler not attached");
        char text[2048];
        std::snprintf(text, sizeof text, kUsbSysfs, "40", Le16Hex(config.vendorId).c_str(),
                      (Le16Hex(config.productId) + Le16Hex(config.bcdDevice)).c_str());
        const std::string sysfs(text);
        GError* error = nullptr;
        if (!umockdev_testbed_add_from_string(impl_->testbed, sysfs.c_str(), &error)) {
            const std::string message = error ? error->message : "unknown";
            if (error) g_error_free(error);
            throw std::runtime_error("USB device not added: " + message);
        }
    }
    if (layout.disk) {
        impl_->diskHandler = umockdev_ioctl_base_new();
        g_signal_connect(impl_->diskHandler, "handle-ioctl", G_CALLBACK(OnDiskIoctl), impl_.get());
        if (!umockdev_testbed_attach_ioctl(impl_->testbed, kDiskNode, impl_->diskHandler, nullptr))
            throw std::runtime_error("SG_IO handler not attached");
        GError* error = nullptr;
        if (!umockdev_testbed_add_from_string(impl_->testbed, kDiskSysfs, &error)) {
            const std::string message = error ? error->message : "unknown";
            if (error) g_error_free(error);
            throw std::runtime_error("disk not added: " + message);
        }
    }
}

EmulatedScanner::~EmulatedScanner() {
    if (impl_->usbHandler) {
        umockdev_testbed_detach_ioctl(impl_->testbed, kUsbNode, nullptr);
        g_object_unref(impl_->usbHandler);
    }
    if (impl_->diskHandler) {
        umockdev_testbed_detach_ioctl(impl_->testbed, kDiskNode, nullptr);
        g_object_unref(impl_->diskHandler);
    }
    impl_->reapable.clear();
    g_object_unref(impl_->testbed);
}

void EmulatedScanner::WithScanner(const std::function<void(sim::Scanner&)>& f) {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    f(impl_->scanner);
}

std::uint32_t EmulatedScanner::MixedServices() {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    return impl_->mixed;
}

std::uint32_t EmulatedScanner::UnknownRequests() {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    return impl_->unknown;
}

DriverEvents EmulatedScanner::Driver() {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    return impl_->driver;
}

std::uint32_t EmulatedScanner::Connections() {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    return static_cast<std::uint32_t>(impl_->clients.size());
}

}  // namespace linuxe2e
