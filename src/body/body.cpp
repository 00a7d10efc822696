// Request body reception: fixed length, HTTP chunked and aws-chunked framing (also aws-chunked
// inside HTTP chunked) into a file or into memory, hashing the decoded payload once as it
// arrives and holding it to one limit whatever the framing; the upload pipeline and the
// whole-body reader with their payload checks; the Content-Length rule; and the small
// in-memory and discarding readers.
//
// Divisions: the byte source over the socket, the HTTP chunked layer, the digests a request
// wants, the three framings (aws-chunked itself in aws_chunked.cpp; the way into a file, with
// the digests themselves, in body_pipe.cpp), read_body_to_file, receive_upload, bodies read
// whole, the Content-Length rule, read_body_to_mem / discard_body.
#include "body/body.h"

#include <cstdlib>
#include <cstring>

#include "digest/hash.h"
#include "auth/stream.h"
#include "base/state.h"
#include "body/aws_chunked.h"
#include "body/body_pipe.h"
#include "digest/checksum.h"
#include "http/conn.h"

static constexpr size_t k_piece = 262144;     // one receive or write
static constexpr size_t k_readahead = 65536;  // bytes received ahead of the reader

// ---------------------------------------------------------------- the byte source

// The bytes of one body: those that came with the head first, then the socket. Receiving
// ahead of the reader never takes bytes of the next request: the connection's receive stops
// at the end of a body of known length.
struct body_source {
  plat_sock sock;
  const char *prefix;      // bytes received with the head ("" when none)
  uint64_t prefix_len;
  uint64_t prefix_pos;     // prefix bytes consumed so far
  unsigned char *ahead;    // read-ahead buffer of k_readahead bytes, or null to receive directly
  size_t ahead_pos;
  size_t ahead_len;
  int closed;              // the peer closed, or a receive failed or timed out
};

static void bs_init(body_source *bs, plat_sock sock, const char *prefix, size_t prefix_len,
                    unsigned char *ahead) {
  bs->sock = sock;
  bs->prefix = prefix ? prefix : "";
  bs->prefix_len = prefix ? prefix_len : 0;
  bs->prefix_pos = 0;
  bs->ahead = ahead;
  bs->ahead_pos = 0;
  bs->ahead_len = 0;
  bs->closed = 0;
}

static long bs_recv(body_source *bs, void *dst, size_t n) {
  if (bs->closed) return -1;
  long r = http_body_recv(bs->sock, dst, n);
  if (r <= 0) {
    bs->closed = 1;
    return -1;
  }
  return r;
}

// The next byte (0..255), or -1 when the connection ended.
static int bs_byte(body_source *bs) {
  if (bs->prefix_pos < bs->prefix_len) return (unsigned char)bs->prefix[bs->prefix_pos++];
  if (bs->ahead_pos == bs->ahead_len) {
    unsigned char one;
    if (!bs->ahead) return bs_recv(bs, &one, 1) == 1 ? one : -1;
    long r = bs_recv(bs, bs->ahead, k_readahead);
    if (r < 0) return -1;
    bs->ahead_pos = 0;
    bs->ahead_len = (size_t)r;
  }
  return bs->ahead[bs->ahead_pos++];
}

// Fills dst with up to n bytes; fewer only when the connection ended.
static size_t bs_read(body_source *bs, void *dst, size_t n) {
  unsigned char *out = (unsigned char *)dst;
  size_t got = 0;
  uint64_t in_prefix = bs->prefix_len - bs->prefix_pos;
  if (in_prefix) {
    size_t k = in_prefix < n ? (size_t)in_prefix : n;
    memcpy(out, bs->prefix + bs->prefix_pos, k);
    bs->prefix_pos += k;
    got += k;
  }
  if (got < n && bs->ahead_pos < bs->ahead_len) {
    size_t k = bs->ahead_len - bs->ahead_pos;
    if (k > n - got) k = n - got;
    memcpy(out + got, bs->ahead + bs->ahead_pos, k);
    bs->ahead_pos += k;
    got += k;
  }
  while (got < n) {
    size_t want = n - got;
    if (!bs->ahead || want >= k_readahead) {
      long r = bs_recv(bs, out + got, want < k_piece ? want : k_piece);
      if (r < 0) break;
      got += (size_t)r;
      continue;
    }
    long r = bs_recv(bs, bs->ahead, k_readahead);
    if (r < 0) break;
    size_t k = (size_t)r < want ? (size_t)r : want;
    memcpy(out + got, bs->ahead, k);
    bs->ahead_pos = k;
    bs->ahead_len = (size_t)r;
    got += k;
  }
  return got;
}

