#include "Fat32Builder.h"

#include <chrono>
#include <cstring>
#include <ctime>
#include <random>
#include <vector>

namespace vorlane::fat32 {
namespace {

void Put16(uint8_t* p, uint32_t v) {
    p[0] = uint8_t(v);
    p[1] = uint8_t(v >> 8);
}
void Put32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i)
        p[i] = uint8_t(v >> (8 * i));
}

void FillBootSector(uint8_t* s, const Layout& l, const char label[11], uint32_t volumeId) {
    std::memset(s, 0, kSectorBytes);
    s[0] = 0xEB; // jump over the parameter block to the stub at 0x5A
    s[1] = 0x58;
    s[2] = 0x90;
    std::memcpy(s + 3, "VORLANE ", 8);
    Put16(s + 11, kSectorBytes);
    s[13] = uint8_t(l.sectorsPerCluster);
    Put16(s + 14, l.reservedSectors);
    s[16] = 2;        // FATs
    Put16(s + 17, 0); // root entries: FAT32 keeps the root in a cluster
    Put16(s + 19, 0); // 16-bit total: unused
    s[21] = 0xF8;     // fixed disk
    Put16(s + 22, 0); // 16-bit FAT size: unused
    Put16(s + 24, 63);
    Put16(s + 26, 255);
    Put32(s + 28, l.hiddenSectors);
    Put32(s + 32, l.totalSectors);
    Put32(s + 36, l.fatSectors);
    Put16(s + 40, 0); // FATs mirrored
    Put16(s + 42, 0); // version 0.0
    Put32(s + 44, 2); // root cluster
    Put16(s + 48, 1); // FSInfo sector
    Put16(s + 50, 6); // backup boot sector
    s[64] = 0x80;     // drive number
    s[66] = 0x29;     // extended boot signature
    Put32(s + 67, volumeId);
    std::memcpy(s + 71, label, 11);
    std::memcpy(s + 82, "FAT32   ", 8);
    // Not a boot volume: the stub halts.
    s[0x5A] = 0xFA;
    s[0x5B] = 0xF4;
    s[0x5C] = 0xEB;
    s[0x5D] = 0xFD;
    s[510] = 0x55;
    s[511] = 0xAA;
}

void FillFsInfo(uint8_t* s, const Layout& l) {
    std::memset(s, 0, kSectorBytes);
    Put32(s + 0, 0x41615252);
    Put32(s + 484, 0x61417272);
    Put32(s + 488, l.clusterCount - 1); // all free but the root cluster
    Put32(s + 492, 3);                  // next free cluster hint
    Put32(s + 508, 0xAA550000);
}

void DosDateTime(uint16_t* date, uint16_t* time) {
    std::time_t now = std::time(nullptr);
    std::tm tm{};
    localtime_r(&now, &tm);
    int year = tm.tm_year + 1900;
    if (year < 1980) year = 1980;
    if (year > 2107) year = 2107;
    *date = uint16_t(((year - 1980) << 9) | ((tm.tm_mon + 1) << 5) | tm.tm_mday);
    *time = uint16_t((tm.tm_hour << 11) | (tm.tm_min << 5) | (tm.tm_sec / 2));
}

} // namespace

uint32_t DefaultSectorsPerCluster(uint64_t sectors) {
    if (sectors <= 532480) return 1;    // 260 MiB
    if (sectors <= 16777216) return 8;  // 8 GiB
    if (sectors <= 33554432) return 16; // 16 GiB
    if (sectors <= 67108864) return 32; // 32 GiB
    return 64;
}

int PlanLayout(uint64_t sectors, uint32_t clusterBytes, Layout* layout) {
    if (!layout) return kFat32TooSmall;
    if (sectors > 0xFFFFFFFFull) return kFat32TooLarge;
    uint32_t spc = DefaultSectorsPerCluster(sectors);
    if (clusterBytes != 0) {
        if (clusterBytes < 512 || clusterBytes > 65536 || (clusterBytes & (clusterBytes - 1)))
            return kFat32BadClusterSize;
        spc = clusterBytes / kSectorBytes;
    }
    Layout l;
    l.totalSectors = uint32_t(sectors);
    l.sectorsPerCluster = spc;
    if (sectors <= uint64_t(kReservedSectors) + 2 * spc) return kFat32TooSmall;
    // FAT size as in the usual formula: each FAT sector maps 128 clusters and
    // both FATs share the space with the clusters they describe.
    uint64_t rest = sectors - kReservedSectors;
    uint64_t perFatSector = (256ull * spc + 2) / 2;
    uint64_t fat = (rest + perFatSector - 1) / perFatSector;
    if (rest <= 2 * fat) return kFat32TooSmall;
    uint64_t clusters = (rest - 2 * fat) / spc;
    // The formula errs on the large side; make sure every cluster has a FAT entry.
    while (fat * 128 < clusters + 2) {
        ++fat;
        if (rest <= 2 * fat) return kFat32TooSmall;
        clusters = (rest - 2 * fat) / spc;
    }
    if (clusters < kMinClusters) return kFat32TooSmall;
    if (clusters > kMaxClusters) return kFat32TooLarge;
    l.fatSectors = uint32_t(fat);
    l.clusterCount = uint32_t(clusters);
    *layout = l;
    return kFat32Ok;
}

