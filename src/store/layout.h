// The storage tree's layout: the paths of buckets, objects and metadata records under the
// root, and whether a key can be placed among the objects already stored.
#pragma once

#include <cstddef>

#include "base/limits.h"

// root/bucket[/key] into out[4352], each segment of the key in its stored form (store/names),
// a folder marker's key with the marker file's name appended, and an object whose place is a
// directory (it stands beside keys below it) with S3_DIR_OBJECT appended; 0, or -1 when it
// does not fit or the key is not storable (out must then not be used).
int object_path(const char *bucket, const char *key, char out[S3_FS_PATH]);
// 1 when bucket/key has a path as object_path makes it, whatever stands in the tree (no
// file system call): the key is storable and its path fits.
int key_has_path(const char *bucket, const char *key);
// root/.s3meta/bucket/key into out[4352], mapped as object_path maps the key; 0 / -1.
int meta_path(const char *bucket, const char *key, char out[S3_FS_PATH]);
// Whether bucket/key can be stored as the tree stands: 0 it can (every key can be stored beside
// every other), -1 the key has no path; conflict[4096] is emptied.
int key_placement(const char *bucket, const char *key, char conflict[S3_KEY_FIELD]);
// key_placement for a caller that holds the paths already: dir is object_path of the bucket,
// path that of bucket/key.
int key_placement_at(const char *bucket, const char *key, const char *dir, const char *path,
                     char conflict[S3_KEY_FIELD]);
