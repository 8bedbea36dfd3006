// The sum service: little-endian 32-bit words, any split of the data.
#include "Interfaces.h"
#include "ServiceModule.h"
#include "ServiceTables.h"

namespace vorlane::test {
namespace {

class ServicesTessary : public ::testing::Test {
  protected:
    void SetUp() override {
        m_sum = m_module.Table<SumTable>();
        ASSERT_NE(m_sum, nullptr) << m_module.Error();
    }
    // Sum of `data` fed in pieces of `piece` bytes.
    uint32_t Sum(const std::vector<uint8_t>& data, size_t piece) {
        void* c = m_sum->SumBegin();
        EXPECT_NE(c, nullptr);
        for (size_t at = 0; at < data.size(); at += piece) {
            uint32_t n = uint32_t(std::min(piece, data.size() - at));
            EXPECT_EQ(m_sum->SumUpdate(c, data.data() + at, n), 0);
        }
        uint32_t sum = 0xDEADBEEF;
        EXPECT_EQ(m_sum->SumFinish(c, &sum), 0);
        m_sum->SumRelease(c);
        return sum;
    }
    ServiceModule m_module{"Tessary.so", VORLANE_IID_SUM};
    const SumTable* m_sum = nullptr;
};

TEST_F(ServicesTessary, SumsLittleEndianWordsWithAZeroPaddedTail) {
    struct Case {
        std::vector<uint8_t> data;
        uint32_t expected;
    } cases[] = {
        {{}, 0},
        {{0x61, 0x62, 0x63, 0x64}, 0x64636261},
        {{0x61, 0x62, 0x63, 0x64, 0x65}, 0x64636261 + 0x65},
        {{0x01, 0x02, 0x03}, 0x030201},
        {{0xFF, 0xFF, 0xFF, 0xFF, 0x02, 0, 0, 0}, 1}, // wraps modulo 2^32
    };
    for (const Case& c : cases)
        for (size_t piece : {size_t(1), size_t(3), size_t(64)})
            EXPECT_EQ(Sum(c.data, piece), c.expected) << c.data.size() << " bytes by " << piece;
}

TEST_F(ServicesTessary, PiecesAndInterleavedContextsDoNotChangeTheSum) {
    std::vector<uint8_t> data = RandomBytes(70001, 5);
    uint32_t expected = 0;
    for (size_t i = 0; i < data.size(); ++i)
        expected += uint32_t(data[i]) << (8 * (i % 4));
    for (size_t piece : {size_t(997), size_t(4096), size_t(70001), size_t(7)})
        EXPECT_EQ(Sum(data, piece), expected) << piece;

    void* a = m_sum->SumBegin();
    void* b = m_sum->SumBegin();
    ASSERT_NE(a, b);
    const uint8_t x[3] = {1, 2, 3}, y[2] = {9, 9};
    m_sum->SumUpdate(a, x, 3);
    m_sum->SumUpdate(b, y, 2);
    m_sum->SumUpdate(a, x, 3);
    uint32_t sa = 0, sb = 0;
    ASSERT_EQ(m_sum->SumFinish(a, &sa), 0);
    ASSERT_EQ(m_sum->SumFinish(b, &sb), 0);
    EXPECT_EQ(sa, 0x01030201u + 0x0302u);
    EXPECT_EQ(sb, 0x0909u);
    m_sum->SumRelease(a);
    m_sum->SumRelease(b);

    uint32_t s = 0;
    EXPECT_NE(m_sum->SumUpdate(nullptr, x, 3), 0);
    EXPECT_NE(m_sum->SumFinish(nullptr, &s), 0);
    void* c = m_sum->SumBegin();
    EXPECT_NE(m_sum->SumUpdate(c, nullptr, 3), 0);
    EXPECT_NE(m_sum->SumFinish(c, nullptr), 0);
    m_sum->SumRelease(c);
}

} // namespace
} // namespace vorlane::test
