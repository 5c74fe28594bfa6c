// Form-logic tests with a simulated scanner attached, as still-image device 0 or as the
// removable disk E:, and helpers that read the application's vendor calls back from the wire log.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/sim/sim_device_io.h"
#include "sim/scanner.h"
#include "tests/app/app_fixture.h"

namespace apptest {

enum class Attach { kStillImage, kDisk };

// One data call of the application as the device saw it: a get (its first transfer) or a set.
struct AppCall {
    bool set = false;
    std::uint8_t selector = 0;
    std::uint32_t length = 0;
    std::vector<std::uint8_t> data;  // what a set carried

    // "get 5 16", "set 4 4 00004000": 4-byte sets show the bytes that reached the device.
    std::string Text() const;
};

class DeviceTest : public AppTest {
  protected:
    void SetUp() override;
    void TearDown() override;
    void Attach(apptest::Attach how);

    // The data calls the scanner received since the last ClearWire(), in order.
    std::vector<AppCall> Calls() const;
    std::vector<std::string> CallTexts() const;
    void ClearWire() { scanner_.Log().Clear(); }

    // Writes a file of `size` bytes whose content tells offsets apart; returns its bytes.
    std::vector<std::uint8_t> MakeImage(const std::string& name, std::size_t size);

    sim::Scanner scanner_;
    sim::SimDeviceIo io_;
};

std::string Hex(const std::vector<std::uint8_t>& bytes);

using Strings = std::vector<std::string>;

// A device address as the wire-log text writes it: eight hexadecimal digits.
std::string Address(std::uint32_t a);

}  // namespace apptest
