// The MD5 ETags computed for objects that have no trusted metadata record, kept per file
// version so that listing such an object again does not read it again.
#pragma once

#include "platform/platform.h"

// Entries kept at most: a fixed table, so the cache never grows with the store.
constexpr unsigned ETAG_CACHE_SLOTS = 4096;

// 1 with the 32 hexadecimal digits of the file version's MD5 in hex (NUL-terminated), 0 when
// that version is not cached.
int etag_cache_get(const plat_file_id *id, char hex[33]);
// Keeps the MD5 of a file version, replacing whatever shared its slot.
void etag_cache_put(const plat_file_id *id, const char hex[33]);
// 1 when a and b are the same version of the same file.
int etag_same_version(const plat_file_id *a, const plat_file_id *b);
