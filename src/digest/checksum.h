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

// ---------------------------------------------------------------- stored checksums

// How an object's checksum covers it: the digest of its whole content, or (multipart) the
// digest of its parts' digests.
enum ck_type { CK_TYPE_NONE = 0, CK_TYPE_FULL_OBJECT, CK_TYPE_COMPOSITE };

constexpr size_t CK_B64_CAP = 48;   // Base64 of the largest digest (44) with its NUL
constexpr size_t CK_TEXT_CAP = 56;  // a composite value "BASE64-N" with its NUL

// One checksum as an object or part keeps it: the algorithm and its Base64 value.
struct ck_value {
  int algo;  // CK_NONE: none
  char b64[CK_B64_CAP];
};

// The algorithm's name as S3 writes it in documents and headers ("CRC32", "SHA256"); "" for
// any other value.
const char *ck_name(int algo);
// The XML element of the algorithm's value ("ChecksumCRC32").
const char *ck_element(int algo);
// The algorithm named name[0, len) in any case ("crc32c", "SHA256"); CK_NONE otherwise.
int ck_from_algo_name(const char *name, size_t len);
// "FULL_OBJECT" or "COMPOSITE" (any case) as a ck_type; CK_TYPE_NONE otherwise.
int ck_type_from_name(const char *name, size_t len);
const char *ck_type_name(int type);
// 1 for the three CRCs, whose values can be combined without the data.
int ck_is_crc(int algo);
// The digest of algo in d as its bytes (CRCs big-endian) into out; their count.
size_t ck_digest_bytes(const body_digests *d, int algo, unsigned char out[32]);
// The Base64 text of the digest of algo in d into out.
void ck_digest_b64(const body_digests *d, int algo, char out[CK_B64_CAP]);

// The CRC of A followed by B from the CRCs of A and B and the length of B (CRC32, CRC32C,
// CRC64NVME): the full-object checksum of a multipart object from those of its parts.
uint64_t ck_crc_combine(int algo, uint64_t crc_a, uint64_t crc_b, uint64_t len_b);
// A CRC's value from its big-endian bytes (4 or 8 of them).
uint64_t ck_crc_from_bytes(const unsigned char *b, size_t n);
// A CRC's value as Base64 of its big-endian bytes.
void ck_crc_b64(int algo, uint64_t crc, char out[CK_B64_CAP]);
