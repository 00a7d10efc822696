// The additional payload checksums (CRC32, CRC32C, CRC64NVME, SHA1, SHA256): table, file
// fallback and the comparison of a client's Base64 value with the digest of the payload.
#include "digest/checksum.h"

#include <cstdlib>
#include <cstring>

#include "digest/hash.h"
#include "base/text.h"
#include "digest/running.h"
#include "platform/platform.h"

static const ck_info k_algos[CK_COUNT] = {
    {"", 0, "", "", ""},
    {"x-amz-checksum-crc32", 4, "The CRC32 you specified did not match the calculated checksum.",
     "Value for x-amz-checksum-crc32 header is invalid.",
     "Value for x-amz-checksum-crc32 trailing header is invalid."},
    {"x-amz-checksum-crc32c", 4, "The CRC32C you specified did not match the calculated checksum.",
     "Value for x-amz-checksum-crc32c header is invalid.",
     "Value for x-amz-checksum-crc32c trailing header is invalid."},
    {"x-amz-checksum-crc64nvme", 8,
     "The CRC64NVME you specified did not match the calculated checksum.",
     "Value for x-amz-checksum-crc64nvme header is invalid.",
     "Value for x-amz-checksum-crc64nvme trailing header is invalid."},
    {"x-amz-checksum-sha1", 20, "The SHA1 you specified did not match the calculated checksum.",
     "Value for x-amz-checksum-sha1 header is invalid.",
     "Value for x-amz-checksum-sha1 trailing header is invalid."},
    {"x-amz-checksum-sha256", 32, "The SHA256 you specified did not match the calculated checksum.",
     "Value for x-amz-checksum-sha256 header is invalid.",
     "Value for x-amz-checksum-sha256 trailing header is invalid."},
};

const ck_info *ck_info_of(int algo) {
  if (algo <= CK_NONE || algo >= CK_COUNT) return nullptr;
  return &k_algos[algo];
}

int ck_from_name(const char *name, size_t len) {
  for (int a = CK_CRC32; a < CK_COUNT; a++) {
    const char *h = k_algos[a].header;
    if (strlen(h) != len) continue;
    size_t i = 0;
    for (; i < len; i++) {
      if (ascii_lower(name[i]) != h[i]) break;
    }
    if (i == len) return a;
  }
  return CK_NONE;
}

void ck_want(body_digests *d, int algo) {
  switch (algo) {
    case CK_CRC32: d->want_crc32 = 1; break;
    case CK_CRC32C: d->want_crc32c = 1; break;
    case CK_CRC64NVME: d->want_crc64nvme = 1; break;
    case CK_SHA1: d->want_sha1 = 1; break;
    case CK_SHA256: d->want_sha256 = 1; break;
    default: break;
  }
}

int ck_wanted(const body_digests *d, int algo) {
  switch (algo) {
    case CK_CRC32: return d->want_crc32 != 0;
    case CK_CRC32C: return d->want_crc32c != 0;
    case CK_CRC64NVME: return d->want_crc64nvme != 0;
    case CK_SHA1: return d->want_sha1 != 0;
    case CK_SHA256: return d->want_sha256 != 0;
    default: return 0;
  }
}

int ck_from_file(body_digests *d, int algo, const char *path) {
  plat_file_guard f(plat_file_open(path, PLAT_READ));
  if (!f.f) return -1;
  const size_t cap = 262144;
  unsigned char *buf = (unsigned char *)malloc(cap);
  if (!buf) return -1;
  uint32_t crc32 = 0, crc32c = 0;
  uint64_t crc64 = 0;
  sha1_ctx s1;
  sha256_ctx s256;
  sha1_init(&s1);
  sha256_init(&s256);
  int rc = 0;
  for (;;) {
    long n = plat_file_read(f.f, buf, cap);
    if (n < 0) {
      rc = -1;
      break;
    }
    if (n == 0) break;
    switch (algo) {
      case CK_CRC32: crc32 = crc32_update(crc32, buf, (size_t)n); break;
      case CK_CRC32C: crc32c = crc32c_update(crc32c, buf, (size_t)n); break;
      case CK_CRC64NVME: crc64 = crc64nvme_update(crc64, buf, (size_t)n); break;
      case CK_SHA1: sha1_update(&s1, buf, (size_t)n); break;
      case CK_SHA256: sha256_update(&s256, buf, (size_t)n); break;
      default: break;
    }
  }
  free(buf);
  if (rc != 0) return -1;
  switch (algo) {
    case CK_CRC32: d->crc32 = crc32; break;
    case CK_CRC32C: d->crc32c = crc32c; break;
    case CK_CRC64NVME: d->crc64nvme = crc64; break;
    case CK_SHA1: sha1_final(&s1, d->sha1); break;
    case CK_SHA256: sha256_final(&s256, d->sha256); break;
    default: return -1;
  }
  ck_want(d, algo);
  return 0;
}

size_t ck_digest_bytes(const body_digests *d, int algo, unsigned char out[32]) {
  uint64_t v = 0;
  size_t n = 0;
  switch (algo) {
    case CK_CRC32: v = d->crc32; n = 4; break;
    case CK_CRC32C: v = d->crc32c; n = 4; break;
    case CK_CRC64NVME: v = d->crc64nvme; n = 8; break;
    case CK_SHA1: memcpy(out, d->sha1, 20); return 20;
    case CK_SHA256: memcpy(out, d->sha256, 32); return 32;
    default: return 0;
  }
  for (size_t i = 0; i < n; i++) out[i] = (unsigned char)(v >> (8 * (n - 1 - i)));
  return n;
}

