// Partition-table records: both layouts, the three copies' codes, short and
// hostile files.
#include "PartionInfo.h"
#include "PartitionFixtures.h"
#include "TestSupport.h"

#include <cstring>
#include <memory>

namespace vorlane::test {
namespace {

using Info = std::unique_ptr<PartionInfoAW>;

struct VariantCase {
    PartionVariant variant;
    const char* label;
    int smallCodes[3]; // GetPartName, GetDownloadFile, GetDownloadPart out of range
    int largeCodes[3];
    bool tableData;
};

const VariantCase kVariants[] = {
    {PartionVariant::Ostrand, "Ostrand", {53, 120, 129}, {171, 278, 287}, false},
    {PartionVariant::CardFun, "CardFun", {54, 121, 130}, {177, 279, 289}, true},
    {PartionVariant::Sarnet, "Sarnet", {54, 121, 130}, {175, 274, 284}, true},
};

class PartionInfoTest : public VorlaneTest {
  protected:
    // Writes the pair into the work directory and opens it.
    Info Open(PartionVariant variant, const std::vector<uint8_t>& table,
              const std::vector<uint8_t>& download) {
        WriteFile(HomePath("mbr.fex"), table);
        WriteFile(HomePath("dlinfo.fex"), download);
        return Info(CreatePartionInfo(variant, HomePath("mbr.fex").c_str(),
                                      HomePath("dlinfo.fex").c_str()));
    }
    static std::string Name16(const char* p) { return std::string(p, strnlen(p, 16)); }
};

TEST_F(PartionInfoTest, LargeLayoutAnswersEveryLookup) {
    for (const VariantCase& v : kVariants) {
        SCOPED_TRACE(v.label);
        m_capture.Clear();
        std::vector<uint8_t> table = BuildLargeTable(DefaultPartitions(), 4);
        ASSERT_EQ(table.size(), 4 * kFixtureLargeCopy);
        Info info = Open(v.variant, table, BuildLargeDownload(DefaultDownloads()));
        ASSERT_TRUE(info);
        EXPECT_EQ(info->GetCapacity(), 120);
        EXPECT_EQ(info->GetPartCount(), 3);
        EXPECT_EQ(info->GetDownloadCount(), 2);

        char name[kPartNameBuffer];
        const char* names[] = {"boot", "system", "UDISK"};
        for (int i = 0; i < 3; ++i) {
            ASSERT_EQ(info->GetPartName(i, name), 0);
            EXPECT_STREQ(name, names[i]);
            EXPECT_EQ(info->GetStart(i), DefaultPartitions()[i].start);
            EXPECT_EQ(info->GetLength(i), DefaultPartitions()[i].length);
        }
        EXPECT_EQ(info->GetStartByName("system"), 0x10000u);
        EXPECT_EQ(info->GetLengthByName("system"), 0x40000u);
        // Start lookups ignore case in this layout, length lookups do not.
        EXPECT_EQ(info->GetStartByName("udisk"), 0x50000u);
        EXPECT_EQ(info->GetStartByName("SyStEm"), 0x10000u);
        EXPECT_EQ(info->GetLengthByName("SYSTEM"), 0u);
        EXPECT_EQ(info->GetStartByName("sys"), 0u);
        EXPECT_EQ(info->GetStartByName(""), 0u);
        EXPECT_EQ(info->GetLengthByName("missing"), 0u);

        char field[16];
        ASSERT_EQ(info->GetDownloadPart(1, field), 0);
        EXPECT_EQ(Name16(field), "system");
        ASSERT_EQ(info->GetDownloadFile(1, field), 0);
        EXPECT_EQ(std::string(field, 16), "SYSTEM_FEX000000");
        ASSERT_EQ(info->GetDownloadPart(2, field), 0);
        EXPECT_EQ(Name16(field), "");

        // Out of range: the copy's own codes, destinations untouched.
        for (int index : {120, 121, -1}) {
            std::memset(name, 'x', sizeof name);
            EXPECT_EQ(info->GetPartName(index, name), v.largeCodes[0]);
            EXPECT_EQ(info->GetDownloadFile(index, name), v.largeCodes[1]);
            EXPECT_EQ(info->GetDownloadPart(index, name), v.largeCodes[2]);
            EXPECT_EQ(name[0], 'x');
            EXPECT_EQ(info->GetStart(index), 0u);
            EXPECT_EQ(info->GetLength(index), 0u);
        }
        // Inside the capacity but beyond partCount: the zero record.
        EXPECT_EQ(info->GetPartName(119, name), 0);
        EXPECT_STREQ(name, "");

        uint8_t* data = info->GetTableData();
        if (v.tableData) {
            ASSERT_NE(data, nullptr);
            EXPECT_EQ(0, std::memcmp(data, table.data(), kFixtureLargeCopy));
            EXPECT_EQ(GetLE32(data), Crc32(data + 4, kFixtureLargeCopy - 4));
        } else {
            EXPECT_EQ(data, nullptr);
        }
        // Only the script parser's copy reports a found start, with the
        // name in upper case.
        bool reported = m_capture.DebugContains("download partinfo:[UDISK] start:327680 len:0\n ");
        EXPECT_EQ(reported, v.variant == PartionVariant::Ostrand);
    }
}

TEST_F(PartionInfoTest, SmallLayoutAnswersEveryLookup) {
    for (const VariantCase& v : kVariants) {
        SCOPED_TRACE(v.label);
        m_capture.Clear();
        std::vector<uint8_t> table = BuildSmallTable(DefaultPartitions());
        Info info = Open(v.variant, table, BuildSmallDownload(DefaultDownloads()));
        ASSERT_TRUE(info);
        EXPECT_EQ(info->GetCapacity(), 15);
        EXPECT_EQ(info->GetPartCount(), 3);
        EXPECT_EQ(info->GetDownloadCount(), 2);
        char name[kPartNameBuffer];
        ASSERT_EQ(info->GetPartName(2, name), 0);
        EXPECT_STREQ(name, "UDISK");
        EXPECT_EQ(info->GetStart(1), 0x10000u);
        EXPECT_EQ(info->GetLength(1), 0x40000u);
        EXPECT_EQ(info->GetStartByName("UDISK"), 0x50000u);
        EXPECT_EQ(info->GetLengthByName("system"), 0x40000u);
        // Both lookups are exact in the small layout.
        EXPECT_EQ(info->GetStartByName("udisk"), 0u);
        EXPECT_EQ(info->GetLengthByName("udisk"), 0u);

        char field[16];
        ASSERT_EQ(info->GetDownloadPart(0, field), 0);
        EXPECT_EQ(Name16(field), "boot");
        ASSERT_EQ(info->GetDownloadFile(0, field), 0);
        EXPECT_EQ(std::string(field, 16), "BOOT_FEX00000000");

        std::memset(name, 'x', sizeof name);
        EXPECT_EQ(info->GetPartName(15, name), v.smallCodes[0]);
        EXPECT_EQ(name[0], 'x');
        EXPECT_EQ(info->GetDownloadFile(15, field), v.smallCodes[1]);
        EXPECT_EQ(info->GetDownloadPart(15, field), v.smallCodes[2]);
        EXPECT_EQ(info->GetStart(15), 0u);
        EXPECT_EQ(info->GetLength(15), 0u);
        uint8_t* data = info->GetTableData();
        if (v.tableData) {
            ASSERT_NE(data, nullptr);
            EXPECT_EQ(0, std::memcmp(data, table.data(), kFixtureSmallTable));
        } else {
            EXPECT_EQ(data, nullptr);
        }
        EXPECT_TRUE(m_capture.Debug().empty());
    }
}

TEST_F(PartionInfoTest, UnusableFilesGiveNull) {
    std::vector<uint8_t> good = BuildLargeTable(DefaultPartitions(), 1);
    std::vector<uint8_t> wrongMagic = good;
    std::memcpy(wrongMagic.data() + 8, "qelvo412", 8);
    std::vector<uint8_t> shortMagic(good.begin(), good.begin() + 15); // magic cut short
    std::vector<uint8_t> download = BuildLargeDownload(DefaultDownloads());
    struct Case {
        const char* label;
        std::vector<uint8_t> table;
        bool writeTable, writeDownload;
    } cases[] = {
        {"unknown magic", wrongMagic, true, true}, {"magic cut short", shortMagic, true, true},
        {"empty table", {}, true, true},           {"no table file", good, false, true},
        {"no download list", good, true, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        std::string table = HomePath(std::string("t_") + c.label);
        std::string list = HomePath(std::string("d_") + c.label);
        if (c.writeTable) WriteFile(table, c.table);
        if (c.writeDownload) WriteFile(list, download);
        for (const VariantCase& v : kVariants)
            EXPECT_EQ(CreatePartionInfo(v.variant, table.c_str(), list.c_str()), nullptr);
    }
    // A directory opens but cannot be read.
    EXPECT_EQ(CreatePartionInfo(PartionVariant::CardFun, m_home.c_str(), m_home.c_str()), nullptr);
    WriteFile(HomePath("mbr.fex"), good);
    EXPECT_EQ(
        CreatePartionInfo(PartionVariant::CardFun, HomePath("mbr.fex").c_str(), m_home.c_str()),
        nullptr);
}

TEST_F(PartionInfoTest, ShortFilesReadAsZero) {
    // Only the magic and the count: every record reads as zero.
    std::vector<uint8_t> table = BuildLargeTable({{"boot", 5, 6}}, 1);
    table.resize(36); // up to addrhi of the first record
    Info info = Open(PartionVariant::Sarnet, table, {});
    ASSERT_TRUE(info);
    EXPECT_EQ(info->GetPartCount(), 1);
    EXPECT_EQ(info->GetDownloadCount(), 0);
    EXPECT_EQ(info->GetStart(0), 0u);
    EXPECT_EQ(info->GetStartByName("boot"), 0u);
    char name[kPartNameBuffer];
    ASSERT_EQ(info->GetPartName(0, name), 0);
    EXPECT_STREQ(name, "");
    // The table copy is whole: the rest is zero.
    const uint8_t* data = info->GetTableData();
    for (size_t i = 36; i < kFixtureLargeCopy; ++i)
        ASSERT_EQ(data[i], 0) << i;

    // The small layout with a table cut inside the third record.
    std::vector<uint8_t> small = BuildSmallTable(DefaultPartitions());
    small.resize(24 + 64 * 2 + 10); // third record's length is cut off
    info = Open(PartionVariant::CardFun, small, BuildSmallDownload({}));
    ASSERT_TRUE(info);
    EXPECT_EQ(info->GetStart(1), 0x10000u);
    EXPECT_EQ(info->GetLength(2), 0u);
    EXPECT_EQ(info->GetStartByName("UDISK"), 0u);

    // Loading again from files that are gone fails and leaves no stale data.
    info = Open(PartionVariant::CardFun, BuildLargeTable(DefaultPartitions(), 1),
                BuildLargeDownload(DefaultDownloads()));
    ASSERT_TRUE(info);
    EXPECT_NE(info->Load(HomePath("gone.fex").c_str(), HomePath("dlinfo.fex").c_str()), 0);
    EXPECT_NE(info->Load(HomePath("mbr.fex").c_str(), HomePath("gone.fex").c_str()), 0);
    EXPECT_EQ(info->GetPartCount(), 0);
    EXPECT_EQ(info->GetStart(0), 0u);
    EXPECT_EQ(info->GetDownloadCount(), 0);
}

TEST_F(PartionInfoTest, OnlyTheFirstCopyOfALongTableIsHeld) {
    // 40000 bytes: two whole copies and part of a third; the second copy
    // differs so that a read past the first would show.
    std::vector<uint8_t> first = BuildLargeTable(DefaultPartitions(), 1);
    std::vector<uint8_t> second = BuildLargeTable({{"other", 1, 2}}, 2);
    std::vector<uint8_t> table = first;
    table.insert(table.end(), second.begin(), second.end());
    table.resize(40000);
    ASSERT_EQ(table.size() / kFixtureLargeCopy, 2u);
    Info info = Open(PartionVariant::CardFun, table, BuildLargeDownload({}));
    ASSERT_TRUE(info);
    EXPECT_EQ(0, std::memcmp(info->GetTableData(), first.data(), kFixtureLargeCopy));
    EXPECT_EQ(info->GetStartByName("other"), 0u);
    EXPECT_EQ(info->GetStartByName("boot"), 0x8000u);
}

TEST_F(PartionInfoTest, CountsAboveTheCapacityAreClamped) {
    // 120 named partitions with a stored count of 500 (large), 15 with
    // 65535 (small): lookups stop at the capacity, the count is reported as stored.
    std::vector<FixturePartition> large, small;
    std::vector<FixtureDownload> largeList, smallList;
    for (int i = 0; i < 120; ++i) {
        large.push_back({"p" + std::to_string(i), uint32_t(1000 + i), uint32_t(i)});
        largeList.push_back({"p" + std::to_string(i), "f" + std::to_string(i)});
        if (i < 15) {
            small.push_back(large.back());
            smallList.push_back(largeList.back());
        }
    }
    Info info = Open(PartionVariant::Ostrand, BuildLargeTable(large, 1, 500),
                     BuildLargeDownload(largeList));
    ASSERT_TRUE(info);
    EXPECT_EQ(info->GetPartCount(), 500);
    EXPECT_EQ(info->GetDownloadCount(), 120);
    EXPECT_EQ(info->GetStartByName("p119"), 1119u);
    EXPECT_EQ(info->GetLengthByName("p119"), 119u);
    EXPECT_EQ(info->GetStartByName("p120"), 0u);

    info =
        Open(PartionVariant::Sarnet, BuildSmallTable(small, 65535), BuildSmallDownload(smallList));
    ASSERT_TRUE(info);
    EXPECT_EQ(info->GetPartCount(), 65535);
    EXPECT_EQ(info->GetDownloadCount(), 15);
    EXPECT_EQ(info->GetStartByName("p14"), 1014u);

    // A partition beyond partCount is not found by name.
    info = Open(PartionVariant::Sarnet, BuildLargeTable(DefaultPartitions(), 1, 2),
                BuildLargeDownload({}));
    ASSERT_TRUE(info);
    EXPECT_EQ(info->GetStartByName("UDISK"), 0u);
    EXPECT_EQ(info->GetStart(2), 0x50000u);
}

TEST_F(PartionInfoTest, SixteenByteNamesWithoutTerminator) {
    const std::string full = "ABCDEFGHIJKLMNOP"; // 16 bytes, no NUL in the field
    std::vector<FixturePartition> parts = {{full, 7, 8}, {"next", 9, 10}};
    // Small layout: the name region runs on; fill it so that no NUL follows.
    std::vector<uint8_t> small = BuildSmallTable(parts);
    std::memset(small.data() + 48 + 16, 'Q', 24);
    struct Case {
        const char* label;
        std::vector<uint8_t> table;
        std::vector<uint8_t> download;
    } cases[] = {
        {"large", BuildLargeTable(parts, 1), BuildLargeDownload({{full, full}})},
        {"small", small, BuildSmallDownload({{full, full}})},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        Info info = Open(PartionVariant::CardFun, c.table, c.download);
        ASSERT_TRUE(info);
        char name[kPartNameBuffer + 8];
        std::memset(name, '#', sizeof name);
        ASSERT_EQ(info->GetPartName(0, name), 0);
        EXPECT_EQ(std::string(name), full);
        EXPECT_EQ(name[kPartNameBuffer], '#'); // nothing written past 16 + NUL
        EXPECT_EQ(info->GetStartByName(full.c_str()), 7u);
        EXPECT_EQ(info->GetLengthByName(full.c_str()), 8u);
        EXPECT_EQ(info->GetStartByName((full + "Q").c_str()), 0u);
        EXPECT_EQ(info->GetStartByName("next"), 9u);
        char field[16 + 4];
        std::memset(field, '#', sizeof field);
        ASSERT_EQ(info->GetDownloadFile(0, field), 0);
        EXPECT_EQ(std::string(field, 16), full);
        EXPECT_EQ(field[16], '#');
        EXPECT_EQ(info->GetDownloadCount(), 1);
    }
}

TEST_F(PartionInfoTest, FixtureCrcMatchesAnIndependentCrc) {
    // Other components' tests rely on the builder's CRC: check it against
    // the shared table-driven CRC-32 and the standard check value.
    std::vector<uint8_t> table = BuildLargeTable(DefaultPartitions(), 2);
    for (size_t copy = 0; copy < 2; ++copy) {
        const uint8_t* p = table.data() + copy * kFixtureLargeCopy;
        EXPECT_EQ(GetLE32(p), Crc32(p + 4, kFixtureLargeCopy - 4));
    }
    EXPECT_EQ(fixture_detail::Crc32(reinterpret_cast<const uint8_t*>("123456789"), 9), 0xCBF43926u);
}

} // namespace
} // namespace vorlane::test
