// The card-device service on a virtual card: exact byte ranges, failures
// as positive codes, the plug-in exports.
#include "Interfaces.h"
#include "ServiceTables.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>

namespace vorlane::test {
namespace {

class Quillon : public VorlaneTest {
  protected:
    void SetUp() override {
        VorlaneTest::SetUp();
        const PluginManTable* man = PluginCenter();
        ASSERT_NE(man, nullptr);
        PluginLoadRecord record{};
        std::strcpy(record.id, VORLANE_IID_CARD_DEVICE);
        std::strcpy(record.path, "Quillon.so");
        ASSERT_NE(man->LoadPlugin(&record), 0);
        m_table =
            static_cast<const CardDeviceTable*>(man->GetPluginInterface(VORLANE_IID_CARD_DEVICE));
        ASSERT_NE(m_table, nullptr);
        m_path = MakeVirtualCard('E', 64 * 1024);
        m_before = std::vector<uint8_t>(64 * 1024, 0x5A);
        WriteFile(m_path, m_before);
        VpDriveRefresh();
    }
    const CardDeviceTable* m_table = nullptr;
    std::string m_path;
    std::vector<uint8_t> m_before;
};

TEST_F(Quillon, WritesExactlyTheByteCountAtTheSector) {
    void* device = m_table->OpenDevice('E', CARD_DEVICE_ACCESS, CARD_DEVICE_MODE);
    ASSERT_NE(device, nullptr);
    std::vector<uint8_t> data = RandomBytes(700, 41);
    // A tail of 700 bytes comes with the sector count rounded down.
    EXPECT_EQ(m_table->WriteSectors(device, 3, 1, data.data(), 700), 0);
    std::vector<uint8_t> back(700);
    EXPECT_EQ(m_table->ReadSectors(device, 3, 1, back.data(), 700), 0);
    EXPECT_EQ(back, data);
    EXPECT_EQ(m_table->CloseDevice(device), 0);
    std::vector<uint8_t> expected = m_before;
    std::copy(data.begin(), data.end(), expected.begin() + 3 * 512);
    EXPECT_EQ(ReadFile(m_path), expected);
}

TEST_F(Quillon, FailuresArePositiveCodesAndWriteNothing) {
    void* device = m_table->OpenDevice('E', CARD_DEVICE_ACCESS, CARD_DEVICE_MODE);
    ASSERT_NE(device, nullptr);
    std::vector<uint8_t> data(1024, 1);
    EXPECT_GT(m_table->WriteSectors(device, 127, 2, data.data(), 1024), 0); // runs past the end
    EXPECT_GT(m_table->WriteSectors(device, 0xFFFFFFFFu, 2, data.data(), 1024), 0);
    EXPECT_GT(m_table->ReadSectors(device, 128, 1, data.data(), 512), 0);
    EXPECT_GT(m_table->WriteSectors(device, 0, 1, nullptr, 512), 0);
    EXPECT_GT(m_table->WriteSectors(nullptr, 0, 1, data.data(), 512), 0);
    EXPECT_EQ(m_table->CloseDevice(device), 0);
    EXPECT_EQ(ReadFile(m_path), m_before);
    EXPECT_GT(m_table->CloseDevice(nullptr), 0);
}

TEST_F(Quillon, OpenFailures) {
    EXPECT_EQ(m_table->OpenDevice('Q', CARD_DEVICE_ACCESS, CARD_DEVICE_MODE), nullptr);
    EXPECT_TRUE(m_capture.DebugContains("card Q"));
    // Opened for reading only: writes are refused.
    void* device = m_table->OpenDevice('E', 0x80000000u, CARD_DEVICE_MODE);
    ASSERT_NE(device, nullptr);
    std::vector<uint8_t> data(512, 1);
    EXPECT_GT(m_table->WriteSectors(device, 0, 1, data.data(), 512), 0);
    EXPECT_EQ(m_table->CloseDevice(device), 0);
    EXPECT_EQ(ReadFile(m_path), m_before);
}

} // namespace
} // namespace vorlane::test
