// Key enumeration: sorted directory listings and the recursive walkers behind every listing.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr size_t S3_NAME_SLOT = 256;

struct list_entry {
  char key[4096];
  uint64_t size;
  char etag[80];
  char last_modified[64];
  int32_t is_prefix;
};

struct object_entry {
  char key[4096];
  uint64_t size;
  char etag[40];
  char last_modified[64];
};

// Names of dir's entries (no "." / ".."), sorted byte-wise; names[cap][256], is_dir optional,
// truncated optional. Returns the count.
size_t list_dir_names(const char *dir, char (*names)[S3_NAME_SLOT], size_t cap, int *is_dir,
                      int *truncated);
// Recursive walk for ListObjects; returns records stored or -1 when memory ran out.
long gather_keys(const char *dir, const char *base, list_entry *out, size_t cap, int *truncated);
// Recursive walk for HeadBucket and the host JSON API; returns records stored (-1 only when
// the walk's own memory ran out).
long enumerate_objects(const char *dir, const char *base, object_entry *out, size_t cap,
                       int *truncated);
int list_entry_cmp(const void *a, const void *b);

// The gathered set of a listing in compact form: the same walk, records and truncation rules
// as gather_keys, but memory grows with what the bucket holds instead of cap full records.
struct key_record {
  size_t key_off;       // key text at key_set::text + key_off (NUL-terminated, <= 4095 chars)
  uint64_t size;
  int64_t mtime;        // seconds since 1970 UTC
  char etag[33];        // MD5 hex of the content, or 32 zeros when unreadable
};

struct key_set {
  key_record *recs;
  size_t count, recs_cap;
  char *text;           // every key, NUL-terminated, back to back
  size_t text_len, text_cap;
};

void key_set_init(key_set *ks);
void key_set_free(key_set *ks);
inline const char *key_set_key(const key_set *ks, size_t i) {
  return ks->text + ks->recs[i].key_off;
}
// Walks dir like gather_keys (keys relative to base, at most cap records, truncation flag
// written by the same rules); returns the records stored or -1 when memory ran out.
long gather_key_set(const char *dir, const char *base, key_set *out, size_t cap, int *truncated);
// Sorts the records by key, byte-wise.
void key_set_sort(key_set *ks);
