// Streamed uploads: choosing the body mode, the chunk-signature chain seeded by the header
// signature, trailer capture, the end-of-body checksum and trailer-signature checks, and the
// x-amz-content-sha256 comparison for bodies that are not streamed. All of it works on the
// request's own stream_state.
#include "auth/stream.h"

#include <cstdio>
#include <cstring>

#include "digest/hash.h"
#include "auth/sigv4.h"
#include "base/state.h"
#include "digest/running.h"
#include "digest/checksum.h"
#include "http/request.h"

static const char k_signed_payload[] = "STREAMING-AWS4-HMAC-SHA256-PAYLOAD";
static const char k_signed_trailer[] = "STREAMING-AWS4-HMAC-SHA256-PAYLOAD-TRAILER";
static const char k_unsigned_trailer[] = "STREAMING-UNSIGNED-PAYLOAD-TRAILER";
static const char k_chunk_sig[] = ";chunk-signature=";

static int is_hex(char c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

// ---------------------------------------------------------------- selection and arming

// Selection starts the request's stream afresh; it runs before any body is read.
static void start_stream(stream_state *st) {
  memset(st, 0, sizeof *st);
  st->aws_chunked = 1;
}

static void clear_trailers(stream_state *st) {
  st->crc_trailer[0] = 0;
  st->trailer_signature[0] = 0;
  st->trailer_text[0] = 0;
  st->ck_algo = CK_NONE;
  st->ck_value[0] = 0;
}

void stream_select(stream_state *st, const S3Request *r) {
  // Content-Encoding names how the stored object is encoded, not how this body is framed: a
  // client may send "aws-chunked" there with an ordinary body. A decoded length announces a
  // stream even when the payload hash does not name one, unless it is the payload's digest.
  const char *sha_v = r->content_sha256;
  int announced = r->fields.decoded_present && !payload_hash_is_digest(sha_v);
  int may_arm = s_secret_key[0] != 0 && r->authorization[0] != 0;
  // The chain starts from the time the header signature used: a client that signs with the
  // Date header alone has no x-amz-date, and its chunk signatures carry the Date's time.
  char when[24];
  if (sigv4_signing_time(r->amz_date, r->head, r->head_len, when) != 0)
    copy_text(when, sizeof when, r->amz_date);

  if (ieq(sha_v, k_signed_payload) || ieq(sha_v, k_signed_trailer)) {
    start_stream(st);
    if (may_arm) stream_arm(st, r->authorization, when, sha_v);
  } else if (ieq(sha_v, k_unsigned_trailer)) {
    // Chunks without signatures (bare sizes); the header signature already covers the
    // request, and the trailing checksum is still verified.
    start_stream(st);
    st->unsigned_chunks = 1;
  } else if (announced) {
    start_stream(st);
    if (may_arm) stream_arm(st, r->authorization, when, k_signed_trailer);
  }
}

void stream_arm(stream_state *st, const char *authorization, const char *amz_date,
                   const char *content_hash) {
  char key[128], date[64], region[SIGV4_REGION_MAX + 1], signed_headers[512], sig[129];
  if (parse_sigv4_authz(authorization, key, date, region, signed_headers, sig) != 0) return;
  if (strlen(sig) != 64 || strlen(date) < 8 || strlen(amz_date) < 8) return;
  // The chain is signed under the header signature's scope, whatever its region.
  sigv4_signing_key(date, region, st->signing_key);
  copy_text_n(st->scope_date, sizeof st->scope_date, date, 8);
  copy_text(st->region, sizeof st->region, region);
  copy_text(st->amz_date, sizeof st->amz_date, amz_date);
  copy_text(st->prev_signature, sizeof st->prev_signature, sig);
  st->check_sigs = 1;
  st->trailer_mode = strcmp(content_hash, k_signed_trailer) == 0;
  clear_trailers(st);
}

void stream_clear(stream_state *st) {
  st->aws_chunked = 0;
  st->check_sigs = 0;
  st->trailer_mode = 0;
  st->unsigned_chunks = 0;
  clear_trailers(st);
}

// ---------------------------------------------------------------- chunk signatures

// The MAC of a string to sign under the stream's signing key, as lowercase hex.
static void stream_mac_hex(const stream_state *st, const char *sts, size_t len, char out[65]) {
  unsigned char mac[32];
  hmac_sha256(st->signing_key, sizeof st->signing_key, sts, len, mac);
  hex_encode(mac, 32, out);
  out[64] = 0;
}

int verify_chunk_signature(const stream_state *st, const char *line, const char *chunk_sha_hex) {
  const char *mark = strstr(line, k_chunk_sig);
  if (!mark) return -1;
  size_t size_len = (size_t)(mark - line);
  if (size_len < 1 || size_len > 127) return -1;
  for (size_t i = 0; i < size_len; i++)
    if (!is_hex(line[i])) return -1;
  const char *sig = mark + strlen(k_chunk_sig);
  if (strlen(sig) != 64) return -1;
  char given[65];
  for (size_t i = 0; i < 64; i++) {
    char c = sig[i];
    if (!is_hex(c)) return -1;
    given[i] = (c >= 'A' && c <= 'F') ? (char)(c - 'A' + 'a') : c;
  }
  given[64] = 0;

  char sts[640];
  int n = snprintf(sts, sizeof sts, "AWS4-HMAC-SHA256-PAYLOAD\n%s\n%s/%s/s3/aws4_request\n%s\n%s\n%s",
                   st->amz_date, st->scope_date, st->region, st->prev_signature, S3_EMPTY_SHA256,
                   chunk_sha_hex);
  if (n < 0 || (size_t)n >= sizeof sts) return -1;
  char expect[65];
  stream_mac_hex(st, sts, (size_t)n, expect);
  return const_time_eq(expect, 64, given, 64);
}

// Moves the chain forward to the signature of an accepted line. The chain carries the
// signature as the signer computed it, in lower case: a client that writes its signatures in
// upper case still chains from the MAC's own hex form, so each following chunk (and the
// trailer signature) verifies.
static void chain_to(stream_state *st, const char *line) {
  const char *sig = strstr(line, k_chunk_sig) + strlen(k_chunk_sig);
  copy_text(st->prev_signature, sizeof st->prev_signature, sig);
  for (char *p = st->prev_signature; *p; p++)
    if (*p >= 'A' && *p <= 'F') *p = (char)(*p - 'A' + 'a');
}

int stream_chunk_step(stream_state *st, const char *line, const char *chunk_sha_hex) {
  int v = verify_chunk_signature(st, line, chunk_sha_hex);
  if (v == 1) {
    chain_to(st, line);
    return 0;
  }
  if (v == 0) {
    st->sigfail = 1;
    set_error("aws-chunked chunk signature mismatch");
  } else {
    set_error("malformed aws-chunked chunk line");
  }
  return -1;
}

int stream_terminal_step(stream_state *st, const char *line) {
  int v = verify_chunk_signature(st, line, S3_EMPTY_SHA256);
  if (v == 1) {
    chain_to(st, line);
    return 0;
  }
  if (v == 0) {
    st->sigfail = 1;
    set_error("aws-chunked terminal signature mismatch");
  } else {
    set_error("malformed aws-chunked terminal chunk");
  }
  return -1;
}

// ---------------------------------------------------------------- trailers

static const char *skip_blanks(const char *p) {
  while (*p == ' ' || *p == '\t') p++;
  return p;
}

static void trailer_text_append(stream_state *st, const char *line) {
  char *t = st->trailer_text;
  size_t used = strlen(t), room = sizeof st->trailer_text - 1 - used;
  size_t n = strlen(line);
  if (n > room) n = room;
  memcpy(t + used, line, n);
  used += n;
  if (used < sizeof st->trailer_text - 1) t[used++] = '\n';
  t[used] = 0;
}

void stream_trailer_line(stream_state *st, const char *line) {
  size_t len = strlen(line);
  if (len > 20 && istarts_with(line, "x-amz-checksum-crc32:")) {
    copy_text(st->crc_trailer, sizeof st->crc_trailer, skip_blanks(line + 21));
    trailer_text_append(st, line);
    return;
  }
  if (len > 22 && istarts_with(line, "x-amz-trailer-signature")) {
    const char *colon = strchr(line, ':');
    if (colon)
      copy_text(st->trailer_signature, sizeof st->trailer_signature, skip_blanks(colon + 1));
    return;
  }
  const char *colon = strchr(line, ':');
  if (colon) {
    int algo = ck_from_name(line, (size_t)(colon - line));
    if (algo != CK_NONE) {
      st->ck_algo = algo;
      copy_text(st->ck_value, sizeof st->ck_value, skip_blanks(colon + 1));
    }
  }
  trailer_text_append(st, line);
}

// The trailing checksums are verified in signed trailer mode, and on unsigned streams.
static int trailer_checks_on(const stream_state *st) {
  return (st->check_sigs && st->trailer_mode) || st->unsigned_chunks;
}

// ---------------------------------------------------------------- end of body

// The CRC-32 trailer. A value that differs from the payload is bad data, as for every other
// algorithm (400 BadDigest, or 400 InvalidRequest when it does not decode), not a bad signature:
// the trailer signature, checked on its own, says whether the trailer is the client's.
static int crc32_trailer_check(stream_state *st, body_digests *d, const char *path) {
  unsigned char got[8];
  size_t n = base64_decode(st->crc_trailer, got);
  if (n != 4 || (!ck_wanted(d, CK_CRC32) && ck_from_file(d, CK_CRC32, path) != 0)) {
    d->failed_trailer = CK_CRC32;
    d->trailer_malformed = 1;
    set_error("x-amz-checksum-crc32 trailer malformed");
    return -1;
  }
  uint32_t sent = ((uint32_t)got[0] << 24) | ((uint32_t)got[1] << 16) | ((uint32_t)got[2] << 8) | got[3];
  if (sent != d->crc32) {
    d->failed_trailer = CK_CRC32;
    set_error("x-amz-checksum-crc32 mismatch (streamed payload)");
    return -1;
  }
  return 0;
}

static int trailer_signature_check(stream_state *st) {
  char text_sha[65];
  sha256_hex(st->trailer_text, strlen(st->trailer_text), text_sha);
  char sts[1600];
  int n = snprintf(sts, sizeof sts, "AWS4-HMAC-SHA256-TRAILER\n%s\n%s/%s/s3/aws4_request\n%s\n%s",
                   st->amz_date, st->scope_date, st->region, st->prev_signature, text_sha);
  int ok = n > 0 && (size_t)n < sizeof sts;
  if (ok) {
    char expect[65];
    stream_mac_hex(st, sts, (size_t)n, expect);
    const char *given = st->trailer_signature;
    ok = const_time_eq(expect, 64, given, strlen(given));
  }
  if (!ok) {
    st->sigfail = 1;
    set_error("x-amz-trailer-signature mismatch (streamed payload)");
    return -1;
  }
  return 0;
}

// A trailer of the other algorithms: a mismatch is bad data, not a bad signature (400).
static int other_trailer_check(const stream_state *st, body_digests *d, const char *path) {
  int algo = st->ck_algo;
  const ck_info *info = ck_info_of(algo);
  int v = -1;
  if (ck_wanted(d, algo) || ck_from_file(d, algo, path) == 0) v = ck_compare(d, algo, st->ck_value);
  if (v == 1) return 0;
  d->failed_trailer = algo;
  d->trailer_malformed = v < 0;
  if (v < 0)
    set_error("%s trailer malformed", info->header);
  else
    set_error("%s mismatch (streamed payload)", info->header);
  return -1;
}

int stream_end_checks(stream_state *st, body_digests *d, const char *path) {
  if (!trailer_checks_on(st)) return 0;
  int signed_trailers = st->check_sigs && st->trailer_mode;
  if (st->crc_trailer[0] && crc32_trailer_check(st, d, path) != 0) return -1;
  if (signed_trailers && st->trailer_signature[0] && trailer_signature_check(st) != 0) return -1;
  if (st->ck_algo != CK_NONE && st->ck_value[0] && other_trailer_check(st, d, path) != 0)
    return -1;
  // A signed trailer stream ends with its trailer signature: without it, trailers could be
  // added or changed in transit and still be taken.
  if (signed_trailers && !st->trailer_signature[0]) {
    st->sigfail = 1;
    set_error("x-amz-trailer-signature missing (streamed payload)");
    return -1;
  }
  return 0;
}

// ---------------------------------------------------------------- x-amz-content-sha256

int payload_hash_is_digest(const char *v) {
  if (!v || !*v || strcmp(v, "UNSIGNED-PAYLOAD") == 0 || strncmp(v, "STREAMING-", 10) == 0) return 0;
  if (strlen(v) != 64) return 0;
  for (size_t i = 0; i < 64; i++)
    if (!is_hex(v[i])) return 0;
  return 1;
}

static int digest_differs(const char *v, const char *computed_hex) {
  char lower[65];
  for (size_t i = 0; i < 64; i++) lower[i] = (v[i] >= 'A' && v[i] <= 'F') ? (char)(v[i] - 'A' + 'a') : v[i];
  lower[64] = 0;
  return !const_time_eq(lower, 64, computed_hex, 64);
}

int payload_hash_differs(const char *content_sha256, const unsigned char sha[32]) {
  if (!payload_hash_is_digest(content_sha256)) return 0;
  char hex[65];
  hex_encode(sha, 32, hex);
  hex[64] = 0;
  return digest_differs(content_sha256, hex);
}
