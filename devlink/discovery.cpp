#include <cctype>
#include <cstdio>
#include <cstring>
#include <string>

#include "devlink/command_set.h"
#include "devlink/pass_through.h"
#include "devlink/scanner_identity.h"
#include "devlink/trace.h"
#include "devlink/zamo_usb.h"
#include "platform/platform.h"

namespace {

constexpr std::uint32_t kDriveListChars = 100;  // room for 24 roots and the terminator
constexpr std::uint32_t kProbeTimeOutSeconds = 2;

// The drive roots as "C:\\\0D:\\\0\0". A list longer than the usual buffer is fetched again
// with the size the system asks for, so no drive is missed.
std::string FetchDriveRoots() {
    char small[kDriveListChars];
    std::uint32_t length = platform::Io().GetLogicalDriveStrings(kDriveListChars, small);
    if (length == 0) return {};
    if (length < kDriveListChars) return std::string(small, length + 1);
    std::string list;
    // The list may grow between the two calls (a drive plugged in): ask again until it fits.
    for (int attempt = 0; attempt < 4 && length >= list.size(); ++attempt) {
        list.assign(length + 1, '\0');
        length = platform::Io().GetLogicalDriveStrings(static_cast<std::uint32_t>(list.size()),
                                                       list.data());
        if (length == 0) return {};
    }
    if (length >= list.size()) return {};
    list.resize(length + 1);
    return list;
}

// Calls `visit(root)` for each root of the list until it returns false.
template <typename F>
void ForEachRoot(const std::string& roots, F&& visit) {
    for (std::size_t i = 0; i < roots.size() && roots[i] != '\0';) {
        const char* root = roots.c_str() + i;
        if (!visit(root)) return;
        i += std::strlen(root) + 1;
    }
}

tPacket TagQuery(std::uint8_t reply[4]) {
    return tPacket{cmdset::kOpCodeVendor,
                   kDirectionIn,
                   reply,
                   cmdset::kTagLength,
                   0,
                   {cmdset::kLinkCommand, cmdset::kTagQuery, 0, 0, 0, 0}};
}

bool IsVendorTag(const std::uint8_t reply[4]) {
    return std::memcmp(reply, cmdset::kVendorTag, sizeof cmdset::kVendorTag) == 0;
}

bool IsAcceptedVendor(std::uint16_t vendorId) {
    for (std::uint16_t accepted : cmdset::kAcceptedVendorIds) {
        if (vendorId == accepted) return true;
    }
    return false;
}

bool IsRemovable(char letter) {
    const char root[4] = {letter, ':', '\\', '\0'};
    return platform::Io().GetDriveType(root) == platform::kDriveRemovable;
}

bool GetDescriptor(platform::Handle h, platform::DeviceDescriptor* descriptor) {
    std::uint32_t returned = 0;
    return platform::Io().DeviceIoControl(h, platform::kIoctlGetDeviceDescriptor, descriptor,
                                          sizeof *descriptor, descriptor, sizeof *descriptor,
                                          &returned);
}

// The service event of the disk at `letter`.
std::string DiskEventName(char letter) {
    std::string name = cmdset::kServiceEventTemplate;
    name.back() = letter;
    return name;
}

// Opens the named service event, creating it when no other program has.
platform::Handle OpenServiceEvent(const std::string& name, bool traceOpen) {
    if (traceOpen) Trace("[ConnectToScanner]m_hService == NULL");
    platform::Handle h = platform::Sys().OpenEvent(name.c_str());
    if (h != nullptr) return h;
    if (traceOpen) Trace("[ConnectToScanner]m_hService == NULL (2)");
    return platform::Sys().CreateEvent(name.c_str());
}

}  // namespace

