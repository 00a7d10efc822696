// What one connection carries from request to request: whether the client lets it carry
// another, whether the request's body was read to its end, whether the answer kept its
// framing, and the pace a body read before its signature was checked must keep. The worker
// serving a connection enters its state for the thread; the body readers receive through it
// and the head writers consult it.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/platform.h"

struct http_conn {
  uint64_t requests;       // requests served on the connection so far
  // Of the request being served, set by the head reader.
  int keep;                // the client lets the connection carry another request
  int say_keep_alive;      // an HTTP/1.0 client that asked: answers say so
  int framed;              // the body's end is known (Content-Length, or no body at all)
  uint64_t sock_left;      // body bytes still to come from the socket (framed only)
  // Of the answer being sent.
  int closing;             // an answer said "Connection: close" (or the connection failed)
  int answered;            // a final head went out
  int expect_body;         // that head promised a body of body_len bytes
  uint64_t body_len;
  uint64_t body_sent;
  // A body read before its signature was checked: whole within the deadline, at the rate.
  int paced;
  uint32_t paced_start;
  uint64_t paced_bytes;
};

// The connection this thread serves from now on (null: none, as in a test that answers into
// a socket of its own; answers then close the connection).
void http_conn_enter(http_conn *c);
http_conn *http_conn_current();

// Resets the per-request fields before a request is read.
void http_conn_begin_request(http_conn *c);

// Receives body bytes for the request being served: never past the end of a body whose length
// is known (the bytes behind it belong to the next request, and a read there reports the end),
// and while paced, gives up when the deadline passes or the client falls below the rate.
// As plat_sock_recv: > 0 bytes, 0 the end, -1 failure.
long http_body_recv(plat_sock s, void *buf, size_t n);

// A body read without credentials is paced from now on (started) or no longer (stopped).
void http_body_pace(int on);

// 1 when, after the request's answer, the connection can carry the next request: the client
// allows it, the body was read to its end, and the answer's body was sent whole.
int http_conn_reusable(const http_conn *c);

// The end of a head's last line for an answer of status with (has_length) or without a
// Content-Length of len (without: the answer has no body): "Connection: close" when the
// connection ends after it, and the connection marked so; otherwise an empty line
// ("Connection: keep-alive" before it for HTTP/1.0), and "Content-Length: 0" for an answer
// written without a length that a client would otherwise read to the close.
const char *http_conn_head_tail(int status, int head_only, int has_length, uint64_t len);
// The answer could not be sent as its head said: the connection ends after it.
void http_conn_broken();
// Counts answer body bytes sent.
void http_conn_sent(uint64_t n);
