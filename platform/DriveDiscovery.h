// Discovery of removable block devices (one implementation per platform).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace vorlane::platform {

struct BlockDisk {
    std::string name;  // kernel name, e.g. "sdb"
    std::string path;  // "/dev/sdb"
    std::string model; // for display
    uint64_t sizeBytes = 0;
    unsigned major = 0, minor = 0;
};

// Removable disks that hold a medium and no mounted system file system.
std::vector<BlockDisk> DiscoverRemovableDisks();

// True when `path` (a block device) or one of its partitions holds a mounted
// system file system (/, /boot, /usr, /home, /var) or an active swap.
bool HoldsSystemFileSystem(const std::string& diskName);

// Unmounts every mounted partition of the disk; 0 or an errno value.
int UnmountPartitions(const std::string& diskName);

} // namespace vorlane::platform
