// The fuzz input read as a stream of decisions. Once it runs out every read gives the caller's
// fallback, so a harness always has an answer and a run always ends in a healthy state.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

// A failed property: libFuzzer records the input that led here.
#define FUZZ_CHECK(cond)                                                                       \
    do {                                                                                       \
        if (!(cond)) {                                                                         \
            std::fprintf(stderr, "%s:%d: property violated: %s\n", __FILE__, __LINE__, #cond); \
            std::abort();                                                                      \
        }                                                                                      \
    } while (0)

namespace fuzz {

class FuzzInput {
  public:
    FuzzInput(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}

    bool Empty() const { return pos_ >= size_; }
    std::size_t Consumed() const { return pos_; }

    std::uint8_t Byte(std::uint8_t fallback) { return Empty() ? fallback : data_[pos_++]; }

    // Little-endian; the bytes that are missing come from `fallback`.
    std::uint32_t U32(std::uint32_t fallback) {
        std::uint32_t v = 0;
        for (int i = 0; i < 4; ++i) {
            const auto fb = static_cast<std::uint8_t>(fallback >> (8 * i));
            v |= std::uint32_t{Byte(fb)} << (8 * i);
        }
        return v;
    }
    std::uint16_t U16(std::uint16_t fallback) {
        const std::uint8_t lo = Byte(static_cast<std::uint8_t>(fallback));
        const std::uint8_t hi = Byte(static_cast<std::uint8_t>(fallback >> 8));
        return static_cast<std::uint16_t>(lo | (hi << 8));
    }

  private:
    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t pos_ = 0;
};

}  // namespace fuzz