int ck_compare(const body_digests *d, int algo, const char *b64) {
  const ck_info *info = ck_info_of(algo);
  if (!info) return -1;
  // One byte of room beyond the largest digest tells a too-long value from an exact one.
  unsigned char got[33];
  size_t n = base64_decode_n(b64, got, sizeof got);
  return ck_compare_bytes(d, algo, got, n);
}

int ck_compare_bytes(const body_digests *d, int algo, const unsigned char *got, size_t n) {
  const ck_info *info = ck_info_of(algo);
  if (!info) return -1;
  if (n != info->size) return -1;
  unsigned char want[32];
  ck_digest_bytes(d, algo, want);
  return const_time_eq(got, n, want, info->size);
}

// ---------------------------------------------------------------- stored checksums

namespace {

struct ck_names {
  const char *name;
  const char *element;
};
const ck_names k_names[CK_COUNT] = {
    {"", ""},
    {"CRC32", "ChecksumCRC32"},
    {"CRC32C", "ChecksumCRC32C"},
    {"CRC64NVME", "ChecksumCRC64NVME"},
    {"SHA1", "ChecksumSHA1"},
    {"SHA256", "ChecksumSHA256"},
};

int same_ci(const char *a, size_t alen, const char *b) {
  if (strlen(b) != alen) return 0;
  for (size_t i = 0; i < alen; i++)
    if (ascii_lower(a[i]) != ascii_lower(b[i])) return 0;
  return 1;
}

// The reflected polynomial and width of a CRC.
int crc_params(int algo, uint64_t *poly, int *width) {
  switch (algo) {
    case CK_CRC32: *poly = 0xEDB88320u; *width = 32; return 0;
    case CK_CRC32C: *poly = 0x82F63B78u; *width = 32; return 0;
    case CK_CRC64NVME: *poly = 0x9A6C9329AC4BC9B5ULL; *width = 64; return 0;
    default: return -1;
  }
}

// a * b modulo the polynomial, both in the reflected bit order of the CRC (the top bit is x^0).
uint64_t gf2_mul(uint64_t a, uint64_t b, uint64_t poly, int width) {
  const uint64_t top = 1ULL << (width - 1);
  uint64_t p = 0;
  for (int i = 0; i < width; i++) {
    if (a & top) p ^= b;
    a <<= 1;
    b = (b & 1) ? (b >> 1) ^ poly : b >> 1;
  }
  return p;
}

// x^(8 * len) modulo the polynomial: the shift that appending len bytes applies to a CRC.
uint64_t x_pow_bytes(uint64_t len, uint64_t poly, int width) {
  uint64_t result = 1ULL << (width - 1);  // x^0
  uint64_t square = result >> 8;           // x^8
  while (len) {
    if (len & 1) result = gf2_mul(result, square, poly, width);
    square = gf2_mul(square, square, poly, width);
    len >>= 1;
  }
  return result;
}

}  // namespace

const char *ck_name(int algo) { return algo > CK_NONE && algo < CK_COUNT ? k_names[algo].name : ""; }

const char *ck_element(int algo) {
  return algo > CK_NONE && algo < CK_COUNT ? k_names[algo].element : "";
}

int ck_from_algo_name(const char *name, size_t len) {
  for (int a = CK_CRC32; a < CK_COUNT; a++)
    if (same_ci(name, len, k_names[a].name)) return a;
  return CK_NONE;
}

int ck_type_from_name(const char *name, size_t len) {
  if (same_ci(name, len, "FULL_OBJECT")) return CK_TYPE_FULL_OBJECT;
  if (same_ci(name, len, "COMPOSITE")) return CK_TYPE_COMPOSITE;
  return CK_TYPE_NONE;
}

const char *ck_type_name(int type) {
  return type == CK_TYPE_FULL_OBJECT ? "FULL_OBJECT" : type == CK_TYPE_COMPOSITE ? "COMPOSITE" : "";
}

int ck_is_crc(int algo) { return algo == CK_CRC32 || algo == CK_CRC32C || algo == CK_CRC64NVME; }

void ck_digest_b64(const body_digests *d, int algo, char out[CK_B64_CAP]) {
  unsigned char bytes[32];
  size_t n = ck_digest_bytes(d, algo, bytes);
  base64_encode(bytes, n, out, CK_B64_CAP);
}

uint64_t ck_crc_combine(int algo, uint64_t crc_a, uint64_t crc_b, uint64_t len_b) {
  uint64_t poly = 0;
  int width = 0;
  if (crc_params(algo, &poly, &width) != 0) return 0;
  return gf2_mul(x_pow_bytes(len_b, poly, width), crc_a, poly, width) ^ crc_b;
}

uint64_t ck_crc_from_bytes(const unsigned char *b, size_t n) {
  uint64_t v = 0;
  for (size_t i = 0; i < n && i < 8; i++) v = (v << 8) | b[i];
  return v;
}

void ck_crc_b64(int algo, uint64_t crc, char out[CK_B64_CAP]) {
  size_t n = algo == CK_CRC64NVME ? 8 : 4;
  unsigned char bytes[8];
  for (size_t i = 0; i < n; i++) bytes[i] = (unsigned char)(crc >> (8 * (n - 1 - i)));
  base64_encode(bytes, n, out, CK_B64_CAP);
}
