// The checksum service through the plug-in centre, against zlib's crc32.
#include "Interfaces.h"
#include "ServiceTables.h"
#include "TestSupport.h"

#include <zlib.h>

#include <cstring>
#include <thread>

namespace {

using namespace vorlane::test;

class CoreCrc32 : public VorlaneTest {
  protected:
    void SetUp() override {
        VorlaneTest::SetUp();
        ASSERT_NE(PluginCenter(), nullptr);
        PluginLoadRecord record = {};
        std::strcpy(record.id, VORLANE_IID_CHECKSUM);
        std::strcpy(record.path, "crc32.so");
        ASSERT_NE(PluginCenter()->LoadPlugin(&record), 0);
        m_crc = static_cast<const ChecksumTable*>(
            PluginCenter()->GetPluginInterface(VORLANE_IID_CHECKSUM));
        ASSERT_NE(m_crc, nullptr);
    }
    // Begin, one Update per chunk of `chunk` bytes, Finish, Release.
    uint32_t Checksum(const uint8_t* data, size_t size, size_t chunk) {
        void* c = m_crc->CrcBegin();
        EXPECT_NE(c, nullptr);
        for (size_t done = 0; done < size; done += chunk)
            EXPECT_EQ(m_crc->CrcUpdate(c, data + done, uint32_t(std::min(chunk, size - done))), 0);
        uint32_t value = 0;
        EXPECT_EQ(m_crc->CrcFinish(c, &value), 0);
        EXPECT_EQ(m_crc->CrcRelease(c), 0);
        return value;
    }
    const ChecksumTable* m_crc = nullptr;
};

TEST_F(CoreCrc32, CheckValueAndEmptyInput) {
    EXPECT_EQ(Checksum(reinterpret_cast<const uint8_t*>("123456789"), 9, 9), 0xCBF43926u);
    EXPECT_EQ(Checksum(reinterpret_cast<const uint8_t*>("123456789"), 9, 2), 0xCBF43926u);
    EXPECT_EQ(Checksum(nullptr, 0, 1), 0u);
}

TEST_F(CoreCrc32, OddLengthsAlignmentsAndChunksMatchZlib) {
    const auto data = RandomBytes(70000 + 16, 99);
    const size_t lengths[] = {1,  3,   7,   8,   15,  16,  17,   63,    64,   65,
                              80, 127, 128, 511, 512, 997, 4095, 65537, 70000};
    const size_t chunks[] = {1, 5, 512, 997, 65536};
    for (size_t align = 0; align < 16; align += 3)
        for (size_t length : lengths)
            for (size_t chunk : chunks) {
                if (chunk == 1 && length > 4096) continue;
                const uint8_t* p = data.data() + align;
                const uint32_t want = uint32_t(crc32(0, p, uInt(length)));
                EXPECT_EQ(Checksum(p, length, chunk), want)
                    << "align " << align << " length " << length << " chunk " << chunk;
            }
}

TEST_F(CoreCrc32, ContextsAreIndependent) {
    const auto a = RandomBytes(100000, 1), b = RandomBytes(100000, 2);
    std::vector<uint32_t> results(4);
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&, t] {
            const auto& data = t % 2 ? a : b;
            void* c = m_crc->CrcBegin();
            for (size_t done = 0; done < data.size(); done += 997)
                m_crc->CrcUpdate(c, data.data() + done,
                                 uint32_t(std::min<size_t>(997, data.size() - done)));
            m_crc->CrcFinish(c, &results[size_t(t)]);
            m_crc->CrcRelease(c);
        });
    for (auto& t : threads)
        t.join();
    for (int t = 0; t < 4; ++t)
        EXPECT_EQ(results[size_t(t)], uint32_t(crc32(0, (t % 2 ? a : b).data(), uInt(a.size()))));
    // Interleaved on one thread.
    void* x = m_crc->CrcBegin();
    void* y = m_crc->CrcBegin();
    ASSERT_NE(x, y);
    m_crc->CrcUpdate(x, "1234", 4);
    m_crc->CrcUpdate(y, "abc", 3);
    m_crc->CrcUpdate(x, "56789", 5);
    uint32_t vx = 0, vy = 0;
    EXPECT_EQ(m_crc->CrcFinish(x, &vx), 0);
    EXPECT_EQ(m_crc->CrcFinish(y, &vy), 0);
    EXPECT_EQ(vx, 0xCBF43926u);
    EXPECT_EQ(vy, 0x352441C2u);
    m_crc->CrcRelease(x);
    m_crc->CrcRelease(y);
}

TEST_F(CoreCrc32, RefusesBadArguments) {
    int notContext = 0;
    uint32_t value = 0;
    EXPECT_NE(m_crc->CrcUpdate(nullptr, "x", 1), 0);
    EXPECT_NE(m_crc->CrcUpdate(&notContext, "x", 1), 0);
    EXPECT_NE(m_crc->CrcFinish(nullptr, &value), 0);
    EXPECT_NE(m_crc->CrcRelease(nullptr), 0);
    void* c = m_crc->CrcBegin();
    EXPECT_NE(m_crc->CrcUpdate(c, nullptr, 10), 0);
    EXPECT_EQ(m_crc->CrcUpdate(c, nullptr, 0), 0);
    EXPECT_NE(m_crc->CrcFinish(c, nullptr), 0);
    EXPECT_EQ(m_crc->CrcRelease(c), 0);
}

} // namespace
