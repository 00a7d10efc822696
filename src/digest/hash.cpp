// Digest and encoding primitives: MD5, SHA-256, SHA-1, HMAC-SHA256, the three CRCs, Base64,
// constant-time comparison and the file digests. Everything works on caller-owned memory; the CRC
// tables are generated at compile time, so no thread ever sees them half filled. SHA-256 blocks,
// CRC-32 and CRC-32C go to the instruction paths of hash_x86.cpp when CPUID offers them; this
// portable code is the fallback and gives the same results.
#include "digest/hash.h"

#include <atomic>
#include <cstdlib>
#include <cstring>

#include "digest/hash_accel.h"
#include "platform/platform.h"

namespace {

inline uint32_t rotl32(uint32_t x, unsigned n) { return (x << n) | (x >> (32 - n)); }
inline uint32_t rotr32(uint32_t x, unsigned n) { return (x >> n) | (x << (32 - n)); }

inline uint32_t load_le32(const unsigned char *p) {
  return (uint32_t)p[0] | ((uint32_t)p[1] << 8) | ((uint32_t)p[2] << 16) | ((uint32_t)p[3] << 24);
}
inline uint32_t load_be32(const unsigned char *p) {
  return ((uint32_t)p[0] << 24) | ((uint32_t)p[1] << 16) | ((uint32_t)p[2] << 8) | (uint32_t)p[3];
}
inline void store_le32(unsigned char *p, uint32_t v) {
  p[0] = (unsigned char)v;
  p[1] = (unsigned char)(v >> 8);
  p[2] = (unsigned char)(v >> 16);
  p[3] = (unsigned char)(v >> 24);
}
inline void store_be32(unsigned char *p, uint32_t v) {
  p[0] = (unsigned char)(v >> 24);
  p[1] = (unsigned char)(v >> 16);
  p[2] = (unsigned char)(v >> 8);
  p[3] = (unsigned char)v;
}
inline void store_le64(unsigned char *p, uint64_t v) {
  for (int i = 0; i < 8; i++) p[i] = (unsigned char)(v >> (8 * i));
}
inline void store_be64(unsigned char *p, uint64_t v) {
  for (int i = 0; i < 8; i++) p[i] = (unsigned char)(v >> (56 - 8 * i));
}

// The block-buffering shared by the three Merkle-Damgard digests: fills buf, compresses each full
// block (whole blocks straight from the input, in one run), keeps the rest for the next call.
template <typename Ctx, void (*Blocks)(Ctx *, const unsigned char *, size_t)>
void absorb(Ctx *c, const void *data, size_t len) {
  const unsigned char *p = (const unsigned char *)data;
  c->total += len;
  if (c->buf_len) {
    size_t take = 64 - c->buf_len;
    if (take > len) take = len;
    memcpy(c->buf + c->buf_len, p, take);
    c->buf_len += take;
    p += take;
    len -= take;
    if (c->buf_len < 64) return;
    Blocks(c, c->buf, 1);
    c->buf_len = 0;
  }
  if (len >= 64) {
    Blocks(c, p, len / 64);
    p += len & ~(size_t)63;
    len &= 63;
  }
  if (len) {
    memcpy(c->buf, p, len);
    c->buf_len = len;
  }
}

// Appends 0x80, zeros to 56 mod 64 and the 8-byte bit length (already encoded by the caller).
template <typename Ctx, void (*Blocks)(Ctx *, const unsigned char *, size_t)>
void pad_final(Ctx *c, const unsigned char len_bytes[8]) {
  size_t n = (size_t)c->buf_len;
  c->buf[n++] = 0x80;
  if (n > 56) {
    memset(c->buf + n, 0, 64 - n);
    Blocks(c, c->buf, 1);
    n = 0;
  }
  memset(c->buf + n, 0, 56 - n);
  memcpy(c->buf + 56, len_bytes, 8);
  Blocks(c, c->buf, 1);
  c->buf_len = 0;
}

// Runs a one-block compression over n consecutive blocks.
template <typename Ctx, void (*Block)(Ctx *, const unsigned char *)>
void each_block(Ctx *c, const unsigned char *p, size_t n) {
  for (; n; n--, p += 64) Block(c, p);
}

// Set by hash_force_portable: every digest then takes the portable path.
std::atomic<int> s_force_portable{0};

// The instruction-set paths in use: what CPUID offered, asked once, unless forced off.
unsigned accel_paths() {
  static const unsigned cpu = hash_accel_cpu();
  return s_force_portable.load(std::memory_order_relaxed) ? 0 : cpu;
}

// ---------------------------------------------------------------- MD5 (RFC 1321)
constexpr uint32_t MD5_K[64] = {
    0xd76aa478, 0xe8c7b756, 0x242070db, 0xc1bdceee, 0xf57c0faf, 0x4787c62a, 0xa8304613, 0xfd469501,
    0x698098d8, 0x8b44f7af, 0xffff5bb1, 0x895cd7be, 0x6b901122, 0xfd987193, 0xa679438e, 0x49b40821,
    0xf61e2562, 0xc040b340, 0x265e5a51, 0xe9b6c7aa, 0xd62f105d, 0x02441453, 0xd8a1e681, 0xe7d3fbc8,
    0x21e1cde6, 0xc33707d6, 0xf4d50d87, 0x455a14ed, 0xa9e3e905, 0xfcefa3f8, 0x676f02d9, 0x8d2a4c8a,
    0xfffa3942, 0x8771f681, 0x6d9d6122, 0xfde5380c, 0xa4beea44, 0x4bdecfa9, 0xf6bb4b60, 0xbebfbc70,
    0x289b7ec6, 0xeaa127fa, 0xd4ef3085, 0x04881d05, 0xd9d4d039, 0xe6db99e5, 0x1fa27cf8, 0xc4ac5665,
    0xf4292244, 0x432aff97, 0xab9423a7, 0xfc93a039, 0x655b59c3, 0x8f0ccc92, 0xffeff47d, 0x85845dd1,
    0x6fa87e4f, 0xfe2ce6e0, 0xa3014314, 0x4e0811a1, 0xf7537e82, 0xbd3af235, 0x2ad7d2bb, 0xeb86d391};

constexpr unsigned MD5_S[64] = {7, 12, 17, 22, 7, 12, 17, 22, 7, 12, 17, 22, 7, 12, 17, 22,
                                5, 9,  14, 20, 5, 9,  14, 20, 5, 9,  14, 20, 5, 9,  14, 20,
                                4, 11, 16, 23, 4, 11, 16, 23, 4, 11, 16, 23, 4, 11, 16, 23,
                                6, 10, 15, 21, 6, 10, 15, 21, 6, 10, 15, 21, 6, 10, 15, 21};

void md5_block(md5_ctx *c, const unsigned char *block) {
  uint32_t m[16];
  for (int i = 0; i < 16; i++) m[i] = load_le32(block + 4 * i);
  uint32_t a = c->state[0], b = c->state[1], cc = c->state[2], d = c->state[3];
  // Fully unrolled, the round tests, message indexes and rotations become constants and the
  // register shuffle disappears: MD5 bounds the speed of every upload.
#pragma GCC unroll 64
  for (int i = 0; i < 64; i++) {
    // What does not wait for b is added to a first, so that each step's chain from the newest
    // word b is as short as the function allows.
    uint32_t early, late;
    int g;
    if (i < 16) {
      early = 0;
      late = d ^ (b & (cc ^ d));
      g = i;
    } else if (i < 32) {
      early = cc & ~d;  // (d & b) | (~d & c): the two halves never share a bit
      late = d & b;
      g = (5 * i + 1) & 15;
    } else if (i < 48) {
      early = 0;
      late = b ^ (cc ^ d);
      g = (3 * i + 5) & 15;
    } else {
      early = 0;
      late = cc ^ (b | ~d);
      g = (7 * i) & 15;
    }
    uint32_t t = d;
    d = cc;
    cc = b;
    b = b + rotl32((a + MD5_K[i] + m[g] + early) + late, MD5_S[i]);
    a = t;
  }
  c->state[0] += a;
  c->state[1] += b;
  c->state[2] += cc;
  c->state[3] += d;
}

void sha256_transform(sha256_ctx *c, const unsigned char *block) {
  uint32_t w[64];
  for (int i = 0; i < 16; i++) w[i] = load_be32(block + 4 * i);
  for (int i = 16; i < 64; i++) {
    uint32_t s0 = rotr32(w[i - 15], 7) ^ rotr32(w[i - 15], 18) ^ (w[i - 15] >> 3);
    uint32_t s1 = rotr32(w[i - 2], 17) ^ rotr32(w[i - 2], 19) ^ (w[i - 2] >> 10);
    w[i] = w[i - 16] + s0 + w[i - 7] + s1;
  }
  uint32_t a = c->state[0], b = c->state[1], cc = c->state[2], d = c->state[3];
  uint32_t e = c->state[4], f = c->state[5], g = c->state[6], h = c->state[7];
  for (int i = 0; i < 64; i++) {
    uint32_t s1 = rotr32(e, 6) ^ rotr32(e, 11) ^ rotr32(e, 25);
    uint32_t ch = (e & f) ^ (~e & g);
    uint32_t t1 = h + s1 + ch + SHA256_K[i] + w[i];
    uint32_t s0 = rotr32(a, 2) ^ rotr32(a, 13) ^ rotr32(a, 22);
    uint32_t maj = (a & b) ^ (a & cc) ^ (b & cc);
    uint32_t t2 = s0 + maj;
    h = g;
    g = f;
    f = e;
    e = d + t1;
    d = cc;
    cc = b;
    b = a;
    a = t1 + t2;
  }
  c->state[0] += a;
  c->state[1] += b;
  c->state[2] += cc;
  c->state[3] += d;
  c->state[4] += e;
  c->state[5] += f;
  c->state[6] += g;
  c->state[7] += h;
}

// Whole blocks through the SHA extensions when the CPU has them, else the portable rounds.
void sha256_blocks(sha256_ctx *c, const unsigned char *p, size_t n) {
  if (accel_paths() & HASH_ACCEL_SHA256)
    sha256_blocks_accel(c->state, p, n);
  else
    each_block<sha256_ctx, sha256_transform>(c, p, n);
}

// ---------------------------------------------------------------- SHA-1 (FIPS 180-4)
void sha1_block(sha1_ctx *c, const unsigned char *block) {
  uint32_t w[80];
  for (int i = 0; i < 16; i++) w[i] = load_be32(block + 4 * i);
  for (int i = 16; i < 80; i++) w[i] = rotl32(w[i - 3] ^ w[i - 8] ^ w[i - 14] ^ w[i - 16], 1);
  uint32_t a = c->state[0], b = c->state[1], cc = c->state[2], d = c->state[3], e = c->state[4];
  for (int i = 0; i < 80; i++) {
    uint32_t f, k;
    if (i < 20) {
      f = (b & cc) | (~b & d);
      k = 0x5a827999;
    } else if (i < 40) {
      f = b ^ cc ^ d;
      k = 0x6ed9eba1;
    } else if (i < 60) {
      f = (b & cc) | (b & d) | (cc & d);
      k = 0x8f1bbcdc;
    } else {
      f = b ^ cc ^ d;
      k = 0xca62c1d6;
    }
    uint32_t t = rotl32(a, 5) + f + e + k + w[i];
    e = d;
    d = cc;
    cc = rotl32(b, 30);
    b = a;
    a = t;
  }
  c->state[0] += a;
  c->state[1] += b;
  c->state[2] += cc;
  c->state[3] += d;
  c->state[4] += e;
}

// ---------------------------------------------------------------- CRC tables
// Reflected table-driven CRCs: entry i is i shifted right eight times, XOR-ed with the reflected
// polynomial after every shift that pushed out a 1.
template <typename T, T Poly>
struct crc_table {
  T v[256];
  constexpr crc_table() : v() {
    for (unsigned i = 0; i < 256; i++) {
      T r = (T)i;
      for (int k = 0; k < 8; k++) r = (r & 1) ? (T)((r >> 1) ^ Poly) : (T)(r >> 1);
      v[i] = r;
    }
  }
};

// CRC-32 of ISO-HDLC / IEEE 802.3, CRC-32C (Castagnoli), CRC-64/NVME.
constexpr crc_table<uint32_t, 0xEDB88320u> s_crc32_tab;
constexpr crc_table<uint32_t, 0x82F63B78u> s_crc32c_tab;
constexpr crc_table<uint64_t, 0x9a6c9329ac4bc9b5ull> s_crc64nvme_tab;

template <typename T, T Poly>
T crc_run(const crc_table<T, Poly> &tab, T crc, const void *data, size_t len) {
  const unsigned char *p = (const unsigned char *)data;
  crc = (T)~crc;
  for (size_t i = 0; i < len; i++) crc = tab.v[(crc ^ p[i]) & 0xff] ^ (T)(crc >> 8);
  return (T)~crc;
}

constexpr char B64_ALPHABET[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

int b64_index(unsigned char ch) {
  if (ch >= 'A' && ch <= 'Z') return ch - 'A';
  if (ch >= 'a' && ch <= 'z') return ch - 'a' + 26;
  if (ch >= '0' && ch <= '9') return ch - '0' + 52;
  if (ch == '+') return 62;
  if (ch == '/') return 63;
  return -1;
}

// Streams a file through a digest in pieces of piece_size bytes. A read error ends the input.
// The piece buffer comes from the heap; should that fail, a small stack buffer does the work.
template <typename Fn>
int digest_file(const char *path, size_t piece_size, Fn feed) {
  plat_file_guard f(plat_file_open(path, PLAT_READ));
  if (!f.f) return -1;
  unsigned char fallback[4096];
  unsigned char *buf = (unsigned char *)malloc(piece_size);
  if (!buf) {
    buf = fallback;
    piece_size = sizeof fallback;
  }
  for (;;) {
    long n = plat_file_read(f.f, buf, piece_size);
    if (n <= 0) break;
    feed(buf, (size_t)n);
  }
  if (buf != fallback) free(buf);
  return 0;
}

}  // namespace

// ---------------------------------------------------------------- SHA-256 (FIPS 180-4)
// Shared with the SHA extensions path, which loads them four at a time.
const uint32_t SHA256_K[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2};

// ---------------------------------------------------------------- MD5
void md5_init(md5_ctx *c) {
  c->state[0] = 0x67452301;
  c->state[1] = 0xefcdab89;
  c->state[2] = 0x98badcfe;
  c->state[3] = 0x10325476;
  c->total = 0;
  c->buf_len = 0;
}

void md5_update(md5_ctx *c, const void *data, size_t len) { absorb<md5_ctx, each_block<md5_ctx, md5_block>>(c, data, len); }

void md5_final(md5_ctx *c, unsigned char out[16]) {
  unsigned char len_bytes[8];
  store_le64(len_bytes, c->total * 8);
  pad_final<md5_ctx, each_block<md5_ctx, md5_block>>(c, len_bytes);
  for (int i = 0; i < 4; i++) store_le32(out + 4 * i, c->state[i]);
}

int md5_file(const char *path, char out_hex[33]) {
  md5_ctx c;
  md5_init(&c);
  if (digest_file(path, 65536, [&c](const unsigned char *p, size_t n) { md5_update(&c, p, n); }) != 0)
    return -1;
  unsigned char d[16];
  md5_final(&c, d);
  hex_encode(d, 16, out_hex);
  return 0;
}

// ---------------------------------------------------------------- SHA-256
void sha256_init(sha256_ctx *c) {
  static constexpr uint32_t H0[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                                     0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};
  memcpy(c->state, H0, sizeof H0);
  c->buf_len = 0;
  c->total = 0;
}

void sha256_update(sha256_ctx *c, const void *data, size_t len) {
  absorb<sha256_ctx, sha256_blocks>(c, data, len);
}

void sha256_final(sha256_ctx *c, unsigned char out[32]) {
  unsigned char len_bytes[8];
  store_be64(len_bytes, c->total * 8);
  pad_final<sha256_ctx, sha256_blocks>(c, len_bytes);
  for (int i = 0; i < 8; i++) store_be32(out + 4 * i, c->state[i]);
}

// Streams through a context instead of building a padded copy, so it needs no memory and
// cannot fail.
void sha256_raw(const void *data, size_t len, unsigned char out[32]) {
  sha256_ctx c;
  sha256_init(&c);
  sha256_update(&c, data, len);
  sha256_final(&c, out);
}

void sha256_hex(const void *data, size_t len, char out[65]) {
  unsigned char d[32];
  sha256_raw(data, len, d);
  hex_encode(d, 32, out);
}

int sha256_file(const char *path, char out_hex[65]) {
  sha256_ctx c;
  sha256_init(&c);
  if (digest_file(path, 262144,
                  [&c](const unsigned char *p, size_t n) { sha256_update(&c, p, n); }) != 0)
    return -1;
  unsigned char d[32];
  sha256_final(&c, d);
  hex_encode(d, 32, out_hex);
  return 0;
}

// ---------------------------------------------------------------- SHA-1
void sha1_init(sha1_ctx *c) {
  c->state[0] = 0x67452301;
  c->state[1] = 0xefcdab89;
  c->state[2] = 0x98badcfe;
  c->state[3] = 0x10325476;
  c->state[4] = 0xc3d2e1f0;
  c->buf_len = 0;
  c->total = 0;
}

void sha1_update(sha1_ctx *c, const void *data, size_t len) { absorb<sha1_ctx, each_block<sha1_ctx, sha1_block>>(c, data, len); }

void sha1_final(sha1_ctx *c, unsigned char out[20]) {
  unsigned char len_bytes[8];
  store_be64(len_bytes, c->total * 8);
  pad_final<sha1_ctx, each_block<sha1_ctx, sha1_block>>(c, len_bytes);
  for (int i = 0; i < 5; i++) store_be32(out + 4 * i, c->state[i]);
}

// ---------------------------------------------------------------- HMAC-SHA256 (RFC 2104)
// The padded key and the message go through one running context each, so no copy of the
// message is ever built.
void hmac_sha256(const void *key, size_t key_len, const void *msg, size_t msg_len,
                 unsigned char out[32]) {
  unsigned char k[64];
  memset(k, 0, sizeof k);
  if (key_len > 64)
    sha256_raw(key, key_len, k);
  else if (key_len)
    memcpy(k, key, key_len);

  unsigned char pad[64];
  for (int i = 0; i < 64; i++) pad[i] = k[i] ^ 0x36;
  sha256_ctx c;
  sha256_init(&c);
  sha256_update(&c, pad, 64);
  if (msg_len) sha256_update(&c, msg, msg_len);
  unsigned char inner[32];
  sha256_final(&c, inner);

  for (int i = 0; i < 64; i++) pad[i] = k[i] ^ 0x5c;
  sha256_init(&c);
  sha256_update(&c, pad, 64);
  sha256_update(&c, inner, 32);
  sha256_final(&c, out);
}

// ---------------------------------------------------------------- HMAC-SHA1 (RFC 2104)
void hmac_sha1_init(hmac_sha1_ctx *h, const void *key, size_t key_len) {
  unsigned char k[64];
  memset(k, 0, sizeof k);
  if (key_len > 64) {
    sha1_ctx c;
    sha1_init(&c);
    sha1_update(&c, key, key_len);
    sha1_final(&c, k);
  } else if (key_len) {
    memcpy(k, key, key_len);
  }
  unsigned char ipad[64];
  for (int i = 0; i < 64; i++) {
    ipad[i] = k[i] ^ 0x36;
    h->opad[i] = k[i] ^ 0x5c;
  }
  sha1_init(&h->inner);
  sha1_update(&h->inner, ipad, 64);
  volatile unsigned char *v = k;
  for (size_t i = 0; i < sizeof k; i++) v[i] = 0;
}

void hmac_sha1_update(hmac_sha1_ctx *h, const void *data, size_t len) {
  if (len) sha1_update(&h->inner, data, len);
}

void hmac_sha1_final(hmac_sha1_ctx *h, unsigned char out[20]) {
  unsigned char inner[20];
  sha1_final(&h->inner, inner);
  sha1_ctx c;
  sha1_init(&c);
  sha1_update(&c, h->opad, 64);
  sha1_update(&c, inner, 20);
  sha1_final(&c, out);
  volatile unsigned char *v = h->opad;
  for (size_t i = 0; i < sizeof h->opad; i++) v[i] = 0;
}

void hmac_sha1(const void *key, size_t key_len, const void *msg, size_t msg_len,
               unsigned char out[20]) {
  hmac_sha1_ctx h;
  hmac_sha1_init(&h, key, key_len);
  hmac_sha1_update(&h, msg, msg_len);
  hmac_sha1_final(&h, out);
}

// ---------------------------------------------------------------- CRCs
uint32_t crc32_portable(uint32_t crc, const void *data, size_t len) {
  return crc_run(s_crc32_tab, crc, data, len);
}

uint32_t crc32c_portable(uint32_t crc, const void *data, size_t len) {
  return crc_run(s_crc32c_tab, crc, data, len);
}

uint32_t crc32_update(uint32_t crc, const void *data, size_t len) {
  if (accel_paths() & HASH_ACCEL_CRC32) return crc32_accel(crc, data, len);
  return crc_run(s_crc32_tab, crc, data, len);
}

uint32_t crc32c_update(uint32_t crc, const void *data, size_t len) {
  if (accel_paths() & HASH_ACCEL_CRC32C) return crc32c_accel(crc, data, len);
  return crc_run(s_crc32c_tab, crc, data, len);
}

void hash_force_portable(int on) { s_force_portable.store(on ? 1 : 0, std::memory_order_relaxed); }

unsigned hash_accel_paths() { return accel_paths(); }

// CRC-64/NVME eight bytes at a time (slicing by eight): table k gives the CRC of a byte followed
// by k zero bytes, so eight lookups replace eight dependent steps. Every new object is stored
// with this checksum, so its speed is that of every upload; there is no instruction for it here.
struct crc64_slices {
  uint64_t t[8][256];
  constexpr crc64_slices() : t() {
    for (unsigned i = 0; i < 256; i++) t[0][i] = s_crc64nvme_tab.v[i];
    for (int k = 1; k < 8; k++)
      for (unsigned i = 0; i < 256; i++) t[k][i] = (t[k - 1][i] >> 8) ^ t[0][t[k - 1][i] & 0xff];
  }
};
constexpr crc64_slices s_crc64nvme_slices;

uint64_t crc64nvme_update(uint64_t crc, const void *data, size_t len) {
  const unsigned char *p = (const unsigned char *)data;
  const auto &t = s_crc64nvme_slices.t;
  crc = ~crc;
  for (; len >= 8; p += 8, len -= 8) {
    // The bytes in stream order as a little-endian word, whatever the machine's order.
    uint64_t v = 0;
    for (int i = 7; i >= 0; i--) v = (v << 8) | p[i];
    crc ^= v;
    crc = t[7][crc & 0xff] ^ t[6][(crc >> 8) & 0xff] ^ t[5][(crc >> 16) & 0xff] ^
          t[4][(crc >> 24) & 0xff] ^ t[3][(crc >> 32) & 0xff] ^ t[2][(crc >> 40) & 0xff] ^
          t[1][(crc >> 48) & 0xff] ^ t[0][crc >> 56];
  }
  for (size_t i = 0; i < len; i++) crc = s_crc64nvme_tab.v[(crc ^ p[i]) & 0xff] ^ (crc >> 8);
  return ~crc;
}

// ---------------------------------------------------------------- Base64 (RFC 4648 alphabet)
// Lenient: blanks, "=" and any character outside the alphabet are skipped without error;
// decoding stops once out_cap bytes are out, and fewer than 8 leftover bits are dropped.
size_t base64_decode_n(const char *text, unsigned char *out, size_t out_cap) {
  size_t n = 0;
  uint32_t acc = 0;
  int bits = 0;
  for (const char *p = text; *p && n < out_cap; p++) {
    int v = b64_index((unsigned char)*p);
    if (v < 0) continue;
    acc = ((acc << 6) | (uint32_t)v) & 0xffffff;
    bits += 6;
    if (bits >= 8) {
      bits -= 8;
      out[n++] = (unsigned char)(acc >> bits);
    }
  }
  return n;
}

size_t base64_encode(const void *data, size_t len, char *out) {
  const char *alphabet = B64_ALPHABET;
  const unsigned char *p = (const unsigned char *)data;
  size_t n = 0;
  for (size_t i = 0; i < len; i += 3) {
    uint32_t v = (uint32_t)p[i] << 16;
    if (i + 1 < len) v |= (uint32_t)p[i + 1] << 8;
    if (i + 2 < len) v |= p[i + 2];
    out[n++] = alphabet[(v >> 18) & 63];
    out[n++] = alphabet[(v >> 12) & 63];
    out[n++] = i + 1 < len ? alphabet[(v >> 6) & 63] : '=';
    out[n++] = i + 2 < len ? alphabet[v & 63] : '=';
  }
  out[n] = 0;
  return n;
}

size_t base64_decode(const char *text, unsigned char out[8]) { return base64_decode_n(text, out, 8); }

// ---------------------------------------------------------------- comparison
int const_time_eq(const void *a, size_t alen, const void *b, size_t blen) {
  if (alen != blen) return 0;
  const volatile unsigned char *x = (const volatile unsigned char *)a;
  const volatile unsigned char *y = (const volatile unsigned char *)b;
  unsigned char diff = 0;
  for (size_t i = 0; i < alen; i++) diff |= (unsigned char)(x[i] ^ y[i]);
  return diff == 0;
}

size_t base64_encode(const void *in, size_t n, char *out, size_t out_cap) {
  static const char k_alphabet[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  const unsigned char *p = static_cast<const unsigned char *>(in);
  size_t need = 4 * ((n + 2) / 3);
  if (out_cap == 0) return 0;
  if (need + 1 > out_cap) {
    out[0] = 0;
    return 0;
  }
  size_t o = 0;
  for (size_t i = 0; i < n; i += 3) {
    uint32_t v = (uint32_t)p[i] << 16;
    if (i + 1 < n) v |= (uint32_t)p[i + 1] << 8;
    if (i + 2 < n) v |= p[i + 2];
    out[o++] = k_alphabet[(v >> 18) & 63];
    out[o++] = k_alphabet[(v >> 12) & 63];
    out[o++] = i + 1 < n ? k_alphabet[(v >> 6) & 63] : '=';
    out[o++] = i + 2 < n ? k_alphabet[v & 63] : '=';
  }
  out[o] = 0;
  return o;
}
