// The folder that holds the program file.
#pragma once

#include <optional>
#include <string>

namespace app {

// The program's full path up to and including its last '\\' or '/', from the platform's
// GetModuleFileName. An empty text when the path has no separator; nullopt when the platform
// cannot give the path.
std::optional<std::string> ProgramFolder();

}  // namespace app
