// STUB: replaced by the request dispatcher.
#include "ops/ops.h"
void handle_connection(plat_sock) {}
void answer_not_implemented(plat_sock, S3Request *) {}
