// STUB: replaced by the multipart operations.
#include "ops/ops.h"
void op_initiate_multipart(plat_sock s, S3Request *r) { answer_not_implemented(s, r); }
void op_upload_part(plat_sock s, S3Request *r, const char *) { answer_not_implemented(s, r); }
void op_upload_part_copy(plat_sock s, S3Request *r, const char *) { answer_not_implemented(s, r); }
void op_complete_multipart(plat_sock s, S3Request *r, const char *) { answer_not_implemented(s, r); }
void op_abort_multipart(plat_sock s, S3Request *r, const char *) { answer_not_implemented(s, r); }
