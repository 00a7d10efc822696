// STUB: replaced by GetObject, HeadObject and DeleteObject.
#include "ops/ops.h"
void op_get_object(plat_sock s, S3Request *r, int) { answer_not_implemented(s, r); }
void op_delete_object(plat_sock s, S3Request *r) { answer_not_implemented(s, r); }
void op_get_object_tagging(plat_sock s, S3Request *r) { answer_not_implemented(s, r); }
