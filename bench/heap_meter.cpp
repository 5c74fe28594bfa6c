#include "bench/heap_meter.h"

#include <cstddef>
#include <cstdlib>
#include <new>

namespace bench {
namespace {

// Each block carries its size in front, so a release knows what it gives back.
constexpr std::size_t kHeader = alignof(std::max_align_t);

constinit HeapMeter g_heap{};

void* Allocate(std::size_t size) noexcept {
    auto* block = static_cast<unsigned char*>(std::malloc(size + kHeader));
    if (block == nullptr) return nullptr;
    *reinterpret_cast<std::size_t*>(block) = size;
    ++g_heap.allocations;
    g_heap.liveBytes += size;
    if (g_heap.liveBytes > g_heap.peakBytes) g_heap.peakBytes = g_heap.liveBytes;
    return block + kHeader;
}

void Release(void* p) noexcept {
    if (p == nullptr) return;
    unsigned char* block = static_cast<unsigned char*>(p) - kHeader;
    g_heap.liveBytes -= *reinterpret_cast<std::size_t*>(block);
    std::free(block);
}

}  // namespace

HeapMeter& Heap() {
    return g_heap;
}

}  // namespace bench

void* operator new(std::size_t size) {
    if (void* p = bench::Allocate(size)) return p;
    throw std::bad_alloc();
}
void* operator new[](std::size_t size) {
    if (void* p = bench::Allocate(size)) return p;
    throw std::bad_alloc();
}
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
    return bench::Allocate(size);
}
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
    return bench::Allocate(size);
}
void operator delete(void* p) noexcept {
    bench::Release(p);
}
void operator delete[](void* p) noexcept {
    bench::Release(p);
}
void operator delete(void* p, std::size_t) noexcept {
    bench::Release(p);
}
void operator delete[](void* p, std::size_t) noexcept {
    bench::Release(p);
}
void operator delete(void* p, const std::nothrow_t&) noexcept {
    bench::Release(p);
}
void operator delete[](void* p, const std::nothrow_t&) noexcept {
    bench::Release(p);
}
