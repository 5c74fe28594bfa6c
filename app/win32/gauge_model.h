// State of the progress gauge, apart from its drawing: the range, the progress kept within it,
// the whole percentage and the filled width. Free of Win32 so it is checked on any host.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

namespace app::win32 {

class GaugeModel {
  public:
    std::int64_t Max() const { return max_; }
    std::int64_t Progress() const { return progress_; }

    // A maximum of 0 (or below) would leave no range to show: it is ignored. A progress beyond
    // a lowered maximum is brought back to it.
    void SetMax(std::int64_t maximum) {
        if (maximum <= 0) return;
        max_ = maximum;
        if (progress_ > max_) progress_ = max_;
    }

    // Keeps the progress within 0..Max(). Returns whether the progress changed.
    bool SetProgress(std::int64_t progress) {
        if (progress < 0) progress = 0;
        if (progress > max_) progress = max_;
        if (progress == progress_) return false;
        progress_ = progress;
        return true;
    }

    // The whole percentage done, rounded down: 100 only when the gauge is full.
    int Percent() const { return static_cast<int>(Share(100)); }

    // How many of `width` pixels are filled, rounded down.
    int FilledWidth(int width) const {
        if (width <= 0) return 0;
        return static_cast<int>(Share(width));
    }

    // "<percent>%" into `buf`; returns the text length. No allocation: the gauge redraws on
    // every block of a transfer.
    int FormatPercent(char* buf, std::size_t size) const {
        const int n = std::snprintf(buf, size, "%d%%", Percent());
        return n < 0 ? 0 : n;
    }

  private:
    // progress * scale / max, rounded down. Progress never exceeds the maximum, so this is
    // scale when full and otherwise rest * scale / max with rest < max.
    std::int64_t Share(std::int64_t scale) const {
        if (progress_ >= max_) return scale;
        return static_cast<std::int64_t>(MulDivFloor(static_cast<std::uint64_t>(progress_),
                                                     static_cast<std::uint64_t>(scale),
                                                     static_cast<std::uint64_t>(max_)));
    }

    // a * b / m rounded down, for a < m <= 2^63, exact for any operands: double-and-add over
    // the bits of b keeps the running remainder below m, so nothing overflows.
    static std::uint64_t MulDivFloor(std::uint64_t a, std::uint64_t b, std::uint64_t m) {
        std::uint64_t quotient = 0;
        std::uint64_t remainder = 0;
        for (int bit = 63; bit >= 0; --bit) {
            quotient <<= 1;
            remainder <<= 1;
            if (remainder >= m) {
                remainder -= m;
                ++quotient;
            }
            if (((b >> bit) & 1u) != 0) {
                remainder += a;
                if (remainder >= m) {
                    remainder -= m;
                    ++quotient;
                }
            }
        }
        return quotient;
    }

    std::int64_t max_ = 100;
    std::int64_t progress_ = 0;
};

}  // namespace app::win32