int EnumDevices(EnumCallback fpUserEnumCallback) {
    const std::string roots = FetchDriveRoots();

    for (int n = 0; n < cmdset::kStillImageCount; ++n) {
        char name[32];
        std::snprintf(name, sizeof name, cmdset::kStillImageNameFormat, n);
        platform::DeviceHandle device(platform::Io().OpenDevice(name));
        if (!device.valid()) continue;
        Trace("USBSCAN=%s\n", name);
        platform::DeviceDescriptor descriptor{};
        if (GetDescriptor(device.get(), &descriptor)) {
            // Any vendor ends the search; the vendor test is made when connecting.
            if (fpUserEnumCallback) fpUserEnumCallback(kStillImageHandleBase + n);
            return 1;
        }
    }

    bool goOn = true;
    ForEachRoot(roots, [&](const char* root) {
        Trace("sDrivePath=%s\n", root);
        if (root[0] == 'A' || platform::Io().GetDriveType(root) != platform::kDriveRemovable) {
            return true;
        }
        char name[16];
        std::snprintf(name, sizeof name, cmdset::kVolumeNameFormat, root[0]);
        platform::DeviceHandle device(platform::Io().OpenDevice(name));
        if (!device.valid()) return true;
        // No device object exists yet, so the probe carries its own record.
        std::uint8_t reply[4] = {0, 0, 0, 0};
        const tPacket query = TagQuery(reply);
        platform::ScsiPassThroughRecord record;
        FillPassThroughRecord(record, query, kProbeTimeOutSeconds);
        if (!SendPassThrough(device.get(), record)) return true;
        if (IsVendorTag(reply) && fpUserEnumCallback) {
            goOn = fpUserEnumCallback(static_cast<unsigned char>(root[0])) != 0;
            if (!goOn) Trace("[MsdcZamoHost] fpUserEnumCallback is broken!\r\n");
        }
        return goOn;
    });
    return 1;
}

int CZamoUSB::ConnectToScanner(int cDevice) {
    char name[32];
    std::snprintf(name, sizeof name, cmdset::kStillImageNameFormat,
                  cDevice - kStillImageHandleBase);
    platform::DeviceHandle device(platform::Io().OpenDevice(name));
    if (!device.valid()) return 0;

    platform::DeviceDescriptor descriptor{};
    if (!GetDescriptor(device.get(), &descriptor)) {
        device.reset();
        m_hDisk.reset();
        return 0;
    }
    Trace("[ConnectToScanner]vid=0x%04X, pid=0x%04X", descriptor.usVendorId,
          descriptor.usProductId);
    if (!IsAcceptedVendor(descriptor.usVendorId)) return 0;

    // With own events each still-image scanner has its event, so one opened for another device
    // is given back first. Without them an event held is kept, whichever it is, as it always was.
    const std::string eventName = StillImageEventName(name);
    if (OwnStillImageEvents() && m_hService.valid() && eventName != m_serviceEventName)
        m_hService.reset();
    if (!m_hService.valid()) {
        m_hService.reset(OpenServiceEvent(eventName, true));
        m_serviceEventName = eventName;
    }
    m_cDevice = cDevice;
    m_hDisk = std::move(device);
    Trace("[ConnectToScanner]m_cDevice = %d", cDevice);
    return 1;
}

int CZamoUSB::ConnectToDisk(char letter) {
    if (letter < 'A' || letter > 'Z') return 0;
    if (!IsRemovable(letter)) return 0;

    char name[16];
    std::snprintf(name, sizeof name, cmdset::kVolumeNameFormat, letter);
    m_hDisk.reset(platform::Io().OpenDevice(name));
    if (!m_hDisk.valid()) return 0;

    std::uint8_t reply[4] = {0, 0, 0, 0};
    const tPacket query = TagQuery(reply);
    m_bForceDiskPath = true;
    const int sent = xTransmitToDevice(&query);
    m_bForceDiskPath = false;
    if (!sent || !IsVendorTag(reply)) {
        m_hDisk.reset();
        return 0;
    }

    if (letter != m_cDevice && m_hService.valid()) m_hService.reset();
    if (!m_hService.valid()) {
        m_serviceEventName = DiskEventName(letter);
        m_hService.reset(OpenServiceEvent(m_serviceEventName, false));
    }
    m_cDevice = static_cast<unsigned char>(letter);
    return 1;
}

int CZamoUSB::ReconnectDisk() {
    const std::string roots = FetchDriveRoots();
    m_hDisk.reset();
    bool connected = false;
    ForEachRoot(roots, [&](const char* root) {
        if (root[0] != 'A' && IsRemovable(root[0]) && ConnectToDisk(root[0])) connected = true;
        return !connected;
    });
    if (!connected) {
        m_hDisk.reset();
        m_lastOutcome = TransferOutcome::kDeviceGone;
    }
    return connected ? 1 : 0;
}
