// The scanner that kelvane-sim.exe carries in place of hardware, in one place so that the
// end-to-end tests know what to expect of it: still-image device 0 (\\.\USBSCAN0) with an
// accepted vendor ID, firmware version "1.23", a 32 MiB memory image whose unwritten bytes read
// as sim::FirmwareModel::PatternByte(address), and busy times of a few milliseconds.
#pragma once

#include <cstdint>
#include <string>

#include "platform/sim/sim_device_io.h"
#include "sim/firmware_model.h"
#include "sim/scanner.h"

namespace app::win32 {

inline constexpr int kSimStillImageNumber = 0;
inline constexpr std::uint16_t kSimVendorId = 0x04F9;  // one of the accepted vendor IDs
inline constexpr std::uint16_t kSimProductId = 0x2022;
inline constexpr char kSimVersion[] = "1.23";  // four characters, as the version read gives them
inline constexpr std::uint32_t kSimMemorySize = 32u << 20;
inline constexpr std::uint32_t kSimWorkMs = 5;

sim::ModelConfig SimScannerConfig();

// The simulated device layout with the scanner attached. Built on first use and never
// destroyed: the device table closes its handles through it from a static destructor at exit.
sim::SimDeviceIo& SimulatedScannerIo();

// The environment variable that makes the simulated scanner lie once (see sim/lie_text.h for the
// text it takes). Only kelvane-sim.exe reads it; the program keeps no settings of its own.
inline constexpr char kSimLieVariable[] = "KV_SIM_LIE";

// Arms the lie that `text` describes on the simulated scanner. Null or empty text arms nothing.
// False, with the reason in `error`, when the text describes no lie.
bool ArmSimulatedLie(const char* text, std::string* error);

}  // namespace app::win32