// ---------------------------------------------------------------- the HTTP chunked layer

// What the framings read from: the body source itself, or the payload carried by HTTP chunked
// framing on it (plain chunked bodies, and aws-chunked bodies sent with Transfer-Encoding).
struct body_in {
  body_source *bs;
  int chunked;       // decode HTTP chunked framing
  uint64_t left;     // bytes left in the current HTTP chunk
  uint64_t max;      // the most bytes all HTTP chunks together may announce
  uint64_t carried;  // bytes the HTTP chunks read so far announced
  int started;       // a data chunk was read; its two closing bytes come before the next size
  int done;          // the zero-size chunk and its trailers were read
  int over;          // a chunk size went beyond max
  const char *fail;  // why the framing ended early, or null
};

static void in_init(body_in *in, body_source *bs, int chunked) {
  memset(in, 0, sizeof *in);
  in->bs = bs;
  in->chunked = chunked;
  in->max = UINT64_MAX;
}

// Reads one line up to its line feed and drops it; 0, or -1 at the end of the connection.
// *empty tells whether it held nothing but an optional carriage return.
static int skip_line(body_source *bs, int *empty) {
  size_t n = 0;
  int last = 0;
  for (;;) {
    int c = bs_byte(bs);
    if (c < 0) return -1;
    if (c == '\n') break;
    n++;
    last = c;
  }
  *empty = n == 0 || (n == 1 && last == '\r');
  return 0;
}

// Reads the next chunk size line (and, after the zero-size chunk, the trailers).
static int chunked_next(body_in *in) {
  body_source *bs = in->bs;
  if (in->started) {
    // The two bytes after a chunk's data are its CR LF; they are not looked at.
    bs_byte(bs);
    bs_byte(bs);
  }
  in->started = 1;
  // Only the number at the start of the line counts; extensions after it are ignored, and a
  // long line is consumed whole so that none of it is taken for data.
  char line[128];
  size_t n = 0;
  for (;;) {
    int c = bs_byte(bs);
    if (c < 0) {
      in->fail = "client gone (chunked size)";
      return -1;
    }
    if (c == '\n') break;
    if (n < sizeof line - 1) line[n++] = (char)c;
  }
  line[n] = 0;
  // Blanks may lead; the size ends at the first other character, and no digits read as 0.
  hex_size hs;
  if (parse_hex_size(line, n, UINT64_MAX, HEX_BLANKS, &hs) != 0) {
    in->fail = "bad chunked size";
    return -1;
  }
  uint64_t size = hs.value;
  // A size that would carry the body past its limit is refused before any of its data is
  // received, so that the limit does not first cost the time of receiving it.
  if (size > in->max - in->carried) {
    in->over = 1;
    in->fail = "body too large";
    return -1;
  }
  in->carried += size;
  if (size == 0) {
    // Trailers up to an empty line (or the end of the connection) are dropped.
    int empty = 0;
    while (skip_line(bs, &empty) == 0 && !empty) {
    }
    in->done = 1;
    return 0;
  }
  in->left = size;
  return 0;
}

// Fills dst with up to n payload bytes; fewer only at the end of the framing or connection.
static size_t in_read(body_in *in, void *dst, size_t n) {
  if (!in->chunked) return bs_read(in->bs, dst, n);
  unsigned char *out = (unsigned char *)dst;
  size_t got = 0;
  while (got < n && !in->done && !in->fail) {
    if (in->left == 0) {
      chunked_next(in);
      continue;
    }
    size_t k = n - got;
    if (k > in->left) k = (size_t)in->left;
    size_t r = bs_read(in->bs, out + got, k);
    got += r;
    in->left -= r;
    if (r < k) in->fail = "client gone (chunked data)";
  }
  return got;
}

