#include "sim/lie_text.h"

#include <charconv>
#include <cstdint>

namespace sim {
namespace {

constexpr std::uint32_t kWholeCswLength = 13;

struct LieKind {
    const char* name;
    Fault (*make)(std::uint32_t count);
    std::uint32_t defaultCount;
    bool takesCount;
    bool zeroCount = false;  // the count is an offset, and 0 is one
};

const LieKind kKinds[] = {
    {"csw-short-refused", Fault::CswShortRefused, kWholeCswLength - 1, true},
    {"residue", Fault::Residue, 0, true},
    {"data-short", Fault::DataShortPassed, 0, true},
    {"csw-for-data", [](std::uint32_t) { return Fault::CswForData(); }, 0, false},
    {"first-transfer-short", Fault::FirstTransferShort, 0, true},
    {"transfer-length-short", Fault::TransferLengthShort, 0, true},
    {"data-fails", [](std::uint32_t) { return Fault::DataFails(); }, 0, false},
    {"refused", [](std::uint32_t) { return Fault::Status(1, 0x05, 0x24); }, 0, false},
    {"stale-tag", [](std::uint32_t) { return Fault::StaleTag(); }, 0, false},
    {"csw-fails", [](std::uint32_t) { return Fault::CswReadFails(); }, 0, false},
    {"vanish", [](std::uint32_t) { return Fault::Vanish(); }, 0, false},
    {"corrupt-write", Fault::WriteCorrupts, 0, true, true},
};

bool ParseNumber(const std::string& text, int base, std::uint32_t* value) {
    if (text.empty()) return false;
    const char* end = text.data() + text.size();
    const auto [ptr, ec] = std::from_chars(text.data(), end, *value, base);
    return ec == std::errc() && ptr == end;
}

std::string KindList() {
    std::string list;
    for (const LieKind& k : kKinds) list += std::string(list.empty() ? "" : ", ") + k.name;
    return list;
}

// CMD0-CMD1-SELECTOR[#N] into `fault`.
bool ParseCommandPlace(const std::string& place, Fault* fault) {
    std::string bytes = place;
    std::uint32_t nth = 1;
    if (const auto hash = place.find('#'); hash != std::string::npos) {
        bytes = place.substr(0, hash);
        if (!ParseNumber(place.substr(hash + 1), 10, &nth) || nth == 0) return false;
    }
    std::uint32_t value[3];
    std::size_t start = 0;
    for (int i = 0; i < 3; ++i) {
        const auto dash = i < 2 ? bytes.find('-', start) : bytes.size();
        if (dash == std::string::npos) return false;
        if (!ParseNumber(bytes.substr(start, dash - start), 16, &value[i]) || value[i] > 0xFF)
            return false;
        start = dash + 1;
    }
    fault
        ->OnCommand(static_cast<std::uint8_t>(value[0]), static_cast<std::uint8_t>(value[1]),
                    static_cast<std::uint8_t>(value[2]))
        .Skip(nth - 1);
    return true;
}

}  // namespace

std::optional<Fault> ParseLie(const std::string& text, std::string* error) {
    std::string head = text;
    std::string place;
    if (const auto at = text.find('@'); at != std::string::npos) {
        head = text.substr(0, at);
        place = text.substr(at + 1);
    }
    std::string name = head;
    std::string countText;
    bool hasCount = false;
    if (const auto eq = head.find('='); eq != std::string::npos) {
        name = head.substr(0, eq);
        countText = head.substr(eq + 1);
        hasCount = true;
    }

    const LieKind* kind = nullptr;
    for (const LieKind& k : kKinds)
        if (name == k.name) kind = &k;
    if (kind == nullptr) {
        *error = "unknown lie '" + name + "' (known: " + KindList() + ")";
        return std::nullopt;
    }
    std::uint32_t count = kind->defaultCount;
    if (hasCount) {
        if (!kind->takesCount) {
            *error = std::string(kind->name) + " takes no count";
            return std::nullopt;
        }
        if (!ParseNumber(countText, 10, &count) || (count == 0 && !kind->zeroCount) ||
            (kind->make == Fault::CswShortRefused && count >= kWholeCswLength)) {
            *error = "'" + countText + "' is not a valid count for " + kind->name;
            return std::nullopt;
        }
    }
    Fault fault = kind->make(count);
    if (place.empty()) return fault;
    std::uint32_t exchange = 0;
    if (ParseNumber(place, 10, &exchange)) {
        fault.OnExchange(exchange);
    } else if (!ParseCommandPlace(place, &fault)) {
        *error = "'" + place +
                 "' is no place (an exchange number, or CMD0-CMD1-SELECTOR[#N] in hexadecimal)";
        return std::nullopt;
    }
    return fault;
}

}  // namespace sim
