// The steps of a streamed upload that the aws-chunked body reader calls: chunk and terminal
// chunk signatures, trailer capture, and the end-of-body checksum and trailer-signature checks.
#pragma once

#include <cstddef>

#include "auth/sigv4.h"

struct body_digests;

// After a data chunk arrived (only when s_stream.check_sigs): 0, or -1 with the last-error
// text set ("aws-chunked chunk signature mismatch" sets s_stream_sigfail).
int stream_chunk_step(const char *line, const char *chunk_sha_hex);
// The terminal chunk's line (only when s_stream.check_sigs): 0 or -1 as above.
int stream_terminal_step(const char *line);
// One trailer line after the terminal chunk, its line end removed.
void stream_trailer_line(const char *line);
// 1 when the trailing checksums are verified at the end of this body: signed trailer mode,
// or an unsigned stream with trailers.
int stream_trailer_checks_on();
// End of body: trailing checksums and the trailer signature, against the digests computed
// while receiving (path is read only for an algorithm nobody announced). 0, or -1 with the
// last-error text set, and s_stream_sigfail or d->failed_trailer telling the answer.
int stream_end_checks(body_digests *d, const char *path);

// 1 when content_sha256 names a SHA-256 digest (64 hexadecimal digits, not a keyword).
int payload_hash_is_digest(const char *content_sha256);
// 1 when content_sha256 is a digest that differs from sha (the payload's SHA-256), else 0.
int payload_hash_differs(const char *content_sha256, const unsigned char sha[32]);
