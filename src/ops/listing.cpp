// STUB: replaced by ListObjects.
#include "ops/ops.h"
void op_list_objects(plat_sock s, S3Request *r, const char *) { answer_not_implemented(s, r); }
