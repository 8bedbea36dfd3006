// Card-operations service over the platform's drive map: opens a card by its
// letter and reads and writes whole 512-byte sectors.
//
// Every failure is a positive errno value:
//   EBADF   no open card (null handle)
//   EFAULT  no buffer
//   EINVAL  byte count other than sector count x 512
//   ENOSPC  the sectors lie (partly) beyond the end of the card
//   others  as reported by the card's read, write or flush
#include "PluginExports.h"
#include "Interfaces.h"
#include "ServiceTables.h"
#include "VorlanePlatform.h"

#include <cerrno>
#include <cstring>

namespace {

constexpr uint64_t kSector = 512;

void* OpenCard(int letter) {
    char error[512] = "";
    if (letter >= 'a' && letter <= 'z') letter -= 'a' - 'A'; // drive letters ignore case
    if (letter < 'A' || letter > 'Z') {
        VpDebugPrintf(256, "Drevant: no card for drive letter %d\n", letter);
        return nullptr;
    }
    VpCard* card = VpCardOpen(char(letter), 1, error, sizeof error);
    if (!card) {
        VpDebugPrintf(768, "Drevant: card %c not available: %s\n", letter,
                      error[0] ? error : std::strerror(errno));
        return nullptr;
    }
    return card;
}

uint32_t GetCardCapacity(void* handle) {
    if (!handle) return 0;
    uint64_t sectors = VpCardSize(static_cast<VpCard*>(handle)) / kSector;
    // The count is 32 bits wide: cards above 2 TiB report the largest value.
    return sectors > 0xFFFFFFFFull ? 0xFFFFFFFFu : uint32_t(sectors);
}

// Checks a transfer before it touches the card.
int CheckTransfer(VpCard* card, uint32_t first, uint32_t count, const void* buffer,
                  uint32_t bytes) {
    if (!card) return EBADF;
    if (uint64_t(count) * kSector != bytes) return EINVAL;
    if (!buffer && count) return EFAULT;
    uint64_t sectors = VpCardSize(card) / kSector;
    if (uint64_t(first) + count > sectors) return ENOSPC;
    return 0;
}

int WriteCardSectors(void* handle, uint32_t first, uint32_t count, const void* buffer,
                     uint32_t bytes) {
    auto* card = static_cast<VpCard*>(handle);
    if (int r = CheckTransfer(card, first, count, buffer, bytes)) {
        VpDebugPrintf(256, "Drevant: write of %u sectors at %u (%u bytes) refused: %s\n", count,
                      first, bytes, std::strerror(r));
        return r;
    }
    if (count == 0) return 0;
    int r = VpCardWrite(card, uint64_t(first) * kSector, buffer, bytes);
    if (r)
        VpDebugPrintf(768, "Drevant: writing sector %u of %s failed: %s\n", first, VpCardPath(card),
                      std::strerror(r));
    return r;
}

int ReadCardSectors(void* handle, uint32_t first, uint32_t count, void* buffer, uint32_t bytes) {
    auto* card = static_cast<VpCard*>(handle);
    if (int r = CheckTransfer(card, first, count, buffer, bytes)) {
        VpDebugPrintf(256, "Drevant: read of %u sectors at %u (%u bytes) refused: %s\n", count,
                      first, bytes, std::strerror(r));
        return r;
    }
    if (count == 0) return 0;
    int r = VpCardRead(card, uint64_t(first) * kSector, buffer, bytes);
    if (r)
        VpDebugPrintf(768, "Drevant: reading sector %u of %s failed: %s\n", first, VpCardPath(card),
                      std::strerror(r));
    return r;
}

int WriteTableSector(void* handle, const void* sector, int /*zero*/, uint32_t sectorNo) {
    return WriteCardSectors(handle, sectorNo, 1, sector, uint32_t(kSector));
}

int CloseCard(void* handle) {
    auto* card = static_cast<VpCard*>(handle);
    if (!card) return EBADF;
    int r = VpCardClose(card);
    if (r) VpDebugPrintf(256, "Drevant: flushing the card failed: %s\n", std::strerror(r));
    return r;
}

const CardOperationsTable g_table = {OpenCard, GetCardCapacity,  WriteTableSector, nullptr,
                                     nullptr,  WriteCardSectors, ReadCardSectors,  CloseCard};

} // namespace

VORLANE_SERVICE_EXPORTS("Drevant", VORLANE_IID_CARD_OPERATIONS, 0x00010000, g_table)