static int in_byte(body_in *in) {
  if (!in->chunked) return bs_byte(in->bs);
  unsigned char c;
  return in_read(in, &c, 1) == 1 ? c : -1;
}

// ---------------------------------------------------------------- the digests a request wants

// The head a body is read under: its text (for the headers only one stage reads), the headers
// found once, and the x-amz-content-sha256 value (null or empty when there is none).
struct body_head {
  const char *head;
  size_t head_len;
  const head_fields *fields;
  const char *content_sha256;
};

static body_head request_body_head(const S3Request *r) {
  return body_head{r->head, r->head_len, &r->fields, r->content_sha256};
}

// Adds the digests the request's own headers and trailers will be checked against.
static void want_from_request(const body_head *h, const stream_state *st, body_digests *d) {
  for (int a = CK_CRC32; a < CK_COUNT; a++)
    if (h->fields->ck_present & (1u << a)) ck_want(d, a);
  if (payload_hash_is_digest(h->content_sha256)) d->want_sha256 = 1;
  const char *head = h->head;
  const size_t head_len = h->head_len;
  if (st->aws_chunked) {
    d->want_crc32 = 1;  // the usual trailer, and cheap
    owned_str trailer(hdr_value(head, head_len, "x-amz-trailer"));
    for (const char *p = trailer.get(); p && *p;) {
      while (*p == ' ' || *p == '\t' || *p == ',') p++;
      const char *e = p;
      while (*e && *e != ',' && *e != ' ' && *e != '\t') e++;
      if (e > p) ck_want(d, ck_from_name(p, (size_t)(e - p)));
      p = e;
    }
  }
}

// ---------------------------------------------------------------- the framings

// Where the decoded payload goes: a file through its pipe, or a growing buffer in memory
// (bodies read whole).
struct body_sink {
  plat_file *file;  // the output file, or null for memory
  body_pipe *pipe;  // the file's pipe while the body is received
  char *mem;        // malloc'd, NUL-terminated after the payload; grown up to max + 1 bytes
  size_t mem_cap;
};

struct body_job {
  body_in *in;
  body_sink *sink;
  body_hashing *hash;
  uint64_t len;       // payload bytes received and stored
  uint64_t max;       // the most payload bytes accepted, whatever the framing
  int over;           // the payload went beyond max
  unsigned char *buf; // k_piece bytes
  int aws;            // the body was aws-chunked: its end-of-body checks follow
  stream_state *st;   // the request's stream
  int incomplete;     // the aws-chunked stream ended before its terminal chunk
  int no_length;      // a streamed body came with nothing to carry it
};

static int sink_mem_append(body_sink *k, uint64_t used, const void *data, size_t n, uint64_t max) {
  // used + n <= max here, and max fits in memory: the callers' limits are a few MiB.
  size_t need = (size_t)used + n + 1;
  if (need > k->mem_cap) {
    size_t cap = k->mem_cap ? k->mem_cap : 16384;
    while (cap < need) cap *= 2;
    if (cap > (size_t)max + 1) cap = (size_t)max + 1;
    char *grown = (char *)realloc(k->mem, cap);
    if (!grown) return -1;
    k->mem = grown;
    k->mem_cap = cap;
  }
  memcpy(k->mem + used, data, n);
  k->mem[used + n] = 0;
  return 0;
}

// Stores and hashes n payload bytes: 0, or -1 when they would go beyond the limit (j->over) or
// could not be stored (the framing decides the text).
static int job_store(void *ctx, const void *data, size_t n) {
  body_job *j = (body_job *)ctx;
  if (n > j->max - j->len) {
    j->over = 1;
    return -1;
  }
  if (j->sink->pipe) return pipe_store(j->sink->pipe, data, n);
  if (sink_mem_append(j->sink, j->len, data, n, j->max) != 0) return -1;
  hashing_update(j->hash, data, n);
  return 0;
}

// Room for the next payload bytes, so that they are received where they are kept: the pipe's
// ring for a file, the job's buffer (copied on by job_commit) for memory.
static unsigned char *job_space(body_job *j, size_t *cap) {
  if (j->sink->pipe) return pipe_space(j->sink->pipe, cap);
  *cap = k_piece;
  return j->buf;
}

