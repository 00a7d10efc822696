// STUB: replaced by body reception.
#include "http/body.h"
int read_body_to_file(plat_sock, const char *, size_t, const char *, size_t, const char *,
                      char etag_out[33], uint64_t *len_out, body_digests *) { etag_out[0] = 0; *len_out = 0; return -1; }
int receive_upload(plat_sock, const S3Request *, const char *, const char *m, char etag_out[33],
                   uint64_t *len_out, upload_error *err) {
  etag_out[0] = 0; *len_out = 0; err->status = 500; err->code = "InternalError"; err->message = m; return -1; }
size_t read_body_to_mem(plat_sock, const S3Request *, char *, size_t) { return 0; }
void discard_body(plat_sock, const S3Request *, uint64_t) {}
