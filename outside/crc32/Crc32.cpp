// crc32.so: the checksum service, the common reflected CRC-32 (polynomial
// 0xEDB88320, initial value and final XOR 0xFFFFFFFF). Every context is its
// own heap object, so any number of cards can checksum at once.
//
// Result codes: 0 success; 1 not a context of this service; 2 null data with
// a non-zero length; 3 null output pointer.
#include "Export.h"
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

bool IsOurId(const char* id) {
    return id && std::strcmp(id, VORLANE_IID_CHECKSUM) == 0;
}

} // namespace

VORLANE_EXPORT const char* GetPlugInType(void) {
    return "Checksum";
}
VORLANE_EXPORT const char* GetPlugInName(void) {
    return "crc32";
}
VORLANE_EXPORT int GetPlugInVersion(void) {
    return 0x00010000;
}
VORLANE_EXPORT const char* GetAuthor(void) {
    return "VorlaneCard";
}
VORLANE_EXPORT const char* GetCopyRight(void) {
    return "VorlaneCard developers";
}
VORLANE_EXPORT int QueryInterface(const char* id) {
    return IsOurId(id) ? 0 : 1;
}
// A null id asks for the one table this plug-in has.
VORLANE_EXPORT void* GetInterface(const char* id) {
    return !id || IsOurId(id) ? const_cast<ChecksumTable*>(&g_table) : nullptr;
}
