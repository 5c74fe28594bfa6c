// The simulated scanner behind emulated Linux devices: a umockdev testbed with the scanner as a
// USB still-image device (usbfs ioctls, so libusb itself carries the Bulk-Only Transport to it)
// and as a removable SCSI disk (SG_IO on its block device node). Programs started from this
// process with the umockdev preload library see both devices as real ones.
//
// The ioctl handlers run on umockdev's own thread; every access to the scanner goes through
// WithScanner, under one lock.
//
// The handlers also watch the service protocol: the device-side lock belongs to the connection
// (one program's open device) during whose request it was granted, and a data command from any
// other connection while it is held is counted as a mixed service.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "sim/scanner.h"

namespace linuxe2e {

struct EmulatedLayout {
    bool stillImage = true;  // USB device 1-1 (/dev/bus/usb/001/002)
    bool disk = true;        // removable disk sdb (drive D: to the program)
    // A kernel driver bound to the still-image interface at the start (none when empty).
    std::string boundDriver;
};

struct DriverEvents {
    bool bound = false;  // a kernel driver is bound now
    std::uint32_t detaches = 0;
    std::uint32_t attaches = 0;
};

class EmulatedScanner {
  public:
    EmulatedScanner(const sim::ModelConfig& config, std::uint32_t memorySize,
                    EmulatedLayout layout);
    ~EmulatedScanner();
    EmulatedScanner(const EmulatedScanner&) = delete;
    EmulatedScanner& operator=(const EmulatedScanner&) = delete;

    // Runs `f` on the scanner under the handlers' lock.
    void WithScanner(const std::function<void(sim::Scanner&)>& f);

    // Data commands that came from a connection other than the one holding the device-side lock.
    std::uint32_t MixedServices();
    // Requests the handlers did not know (answered ENOTTY); 0 with a correct backend.
    std::uint32_t UnknownRequests();
    // Connections that sent a command block (told apart by umockdev's client record, which a
    // later program may reuse once an earlier one has ended).
    std::uint32_t Connections();
    DriverEvents Driver();

    struct Impl;

  private:
    std::unique_ptr<Impl> impl_;
};

}  // namespace linuxe2e
