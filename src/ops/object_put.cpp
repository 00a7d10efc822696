// STUB: replaced by PutObject and CopyObject.
#include "ops/ops.h"
void op_put_object(plat_sock s, S3Request *r) { answer_not_implemented(s, r); }
void op_copy_object(plat_sock s, S3Request *r) { answer_not_implemented(s, r); }
int parse_copy_source(const char *, char[64], char[4096]) { return -1; }