// The n bytes placed at job_space are payload: as job_store, and counted in j->len.
static int job_commit(body_job *j, const unsigned char *at, size_t n) {
  int rc;
  if (!j->sink->pipe) {
    rc = job_store(j, at, n);
  } else if (n > j->max - j->len) {
    j->over = 1;
    rc = -1;
  } else {
    rc = pipe_commit(j->sink->pipe, n);
  }
  if (rc == 0) j->len += n;
  return rc;
}

static int read_fixed(body_job *j, uint64_t total) {
  if (total > j->max) {
    j->over = 1;
    return -1;
  }
  while (j->len < total) {
    uint64_t rest = total - j->len;
    size_t cap;
    unsigned char *at = job_space(j, &cap);
    size_t want = rest < cap ? (size_t)rest : cap;
    size_t got = bs_read(j->in->bs, at, want);
    if (got > 0 && job_commit(j, at, got) != 0) {
      set_error("temp write fail");
      return -1;
    }
    if (got < want) {
      set_error("client disconnected during body");
      return -1;
    }
  }
  return 0;
}

static int read_chunked(body_job *j) {
  // The HTTP chunks carry the payload itself: their sizes are held to the payload's limit.
  j->in->max = j->max;
  for (;;) {
    size_t cap;
    unsigned char *at = job_space(j, &cap);
    size_t got = in_read(j->in, at, cap);
    // A short write here keeps the previous last-error text.
    if (got > 0 && job_commit(j, at, got) != 0) return -1;
    if (got < cap) {
      if (j->in->fail) {
        set_error("%s", j->in->fail);
        return -1;
      }
      return 0;
    }
  }
}

// The aws-chunked framing reads through the HTTP chunked layer and stores into the job's sink.
static int job_next_byte(void *ctx) { return in_byte(((body_job *)ctx)->in); }

static size_t job_read(void *ctx, void *dst, size_t n) {
  return in_read(((body_job *)ctx)->in, dst, n);
}

static int read_aws_chunked(body_job *j) {
  aws_chunked_io io = {j, job_next_byte, job_read, job_store};
  int rc = aws_chunked_read(&io, j->st, &j->len);
  if (rc == -2) j->incomplete = 1;
  return rc == 0 ? 0 : -1;
}

// The headers that carry a body: Content-Length present and not empty, Transfer-Encoding
// chunked.
static void framing_headers(const head_fields *f, int *has_cl, int *te_chunked) {
  *has_cl = f->cl_present && !f->cl_empty;
  *te_chunked = f->te_chunked;
}

// ---------------------------------------------------------------- read_body_to_file

static int read_framed(body_job *j, const head_fields *f) {
  int has_cl, te_chunked;
  framing_headers(f, &has_cl, &te_chunked);
  if (j->st->aws_chunked && (has_cl || te_chunked)) {
    // Content-Length wins; without it, the aws-chunked stream is carried by HTTP chunked.
    j->in->chunked = !has_cl;
    j->aws = 1;
    return read_aws_chunked(j);
  }
  // A length beyond 64 bits, or negative and not 0, comes out above every limit.
  if (has_cl) return read_fixed(j, f->cl_framed);
  if (te_chunked) {
    j->in->chunked = 1;
    return read_chunked(j);
  }
  if (j->st->aws_chunked) {
    // A stream with nothing to carry it: taking it for an empty body would store an empty
    // object in place of the one being sent.
    j->no_length = 1;
    set_error("streamed body without Content-Length");
    return -1;
  }
  // No framing: the body is empty.
  return 0;
}

// The checks of an aws-chunked body once its payload is complete and hashed.
static int aws_end_of_body(body_job *j, const head_fields *f, const char *path) {
  if (aws_decoded_length_check(f, j->len) != 0) return -1;
  if (stream_end_checks(j->st, j->hash->d, path) != 0) return -1;
  if (j->in->chunked) {
    // Drop what is left of the HTTP framing, so that the answer is not cut off by a reset
    // for unread data when the connection closes.
    uint64_t dropped = 0;
    while (!j->in->done && !j->in->fail && dropped < (1u << 20)) dropped += in_read(j->in, j->buf, 4096);
  }
  return 0;
}

