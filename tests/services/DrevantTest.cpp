// The card-operations service over virtual cards.
#include "Interfaces.h"
#include "ServiceModule.h"
#include "ServiceTables.h"

#include <cerrno>
#include <sys/stat.h>

namespace vorlane::test {
namespace {

constexpr uint32_t kSectors = 8192; // 4 MiB

class ServicesDrevant : public VorlaneTest {
  protected:
    void SetUp() override {
        VorlaneTest::SetUp();
        m_ops = m_module.Table<CardOperationsTable>();
        ASSERT_NE(m_ops, nullptr) << m_module.Error();
    }
    ServiceModule m_module{"Drevant.so", VORLANE_IID_CARD_OPERATIONS};
    const CardOperationsTable* m_ops = nullptr;
};

TEST_F(ServicesDrevant, SectorsRoundTripThroughTheCard) {
    std::string file = MakeVirtualCard('E', uint64_t(kSectors) * 512);
    void* card = m_ops->OpenCard('e'); // drive letters ignore case
    ASSERT_NE(card, nullptr);
    EXPECT_EQ(m_ops->GetCardCapacity(card), kSectors);

    std::vector<uint8_t> data = RandomBytes(37 * 512, 11);
    ASSERT_EQ(m_ops->WriteCardSectors(card, 100, 37, data.data(), 37 * 512), 0);
    std::vector<uint8_t> table = RandomBytes(512, 12);
    ASSERT_EQ(m_ops->WriteTableSector(card, table.data(), 0, 5), 0);
    std::vector<uint8_t> last = RandomBytes(2 * 512, 13);
    ASSERT_EQ(m_ops->WriteCardSectors(card, kSectors - 2, 2, last.data(), 2 * 512), 0);

    std::vector<uint8_t> back(37 * 512);
    ASSERT_EQ(m_ops->ReadCardSectors(card, 100, 37, back.data(), 37 * 512), 0);
    EXPECT_EQ(back, data);
    EXPECT_EQ(m_ops->CloseCard(card), 0);

    // What the card holds afterwards, read without the service.
    EXPECT_EQ(ReadRange(file, 100 * 512, data.size()), data);
    EXPECT_EQ(ReadRange(file, 5 * 512, 512), table);
    EXPECT_EQ(ReadRange(file, (kSectors - 2) * 512ull, last.size()), last);
}

TEST_F(ServicesDrevant, RefusesTransfersOutsideTheCardOrWithWrongByteCounts) {
    std::string file = MakeVirtualCard('F', uint64_t(kSectors) * 512);
    void* card = m_ops->OpenCard('F');
    ASSERT_NE(card, nullptr);
    std::vector<uint8_t> buffer(4 * 512, 0x5A);
    struct Case {
        uint32_t first, count, bytes;
        int expected;
    } cases[] = {
        {kSectors - 1, 2, 1024, ENOSPC}, {kSectors, 1, 512, ENOSPC}, {0xFFFFFFFFu, 1, 512, ENOSPC},
        {0xFFFFFFFFu, 4, 2048, ENOSPC},  {0, 2, 1000, EINVAL},       {0, 1, 1024, EINVAL},
        {0, 0x00800001u, 512, EINVAL}, // count x 512 does not fit 32 bits
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.first << "+" << c.count << " (" << c.bytes << ")");
        EXPECT_EQ(m_ops->WriteCardSectors(card, c.first, c.count, buffer.data(), c.bytes),
                  c.expected);
        EXPECT_EQ(m_ops->ReadCardSectors(card, c.first, c.count, buffer.data(), c.bytes),
                  c.expected);
    }
    EXPECT_NE(m_ops->WriteTableSector(card, buffer.data(), 0, kSectors), 0);
    EXPECT_NE(m_ops->WriteCardSectors(card, 0, 1, nullptr, 512), 0);
    EXPECT_EQ(m_ops->CloseCard(card), 0);

    // The card neither grew nor changed.
    struct stat st;
    ASSERT_EQ(stat(file.c_str(), &st), 0);
    EXPECT_EQ(uint64_t(st.st_size), uint64_t(kSectors) * 512);
    EXPECT_EQ(ReadRange(file, 0, 512), std::vector<uint8_t>(512, 0));
    EXPECT_EQ(ReadRange(file, (kSectors - 1) * 512ull, 512), std::vector<uint8_t>(512, 0));

    // Calls without an open card fail instead of crashing.
    EXPECT_NE(m_ops->WriteCardSectors(nullptr, 0, 1, buffer.data(), 512), 0);
    EXPECT_NE(m_ops->ReadCardSectors(nullptr, 0, 1, buffer.data(), 512), 0);
    EXPECT_NE(m_ops->CloseCard(nullptr), 0);
    EXPECT_EQ(m_ops->GetCardCapacity(nullptr), 0u);
}

TEST_F(ServicesDrevant, MissingCardGivesNullAndNamesTheDrive) {
    EXPECT_EQ(m_ops->OpenCard('Q'), nullptr);
    EXPECT_TRUE(m_capture.DebugContains("card Q not available"));
    EXPECT_EQ(m_ops->OpenCard(0), nullptr);
}

// The same service over a block device (a loop device over a file).
TEST_F(ServicesDrevant, SectorsRoundTripThroughABlockDevice) {
    if (!HaveTool("losetup")) GTEST_SKIP() << "losetup missing";
    std::string backing = HomePath("loop.img");
    std::string device;
    if (RunCommand("truncate -s 4M " + backing + " && losetup -f --show " + backing, &device) !=
            0 ||
        device.rfind("/dev/loop", 0) != 0)
        GTEST_SKIP() << "no loop device: " << device;
    device.erase(device.find_last_not_of("\n") + 1);
    struct Detach {
        std::string device;
        ~Detach() {
            VpDriveUnassign('L');
            RunCommand("losetup -d " + device);
        }
    } detach{device};
    char letter = VpDriveAssign('L', device.c_str());
    ASSERT_EQ(letter, 'L');
    void* card = m_ops->OpenCard('L');
    ASSERT_NE(card, nullptr);
    EXPECT_EQ(m_ops->GetCardCapacity(card), kSectors);
    std::vector<uint8_t> data = RandomBytes(3 * 512, 21);
    EXPECT_EQ(m_ops->WriteCardSectors(card, kSectors - 3, 3, data.data(), 3 * 512), 0);
    EXPECT_EQ(m_ops->WriteCardSectors(card, kSectors - 2, 3, data.data(), 3 * 512), ENOSPC);
    EXPECT_EQ(m_ops->CloseCard(card), 0);
    EXPECT_EQ(ReadRange(backing, (kSectors - 3) * 512ull, data.size()), data);
}

TEST_F(ServicesDrevant, CardsAbove2TiBReportTheLargestCapacity) {
    struct Case {
        uint64_t bytes;
        uint32_t expected;
    } cases[] = {
        {0xFFFFFFFEull * 512, 0xFFFFFFFEu},
        {0xFFFFFFFFull * 512, 0xFFFFFFFFu},
        {0x100000000ull * 512, 0xFFFFFFFFu},
        {3ull << 40, 0xFFFFFFFFu},
    };
    for (const Case& c : cases) {
        if (MakeVirtualCard('G', c.bytes).empty()) GTEST_SKIP() << "no sparse files this large";
        void* card = m_ops->OpenCard('G');
        ASSERT_NE(card, nullptr);
        EXPECT_EQ(m_ops->GetCardCapacity(card), c.expected) << c.bytes;
        m_ops->CloseCard(card);
    }
}

} // namespace
} // namespace vorlane::test
