// Removable-disk discovery from /sys/block.
#include "DriveDiscovery.h"

#include <sys/mount.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fstream>
#include <set>
#include <sstream>

namespace vorlane::platform {
namespace {

std::string readSysfs(const std::string& path) {
    std::ifstream in(path);
    std::string value;
    std::getline(in, value);
    while (!value.empty() && (value.back() == ' ' || value.back() == '\n')) value.pop_back();
    return value;
}

bool isPartitionOf(const std::string& device, const std::string& disk) {
    // /dev/sdb1 of sdb, /dev/mmcblk0p1 of mmcblk0, /dev/loop3p1 of loop3.
    std::string base = "/dev/" + disk;
    if (device == base) return true;
    if (device.compare(0, base.size(), base) != 0) return false;
    std::string rest = device.substr(base.size());
    if (!rest.empty() && rest[0] == 'p') rest.erase(0, 1);
    return !rest.empty() && rest.find_first_not_of("0123456789") == std::string::npos;
}

struct Mount {
    std::string source, target;
};

std::vector<Mount> mounts() {
    std::vector<Mount> result;
    std::ifstream in("/proc/self/mounts");
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        Mount m;
        fields >> m.source >> m.target;
        result.push_back(m);
    }
    return result;
}

bool skippedKind(const std::string& name) {
    static const char* prefixes[] = {"loop", "ram", "zram", "dm-", "md", "sr", "nbd"};
    for (const char* p : prefixes)
        if (name.compare(0, std::strlen(p), p) == 0) {
            if (std::strcmp(p, "loop") == 0) {
                const char* allow = std::getenv("VORLANE_ALLOW_LOOP");
                return !(allow && std::strcmp(allow, "1") == 0);
            }
            return true;
        }
    return false;
}

bool onRemovableBus(const std::string& name) {
    if (readSysfs("/sys/block/" + name + "/removable") == "1") return true;
    char resolved[4096];
    std::string link = "/sys/block/" + name;
    if (!realpath(link.c_str(), resolved)) return false;
    std::string devicePath(resolved);
    return devicePath.find("/usb") != std::string::npos ||
           devicePath.find("/mmc") != std::string::npos ||
           name.compare(0, 4, "loop") == 0;
}

} // namespace

bool HoldsSystemFileSystem(const std::string& diskName) {
    static const std::set<std::string> system = {"/", "/boot", "/boot/efi", "/usr", "/home", "/var"};
    for (const Mount& m : mounts())
        if (system.count(m.target) && isPartitionOf(m.source, diskName)) return true;
    std::ifstream swaps("/proc/swaps");
    std::string line;
    std::getline(swaps, line); // heading
    while (std::getline(swaps, line)) {
        std::istringstream fields(line);
        std::string source;
        fields >> source;
        if (isPartitionOf(source, diskName)) return true;
    }
    return false;
}

int UnmountPartitions(const std::string& diskName) {
    int result = 0;
    std::vector<Mount> all = mounts();
    // Deepest mount points first.
    for (auto it = all.rbegin(); it != all.rend(); ++it)
        if (isPartitionOf(it->source, diskName) && umount2(it->target.c_str(), 0) != 0)
            result = errno;
    return result;
}

std::vector<BlockDisk> DiscoverRemovableDisks() {
    std::vector<BlockDisk> disks;
    // Tests and virtual-card sessions keep real disks out of the map.
    const char* cardsOnly = std::getenv("VORLANE_CARDS_ONLY");
    if (cardsOnly && std::strcmp(cardsOnly, "1") == 0) return disks;
    DIR* dir = opendir("/sys/block");
    if (!dir) return disks;
    while (dirent* entry = readdir(dir)) {
        std::string name = entry->d_name;
        if (name[0] == '.' || skippedKind(name)) continue;
        if (!onRemovableBus(name)) continue;
        std::string base = "/sys/block/" + name;
        uint64_t sectors = std::strtoull(readSysfs(base + "/size").c_str(), nullptr, 10);
        if (sectors == 0) continue; // no medium
        if (HoldsSystemFileSystem(name)) continue;
        BlockDisk disk;
        disk.name = name;
        disk.path = "/dev/" + name;
        disk.sizeBytes = sectors * 512;
        std::string vendor = readSysfs(base + "/device/vendor");
        std::string model = readSysfs(base + "/device/model");
        if (model.empty()) model = readSysfs(base + "/device/name");
        disk.model = vendor.empty() ? model : vendor + " " + model;
        std::string dev = readSysfs(base + "/dev");
        std::sscanf(dev.c_str(), "%u:%u", &disk.major, &disk.minor);
        disks.push_back(disk);
    }
    closedir(dir);
    return disks;
}

} // namespace vorlane::platform
