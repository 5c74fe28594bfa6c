#include "app/version_text.h"

namespace app {

std::string VersionValue(const char* bytes, std::size_t n) {
    std::string text;
    for (std::size_t i = 0; i < n && bytes[i] != '\0'; ++i) {
        const auto c = static_cast<unsigned char>(bytes[i]);
        const bool unsafe = c < 0x20 || c == 0x7F || c == '[' || c == ']';
        text.push_back(unsafe ? '?' : bytes[i]);
    }
    return text;
}

}  // namespace app
