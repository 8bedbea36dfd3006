// Removable-disk discovery from /sys/block.
#include "DriveDiscovery.h"

#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

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
    while (!value.empty() && (value.back() == ' ' || value.back() == '\n'))
        value.pop_back();
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
           devicePath.find("/mmc") != std::string::npos || name.compare(0, 4, "loop") == 0;
}

// The kernel names that stand for the disk: the disk, its partitions and,
// recursively, the devices stacked on them (device-mapper, md), so that a
// system file system on LVM or RAID over the card's partitions counts too.
std::set<std::string> diskFamily(const std::string& diskName) {
    std::set<std::string> family;
    std::vector<std::string> pending = {diskName};
    while (!pending.empty()) {
        std::string name = pending.back();
        pending.pop_back();
        if (!family.insert(name).second) continue;
        std::string base = "/sys/class/block/" + name;
        for (const char* sub : {"/holders", ""}) {
            DIR* dir = opendir((base + sub).c_str());
            if (!dir) continue;
            while (dirent* entry = readdir(dir)) {
                std::string child = entry->d_name;
                if (child[0] == '.') continue;
                if (*sub) {
                    pending.push_back(child);
                } else if (child.compare(0, name.size(), name) == 0 &&
                           access((base + "/" + child + "/partition").c_str(), F_OK) == 0) {
                    pending.push_back(child);
                }
            }
            closedir(dir);
        }
    }
    return family;
}

// Device number (major:minor) of every member of the family.
std::set<dev_t> familyDevices(const std::set<std::string>& family) {
    std::set<dev_t> devices;
    for (const std::string& name : family) {
        unsigned major = 0, minor = 0;
        if (std::sscanf(readSysfs("/sys/class/block/" + name + "/dev").c_str(), "%u:%u", &major,
                        &minor) == 2)
            devices.insert(makedev(major, minor));
    }
    return devices;
}

bool sourceInFamily(const std::string& source, const std::string& diskName,
                    const std::set<std::string>& family) {
    if (isPartitionOf(source, diskName)) return true;
    char resolved[4096];
    if (!realpath(source.c_str(), resolved)) return false;
    std::string path(resolved);
    if (path.compare(0, 5, "/dev/") != 0) return false;
    return family.count(path.substr(5)) != 0;
}

} // namespace

bool HoldsSystemFileSystem(const std::string& diskName) {
    static const std::set<std::string> system = {"/",    "/boot", "/boot/efi",
                                                 "/usr", "/home", "/var"};
    std::set<std::string> family = diskFamily(diskName);
    std::set<dev_t> devices = familyDevices(family);
    for (const Mount& m : mounts()) {
        if (!system.count(m.target)) continue;
        if (sourceInFamily(m.source, diskName, family)) return true;
    }
    // "/dev/root" and similar aliases: compare the mounted device number, as
    // the kernel lists it (no stat of the mount point, which could hang on a
    // network file system).
    std::ifstream info("/proc/self/mountinfo");
    std::string line;
    while (std::getline(info, line)) {
        std::istringstream fields(line);
        std::string id, parent, device, root, target;
        fields >> id >> parent >> device >> root >> target;
        unsigned major = 0, minor = 0;
        if (std::sscanf(device.c_str(), "%u:%u", &major, &minor) != 2) continue;
        if (system.count(target) && devices.count(makedev(major, minor))) return true;
    }
    std::ifstream swaps("/proc/swaps");
    std::getline(swaps, line); // heading
    while (std::getline(swaps, line)) {
        std::istringstream fields(line);
        std::string source;
        fields >> source;
        if (sourceInFamily(source, diskName, family)) return true;
    }
    return false;
}

int UnmountPartitions(const std::string& diskName) {
    int result = 0;
    std::vector<Mount> all = mounts();
    std::set<std::string> family = diskFamily(diskName);
    // Deepest mount points first.
    for (auto it = all.rbegin(); it != all.rend(); ++it)
        if (sourceInFamily(it->source, diskName, family) && umount2(it->target.c_str(), 0) != 0)
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
