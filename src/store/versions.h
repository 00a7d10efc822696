// Kept versions of a versioned bucket's keys: the state of a bucket's versioning, version ids,
// and the reserved area where every noncurrent version and delete marker of a key lies.
//
// The current version of a key is always the plain file at its usual place, its record
// carrying its version id. Older versions and delete markers lie under
// root/.s3meta/.versions/<bucket>/<key's stored segments>/, one directory per key (so a key walk
// of that tree finds every key that has any, in key order):
//   .quillmar-object          an empty file that makes the directory's key show in a walk
//   .quillmar-v-<base>        a kept version's data (a second name of the file it was)
//   .quillmar-v-<base>.r      its record (a second name of the record it had)
//   .quillmar-v-<base>.m      a delete marker
// <base> is 16 hex digits of the bitwise complement of the version's time in nanoseconds (so
// byte order is newest first) followed by 16 hex digits of its file number (markers: random
// bits), or by "null" for the version whose id is "null". A version id is its base, or "null".
#pragma once

#include <cstddef>
#include <cstdint>

#include "base/limits.h"
#include "platform/platform.h"
#include "store/meta.h"

enum versioning_state { VERSIONING_OFF = 0, VERSIONING_ENABLED = 1, VERSIONING_SUSPENDED = 2 };
// The bucket's versioning, from its kept versioning configuration (store/config_store): OFF
// when it was never set.
int bucket_versioning(const char *bucket);

// 1 when vid is one this store can have given: "null" or 32 lower-case hex digits.
int version_id_valid(const char *vid);

constexpr size_t S3_VBASE_CAP = 40;  // a base, NUL included
// The base of a version of time stamp_ns: with tail's 16 hex digits, or "null" when null is 1.
void version_base(int64_t stamp_ns, uint64_t tail, int null, char out[S3_VBASE_CAP]);

// root/.s3meta/.versions/<bucket>/<stored segments of key> into out. 0 / -1.
int versions_dir(const char *bucket, const char *key, char out[S3_FS_PATH]);
// root/.s3meta/.versions/<bucket>. 0 / -1.
int versions_bucket_dir(const char *bucket, char out[S3_FS_PATH]);

// One entry of a key's kept versions.
struct kept_version {
  char base[S3_VBASE_CAP];
  int marker;  // 1 for a delete marker
};
// The kept versions of the key whose area is dir that sort after `after` (a base; "" for the
// first), newest first: at most cap into out, *more 1 when others followed. Memory is cap
// entries whatever the number of versions. Returns the count.
size_t versions_scan(const char *dir, const char *after, kept_version *out, size_t cap, int *more);
// The id a base names ("null" for a null one) into vid.
void version_id_of_base(const char *base, char vid[S3_VID_CAP]);
// The base of the kept version vid of the area dir: 1 found (with *marker), 0 not.
int versions_find(const char *dir, const char *vid, char base[S3_VBASE_CAP], int *marker);
// The time (ns) a base names.
int64_t version_base_time(const char *base);
// dir + "/.quillmar-v-" + base + suffix into out. 0 / -1.
int version_file(const char *dir, const char *base, const char *suffix, char out[S3_FS_PATH]);

// The id of the current version whose data status is id and whose record read gave rec_vid
// (has_meta 1 when the record was that version's): its recorded id, "null" for a record
// without one; for data without its record (a crash between a commit's moves), the record kept
// in the area for that data when there is one (then loaded into the caller's buffers via
// meta_load_version_at by the caller), else the base its status names.
void current_version_id(const plat_file_id *id, int has_meta, const char *rec_vid,
                        char vid[S3_VID_CAP]);

// Under the key's lock: keeps the current version at path (record at mpath) in the area as a
// noncurrent one, unless it is already there. keep_null 0 drops a current "null" version
// instead (a suspended bucket's write replaces it). 0 (also with nothing in place), -1.
int versions_keep_current(const char *bucket, const char *key, const char *path,
                          const char *mpath, int keep_null);
// Under the key's lock: removes the kept version of id "null" (data, record or marker). 0 / -1.
int versions_drop_null(const char *dir);
// Under the key's lock: adds a delete marker newer than after_ns; its id into vid (null 1: the
// "null" marker). 0 / -1.
int versions_add_marker(const char *bucket, const char *key, int64_t after_ns, int null,
                        char vid[S3_VID_CAP]);
// Under the key's lock: removes the kept version base of dir, its data before its record. 0/-1.
int versions_remove_kept(const char *dir, const char *base);
// Under the key's lock, with no current version at path: makes the newest kept version the
// current one when it is no marker (the plain file comes back with its record). 0, -1.
// With replace 1 the current at path is replaced in the same move (it is being removed).
int versions_promote_newest(const char *bucket, const char *key, const char *path,
                            const char *mpath, int replace);
// 1 when the bucket has any kept version or marker, 0 not, -1 could not be told.
int versions_any(const char *bucket);
// Removes the bucket's area (the bucket is being deleted).
void versions_remove_bucket(const char *bucket);
// The bytes of the bucket's kept (noncurrent) versions, over its first key_cap keys that have
// any, into *bytes.
void versions_kept_bytes(const char *bucket, size_t key_cap, uint64_t *bytes);
