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

// The digest of algo in d as the bytes a client sends (CRCs big-endian).
static void digest_bytes(const body_digests *d, int algo, unsigned char out[32]) {
  uint64_t v = 0;
  size_t n = 0;
  switch (algo) {
    case CK_CRC32: v = d->crc32; n = 4; break;
    case CK_CRC32C: v = d->crc32c; n = 4; break;
    case CK_CRC64NVME: v = d->crc64nvme; n = 8; break;
    case CK_SHA1: memcpy(out, d->sha1, 20); return;
    case CK_SHA256: memcpy(out, d->sha256, 32); return;
    default: return;
  }
  for (size_t i = 0; i < n; i++) out[i] = (unsigned char)(v >> (8 * (n - 1 - i)));
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
  digest_bytes(d, algo, want);
  return const_time_eq(got, n, want, info->size);
}
