// pattern-check.exe FILE ADDRESS LENGTH: checks that FILE holds LENGTH bytes of the simulated
// scanner's untouched memory from device address ADDRESS (numbers decimal or 0x hex), as a flash
// read-back of kelvane-sim.exe must give them. Prints one line; exit status 0 when they match.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "sim/firmware_model.h"

namespace {

bool ParseNumber(const char* text, unsigned long long& value) {
    char* end = nullptr;
    value = std::strtoull(text, &end, 0);
    return end != text && *end == '\0';
}

}  // namespace

int main(int argc, char** argv) {
    unsigned long long address = 0;
    unsigned long long length = 0;
    if (argc != 4 || !ParseNumber(argv[2], address) || !ParseNumber(argv[3], length) ||
        address + length > 0x100000000ull) {
        std::fprintf(stderr, "usage: pattern-check.exe FILE ADDRESS LENGTH\n");
        return 2;
    }
    std::FILE* file = std::fopen(argv[1], "rb");
    if (file == nullptr) {
        std::printf("pattern: cannot open %s\n", argv[1]);
        return 1;
    }
    unsigned long long offset = 0;
    int c;
    int result = 0;
    while ((c = std::fgetc(file)) != EOF) {
        if (offset >= length) {
            std::printf("pattern: more than %llu bytes\n", length);
            result = 1;
            break;
        }
        const unsigned want =
            sim::FirmwareModel::PatternByte(static_cast<std::uint32_t>(address + offset));
        if (static_cast<unsigned>(c) != want) {
            std::printf("pattern: byte %llu (address 0x%llX) is 0x%02X, not 0x%02X\n", offset,
                        address + offset, static_cast<unsigned>(c), want);
            result = 1;
            break;
        }
        ++offset;
    }
    std::fclose(file);
    if (result == 0 && offset != length) {
        std::printf("pattern: %llu bytes, not %llu\n", offset, length);
        result = 1;
    }
    if (result == 0) std::printf("pattern: %llu bytes match\n", length);
    return result;
}
