// A test world: a simulated system (virtual clock, named events, processes, captured output), a
// simulated device layout and the scanners in it, installed as the process's backends for the
// world's lifetime.
//
//   #include "sim/world.h"
//
//   TEST(Example, VersionOverTheStillImagePath) {
//       sim::World world;                             // installs SimSystem + SimDeviceIo
//       sim::Scanner& scanner = world.AddScanner();   // healthy, tag "ZAMO", version "2206"
//       world.AttachStillImage(scanner, 0);           // \\.\USBSCAN0
//       world.io.AddDrive('C', platform::kDriveFixed);
//       scanner.Config().version[0] = '3';           // live configuration
//       scanner.Inject(sim::Fault::StaleTag().OnCommand(0xFF, 0x05));
//       world.sys.HoldEvent(sim::World::ServiceEventName('u'), world.sys.Now() + 2000);
//
//       ... exercise devlink / the application ...
//
//       EXPECT_EQ(scanner.Log().PairsText(), "FF04 FF03 FF03 FF05 0201 FF04 0202 FF04 FF06");
//       ResetDeviceTable();                  // devlink's table holds handles: drop them first
//       EXPECT_EQ(world.io.OpenHandleCount(), 0u);
//       EXPECT_EQ(world.io.CloseErrors(), 0u);
//       EXPECT_EQ(world.sys.CloseErrors(), 0u);
//   }                                        // ~World uninstalls (Install(nullptr, nullptr))
//
// A World must outlive every handle the code under test holds; it is neither copied nor moved.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/sim/sim_device_io.h"
#include "platform/sim/sim_system.h"
#include "sim/scanner.h"

namespace sim {

class World {
  public:
    World();
    ~World();
    World(const World&) = delete;
    World& operator=(const World&) = delete;

    SimSystem sys;
    SimDeviceIo io;

    // A new scanner owned by the world (not attached anywhere yet). Tests that need no large
    // memory image may pass a small `memorySize`.
    Scanner& AddScanner(const ModelConfig& config = {},
                        std::uint32_t memorySize = Scanner::kDefaultMemorySize);
    // Reachable as \\.\USBSCAN<n>.
    void AttachStillImage(Scanner& scanner, int n, bool openable = true);
    // A removable drive `letter` whose volume is the scanner (answering the tag query unless its
    // configuration says otherwise).
    void AttachDisk(Scanner& scanner, char letter, bool openable = true);
    // Another removable disk (a memory stick): its volume opens, but it is not the tool's device
    // and refuses the vendor commands.
    Scanner& AddForeignRemovableDisk(char letter);

    // "ZAMOUSB_EVENT__" with its last character replaced ('u' still-image, or a drive letter).
    static std::string ServiceEventName(char last);

  private:
    std::vector<std::unique_ptr<Scanner>> scanners_;
};

}  // namespace sim
