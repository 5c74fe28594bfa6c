#include "app/program_folder.h"

#include <cstdint>

#include "platform/platform.h"

namespace app {

std::optional<std::string> ProgramFolder() {
    // Grow the buffer until the path fits: a result equal to the buffer's size means it was cut.
    std::string path(260, '\0');
    for (;;) {
        const auto size = static_cast<std::uint32_t>(path.size());
        const std::uint32_t n = platform::Sys().GetModuleFileName(path.data(), size);
        if (n == 0) return std::nullopt;
        if (n < size) {
            path.resize(n);
            break;
        }
        // No Windows path is this long; a cut path would name the wrong folder.
        if (size >= 32768) return std::nullopt;
        path.assign(path.size() * 2, '\0');
    }
    const std::size_t sep = path.find_last_of("\\/");
    if (sep == std::string::npos) return std::string();
    path.resize(sep + 1);
    return path;
}

}  // namespace app
