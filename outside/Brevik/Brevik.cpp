// Volume-format service: writes an empty FAT32 volume straight onto the card,
// into the partition that the first entry of the card's DOS partition table
// describes.
//
// Result codes of FormatVolume:
//   0    success
//   201  cluster size not a power of two between 512 and 65536 bytes
//   202  the card cannot be opened (reason in the debugger output)
//   203  reading sector 0 failed
//   204  sector 0 holds no DOS partition table (no 55 AA signature)
//   205  the first entry's first sector is not the given first sector
//   206  the first entry is empty or its partition runs past the end of the card
//   207  the partition is too small for FAT32 with this cluster size
//   208  the partition is too large for FAT32 with this cluster size
//   209  writing the volume's metadata failed (errno in the debugger output)
//   210  flushing the card failed
#include "PluginExports.h"
#include "Fat32Builder.h"
#include "Interfaces.h"
#include "ServiceTables.h"
#include "VorlanePlatform.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

namespace {

using namespace vorlane::fat32;

uint32_t Le32(const uint8_t* p) {
    return uint32_t(p[0]) | (uint32_t(p[1]) << 8) | (uint32_t(p[2]) << 16) | (uint32_t(p[3]) << 24);
}

int FormatOpenCard(VpCard* card, char letter, int clusterBytes, uint32_t firstSector) {
    uint64_t cardSectors = VpCardSize(card) / kSectorBytes;
    uint8_t mbr[kSectorBytes];
    if (int e = VpCardRead(card, 0, mbr, sizeof mbr)) {
        VpDebugPrintf(512, "Brevik: reading sector 0 of card %c failed: %s\n", letter,
                      std::strerror(e));
        return 203;
    }
    if (mbr[510] != 0x55 || mbr[511] != 0xAA) {
        VpDebugPrintf(256, "Brevik: card %c has no partition table\n", letter);
        return 204;
    }
    uint32_t first = Le32(mbr + 454);
    uint32_t count = Le32(mbr + 458);
    if (first != firstSector) {
        VpDebugPrintf(256, "Brevik: card %c: partition starts at %u, not at %u\n", letter, first,
                      firstSector);
        return 205;
    }
    if (count == 0 || first == 0 || uint64_t(first) + count > cardSectors) {
        VpDebugPrintf(256,
                      "Brevik: card %c: partition of %u sectors at %u does not fit the card "
                      "of %llu sectors\n",
                      letter, count, first, static_cast<unsigned long long>(cardSectors));
        return 206;
    }
    Layout layout;
    int r = PlanLayout(count, uint32_t(clusterBytes), &layout);
    if (r != kFat32Ok) {
        VpDebugPrintf(256,
                      "Brevik: card %c: %u sectors make no FAT32 volume with %d-byte clusters\n",
                      letter, count, clusterBytes);
        return r == kFat32TooLarge ? 208 : 207;
    }
    layout.hiddenSectors = first;

    const uint64_t base = uint64_t(first) * kSectorBytes;
    std::vector<uint8_t> zeros(1u << 20, 0);
    Sink sink;
    sink.write = [&](uint64_t sector, const void* data, uint32_t n) {
        return VpCardWrite(card, base + sector * kSectorBytes, data, size_t(n) * kSectorBytes);
    };
    sink.zero = [&](uint64_t sector, uint64_t n) {
        // The card holds old data: the FATs and the root cluster are cleared for real.
        while (n > 0) {
            uint64_t step = std::min<uint64_t>(n, zeros.size() / kSectorBytes);
            if (int e = VpCardWrite(card, base + sector * kSectorBytes, zeros.data(),
                                    size_t(step) * kSectorBytes))
                return e;
            sector += step;
            n -= step;
        }
        return 0;
    };
    r = WriteMetadata(layout, "", MakeVolumeId(), sink);
    if (r != 0) {
        VpDebugPrintf(512, "Brevik: writing the volume on card %c failed: %s\n", letter,
                      std::strerror(r));
        return 209;
    }
    return 0;
}

int FormatVolume(int letter, int clusterBytes, int* /*flags*/, uint32_t firstSector) {
    if (clusterBytes < 512 || clusterBytes > 65536 || (clusterBytes & (clusterBytes - 1))) {
        VpDebugPrintf(256, "Brevik: cluster size %d is not supported\n", clusterBytes);
        return 201;
    }
    char error[512] = "";
    if (letter >= 'a' && letter <= 'z') letter -= 'a' - 'A'; // drive letters ignore case
    VpCard* card = (letter >= 'A' && letter <= 'Z')
                       ? VpCardOpen(char(letter), 1, error, sizeof error)
                       : nullptr;
    if (!card) {
        VpDebugPrintf(768, "Brevik: card %c not available: %s\n", letter,
                      error[0] ? error : "no such drive");
        return 202;
    }
    int r = FormatOpenCard(card, char(letter), clusterBytes, firstSector);
    int closed = VpCardClose(card);
    if (r == 0 && closed != 0) {
        VpDebugPrintf(256, "Brevik: flushing card %c failed: %s\n", letter, std::strerror(closed));
        r = 210;
    }
    return r;
}

const VolumeFormatTable g_table = {FormatVolume};

} // namespace

VORLANE_SERVICE_EXPORTS("Brevik", VORLANE_IID_VOLUME_FORMAT, 0x00010000, g_table)
