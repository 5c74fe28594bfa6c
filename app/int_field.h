// Integer conversion of the window's edit fields (address and length of the flash read-back).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace app {

// Converts `text` as a 32-bit integer: leading blanks skipped, then either decimal digits with an
// optional "-" or "+", or hexadecimal digits after "$", "x", "X", "0x" or "0X" with no sign. A
// hexadecimal value is the 32-bit pattern (so "$FFFFFFFF" is -1). Anything else (empty text,
// trailing characters or blanks, a decimal outside the signed 32-bit range, a hexadecimal value
// above FFFFFFFF) gives nullopt. Pure; never throws.
std::optional<std::int32_t> ParseInt32(std::string_view text);

// ParseInt32, throwing app::Error("'<text>' is not a valid integer value") on failure.
std::int32_t FieldToInt(const std::string& text);

}  // namespace app
