// Splitting of the program's command line into arguments (the start-up modes use the first one).
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace app {

// Splits a command line into its words, program name first. Spaces, tabs and other control
// characters separate words; a stretch in double quotes belongs to one word and loses its quotes
// (an unclosed quote runs to the end). A word that comes out empty ("") is dropped. Pure.
std::vector<std::string> SplitArguments(std::string_view commandLine);

// The first argument after the program name, or nullopt when there is none.
std::optional<std::string> FirstArgument(std::string_view commandLine);

}  // namespace app
