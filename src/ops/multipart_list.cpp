// STUB: replaced by ListParts and ListMultipartUploads.
#include "ops/ops.h"
void op_list_parts(plat_sock s, S3Request *r, const char *) { answer_not_implemented(s, r); }
void op_list_multipart_uploads(plat_sock s, S3Request *r) { answer_not_implemented(s, r); }
