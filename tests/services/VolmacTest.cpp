// Volume images checked by fsck.fat and mtools: the metadata, placed at the
// volume's first sector of an otherwise empty file, must be a usable volume.
#include "Interfaces.h"
#include "ServiceModule.h"
#include "ServiceTables.h"

#include <sys/stat.h>

namespace vorlane::test {
namespace {

class ServicesVolmac : public VorlaneTest {
  protected:
    void SetUp() override {
        VorlaneTest::SetUp();
        m_table = m_module.Table<VolumeImageTable>();
        ASSERT_NE(m_table, nullptr) << m_module.Error();
    }
    int Make(const std::string& file, int kind, uint32_t sectors, const char* label) {
        void* h = m_table->MountFile(file.c_str());
        if (!h) return -1;
        int r = m_table->MakeFileSystem(h, kind, sectors, label);
        m_table->UnmountFile(h);
        return r;
    }
    // Copies the metadata into a sparse file of `sectors` sectors at `offset` bytes.
    std::string Place(const std::string& meta, uint64_t sectors, uint64_t offset) {
        std::string image = HomePath("volume.img");
        std::string cmd =
            "rm -f " + image + " && truncate -s " + std::to_string(offset + sectors * 512) + " " +
            image + " && dd if=" + meta + " of=" + image +
            " bs=512 seek=" + std::to_string(offset / 512) + " conv=notrunc,sparse status=none";
        EXPECT_EQ(RunCommand(cmd), 0);
        return image;
    }

    ServiceModule m_module{"Volmac.so", VORLANE_IID_VOLUME_IMAGE};
    const VolumeImageTable* m_table = nullptr;
};

TEST_F(ServicesVolmac, MetadataMakesAVolumeThatFsckAndMtoolsAccept) {
    if (!HaveTool("fsck.fat") || !HaveTool("mcopy")) GTEST_SKIP() << "dosfstools/mtools missing";
    struct Case {
        uint32_t sectors;
        const char* label;
        uint32_t sectorsPerCluster;
        const char* labelBytes;
        uint64_t offset; // where the volume lies in the test file
    } cases[] = {
        {66600, "", 1, "NO NAME    ", 0},           // smallest size with 512-byte clusters
        {600001, "Data", 8, "DATA       ", 0},      // odd sector count
        {17000001, "", 16, "NO NAME    ", 1 << 20}, // above 8 GiB, inside a disk at 1 MiB
    };
    WriteFile(HomePath("hello.txt"), std::string("hello from the card\n"));
    for (const Case& c : cases) {
        SCOPED_TRACE(c.sectors);
        std::string meta = HomePath("thisdata.fexE");
        ASSERT_EQ(Make(meta, VOLUME_KIND_FAT32, c.sectors, c.label), 0);
        std::vector<uint8_t> boot = ReadRange(meta, 0, 512);
        ASSERT_EQ(boot.size(), 512u);
        EXPECT_EQ(boot[13], c.sectorsPerCluster);
        EXPECT_EQ(boot[21], 0xF8);
        EXPECT_EQ(GetLE32(&boot[32]), c.sectors);
        EXPECT_EQ(std::string(reinterpret_cast<char*>(&boot[71]), 11), c.labelBytes);
        EXPECT_NE(GetLE32(&boot[67]), 0u);
        // The file holds exactly reserved sectors, both FATs and the root cluster.
        struct stat st;
        ASSERT_EQ(stat(meta.c_str(), &st), 0);
        uint32_t fat = GetLE32(&boot[36]);
        EXPECT_EQ(uint64_t(st.st_size), (32ull + 2ull * fat + c.sectorsPerCluster) * 512);

        std::string image = Place(meta, c.sectors, c.offset);
        std::string out;
        if (c.offset == 0) {
            EXPECT_EQ(RunCommand("fsck.fat -n " + image, &out), 0) << out;
        }
        std::string at = image + "@@" + std::to_string(c.offset);
        EXPECT_EQ(RunCommand("mcopy -i " + at + " " + HomePath("hello.txt") + " ::/", &out), 0)
            << out;
        ASSERT_EQ(RunCommand("mdir -i " + at + " ::/", &out), 0) << out;
        EXPECT_NE(out.find("hello"), std::string::npos) << out;
        ASSERT_EQ(RunCommand("mtype -i " + at + " ::/hello.txt", &out), 0);
        EXPECT_EQ(out, "hello from the card\n");
        if (c.offset == 0) {
            EXPECT_EQ(RunCommand("fsck.fat -n " + image, &out), 0) << out;
        }
    }
}

TEST_F(ServicesVolmac, RefusesWhatFat32CannotHoldAndKeepsTheFile) {
    struct Case {
        int kind;
        uint32_t sectors;
        const char* label;
    } cases[] = {
        {1, 600000, ""}, {3, 600000, ""}, {2, 0, ""},
        {2, 1000, ""},   {2, 66000, ""},  {2, 600000, "FAR TOO LONG LABEL"},
    };
    std::string file = HomePath("work.fex");
    std::vector<uint8_t> before = RandomBytes(3000, 7);
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "kind " << c.kind << ", " << c.sectors << " sectors");
        WriteFile(file, before);
        EXPECT_GT(Make(file, c.kind, c.sectors, c.label), 0);
        EXPECT_EQ(ReadFile(file), before);
    }
    EXPECT_NE(m_table->MakeFileSystem(nullptr, 2, 600000, ""), 0);
    EXPECT_EQ(m_table->MountFile(HomePath("no/such/dir/file").c_str()), nullptr);
    EXPECT_EQ(m_table->MountFile(nullptr), nullptr);
}

TEST_F(ServicesVolmac, WorkFileExistsAfterUnmount) {
    std::string file = HomePath("fresh.fex");
    void* h = m_table->MountFile(file.c_str());
    ASSERT_NE(h, nullptr);
    ASSERT_EQ(m_table->MakeFileSystem(h, 2, 70000, ""), 0);
    m_table->UnmountFile(h);
    EXPECT_TRUE(FileExists(file));
    // A second volume in the same file replaces the first one completely.
    ASSERT_EQ(Make(file, 2, 600000, ""), 0);
    EXPECT_EQ(ReadRange(file, 0, 512)[13], 8);
}

} // namespace
} // namespace vorlane::test
