// Running digests of one payload while it arrives: which ones a request wants, their results,
// and the computation that feeds every wanted digest from the same bytes.
#pragma once

#include <cstddef>
#include <cstdint>

#include "digest/hash.h"

// Digests of the decoded payload computed while it is received. The caller sets the want_
// flags it needs; the reader adds those that the request's own headers and trailers need.
struct body_digests {
  int want_sha256, want_crc32, want_crc32c, want_crc64nvme, want_sha1;
  unsigned char md5[16];
  unsigned char sha256[32];
  uint32_t crc32;
  uint32_t crc32c;
  uint64_t crc64nvme;
  unsigned char sha1[20];
  // Set by read_body_to_file when an aws-chunked checksum trailer other than
  // x-amz-checksum-crc32 failed (its ck_algo, see digest/checksum.h); trailer_malformed when its
  // value did not decode. Such failures are answered 400, not 403.
  int failed_trailer;
  int trailer_malformed;
  // Set by read_body_to_file when the payload went beyond its limit, whatever the framing.
  int too_large;
  // Set by read_body_to_file when an aws-chunked body ended before its terminal chunk
  // (answered 400 IncompleteBody), or came with neither Content-Length nor HTTP chunked
  // framing to carry it (411 MissingContentLength).
  int incomplete;
  int no_length;
};

// The digests of one payload. MD5 (the ETag) is always computed; the others as d's want_ flags
// say, their results going to d.
struct body_hashing {
  md5_ctx md5;
  sha256_ctx sha256;
  sha1_ctx sha1;
  body_digests *d;
};

void hashing_init(body_hashing *h, body_digests *d);
void hashing_update(body_hashing *h, const void *data, size_t n);
// Every digest but MD5, for a pipe that computes MD5 on a thread of its own.
void hashing_rest(body_hashing *h, const void *data, size_t n);
// Finishes the digests: the ETag (32 lowercase hex digits) and d's md5, sha256 and sha1.
void hashing_final(body_hashing *h, char etag_out[33]);
