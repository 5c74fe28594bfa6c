// INI (profile) files as WritePrivateProfileStringA writes them: single-byte text, lines ending
// in CR LF, sections "[name]" and lines "key=value". Section and key names match without regard
// to case or surrounding blanks.
#pragma once

#include <string>

#include "platform/system.h"

namespace platform::profile {

// The text of a profile file after one write. `key` null removes the whole section; `value` null
// removes the key; otherwise the key's value is replaced (the key keeps its spelling), or the key
// is added after the section's last non-blank line, or the section is appended at the end.
// Every other line is kept; all lines come out ending in CR LF.
std::string UpdateProfileText(const std::string& text, const char* section, const char* key,
                              const char* value);

// Reads `path` through `sys` (a missing file counts as empty), applies UpdateProfileText and puts
// the new text in its place: written to a new file beside it, flushed, and moved over it in one
// step, so that a reader sees the old text or the new, and a failure leaves the file as it was.
// The new file keeps the old one's mode. False when `section` or `path` is null, or when the file
// exists but cannot be opened for reading and writing (a folder, a link, no permission) or read,
// or the new text cannot be written or moved (a missing folder, no permission).
bool WriteProfileString(platform::System& sys, const char* section, const char* key,
                        const char* value, const char* path);

}  // namespace platform::profile
