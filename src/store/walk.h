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
// Recursive walk for HeadBucket and the host JSON API; returns records stored.
long enumerate_objects(const char *dir, const char *base, object_entry *out, size_t cap,
                       int *truncated);
int list_entry_cmp(const void *a, const void *b);
