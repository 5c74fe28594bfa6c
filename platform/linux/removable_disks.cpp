#include "platform/linux/removable_disks.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <system_error>

namespace platform::linux_os {
namespace {

// The first line of a sysfs attribute; empty when it cannot be read.
std::string ReadAttribute(const std::filesystem::path& path) {
    std::ifstream in(path);
    std::string line;
    if (in) std::getline(in, line);
    return line;
}

}  // namespace

std::string DiskObjectKey(const std::string& name, const std::vector<RemovableDisk>& disks) {
    const std::size_t n = name.size();
    if (n < 2 || name[n - 2] != '_') return name;
    for (const RemovableDisk& disk : disks) {
        if (disk.letter == name[n - 1]) return name.substr(0, n - 1) + disk.name;
    }
    return name;
}

bool DiskNameBefore(const std::string& a, const std::string& b) {
    if (a.size() != b.size()) return a.size() < b.size();
    return a < b;
}

std::vector<RemovableDisk> ListRemovableDisks(const std::string& classBlockDir) {
    std::vector<std::string> names;
    std::error_code ec;
    for (std::filesystem::directory_iterator it(classBlockDir, ec), end; !ec && it != end;
         it.increment(ec)) {
        const std::string name = it->path().filename().string();
        if (name.size() < 3 || name.compare(0, 2, "sd") != 0) continue;
        std::error_code partitionEc;
        if (std::filesystem::exists(it->path() / "partition", partitionEc)) continue;
        if (ReadAttribute(it->path() / "removable") != "1") continue;
        names.push_back(name);
    }
    std::sort(names.begin(), names.end(), DiskNameBefore);

    std::vector<RemovableDisk> disks;
    char letter = kFirstDiskLetter;
    for (const std::string& name : names) {
        if (letter > 'Z') break;
        disks.push_back(RemovableDisk{letter++, name, "/dev/" + name});
    }
    return disks;
}

}  // namespace platform::linux_os
