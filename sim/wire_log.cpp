#include "sim/wire_log.h"

#include <cstdio>
#include <cstring>

#include "sim/device_protocol.h"

namespace sim {

bool WireCommand::IsVendor() const {
    return cdb[0] == kOpVendor;
}

void WireLog::Clear() {
    commands_.clear();
    phases_.clear();
}

std::vector<std::pair<std::uint8_t, std::uint8_t>> WireLog::CommandPairs() const {
    std::vector<std::pair<std::uint8_t, std::uint8_t>> pairs;
    for (const auto& c : commands_)
        if (c.IsVendor()) pairs.emplace_back(c.CmdByte(0), c.CmdByte(1));
    return pairs;
}

std::string WireLog::PairsText() const {
    std::string text;
    for (const auto& [first, second] : CommandPairs()) {
        char item[8];
        std::snprintf(item, sizeof item, "%02X%02X", first, second);
        if (!text.empty()) text += ' ';
        text += item;
    }
    return text;
}

std::string WireLog::PhasesText() const {
    std::string text;
    for (const auto& p : phases_) {
        const char* name = "?";
        switch (p.kind) {
            case WirePhaseKind::kCbw:
                name = "CBW";
                break;
            case WirePhaseKind::kDataOut:
                name = "OUT";
                break;
            case WirePhaseKind::kDataIn:
                name = "IN";
                break;
            case WirePhaseKind::kCsw:
                name = "CSW";
                break;
            case WirePhaseKind::kStray:
                name = "STRAY";
                break;
            case WirePhaseKind::kClearHaltIn:
                name = "CLEAR-IN";
                break;
            case WirePhaseKind::kClearHaltOut:
                name = "CLEAR-OUT";
                break;
            case WirePhaseKind::kReset:
                name = "RESET";
                break;
        }
        if (!text.empty()) text += ' ';
        text += name;
        if (!p.ok) text += "!";
    }
    return text;
}

int WireLog::BeginCommand(WirePath path, const std::uint8_t* cdb, bool deviceToHost,
                          std::uint32_t length) {
    if (!enabled_) return -1;
    WireCommand c;
    c.path = path;
    std::memcpy(c.cdb.data(), cdb, c.cdb.size());
    c.deviceToHost = deviceToHost;
    c.length = length;
    commands_.push_back(std::move(c));
    return static_cast<int>(commands_.size() - 1);
}

void WireLog::AddData(int command, const void* data, std::uint32_t count) {
    if (!enabled_ || command < 0 || static_cast<std::size_t>(command) >= commands_.size()) return;
    const auto* p = static_cast<const std::uint8_t*>(data);
    if (count != 0) commands_[static_cast<std::size_t>(command)].data.assign(p, p + count);
}

void WireLog::SetStatus(int command, std::uint8_t status) {
    if (!enabled_ || command < 0 || static_cast<std::size_t>(command) >= commands_.size()) return;
    commands_[static_cast<std::size_t>(command)].status = status;
}

void WireLog::AddPhase(WirePhaseKind kind, bool ok, std::uint32_t requested, std::uint32_t moved,
                       const void* bytes, std::uint32_t count) {
    if (!enabled_) return;
    WirePhase p;
    p.kind = kind;
    p.ok = ok;
    p.requested = requested;
    p.moved = moved;
    const auto* b = static_cast<const std::uint8_t*>(bytes);
    if (b != nullptr && count != 0) p.bytes.assign(b, b + count);
    phases_.push_back(std::move(p));
}

}  // namespace sim
