// Object metadata files: content type, ETag and user metadata beside each object.
#pragma once

#include <cstddef>

// The store itself pairs these with the data files under its commit lock (store/object.h);
// operations go through that module, never through these directly.

// Writes .s3meta/bucket/key: content type, ETag, then the x-amz-meta-* lines of head.
void meta_save(const char *bucket, const char *key, const char *etag, const char *content_type,
               const char *head, size_t head_len);
// Reads it: 1 read, 0 none. Writes only the buffers it has values for (callers clear them).
int meta_load(const char *bucket, const char *key, char content_type[256], char *etag,
              size_t etag_size, char user_meta[1024]);
// Removes the metadata file of one object (missing is fine).
void meta_remove(const char *bucket, const char *key);
