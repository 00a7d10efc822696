// The aws-chunked framing of streamed uploads: the line reader, the chunk-size parser, the
// chunk loop with its signature steps, and the decoded-length check.
#include "body/aws_chunked.h"

#include <cstdlib>
#include <cstring>

#include "digest/hash.h"
#include "auth/stream.h"
#include "http/request.h"
#include "base/state.h"

static constexpr size_t k_aws_piece = 65536;  // chunk bytes received, stored and hashed at once

// One aws-chunked line without its line end into line[512]; 0, or -1 with the text set (-2
// when the input ended).
static int aws_line(const aws_chunked_io *io, char line[S3_AWS_LINE_MAX + 2], size_t *len) {
  size_t n = 0;
  for (;;) {
    int c = io->next_byte(io->ctx);
    if (c < 0) {
      set_error("client gone (aws-chunked line)");
      return -2;
    }
    if (c == '\n') break;
    line[n++] = (char)c;
    if (n > S3_AWS_LINE_MAX) {
      set_error("aws-chunked line too long");
      return -1;
    }
  }
  if (n > 0 && line[n - 1] == '\r') n--;
  line[n] = 0;
  *len = n;
  return 0;
}

// The size at the start of a chunk header: hexadecimal as a signed 32-bit value (leading
// blanks, a sign and "0x" accepted, clamped to the range). *digits counts the digits read and
// *end points after them.
static int64_t aws_size(const char *p, int *digits, const char **end) {
  hex_size hs;
  const unsigned flags = HEX_BLANKS | HEX_SIGN | HEX_0X | HEX_SATURATE;
  parse_hex_size(p, strlen(p), 0x80000000ULL, flags, &hs);  // saturating: never fails
  *digits = hs.digits > 0x7FFFFFFF ? 0x7FFFFFFF : (int)hs.digits;
  *end = p + hs.used;
  int64_t v = (int64_t)hs.value;
  if (hs.negative) return -v;
  return v > 0x7FFFFFFFLL ? 0x7FFFFFFFLL : v;
}

// One data chunk of size bytes after its header line, passed on in pieces as it arrives and
// hashed for its signature on the way, so that memory stays at one piece whatever the chunk
// size. The signature is checked once the chunk is whole; a chunk that fails it fails the body,
// whose file the caller removes. 0, or -1 with the text set (-2 when the input ended).
static int aws_chunk(const aws_chunked_io *io, stream_state *st, const char *line, size_t size,
                     uint64_t *len) {
  unsigned char *piece = (unsigned char *)malloc(k_aws_piece);
  if (!piece) {
    set_error("oom (aws-chunked chunk)");
    return -1;
  }
  sha256_ctx sha;
  sha256_init(&sha);
  int rc = 0;
  for (size_t left = size; left > 0 && rc == 0;) {
    size_t n = left < k_aws_piece ? left : k_aws_piece;
    if (io->read(io->ctx, piece, n) != n) {
      set_error("client gone (aws-chunked data)");
      rc = -2;
    } else if (io->store(io->ctx, piece, n) != 0) {
      set_error("temp write fail (aws-chunked)");
      rc = -1;
    } else {
      sha256_update(&sha, piece, n);
      *len += n;
      left -= n;
    }
  }
  free(piece);
  if (rc != 0) return rc;
  // The two bytes after the data are its CR LF; they are not looked at.
  io->next_byte(io->ctx);
  io->next_byte(io->ctx);
  if (!st->check_sigs) return 0;
  unsigned char digest[32];
  sha256_final(&sha, digest);
  char hex[65];
  hex_encode(digest, 32, hex);
  hex[64] = 0;
  return stream_chunk_step(st, line, hex);
}

// A chunk header line: its size, or -1 with the text set. Unsigned streams send bare sizes
// (extensions after ";" ignored) and must carry at least one digit.
static int64_t header_size(const stream_state *st, const char *line) {
  int digits;
  const char *end;
  int64_t size = aws_size(line, &digits, &end);
  if (st->unsigned_chunks) {
    while (*end == ' ' || *end == '\t') end++;
    if (digits == 0 || (*end && *end != ';')) {
      set_error("malformed aws-chunked line");
      return -1;
    }
  }
  if (size < 0) {
    set_error("bad aws-chunked size");
    return -1;
  }
  return size;
}

// The empty line that ends the body. The stream must have reached its terminal chunk, signed
// or not: otherwise it was cut short, in transit or by its client, and storing what came would
// store a truncated object as complete.
static int body_end(int after_terminal) {
  if (!after_terminal) {
    set_error("aws-chunked stream ended before its terminal chunk");
    return -2;
  }
  return 0;
}

// A failure of the line or chunk reader: -2 when the input ended before the terminal chunk
// (the same cut as an early empty line; its client may still be waiting for the answer, inside
// HTTP chunked framing that ended early), else -1.
static int read_failed(int rc, int after_terminal) {
  if (rc == -2 && !after_terminal) return body_end(0);
  return -1;
}

int aws_chunked_read(const aws_chunked_io *io, stream_state *st, uint64_t *len) {
  char line[S3_AWS_LINE_MAX + 2];
  int after_terminal = 0;
  for (;;) {
    size_t n;
    int rc = aws_line(io, line, &n);
    if (rc != 0) return read_failed(rc, after_terminal);
    if (n == 0) return body_end(after_terminal);
    // Unsigned streams: after their terminal chunk every line is a trailer. Signed streams
    // mark each chunk header with ";".
    int is_header = st->unsigned_chunks ? !after_terminal : strchr(line, ';') != nullptr;
    if (!is_header) {
      if (!after_terminal) {
        set_error("malformed aws-chunked line");
        return -1;
      }
      stream_trailer_line(st, line);
      continue;
    }
    int64_t size = header_size(st, line);
    if (size < 0) return -1;
    if (size == 0) {
      if (st->check_sigs && stream_terminal_step(st, line) != 0) return -1;
      after_terminal = 1;
      continue;
    }
    if ((uint64_t)size > S3_AWS_CHUNK_MAX) {
      set_error("aws-chunked chunk too large");
      return -1;
    }
    rc = aws_chunk(io, st, line, (size_t)size, len);
    if (rc != 0) return read_failed(rc, after_terminal);
  }
}

int aws_decoded_length_check(const head_fields *f, uint64_t len) {
  if (!f->decoded_present) return 0;
  if (f->decoded_ok && f->decoded_len == len) return 0;
  set_error("aws-chunked length differs from x-amz-decoded-content-length");
  return -1;
}
