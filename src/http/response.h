// Answer writers: response heads, the S3 XML error document, request ids, XML escaping, dynbuf.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/platform.h"

// Namespace of the S3 2006-03-01 API, carried by the listing documents.
#define S3_XMLNS "http://s3.amazonaws.com/doc/2006-03-01/"

const char *http_reason(int status);

// What every answer to one request carries beside what its operation writes: whether the
// request is a HEAD, whose answers (errors included) are heads alone, and the head lines the
// request as a whole adds (the CORS answer to its Origin), each ended by CR LF, or null. The
// request holds it (S3Request::answer) and every writer below takes it, never null; lines must
// outlive the request's answers.
struct answer_context {
  int head_only;
  const char *lines;
  char version_lines[128];  // the x-amz-version-id (and delete marker) lines of the object the
                            // answer is about; "" for none
};

// Head without Content-Type; Content-Length only when with_length. extra: header lines each
// ended by CR LF ("" for none, never null). The head is sent whole or not at all.
void http_send_headers(plat_sock s, const answer_context *a, int status, const char *extra,
                       uint64_t content_length, int with_length);
// Head with Content-Type and Content-Length; extra may be null.
void http_send_obj_headers(plat_sock s, const answer_context *a, int status,
                           const char *content_type, uint64_t content_length, const char *extra);
// A complete S3 error answer (head and document). extra_head: more head lines or null;
// elements: more document elements, XML already escaped, placed after Resource, or null.
void send_error(plat_sock s, const answer_context *a, int status, const char *code,
                const char *message, const char *resource, const char *extra_head,
                const char *elements = nullptr);
// Sends all bytes of an answer's body (stops silently at the first failed send). Returns bytes
// sent; for a HEAD, sends nothing and returns len.
uint64_t http_write_all(plat_sock s, const answer_context *a, const void *data, uint64_t len);

// The head of a small answer waits for its body so that both leave in one send; this sends
// what waits (an answer whose body was cut short), as every request's end does.
void http_flush_held();

// Writes a fresh 32-digit request id into out[33] and returns out (thread-safe).
const char *request_id(char out[33]);

// XML-escapes src into dst[cap] (always NUL-terminated, never splits an entity).
void xml_escape_str(const char *src, char *dst, size_t cap);

// Growable text buffer, NUL-terminated while data is non-null; capped at 512 MiB.
struct dynbuf {
  char *data;
  size_t len;
  size_t cap;
  int failed;
};
void dynbuf_init(dynbuf *b);
size_t dynbuf_append(dynbuf *b, const char *text, size_t n);
int dynbuf_printf(dynbuf *b, const char *fmt, ...) __attribute__((format(printf, 2, 3)));
// Appends text XML-escaped (no length cut); returns 1 on success.
int dynbuf_append_escaped(dynbuf *b, const char *text);
void dynbuf_free(dynbuf *b);

// Scoped owner of a dynbuf.
struct dynbuf_guard {
  dynbuf b;
  dynbuf_guard() { dynbuf_init(&b); }
  ~dynbuf_guard() { dynbuf_free(&b); }
  dynbuf_guard(const dynbuf_guard &) = delete;
  dynbuf_guard &operator=(const dynbuf_guard &) = delete;
};
