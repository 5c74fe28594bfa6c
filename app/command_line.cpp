#include "app/command_line.h"

namespace app {
namespace {

// Spaces and every control character (codes 1..31, and 0 should one be embedded) separate words;
// bytes above 127 belong to words.
bool IsSeparator(char c) {
    return static_cast<unsigned char>(c) <= ' ';
}

}  // namespace

std::vector<std::string> SplitArguments(std::string_view commandLine) {
    std::vector<std::string> words;
    std::size_t i = 0;
    const std::size_t n = commandLine.size();
    while (i < n) {
        while (i < n && IsSeparator(commandLine[i])) ++i;
        if (i >= n) break;
        std::string word;
        bool quoted = false;
        while (i < n && (quoted || !IsSeparator(commandLine[i]))) {
            char c = commandLine[i++];
            if (c == '"') {
                quoted = !quoted;
            } else {
                word.push_back(c);
            }
        }
        if (!word.empty()) words.push_back(std::move(word));
    }
    return words;
}

std::optional<std::string> FirstArgument(std::string_view commandLine) {
    std::vector<std::string> words = SplitArguments(commandLine);
    if (words.size() < 2) return std::nullopt;
    return std::move(words[1]);
}

}  // namespace app
