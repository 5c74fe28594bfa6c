// Counts the program's heap allocations through a replaced global operator new, and keeps the
// bytes live and their high-water mark. Single-threaded, like the code measured.
#pragma once

#include <cstdint>

namespace bench {

struct HeapMeter {
    std::uint64_t allocations = 0;
    std::uint64_t liveBytes = 0;
    std::uint64_t peakBytes = 0;

    // Starts a new high-water mark from what is live now.
    void ResetPeak() { peakBytes = liveBytes; }
};

HeapMeter& Heap();

}  // namespace bench
