// The storage tree's layout: the paths of buckets, objects and metadata records under the
// root, and whether a key can be placed among the objects already stored.
#pragma once

#include <cstddef>

#include "base/limits.h"

// root/bucket[/key] into out[4352] (a folder marker's key gets the marker file's name
// appended); 0, or -1 when it does not fit or the key is not storable (out must then not be
// used).
int object_path(const char *bucket, const char *key, char out[S3_FS_PATH]);
// root/.s3meta/bucket/key into out[4352], mapped as object_path maps the key; 0 / -1.
int meta_path(const char *bucket, const char *key, char out[S3_FS_PATH]);
// Whether bucket/key can be stored as the tree stands: 0 it can (an empty directory left where
// the object's file goes has been removed), 1 another object is in the way and
// conflict[4096] names its key ("a" for "a/b"; "a/x" for "a" when "a/x" is stored), -1 the
// key has no path. Nothing that holds an object is changed.
int key_placement(const char *bucket, const char *key, char conflict[S3_KEY_FIELD]);
// key_placement for a caller that holds the paths already: dir is object_path of the bucket,
// path that of bucket/key.
int key_placement_at(const char *bucket, const char *key, const char *dir, const char *path,
                     char conflict[S3_KEY_FIELD]);
