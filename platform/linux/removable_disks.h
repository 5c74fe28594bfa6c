// The removable SCSI disks of this machine as the drive list sees them: each gets a drive letter,
// from D upwards, in the order of the disks' kernel names (sdb before sdc, sdz before sdaa), so
// every process that looks at the same disks gives them the same letters.
#pragma once

#include <string>
#include <vector>

namespace platform::linux_os {

struct RemovableDisk {
    char letter = 0;
    std::string name;  // kernel name, e.g. "sdb"
    std::string node;  // its device node, e.g. "/dev/sdb"
};

constexpr char kFirstDiskLetter = 'D';

// Whole disks listed in `classBlockDir` (normally /sys/class/block; /sys/block is not used, as
// emulated devices appear only in the class folder) whose name starts with "sd" and whose
// "removable" attribute is 1; partitions are left out. At most one disk per letter D..Z.
std::vector<RemovableDisk> ListRemovableDisks(
    const std::string& classBlockDir = "/sys/class/block");

// The name a named event or mutex is kept under: a removable disk's service event ends in "_"
// and the disk's drive letter, and is kept under the disk's kernel name instead ("..._sdb"),
// which stays while the disk is attached whatever other disks come and go. Other names, and
// letters of no disk in `disks`, are kept as they are.
std::string DiskObjectKey(const std::string& name, const std::vector<RemovableDisk>& disks);

// Orders kernel disk names as the kernel numbers them: shorter names first, then by text.
bool DiskNameBefore(const std::string& a, const std::string& b);

}  // namespace platform::linux_os
