#include "tests/contract/backends.h"

#include <fstream>
#include <iterator>

#ifdef _WIN32
#include "platform/win32/windows_api.h"
#else
#include <unistd.h>
#endif

namespace contract {
namespace {

unsigned long ProcessId() {
#ifdef _WIN32
    return ::GetCurrentProcessId();
#else
    return static_cast<unsigned long>(::getpid());
#endif
}

}  // namespace

std::string UniqueName(const std::string& base) {
    static unsigned serial = 0;
    return base + "_" + std::to_string(ProcessId()) + "_" + std::to_string(++serial);
}

TempFolder::TempFolder()
    : path_(std::filesystem::temp_directory_path() / UniqueName("kv_contract")) {
    std::filesystem::remove_all(path_);
    std::filesystem::create_directories(path_);
}

TempFolder::~TempFolder() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

std::string ReadAll(const std::filesystem::path& p) {
    std::ifstream in(p, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

}  // namespace contract