int MakeLabel(const char* label, char out[11], bool* hasLabel) {
    const char* text = label ? label : "";
    size_t n = std::strlen(text);
    while (n > 0 && text[n - 1] == ' ')
        --n; // trailing blanks are padding anyway
    if (n > 11) return kFat32BadLabel;
    if (n > 0 && text[0] == ' ') return kFat32BadLabel;
    for (size_t i = 0; i < n; ++i) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        if (c < 0x20 || c >= 0x7F || std::strchr("\"*+,./:;<=>?[\\]|", c)) return kFat32BadLabel;
    }
    std::memset(out, ' ', 11);
    if (n == 0) {
        std::memcpy(out, "NO NAME", 7);
        if (hasLabel) *hasLabel = false;
        return kFat32Ok;
    }
    for (size_t i = 0; i < n; ++i) {
        char c = text[i];
        out[i] = (c >= 'a' && c <= 'z') ? char(c - 'a' + 'A') : c;
    }
    if (hasLabel) *hasLabel = true;
    return kFat32Ok;
}

int WriteMetadata(const Layout& l, const char* label, uint32_t volumeId, const Sink& sink) {
    char name[11];
    bool hasLabel = false;
    if (int r = MakeLabel(label, name, &hasLabel)) return r;
    if (!sink.write || !sink.zero) return kFat32WriteFailed;

    // Sectors 0-7: boot sector, FSInfo, two empty sectors, backups at 6 and 7.
    std::vector<uint8_t> head(8 * kSectorBytes, 0);
    FillBootSector(&head[0], l, name, volumeId);
    FillFsInfo(&head[kSectorBytes], l);
    std::memcpy(&head[6 * kSectorBytes], &head[0], 2 * kSectorBytes);
    if (int r = sink.write(0, head.data(), 8)) return r;
    if (int r = sink.zero(8, l.reservedSectors - 8)) return r;

    // Both FATs: media entry, end-of-chain marker, the root directory's chain.
    std::vector<uint8_t> fatHead(kSectorBytes, 0);
    Put32(&fatHead[0], 0x0FFFFFF8);
    Put32(&fatHead[4], 0x0FFFFFFF);
    Put32(&fatHead[8], 0x0FFFFFFF);
    for (uint64_t copy = 0; copy < 2; ++copy) {
        uint64_t first = l.reservedSectors + copy * l.fatSectors;
        if (int r = sink.write(first, fatHead.data(), 1)) return r;
        if (int r = sink.zero(first + 1, l.fatSectors - 1)) return r;
    }

    // The root directory: empty, or just the volume label.
    uint64_t root = l.RootSector();
    if (hasLabel) {
        std::vector<uint8_t> entry(kSectorBytes, 0);
        std::memcpy(&entry[0], name, 11);
        entry[11] = 0x08; // volume label
        uint16_t date, time;
        DosDateTime(&date, &time);
        Put16(&entry[22], time);
        Put16(&entry[24], date);
        if (int r = sink.write(root, entry.data(), 1)) return r;
        if (int r = sink.zero(root + 1, l.sectorsPerCluster - 1)) return r;
    } else if (int r = sink.zero(root, l.sectorsPerCluster)) {
        return r;
    }
    return kFat32Ok;
}

uint32_t MakeVolumeId() {
    std::random_device device;
    uint64_t clock = uint64_t(std::chrono::system_clock::now().time_since_epoch().count());
    uint32_t id = device() ^ uint32_t(clock) ^ uint32_t(clock >> 32);
    return id ? id : 0x1F2E3D4C;
}

} // namespace vorlane::fat32
