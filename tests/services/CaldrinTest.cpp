// The GPT builder and the backup helper, checked with sgdisk on a file that
// holds the primary sectors at the start and the backup at the end.
#include "Interfaces.h"
#include "ServiceModule.h"
#include "ServiceTables.h"

#include <algorithm>
#include <cstring>

extern "C" int ServicesGptBackupFromC(const void* primary, size_t primaryBytes, uint32_t capacity,
                                      void* backup, size_t backupBytes, uint32_t* backupLba,
                                      uint32_t* backupSectors);

namespace vorlane::test {
namespace {

constexpr uint32_t kCapacity = 4194304; // 2 GiB, sparse
constexpr size_t kCanary = 4096;

struct Part {
    const char* name;
    uint32_t start, length;
};

// A large-layout device partition table (one 16 KiB copy).
std::vector<uint8_t> MakeTable(const std::vector<Part>& parts, uint32_t partCount) {
    std::vector<uint8_t> t(16384, 0);
    std::memcpy(&t[8], "qelvo411", 8);
    PutLE32(t, 24, partCount);
    for (size_t i = 0; i < parts.size(); ++i) {
        size_t at = 32 + 128 * i;
        PutLE32(t, at + 4, parts[i].start);
        PutLE32(t, at + 12, parts[i].length);
        std::memcpy(&t[at + 32], parts[i].name, std::strlen(parts[i].name));
    }
    return t;
}

const std::vector<Part> kStartupCard = {{"boot-resource", 0, 65536},
                                        {"env", 65536, 32768},
                                        {"boot", 98304, 65536},
                                        {"UDISK", 163840, 0}};

class ServicesCaldrin : public VorlaneTest {
  protected:
    void SetUp() override {
        VorlaneTest::SetUp();
        m_table = m_module.Table<TableConversionTable>();
        ASSERT_NE(m_table, nullptr) << m_module.Error();
    }
    // The caller's buffer: N = ceil(k x 128 / 512) + 2 sectors, zeroed, plus a canary.
    static std::vector<uint8_t> Buffer(uint32_t k) {
        size_t n = (size_t(k) * 128 + 511) / 512 + 2;
        std::vector<uint8_t> b(n * 512 + kCanary, 0);
        std::fill(b.end() - kCanary, b.end(), 0xEE);
        return b;
    }
    static bool CanaryIntact(const std::vector<uint8_t>& b) {
        for (size_t i = b.size() - kCanary; i < b.size(); ++i)
            if (b[i] != 0xEE) return false;
        return true;
    }
    // A disk image with the primary sectors at 0 and the backup at the end.
    std::string WriteDisk(const std::vector<uint8_t>& primary, size_t primaryBytes,
                          uint32_t capacity) {
        std::string disk = HomePath("disk.img");
        EXPECT_EQ(RunCommand("rm -f " + disk + " && truncate -s " +
                             std::to_string(uint64_t(capacity) * 512) + " " + disk),
                  0);
        EXPECT_TRUE(WriteRange(disk, 0, primary.data(), primaryBytes));
        std::vector<uint8_t> backup(primaryBytes, 0);
        uint32_t lba = 0, sectors = 0;
        EXPECT_EQ(ServicesGptBackupFromC(primary.data(), primaryBytes, capacity, backup.data(),
                                         backup.size(), &lba, &sectors),
                  0);
        EXPECT_EQ(uint64_t(lba) + sectors, capacity);
        EXPECT_TRUE(WriteRange(disk, uint64_t(lba) * 512, backup.data(), size_t(sectors) * 512));
        return disk;
    }
    ServiceModule m_module{"Caldrin.so", VORLANE_IID_TABLE_CONVERSION};
    const TableConversionTable* m_table = nullptr;
};

TEST_F(ServicesCaldrin, StartupCardGptPassesSgdisk) {
    if (!HaveTool("sgdisk")) GTEST_SKIP() << "sgdisk not installed";
    std::vector<uint8_t> table = MakeTable(kStartupCard, 4);
    std::vector<uint8_t> out = Buffer(4);
    ASSERT_EQ(m_table->BuildGpt(table.data(), out.data(), kCapacity, 1), 0);
    EXPECT_TRUE(CanaryIntact(out));
    EXPECT_EQ(out[446 + 4], 0xEE); // protective MBR
    EXPECT_EQ(out[510], 0x55);
    EXPECT_EQ(out[511], 0xAA);
    // Partition tools may not use the boot area in front of the first partition.
    EXPECT_EQ(GetLE32(&out[512 + 40]), 40960u);

    std::string disk = WriteDisk(out, out.size() - kCanary, kCapacity);
    std::string text;
    ASSERT_EQ(RunCommand("sgdisk -v " + disk, &text), 0) << text;
    EXPECT_NE(text.find("No problems found"), std::string::npos) << text;

    struct Expected {
        const char* name;
        uint64_t first, last;
        const char* type;
    } expected[] = {
        {"boot-resource", 40960, 106495, "0FC63DAF-8483-4772-8E79-3D69D8477DE4"},
        {"env", 106496, 139263, "0FC63DAF-8483-4772-8E79-3D69D8477DE4"},
        {"boot", 139264, 204799, "0FC63DAF-8483-4772-8E79-3D69D8477DE4"},
        {"UDISK", 204800, kCapacity - 3, "EBD0A0A2-B9E5-4433-87C0-68B6B72699C7"},
    };
    std::vector<std::string> guids;
    for (int i = 0; i < 4; ++i) {
        SCOPED_TRACE(expected[i].name);
        ASSERT_EQ(RunCommand("sgdisk -i " + std::to_string(i + 1) + " " + disk, &text), 0) << text;
        EXPECT_NE(text.find(std::string("Partition GUID code: ") + expected[i].type),
                  std::string::npos)
            << text;
        EXPECT_NE(text.find("First sector: " + std::to_string(expected[i].first) + " "),
                  std::string::npos)
            << text;
        EXPECT_NE(text.find("Last sector: " + std::to_string(expected[i].last) + " "),
                  std::string::npos)
            << text;
        EXPECT_NE(text.find(std::string("Partition name: '") + expected[i].name + "'"),
                  std::string::npos)
            << text;
        const std::string key = "Partition unique GUID: ";
        size_t at = text.find(key);
        if (at != std::string::npos) guids.push_back(text.substr(at + key.size(), 36));
    }
    ASSERT_EQ(guids.size(), 4u);
    for (size_t i = 0; i < guids.size(); ++i)
        for (size_t j = 0; j < i; ++j)
            EXPECT_NE(guids[i], guids[j]);

    // A second build gets a fresh disk GUID.
    std::vector<uint8_t> again = Buffer(4);
    ASSERT_EQ(m_table->BuildGpt(table.data(), again.data(), kCapacity, 1), 0);
    EXPECT_NE(std::vector<uint8_t>(out.begin() + 512 + 56, out.begin() + 512 + 72),
              std::vector<uint8_t>(again.begin() + 512 + 56, again.begin() + 512 + 72));
}

TEST_F(ServicesCaldrin, MoreThan120PartitionsAreCutTo120) {
    if (!HaveTool("sgdisk")) GTEST_SKIP() << "sgdisk not installed";
    std::vector<Part> parts;
    static char names[120][16];
    for (uint32_t i = 0; i < 120; ++i) {
        std::snprintf(names[i], sizeof names[i], "part%u", i);
        parts.push_back({names[i], i * 1000, 1000});
    }
    std::vector<uint8_t> table = MakeTable(parts, 200);
    std::vector<uint8_t> out = Buffer(200); // the caller sizes the buffer from the raw count
    ASSERT_EQ(m_table->BuildGpt(table.data(), out.data(), kCapacity, 1), 0);
    EXPECT_TRUE(CanaryIntact(out));
    EXPECT_EQ(GetLE32(&out[512 + 80]), 120u);
    // Only 2 + 30 sectors are used; the rest of the caller's buffer stays zero.
    for (size_t i = 32 * 512; i < out.size() - kCanary; ++i)
        ASSERT_EQ(out[i], 0) << i;
    std::string disk = WriteDisk(out, 32 * 512, kCapacity);
    std::string text;
    ASSERT_EQ(RunCommand("sgdisk -v " + disk, &text), 0) << text;
    EXPECT_NE(text.find("No problems found"), std::string::npos) << text;
}

TEST_F(ServicesCaldrin, RefusesBrokenTablesWithoutWriting) {
    const uint32_t big = 0xFFFFFFFFu;
    struct Case {
        const char* what;
        std::vector<Part> parts;
        uint32_t count, capacity;
        bool wrongMagic;
        int expected;
    } cases[] = {
        {"wrong magic", kStartupCard, 4, kCapacity, true, 402},
        {"no partitions", kStartupCard, 0, kCapacity, false, 403},
        {"tiny card", {{"a", 0, 1}}, 1, 5, false, 404},
        {"no capacity", {{"a", 0, 1}}, 1, 0, false, 404},
        {"start past the card", {{"a", kCapacity, 10}}, 1, kCapacity, false, 405},
        {"start overflows 32 bits", {{"a", big, 10}}, 1, kCapacity, false, 405},
        {"end past the card", {{"a", 0, kCapacity}}, 1, kCapacity, false, 406},
        {"UDISK past the card",
         {{"a", 0, 100}, {"UDISK", kCapacity - 40960, 0}},
         2,
         kCapacity,
         false,
         405},
        {"empty partition inside", {{"a", 0, 0}, {"b", 100, 100}}, 2, kCapacity, false, 407},
        {"overlap", {{"a", 0, 200}, {"b", 100, 100}}, 2, kCapacity, false, 408},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<uint8_t> table = MakeTable(c.parts, c.count);
        if (c.wrongMagic) table[13] = '3'; // the small layout's magic
        std::vector<uint8_t> out = Buffer(c.count);
        EXPECT_EQ(m_table->BuildGpt(table.data(), out.data(), c.capacity, 1), c.expected);
        EXPECT_TRUE(
            std::all_of(out.begin(), out.end() - kCanary, [](uint8_t b) { return b == 0; }));
        EXPECT_TRUE(CanaryIntact(out));
    }
    std::vector<uint8_t> out = Buffer(4);
    EXPECT_NE(m_table->BuildGpt(nullptr, out.data(), kCapacity, 1), 0);
}

TEST_F(ServicesCaldrin, NamesBecomeUtf16) {
    // ASCII, UTF-8 Chinese, a full 16-byte name without terminator, a stray byte.
    std::vector<Part> parts = {{"env", 0, 8},
                               {"\xE6\x95\xB0\xE6\x8D\xAE", 8, 8},
                               {"ABCDEFGHIJKLMNOP", 16, 8},
                               {"a\xFFz", 24, 8}};
    std::vector<uint8_t> table = MakeTable(parts, 4);
    std::vector<uint8_t> out = Buffer(4);
    ASSERT_EQ(m_table->BuildGpt(table.data(), out.data(), kCapacity, 1), 0);
    auto name = [&](int i) {
        std::u16string text;
        const uint8_t* p = &out[1024 + 128 * i + 56];
        for (int k = 0; k < 36 && (p[2 * k] || p[2 * k + 1]); ++k)
            text += char16_t(p[2 * k] | (p[2 * k + 1] << 8));
        return text;
    };
    EXPECT_EQ(name(0), u"env");
    EXPECT_EQ(name(1), u"\u6570\u636E");
    EXPECT_EQ(name(2), u"ABCDEFGHIJKLMNOP");
    EXPECT_EQ(name(3), u"a\uFFFDz");
}

TEST_F(ServicesCaldrin, BackupHelperRefusesWhatItCannotMirror) {
    std::vector<uint8_t> table = MakeTable(kStartupCard, 4);
    std::vector<uint8_t> out = Buffer(4);
    ASSERT_EQ(m_table->BuildGpt(table.data(), out.data(), kCapacity, 1), 0);
    const size_t bytes = 3 * 512;
    std::vector<uint8_t> backup(bytes, 0);
    uint32_t lba = 0, sectors = 0;
    ASSERT_EQ(ServicesGptBackupFromC(out.data(), bytes, kCapacity, backup.data(), backup.size(),
                                     &lba, &sectors),
              0);
    EXPECT_EQ(lba, kCapacity - 2);
    EXPECT_EQ(sectors, 2u);
    EXPECT_EQ(GetLE32(&backup[512 + 24]), kCapacity - 1); // MyLBA
    EXPECT_EQ(GetLE32(&backup[512 + 32]), 1u);            // AlternateLBA
    EXPECT_EQ(GetLE32(&backup[512 + 72]), kCapacity - 2); // entries
    EXPECT_EQ(0, std::memcmp(&backup[0], &out[1024], 512));

    EXPECT_EQ(ServicesGptBackupFromC(out.data(), bytes, kCapacity + 1, backup.data(), backup.size(),
                                     &lba, &sectors),
              6);
    EXPECT_EQ(
        ServicesGptBackupFromC(out.data(), bytes, kCapacity, backup.data(), 1023, &lba, &sectors),
        7);
    EXPECT_EQ(ServicesGptBackupFromC(out.data(), 2 * 512, kCapacity, backup.data(), backup.size(),
                                     &lba, &sectors),
              4);
    std::vector<uint8_t> bad = out;
    bad[1024 + 60] ^= 1; // an entry's name
    EXPECT_EQ(ServicesGptBackupFromC(bad.data(), bytes, kCapacity, backup.data(), backup.size(),
                                     &lba, &sectors),
              5);
    bad = out;
    bad[512 + 40] ^= 1; // FirstUsableLBA
    EXPECT_EQ(ServicesGptBackupFromC(bad.data(), bytes, kCapacity, backup.data(), backup.size(),
                                     &lba, &sectors),
              3);
    bad = out;
    bad[512] = 'X';
    EXPECT_EQ(ServicesGptBackupFromC(bad.data(), bytes, kCapacity, backup.data(), backup.size(),
                                     &lba, &sectors),
              2);
}

} // namespace
} // namespace vorlane::test
