// Sum service: the 32-bit sum (modulo 2^32) of the little-endian 32-bit words
// of all data given to one context. Data may arrive in pieces of any length;
// a word split between two pieces counts once, and a short tail at the end is
// padded with zero bytes.
//
// Result codes: 0 success; 301 no context; 302 no data for a non-zero length;
// 303 no place for the result.
#include "PluginExports.h"
#include "Interfaces.h"
#include "ServiceTables.h"

#include <cstring>

namespace {

struct SumContext {
    uint32_t sum = 0;
    uint8_t tail[4] = {0, 0, 0, 0}; // bytes of a word not yet complete
    uint32_t tailLength = 0;
};

uint32_t Word(const uint8_t* p) {
    return uint32_t(p[0]) | (uint32_t(p[1]) << 8) | (uint32_t(p[2]) << 16) | (uint32_t(p[3]) << 24);
}

void* SumBegin() {
    return new SumContext;
}

int SumUpdate(void* context, const void* data, uint32_t length) {
    auto* c = static_cast<SumContext*>(context);
    if (!c) return 301;
    if (length == 0) return 0;
    if (!data) return 302;
    const auto* p = static_cast<const uint8_t*>(data);
    while (c->tailLength != 0 && length > 0) {
        c->tail[c->tailLength++] = *p++;
        --length;
        if (c->tailLength == 4) {
            c->sum += Word(c->tail);
            c->tailLength = 0;
        }
    }
    for (; length >= 4; p += 4, length -= 4)
        c->sum += Word(p);
    for (uint32_t i = 0; i < length; ++i)
        c->tail[c->tailLength++] = p[i];
    return 0;
}

int SumFinish(void* context, uint32_t* sum) {
    auto* c = static_cast<SumContext*>(context);
    if (!c) return 301;
    if (!sum) return 303;
    uint32_t total = c->sum;
    if (c->tailLength) {
        uint8_t last[4] = {0, 0, 0, 0};
        std::memcpy(last, c->tail, c->tailLength);
        total += Word(last);
    }
    *sum = total;
    return 0;
}

int SumRelease(void* context) {
    if (!context) return 301;
    delete static_cast<SumContext*>(context);
    return 0;
}

const SumTable g_table = {SumBegin, SumUpdate, SumFinish, SumRelease};

} // namespace

VORLANE_SERVICE_EXPORTS("Tessary", VORLANE_IID_SUM, 0x00010000, g_table)
