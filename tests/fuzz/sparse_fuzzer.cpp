// Feeds arbitrary bytes to the sparse expansion as an image item, with an
// in-memory card of 64 MiB and small stream buffers so that reads cross
// buffer boundaries. The first input byte picks the buffer size.
#include "../sarnet/SparseFakes.h"
#include "SarnetInternal.h"

#include <cstddef>
#include <cstdint>

namespace {
int CheckedWrite(void* device, uint32_t first, uint32_t count, const void* buffer, uint32_t bytes) {
    // Every sparse write is whole sectors.
    if (bytes != count * 512u || !buffer) __builtin_trap();
    return vorlane::test::FakeWriteSectors(device, first, count, buffer, bytes);
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    static const uint32_t kSizes[] = {1024, 1025, 1536, 4096, 65536, 65537, 300000};
    const uint32_t bufferSize = kSizes[data[0] % (sizeof kSizes / sizeof kSizes[0])];
    vorlane::test::FakeItem item;
    item.data.assign(data + 1, data + size);
    vorlane::test::FakeCard card;
    card.sectors = 64u * 2048u;
    Decoder64Table decoder = vorlane::test::FakeDecoder();
    CardDeviceTable table = vorlane::test::FakeCardTable();
    table.WriteSectors = CheckedWrite;
    vorlane::sarnet::BurnSparseBuffered(&card, nullptr, &item, &decoder, data[0], &table,
                                        bufferSize);
    return 0;
}
