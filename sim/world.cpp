#include "sim/world.h"

#include "devlink/command_set.h"
#include "platform/platform.h"

namespace sim {

World::World() {
    platform::Install(&io, &sys);
}

World::~World() {
    platform::Install(nullptr, nullptr);
}

Scanner& World::AddScanner(const ModelConfig& config, std::uint32_t memorySize) {
    scanners_.push_back(std::make_unique<Scanner>(config, memorySize));
    return *scanners_.back();
}

void World::AttachStillImage(Scanner& scanner, int n, bool openable) {
    io.AddStillImage(n, &scanner.StillImage(), openable);
}

void World::AttachDisk(Scanner& scanner, char letter, bool openable) {
    io.AddDrive(letter, platform::kDriveRemovable, &scanner.Disk(), openable);
}

Scanner& World::AddForeignRemovableDisk(char letter) {
    ModelConfig config;
    config.answersTagQuery = false;
    Scanner& disk = AddScanner(config, 0);
    AttachDisk(disk, letter);
    return disk;
}

std::string World::ServiceEventName(char last) {
    std::string name = cmdset::kServiceEventTemplate;
    name.back() = last;
    return name;
}

}  // namespace sim
