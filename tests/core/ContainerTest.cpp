// The container reader against hand-made images: one valid image built byte
// by byte here, and a table of broken variants of it that must be refused.
#include "Container.h"
#include "TestSupport.h"

#include <cstring>
#include <functional>

namespace {

using vorlane::image::Container;
using vorlane::test::Crc32;
using vorlane::test::GetLE32;
using vorlane::test::PutLE32;
using vorlane::test::PutLE64;

constexpr size_t kTable = 2048;

uint64_t GetLE64(const std::vector<uint8_t>& b, size_t at) {
    return uint64_t(GetLE32(&b[at])) | (uint64_t(GetLE32(&b[at + 4])) << 32);
}

// Record field offsets of both versions.
size_t RecordSize(uint32_t v) {
    return v == 1 ? 64 : 80;
}
size_t Rec(uint32_t v, size_t i) {
    return kTable + i * RecordSize(v);
}

// Recomputes the table CRC (when asked) and the header CRC from the header fields.
void Seal(std::vector<uint8_t>& b, bool table = true) {
    if (b.size() < 64) return;
    const uint64_t offset = GetLE64(b, 24);
    const uint64_t size = uint64_t(GetLE32(&b[16])) * GetLE32(&b[20]);
    if (table && offset <= b.size() && size <= b.size() - offset)
        PutLE32(b, 40, Crc32(b.data() + offset, size));
    PutLE32(b, 60, Crc32(b.data(), 60));
}

void SetName(std::vector<uint8_t>& b, size_t record, const char* mainType, const char* subType) {
    std::memset(&b[record], 0, 24);
    std::memcpy(&b[record], mainType, std::strlen(mainType));
    std::memcpy(&b[record + 8], subType, std::strlen(subType));
}

void SetItem(std::vector<uint8_t>& b, uint32_t v, size_t i, uint64_t offset, uint64_t size) {
    const size_t r = Rec(v, i);
    if (v == 1) {
        PutLE32(b, r + 24, uint32_t(offset));
        PutLE32(b, r + 28, uint32_t(size));
    } else {
        PutLE64(b, r + 24, offset);
        PutLE64(b, r + 32, size);
    }
}

// Two items: "Main"/"SubA" 100 bytes at 512, "MAIN"/"subB" 600 bytes at 1024,
// the table at 2048, alignment 512.
std::vector<uint8_t> MakeImage(uint32_t v) {
    const size_t rs = RecordSize(v);
    std::vector<uint8_t> b(kTable + 2 * rs, 0);
    std::memcpy(b.data(), "VLNIMAGE", 8);
    PutLE32(b, 8, v);
    PutLE32(b, 12, 64);
    PutLE32(b, 16, 2);
    PutLE32(b, 20, uint32_t(rs));
    PutLE64(b, 24, kTable);
    PutLE64(b, 32, b.size());
    PutLE32(b, 44, 512);
    const auto a = vorlane::test::RandomBytes(100, 1), c = vorlane::test::RandomBytes(600, 2);
    std::memcpy(&b[512], a.data(), a.size());
    std::memcpy(&b[1024], c.data(), c.size());
    SetName(b, Rec(v, 0), "Main", "SubA");
    SetName(b, Rec(v, 1), "MAIN", "subB");
    SetItem(b, v, 0, 512, a.size());
    SetItem(b, v, 1, 1024, c.size());
    PutLE32(b, Rec(v, 0) + (v == 1 ? 32 : 40), Crc32(a.data(), a.size()));
    PutLE32(b, Rec(v, 1) + (v == 1 ? 32 : 40), Crc32(c.data(), c.size()));
    Seal(b);
    return b;
}

TEST(CoreContainer, AcceptsHandMadeImagesOfBothVersions) {
    for (uint32_t v : {1u, 2u}) {
        const auto b = MakeImage(v);
        Container c;
        std::string error;
        ASSERT_TRUE(c.LoadMemory(b.data(), b.size(), v, &error)) << v << ": " << error;
        ASSERT_EQ(c.Items().size(), 2u);
        EXPECT_EQ(c.Items()[1].offset, 1024u);
        EXPECT_EQ(c.Items()[1].size, 600u);
        EXPECT_EQ(c.Items()[1].crc, Crc32(&b[1024], 600));
        EXPECT_TRUE(c.LoadMemory(b.data(), b.size(), 0, &error)) << error;
        EXPECT_FALSE(c.LoadMemory(b.data(), b.size(), 3 - v, &error)) << "other version accepted";
        EXPECT_TRUE(c.Items().empty());
    }
}

TEST(CoreContainer, EmptyItemsAndEmptyTablesAreValid) {
    auto b = MakeImage(2);
    SetItem(b, 2, 0, kTable, 0); // an empty item where the table starts shares no byte
    Seal(b);
    Container c;
    std::string error;
    EXPECT_TRUE(c.LoadMemory(b.data(), b.size(), 2, &error)) << error;

    std::vector<uint8_t> none(b.begin(), b.begin() + 64);
    PutLE32(none, 16, 0);
    PutLE64(none, 24, 64);
    PutLE64(none, 32, 64);
    Seal(none);
    EXPECT_TRUE(c.LoadMemory(none.data(), none.size(), 2, &error)) << error;
    EXPECT_TRUE(c.Items().empty());
}

struct BrokenCase {
    const char* what;
    uint32_t version;
    const char* expect; // part of the error text: the check that must catch it
    std::function<void(std::vector<uint8_t>&)> breakIt;
};

TEST(CoreContainer, RefusesBrokenImages) {
    const BrokenCase cases[] = {
        {"wrong magic", 2, "magic",
         [](auto& b) {
             b[0] = 'X';
             Seal(b);
         }},
        {"version 3", 2, "version",
         [](auto& b) {
             PutLE32(b, 8, 3);
             Seal(b);
         }},
        {"version 0", 2, "version",
         [](auto& b) {
             PutLE32(b, 8, 0);
             Seal(b);
         }},
        {"header size 65", 2, "header size",
         [](auto& b) {
             PutLE32(b, 12, 65);
             Seal(b);
         }},
        {"v2 with v1 record size", 2, "record size",
         [](auto& b) {
             PutLE32(b, 20, 64);
             Seal(b);
         }},
        {"v1 with v2 record size", 1, "record size",
         [](auto& b) {
             PutLE32(b, 20, 80);
             Seal(b);
         }},
        {"header CRC", 2, "header CRC", [](auto& b) { b[60] ^= 1; }},
        {"header byte changed", 2, "header CRC", [](auto& b) { b[50] ^= 1; }},
        {"table CRC", 2, "table CRC",
         [](auto& b) {
             b[Rec(2, 1) + 60] ^= 1;
             Seal(b, false);
         }},
        {"stored size too large", 2, "stored file size",
         [](auto& b) {
             PutLE64(b, 32, b.size() + 1);
             Seal(b);
         }},
        {"truncated by one byte", 2, "stored file size", [](auto& b) { b.pop_back(); }},
        {"truncated inside the header", 2, "too short", [](auto& b) { b.resize(63); }},
        {"empty file", 2, "too short", [](auto& b) { b.clear(); }},
        {"table past the end", 2, "table outside",
         [](auto& b) {
             PutLE64(b, 24, b.size() - 100);
             Seal(b);
         }},
        {"table offset far out", 2, "table outside",
         [](auto& b) {
             PutLE64(b, 24, ~uint64_t(0) - 10);
             Seal(b);
         }},
        {"table over the header", 2, "table outside",
         [](auto& b) {
             PutLE64(b, 24, 0);
             Seal(b);
         }},
        {"count larger than the table", 2, "table outside",
         [](auto& b) {
             PutLE32(b, 16, 3);
             Seal(b);
         }},
        {"count 4097", 2, "item count",
         [](auto& b) {
             PutLE32(b, 16, 4097);
             Seal(b);
         }},
        {"count 0xFFFFFFFF", 1, "item count",
         [](auto& b) {
             PutLE32(b, 16, 0xFFFFFFFFu);
             Seal(b);
         }},
        {"item past the end", 2, "outside the file",
         [](auto& b) {
             SetItem(b, 2, 1, 1024, 10000);
             Seal(b);
         }},
        {"item offset+size wraps", 2, "outside the file",
         [](auto& b) {
             SetItem(b, 2, 1, 1024, ~uint64_t(0) - 100);
             Seal(b);
         }},
        {"item offset far out", 2, "outside the file",
         [](auto& b) {
             SetItem(b, 2, 1, uint64_t(1) << 63, 1);
             Seal(b);
         }},
        {"v1 item past the end", 1, "outside the file",
         [](auto& b) {
             SetItem(b, 1, 1, 1024, 0xFFFFFF00u);
             Seal(b);
         }},
        {"item over the header", 2, "overlaps the header",
         [](auto& b) {
             SetItem(b, 2, 0, 0, 100);
             Seal(b);
         }},
        {"item over the table", 2, "overlaps the item table",
         [](auto& b) {
             SetItem(b, 2, 1, 1536, 600);
             Seal(b);
         }},
        {"items overlap", 2, "overlap",
         [](auto& b) {
             SetItem(b, 2, 1, 512, 600);
             Seal(b);
         }},
        {"items overlap by one byte", 1, "overlap",
         [](auto& b) {
             SetItem(b, 1, 0, 512, 513);
             Seal(b);
         }},
        {"offset not aligned", 2, "not aligned",
         [](auto& b) {
             SetItem(b, 2, 0, 520, 100);
             Seal(b);
         }},
        {"alignment not a power of two", 2, "alignment",
         [](auto& b) {
             PutLE32(b, 44, 1000);
             Seal(b);
         }},
        {"alignment below 512", 2, "alignment",
         [](auto& b) {
             PutLE32(b, 44, 256);
             Seal(b);
         }},
        {"space in a name", 2, "invalid name",
         [](auto& b) {
             SetName(b, Rec(2, 0), "Ma in", "SubA");
             Seal(b);
         }},
        {"byte 0x7F in a name", 1, "invalid name",
         [](auto& b) {
             SetName(b, Rec(1, 0), "Main\x7F", "SubA");
             Seal(b);
         }},
        {"empty main type", 2, "invalid name",
         [](auto& b) {
             SetName(b, Rec(2, 0), "", "SubA");
             Seal(b);
         }},
        {"bytes after the padding", 2, "invalid name",
         [](auto& b) {
             b[Rec(2, 0) + 8 + 10] = 'x';
             Seal(b);
         }},
    };
    for (const BrokenCase& c : cases) {
        auto b = MakeImage(c.version);
        c.breakIt(b);
        Container container;
        std::string error;
        EXPECT_FALSE(container.LoadMemory(b.data(), b.size(), 0, &error)) << c.what;
        EXPECT_FALSE(error.empty()) << c.what;
        EXPECT_NE(error.find(c.expect), std::string::npos) << c.what << ": " << error;
        EXPECT_TRUE(container.Items().empty()) << c.what;
    }
}

TEST(CoreContainer, MatchesNamesWithoutCaseAndTakesTheFirstMatch) {
    auto b = MakeImage(2);
    SetName(b, Rec(2, 1), "main", "SUBA"); // the same name as item 0 in another case
    Seal(b);
    Container c;
    std::string error;
    ASSERT_TRUE(c.LoadMemory(b.data(), b.size(), 2, &error)) << error;
    struct {
        const char *mainType, *subType;
        bool found;
    } lookups[] = {
        {"main", "suba", true},
        {"MAIN", "SUBA", true},
        {"Main", "SubA ", false},
        {"Mai", "SubA", false},
        {"Main", "Sub", false},
        {"", "", false},
        {"Main", "SubA\0x", true},
        {"123456789", "SubA", false},
        {"Main", "12345678901234567", false},
    };
    for (const auto& l : lookups) {
        const auto* item = c.Find(l.mainType, l.subType);
        EXPECT_EQ(item != nullptr, l.found) << l.mainType << "/" << l.subType;
        if (item) {
            EXPECT_EQ(item->offset, 512u) << "first match wins";
        }
    }
    EXPECT_EQ(c.Find(nullptr, "SubA"), nullptr);
}

TEST(CoreContainer, NamesFillingTheirWholeFieldMatch) {
    auto b = MakeImage(1);
    SetName(b, Rec(1, 0), "12345678", "1234567890SCRIPT"); // no NUL left in either field
    Seal(b);
    Container c;
    std::string error;
    ASSERT_TRUE(c.LoadMemory(b.data(), b.size(), 1, &error)) << error;
    EXPECT_NE(c.Find("12345678", "1234567890script"), nullptr);
    EXPECT_EQ(c.Find("123456789", "1234567890SCRIPT"), nullptr);
    EXPECT_EQ(c.Find("12345678", "1234567890SCRIPTX"), nullptr);
}

} // namespace
