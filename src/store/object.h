// Objects as the store keeps them: a data file under the bucket directory and its metadata
// record, stored, removed and read as one so that a reader never pairs one version's bytes
// with another version's record.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/platform.h"
#include "store/meta.h"

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
  content_headers content;                // Cache-Control and the rest; "" when not recorded
  part_lookup parts;                      // the part layout; count 0 when none is trusted
  record_sums sums;                       // the recorded checksums; algo CK_NONE when none
  uint32_t tag_count;                     // tags the record holds
  char version_id[S3_VID_CAP];            // "" in a bucket that never had versioning
  int delete_marker;                      // 1 when the version asked for is a delete marker
  plat_file_id id;                        // the data's status as read
};

// A conditional write: what the object a commit would replace must be like. The test is made
// under the commit's locks, so of two racing conditional writes only one can find the key
// free, and none replaces a version it did not mean to.
constexpr size_t S3_IF_MATCH_CAP = 1024;  // an If-Match entity-tag list, NUL included
struct commit_condition {
  int if_none_match;                // If-None-Match: *: only when no object holds the key
  char if_match[S3_IF_MATCH_CAP];   // If-Match: "*" or entity tags, one of which the current
                                    // object's ETag must be ("" when not given)
};
// object_commit's verdicts besides 0 and -1; in both the temporary file has been removed and
// the stored object is as it was.
constexpr int COMMIT_PRECONDITION_FAILED = 2;  // an object exists, or its ETag is not listed
constexpr int COMMIT_NO_OBJECT = 3;            // If-Match, and no object holds the key
constexpr int COMMIT_SLOW_DOWN = 4;  // the bucket lock was not granted in time, or the object
                                     // kept changing while its ETag was computed: try later
constexpr int COMMIT_NO_BUCKET = 6;  // the bucket was deleted while the body arrived
// The result of a read, a removal or a bucket removal whose bucket lock was not granted in time.
constexpr int STORE_BUSY = -2;

// Moves the finished temporary file tmp onto bucket/key and records the new version's
// metadata: content type, ETag, and the x-amz-meta-* lines and content headers of the header
// block head (a request head, or lines in that form; head may be null). With cond, only when
// the object in place meets it. 0 when data and record are in place; -1 when not, or
// a verdict COMMIT_*, with tmp removed and an earlier object of that key left as it was. Data
// and record reach the disk before they are moved, the data first; a record that cannot be
// written or flushed fails the commit; one that cannot be moved after the data fails it too,
// with the new data in place and no trusted record (it reads as a version stored without one).
// parts, when given, is recorded as the object's part layout.
// sum and part_sums, when given, are recorded as the new version's checksums.
int object_commit(const char *tmp, const char *bucket, const char *key, const char *etag,
                  const char *content_type, const char *head, size_t head_len,
                  const commit_condition *cond = nullptr, const part_layout *parts = nullptr,
                  const record_checksum *sum = nullptr, const part_checksums *part_sums = nullptr,
                  char *vid_out = nullptr);
// object_commit for a caller that holds the key's file path already (object_path of bucket
// and key), so that a store's path is worked out once per write.
int object_commit_at(const char *tmp, const char *path, const char *bucket, const char *key,
                     const char *etag, const char *content_type, const char *head,
                     size_t head_len, const commit_condition *cond, const part_layout *parts,
                     const record_checksum *sum = nullptr,
                     const part_checksums *part_sums = nullptr, char *vid_out = nullptr);
// vid_out (S3_VID_CAP bytes), when given, receives the new version's id in a versioned bucket
// ("" in one that never had versioning).

// Removes bucket/key and its metadata record. 0 removed, 1 there was no such object (nothing,
// or a directory that holds other keys), -1 the file could not be removed; its record then
// stays too; STORE_BUSY, with nothing removed.
int object_remove(const char *bucket, const char *key);

// Removals answered together (DeleteObjects), none of them waiting for the device to take
// back the file's space (a file system mounted with discard waits for the device on every
// unlink that frees a file). Under each key's locks its file and record are unlinked while
// this batch holds them open, where the platform allows it, so that their space goes back only
// when remove_batch_end closes them; otherwise (no handle to spare, or Windows) they are moved
// into this server's temporary folder, to be unlinked by remove_batch_end. Before the answer
// remove_batch_sync makes the removals durable with one sync of each folder that lost an
// entry. A process killed in between leaves nothing behind: the file system frees what was
// held open, and the next start's sweep removes what was moved.
constexpr int REMOVE_BATCH_DIRS = 16;  // folders remembered for one sync each
struct plat_file;
struct remove_batch {
  char trash[S3_FS_PATH];  // this server's temporary folder; "" when there is none (removals
                           // then unlink at once)
  uint64_t id;             // the moved files are <trash>/<id>-<n>.del, n from 0 to moved
  uint32_t moved;
  int dir_count;
  char (*dirs)[S3_FS_PATH];  // REMOVE_BATCH_DIRS of them, on the heap
  plat_file **held;          // removed files still open, on the heap (null: none are held)
  uint32_t held_count, held_cap;
};
void remove_batch_begin(remove_batch *b);
// object_remove's results, the removal made as described above.
int object_remove_batched(remove_batch *b, const char *bucket, const char *key);
void remove_batch_sync(remove_batch *b);
void remove_batch_end(remove_batch *b);

