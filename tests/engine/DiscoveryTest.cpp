// Discovery never offers the disk the system runs from.
#include "DriveDiscovery.h"
#include "TestSupport.h"

#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>

namespace vorlane::test {
namespace {

// The kernel name of the whole disk that holds "/", or "" when "/" is not on
// a block device (containers, overlays).
std::string rootDisk() {
    struct stat st;
    if (stat("/", &st) != 0 || major(st.st_dev) == 0) return "";
    std::string link = "/sys/dev/block/" + std::to_string(major(st.st_dev)) + ":" +
                       std::to_string(minor(st.st_dev));
    char resolved[PATH_MAX];
    if (!realpath(link.c_str(), resolved)) return "";
    std::string path = resolved;
    if (access((path + "/partition").c_str(), F_OK) == 0) path = path.substr(0, path.rfind('/'));
    std::string name = path.substr(path.rfind('/') + 1);
    if (name.compare(0, 3, "dm-") == 0 || name.compare(0, 2, "md") == 0)
        return ""; // stacked: see below
    return name;
}

TEST(DiscoveryTest, TheSystemDiskIsNeverOffered) {
    std::string disk = rootDisk();
    if (disk.empty()) GTEST_SKIP() << "/ is not on a plain block device here";
    EXPECT_TRUE(platform::HoldsSystemFileSystem(disk)) << disk;
    unsetenv("VORLANE_CARDS_ONLY");
    setenv("VORLANE_ALLOW_LOOP", "1", 1);
    for (const platform::BlockDisk& d : platform::DiscoverRemovableDisks())
        EXPECT_NE(disk, d.name);
}

TEST(DiscoveryTest, AnUnmountedLoopDeviceHoldsNoSystemFileSystem) {
    if (geteuid() != 0 || !HaveTool("losetup")) GTEST_SKIP() << "needs root and losetup";
    std::string dir = MakeTempDir("discovery");
    std::string backing = dir + "/backing";
    ASSERT_EQ(0, RunCommand("truncate -s 8M '" + backing + "'"));
    std::string device;
    if (RunCommand("losetup -f --show '" + backing + "'", &device) != 0) GTEST_SKIP() << device;
    device.erase(device.find_last_not_of("\n") + 1);
    std::string name = device.substr(device.rfind('/') + 1);
    EXPECT_FALSE(platform::HoldsSystemFileSystem(name));
    RunCommand("losetup -d " + device);
    RemoveTree(dir);
}

} // namespace
} // namespace vorlane::test
