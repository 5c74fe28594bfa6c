// The scanner's memory image written to a file in one step: a new file beside the target,
// flushed, then renamed over it, so a reader sees the old dump or the whole new one.
#pragma once

#include <string>

namespace sim {
class Scanner;
}

namespace gadget {

bool DumpMemory(sim::Scanner& scanner, const std::string& path, std::string* error);

}  // namespace gadget
