// Unspool64.so: the 64-bit image decoder. Opens version 2 images only.
#include "Decoder.h"
#include "PluginExports.h"
#include "Interfaces.h"
#include "ServiceTables.h"

#include <cstring>

namespace {

namespace dec = vorlane::image::decoder;

void* OpenImage(const char* path) {
    return dec::OpenImage(path, 2, UINT64_MAX);
}
void* OpenItem(void* image, const char* mainType, const char* subType) {
    return dec::OpenItem(image, mainType, subType);
}
uint64_t GetItemSize(void* image, void* item) {
    return dec::GetItemSize(image, item);
}
uint64_t ReadItem(void* image, void* item, void* buffer, uint32_t lengthLow, uint32_t lengthHigh) {
    return dec::ReadItem(image, item, buffer, (uint64_t(lengthHigh) << 32) | lengthLow);
}
int CloseItem(void* image, void* item) {
    return dec::CloseItem(image, item);
}
int CloseImage(void* image) {
    return dec::CloseImage(image);
}

const Decoder64Table g_table = {OpenImage, OpenItem, GetItemSize, ReadItem, CloseItem, CloseImage};


} // namespace

VORLANE_SERVICE_EXPORTS("Unspool64", VORLANE_IID_DECODER64, 0x00020000, g_table)
