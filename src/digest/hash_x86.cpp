// x86-64 instruction-set paths for the digests: SHA-256 with the SHA extensions, CRC-32 by
// carry-less multiplication folding, CRC-32C with the SSE4.2 crc32 instruction. Each routine
// carries its own target attribute, so the rest of the build stays baseline x86-64 and hash.cpp
// only calls one after CPUID said yes. Other architectures compile the stubs at the bottom.
#include "digest/hash_accel.h"

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))

#include <cpuid.h>
#include <immintrin.h>

#include <cstring>

unsigned hash_accel_cpu() {
  unsigned a, b, c, d;
  if (!__get_cpuid(1, &a, &b, &c, &d)) return 0;
  const bool ssse3 = c & (1u << 9), sse41 = c & (1u << 19), sse42 = c & (1u << 20);
  const bool clmul = c & (1u << 1);
  unsigned paths = 0;
  if (clmul && sse41) paths |= HASH_ACCEL_CRC32;
  if (sse42) paths |= HASH_ACCEL_CRC32C;
  unsigned b7 = 0;
  if (__get_cpuid_max(0, nullptr) >= 7) {
    __cpuid_count(7, 0, a, b7, c, d);
  }
  if ((b7 & (1u << 29)) && ssse3 && sse41) paths |= HASH_ACCEL_SHA256;
  return paths;
}

// ---------------------------------------------------------------- SHA-256
// The state lives in two registers as the instructions want it: ABEF and CDGH. Message words go
// in groups of four; group j (j >= 4) is built from groups j-4 .. j-1 by sha256msg1/msg2, with
// the W[i-7] terms taken by a byte shift across groups j-1 and j-2.
__attribute__((target("sha,sse4.1,ssse3"))) void sha256_blocks_accel(uint32_t state[8],
                                                                     const unsigned char *data,
                                                                     size_t nblocks) {
  const __m128i bswap = _mm_set_epi64x(0x0c0d0e0f08090a0bLL, 0x0405060700010203LL);
  __m128i dcba = _mm_loadu_si128((const __m128i *)&state[0]);
  __m128i hgfe = _mm_loadu_si128((const __m128i *)&state[4]);
  __m128i cdab = _mm_shuffle_epi32(dcba, 0xB1);
  __m128i efgh = _mm_shuffle_epi32(hgfe, 0x1B);
  __m128i abef = _mm_alignr_epi8(cdab, efgh, 8);
  __m128i cdgh = _mm_blend_epi16(efgh, cdab, 0xF0);

  for (; nblocks; nblocks--, data += 64) {
    const __m128i abef_in = abef, cdgh_in = cdgh;
    __m128i m[4];
#pragma GCC unroll 16
    for (int j = 0; j < 16; j++) {
      if (j < 4) {
        m[j] = _mm_shuffle_epi8(_mm_loadu_si128((const __m128i *)(data + 16 * j)), bswap);
      } else {
        __m128i t = _mm_sha256msg1_epu32(m[j & 3], m[(j + 1) & 3]);
        t = _mm_add_epi32(t, _mm_alignr_epi8(m[(j + 3) & 3], m[(j + 2) & 3], 4));
        m[j & 3] = _mm_sha256msg2_epu32(t, m[(j + 3) & 3]);
      }
      __m128i wk = _mm_add_epi32(m[j & 3], _mm_loadu_si128((const __m128i *)&SHA256_K[4 * j]));
      cdgh = _mm_sha256rnds2_epu32(cdgh, abef, wk);
      abef = _mm_sha256rnds2_epu32(abef, cdgh, _mm_shuffle_epi32(wk, 0x0E));
    }
    abef = _mm_add_epi32(abef, abef_in);
    cdgh = _mm_add_epi32(cdgh, cdgh_in);
  }

  __m128i feba = _mm_shuffle_epi32(abef, 0x1B);
  __m128i dchg = _mm_shuffle_epi32(cdgh, 0xB1);
  _mm_storeu_si128((__m128i *)&state[0], _mm_blend_epi16(feba, dchg, 0xF0));
  _mm_storeu_si128((__m128i *)&state[4], _mm_alignr_epi8(dchg, feba, 8));
}

