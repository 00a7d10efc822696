// Key enumeration: sorted directory listings and the walker in key order behind every listing.
#pragma once

#include <cstddef>
#include <cstdint>

#include "base/limits.h"

constexpr size_t S3_NAME_SLOT = 256;

struct object_entry {
  char key[S3_KEY_FIELD];
  uint64_t size;
  char etag[40];
  char last_modified[64];
};

// Names of dir's entries (no "." / ".."), sorted byte-wise; names[cap][256], is_dir optional,
// truncated optional. Returns the count.
size_t list_dir_names(const char *dir, char (*names)[S3_NAME_SLOT], size_t cap, int *is_dir,
                      int *truncated);

// Where a walk starts: at the first key >= text, > text, or > text and not beginning with it.
enum key_seek_mode { KEY_SEEK_FROM = 0, KEY_SEEK_AFTER = 1, KEY_SEEK_PAST = 2 };

// A walk through a bucket's objects in key order (byte-wise over the keys as clients name
// them, whatever their stored form; a directory sorting as its key segment followed by "/").
// It holds the sorted names of each directory on the current path and nothing else, so its
// memory grows with the depth and the largest directory, never with the number of keys. The
// server's own files (is_own_name) are never returned.
struct key_walk {
  char path[S3_FS_PATH];  // bucket directory, "/", then the stored path being visited
  size_t key_off;         // where the stored path starts in path
  char key[S3_KEY_FIELD]; // the key being visited
  struct walk_names *names;
  struct walk_frames *frames;
  int failed;             // memory ran out: the walk ended early
};

// Opens a walk of dir starting at the seek point (text empty: the first key). 0, or -1 when
// dir's path is too long or memory ran out.
int key_walk_open(key_walk *w, const char *dir, const char *seek, key_seek_mode mode);
// The next object: 1 with its key (<= 4095 bytes), full path (in w->path until the next call)
// and status; 0 at the end; -1 when memory ran out.
int key_walk_next(key_walk *w, char key[S3_KEY_FIELD], uint64_t *size, int64_t *mtime);
// Skips every remaining key that begins with prefix, which must be a prefix of the key last
// returned. 0, or -1 when memory ran out.
int key_walk_skip_prefix(key_walk *w, const char *prefix);
void key_walk_close(key_walk *w);

// RAII for a walk on the heap (the path buffer is too large for deep call chains).
struct key_walk_guard {
  key_walk *w;
  key_walk_guard();
  ~key_walk_guard();
  key_walk_guard(const key_walk_guard &) = delete;
  key_walk_guard &operator=(const key_walk_guard &) = delete;
};

// 1 when dir holds at least one object (stops at the first one), 0 when it holds none, -1
// when the walk could not finish (memory): callers must then not treat the bucket as empty.
int dir_has_objects(const char *dir);

// The first objects of dir (root/bucket) in key order with their ETags as listings show them
// (object_list_etag), for the host JSON API and HeadBucket; keys are relative to dir (base
// must name the same directory). At most cap
// records; *truncated (optional) becomes 1 when more objects remained. Returns the count, or
// -1 when memory ran out.
long enumerate_objects(const char *dir, const char *base, object_entry *out, size_t cap,
                       int *truncated);
