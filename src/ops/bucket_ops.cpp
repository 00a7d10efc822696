// STUB: replaced by the service and bucket operations.
#include "ops/ops.h"
void op_list_buckets(plat_sock, S3Request *) {}
void op_create_bucket(plat_sock, S3Request *, const char *) {}
void op_delete_bucket(plat_sock, S3Request *, const char *) {}
void op_head_bucket(plat_sock, S3Request *, const char *) {}
void op_get_bucket_location(plat_sock, S3Request *) {}
