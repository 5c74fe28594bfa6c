// The data path allocates nothing and copies nothing per exchange: the heap is watched over a
// run of whole guarded data commands on both paths, and the bulk pipes must see the caller's own
// buffer.
#include <atomic>
#include <cstdlib>
#include <new>

#include "devlink/host_interface.h"
#include "devlink_fixture.h"
#include "platform/sim/sim_device_file.h"

namespace {
std::atomic<long> g_allocations{0};
}  // namespace

void* operator new(std::size_t size) {
    g_allocations.fetch_add(1, std::memory_order_relaxed);
    if (void* p = std::malloc(size ? size : 1)) return p;
    throw std::bad_alloc();
}
void operator delete(void* p) noexcept {
    std::free(p);
}
void operator delete(void* p, std::size_t) noexcept {
    std::free(p);
}

namespace {

// Remembers which buffers the bulk pipes were handed.
class PipeSpy final : public sim::SimDeviceFile {
  public:
    explicit PipeSpy(sim::SimDeviceFile& inner) : inner_(inner) {}
    bool Ioctl(std::uint32_t c, void* i, std::uint32_t il, void* o, std::uint32_t ol,
               std::uint32_t* r) override {
        return inner_.Ioctl(c, i, il, o, ol, r);
    }
    bool Read(void* b, std::uint32_t l, std::uint32_t* d) override {
        if (l == kData) readBuffer = b;
        return inner_.Read(b, l, d);
    }
    bool Write(const void* b, std::uint32_t l, std::uint32_t* d) override {
        if (l == kData) writeBuffer = b;
        return inner_.Write(b, l, d);
    }
    static constexpr std::uint32_t kData = 0x10000;
    const void* readBuffer = nullptr;
    const void* writeBuffer = nullptr;

  private:
    sim::SimDeviceFile& inner_;
};

class AllocationTest : public DevlinkTest {};

TEST_F(AllocationTest, GuardedDataCommandsAllocateNothing) {
    sim::Scanner& scanner = world.AddScanner({}, 1u << 20);
    world.AttachStillImage(scanner, 0);
    world.AttachDisk(scanner, 'E');
    ASSERT_EQ(ZamoUSB_ConnectToDevice(256), 1);
    ASSERT_EQ(ZamoUSB_ConnectToDevice(5), 1);
    scanner.Log().Enable(false);
    world.sys.CaptureDebugOutput(false);

    static std::uint8_t block[0x10000];
    const long before = g_allocations.load();
    for (int i = 0; i < 50; ++i) {
        for (int handle : {256, 5}) {
            ASSERT_EQ(ZamoUSB_VenderCmd_SetData(handle, cmdset::kSelFirmware, block, sizeof block),
                      1);
            ASSERT_EQ(ZamoUSB_VenderCmd_GetData(handle, cmdset::kSelMemory, block, sizeof block),
                      1);
        }
    }
    EXPECT_EQ(g_allocations.load() - before, 0);
    // The watch itself works.
    delete new int(1);
    EXPECT_EQ(g_allocations.load() - before, 1);
}

TEST_F(AllocationTest, BulkPipesMoveTheCallersBufferInPlace) {
    sim::Scanner& scanner = world.AddScanner({}, 1u << 20);
    PipeSpy spy(scanner.StillImage());
    world.io.AddStillImage(0, &spy);
    ASSERT_EQ(ZamoUSB_ConnectToDevice(256), 1);
    static std::uint8_t out[0x10000], in[0x10000];
    ASSERT_EQ(ZamoUSB_VenderCmd_SetData(256, cmdset::kSelFirmware, out, sizeof out), 1);
    ASSERT_EQ(ZamoUSB_VenderCmd_GetData(256, cmdset::kSelMemory, in, sizeof in), 1);
    EXPECT_EQ(spy.writeBuffer, out);
    EXPECT_EQ(spy.readBuffer, in);
}

}  // namespace