// Takes the view of bucket/key for a read. 0 with *out filled (release it with
// object_release); -1 when the key holds no object (missing, a directory, a path too long, or
// anything but a regular file); STORE_BUSY.
// want_part, when not 0, is the part whose place the layout is asked for. A layout is trusted
// only when its parts add up to the data and their count is the one the ETag names.
// page, when given, asks for a page of part sizes and checksums (its after, cap, sizes and
// values go into out->sums before the record is read).
// path, when given, is the key's file path as object_path gives it (worked out once per read).
int object_snapshot(const char *bucket, const char *key, object_view *out,
                    uint32_t want_part = 0, const record_sums *page = nullptr,
                    const char *path = nullptr);
void object_release(object_view *v);
// A read of one version of bucket/key: vid "" or the current one's id reads as object_snapshot;
// another reads the kept version (path, when given, as for object_snapshot). 0 read; -1 no
// such key or version; VERSION_IS_MARKER with
// out->version_id and out->delete_marker set; STORE_BUSY.
constexpr int VERSION_IS_MARKER = 7;
int object_snapshot_version(const char *bucket, const char *key, const char *vid,
                            object_view *out, uint32_t want_part = 0,
                            const record_sums *page = nullptr, tag_set *tags = nullptr,
                            const char *path = nullptr);
// The current state of a key with no current version in a versioned bucket: 1 when its newest
// kept version is a delete marker (its id into vid), 0 otherwise.
int object_current_marker(const char *bucket, const char *key, char vid[S3_VID_CAP]);
// DeleteObject in a versioned bucket (or with a version id): vid "" adds a delete marker
// (its id into out_vid, *is_marker 1); a version id removes that version for good (a current
// one gives its place to the newest kept one). 0, -1, STORE_BUSY.
int object_delete_version(const char *bucket, const char *key, const char *vid,
                          char out_vid[S3_VID_CAP], int *is_marker);
// The id of the current version of bucket/key whose data file is path, as a listing shows it
// (no lock taken); "" when there is none.
void object_current_id(const char *bucket, const char *key, const char *path,
                       char vid[S3_VID_CAP]);
// A kept version's size, time (seconds) and ETag as a listing shows them; 0, -1 gone.
int kept_version_info(const char *dir, const char *base, char *etag, size_t cap,
                      uint64_t *size, int64_t *mtime);
// object_snapshot that also reads the version's tags into tags (emptied first).
int object_snapshot_tagged(const char *bucket, const char *key, object_view *out, tag_set *tags);

// Replaces the tags of bucket/key (null or an empty set removes them) by rewriting its record
// with everything else kept; the data is not touched. 0 done, COMMIT_NO_OBJECT when the key
// holds no object, COMMIT_SLOW_DOWN when the bucket lock was not granted in time or the object
// kept changing, -1 when the record could not be rewritten (the earlier one then stays).
int object_set_tags(const char *bucket, const char *key, const tag_set *tags);

// Releases a view on every way out of a read.
struct object_view_guard {
  object_view v;
  object_view_guard() { v.data = nullptr; }
  ~object_view_guard() { object_release(&v); }
  object_view_guard(const object_view_guard &) = delete;
  object_view_guard &operator=(const object_view_guard &) = delete;
};

// The ETag a listing shows for bucket/key, whose data file is path: the recorded one when the
// record belongs to the data's version (as a read takes it), else the MD5 of the data, computed
// once per file version and then kept in a bounded cache; "0" * 32 when the file cannot be
// read. Never writes to the store. out holds cap bytes; a record too long for it is not used.
// size and mtime (seconds), when given, are set to that same version's, so that one entry
// never shows two versions; a file gone meanwhile leaves them as the caller's walk saw them.
void object_list_etag(const char *bucket, const char *key, const char *path, char *out,
                      size_t cap, uint64_t *size = nullptr, int64_t *mtime = nullptr);

