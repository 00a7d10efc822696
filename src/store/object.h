// Objects as the store keeps them: a data file under the bucket directory and its metadata
// record, stored, removed and read as one so that a reader never pairs one version's bytes
// with another version's record.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/platform.h"

constexpr size_t S3_CTYPE_CAP = 256;     // recorded content type, NUL included
constexpr size_t S3_ETAG_CAP = 96;       // recorded ETag, NUL included
constexpr size_t S3_USER_META_CAP = 1024;  // recorded "name:value\r\n" lines, NUL included

// What one read of an object sees, all of one version: its status, its data opened for
// reading, and its metadata record.
struct object_view {
  uint64_t size;
  int64_t mtime;                          // seconds since 1970
  plat_file *data;                        // null when the file could not be opened
  int has_meta;                           // 1 when a metadata record was read
  char content_type[S3_CTYPE_CAP];        // "" when none was recorded
  char etag[S3_ETAG_CAP];                 // "" when none was recorded
  char user_meta[S3_USER_META_CAP];       // "" when none was recorded
};

// Moves the finished temporary file tmp onto bucket/key and records the new version's
// metadata: content type, ETag and the x-amz-meta-* lines of head (head may be null). 0 when
// the data is in place; -1 when it could not be moved, with tmp removed and an earlier object
// of that key left as it was. A record that cannot be written leaves the object without one.
int object_commit(const char *tmp, const char *bucket, const char *key, const char *etag,
                  const char *content_type, const char *head, size_t head_len);

// Removes bucket/key and its metadata record. 0 removed, 1 there was no such file, -1 the
// entry could not be removed (a key that names a directory, a protected file); its record then
// stays too.
int object_remove(const char *bucket, const char *key);

// Takes the view of bucket/key for a read. 0 with *out filled (release it with
// object_release); -1 when the key holds no object (missing, a directory, a path too long).
int object_snapshot(const char *bucket, const char *key, object_view *out);
void object_release(object_view *v);

// Releases a view on every way out of a read.
struct object_view_guard {
  object_view v;
  object_view_guard() { v.data = nullptr; }
  ~object_view_guard() { object_release(&v); }
  object_view_guard(const object_view_guard &) = delete;
  object_view_guard &operator=(const object_view_guard &) = delete;
};

// Removes what the store keeps about a deleted bucket beside its directory: the metadata
// records of its objects and its multipart uploads in progress.
void bucket_remove_records(const char *bucket);
