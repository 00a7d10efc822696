// STUB: replaced by the host JSON API.
#include "quillmar-s3.h"
extern "C" QUILLMAR_API const char *s3_list_buckets_json(void) { return "{\"buckets\":[],\"count\":0}"; }
extern "C" QUILLMAR_API const char *s3_list_objects_json(const char *) { return "{\"bucket\":\"\",\"objects\":[],\"count\":0,\"error\":\"no bucket\"}"; }
extern "C" QUILLMAR_API const char *s3_get_stats_json(void) { return "{}"; }
