// The aws-chunked framing of streamed uploads: the line reader, the chunk-size parser, the
// chunk loop with its signature steps, and the decoded-length check.
#include "http/aws_chunked.h"

#include <cstdlib>
#include <cstring>

#include "auth/hash.h"
#include "auth/stream.h"
#include "http/request.h"
#include "base/state.h"

// One aws-chunked line without its line end into line[512]; 0, or -1 with the text set.
static int aws_line(const aws_chunked_io *io, char line[S3_AWS_LINE_MAX + 2], size_t *len) {
  size_t n = 0;
  for (;;) {
    int c = io->next_byte(io->ctx);
    if (c < 0) {
      set_error("client gone (aws-chunked line)");
      return -1;
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
  while (*p == ' ' || *p == '\t') p++;
  int negative = 0;
  if (*p == '+' || *p == '-') negative = *p++ == '-';
  if (p[0] == '0' && (p[1] == 'x' || p[1] == 'X')) p += 2;
  int64_t v = 0;
  *digits = 0;
  for (;; p++) {
    int d = hex_digit_value(*p);
    if (d < 0) break;
    (*digits)++;
    if (v <= 0x80000000LL) v = v * 16 + d;
  }
  *end = p;
  if (negative) return v > 0x80000000LL ? -0x80000000LL : -v;
  return v > 0x7FFFFFFFLL ? 0x7FFFFFFFLL : v;
}

// One data chunk of size bytes after its header line. The chunk is held whole: its signature
// covers all of it, and it is at most S3_AWS_CHUNK_MAX bytes.
static int aws_chunk(const aws_chunked_io *io, stream_state *st, const char *line, size_t size,
                     uint64_t *len) {
  unsigned char *chunk = (unsigned char *)malloc(size);
  if (!chunk) {
    set_error("oom (aws-chunked chunk)");
    return -1;
  }
  int rc = 0;
  if (io->read(io->ctx, chunk, size) != size) {
    set_error("client gone (aws-chunked data)");
    rc = -1;
  } else if (io->store(io->ctx, chunk, size) != 0) {
    set_error("temp write fail (aws-chunked)");
    rc = -1;
  } else {
    *len += size;
    // The two bytes after the data are its CR LF; they are not looked at.
    io->next_byte(io->ctx);
    io->next_byte(io->ctx);
    if (st->check_sigs) {
      char sha[65];
      sha256_hex(chunk, size, sha);
      rc = stream_chunk_step(st, line, sha);
    }
  }
  free(chunk);
  return rc;
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

// The empty line that ends the body. A signed stream must have reached its terminal chunk:
// otherwise it could be cut short in transit and still be stored as complete.
static int body_end(stream_state *st, int after_terminal) {
  if (st->check_sigs && !after_terminal) {
    st->sigfail = 1;
    set_error("aws-chunked stream ended before its terminal chunk");
    return -1;
  }
  return 0;
}

int aws_chunked_read(const aws_chunked_io *io, stream_state *st, uint64_t *len) {
  char line[S3_AWS_LINE_MAX + 2];
  int after_terminal = 0;
  for (;;) {
    size_t n;
    if (aws_line(io, line, &n) != 0) return -1;
    if (n == 0) return body_end(st, after_terminal);
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
    if (aws_chunk(io, st, line, (size_t)size, len) != 0) return -1;
  }
}

int aws_decoded_length_check(const char *head, size_t head_len, uint64_t len) {
  owned_str v(hdr_value(head, head_len, "x-amz-decoded-content-length"));
  if (!v.get()) return 0;
  uint64_t want = 0;
  int ok = *v.get() != 0;
  for (const char *p = v.get(); *p && ok; p++) {
    if (*p < '0' || *p > '9' || want > (UINT64_MAX - 9) / 10) ok = 0;
    else want = want * 10 + (uint64_t)(*p - '0');
  }
  if (ok && want == len) return 0;
  set_error("aws-chunked length differs from x-amz-decoded-content-length");
  return -1;
}
