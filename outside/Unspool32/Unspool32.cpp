// Unspool32.so: the 32-bit image decoder. Opens version 1 images only.
// Sizes and counts are signed 32-bit values, so an image holding an item of
// 2 GiB or more is refused as a whole: its length could not be reported.
#include "Decoder.h"
#include "PluginExports.h"
#include "Interfaces.h"
#include "ServiceTables.h"

#include <cstring>

namespace {

namespace dec = vorlane::image::decoder;

void* OpenImage(const char* path) {
    return dec::OpenImage(path, 1, INT32_MAX);
}
void* OpenItem(void* image, const char* mainType, const char* subType) {
    return dec::OpenItem(image, mainType, subType);
}
// Items are below 2 GiB (checked at OpenImage): every size and count fits.
int32_t GetItemSize(void* image, void* item) {
    return static_cast<int32_t>(dec::GetItemSize(image, item));
}
int32_t ReadItem(void* image, void* item, void* buffer, uint32_t length) {
    return static_cast<int32_t>(dec::ReadItem(image, item, buffer, length));
}
int CloseItem(void* image, void* item) {
    return dec::CloseItem(image, item);
}
int CloseImage(void* image) {
    return dec::CloseImage(image);
}

const Decoder32Table g_table = {OpenImage, OpenItem, GetItemSize, ReadItem, CloseItem, CloseImage};


} // namespace

VORLANE_SERVICE_EXPORTS("Unspool32", VORLANE_IID_DECODER32, 0x00010000, g_table)
