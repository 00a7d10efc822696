// Object metadata files: content type, ETag and user metadata beside each object.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/platform.h"
#include "store/layout.h"

#include "platform/platform.h"

// The store itself pairs these with the data files under its commit lock (store/object.h);
// operations go through that module, never through these directly.

// A record written ahead under a temporary name beside its place, published by one move, so
// that no reader and no crash ever meets a cut record.
struct meta_draft {
  plat_file *f;             // the flushed temporary file, open until published or discarded
  char tmp[S3_FS_PATH];     // its name ("" when nothing is pending)
  char path[S3_FS_PATH];    // the record's place
};
// Writes the record of bucket/key (content type, ETag, then the x-amz-meta-* lines of head)
// into a temporary file and flushes it to disk. 0, or -1 with nothing left behind.
int meta_draft_write(meta_draft *d, const char *bucket, const char *key, const char *etag,
                     const char *content_type, const char *head, size_t head_len);
// Gives the draft the modification time stamp_ns and moves it onto the record's place. 0, or
// -1 with the draft removed and an earlier record left as it was.
int meta_draft_publish(meta_draft *d, int64_t stamp_ns);
// Removes a draft that was not published (nothing pending is fine).
void meta_draft_discard(meta_draft *d);
// The record's modification time in nanoseconds: 0, or -1 when there is none.
int meta_mtime_ns(const char *bucket, const char *key, int64_t *mtime_ns);

// Writes .s3meta/bucket/key at once (a draft published with the current time).
void meta_save(const char *bucket, const char *key, const char *etag, const char *content_type,
               const char *head, size_t head_len);
// Reads it: 1 read, 0 none. Writes only the buffers it has values for (callers clear them).
int meta_load(const char *bucket, const char *key, char content_type[256], char *etag,
              size_t etag_size, char user_meta[1024]);
// As meta_load, but a record older than the data it would describe (data_mtime_ns) counts as
// none: it belongs to an earlier version whose replacement was cut short before its record.
int meta_load_current(const char *bucket, const char *key, int64_t data_mtime_ns,
                      char content_type[256], char *etag, size_t etag_size, char user_meta[1024]);
// Removes the metadata file of one object (missing is fine).
void meta_remove(const char *bucket, const char *key);
// Writes to f the "name:value" line of each x-amz-meta-* header of head, as meta_save records
// them (the upload store keeps them the same way until its object is made). 0, or -1 when a
// write fell short.
int meta_write_user_lines(plat_file *f, const char *head, size_t head_len);