// ---------------------------------------------------------------- CRC-32 (reflected 0xEDB88320)
namespace {

// Folding constants of the reflected polynomial: x^(d+32) and x^(d-32) mod P for a fold across
// d = 512 bits (four lanes) and d = 128 bits (one lane), bit-reflected as 33-bit values.
constexpr uint64_t k_fold512_lo = 0x154442bd4ull, k_fold512_hi = 0x1c6e41596ull;
constexpr uint64_t k_fold128_lo = 0x1751997d0ull, k_fold128_hi = 0x0ccaa009eull;

__attribute__((target("pclmul,sse4.1"))) inline __m128i fold(__m128i x, __m128i k, __m128i next) {
  __m128i lo = _mm_clmulepi64_si128(x, k, 0x00);
  __m128i hi = _mm_clmulepi64_si128(x, k, 0x11);
  return _mm_xor_si128(_mm_xor_si128(lo, hi), next);
}

}  // namespace

// Folds the input down to one 128-bit lane with the same residue, then lets the table finish
// that lane and the last < 16 bytes. The running CRC enters as the inverted register XOR-ed into
// the first four bytes, which is what the table path's pre-inversion amounts to.
__attribute__((target("pclmul,sse4.1"))) uint32_t crc32_accel(uint32_t crc, const void *data,
                                                             size_t len) {
  const unsigned char *p = (const unsigned char *)data;
  if (len < 64) return crc32_portable(crc, p, len);
  __m128i x0 = _mm_loadu_si128((const __m128i *)(p + 0));
  __m128i x1 = _mm_loadu_si128((const __m128i *)(p + 16));
  __m128i x2 = _mm_loadu_si128((const __m128i *)(p + 32));
  __m128i x3 = _mm_loadu_si128((const __m128i *)(p + 48));
  x0 = _mm_xor_si128(x0, _mm_cvtsi32_si128((int)~crc));
  p += 64;
  len -= 64;
  const __m128i k4 = _mm_set_epi64x((long long)k_fold512_hi, (long long)k_fold512_lo);
  while (len >= 64) {
    x0 = fold(x0, k4, _mm_loadu_si128((const __m128i *)(p + 0)));
    x1 = fold(x1, k4, _mm_loadu_si128((const __m128i *)(p + 16)));
    x2 = fold(x2, k4, _mm_loadu_si128((const __m128i *)(p + 32)));
    x3 = fold(x3, k4, _mm_loadu_si128((const __m128i *)(p + 48)));
    p += 64;
    len -= 64;
  }
  const __m128i k1 = _mm_set_epi64x((long long)k_fold128_hi, (long long)k_fold128_lo);
  x1 = fold(x0, k1, x1);
  x2 = fold(x1, k1, x2);
  x3 = fold(x2, k1, x3);
  while (len >= 16) {
    x3 = fold(x3, k1, _mm_loadu_si128((const __m128i *)p));
    p += 16;
    len -= 16;
  }
  unsigned char lane[16];
  _mm_storeu_si128((__m128i *)lane, x3);
  // The lane already holds the register, so it is run from a zero register: a finished value
  // of 0xFFFFFFFF.
  uint32_t mid = crc32_portable(0xFFFFFFFFu, lane, sizeof lane);
  return crc32_portable(mid, p, len);
}

// ---------------------------------------------------------------- CRC-32C (Castagnoli)
__attribute__((target("sse4.2"))) uint32_t crc32c_accel(uint32_t crc, const void *data,
                                                        size_t len) {
  const unsigned char *p = (const unsigned char *)data;
  uint64_t r = (uint32_t)~crc;
  for (; len >= 8; p += 8, len -= 8) {
    uint64_t w;
    memcpy(&w, p, 8);
    r = _mm_crc32_u64(r, w);
  }
  uint32_t r32 = (uint32_t)r;
  for (; len; p++, len--) r32 = _mm_crc32_u8(r32, *p);
  return ~r32;
}

#else  // no instruction-set paths on this architecture

unsigned hash_accel_cpu() { return 0; }
void sha256_blocks_accel(uint32_t *, const unsigned char *, size_t) {}
uint32_t crc32_accel(uint32_t crc, const void *data, size_t len) {
  return crc32_portable(crc, data, len);
}
uint32_t crc32c_accel(uint32_t crc, const void *data, size_t len) {
  return crc32c_portable(crc, data, len);
}

#endif
