// Boot headers from an image are untrusted: PatchBootItem must stay inside
// the item whatever its fields say. Input: sub-type choice, burn mode and
// work-mode selection in the first three bytes, then the item.
#include "SarnetInternal.h"

#include <cstdlib>
#include <cstring>
#include <vector>

using namespace vorlane::sarnet;

namespace {

void* NoItem(void*, const char*, const char*) {
    return nullptr;
}
int CloseItem(void*, void*) {
    return 0;
}
const Decoder64Table kDecoder = {nullptr, NoItem, nullptr, nullptr, CloseItem, nullptr};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 3) return 0;
    static const char* const subs[] = {"UBOOT_0000000000", "BOOTPKG-00000000", "TOC0_00000000000",
                                       "TOC0_SDCARD00000"};
    const char* sub = subs[data[0] % 4];
    const int burnMode = 1 + data[1] % 2;
    SetWorkModeSelection(int(data[2] % 4) - 1);
    std::vector<uint8_t> item(data + 3, data + size); // exactly the item's size
    void* handle = nullptr;
    PatchBootItem(item.data(), uint32_t(item.size()), sub, burnMode, nullptr, nullptr, nullptr,
                  &handle, &kDecoder);
    return 0;
}
