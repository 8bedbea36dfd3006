// Feeds arbitrary bytes to the image container reader: as an image in memory
// for every version, then a lookup of every item it accepted.
#include "Container.h"

#include <cstddef>
#include <cstdint>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
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
    return 0;
}
