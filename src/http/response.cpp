// STUB: replaced by the answer writers.
#include "http/response.h"
#include <cstdlib>
const char *http_reason(int) { return "OK"; }
void http_send_headers(plat_sock, int, const char *, uint64_t, int) {}
void http_send_obj_headers(plat_sock, int, const char *, uint64_t, const char *) {}
void send_error(plat_sock, int, const char *, const char *, const char *, const char *) {}
uint64_t http_write_all(plat_sock, const void *, uint64_t) { return 0; }
const char *s3_request_id(char out[33]) { out[0] = 0; return out; }
void http_date_now(char out[64]) { out[0] = 0; }
void xml_escape_str(const char *, char *dst, size_t) { dst[0] = 0; }
void dynbuf_init(dynbuf *b) { b->data = nullptr; b->len = b->cap = 0; b->failed = 1; }
size_t dynbuf_append(dynbuf *, const char *, size_t) { return 0; }
int dynbuf_printf(dynbuf *, const char *, ...) { return 0; }
int dynbuf_append_escaped(dynbuf *, const char *) { return 0; }
void dynbuf_free(dynbuf *b) { free(b->data); b->data = nullptr; }
