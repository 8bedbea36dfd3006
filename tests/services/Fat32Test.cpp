// The FAT32 planner against the usual cluster-size table and against the
// choice mkfs.fat makes for the same volume size.
#include "Fat32Builder.h"
#include "ServiceModule.h"

namespace vorlane::test {
namespace {

using namespace vorlane::fat32;

TEST(ServicesFat32, LayoutIsConsistentAcrossTheSizeTable) {
    struct Case {
        uint64_t sectors;
        uint32_t sectorsPerCluster;
    } cases[] = {
        {66600, 1},     {532480, 1},    {532481, 8},    {16777216, 8},  {16777217, 16},
        {33554432, 16}, {33554433, 32}, {67108864, 32}, {67108865, 64}, {0xFFFFFFFFull, 64},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.sectors);
        Layout l;
        ASSERT_EQ(PlanLayout(c.sectors, 0, &l), kFat32Ok);
        EXPECT_EQ(l.sectorsPerCluster, c.sectorsPerCluster);
        EXPECT_EQ(l.reservedSectors, 32u);
        // Every cluster has a FAT entry, and the clusters fit the volume.
        EXPECT_GE(uint64_t(l.fatSectors) * 128, uint64_t(l.clusterCount) + 2);
        EXPECT_LE(l.RootSector() + uint64_t(l.clusterCount) * l.sectorsPerCluster, c.sectors);
        // No whole cluster is left over behind the last one.
        EXPECT_LT(c.sectors - l.RootSector() - uint64_t(l.clusterCount) * l.sectorsPerCluster,
                  l.sectorsPerCluster);
        EXPECT_GE(l.clusterCount, kMinClusters);
        EXPECT_LE(l.clusterCount, kMaxClusters);
    }
}

TEST(ServicesFat32, RefusesSizesAndClustersFat32CannotHold) {
    struct Case {
        uint64_t sectors;
        uint32_t clusterBytes;
        int expected;
    } cases[] = {
        {0, 0, kFat32TooSmall},
        {33, 0, kFat32TooSmall},
        {66000, 0, kFat32TooSmall},           // fewer than 65525 clusters of 512 bytes
        {1000000, 8192, kFat32TooSmall},      // 62500 clusters of 8 KiB
        {0x100000000ull, 0, kFat32TooLarge},  // 2^32 sectors
        {0xFFFFFFFFull, 512, kFat32TooLarge}, // more than 0x0FFFFFF5 clusters
        {1000000, 256, kFat32BadClusterSize},
        {1000000, 3072, kFat32BadClusterSize},
        {1000000, 131072, kFat32BadClusterSize},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.sectors << " sectors, " << c.clusterBytes << " B");
        Layout l;
        EXPECT_EQ(PlanLayout(c.sectors, c.clusterBytes, &l), c.expected);
    }
}

TEST(ServicesFat32, LabelsAreNormalisedOrRefused) {
    char out[11];
    bool has = true;
    ASSERT_EQ(MakeLabel("", out, &has), kFat32Ok);
    EXPECT_EQ(std::string(out, 11), "NO NAME    ");
    EXPECT_FALSE(has);
    ASSERT_EQ(MakeLabel("card data", out, &has), kFat32Ok);
    EXPECT_EQ(std::string(out, 11), "CARD DATA  ");
    EXPECT_TRUE(has);
    for (const char* bad : {"TWELVE CHARS", "A/B", "A.B", " LEAD", "tab\there", "\xC3\xA9"})
        EXPECT_EQ(MakeLabel(bad, out, nullptr), kFat32BadLabel) << bad;
}

// mkfs.fat picks its own FAT32 cluster size from the same kind of table.
TEST(ServicesFat32, ClusterSizeMatchesMkfsFat) {
    if (!HaveTool("mkfs.fat")) GTEST_SKIP() << "mkfs.fat not installed";
    std::string dir = MakeTempDir("fat32");
    for (uint64_t sectors : {300000ull, 1000000ull, 20000000ull, 40000000ull}) {
        SCOPED_TRACE(sectors);
        std::string file = dir + "/vol.img";
        ASSERT_EQ(RunCommand("rm -f " + file + " && truncate -s " + std::to_string(sectors * 512) +
                             " " + file + " && mkfs.fat -F 32 " + file),
                  0);
        std::vector<uint8_t> boot = ReadRange(file, 0, 512);
        ASSERT_GE(boot.size(), 512u);
        Layout l;
        ASSERT_EQ(PlanLayout(sectors, 0, &l), kFat32Ok);
        EXPECT_EQ(l.sectorsPerCluster, boot[13]);
    }
    RemoveTree(dir);
}

} // namespace
} // namespace vorlane::test
