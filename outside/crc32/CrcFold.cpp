#include "CrcFold.h"

#include <zlib.h>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define VORLANE_CRC_FOLD 1
#endif

namespace vorlane::crc {
namespace {

uint32_t Zlib(uint32_t crc, const uint8_t* data, size_t length) {
    return static_cast<uint32_t>(crc32_z(crc, data, length));
}

#ifdef VORLANE_CRC_FOLD
// One 128-bit lane folded forward by the distance that `k` stands for, plus the next data.
__attribute__((target("pclmul,sse4.1"))) inline __m128i FoldLane(__m128i x, __m128i k,
                                                                 __m128i next) {
    const __m128i lo = _mm_clmulepi64_si128(x, k, 0x00);
    const __m128i hi = _mm_clmulepi64_si128(x, k, 0x11);
    return _mm_xor_si128(_mm_xor_si128(hi, lo), next);
}

// Folds 64 bytes per step in four lanes, then to 128 and 64 bits, and ends with a
// Barrett reduction (constants of the bit-reflected polynomial: x^n mod P(x)).
// `crc` and the result are in the inverted (unfinished) form; length >= 64 and a
// multiple of 16.
__attribute__((target("pclmul,sse4.1"))) uint32_t Fold(uint32_t crc, const uint8_t* buf,
                                                       size_t len) {
    alignas(16) static const uint64_t k1k2[] = {0x0154442bd4, 0x01c6e41596};
    alignas(16) static const uint64_t k3k4[] = {0x01751997d0, 0x00ccaa009e};
    alignas(16) static const uint64_t k5k0[] = {0x0163cd6124, 0x0000000000};
    alignas(16) static const uint64_t poly[] = {0x01db710641, 0x01f7011641};
    const auto load = [](const uint8_t* p) {
        return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    };

    __m128i x1 = _mm_xor_si128(load(buf), _mm_cvtsi32_si128(static_cast<int>(crc)));
    __m128i x2 = load(buf + 16), x3 = load(buf + 32), x4 = load(buf + 48);
    __m128i k = _mm_load_si128(reinterpret_cast<const __m128i*>(k1k2));
    buf += 64;
    len -= 64;
    while (len >= 64) {
        x1 = FoldLane(x1, k, load(buf));
        x2 = FoldLane(x2, k, load(buf + 16));
        x3 = FoldLane(x3, k, load(buf + 32));
        x4 = FoldLane(x4, k, load(buf + 48));
        buf += 64;
        len -= 64;
    }
    k = _mm_load_si128(reinterpret_cast<const __m128i*>(k3k4));
    x1 = FoldLane(x1, k, x2);
    x1 = FoldLane(x1, k, x3);
    x1 = FoldLane(x1, k, x4);
    while (len >= 16) {
        x1 = FoldLane(x1, k, load(buf));
        buf += 16;
        len -= 16;
    }

    // 128 -> 64 bits.
    __m128i x2b = _mm_clmulepi64_si128(x1, k, 0x10);
    const __m128i mask = _mm_setr_epi32(~0, 0, ~0, 0);
    x1 = _mm_xor_si128(_mm_srli_si128(x1, 8), x2b);
    k = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(k5k0));
    x2b = _mm_srli_si128(x1, 4);
    x1 = _mm_clmulepi64_si128(_mm_and_si128(x1, mask), k, 0x00);
    x1 = _mm_xor_si128(x1, x2b);

    // Barrett reduction to 32 bits.
    k = _mm_load_si128(reinterpret_cast<const __m128i*>(poly));
    x2b = _mm_clmulepi64_si128(_mm_and_si128(x1, mask), k, 0x10);
    x2b = _mm_clmulepi64_si128(_mm_and_si128(x2b, mask), k, 0x00);
    x1 = _mm_xor_si128(x1, x2b);
    return static_cast<uint32_t>(_mm_extract_epi32(x1, 1));
}

const bool g_haveFold = __builtin_cpu_supports("pclmul") && __builtin_cpu_supports("sse4.1");
#endif

} // namespace

uint32_t Update(uint32_t crc, const void* data, size_t length) {
    const auto* p = static_cast<const uint8_t*>(data);
#ifdef VORLANE_CRC_FOLD
    if (g_haveFold && length >= 64) {
        const size_t bulk = length & ~size_t(15);
        crc = ~Fold(~crc, p, bulk);
        p += bulk;
        length -= bulk;
    }
#endif
    return length ? Zlib(crc, p, length) : crc;
}

} // namespace vorlane::crc
