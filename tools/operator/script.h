// The operator's script lines: a verb and its arguments, with optional time limits.
#pragma once

#include <optional>
#include <string>
#include <utility>

namespace op {

// Splits off the first word: ("click Get Version") -> ("click", "Get Version"). Blanks around
// both parts are dropped.
std::pair<std::string, std::string> SplitFirstWord(const std::string& line);

// A trailing time in milliseconds: "Update FW Ok. 20000" -> ("Update FW Ok.", 20000). The last
// word counts as a time only when it is all digits and something comes before it, so a lone
// number stays the text.
std::pair<std::string, unsigned long> SplitTrailingMs(const std::string& args,
                                                      unsigned long fallback);

// A whole argument as milliseconds, `fallback` when empty; nothing when it is not a number.
std::optional<unsigned long> ParseMs(const std::string& args, unsigned long fallback);

// Quotes one argument for a Windows command line so that the program's argument splitting gives
// it back unchanged.
std::string QuoteArgument(const std::string& arg);

}  // namespace op
