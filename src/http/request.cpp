// STUB: replaced by the request head reader and lookups.
#include "http/request.h"
#include <cstdlib>
#include <cstring>
int read_request_head(plat_sock, S3Request *) { return -1; }
int parse_bucket_key(S3Request *) { return -1; }
void request_free(S3Request *r) { free(r->head); r->head = nullptr; }
char *hdr_value(const char *, size_t, const char *) { return nullptr; }
char *qparam(const char *, const char *) { return nullptr; }
int qhas(const char *, const char *) { return 0; }
void pct_decode(char *) {}
owned_str::~owned_str() { free(p); }
int hdr_u64(const char *, size_t, const char *, uint64_t *out, int *ov) { *out = 0; if (ov) *ov = 0; return 0; }
int copy_text(char *dst, size_t cap, const char *src) { return copy_text_n(dst, cap, src, strlen(src)); }
int copy_text_n(char *dst, size_t cap, const char *src, size_t n) {
  if (!cap) return 0; size_t m = n < cap - 1 ? n : cap - 1; memcpy(dst, src, m); dst[m] = 0; return m == n; }
int ieq(const char *, const char *) { return 0; }
int istarts_with(const char *, const char *) { return 0; }
int icontains(const char *, const char *) { return 0; }
