#include "Checksums.h"

#include <algorithm>

#include <zlib.h>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

#if defined(__x86_64__)
namespace {

inline __m128i load(const uint8_t* p) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p)); }

// acc × k (both halves) folded onto the next 16 bytes.
__attribute__((target("pclmul,sse4.1"))) inline __m128i Fold(__m128i acc, __m128i next, __m128i k) {
    const __m128i lo = _mm_clmulepi64_si128(acc, k, 0x00);
    return _mm_xor_si128(_mm_xor_si128(_mm_clmulepi64_si128(acc, k, 0x11), next), lo);
}

// Folds 64-byte blocks with carry-less multiplication (Gopal et al., "Fast CRC Computation for
// Generic Polynomials Using PCLMULQDQ", Intel 2009), constants for the reflected polynomial
// 0xEDB88320. Takes and returns the register without the final complement; length is a
// multiple of 16 and at least 64.
__attribute__((target("pclmul,sse4.1"))) uint32_t FoldCrc32(uint32_t crc, const uint8_t* buf, size_t len) {
    alignas(16) static const uint64_t k1k2[] = {0x0154442bd4, 0x01c6e41596};
    alignas(16) static const uint64_t k3k4[] = {0x01751997d0, 0x00ccaa009e};
    alignas(16) static const uint64_t k5k0[] = {0x0163cd6124, 0x0000000000};
    alignas(16) static const uint64_t poly[] = {0x01db710641, 0x01f7011641};

    __m128i x1 = load(buf), x2 = load(buf + 16), x3 = load(buf + 32), x4 = load(buf + 48);
    x1 = _mm_xor_si128(x1, _mm_cvtsi32_si128(static_cast<int>(crc)));
    __m128i x0 = _mm_load_si128(reinterpret_cast<const __m128i*>(k1k2));
    buf += 64;
    len -= 64;
    while (len >= 64) {
        x1 = Fold(x1, load(buf), x0);
        x2 = Fold(x2, load(buf + 16), x0);
        x3 = Fold(x3, load(buf + 32), x0);
        x4 = Fold(x4, load(buf + 48), x0);
        buf += 64;
        len -= 64;
    }
    x0 = _mm_load_si128(reinterpret_cast<const __m128i*>(k3k4));
    x1 = Fold(x1, x2, x0);
    x1 = Fold(x1, x3, x0);
    x1 = Fold(x1, x4, x0);
    while (len >= 16) {
        x1 = Fold(x1, load(buf), x0);
        buf += 16;
        len -= 16;
    }
    // 128 bits to 64, then Barrett reduction to 32.
    x2 = _mm_clmulepi64_si128(x1, x0, 0x10);
    x3 = _mm_setr_epi32(~0, 0, ~0, 0);
    x1 = _mm_xor_si128(_mm_srli_si128(x1, 8), x2);
    x0 = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(k5k0));
    x2 = _mm_srli_si128(x1, 4);
    x1 = _mm_xor_si128(_mm_clmulepi64_si128(_mm_and_si128(x1, x3), x0, 0x00), x2);
    x0 = _mm_load_si128(reinterpret_cast<const __m128i*>(poly));
    x2 = _mm_and_si128(_mm_clmulepi64_si128(_mm_and_si128(x1, x3), x0, 0x10), x3);
    x1 = _mm_xor_si128(x1, _mm_clmulepi64_si128(x2, x0, 0x00));
    return static_cast<uint32_t>(_mm_extract_epi32(x1, 1));
}

const bool kHasClmul = __builtin_cpu_supports("pclmul") && __builtin_cpu_supports("sse4.1");

constexpr uint32_t kAdlerBase = 65521;
constexpr size_t kAdlerMax = 5552;  // bytes before the sums must be reduced

// Adler-32 over 32-byte blocks: byte sums with SAD, weighted sums with multiply-add
// (after the approach of Chromium's zlib, adler32_simd.c).
__attribute__((target("ssse3"))) uint32_t Adler32Ssse3(uint32_t adler, const uint8_t* buf, size_t len) {
    uint32_t s1 = adler & 0xFFFF, s2 = adler >> 16;
    size_t blocks = len / 32;
    const __m128i tap1 = _mm_setr_epi8(32, 31, 30, 29, 28, 27, 26, 25, 24, 23, 22, 21, 20, 19, 18, 17);
    const __m128i tap2 = _mm_setr_epi8(16, 15, 14, 13, 12, 11, 10, 9, 8, 7, 6, 5, 4, 3, 2, 1);
    const __m128i zero = _mm_setzero_si128();
    const __m128i ones = _mm_set1_epi16(1);
    while (blocks) {
        size_t n = std::min(blocks, kAdlerMax / 32);
        blocks -= n;
        __m128i ps = _mm_set_epi32(0, 0, 0, static_cast<int>(s1 * n));
        __m128i v2 = _mm_set_epi32(0, 0, 0, static_cast<int>(s2));
        __m128i v1 = _mm_setzero_si128();
        do {
            const __m128i b1 = load(buf), b2 = load(buf + 16);
            ps = _mm_add_epi32(ps, v1);
            v1 = _mm_add_epi32(v1, _mm_sad_epu8(b1, zero));
            v2 = _mm_add_epi32(v2, _mm_madd_epi16(_mm_maddubs_epi16(b1, tap1), ones));
            v1 = _mm_add_epi32(v1, _mm_sad_epu8(b2, zero));
            v2 = _mm_add_epi32(v2, _mm_madd_epi16(_mm_maddubs_epi16(b2, tap2), ones));
            buf += 32;
        } while (--n);
        v2 = _mm_add_epi32(v2, _mm_slli_epi32(ps, 5));
        v1 = _mm_add_epi32(v1, _mm_shuffle_epi32(v1, _MM_SHUFFLE(2, 3, 0, 1)));
        v1 = _mm_add_epi32(v1, _mm_shuffle_epi32(v1, _MM_SHUFFLE(1, 0, 3, 2)));
        v2 = _mm_add_epi32(v2, _mm_shuffle_epi32(v2, _MM_SHUFFLE(2, 3, 0, 1)));
        v2 = _mm_add_epi32(v2, _mm_shuffle_epi32(v2, _MM_SHUFFLE(1, 0, 3, 2)));
        s1 = (s1 + static_cast<uint32_t>(_mm_cvtsi128_si32(v1))) % kAdlerBase;
        s2 = static_cast<uint32_t>(_mm_cvtsi128_si32(v2)) % kAdlerBase;
    }
    for (size_t i = 0, rest = len % 32; i < rest; ++i) {
        s1 += buf[i];
        s2 += s1;
    }
    return ((s2 % kAdlerBase) << 16) | (s1 % kAdlerBase);
}

const bool kHasSsse3 = __builtin_cpu_supports("ssse3");

}  // namespace
#endif

uint32_t ChunkCrc32(uint32_t crc, const uint8_t* data, size_t length) {
#if defined(__x86_64__)
    if (kHasClmul && length >= 64) {
        const size_t folded = length & ~size_t{15};
        crc = ~FoldCrc32(~crc, data, folded);
        data += folded;
        length -= folded;
    }
#endif
    return static_cast<uint32_t>(crc32(crc, data, static_cast<uInt>(length)));
}

uint32_t StreamAdler32(uint32_t adler, const uint8_t* data, size_t length) {
#if defined(__x86_64__)
    if (kHasSsse3 && length >= 64) return Adler32Ssse3(adler, data, length);
#endif
    return static_cast<uint32_t>(adler32(adler, data, static_cast<uInt>(length)));
}
