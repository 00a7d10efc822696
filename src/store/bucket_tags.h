// Bucket tag sets on disk: one file per bucket under the reserved metadata tree, beside the
// bucket's CORS rules, written whole in one replacing move and removed with the bucket.
#pragma once

#include "store/tags.h"

// Stores tags as bucket's tag set, replacing any earlier one. 0 when it is on disk, -1 when it
// could not be written (an earlier set then stays as it was) or the bucket is gone.
int bucket_tags_save(const char *bucket, const tag_set *tags);
// Loads bucket's tag set into out: 1 read, 0 the bucket has none, -1 it could not be read.
int bucket_tags_load(const char *bucket, tag_set *out);
// Removes bucket's tag set; a missing one is fine. 0, or -1 when it stays.
int bucket_tags_remove(const char *bucket);
