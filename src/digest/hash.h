// Digest and encoding primitives: MD5, SHA-256, HMAC-SHA256, SHA-1, CRC-32, CRC-32C,
// CRC-64/NVME and Base64; digests in text use base/text's lowercase hexadecimal.
#pragma once

#include <cstddef>
#include <cstdint>

#include "base/text.h"

struct md5_ctx {
  uint32_t state[4];
  uint64_t total;
  unsigned char buf[64];
  uint64_t buf_len;
};
void md5_init(md5_ctx *c);
void md5_update(md5_ctx *c, const void *data, size_t len);
void md5_final(md5_ctx *c, unsigned char out[16]);
int md5_file(const char *path, char out_hex[33]);  // 0, or -1 when it cannot be opened

struct sha256_ctx {
  uint32_t state[8];
  unsigned char buf[64];
  uint64_t buf_len;
  uint64_t total;
};
void sha256_init(sha256_ctx *c);
void sha256_update(sha256_ctx *c, const void *data, size_t len);
void sha256_final(sha256_ctx *c, unsigned char out[32]);
void sha256_raw(const void *data, size_t len, unsigned char out[32]);
void sha256_hex(const void *data, size_t len, char out[65]);
int sha256_file(const char *path, char out_hex[65]);

struct sha1_ctx {
  uint32_t state[5];
  unsigned char buf[64];
  uint64_t buf_len;
  uint64_t total;
};
void sha1_init(sha1_ctx *c);
void sha1_update(sha1_ctx *c, const void *data, size_t len);
void sha1_final(sha1_ctx *c, unsigned char out[20]);

// HMAC-SHA256; keys are byte strings that may hold zero bytes. No heap is used.
void hmac_sha256(const void *key, size_t key_len, const void *msg, size_t msg_len,
                 unsigned char out[32]);

// HMAC-SHA1, the MAC of Signature Version 2; the same key rules. No heap is used.
void hmac_sha1(const void *key, size_t key_len, const void *msg, size_t msg_len,
               unsigned char out[20]);
// HMAC-SHA1 over a message fed in pieces: init with the key, update any number of times, final.
struct hmac_sha1_ctx {
  sha1_ctx inner;
  unsigned char opad[64];
};
void hmac_sha1_init(hmac_sha1_ctx *h, const void *key, size_t key_len);
void hmac_sha1_update(hmac_sha1_ctx *h, const void *data, size_t len);
void hmac_sha1_final(hmac_sha1_ctx *h, unsigned char out[20]);

// Running CRCs; the value of an empty input is 0. Pieces give the same result as one pass.
uint32_t crc32_update(uint32_t crc, const void *data, size_t len);
uint32_t crc32c_update(uint32_t crc, const void *data, size_t len);
uint64_t crc64nvme_update(uint64_t crc, const void *data, size_t len);

// The digests pick SHA-256 and CRC instructions at run time when the CPU has them; these two
// let tests and measurements compare with the portable code. hash_force_portable(1) routes
// every later call through the portable code, hash_force_portable(0) restores the choice.
// hash_accel_paths() gives the HASH_ACCEL_* bits (auth/hash_accel.h) in use right now.
void hash_force_portable(int on);
unsigned hash_accel_paths();

// Lenient Base64 decoding into at most out_cap bytes; returns the bytes decoded.
size_t base64_decode_n(const char *text, unsigned char *out, size_t out_cap);
// Base64 (with "=" padding) of data[0..len) into out, which holds 4 * ((len + 2) / 3) + 1
// bytes; returns the characters written.
size_t base64_encode(const void *data, size_t len, char *out);
// The 8-byte form used for checksum trailers.
size_t base64_decode(const char *text, unsigned char out[8]);

// Compares two byte strings in time that depends only on their lengths: 1 equal, else 0.
int const_time_eq(const void *a, size_t alen, const void *b, size_t blen);
// Base64 of in[0, n) into out (4 * ((n + 2) / 3) characters and a NUL; out_cap must hold them).
// The length written, or 0 when out_cap is too small (out is then "").
size_t base64_encode(const void *in, size_t n, char *out, size_t out_cap);
