// Table-conversion service: turns the device partition table (large layout,
// 16 KiB copy) into the front half of a GPT: a protective MBR in sector 0,
// the GPT header in sector 1 and the entry array from sector 2. The array
// has as many sectors as the table's partitions need (four entries per
// sector); the backup half is built from these sectors with GptBackup.h.
//
// Device partitions lie on the card 40960 sectors behind their table start.
// A partition of length 0 at the end of the table runs to the last usable
// sector. "UDISK" gets the basic-data type so that every computer can read
// it; all others get the Linux file-system type. The first usable sector is
// the start of the lowest partition, so that partition tools never place a
// partition over the boot loaders in front of the device area. Startup and
// product cards get the same GPT.
//
// Result codes of BuildGpt (nothing is written into the output unless 0):
//   0    success
//   401  no partition table or no output buffer
//   402  the table is not of the large layout ("qelvo411" missing)
//   403  the table has no partitions
//   404  the capacity cannot hold the GPT structures
//   405  a partition starts beyond the last usable sector
//   406  a partition ends beyond the last usable sector
//   407  a partition other than the last has length 0
//   408  two partitions overlap
#include "GptBackup.h"

#include "PluginExports.h"
#include "Interfaces.h"
#include "ServiceTables.h"
#include "VorlanePlatform.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <random>
#include <vector>

namespace {

// The large-layout table: partCount at 24, 128-byte records from 32.
constexpr size_t kTableMagic = 8;
constexpr size_t kTablePartCount = 24;
constexpr size_t kTableRecords = 32;
constexpr size_t kRecordSize = 128;
constexpr size_t kRecordStart = 4;   // addrlo
constexpr size_t kRecordLength = 12; // lenlo
constexpr size_t kRecordName = 32;   // 16 bytes, NUL-padded
constexpr uint32_t kMaxPartitions = 120;
constexpr uint64_t kDeviceOffset = 40960;
static_assert(kTableRecords + kMaxPartitions * kRecordSize == 15392, "table fits one 16 KiB copy");

struct Partition {
    uint64_t first = 0, last = 0;
    char name[17] = {};
};

// A GUID in its on-disk form (first three fields little-endian).
void ParseGuid(const char* text, uint8_t out[16]) {
    auto hex = [](char c) -> int { return c <= '9' ? c - '0' : (c | 0x20) - 'a' + 10; };
    uint8_t raw[16];
    int n = 0;
    for (const char* p = text; *p && n < 16; ++p) {
        if (*p == '-') continue;
        raw[n++] = uint8_t(hex(p[0]) << 4 | hex(p[1]));
        ++p;
    }
    const int order[16] = {3, 2, 1, 0, 5, 4, 7, 6, 8, 9, 10, 11, 12, 13, 14, 15};
    for (int i = 0; i < 16; ++i)
        out[i] = raw[order[i]];
}

class GuidSource {
  public:
    GuidSource() {
        std::random_device device;
        std::seed_seq seed{device(), device(), device(), device(),
                           uint32_t(std::chrono::steady_clock::now().time_since_epoch().count())};
        m_rng.seed(seed);
    }
    // A random (version 4) GUID.
    void Next(uint8_t out[16]) {
        for (int i = 0; i < 16; i += 4)
            VorlaneGptPut32(out + i, uint32_t(m_rng()));
        out[7] = uint8_t((out[7] & 0x0F) | 0x40);
        out[8] = uint8_t((out[8] & 0x3F) | 0x80);
    }

