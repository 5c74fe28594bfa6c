#include "platform/profile/profile_file.h"

#include <cstdio>
#include <string_view>
#include <vector>

namespace platform::profile {
namespace {

std::string_view Trim(std::string_view s) {
    const char* blanks = " \t";
    const auto first = s.find_first_not_of(blanks);
    if (first == std::string_view::npos) return {};
    const auto last = s.find_last_not_of(blanks);
    return s.substr(first, last - first + 1);
}

bool SameName(std::string_view a, std::string_view b) {
    a = Trim(a);
    b = Trim(b);
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        char x = a[i], y = b[i];
        if (x >= 'a' && x <= 'z') x = static_cast<char>(x - 'a' + 'A');
        if (y >= 'a' && y <= 'z') y = static_cast<char>(y - 'a' + 'A');
        if (x != y) return false;
    }
    return true;
}

std::vector<std::string> SplitLines(const std::string& text) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find('\n', start);
        std::size_t next = end == std::string::npos ? text.size() : end + 1;
        if (end == std::string::npos) end = text.size();
        std::size_t len = end - start;
        if (len > 0 && text[start + len - 1] == '\r') --len;
        lines.push_back(text.substr(start, len));
        start = next;
    }
    return lines;
}

// The section name of a "[name]" line, or false.
bool SectionName(const std::string& line, std::string_view* name) {
    std::string_view t = Trim(line);
    if (t.empty() || t.front() != '[') return false;
    const auto close = t.find(']');
    if (close == std::string_view::npos) return false;
    *name = t.substr(1, close - 1);
    return true;
}

// The key of a "key=value" line, or false.
bool KeyName(const std::string& line, std::string_view* name) {
    const auto eq = line.find('=');
    if (eq == std::string::npos) return false;
    *name = std::string_view(line).substr(0, eq);
    return true;
}

}  // namespace

std::string UpdateProfileText(const std::string& text, const char* section, const char* key,
                              const char* value) {
    std::vector<std::string> lines = SplitLines(text);

    // Locate the section: its header line and the end of its body.
    std::size_t header = lines.size();
    for (std::size_t i = 0; i < lines.size(); ++i) {
        std::string_view name;
        if (SectionName(lines[i], &name) && SameName(name, section)) {
            header = i;
            break;
        }
    }
    std::size_t bodyEnd = lines.size();
    if (header < lines.size()) {
        for (std::size_t i = header + 1; i < lines.size(); ++i) {
            std::string_view name;
            if (SectionName(lines[i], &name)) {
                bodyEnd = i;
                break;
            }
        }
    }

    if (header == lines.size()) {
        if (key != nullptr && value != nullptr) {
            lines.push_back("[" + std::string(section) + "]");
            lines.push_back(std::string(key) + "=" + value);
        }
    } else if (key == nullptr) {
        lines.erase(lines.begin() + static_cast<std::ptrdiff_t>(header),
                    lines.begin() + static_cast<std::ptrdiff_t>(bodyEnd));
    } else {
        std::size_t found = bodyEnd;
        std::size_t lastFilled = header;
        for (std::size_t i = header + 1; i < bodyEnd; ++i) {
            if (!Trim(lines[i]).empty()) lastFilled = i;
            std::string_view name;
            if (found == bodyEnd && KeyName(lines[i], &name) && SameName(name, key)) found = i;
        }
        if (found != bodyEnd) {
            if (value == nullptr) {
                lines.erase(lines.begin() + static_cast<std::ptrdiff_t>(found));
            } else {
                std::string_view name;
                KeyName(lines[found], &name);
                lines[found] = std::string(Trim(name)) + "=" + value;
            }
        } else if (value != nullptr) {
            lines.insert(lines.begin() + static_cast<std::ptrdiff_t>(lastFilled + 1),
                         std::string(key) + "=" + value);
        }
    }

    std::string out;
    for (const auto& line : lines) {
        out += line;
        out += "\r\n";
    }
    return out;
}

bool WriteProfileString(const char* section, const char* key, const char* value, const char* path) {
    if (section == nullptr || path == nullptr || path[0] == '\0') return false;

    std::string text;
    if (std::FILE* in = std::fopen(path, "rb")) {
        char chunk[4096];
        std::size_t n;
        while ((n = std::fread(chunk, 1, sizeof chunk, in)) > 0) text.append(chunk, n);
        const bool failed = std::ferror(in) != 0;
        std::fclose(in);
        if (failed) return false;  // e.g. the path names a folder
    }

    const std::string updated = UpdateProfileText(text, section, key, value);
    std::FILE* out = std::fopen(path, "wb");
    if (out == nullptr) return false;
    const bool written = std::fwrite(updated.data(), 1, updated.size(), out) == updated.size();
    const bool closed = std::fclose(out) == 0;
    return written && closed;
}

}  // namespace platform::profile
