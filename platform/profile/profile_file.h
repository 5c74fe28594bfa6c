// INI (profile) files as WritePrivateProfileStringA writes them: single-byte text, lines ending
// in CR LF, sections "[name]" and lines "key=value". Section and key names match without regard
// to case or surrounding blanks.
#pragma once

#include <string>

namespace platform::profile {

// The text of a profile file after one write. `key` null removes the whole section; `value` null
// removes the key; otherwise the key's value is replaced (the key keeps its spelling), or the key
// is added after the section's last non-blank line, or the section is appended at the end.
// Every other line is kept; all lines come out ending in CR LF.
std::string UpdateProfileText(const std::string& text, const char* section, const char* key,
                              const char* value);

// Reads `path` (a missing file counts as empty), applies UpdateProfileText and writes the file
// anew. False when `section` or `path` is null or the file cannot be read or written (a folder,
// a missing folder, no permission).
bool WriteProfileString(const char* section, const char* key, const char* value, const char* path);

}  // namespace platform::profile
