// Bucket configurations kept as documents (encryption, policy, lifecycle and the others): one
// file per bucket and configuration under the reserved metadata tree, written whole in one
// replacing move, removed one by one or all together with the bucket.
#pragma once

#include <cstddef>

constexpr size_t BUCKET_CONFIG_MAX = 262144;  // bytes of one stored configuration document

// name is one of the configurations the operations keep (a plain word, never a path). Stores
// doc[0..len) as bucket's configuration of that name, replacing any earlier one, while the
// bucket exists. 0 when it is on disk, -1 when it could not be written (an earlier document
// then stays as it was).
int bucket_config_save(const char *bucket, const char *name, const char *doc, size_t len);
// Loads it: 1 with *out (malloc'd, NUL-terminated, caller frees) and *len, 0 when the bucket
// has none of that name, -1 when it could not be read.
int bucket_config_load(const char *bucket, const char *name, char **out, size_t *len);
// Removes it; a missing one is fine. 0, or -1 when it stays.
int bucket_config_remove(const char *bucket, const char *name);
// Removes every configuration of the bucket kept here (the bucket is being deleted).
void bucket_configs_remove(const char *bucket);
