// The DeviceIo half of the seam, as far as it can be checked without a scanner: opening what is
// not there, the drive list and the drive types. The reference is what the real Win32 calls do.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "tests/contract/backends.h"

namespace contract {
namespace {

using platform::Handle;
using platform::InvalidHandle;

template <typename B>
class DeviceIoContract : public ::testing::Test {
  protected:
    platform::DeviceIo& io() { return backend_.Io(); }

    // The roots of the drive list, read with a buffer of exactly the size asked for.
    std::vector<std::string> Roots() {
        const std::uint32_t needed = io().GetLogicalDriveStrings(0, nullptr);
        std::string list(needed, '#');
        if (io().GetLogicalDriveStrings(needed, list.data()) != needed - 1) return {};
        std::vector<std::string> roots;
        for (const char* root = list.data(); *root; root += std::strlen(root) + 1)
            roots.emplace_back(root);
        return roots;
    }
    // A drive letter that the drive list does not name.
    char MissingLetter() {
        const std::vector<std::string> roots = Roots();
        for (char letter = 'Y'; letter > 'B'; --letter) {
            bool listed = false;
            for (const std::string& root : roots) listed = listed || root[0] == letter;
            if (!listed) return letter;
        }
        return '\0';
    }

    B backend_;
};
TYPED_TEST_SUITE(DeviceIoContract, Backends, BackendNames);

TYPED_TEST(DeviceIoContract, OpeningWhatIsNotThereGivesTheInvalidHandle) {
    const char letter = this->MissingLetter();
    ASSERT_NE(letter, '\0');
    const std::string volume = std::string("\\\\.\\") + letter + ':';
    for (const std::string& name : {std::string("\\\\.\\USBSCAN999"), volume, std::string()}) {
        SCOPED_TRACE(name);
        EXPECT_EQ(this->io().OpenDevice(name.c_str()), InvalidHandle());
    }
}

TYPED_TEST(DeviceIoContract, DriveListIsFilledOnlyWhenItFitsWithItsFinalTerminator) {
    platform::DeviceIo& io = this->io();
    const std::uint32_t needed = io.GetLogicalDriveStrings(0, nullptr);
    ASSERT_GE(needed, 5u) << "at least one root and the final terminator";
    EXPECT_EQ((needed - 1) % 4, 0u) << "each root is \"X:\\\" and its terminator";

    for (const std::uint32_t size : {needed - 1, 1u}) {
        SCOPED_TRACE(size);
        std::string small(size, '#');
        EXPECT_EQ(io.GetLogicalDriveStrings(size, small.data()), needed);
        EXPECT_EQ(small, std::string(size, '#')) << "nothing filled in";
    }

    std::string roomy(needed + 8, '#');
    ASSERT_EQ(io.GetLogicalDriveStrings(needed + 8, roomy.data()), needed - 1);
    EXPECT_EQ(roomy[needed - 2], '\0');
    EXPECT_EQ(roomy[needed - 1], '\0') << "the list ends with an empty entry";
    EXPECT_EQ(roomy.substr(needed), std::string(8, '#')) << "nothing beyond the list";
}

TYPED_TEST(DeviceIoContract, ListedRootsHaveATypeAndOthersHaveNoRootDirectory) {
    const std::vector<std::string> roots = this->Roots();
    ASSERT_FALSE(roots.empty());
    for (const std::string& root : roots) {
        SCOPED_TRACE(root);
        EXPECT_EQ(root.size(), 3u);
        EXPECT_EQ(root.substr(1), ":\\");
        EXPECT_NE(this->io().GetDriveType(root.c_str()), platform::kDriveNoRootDir);
        const std::uint32_t type = this->io().GetDriveType(root.c_str());
        EXPECT_NE(type, platform::kDriveUnknown);
        // The letter in either case names the same root.
        const std::string lower = std::string(1, static_cast<char>(root[0] - 'A' + 'a')) + ":\\";
        EXPECT_EQ(this->io().GetDriveType(lower.c_str()), type);
    }
    const char letter = this->MissingLetter();
    ASSERT_NE(letter, '\0');
    const std::string missing = std::string(1, letter) + ":\\";
    EXPECT_EQ(this->io().GetDriveType(missing.c_str()), platform::kDriveNoRootDir) << missing;
}

TYPED_TEST(DeviceIoContract, CallsOnAHandleThatIsNoDeviceFailAndMoveNothing) {
    platform::DeviceIo& io = this->io();
    for (const Handle h : {Handle{nullptr}, InvalidHandle()}) {
        SCOPED_TRACE(h);
        char buf[16] = {};
        std::uint32_t done = 99;
        EXPECT_FALSE(io.ReadFile(h, buf, sizeof buf, &done));
        EXPECT_EQ(done, 0u);
        done = 99;
        EXPECT_FALSE(io.WriteFile(h, buf, sizeof buf, &done));
        EXPECT_EQ(done, 0u);
        std::uint32_t returned = 99;
        platform::DeviceDescriptor descriptor{};
        EXPECT_FALSE(io.DeviceIoControl(h, platform::kIoctlGetDeviceDescriptor, nullptr, 0,
                                        &descriptor, sizeof descriptor, &returned));
        EXPECT_EQ(returned, 0u);
    }
}

}  // namespace
}  // namespace contract
