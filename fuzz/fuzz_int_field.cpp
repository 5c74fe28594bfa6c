// The conversion of the address and length fields: never crashes, agrees with a small reference
// model written independently (on std::from_chars), and what it accepts survives being written
// out again in decimal and in hexadecimal and read back.
#include <charconv>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <string_view>

#include "app/int_field.h"
#include "app/unit1.h"
#include "fuzz/fuzz_input.h"

namespace {

std::optional<std::int32_t> Reference(std::string_view text) {
    const std::size_t first = text.find_first_not_of(" \t");
    if (first == std::string_view::npos) return std::nullopt;
    text.remove_prefix(first);

    std::string_view digits;
    int base = 10;
    for (std::string_view prefix : {"0x", "0X", "$", "x", "X"}) {
        if (text.substr(0, prefix.size()) == prefix) {
            digits = text.substr(prefix.size());
            base = 16;
            break;
        }
    }
    if (base == 16) {
        // from_chars would take a sign; the field does not.
        if (digits.empty() || digits[0] == '-' || digits[0] == '+') return std::nullopt;
        std::uint64_t value = 0;
        const auto [end, ec] =
            std::from_chars(digits.data(), digits.data() + digits.size(), value, 16);
        if (ec != std::errc() || end != digits.data() + digits.size() || value > 0xFFFFFFFFu)
            return std::nullopt;
        return static_cast<std::int32_t>(static_cast<std::uint32_t>(value));
    }
    bool negative = false;
    if (!text.empty() && (text[0] == '+' || text[0] == '-')) {
        negative = text[0] == '-';
        text.remove_prefix(1);
    }
    // One sign only, and digits must follow it.
    if (text.empty() || text[0] < '0' || text[0] > '9') return std::nullopt;
    std::int64_t magnitude = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), magnitude, 10);
    if (ec != std::errc() || end != text.data() + text.size()) return std::nullopt;
    const std::int64_t value = negative ? -magnitude : magnitude;
    if (value < INT32_MIN || value > INT32_MAX) return std::nullopt;
    return static_cast<std::int32_t>(value);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    const std::optional<std::int32_t> value = app::ParseInt32(text);
    const std::optional<std::int32_t> expected = Reference(text);
    FUZZ_CHECK(value == expected);

    // The throwing form agrees and names the text.
    try {
        const std::int32_t v = app::FieldToInt(text);
        FUZZ_CHECK(value && v == *value);
    } catch (const app::Error& e) {
        FUZZ_CHECK(!value);
        // what() ends at the first NUL, so only texts without one compare whole.
        if (text.find('\0') == std::string::npos)
            FUZZ_CHECK(std::string(e.what()) == "'" + text + "' is not a valid integer value");
    }

    if (value) {
        const auto pattern = static_cast<std::uint32_t>(*value);
        FUZZ_CHECK(app::ParseInt32(std::to_string(*value)) == value);
        char hex[16];
        for (const char* format : {"$%X", "0x%x", "x%08X", "  0X%X"}) {
            std::snprintf(hex, sizeof hex, format, static_cast<unsigned>(pattern));
            FUZZ_CHECK(app::ParseInt32(hex) == value);
        }
        // Anything after the number spoils it.
        FUZZ_CHECK(!app::ParseInt32(text + " "));
    }
    return 0;
}
