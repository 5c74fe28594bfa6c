#include "tools/operator/script.h"

namespace op {
namespace {

bool IsBlank(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

std::string Trimmed(const std::string& s) {
    std::size_t begin = 0;
    std::size_t end = s.size();
    while (begin < end && IsBlank(s[begin])) ++begin;
    while (end > begin && IsBlank(s[end - 1])) --end;
    return s.substr(begin, end - begin);
}

bool AllDigits(const std::string& s) {
    if (s.empty() || s.size() > 9) return false;
    for (char c : s) {
        if (c < '0' || c > '9') return false;
    }
    return true;
}

}  // namespace

std::pair<std::string, std::string> SplitFirstWord(const std::string& line) {
    const std::string text = Trimmed(line);
    std::size_t end = 0;
    while (end < text.size() && !IsBlank(text[end])) ++end;
    return {text.substr(0, end), Trimmed(text.substr(end))};
}

std::pair<std::string, unsigned long> SplitTrailingMs(const std::string& args,
                                                      unsigned long fallback) {
    const std::string text = Trimmed(args);
    std::size_t start = text.size();
    while (start > 0 && !IsBlank(text[start - 1])) --start;
    const std::string last = text.substr(start);
    const std::string before = Trimmed(text.substr(0, start));
    if (before.empty() || !AllDigits(last)) return {text, fallback};
    return {before, std::stoul(last)};
}

std::optional<unsigned long> ParseMs(const std::string& args, unsigned long fallback) {
    const std::string text = Trimmed(args);
    if (text.empty()) return fallback;
    if (!AllDigits(text)) return std::nullopt;
    return std::stoul(text);
}

std::string QuoteArgument(const std::string& arg) {
    if (!arg.empty() && arg.find_first_of(" \t\n\v\"") == std::string::npos) return arg;
    std::string out = "\"";
    std::size_t backslashes = 0;
    for (char c : arg) {
        if (c == '\\') {
            ++backslashes;
            continue;
        }
        // Backslashes double only where a quote follows them.
        out.append(c == '"' ? backslashes * 2 + 1 : backslashes, '\\');
        backslashes = 0;
        out += c;
    }
    out.append(backslashes * 2, '\\');
    out += '"';
    return out;
}

}  // namespace op
