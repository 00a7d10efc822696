// Object metadata files: content type, ETag and user metadata beside each object.
#pragma once

#include <cstddef>

// Writes .s3meta/bucket/key: content type, ETag, then the x-amz-meta-* lines of head.
void meta_save(const char *bucket, const char *key, const char *etag, const char *content_type,
               const char *head, size_t head_len);
// Reads it: 1 read, 0 none. Writes only the buffers it has values for (callers clear them).
int meta_load(const char *bucket, const char *key, char content_type[256], char *etag,
              size_t etag_size, char user_meta[1024]);
// Removes the metadata file of one object (missing is fine).
void meta_remove(const char *bucket, const char *key);

// Held around every change that pairs an object's data file with its metadata file (the move
// of new data and the metadata write that follows it, or the removal of both), and by readers
// around the status, open and metadata read of one object. An object then always shows the
// metadata of the version it holds, also while several clients store the same key. Hold it
// only for those short steps, never while a body is received or sent.
struct plat_mutex;
plat_mutex *object_commit_lock();