// Removes what the store keeps about a deleted bucket beside its directory: the metadata
// records of its objects and its multipart uploads in progress.
void bucket_remove_records(const char *bucket);

// The bucket lock: a lock file under the metadata tree, so it holds between processes sharing
// one storage root as well as between threads. Writes (commits, removals, parts, uploads
// begun) hold it shared for their short step; CreateBucket and DeleteBucket exclusively, the
// latter across its emptiness test and removal; no commit therefore lands in a bucket that is
// being deleted, and none re-creates a deleted bucket. Reads take no lock: they check that a
// record names the version of the data they opened.
struct bucket_lock_guard {
  plat_file_lock l;
  // create: make the lock file when it is missing (only for a bucket that exists).
  bucket_lock_guard(const char *bucket, int exclusive, int create);
  // A wait for the lock is bounded (PLAT_LOCK_WAIT_MS); timed_out() then tells it apart from a
  // lock file that cannot be used.
  ~bucket_lock_guard() { plat_file_lock_release(&l); }
  int held() const { return l.fd >= 0; }
  int timed_out() const { return l.fd < 0 && l.timed_out; }
  bucket_lock_guard(const bucket_lock_guard &) = delete;
  bucket_lock_guard &operator=(const bucket_lock_guard &) = delete;
};

// The key lock: one of KEY_LOCK_STRIPES lock files per bucket, chosen by the key's hash, under
// the metadata tree. A commit or removal of a key holds it exclusively (after the shared bucket
// lock) across its condition test, its moves and its record; a read takes it, shared, only when
// a record and its data kept disagreeing, to tell a commit in progress from a record that a
// crash left behind. Two keys that share a stripe only wait for each other.
constexpr unsigned KEY_LOCK_STRIPES = 256;
struct key_lock_guard {
  plat_file_lock l;
  key_lock_guard(const char *bucket, const char *key, int exclusive);
  ~key_lock_guard() { plat_file_lock_release(&l); }
  int held() const { return l.fd >= 0; }
  int timed_out() const { return l.fd < 0 && l.timed_out; }
  key_lock_guard(const key_lock_guard &) = delete;
  key_lock_guard &operator=(const key_lock_guard &) = delete;
};

// Creates the directories between bucket and key inside the existing bucket directory; the
// bucket directory itself is never created. 0 done, 1 the bucket directory is missing, -1 a
// level could not be made or is a symbolic link or a file.
int object_make_dirs(const char *bucket, const char *key);
// Moves every object stored where bucket/key needs a directory ("a" for "a/b") into that
// directory as its S3_DIR_OBJECT, data and record, under the exclusive bucket lock (taken
// here unless locked is 1, when the caller holds it). 0, also when nothing was in the way;
// -1 a move failed or the lock was not granted.
int object_make_room(const char *bucket, const char *key, int locked);
// 1 when an object is stored where bucket/key needs a directory (object_make_room would move
// it), or a move a kill cut short left an object on the key's way that object_make_room puts
// back first; 0 otherwise.
int object_room_needed(const char *bucket, const char *key);
// Puts back, under bucket's exclusive lock (taken here), every object that a move cut short
// by a kill left in the moving folder of dir, a directory of the bucket's data or record tree.
// 0 when no moving folder is left there, -1 otherwise (the lock was not granted, or an entry
// stays because its key holds an object stored since, or a file holds the folder's name).
int object_moves_repair(const char *bucket, const char *dir);
// The same for a caller that holds the bucket's exclusive lock.
int object_moves_repair_held(const char *dir);
// object_make_dirs for the key's file path as object_path gives it.
int object_make_key_dirs(const char *bucket, const char *path);

// 1 when no directory of path below the first `from` characters is a symbolic link (levels
// that do not exist yet pass), 0 otherwise. first_is_dir, when given, is set to 1 when the
// first of those levels is a directory (a key's bucket, for a key's path).
int path_levels_plain(const char *path, size_t from, int *first_is_dir = nullptr);

// DeleteObject under If-Match (a list of entity tags, or "*"): object_remove's results, or
// COMMIT_PRECONDITION_FAILED when the object there is not one the list names, or
// COMMIT_NO_OBJECT when there is none. The test and the removal are one step under the locks.
int object_remove_if_match(const char *bucket, const char *key, const char *if_match);

// DeleteBucket's store step, under the exclusive bucket lock: 0 the bucket and its records are
// gone, 1 it still holds an object, 2 there is no such bucket (deleted meanwhile), -1 it could
// not be checked or removed (a link in its place), STORE_BUSY.
int bucket_delete(const char *bucket);
