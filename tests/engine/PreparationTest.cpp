// The command runner and the exFAT preparation of a card, checked with the
// system's own tools.
#include "Preparation.h"
#include "TestSupport.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace vorlane::test {
namespace {

using engine::CopyFileExtents;
using engine::ExecuteCmd;
using engine::PrepareCardExfat;

using PreparationTest = VorlaneTest;

TEST_F(PreparationTest, ExecuteCmdCapturesOutputAndErrorAndReportsStartFailures) {
    int code = 0;
    EXPECT_EQ("out\nerr\n", ExecuteCmd("sh", {"-c", "echo out; echo err >&2; exit 3"}, &code));
    EXPECT_EQ(3, code);
    EXPECT_EQ("", ExecuteCmd("true", {}, &code));
    EXPECT_EQ(0, code);
    EXPECT_EQ("failed", ExecuteCmd("/nonexistent/program", {"x"}, &code));
    EXPECT_EQ(-1, code);
    EXPECT_EQ("failed", ExecuteCmd("no-such-program-here", {}, &code));
    // Standard input is fed when asked for, and output longer than one read
    // buffer arrives whole.
    std::string input(70000, 'x');
    EXPECT_EQ(input, ExecuteCmd("cat", {}, &code, &input));
    // A program that does not read its input does not take the caller down.
    std::string big(4 << 20, 'y');
    EXPECT_EQ("", ExecuteCmd("true", {}, &code, &big));
    EXPECT_EQ(0, code);
}

TEST_F(PreparationTest, ExecuteCmdRunsAProgramInItsOwnDirectory) {
    std::string dir = m_root + "/tools";
    ASSERT_EQ(0, mkdir(dir.c_str(), 0755));
    WriteFile(dir + "/where.sh", std::string("#!/bin/sh\npwd -P\n"));
    ASSERT_EQ(0, chmod((dir + "/where.sh").c_str(), 0755));
    char real[4096];
    ASSERT_NE(nullptr, realpath(dir.c_str(), real));
    char before[4096];
    ASSERT_NE(nullptr, getcwd(before, sizeof before));
    EXPECT_EQ(std::string(real) + "\n", ExecuteCmd(dir + "/where.sh", {}));
    char after[4096];
    ASSERT_NE(nullptr, getcwd(after, sizeof after));
    EXPECT_STREQ(before, after); // the process keeps its own directory
}

TEST_F(PreparationTest, CopyFileExtentsWritesOnlyTheDataOfASparseFile) {
    const uint64_t cardBytes = 4 << 20;
    std::string card = MakeVirtualCard('E', cardBytes);
    std::vector<uint8_t> fill(cardBytes, 0xEE);
    WriteFile(card, fill);
    std::string source = m_root + "/sparse.bin";
    int fd = open(source.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600);
    ASSERT_GE(fd, 0);
    std::vector<uint8_t> a = RandomBytes(997, 1), b = RandomBytes(70000, 2);
    ASSERT_EQ(997, pwrite(fd, a.data(), a.size(), 0));
    ASSERT_EQ(70000, pwrite(fd, b.data(), b.size(), 1 << 20)); // behind a 1 MiB hole
    ASSERT_EQ(0, ftruncate(fd, 3 << 20));                      // a trailing hole
    close(fd);
    VpDriveRefresh();
    ASSERT_EQ(0, CopyFileExtents(source, 'E', 4096));
    std::vector<uint8_t> out = ReadFile(card);
    ASSERT_EQ(cardBytes, out.size());
    EXPECT_TRUE(std::equal(a.begin(), a.end(), out.begin() + 4096));
    EXPECT_TRUE(std::equal(b.begin(), b.end(), out.begin() + 4096 + (1 << 20)));
    // The card keeps its bytes where the file has holes (SEEK_HOLE works in
    // file-system blocks, so look well inside the holes).
    EXPECT_EQ(0xEE, out[4096 + 512 * 1024]);
    EXPECT_EQ(0xEE, out[4096 + (2 << 20) + 8192]);
    EXPECT_EQ(0xEE, out[100]);
    // A file larger than the card is refused instead of being cut silently.
    ASSERT_EQ(0, truncate(source.c_str(), 8 << 20));
    fd = open(source.c_str(), O_WRONLY);
    ASSERT_EQ(1, pwrite(fd, "z", 1, (8 << 20) - 1));
    close(fd);
    EXPECT_NE(0, CopyFileExtents(source, 'E', 0));
}

TEST_F(PreparationTest, VirtualCardGetsOneExfatPartitionFromSector2048) {
    if (!HaveTool("sfdisk") || !HaveTool("mkfs.exfat") || !HaveTool("fsck.exfat"))
        GTEST_SKIP() << "sfdisk or exfatprogs missing";
    const uint64_t cardBytes = 96ull << 20;
    std::string card = MakeVirtualCard('E', cardBytes);
    // An old boot area and magic block must not survive.
    std::vector<uint8_t> old = RandomBytes(1 << 20, 3);
    WriteFile(card, old);
    ASSERT_EQ(0, truncate(card.c_str(), static_cast<off_t>(cardBytes)));
    VpDriveRefresh();
    std::string detail;
    ASSERT_EQ(0, PrepareCardExfat('E', &detail)) << detail;
    std::string json;
    ASSERT_EQ(0, RunCommand("sfdisk --json '" + card + "'", &json));
    auto value = [&](const std::string& key) {
        size_t k = json.find("\"" + key + "\":", json.find("\"partitions\""));
        if (k == std::string::npos) return std::string();
        size_t v = json.find_first_not_of(" \"", k + key.size() + 3);
        return json.substr(v, json.find_first_of("\",\n", v) - v);
    };
    EXPECT_EQ("2048", value("start")) << json;
    EXPECT_EQ(std::to_string(cardBytes / 512 - 2048), value("size")) << json;
    EXPECT_EQ("7", value("type")) << json;
    EXPECT_EQ(std::string::npos, json.find("\"start\"", json.find("\"type\"")))
        << "one partition only: " << json;
    std::string part = m_root + "/part.bin", out;
    ASSERT_EQ(0, RunCommand("dd if='" + card + "' of='" + part +
                            "' bs=1M skip=1 conv=sparse status=none"));
    EXPECT_EQ(0, RunCommand("fsck.exfat -n '" + part + "'", &out)) << out;
    std::vector<uint8_t> bytes = ReadFile(card);
    EXPECT_TRUE(std::all_of(bytes.begin() + 512, bytes.begin() + (1 << 20), [](uint8_t c) {
        return c == 0;
    })) << "the old boot area survived";
    EXPECT_FALSE(FileExists(HomePath("exfat-E.tmp")));
}

TEST_F(PreparationTest, RefusedCardsAreLeftUntouched) {
    std::string small = MakeVirtualCard('E', 1 << 20); // no room behind sector 2048
    VpDriveRefresh();
    std::string detail;
    EXPECT_EQ(engine::kPrepareTooSmall, PrepareCardExfat('E', &detail));
    EXPECT_NE(std::string::npos, detail.find(small)) << detail;
    struct stat st;
    ASSERT_EQ(0, stat(small.c_str(), &st));
    EXPECT_EQ(0, st.st_blocks);
    EXPECT_EQ(engine::kPrepareNoCard, PrepareCardExfat('Q', &detail));
}

} // namespace
} // namespace vorlane::test
