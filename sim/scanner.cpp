#include "sim/scanner.h"

#include <cstdlib>

#include "platform/platform.h"

namespace sim {
namespace {

std::uint64_t PlatformNow(void*) {
    return platform::Sys().TickCount();
}

}  // namespace

void Scanner::FreeDeleter::operator()(std::uint8_t* p) const {
    std::free(p);
}

Scanner::Scanner(const ModelConfig& config, std::uint32_t memorySize) {
    // calloc: large images cost nothing until touched; the model keeps them as a difference
    // from its pattern, so zero is the right start.
    if (memorySize != 0) memory_.reset(static_cast<std::uint8_t*>(std::calloc(memorySize, 1)));
    model_.config = config;
    model_.Init(memory_.get(), memory_ ? memorySize : 0, ModelClock{&PlatformNow, nullptr});
    bot_.Init(&model_);
}

std::vector<std::uint8_t> Scanner::ReadMemory(std::uint32_t address, std::uint32_t count) const {
    std::vector<std::uint8_t> bytes(count);
    for (std::uint32_t i = 0; i < count; ++i) {
        const std::uint64_t a = std::uint64_t{address} + i;
        bytes[i] = a < model_.MemorySize() ? model_.MemoryAt(static_cast<std::uint32_t>(a)) : 0;
    }
    return bytes;
}

void Scanner::WriteMemory(std::uint32_t address, const std::vector<std::uint8_t>& bytes) {
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        const std::uint64_t a = std::uint64_t{address} + i;
        if (a >= model_.MemorySize()) break;
        model_.SetMemoryAt(static_cast<std::uint32_t>(a), bytes[i]);
    }
}

ActiveFaults Scanner::MatchFaults(const std::uint8_t* cdb) {
    ActiveFaults active = plan_.Match(cdb);
    if (active.Has(FaultKind::kVanish)) unplugged_ = true;
    return active;
}

}  // namespace sim
