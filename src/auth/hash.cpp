// STUB: replaced by the hashing implementation.
#include "auth/hash.h"
#include <cstring>
void md5_init(md5_ctx *c) { memset(c, 0, sizeof *c); }
void md5_update(md5_ctx *, const void *, size_t) {}
void md5_final(md5_ctx *, unsigned char out[16]) { memset(out, 0, 16); }
int md5_file(const char *, char out_hex[33]) { memset(out_hex, '0', 32); out_hex[32] = 0; return 0; }
void sha256_init(sha256_ctx *c) { memset(c, 0, sizeof *c); }
void sha256_update(sha256_ctx *, const void *, size_t) {}
void sha256_final(sha256_ctx *, unsigned char out[32]) { memset(out, 0, 32); }
void sha256_raw(const void *, size_t, unsigned char out[32]) { memset(out, 0, 32); }
void sha256_hex(const void *, size_t, char out[65]) { memset(out, '0', 64); out[64] = 0; }
int sha256_file(const char *, char out_hex[65]) { memset(out_hex, '0', 64); out_hex[64] = 0; return 0; }
void sha1_init(sha1_ctx *c) { memset(c, 0, sizeof *c); }
void sha1_update(sha1_ctx *, const void *, size_t) {}
void sha1_final(sha1_ctx *, unsigned char out[20]) { memset(out, 0, 20); }
void hmac_sha256(const void *, size_t, const void *, size_t, unsigned char out[32]) { memset(out, 0, 32); }
uint32_t crc32_update(uint32_t c, const void *, size_t) { return c; }
uint32_t crc32c_update(uint32_t c, const void *, size_t) { return c; }
uint64_t crc64nvme_update(uint64_t c, const void *, size_t) { return c; }
size_t base64_decode_n(const char *, unsigned char *, size_t) { return 0; }
size_t base64_decode(const char *, unsigned char[8]) { return 0; }
void base64_encode(const unsigned char *, size_t, char *out) { out[0] = 0; }
void hex_encode(const unsigned char *, size_t, char *out) { out[0] = 0; }
int hex_decode(const char *, unsigned char *, size_t) { return -1; }
int const_time_eq(const void *, size_t, const void *, size_t) { return 0; }
