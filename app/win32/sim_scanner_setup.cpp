#include "app/win32/sim_scanner_setup.h"

#include <cstring>
#include <new>

#include "sim/lie_text.h"

namespace app::win32 {
namespace {

struct SimulatedScanner {
    SimulatedScanner() : scanner(SimScannerConfig(), kSimMemorySize) {
        // A demo transfer would otherwise keep a copy of every byte moved.
        scanner.Log().Enable(false);
        io.AddStillImage(kSimStillImageNumber, &scanner.StillImage());
    }
    sim::Scanner scanner;
    sim::SimDeviceIo io;
};

}  // namespace

sim::ModelConfig SimScannerConfig() {
    sim::ModelConfig config;
    config.vendorId = kSimVendorId;
    config.productId = kSimProductId;
    static_assert(sizeof kSimVersion - 1 == sizeof config.version);
    std::memcpy(config.version, kSimVersion, sizeof config.version);
    config.workMs = kSimWorkMs;
    config.patterned = true;
    return config;
}

namespace {

SimulatedScanner& Instance() {
    // Placement into static storage whose destructor never runs (see the header).
    alignas(SimulatedScanner) static unsigned char storage[sizeof(SimulatedScanner)];
    static SimulatedScanner* const instance = new (storage) SimulatedScanner();
    return *instance;
}

}  // namespace

sim::SimDeviceIo& SimulatedScannerIo() {
    return Instance().io;
}

bool ArmSimulatedLie(const char* text, std::string* error) {
    if (text == nullptr || *text == '\0') return true;
    const std::optional<sim::Fault> lie = sim::ParseLie(text, error);
    if (!lie) return false;
    Instance().scanner.Inject(*lie);
    return true;
}

}  // namespace app::win32
