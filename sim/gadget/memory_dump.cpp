#include "sim/gadget/memory_dump.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <vector>

#include "sim/gadget/unique_fd.h"
#include "sim/scanner.h"

namespace gadget {
namespace {

constexpr std::uint32_t kChunk = 64 * 1024;

bool WriteWhole(int fd, const std::uint8_t* data, std::size_t size) {
    while (size != 0) {
        const ssize_t n = ::write(fd, data, size);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        data += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

std::string Folder(const std::string& path) {
    const auto slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

}  // namespace

bool DumpMemory(sim::Scanner& scanner, const std::string& path, std::string* error) {
    // An exclusive create never opens what another program put at the name.
    std::string temp;
    UniqueFd fd;
    for (int attempt = 0; attempt < 100 && !fd.Valid(); ++attempt) {
        temp = path + ".tmp" + std::to_string(getpid()) + "." + std::to_string(attempt);
        fd = UniqueFd(
            ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644));
        if (!fd.Valid() && errno != EEXIST) break;
    }
    if (!fd.Valid()) {
        *error = "cannot create a file beside " + path + ": " + std::strerror(errno);
        return false;
    }
    const sim::FirmwareModel& model = scanner.Model();
    std::vector<std::uint8_t> chunk(kChunk);
    bool ok = true;
    const std::uint32_t size = scanner.MemorySize();
    for (std::uint64_t address = 0; ok && address < size; address += kChunk) {
        const auto count = static_cast<std::uint32_t>(
            size - address < kChunk ? size - address : std::uint64_t{kChunk});
        for (std::uint32_t i = 0; i < count; ++i)
            chunk[i] = model.MemoryAt(static_cast<std::uint32_t>(address + i));
        ok = WriteWhole(fd.Get(), chunk.data(), count);
    }
    if (ok) ok = ::fsync(fd.Get()) == 0;
    const int closed = ::close(fd.Release());
    if (ok) ok = closed == 0;
    if (ok) ok = ::rename(temp.c_str(), path.c_str()) == 0;
    if (!ok) {
        *error = "cannot write " + path + ": " + std::strerror(errno);
        ::unlink(temp.c_str());
        return false;
    }
    // The rename is the commit point; a folder that cannot be synced keeps the new dump.
    const UniqueFd folder(::open(Folder(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (folder.Valid()) ::fsync(folder.Get());
    return true;
}

}  // namespace gadget