// One body from the source into the sink, hashed as it arrives, with the end-of-body checks of
// a streamed body (path names the stored file for a checksum nobody announced; null for
// memory, which computes every checksum as it goes). st is cleared at the end.
static int run_body_job(plat_sock sock, const body_head *h, const char *prefix,
                        size_t prefix_len, body_sink *sink, uint64_t max, const char *path,
                        char etag_out[33], uint64_t *len_out, body_digests *digests,
                        stream_state *st) {
  unsigned char *mem = (unsigned char *)malloc(k_piece + k_readahead);
  if (!mem) {
    set_error("oom (body buffer)");
    stream_clear(st);
    return -1;
  }
  body_source bs;
  bs_init(&bs, sock, prefix, prefix_len, mem + k_piece);
  body_in in;
  in_init(&in, &bs, 0);
  want_from_request(h, st, digests);
  if (!path)
    for (int a = CK_CRC32; a < CK_COUNT; a++) ck_want(digests, a);
  body_hashing hash;
  hashing_init(&hash, digests);
  body_job job = {&in, sink, &hash, 0, max, 0, mem, 0, st, 0, 0};
  int rc = 0;
  if (sink->file && !(sink->pipe = pipe_open(sink->file, &hash))) {
    set_error("oom (body pipe)");
    rc = -1;
  }

  if (rc == 0) rc = read_framed(&job, h->fields);
  // Every byte is written and hashed before the digests are read and the end-of-body checks,
  // which may read the file back, are made.
  if (rc == 0 && sink->pipe) rc = pipe_finish(sink->pipe);
  pipe_close(sink->pipe);
  sink->pipe = nullptr;
  hashing_final(&hash, etag_out);
  if (rc == 0 && job.aws) rc = aws_end_of_body(&job, h->fields, path);
  if (rc != 0 && (job.over || in.over)) {
    set_error("body too large");
    digests->too_large = 1;
  }
  digests->incomplete = rc != 0 && job.incomplete;
  digests->no_length = rc != 0 && job.no_length;
  *len_out = job.len;
  stream_clear(st);
  free(mem);
  return rc;
}

static void reset_outcome(body_digests *digests, char etag_out[33], uint64_t *len_out) {
  digests->failed_trailer = 0;
  digests->trailer_malformed = 0;
  digests->too_large = 0;
  digests->incomplete = 0;
  digests->no_length = 0;
  *len_out = 0;
  etag_out[0] = 0;
}

static int body_to_file(plat_sock sock, const body_head *h, const char *prefix,
                        size_t prefix_len, const char *out_path, char etag_out[33],
                        uint64_t *len_out, body_digests *digests, stream_state *st) {
  body_digests local;
  if (!digests) {
    memset(&local, 0, sizeof local);
    digests = &local;
  }
  stream_state plain;
  if (!st) {
    memset(&plain, 0, sizeof plain);
    st = &plain;
  }
  reset_outcome(digests, etag_out, len_out);
  // The store made the file, empty, under a name of its own; it is written, never emptied.
  plat_file_guard out(plat_file_open(out_path, PLAT_WRITE_KEEP));
  if (!out.f) {
    set_error("cannot open temp file %s", out_path);
    return -1;
  }
  body_sink sink = {out.f, nullptr, nullptr, 0};
  return run_body_job(sock, h, prefix, prefix_len, &sink, S3_BODY_MAX, out_path, etag_out,
                      len_out, digests, st);
}

int read_body_to_file(plat_sock sock, const char *head, size_t head_len, const char *prefix,
                      size_t prefix_len, const char *out_path, char etag_out[33],
                      uint64_t *len_out, body_digests *digests, stream_state *st) {
  head_fields fields;
  read_head_fields(head, head_len, &fields);
  owned_str sha(hdr_value(head, head_len, "x-amz-content-sha256"));
  const body_head h = {head, head_len, &fields, sha.get()};
  return body_to_file(sock, &h, prefix, prefix_len, out_path, etag_out, len_out, digests, st);
}

// ---------------------------------------------------------------- receive_upload

static void fail_with(upload_error *err, int status, const char *code, const char *message) {
  err->status = status;
  err->code = code;
  err->message = message;
}