  private:
    std::mt19937_64 m_rng;
};

// The table's name bytes (UTF-8, or plain ASCII) as UTF-16LE.
void PutName(uint8_t* out, const char* name) {
    size_t units = 0;
    const auto* p = reinterpret_cast<const unsigned char*>(name);
    while (*p && units < 36) {
        uint32_t c = *p++;
        int extra = c >= 0xF0 ? 3 : c >= 0xE0 ? 2 : c >= 0xC0 ? 1 : 0;
        if (c >= 0x80 && extra == 0) c = 0xFFFD; // stray continuation byte
        if (extra) c &= 0x3F >> extra;
        for (int i = 0; i < extra; ++i) {
            if ((*p & 0xC0) != 0x80) {
                c = 0xFFFD;
                break;
            }
            c = (c << 6) | (*p++ & 0x3F);
        }
        if (c > 0x10FFFF) c = 0xFFFD;
        if (c > 0xFFFF) {
            if (units + 2 > 36) break;
            c -= 0x10000;
            out[2 * units] = uint8_t(0xD800 + (c >> 10));
            out[2 * units + 1] = uint8_t((0xD800 + (c >> 10)) >> 8);
            out[2 * units + 2] = uint8_t(0xDC00 + (c & 0x3FF));
            out[2 * units + 3] = uint8_t((0xDC00 + (c & 0x3FF)) >> 8);
            units += 2;
        } else {
            out[2 * units] = uint8_t(c);
            out[2 * units + 1] = uint8_t(c >> 8);
            ++units;
        }
    }
}

int BuildGpt(const void* partitionTable, void* output, uint32_t capacity, int /*startupCard*/) {
    if (!partitionTable || !output) return 401;
    const auto* table = static_cast<const uint8_t*>(partitionTable);
    if (std::memcmp(table + kTableMagic, "qelvo411", 8) != 0) {
        OutputDebugStringA("Caldrin: the partition table is not of the large layout\n");
        return 402;
    }
    uint32_t count = VorlaneGptGet32(table + kTablePartCount);
    if (count == 0) {
        OutputDebugStringA("Caldrin: the partition table has no partitions\n");
        return 403;
    }
    if (count > kMaxPartitions) count = kMaxPartitions;

    const uint64_t entrySectors = (uint64_t(count) * kRecordSize + 511) / 512;
    const uint64_t firstUsable = 2 + entrySectors;
    const uint64_t lastLba = uint64_t(capacity) - 1;
    if (capacity < 2 * firstUsable) {
        VpDebugPrintf(256, "Caldrin: a card of %u sectors cannot hold a GPT\n", capacity);
        return 404;
    }
    const uint64_t lastUsable = lastLba - 1 - entrySectors;

    // Check every partition before anything is written.
    std::vector<Partition> parts(count);
    for (uint32_t i = 0; i < count; ++i) {
        const uint8_t* record = table + kTableRecords + i * kRecordSize;
        Partition& part = parts[i];
        std::memcpy(part.name, record + kRecordName, 16);
        uint64_t start = VorlaneGptGet32(record + kRecordStart) + kDeviceOffset;
        uint64_t length = VorlaneGptGet32(record + kRecordLength);
        if (start > lastUsable) {
            VpDebugPrintf(256, "Caldrin: partition %u (%s) starts at %llu, past sector %llu\n", i,
                          part.name, (unsigned long long)start, (unsigned long long)lastUsable);
            return 405;
        }
        if (length == 0 && i + 1 != count) {
            VpDebugPrintf(256, "Caldrin: partition %u (%s) has length 0\n", i, part.name);
            return 407;
        }
        part.first = start;
        part.last = length == 0 ? lastUsable : start + length - 1;
        if (part.last > lastUsable) {
            VpDebugPrintf(256, "Caldrin: partition %u (%s) ends at %llu, past sector %llu\n", i,
                          part.name, (unsigned long long)part.last, (unsigned long long)lastUsable);
            return 406;
        }
        for (uint32_t j = 0; j < i; ++j)
            if (parts[j].first <= part.last && part.first <= parts[j].last) {
                VpDebugPrintf(256, "Caldrin: partitions %u (%s) and %u (%s) overlap\n", j,
                              parts[j].name, i, part.name);
                return 408;
            }
    }

    uint64_t lowest = lastUsable;
    for (const Partition& part : parts)
        lowest = std::min(lowest, part.first);

    auto* out = static_cast<uint8_t*>(output);
    std::memset(out, 0, size_t(firstUsable) * 512);

    // Protective MBR: one entry of type 0xEE over the whole card.
    uint8_t* mbr = out;
    mbr[446 + 2] = 0x02; // CHS 0/0/2
    mbr[446 + 4] = 0xEE;
    mbr[446 + 5] = 0xFF;
    mbr[446 + 6] = 0xFF;
    mbr[446 + 7] = 0xFF;
    VorlaneGptPut32(mbr + 446 + 8, 1);
    VorlaneGptPut32(mbr + 446 + 12, uint32_t(lastLba));
    mbr[510] = 0x55;
    mbr[511] = 0xAA;

    GuidSource guids;
    uint8_t linuxData[16], basicData[16];
    ParseGuid("0FC63DAF-8483-4772-8E79-3D69D8477DE4", linuxData);
    ParseGuid("EBD0A0A2-B9E5-4433-87C0-68B6B72699C7", basicData);
    uint8_t* entries = out + 2 * 512;
    for (uint32_t i = 0; i < count; ++i) {
        uint8_t* e = entries + i * VORLANE_GPT_ENTRY_SIZE;
        bool udisk = std::strcmp(parts[i].name, "UDISK") == 0;
        std::memcpy(e + VORLANE_GPT_E_TYPE, udisk ? basicData : linuxData, 16);
        guids.Next(e + VORLANE_GPT_E_UNIQUE);
        VorlaneGptPut64(e + VORLANE_GPT_E_FIRST, parts[i].first);
        VorlaneGptPut64(e + VORLANE_GPT_E_LAST, parts[i].last);
        PutName(e + VORLANE_GPT_E_NAME, parts[i].name);
    }

    const uint32_t entryCount = uint32_t(entrySectors * 512 / VORLANE_GPT_ENTRY_SIZE);
    uint8_t* h = out + 512;
    std::memcpy(h + VORLANE_GPT_SIGNATURE, "EFI PART", 8);
    VorlaneGptPut32(h + VORLANE_GPT_REVISION, 0x00010000);
    VorlaneGptPut32(h + VORLANE_GPT_SIZE, VORLANE_GPT_HEADER_SIZE);
    VorlaneGptPut64(h + VORLANE_GPT_MY_LBA, 1);
    VorlaneGptPut64(h + VORLANE_GPT_ALT_LBA, lastLba);
    VorlaneGptPut64(h + VORLANE_GPT_FIRST_USABLE, lowest);
    VorlaneGptPut64(h + VORLANE_GPT_LAST_USABLE, lastUsable);
    guids.Next(h + VORLANE_GPT_DISK_GUID);
    VorlaneGptPut64(h + VORLANE_GPT_ENTRY_LBA, 2);
    VorlaneGptPut32(h + VORLANE_GPT_ENTRY_COUNT, entryCount);
    VorlaneGptPut32(h + VORLANE_GPT_ENTRY_BYTES, VORLANE_GPT_ENTRY_SIZE);
    VorlaneGptPut32(h + VORLANE_GPT_ENTRY_CRC,
                    VorlaneGptCrc32(entries, size_t(entryCount) * VORLANE_GPT_ENTRY_SIZE));
    VorlaneGptPut32(h + VORLANE_GPT_CRC, VorlaneGptHeaderCrc(h));
    return 0;
}

const TableConversionTable g_table = {BuildGpt};

} // namespace

VORLANE_SERVICE_EXPORTS("Caldrin", VORLANE_IID_TABLE_CONVERSION, 0x00010000, g_table)
