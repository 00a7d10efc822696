// The additional payload checksums clients send (x-amz-checksum-* headers and aws-chunked
// trailers): their names, sizes, answers, and the comparison with what was received.
#pragma once

#include <cstddef>
#include <cstdint>

struct body_digests;

enum ck_algo { CK_NONE = 0, CK_CRC32, CK_CRC32C, CK_CRC64NVME, CK_SHA1, CK_SHA256, CK_COUNT };

struct ck_info {
  const char *header;           // "x-amz-checksum-crc32", lower case
  size_t size;                  // bytes of the decoded value
  const char *bad_message;      // 400 BadDigest message
  const char *header_invalid;   // 400 InvalidRequest message for a malformed header value
  const char *trailer_invalid;  // 400 InvalidRequest message for a malformed trailer value
};

// The table row of algo (CK_CRC32 .. CK_SHA256); null for any other value.
const ck_info *ck_info_of(int algo);
// The algorithm whose header name is name (case-insensitive, exact); CK_NONE otherwise.
int ck_from_name(const char *name, size_t len);

// Turns on the want_ flag of algo in d.
void ck_want(body_digests *d, int algo);
// 1 when d was asked to compute algo while the payload arrived.
int ck_wanted(const body_digests *d, int algo);
// Computes algo of the stored file into d (for a checksum nobody announced); 0, or -1 when
// the file cannot be read.
int ck_from_file(body_digests *d, int algo, const char *path);
// Compares a Base64 value with the digest of algo in d: 1 equal, 0 different, -1 malformed
// (it does not decode to the algorithm's size).
int ck_compare(const body_digests *d, int algo, const char *b64);
// The same for a value already base64-decoded into got[0, n) (decoded into at most 33 bytes).
int ck_compare_bytes(const body_digests *d, int algo, const unsigned char *got, size_t n);
