// The volume-format service on a virtual card: the formatted partition,
// extracted with dd, must pass fsck.fat and take files with mtools; the
// rest of the card stays as it was.
#include "Interfaces.h"
#include "ServiceModule.h"
#include "ServiceTables.h"

namespace vorlane::test {
namespace {

constexpr uint64_t kCardSectors = 1228800; // 600 MiB, sparse
constexpr uint32_t kFirst = 2048;
constexpr uint32_t kCount = uint32_t(kCardSectors) - kFirst;

class ServicesBrevik : public VorlaneTest {
  protected:
    void SetUp() override {
        VorlaneTest::SetUp();
        m_table = m_module.Table<VolumeFormatTable>();
        ASSERT_NE(m_table, nullptr) << m_module.Error();
        m_card = MakeVirtualCard('E', kCardSectors * 512);
        ASSERT_FALSE(m_card.empty());
    }
    void WriteMbr(uint32_t first, uint32_t count, bool signature = true) {
        std::vector<uint8_t> mbr(512, 0);
        PutMbrEntry(mbr, 0, 0x0C, first, count);
        if (!signature) mbr[510] = mbr[511] = 0;
        ASSERT_TRUE(WriteRange(m_card, 0, mbr.data(), mbr.size()));
    }
    ServiceModule m_module{"Brevik.so", VORLANE_IID_VOLUME_FORMAT};
    const VolumeFormatTable* m_table = nullptr;
    std::string m_card;
};

TEST_F(ServicesBrevik, FormatsThePartitionOfTheFirstEntry) {
    if (!HaveTool("fsck.fat") || !HaveTool("mcopy")) GTEST_SKIP() << "dosfstools/mtools missing";
    WriteMbr(kFirst, kCount);
    // Old data: in front of the partition (must stay), in the FAT and root
    // cluster region (must go) and at the end of the card (free space, stays).
    std::vector<uint8_t> front = RandomBytes(511 * 4 * 512, 1);
    ASSERT_TRUE(WriteRange(m_card, 512, front.data(), front.size()));
    std::vector<uint8_t> junk(64 * 1024, 0xCD);
    ASSERT_TRUE(WriteRange(m_card, (kFirst + 40) * 512ull, junk.data(), junk.size()));
    std::vector<uint8_t> tail = RandomBytes(512, 2);
    ASSERT_TRUE(WriteRange(m_card, (kCardSectors - 1) * 512, tail.data(), tail.size()));

    int flags = 0;
    ASSERT_EQ(m_table->FormatVolume('E', 8192, &flags, kFirst), 0);

    EXPECT_EQ(ReadRange(m_card, 512, front.size()), front);
    EXPECT_EQ(ReadRange(m_card, (kCardSectors - 1) * 512, 512), tail);
    std::vector<uint8_t> boot = ReadRange(m_card, kFirst * 512ull, 512);
    EXPECT_EQ(boot[13], 16);               // 8 KiB clusters
    EXPECT_EQ(GetLE32(&boot[28]), kFirst); // hidden sectors
    EXPECT_EQ(GetLE32(&boot[32]), kCount);

    std::string part = HomePath("part.img");
    std::string out;
    ASSERT_EQ(RunCommand("dd if=" + m_card + " of=" + part +
                         " bs=512 skip=" + std::to_string(kFirst) +
                         " count=" + std::to_string(kCount) + " conv=sparse status=none"),
              0);
    EXPECT_EQ(RunCommand("fsck.fat -n " + part, &out), 0) << out;
    WriteFile(HomePath("a.bin"), RandomBytes(70000, 3));
    std::string at = m_card + "@@" + std::to_string(kFirst * 512ull);
    EXPECT_EQ(RunCommand("mcopy -i " + at + " " + HomePath("a.bin") + " ::/", &out), 0) << out;
    ASSERT_EQ(RunCommand("mdir -i " + at + " ::/", &out), 0) << out;
    EXPECT_NE(out.find("70 000"), std::string::npos) << out;
}

TEST_F(ServicesBrevik, RefusesBadRequestsWithoutTouchingTheCard) {
    struct Case {
        const char* what;
        int letter, clusterBytes;
        uint32_t entryFirst, entryCount, firstSector;
        bool signature;
        int expected;
    } cases[] = {
        {"cluster 0", 'E', 0, kFirst, kCount, kFirst, true, 201},
        {"cluster 1000", 'E', 1000, kFirst, kCount, kFirst, true, 201},
        {"cluster 256", 'E', 256, kFirst, kCount, kFirst, true, 201},
        {"cluster 128 KiB", 'E', 131072, kFirst, kCount, kFirst, true, 201},
        {"no such card", 'Q', 8192, kFirst, kCount, kFirst, true, 202},
        {"no table", 'E', 8192, kFirst, kCount, kFirst, false, 204},
        {"other first sector", 'E', 8192, 4096, kCount - 2048, kFirst, true, 205},
        {"past the card", 'E', 8192, kFirst, kCount + 1, kFirst, true, 206},
        {"empty entry", 'E', 8192, 0, 0, 0, true, 206},
        {"too small", 'E', 65536, kFirst, 1000000, kFirst, true, 207},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        WriteMbr(c.entryFirst, c.entryCount, c.signature);
        std::vector<uint8_t> before = ReadRange(m_card, 0, (kFirst + 4096) * 512);
        EXPECT_EQ(m_table->FormatVolume(c.letter, c.clusterBytes, nullptr, c.firstSector),
                  c.expected);
        EXPECT_TRUE(ReadRange(m_card, 0, (kFirst + 4096) * 512) == before);
    }
}

} // namespace
} // namespace vorlane::test
