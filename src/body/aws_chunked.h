// The aws-chunked framing of streamed uploads: chunk header lines and their sizes, the chunks
// between them, the trailer lines after the terminal chunk, and the decoded-length check.
#pragma once

#include <cstddef>
#include <cstdint>

#include "base/limits.h"

struct stream_state;
struct head_fields;

constexpr size_t S3_AWS_LINE_MAX = 510;            // aws-chunked header/trailer line

// Where the framing is read from and where its decoded payload goes. The body reader supplies
// these over its byte source (HTTP chunked framing may sit beneath) and its file and digests.
struct aws_chunked_io {
  void *ctx;
  // The next byte (0..255), or -1 when the input ended.
  int (*next_byte)(void *ctx);
  // Fills dst with up to n bytes; fewer only when the input ended.
  size_t (*read)(void *ctx, void *dst, size_t n);
  // Stores and hashes n payload bytes: 0, or -1 when they could not be written.
  int (*store)(void *ctx, const void *data, size_t n);
};

// Decodes one aws-chunked body up to the empty line that ends it, taking the chunk, terminal
// and trailer steps of st on the way. *len counts the payload bytes stored. 0; -2 when the
// stream ended (an empty line, or the end of the input) before its terminal chunk; or -1.
// Failures set the last-error text (and st->sigfail for a signature failure).
int aws_chunked_read(const aws_chunked_io *io, stream_state *st, uint64_t *len);

// x-amz-decoded-content-length, when the head carries it, must equal the decoded length len:
// 0, or -1 with the last-error text set.
int aws_decoded_length_check(const head_fields *f, uint64_t len);
