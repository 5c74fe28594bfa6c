// The DeviceIo half of the seam with a scanner behind it: the still-image device's descriptor and
// one whole Bulk-Only exchange, and the removable drive's pass-through record answered in place.
// The simulated backend gets a simulated scanner; the Win32 backend runs only where the scanner
// driver is up in the Wine prefix (KV_CONTRACT_DRIVE names its drive letter), so both meet the
// same device through the calls the product makes.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>

#include "sim/scanner.h"
#include "tests/contract/backends.h"

namespace contract {
namespace {

using platform::Handle;
using platform::InvalidHandle;

// The tag query as a vendor command block: 4 bytes in.
constexpr std::uint8_t kTagQuery[16] = {0xC5, 0x07, 0, 0, 0, 0, 0, 0, 0, 4, 0xFF, 0x02, 0, 0, 0, 0};
// A link command the scanner does not know: refused with ILLEGAL REQUEST.
constexpr std::uint8_t kUnknownLink[16] = {0xC5, 0x07, 0,    0,    0, 0, 0, 0,
                                           0,    4,    0xFF, 0x7F, 0, 0, 0, 0};

// Where each backend's scanner is: the still-image device 0 and a removable drive.
template <typename B>
struct ScannerPlace;

template <>
struct ScannerPlace<SimBackend> {
    explicit ScannerPlace(SimBackend& backend) : scanner(sim::ModelConfig{}, 0x10000) {
        backend.SimIo().AddStillImage(0, &scanner.StillImage());
        backend.SimIo().AddDrive(kDrive, platform::kDriveRemovable, &scanner.Disk());
    }
    static constexpr char kDrive = 'K';
    std::optional<char> drive = kDrive;
    sim::Scanner scanner;
};

#ifdef _WIN32
template <>
struct ScannerPlace<Win32Backend> {
    explicit ScannerPlace(Win32Backend&) {
        const char* letter = std::getenv("KV_CONTRACT_DRIVE");
        if (letter != nullptr && letter[0] >= 'A' && letter[0] <= 'Z') drive = letter[0];
    }
    std::optional<char> drive;
};
#endif

template <typename B>
class ScannerContract : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!place_.drive) GTEST_SKIP() << "no scanner driver here (KV_CONTRACT_DRIVE unset)";
    }
    platform::DeviceIo& io() { return backend_.Io(); }

    // A pass-through record for a command of `length` bytes in, with the sense buffer set up
    // the way the product sets it up.
    platform::ScsiPassThroughRecord Record(const std::uint8_t (&cdb)[16], void* data,
                                           std::uint32_t length) {
        platform::ScsiPassThroughRecord record{};
        record.sptd.Length = sizeof record.sptd;
        record.sptd.CdbLength = sizeof cdb;
        record.sptd.SenseInfoLength = sizeof record.ucSenseBuf;
        record.sptd.DataIn = platform::kScsiIoctlDataIn;
        record.sptd.DataTransferLength = length;
        record.sptd.TimeOutValue = 2;
        record.sptd.DataBuffer = data;
        record.sptd.SenseInfoOffset = offsetof(platform::ScsiPassThroughRecord, ucSenseBuf);
        std::memcpy(record.sptd.Cdb, cdb, sizeof cdb);
        return record;
    }

    B backend_;
    ScannerPlace<B> place_{backend_};
};
TYPED_TEST_SUITE(ScannerContract, Backends, BackendNames);

TYPED_TEST(ScannerContract, StillImageGivesItsDescriptorAndOneWholeExchange) {
    platform::DeviceIo& io = this->io();
    const Handle h = io.OpenDevice("\\\\.\\USBSCAN0");
    ASSERT_NE(h, InvalidHandle());

    platform::DeviceDescriptor descriptor{};
    std::uint32_t returned = 99;
    ASSERT_TRUE(io.DeviceIoControl(h, platform::kIoctlGetDeviceDescriptor, nullptr, 0, &descriptor,
                                   sizeof descriptor, &returned));
    EXPECT_EQ(returned, sizeof descriptor);
    EXPECT_EQ(descriptor.usVendorId, 0x04F9);
    EXPECT_EQ(descriptor.usProductId, 0x2022);

    std::uint8_t cbw[31] = {'U', 'S', 'B', 'C', 0x44, 0x33, 0x22, 0x11, 4, 0, 0, 0, 0x80, 0, 16};
    std::memcpy(cbw + 15, kTagQuery, sizeof kTagQuery);
    std::uint32_t done = 99;
    ASSERT_TRUE(io.WriteFile(h, cbw, sizeof cbw, &done));
    EXPECT_EQ(done, sizeof cbw);

    // Each read takes one transfer, however much room it offers: the tag, then the status.
    std::uint8_t data[64] = {};
    ASSERT_TRUE(io.ReadFile(h, data, sizeof data, &done));
    EXPECT_EQ(done, 4u);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(data), 4), "ZAMO");
    std::uint8_t csw[64] = {};
    ASSERT_TRUE(io.ReadFile(h, csw, sizeof csw, &done));
    ASSERT_EQ(done, 13u);
    const std::uint8_t expected[13] = {'U', 'S', 'B', 'S', 0x44, 0x33, 0x22, 0x11, 0, 0, 0, 0, 0};
    EXPECT_EQ(std::memcmp(csw, expected, sizeof expected), 0);

    EXPECT_TRUE(io.CloseDevice(h));
}

TYPED_TEST(ScannerContract, DriveAnswersThePassThroughRecordInPlace) {
    platform::DeviceIo& io = this->io();
    const char letter = *this->place_.drive;
    const std::string root = std::string(1, letter) + ":\\";
    EXPECT_EQ(io.GetDriveType(root.c_str()), platform::kDriveRemovable);
    const std::string volume = std::string("\\\\.\\") + letter + ':';
    const Handle h = io.OpenDevice(volume.c_str());
    ASSERT_NE(h, InvalidHandle());

    char tag[8] = {};
    platform::ScsiPassThroughRecord record = this->Record(kTagQuery, tag, 4);
    std::uint32_t returned = 0;
    ASSERT_TRUE(io.DeviceIoControl(h, platform::kIoctlScsiPassThroughDirect, &record, sizeof record,
                                   &record, sizeof record, &returned));
    EXPECT_GE(returned, sizeof record.sptd);
    EXPECT_LE(returned, sizeof record);
    EXPECT_EQ(record.sptd.ScsiStatus, 0);
    EXPECT_EQ(record.sptd.DataTransferLength, 4u);
    EXPECT_EQ(std::string(tag), "ZAMO");

    // A refused command: the call itself succeeds, the record carries CHECK CONDITION and the
    // sense data, and no data moved.
    char unused[4] = {};
    record = this->Record(kUnknownLink, unused, 4);
    ASSERT_TRUE(io.DeviceIoControl(h, platform::kIoctlScsiPassThroughDirect, &record, sizeof record,
                                   &record, sizeof record, &returned));
    EXPECT_EQ(record.sptd.ScsiStatus, 2);
    EXPECT_EQ(record.ucSenseBuf[0] & 0x7F, 0x70);
    EXPECT_EQ(record.ucSenseBuf[2] & 0x0F, 0x05);
    EXPECT_EQ(record.sptd.DataTransferLength, 0u);

    EXPECT_TRUE(io.CloseDevice(h));
}

}  // namespace
}  // namespace contract
