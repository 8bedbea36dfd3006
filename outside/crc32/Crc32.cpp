// crc32.so: the checksum service, the common reflected CRC-32 (polynomial
// 0xEDB88320, initial value and final XOR 0xFFFFFFFF). Every context is its
// own heap object, so any number of cards can checksum at once.
//
// Result codes: 0 success; 1 not a context of this service; 2 null data with
// a non-zero length; 3 null output pointer.
#include "PluginExports.h"
#include "Interfaces.h"
#include "ServiceTables.h"

#include "CrcFold.h"

#include <cstring>
#include <new>

namespace {

constexpr uint32_t kContextMagic = 0x43524333; // "CRC3"

struct Context {
    uint32_t magic = kContextMagic;
    uint32_t crc = 0; // zlib keeps the finished form between calls
};

Context* AsContext(void* context) {
    auto* c = static_cast<Context*>(context);
    return c && c->magic == kContextMagic ? c : nullptr;
}

void* CrcBegin(void) {
    return new (std::nothrow) Context;
}

int CrcUpdate(void* context, const void* data, uint32_t length) {
    Context* c = AsContext(context);
    if (!c) return 1;
    if (!length) return 0;
    if (!data) return 2;
    c->crc = vorlane::crc::Update(c->crc, data, length);
    return 0;
}

int CrcFinish(void* context, uint32_t* crc) {
    Context* c = AsContext(context);
    if (!c) return 1;
    if (!crc) return 3;
    *crc = c->crc;
    return 0;
}

int CrcRelease(void* context) {
    Context* c = AsContext(context);
    if (!c) return 1;
    c->magic = 0;
    delete c;
    return 0;
}

const ChecksumTable g_table = {CrcBegin, CrcUpdate, CrcFinish, CrcRelease};


} // namespace

VORLANE_SERVICE_EXPORTS("crc32", VORLANE_IID_CHECKSUM, 0x00010000, g_table)
