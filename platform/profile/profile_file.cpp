#include "platform/profile/profile_file.h"

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
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

namespace {

// The folder that holds `path`, where its new text is written first.
std::string FolderOf(const std::string& path) {
    const std::size_t slash = path.find_last_of("/\\");
    if (slash == std::string::npos) return ".";
    // A root ("/", "C:\\") keeps its separator.
    if (slash == 0 || path[slash - 1] == ':') return path.substr(0, slash + 1);
    return path.substr(0, slash);
}

// Closes a file handle of `sys` once.
class Closer {
  public:
    Closer(System& sys, Handle h) : sys_(sys), h_(h) {}
    ~Closer() { close(); }
    Closer(const Closer&) = delete;
    Closer& operator=(const Closer&) = delete;
    bool close() {
        return h_ == InvalidHandle() || sys_.CloseHandle(std::exchange(h_, InvalidHandle()));
    }

  private:
    System& sys_;
    Handle h_;
};

// The whole text of the existing file `path`. Opened for writing too: a file that this user may
// not write is not replaced either.
bool ReadExisting(System& sys, const char* path, std::string* text) {
    const Handle h =
        sys.CreateFile(path, kGenericRead | kGenericWrite, kFileShareRead, kOpenExisting);
    if (h == InvalidHandle()) return false;
    Closer closer(sys, h);
    char chunk[4096];
    for (;;) {
        std::uint32_t n = 0;
        if (!sys.ReadFile(h, chunk, sizeof chunk, &n)) return false;
        if (n == 0) break;
        text->append(chunk, n);
    }
    return closer.close();
}

bool WriteNew(System& sys, Handle h, const std::string& text) {
    const char* data = text.data();
    std::size_t left = text.size();
    while (left > 0) {
        std::uint32_t done = 0;
        const auto piece = static_cast<std::uint32_t>(left < (1u << 30) ? left : (1u << 30));
        if (!sys.WriteFile(h, data, piece, &done) || done == 0 || done > piece) return false;
        data += done;
        left -= done;
    }
    return sys.FlushFileBuffers(h);
}

}  // namespace

bool WriteProfileString(System& sys, const char* section, const char* key, const char* value,
                        const char* path) {
    if (section == nullptr || path == nullptr || path[0] == '\0') return false;

    std::string text;
    // Only a file that is not there counts as empty: one that cannot be read would otherwise
    // lose every other section.
    if (sys.GetFileAttributes(path) != kInvalidFileAttributes && !ReadExisting(sys, path, &text))
        return false;
    const std::string updated = UpdateProfileText(text, section, key, value);

    std::string temp;
    const Handle h = sys.CreateTempFile(FolderOf(path).c_str(), "kvr", path, &temp);
    if (h == InvalidHandle()) return false;
    Closer closer(sys, h);
    const bool replaced =
        WriteNew(sys, h, updated) && closer.close() &&
        sys.MoveFileEx(temp.c_str(), path, kMoveFileReplaceExisting | kMoveFileWriteThrough);
    if (!replaced) {
        closer.close();
        sys.DeleteFile(temp.c_str());
    }
    return replaced;
}

}  // namespace platform::profile