// Content-MD5 and x-amz-checksum-* headers against the received payload: 0, or -1 with *err.
static int header_checksums(const S3Request *r, const body_digests *d, upload_error *err,
                            int object_checksums = 0) {
  owned_str md5(hdr_value(r->head, r->head_len, "content-md5"));
  // Present but empty is malformed too: it names no digest the body could be held to.
  if (md5.get()) {
    unsigned char got[17];
    size_t n = base64_decode_n(md5.get(), got, sizeof got);
    if (n != 16) {
      set_error("Content-MD5 malformed");
      fail_with(err, 400, "InvalidDigest", "The Content-MD5 you specified was not valid.");
      return -1;
    }
    if (!const_time_eq(got, 16, d->md5, 16)) {
      set_error("Content-MD5 mismatch");
      fail_with(err, 400, "BadDigest", "The Content-MD5 you specified did not match what we received.");
      return -1;
    }
  }
  const head_fields *f = &r->fields;
  for (int a = CK_CRC32; a < CK_COUNT && !object_checksums; a++) {
    const ck_info *info = ck_info_of(a);
    if (!(f->ck_nonempty & (1u << a))) continue;
    int c = ck_compare_bytes(d, a, f->ck_bytes[a], f->ck_len[a]);
    if (c == 1) continue;
    if (c < 0) {
      set_error("%s malformed", info->header);
      fail_with(err, 400, "InvalidRequest", info->header_invalid);
    } else {
      set_error("%s mismatch", info->header);
      fail_with(err, 400, "BadDigest", info->bad_message);
    }
    return -1;
  }
  return 0;
}

static const char k_missing_length[] = "You must provide the Content-Length HTTP header.";
static const char k_incomplete[] =
    "You did not provide the number of bytes specified by the Content-Length HTTP header";

static void remove_file(const char *path) {
  plat_err e;
  plat_unlink(path, &e);
}

// The answers a body shares whatever reads it, once it failed to arrive: a stream without a
// length or cut before its end, a trailer that is malformed or differs, a signature that
// fails. 1 with *err set, 0 when the failure is none of these (the caller's own answer).
static int stream_failure(const body_digests *d, const stream_state *st, upload_error *err) {
  const ck_info *info = ck_info_of(d->failed_trailer);
  if (d->no_length)
    fail_with(err, 411, "MissingContentLength", k_missing_length);
  else if (d->incomplete)
    fail_with(err, 400, "IncompleteBody", k_incomplete);
  else if (info && d->trailer_malformed)
    fail_with(err, 400, "InvalidRequest", info->trailer_invalid);
  else if (info)
    fail_with(err, 400, "BadDigest", info->bad_message);
  else if (st && st->sigfail)
    fail_with(err, 403, "SignatureDoesNotMatch",
              "The request signature we calculated does not match the signature you provided");
  else
    return 0;
  return 1;
}

int receive_upload(plat_sock sock, const S3Request *r, stream_state *st, const char *path,
                   const char *internal_message, char etag_out[33], uint64_t *len_out,
                   upload_error *err, ck_value *sum) {
  body_digests d;
  memset(&d, 0, sizeof d);
  if (sum) ck_want(&d, sum->algo);
  if (payload_hash_is_digest(r->content_sha256)) d.want_sha256 = 1;
  for (int a = CK_CRC32; a < CK_COUNT; a++)
    if (r->fields.ck_present & (1u << a)) ck_want(&d, a);
  const body_head h = request_body_head(r);
  if (body_to_file(sock, &h, r->body_prefix, r->body_prefix_len, path, etag_out, len_out, &d,
                   st) != 0) {
    remove_file(path);
    if (d.too_large)
      fail_with(err, 400, "EntityTooLarge", "Your proposed upload exceeds the maximum allowed size");
    else if (!stream_failure(&d, st, err))
      fail_with(err, 500, "InternalError", internal_message);
    return -1;
  }
  if (payload_hash_differs(r->content_sha256, d.sha256)) {
    remove_file(path);
    set_error("x-amz-content-sha256 mismatch (payload swap)");
    fail_with(err, 403, "XAmzContentSHA256Mismatch",
              "The x-amz-content-sha256 header you provided did not match what we computed");
    return -1;
  }
  if (header_checksums(r, &d, err) != 0) {
    remove_file(path);
    return -1;
  }
  if (sum && sum->algo != CK_NONE) ck_digest_b64(&d, sum->algo, sum->b64);
  return 0;
}

