// The version text as result2.ini and the version box carry it.
#pragma once

#include <cstddef>
#include <string>

namespace app {

// The device's version characters up to the first zero byte (or all `n`), with every byte that
// could break the INI line or start a section (control characters, DEL, '[' and ']') replaced
// by '?'. Other bytes pass unchanged.
std::string VersionValue(const char* bytes, std::size_t n);

}  // namespace app
