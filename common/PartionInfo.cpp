// Partition-table and download-list records in the small ("qelvo311") and
// large ("qelvo411") layouts. Both files are read into zero-filled copies of
// fixed size, so every field read below lies inside its copy whatever the
// files held.
#include "PartionInfo.h"

#include "VorlanePlatform.h"

#include <cstdio>
#include <cstring>
#include <string>

namespace vorlane {
namespace {

// Failure codes of the name and download copies (slots 2, 3, 4) for each
// deliverable's copy, and whether the copy hands out its table:
//
//   copy             small: 2, 3, 4     large: 2, 3, 4    GetTableData
//   Ostrand          53, 120, 129       171, 278, 287     null
//   VorlaneCardFun   54, 121, 130       177, 279, 289     table copy
//   Sarnet           54, 121, 130       175, 274, 284     table copy
//
// Load (all copies): 901 the download list, 902 the table cannot be opened
// or read; CreatePartionInfo then answers null.
struct SlotCodes {
    int name, file, part;
};
struct VariantCodes {
    SlotCodes small, large;
    bool tableData;
    bool debugStartByName; // the large layout's GetStartByName reports a found partition
};
constexpr VariantCodes kOstrandCodes{{53, 120, 129}, {171, 278, 287}, false, true};
constexpr VariantCodes kCardFunCodes{{54, 121, 130}, {177, 279, 289}, true, false};
constexpr VariantCodes kSarnetCodes{{54, 121, 130}, {175, 274, 284}, true, false};
constexpr int kDownloadUnreadable = 901;
constexpr int kTableUnreadable = 902;

const VariantCodes& CodesOf(PartionVariant variant) {
    switch (variant) {
    case PartionVariant::Ostrand:
        return kOstrandCodes;
    case PartionVariant::CardFun:
        return kCardFunCodes;
    case PartionVariant::Sarnet:
        break;
    }
    return kSarnetCodes;
}

constexpr size_t kNameSize = 16; // partition and file names: 16 bytes, NUL-padded
constexpr size_t kMagicOffset = 8;
constexpr size_t kMagicSize = 8;
constexpr char kSmallMagic[] = "qelvo311";
constexpr char kLargeMagic[] = "qelvo411";

uint32_t LE32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
           static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}
uint16_t LE16(const uint8_t* p) {
    return static_cast<uint16_t>(static_cast<uint16_t>(p[0]) | static_cast<uint16_t>(p[1]) << 8);
}

// Reads up to `size` bytes of the file into `buffer`; false when the file
// cannot be opened or read.
bool ReadPrefix(const char* path, uint8_t* buffer, size_t size) {
    if (!path) return false;
    FILE* file = std::fopen(path, "rb");
    if (!file) return false;
    size_t got = 0;
    while (got < size) {
        size_t n = std::fread(buffer + got, 1, size - got, file);
        if (n == 0) break;
        got += n;
    }
    bool ok = !std::ferror(file);
    std::fclose(file);
    return ok;
}

char FoldAscii(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

// A stored name is at most 16 bytes (a 16-byte name has no terminator).
bool NameMatches(const uint8_t* field, const char* wanted, bool ignoreCase) {
    size_t storedLength = strnlen(reinterpret_cast<const char*>(field), kNameSize);
    if (std::strlen(wanted) != storedLength) return false;
    for (size_t i = 0; i < storedLength; ++i) {
        char a = static_cast<char>(field[i]), b = wanted[i];
        if (ignoreCase ? FoldAscii(a) != FoldAscii(b) : a != b) return false;
    }
    return true;
}

// The byte layout of one of the two formats.
struct SmallLayout {
    static constexpr int kCapacity = 15;
    static constexpr size_t kTableSize = kSmallTableSize;
    static constexpr size_t kDownloadSize = kSmallDownloadSize;
    static constexpr bool kStartByNameIgnoresCase = false;
    static uint32_t PartCount(const uint8_t* t) { return LE16(t + 18); }
    static constexpr size_t Start(int i) { return 24 + 64 * static_cast<size_t>(i); }
    static constexpr size_t Length(int i) { return 32 + 64 * static_cast<size_t>(i); }
    static constexpr size_t Name(int i) { return 48 + 64 * static_cast<size_t>(i); }
    static constexpr size_t DownloadEnd(int i) { return 32 + 88 * static_cast<size_t>(i); }
    static constexpr size_t DownloadPart(int i) { return 32 + 88 * static_cast<size_t>(i) + 28; }
    static constexpr size_t DownloadFile(int i) { return 32 + 88 * static_cast<size_t>(i) + 40; }
    static const SlotCodes& Codes(const VariantCodes& v) { return v.small; }
};
static_assert(SmallLayout::Name(14) + kNameSize <= kSmallTableSize, "small table fits");
static_assert(SmallLayout::DownloadFile(14) + kNameSize <= kSmallDownloadSize,
              "small download list fits");

struct LargeLayout {
    static constexpr int kCapacity = 120;
    static constexpr size_t kTableSize = kPartitionTableCopySize;
    static constexpr size_t kDownloadSize = kLargeDownloadSize;
    static constexpr bool kStartByNameIgnoresCase = true;
    static uint32_t PartCount(const uint8_t* t) { return LE32(t + 24); }
    static constexpr size_t Record(int i) { return 32 + 128 * static_cast<size_t>(i); }
    static constexpr size_t Start(int i) { return Record(i) + 4; }   // addrlo
    static constexpr size_t Length(int i) { return Record(i) + 12; } // lenlo
    static constexpr size_t Name(int i) { return Record(i) + 32; }
    static constexpr size_t DownloadEnd(int i) { return 32 + 72 * static_cast<size_t>(i); }
    static constexpr size_t DownloadPart(int i) { return 32 + 72 * static_cast<size_t>(i); }
    static constexpr size_t DownloadFile(int i) { return 32 + 72 * static_cast<size_t>(i) + 32; }
    static const SlotCodes& Codes(const VariantCodes& v) { return v.large; }
};
static_assert(LargeLayout::Record(119) + 128 <= kPartitionTableCopySize, "large table fits");
static_assert(LargeLayout::DownloadFile(119) + kNameSize <= kLargeDownloadSize,
              "large download list fits");

template <class Layout> class PartionInfoTable : public PartionInfoAW {
  public:
    explicit PartionInfoTable(const VariantCodes& codes) : m_codes(codes) { Clear(); }

    int Load(const char* tablePath, const char* downloadPath) override {
        Clear();
        if (!ReadPrefix(downloadPath, m_download, Layout::kDownloadSize)) {
            Clear();
            return kDownloadUnreadable;
        }
        if (!ReadPrefix(tablePath, m_table, Layout::kTableSize)) {
            Clear();
            return kTableUnreadable;
        }
        return 0;
    }

    int GetPartName(int index, char* destination) override {
        if (!InRange(index)) return Layout::Codes(m_codes).name;
        const char* name = reinterpret_cast<const char*>(m_table + Layout::Name(index));
        size_t n = strnlen(name, kNameSize);
        std::memcpy(destination, name, n);
        destination[n] = '\0';
        return 0;
    }
    int GetDownloadFile(int index, char* destination16) override {
        if (!InRange(index)) return Layout::Codes(m_codes).file;
        std::memcpy(destination16, m_download + Layout::DownloadFile(index), kNameSize);
        return 0;
    }
    int GetDownloadPart(int index, char* destination16) override {
        if (!InRange(index)) return Layout::Codes(m_codes).part;
        std::memcpy(destination16, m_download + Layout::DownloadPart(index), kNameSize);
        return 0;
    }
    int GetCapacity() override { return Layout::kCapacity; }
    int GetPartCount() override { return static_cast<int>(Layout::PartCount(m_table)); }

    uint32_t GetLengthByName(const char* name) override {
        int i = FindByName(name, false);
        return i < 0 ? 0 : GetLength(i);
    }
    uint32_t GetLength(int index) override {
        return InRange(index) ? LE32(m_table + Layout::Length(index)) : 0;
    }
    uint32_t GetStartByName(const char* name) override {
        int i = FindByName(name, Layout::kStartByNameIgnoresCase);
        if (i < 0) return 0;
        if (Layout::kStartByNameIgnoresCase && m_codes.debugStartByName) {
            std::string upper(name);
            for (char& c : upper)
                if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
            VpDebugPrintf(upper.size() + 64, "download partinfo:[%s] start:%d len:%d\n ",
                          upper.c_str(), static_cast<int>(GetStart(i)),
                          static_cast<int>(GetLength(i)));
        }
        return GetStart(i);
    }
    uint32_t GetStart(int index) override {
        return InRange(index) ? LE32(m_table + Layout::Start(index)) : 0;
    }
    int GetDownloadCount() override {
        for (int i = 0; i < Layout::kCapacity; ++i)
            if (m_download[Layout::DownloadEnd(i)] == 0) return i;
        return Layout::kCapacity;
    }
    uint8_t* GetTableData() override { return m_codes.tableData ? m_table : nullptr; }

  private:
    static bool InRange(int index) { return index >= 0 && index < Layout::kCapacity; }
    void Clear() {
        std::memset(m_table, 0, sizeof m_table);
        std::memset(m_download, 0, sizeof m_download);
    }
    // The first of the first partCount partitions (at most the capacity).
    int FindByName(const char* name, bool ignoreCase) const {
        if (!name) return -1;
        uint32_t count = Layout::PartCount(m_table);
        int limit = count > static_cast<uint32_t>(Layout::kCapacity) ? Layout::kCapacity
                                                                     : static_cast<int>(count);
        for (int i = 0; i < limit; ++i)
            if (NameMatches(m_table + Layout::Name(i), name, ignoreCase)) return i;
        return -1;
    }

    const VariantCodes& m_codes;
    uint8_t m_table[Layout::kTableSize];
    uint8_t m_download[Layout::kDownloadSize];
};

// Small layout: 15 partitions.
class PartionInfoA23 final : public PartionInfoTable<SmallLayout> {
  public:
    using PartionInfoTable::PartionInfoTable;
};
// Large layout: 120 partitions; only the first 16 KiB copy of the table is held.
class PartionInfoA33 final : public PartionInfoTable<LargeLayout> {
  public:
    using PartionInfoTable::PartionInfoTable;
};

} // namespace

PartionInfoAW* CreatePartionInfo(PartionVariant variant, const char* tablePath,
                                 const char* downloadPath) {
    uint8_t head[kSmallTableSize] = {};
    if (!ReadPrefix(tablePath, head, sizeof head)) return nullptr;
    const uint8_t* magic = head + kMagicOffset;
    PartionInfoAW* info = nullptr;
    if (std::memcmp(magic, kSmallMagic, kMagicSize) == 0)
        info = new PartionInfoA23(CodesOf(variant));
    else if (std::memcmp(magic, kLargeMagic, kMagicSize) == 0)
        info = new PartionInfoA33(CodesOf(variant));
    else
        return nullptr;
    if (info->Load(tablePath, downloadPath) != 0) {
        delete info;
        return nullptr;
    }
    return info;
}

} // namespace vorlane
