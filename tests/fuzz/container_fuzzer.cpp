// Feeds arbitrary bytes to the image container reader, as an image in memory
// for every version. A second pass repairs the header and table CRCs first,
// so that mutations reach the checks behind them.
#include "Container.h"
#include "ImageFormat.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace {

void LoadAll(const uint8_t* data, size_t size) {
    for (uint32_t version = 0; version <= 2; ++version) {
        vorlane::image::Container container;
        std::string error;
        if (!container.LoadMemory(data, size, version, &error)) continue;
        for (const auto& item : container.Items()) {
            // Accepted items lie inside the input: touch their first and last byte.
            if (item.size) {
                volatile uint8_t first = data[item.offset];
                volatile uint8_t last = data[item.offset + item.size - 1];
                (void)first;
                (void)last;
            }
            container.Find(item.mainType.c_str(), item.subType.c_str());
        }
        container.Find("12345678", "1234567890SCRIPT");
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace vorlane::image;
    LoadAll(data, size);
    if (size < kHeaderSize) return 0;
    std::vector<uint8_t> copy(data, data + size);
    const uint64_t table = LoadLE64(&copy[24]);
    const uint64_t tableSize =
        uint64_t(LoadLE32(&copy[16]) % (kMaxItems + 1)) * LoadLE32(&copy[20]);
    if (table <= size && tableSize <= size - table)
        StoreLE32(&copy[40], Crc32(0, &copy[table], static_cast<size_t>(tableSize)));
    StoreLE32(&copy[60], Crc32(0, copy.data(), 60));
    LoadAll(copy.data(), copy.size());
    return 0;
}
