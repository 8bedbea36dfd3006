// Fuzzes BuildGpt with arbitrary partition tables and capacities, and the
// backup helper with whatever BuildGpt made (or the raw input).
#include "GptBackup.h"

#include "Interfaces.h"
#include "ServiceTables.h"

#include <cstring>
#include <vector>

extern "C" void* GetInterface(const char* id);

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 4) return 0;
    uint32_t capacity = VorlaneGptGet32(data);
    std::vector<uint8_t> table(16384, 0);
    std::memcpy(table.data(), data + 4, std::min(size - 4, table.size()));
    std::memcpy(&table[8], "qelvo411", 8);
    uint32_t count = VorlaneGptGet32(&table[24]);
    if (count > 120) count = 120;
    // Exactly the sectors the caller provides for this count.
    std::vector<uint8_t> out((size_t(count) * 128 + 511) / 512 * 512 + 1024, 0);
    auto* gpt =
        static_cast<const TableConversionTable*>(GetInterface(VORLANE_IID_TABLE_CONVERSION));
    const std::vector<uint8_t>& primary =
        gpt->BuildGpt(table.data(), out.data(), capacity, 1) == 0 ? out : table;
    std::vector<uint8_t> backup(primary.size(), 0);
    uint32_t lba = 0, sectors = 0;
    VorlaneGptMakeBackup(primary.data(), primary.size(), capacity, backup.data(), backup.size(),
                         &lba, &sectors);
    return 0;
}
