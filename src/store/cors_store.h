// Bucket CORS configurations on disk: one file per bucket under the reserved metadata tree,
// written whole in one replacing move, removed with the bucket.
#pragma once

#include <cstddef>

constexpr size_t CORS_CONFIG_MAX = 65536;  // bytes of one stored configuration document

// Stores doc[0..len) as bucket's configuration, replacing any earlier one. 0 when it is on
// disk, -1 when it could not be written (an earlier configuration then stays as it was).
int cors_config_save(const char *bucket, const char *doc, size_t len);
// Loads bucket's configuration: 1 with *out (malloc'd, NUL-terminated, caller frees) and *len,
// 0 when the bucket has none, -1 when it could not be read.
int cors_config_load(const char *bucket, char **out, size_t *len);
// Removes bucket's configuration; a missing one is fine. 0, or -1 when it stays.
int cors_config_remove(const char *bucket);