// ---------------------------------------------------------------- bodies read whole

// The answer to a whole body that failed to arrive.
static void whole_body_failure(const body_digests *d, const stream_state *st, upload_error *err) {
  if (d->too_large)
    fail_with(err, 400, "MaxMessageLengthExceeded", "Your request was too big.");
  else if (!stream_failure(d, st, err))
    fail_with(err, 400, "IncompleteBody", k_incomplete);
}

int read_whole_body(plat_sock sock, const S3Request *r, stream_state *st, size_t max, char **out,
                    size_t *len, upload_error *err, int object_checksums) {
  *out = nullptr;
  *len = 0;
  body_digests d;
  memset(&d, 0, sizeof d);
  d.want_sha256 = 1;
  stream_state plain;
  if (!st) {
    memset(&plain, 0, sizeof plain);
    st = &plain;
  }
  char etag[33];
  uint64_t got = 0;
  reset_outcome(&d, etag, &got);
  body_sink sink = {nullptr, nullptr, nullptr, 0};
  const body_head h = request_body_head(r);
  int rc = run_body_job(sock, &h, r->body_prefix, r->body_prefix_len, &sink, max, nullptr, etag,
                        &got, &d, st);
  if (rc == 0 && !sink.mem) {
    // An empty body: still a buffer, so that callers parse "" like any other text.
    sink.mem = (char *)calloc(1, 1);
    if (!sink.mem) {
      set_error("oom (body buffer)");
      rc = -1;
    }
  }
  char *body = sink.mem;
  if (rc != 0) {
    free(body);
    whole_body_failure(&d, st, err);
    return -1;
  }
  // The body must be the one that was signed: a captured request replayed with another body
  // is refused before anything is done.
  if (payload_hash_differs(r->content_sha256, d.sha256)) {
    free(body);
    set_error("x-amz-content-sha256 mismatch (request body)");
    fail_with(err, 400, "XAmzContentSHA256Mismatch",
              "The provided 'x-amz-content-sha256' header does not match what was computed.");
    return -1;
  }
  if (header_checksums(r, &d, err, object_checksums) != 0) {
    free(body);
    return -1;
  }
  *out = body;
  *len = (size_t)got;
  return 0;
}

// ---------------------------------------------------------------- the Content-Length rule

int stream_length_check(const S3Request *r, const stream_state *st, upload_error *err) {
  if (!st || !st->aws_chunked) return 0;
  int has_cl, te_chunked;
  framing_headers(&r->fields, &has_cl, &te_chunked);
  if (has_cl || te_chunked) return 0;
  set_error("streamed body without Content-Length");
  fail_with(err, 411, "MissingContentLength", k_missing_length);
  return -1;
}

int content_length_check(const S3Request *r, upload_error *err) {
  const head_fields *f = &r->fields;
  if (!f->cl_present) return 0;
  const char *p = f->cl_text;
  const int kind = f->cl_kind;
  if (kind == CL_NUMBER) return 0;
  if (kind == CL_EMPTY) {
    set_error("empty Content-Length");
    fail_with(err, 400, "MissingContentLength", k_missing_length);
    return -1;
  }
  const bool negative = kind == CL_NEGATIVE;
  set_error("bad Content-Length: %.40s", p);
  fail_with(err, 400, "InvalidArgument",
            negative ? "Content-Length must not be negative." : "Content-Length must be a decimal number.");
  return -1;
}

size_t read_body_to_mem(plat_sock sock, const S3Request *r, char *dst, size_t want) {
  body_source bs;
  bs_init(&bs, sock, r->body_prefix, r->body_prefix_len, nullptr);
  return bs_read(&bs, dst, want);
}

void discard_body(plat_sock sock, const S3Request *r, uint64_t n) {
  body_source bs;
  bs_init(&bs, sock, r->body_prefix, r->body_prefix_len, nullptr);
  unsigned char buf[16384];
  while (n > 0) {
    size_t k = n < sizeof buf ? (size_t)n : sizeof buf;
    size_t got = bs_read(&bs, buf, k);
    n -= got;
    if (got < k) break;
  }
}
