// STUB: replaced by multi-object delete.
#include "ops/ops.h"
void op_delete_objects(plat_sock s, S3Request *r) { answer_not_implemented(s, r); }
