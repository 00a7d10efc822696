// Objects as the store keeps them: the bucket and commit locks that pair each data file with its
// metadata record, and the store, remove and read steps that take them.
//
// The locks are held only for the short steps that touch both files (two moves, a removal of
// both, a status + open + record read), never while a body is received or sent, and never
// across a sleep: a move that meets a busy destination drops them before it waits. The data and
// the record are flushed to disk before any lock is taken.
// Readers then always see the record of the version whose data they opened, also while several
// clients (or several server processes on one root) store the same key.
//
// Symbolic links inside the storage root are never followed: every directory level between the
// root and an object or record is checked with a status call that does not follow links, and
// the files themselves are opened without following one.
#include "store/object.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "digest/hash.h"
#include "base/state.h"
#include "base/text.h"
#include "store/bucket_tags.h"
#include "store/config_store.h"
#include "store/cors_store.h"
#include "store/etag_cache.h"
#include "store/files.h"
#include "store/layout.h"
#include "store/meta.h"
#include "store/names.h"
#include "store/sweep.h"
#include "store/tags.h"
#include "store/temp_names.h"
#include "store/versions.h"
#include "store/walk.h"

namespace {

constexpr int MOVE_ATTEMPTS = 200;  // a destination held open elsewhere: about a second
constexpr int MOVE_PAUSE_MS = 5;

// Removes root/<tree>/bucket with everything in it; a missing one is fine.
void remove_bucket_tree(const char *tree, const char *bucket) {
  char path[S3_FS_PATH];
  int n = snprintf(path, sizeof path, "%s/%s/%s", s_storage_root, tree, bucket);
  if (n > 0 && (size_t)n < sizeof path) delete_dir_recursive(path);
}

// Forces the bytes of a finished temporary file to disk, so that once it replaces an object no
// crash can leave the object short. 0, or -1 with the handle closed.
int flush_temp(plat_file_guard *data) {
  if (data->f && plat_file_sync(data->f) == 0) return 0;
  if (data->f) plat_file_close(data->release());
  return -1;
}

// The time a commit gives both its data file and its record: now, and later than the record it
// replaces, even in the same clock tick or after the clock was set back. Records name the
// version they belong to; the order still lets a record written before they did be judged by
// its time (meta_load_version), so a crash between the two moves leaves new data with an old
// record that nobody trusts.
int64_t commit_stamp(const char *bucket, const char *key) {
  int64_t now = plat_time_now_ns();
  int64_t prev = 0;
  if (meta_mtime_ns(bucket, key, &prev) == 0 && prev >= now) now = prev + 1;
  return now;
}

// Makes a move into path's directory durable; a failure costs durability, never consistency.
void sync_parent(const char *path) {
  const char *slash = strrchr(path, '/');
  if (!slash || slash == path) return;
  char dir[S3_FS_PATH];
  if (copy_text_n(dir, sizeof dir, path, (size_t)(slash - path)) == 1) plat_dir_sync(dir);
}

// root/.s3meta/.lock/bucket: a name no bucket's records can take, as bucket names never begin
// with ".". Lock files are never removed; removing one while another handle waits on it would
// let two holders lock two different files.
int lock_file_path(const char *bucket, char out[S3_FS_PATH]) {
  int n = snprintf(out, S3_FS_PATH, "%s/.s3meta/.lock/%s", s_storage_root, bucket);
  return (n > 0 && (size_t)n < S3_FS_PATH) ? 0 : -1;
}

// 1 when the bucket's lock file exists.
int lock_file_present(const char *bucket) {
  char path[S3_FS_PATH];
  plat_stat_t st;
  return lock_file_path(bucket, path) == 0 && plat_lstat(path, &st) == 0;
}

// 1 when the bucket directory exists as a real directory (not a link).
int bucket_dir_present(const char *bucket) {
  char dir[S3_FS_PATH];
  plat_stat_t st;
  return object_path(bucket, nullptr, dir) == 0 && plat_lstat(dir, &st) == 0 && st.is_dir;
}

// The root's length: levels below it are checked for links, the root itself may be one.
size_t root_len() { return strlen(s_storage_root); }

// 1 when the record of bucket/key can be used: its path fits and no level of it is a link.
int meta_usable(const char *bucket, const char *key) {
  char mpath[S3_FS_PATH];
  return meta_path(bucket, key, mpath) == 0 && path_levels_plain(mpath, root_len());
}

// 1 when the entity-tag list holds etag anywhere ("*" holds every one): quotes, lists and weak
// prefixes around it do not matter, as for conditional reads.
int etag_listed(const char *list, const char *etag) {
  return strcmp(list, "*") == 0 || (etag[0] && strstr(list, etag) != nullptr);
}

// The MD5 of the version in an If-Match write's place, for an object without a trusted record
// (one stored by other means), computed before any lock is taken: hashing a large file under
// the locks would hold every read of the bucket, and through the process lock every other
// bucket, for as long as the disk needs.
struct prior_hash {
  int have;  // 1 when md5 is the content of the version id names
  plat_file_id id;
  char md5[33];
};

// A commit attempt's verdict when the version in place is not the one hashed: hash again.
constexpr int ATTEMPT_REHASH = 5;
// An attempt that met an object where the key needs a directory: make room, then try again.
constexpr int ATTEMPT_MAKE_ROOM = 100;
constexpr int REHASH_ATTEMPTS = 3;  // an object rewritten on every try is answered "try later"

// The trusted record's ETag of the version id of bucket/key, into etag ("" when none).
void record_etag(const char *bucket, const char *key, const plat_file_id *id,
                 char etag[S3_ETAG_CAP]) {
  etag[0] = 0;
  if (!meta_usable(bucket, key)) return;
  char ctype[S3_CTYPE_CAP] = "";
  char user[S3_USER_META_CAP] = "";
  meta_load_version(bucket, key, id, ctype, etag, S3_ETAG_CAP, user);
}

// The MD5 of the data at path while it is the version id, taken before any lock (a whole
// file's read must never hold one); "" when the file changed or could not be read.
void hash_version(const char *path, const plat_file_id *id, char hex[33]) {
  hex[0] = 0;
  if (etag_cache_get(id, hex)) return;
  char md5[33];
  plat_file_id after;
  if (md5_file(path, md5) != 0 || plat_file_identity(path, &after) != 0 ||
      !etag_same_version(id, &after))
    return;
  etag_cache_put(id, md5);
  copy_text(hex, 33, md5);
}

// Outside the locks: hashes the version at path when an If-Match test will need its bytes.
void hash_prior_version(const commit_condition *cond, const char *bucket, const char *key,
                        const char *path, prior_hash *p) {
  p->have = 0;
  if (!cond || !cond->if_match[0] || plat_file_identity(path, &p->id) != 0) return;
  char etag[S3_ETAG_CAP];
  record_etag(bucket, key, &p->id, etag);
  if (etag[0]) return;
  hash_version(path, &p->id, p->md5);
  p->have = p->md5[0] != 0;
}

// The ETag of the object at path, as a read would answer it, under the locks: the trusted
// record's, else the MD5 hashed beforehand when the version is still the one hashed. 0, -1
// when the data cannot be read, or ATTEMPT_REHASH.
int current_etag(const char *bucket, const char *key, const char *path, const prior_hash *prior,
                 char etag[S3_ETAG_CAP]) {
  plat_file_id now;
  if (plat_file_identity(path, &now) != 0) return -1;
  record_etag(bucket, key, &now, etag);
  if (etag[0]) return 0;
  if (!prior->have || !etag_same_version(&prior->id, &now)) return ATTEMPT_REHASH;
  copy_text(etag, S3_ETAG_CAP, prior->md5);
  return 0;
}

// The conditional write's test of what holds the key now, under the commit's locks: 0 the
// commit may go on, else its COMMIT_* verdict (or ATTEMPT_REHASH).
int check_condition(const commit_condition *cond, const char *bucket, const char *key,
                    const char *path, const prior_hash *prior) {
  if (!cond || (!cond->if_none_match && !cond->if_match[0])) return 0;
  plat_stat_t st;
  int exists = plat_lstat(path, &st) == 0 && !st.is_dir && !st.is_link;
  if (!exists) return cond->if_match[0] ? COMMIT_NO_OBJECT : 0;
  if (cond->if_none_match) return COMMIT_PRECONDITION_FAILED;
  char etag[S3_ETAG_CAP];
  int rc = current_etag(bucket, key, path, prior, etag);
  if (rc != 0) return rc;
  return etag_listed(cond->if_match, etag) ? 0 : COMMIT_PRECONDITION_FAILED;
}

// One attempt at moving the flushed data (tmp, open as data) onto path and publishing its
// drafted record, under the bucket lock and the process lock. Both get the same time stamp.
// 0 done, -1 failed, 1 the destination is busy or its folder missing for a moment (try again
// later), or the condition's COMMIT_* verdict. *drafted turns from 0 to 1 once the record is in place (-1 when
// publishing it failed).
int commit_attempt(const char *tmp, const char *path, const char *bucket, const char *key,
                   int64_t stamp, meta_draft *record, int *drafted, const commit_condition *cond,
                   const prior_hash *prior, int vstate) {
  bucket_lock_guard held(bucket, 0, 1);
  if (held.timed_out()) return COMMIT_SLOW_DOWN;
  if (!held.held()) return -1;
  // An object stored where this key needs a directory (a level above it): the move into that
  // directory takes the bucket's lock exclusively, so it is made outside this attempt.
  if (object_room_needed(bucket, key)) return ATTEMPT_MAKE_ROOM;
  // A bucket deleted while the body arrived stays deleted: its directory is never made here.
  int dirs = object_make_key_dirs(bucket, path);
  if (dirs == 1) return COMMIT_NO_BUCKET;
  // A folder another server made or emptied a moment ago on a shared file system: tried again
  // after a pause, as a busy destination is.
  if (dirs != 0) return 1;
  if (!meta_usable(bucket, key)) return -1;
  key_lock_guard key_held(bucket, key, 1);
  if (key_held.timed_out()) return COMMIT_SLOW_DOWN;
  if (!key_held.held()) return -1;
  // A directory that took the object's place since its path was found (a key below it was
  // stored): the object lives inside it.
  char inner[S3_FS_PATH];
  const char *tail = strrchr(path, '/');
  if (is_directory(path) && !(tail && strcmp(tail + 1, S3_DIR_OBJECT) == 0) &&
      snprintf(inner, sizeof inner, "%s/%s", path, S3_DIR_OBJECT) < int(sizeof inner))
    path = inner;
  int verdict = check_condition(cond, bucket, key, path, prior);
  if (verdict != 0) return verdict;
  // A versioned bucket keeps the version being replaced, under a second name in its area,
  // before the move: a kill then leaves it in both places at worst, never in none. A
  // suspended one replaces the "null" version, wherever it lies.
  if (vstate != VERSIONING_OFF) {
    char mpath[S3_FS_PATH], vdir[S3_FS_PATH];
    if (meta_path(bucket, key, mpath) != 0 || versions_dir(bucket, key, vdir) != 0) return -1;
    if (versions_keep_current(bucket, key, path, mpath, vstate == VERSIONING_ENABLED) != 0)
      return -1;
    if (vstate == VERSIONING_SUSPENDED && versions_drop_null(vdir) != 0) return -1;
  }
  plat_err err = PLAT_OK;
  if (plat_rename_replace(tmp, path, &err) != 0)
    return err == PLAT_ERR_BUSY || err == PLAT_ERR_NOT_FOUND ? 1 : -1;
  if (*drafted == 0) *drafted = meta_draft_publish(record, stamp) == 0 ? 1 : -1;
  return 0;
}

}  // namespace

key_lock_guard::key_lock_guard(const char *bucket, const char *key, int exclusive) {
  l.fd = -1;
  l.timed_out = 0;
  // FNV-1a of the key picks the stripe; the lock files are never removed, as bucket locks.
  uint64_t h = 1469598103934665603ull;
  for (const char *p = key ? key : ""; *p; p++) h = (h ^ (unsigned char)*p) * 1099511628211ull;
  char path[S3_FS_PATH];
  if (!plain_bucket_name(bucket)) return;
  int n = snprintf(path, sizeof path, "%s/.s3meta/.keylock/%s/%02x", s_storage_root, bucket,
                   (unsigned)(h % KEY_LOCK_STRIPES));
  if (n <= 0 || (size_t)n >= sizeof path) return;
  if (plat_file_lock_take(path, exclusive, 1, &l) == 0 || l.timed_out) return;
  mkdir_parent(path);
  plat_file_lock_take(path, exclusive, 1, &l);
}

bucket_lock_guard::bucket_lock_guard(const char *bucket, int exclusive, int create) {
  l.fd = -1;
  l.timed_out = 0;
  char path[S3_FS_PATH];
  if (!plain_bucket_name(bucket) || lock_file_path(bucket, path) != 0) return;
  if (plat_file_lock_take(path, exclusive, create, &l) == 0 || !create || l.timed_out) return;
  // First use on this root: make the lock directory and try once more.
  mkdir_parent(path);
  plat_file_lock_take(path, exclusive, create, &l);
}

int path_levels_plain(const char *path, size_t from, int *first_is_dir) {
  if (first_is_dir) *first_is_dir = 0;
  size_t len = strlen(path);
  if (len >= S3_FS_PATH || from > len) return 0;
  char buf[S3_FS_PATH];
  memcpy(buf, path, len + 1);
  int first = 1;
  for (size_t i = from + 1; i < len; i++) {
    // Each level once: an empty level ("a//b") is the one before it again.
    if (buf[i] != '/' || buf[i - 1] == '/') continue;
    buf[i] = 0;
    plat_stat_t st;
    int found = plat_lstat(buf, &st) == 0;
    buf[i] = '/';
    if (found && st.is_link) return 0;
    if (first && first_is_dir) *first_is_dir = found && st.is_dir;
    first = 0;
  }
  return 1;
}

// ---------------------------------------------------------------- objects beside keys below them

namespace {

// The folder an object passes through while it moves between "a" and "a/" S3_DIR_OBJECT,
// beside "a" and under "a"'s own name, made and removed under the exclusive bucket lock. The
// name says which key the object is: a kill at any step leaves it whole in one of its two
// places or in this folder, and moves_repair puts it back under its key.
constexpr char MOVING_NAME[] = S3_MOVING_FOLDER;
// Entries put back by one repair; a folder holds one entry per move a kill cut short.
constexpr int REPAIR_ENTRIES_MAX = 4096;

// dir + "/" + name into out; 0 / -1.
int join_name(const char *dir, const char *name, char out[S3_FS_PATH]) {
  int n = snprintf(out, S3_FS_PATH, "%s/%s", dir, name);
  return n > 0 && size_t(n) < S3_FS_PATH ? 0 : -1;
}

// path's parent into dir and its last name into name; 0 / -1.
int split_last(const char *path, char dir[S3_FS_PATH], char name[S3_NAME_SLOT]) {
  const char *slash = strrchr(path, '/');
  if (!slash || slash == path) return -1;
  if (copy_text_n(dir, S3_FS_PATH, path, size_t(slash - path)) != 1) return -1;
  return copy_text(name, S3_NAME_SLOT, slash + 1) == 1 && name[0] ? 0 : -1;
}

// 1 when path is a regular file of its own, not a directory or a link.
int is_plain_file(const char *path) {
  plat_stat_t st;
  return plat_lstat(path, &st) == 0 && !st.is_dir && !st.is_link;
}

// Where the entry name of dir's moving folder belongs, into dst: dir/name when nothing holds
// that name (a move cut short before its object reached the new place, or one out of a
// directory cut short after the directory went), dir/name/S3_DIR_OBJECT when dir/name is a
// directory without its object (a move into it cut short after the directory was made, or one
// out of it cut short before the directory went). 1 with dst set; 0 when the key holds an
// object stored since, which stays as it is; -1 when the paths do not fit.
int leftover_place(const char *dir, const char *name, char dst[S3_FS_PATH]) {
  if (join_name(dir, name, dst) != 0) return -1;
  plat_stat_t st;
  if (plat_lstat(dst, &st) != 0) return 1;
  if (!st.is_dir || st.is_link) return 0;
  char inner[S3_FS_PATH];
  if (join_name(dst, S3_DIR_OBJECT, inner) != 0) return -1;
  if (plat_lstat(inner, &st) == 0) return 0;
  memcpy(dst, inner, strlen(inner) + 1);
  return 1;
}

// The first entry of dir's moving folder (path moving) that can be put back, into name; 1
// found, 0 none.
int first_leftover(const char *dir, const char *moving, char name[S3_NAME_SLOT],
                   char dst[S3_FS_PATH]) {
  plat_dir *d = plat_dir_open(moving);
  if (!d) return 0;
  int is_dir = 0, found = 0;
  while (!found && plat_dir_next(d, name, S3_NAME_SLOT, &is_dir) == 1)
    found = leftover_place(dir, name, dst) == 1;
  plat_dir_close(d);
  return found;
}

// 1 when dir's moving folder holds an entry that moves_repair would put back.
int moves_pending(const char *dir) {
  char moving[S3_FS_PATH], name[S3_NAME_SLOT], dst[S3_FS_PATH];
  if (join_name(dir, MOVING_NAME, moving) != 0 || !is_directory(moving)) return 0;
  return first_leftover(dir, moving, name, dst);
}

// Puts every object a kill left in dir's moving folder back under its key, then removes the
// folder. Only under the exclusive bucket lock: no move is then under way, so what the folder
// holds is a crash's. An entry whose key holds an object stored since stays, and so does the
// folder. A file of the moving name (left by a kill in an older build, which named no key) is
// never touched. 0 when no moving folder is left, -1 otherwise.
int moves_repair(const char *dir) {
  char moving[S3_FS_PATH], name[S3_NAME_SLOT], held[S3_FS_PATH], dst[S3_FS_PATH];
  if (join_name(dir, MOVING_NAME, moving) != 0) return -1;
  plat_stat_t st;
  if (plat_lstat(moving, &st) != 0) return 0;
  if (!st.is_dir || st.is_link) return -1;
  int put_back = 0;
  for (int i = 0; i < REPAIR_ENTRIES_MAX && first_leftover(dir, moving, name, dst); i++) {
    plat_err err = PLAT_OK;
    if (join_name(moving, name, held) != 0 || plat_rename_replace(held, dst, &err) != 0) break;
    sync_parent(dst);
    put_back = 1;
  }
  // The objects are durable in their places before the folder's entries go.
  if (put_back) plat_dir_sync(moving);
  if (plat_rmdir(moving) != 0) return -1;
  plat_dir_sync(dir);
  return 0;
}

// Makes dir's moving folder for a move; 0, or -1 when it cannot be had (a file in its place).
int moving_folder_make(const char *dir, char moving[S3_FS_PATH]) {
  if (moves_repair(dir) != 0 && !is_directory(moving)) return -1;
  plat_mkdir(moving);  // "exists" when a superseded leftover kept it; the status decides
  if (!is_directory(moving)) return -1;
  plat_dir_sync(dir);
  return 0;
}

// Moves the object file at level into a directory of the same name, as level/S3_DIR_OBJECT,
// so that keys below it can be stored. The caller holds the exclusive bucket lock and the
// commit lock, so no read sees the moment between. Each step is made durable before the next,
// so a power cut leaves one of the states moves_repair knows. 0, or -1 with the file where it
// was.
int move_into_dir(const char *level) {
  char dir[S3_FS_PATH], name[S3_NAME_SLOT], moving[S3_FS_PATH], held[S3_FS_PATH];
  char inner[S3_FS_PATH];
  if (split_last(level, dir, name) != 0 || join_name(dir, MOVING_NAME, moving) != 0 ||
      join_name(moving, name, held) != 0 || join_name(level, S3_DIR_OBJECT, inner) != 0)
    return -1;
  if (moving_folder_make(dir, moving) != 0) return -1;
  plat_err err = PLAT_OK;
  if (plat_rename_replace(level, held, &err) != 0) {
    plat_rmdir(moving);
    return -1;
  }
  plat_dir_sync(moving);
  plat_dir_sync(dir);
  if (plat_mkdir(level) == 0 && plat_rename_replace(held, inner, &err) == 0) {
    plat_dir_sync(level);
    plat_dir_sync(moving);
    plat_rmdir(moving);
    plat_dir_sync(dir);
    return 0;
  }
  plat_rmdir(level);
  plat_rename_replace(held, level, &err);
  moves_repair(dir);
  return -1;
}

// Moves dir/S3_DIR_OBJECT back to dir's own place once dir holds nothing else, so that the
// object is a plain file again. Under the same locks as move_into_dir, through the same
// folder; a failure keeps the object where it was.
void move_out_of_dir(const char *level) {
  char dir[S3_FS_PATH], name[S3_NAME_SLOT], moving[S3_FS_PATH], held[S3_FS_PATH];
  char inner[S3_FS_PATH];
  if (split_last(level, dir, name) != 0 || join_name(dir, MOVING_NAME, moving) != 0 ||
      join_name(moving, name, held) != 0 || join_name(level, S3_DIR_OBJECT, inner) != 0 ||
      !is_plain_file(inner))
    return;
  plat_dir *d = plat_dir_open(level);
  if (!d) return;
  char entry[S3_NAME_SLOT];
  int is_dir = 0, others = 0;
  while (!others && plat_dir_next(d, entry, sizeof entry, &is_dir) == 1)
    others = strcmp(entry, S3_DIR_OBJECT) != 0;
  plat_dir_close(d);
  if (others || moving_folder_make(dir, moving) != 0) return;
  plat_err err = PLAT_OK;
  if (plat_rename_replace(inner, held, &err) != 0) {
    plat_rmdir(moving);
    return;
  }
  plat_dir_sync(moving);
  plat_dir_sync(level);
  if (plat_rmdir(level) == 0) {
    plat_dir_sync(dir);
    if (plat_rename_replace(held, level, &err) == 0) {
      plat_dir_sync(dir);
      plat_dir_sync(moving);
      plat_rmdir(moving);
      plat_dir_sync(dir);
      return;
    }
  }
  // Back into the directory, made again when it went: moves_repair knows the way.
  if (!is_directory(level)) plat_mkdir(level);
  moves_repair(dir);
}

// Every level of path below the first `from` characters that is a file (an object stored
// before keys below it) moves into its directory. 1 when one was met, then moved when move is
// 1; 0 when there was none; -1 a move failed.
int file_levels(const char *path, size_t from, int move) {
  char buf[S3_FS_PATH];
  if (copy_text(buf, sizeof buf, path) != 1) return -1;
  int met = 0;
  for (size_t i = from + 1; buf[i]; i++) {
    if (buf[i] != '/') continue;
    buf[i] = 0;
    int file = is_plain_file(buf);
    if (file) {
      met = 1;
      if (move && move_into_dir(buf) != 0) return -1;
    }
    buf[i] = '/';
  }
  return met;
}

// The directories of path from its first `from` characters (the tree's root for the bucket)
// down to its parent: 1 when one holds a moving folder a kill left with an entry to put back,
// which is put back when repair is 1 (under the exclusive bucket lock); 0 none.
int leftover_levels(const char *path, size_t from, int repair) {
  char buf[S3_FS_PATH];
  if (copy_text(buf, sizeof buf, path) != 1 || from >= strlen(buf)) return 0;
  int met = 0;
  for (size_t i = from; buf[i]; i++) {
    if (buf[i] != '/' || (i > from && buf[i - 1] == '/')) continue;
    buf[i] = 0;
    if (moves_pending(buf)) {
      met = 1;
      if (repair) moves_repair(buf);
    }
    buf[i] = '/';
  }
  return met;
}

}  // namespace

namespace {

// The data and record paths of bucket/key with the lengths of their trees' roots. 0 / -1;
// *have_meta 1 when the key has a record path.
int room_paths(const char *bucket, const char *key, char path[S3_FS_PATH], char meta[S3_FS_PATH],
               size_t *dl, size_t *ml, int *have_meta) {
  char dir[S3_FS_PATH];
  if (object_path(bucket, key, path) != 0 || object_path(bucket, nullptr, dir) != 0) return -1;
  *have_meta = meta_path(bucket, key, meta) == 0;
  char mdir[S3_FS_PATH];
  int n = snprintf(mdir, sizeof mdir, "%s/.s3meta/%s", s_storage_root, bucket);
  if (n <= 0 || size_t(n) >= sizeof mdir) return -1;
  *dl = strlen(dir);
  *ml = (size_t)n;
  return 0;
}

}  // namespace

int object_room_needed(const char *bucket, const char *key) {
  char path[S3_FS_PATH], meta[S3_FS_PATH];
  size_t dl = 0, ml = 0;
  int have_meta = 0;
  if (room_paths(bucket, key, path, meta, &dl, &ml, &have_meta) != 0) return 0;
  if (file_levels(path, dl, 0) != 0 || leftover_levels(path, dl, 0)) return 1;
  return have_meta && (file_levels(meta, ml, 0) != 0 || leftover_levels(meta, ml, 0));
}

int object_make_room(const char *bucket, const char *key, int locked) {
  char path[S3_FS_PATH], meta[S3_FS_PATH];
  size_t dl = 0, ml = 0;
  int have_meta = 0;
  if (room_paths(bucket, key, path, meta, &dl, &ml, &have_meta) != 0) return -1;
  if (!object_room_needed(bucket, key)) return 0;
  // Exclusively: commits hold the bucket's lock shared and readers look again under it, so no
  // one meets the object between its two places. A move a kill cut short on the key's way is
  // finished first, so that the object it held is kept (a version, in a versioned bucket)
  // before anything is stored in its place.
  if (!locked) {
    bucket_lock_guard held(bucket, 1, 1);
    if (!held.held()) return -1;
    return object_make_room(bucket, key, 1);
  }
  leftover_levels(path, dl, 1);
  if (have_meta) leftover_levels(meta, ml, 1);
  if (file_levels(path, dl, 1) < 0) return -1;
  return have_meta && file_levels(meta, ml, 1) < 0 ? -1 : 0;
}

namespace {

// settle_leftovers, handing back the data and record paths it looked at: 0 nothing was left
// over (the paths stand), 1 leftovers were met (the paths may have changed), -1 no paths.
int settle_leftovers_at(const char *bucket, const char *key, char path[S3_FS_PATH],
                        char meta[S3_FS_PATH], int *have_meta) {
  size_t dl = 0, ml = 0;
  *have_meta = 0;
  if (room_paths(bucket, key, path, meta, &dl, &ml, have_meta) != 0) return -1;
  if (!leftover_levels(path, dl, 0) && !(*have_meta && leftover_levels(meta, ml, 0))) return 0;
  bucket_lock_guard held(bucket, 1, 0);
  if (!held.held()) return 1;
  leftover_levels(path, dl, 1);
  if (*have_meta) leftover_levels(meta, ml, 1);
  return 1;
}

// A read that found no object, or one without its record, at bucket/key: a move a kill cut
// short on the key's way may hold it, which is put back under the exclusive bucket lock. The
// common case, no moving folder on the way, looks without any lock.
void settle_leftovers(const char *bucket, const char *key) {
  char path[S3_FS_PATH], meta[S3_FS_PATH];
  int have_meta = 0;
  (void)settle_leftovers_at(bucket, key, path, meta, &have_meta);
}

}  // namespace

int object_moves_repair(const char *bucket, const char *dir) {
  bucket_lock_guard held(bucket, 1, 1);
  if (!held.held()) return -1;
  return moves_repair(dir);
}

int object_moves_repair_held(const char *dir) { return moves_repair(dir); }

// 1 when path names an entry of the directory dir itself.
static int directly_below(const char *path, const char *dir) {
  size_t n = strlen(dir);
  return strncmp(path, dir, n) == 0 && path[n] == '/' && !strchr(path + n + 1, '/');
}

// After bucket/key's file at path was removed (the locks held): an object that moved into the
// directory that held it moves back once that directory holds nothing else, in both trees.
// 1 when the directory holding path also holds an object of its own (S3_DIR_OBJECT).
static int beside_inner_object(const char *path) {
  const char *slash = strrchr(path, '/');
  if (!slash) return 0;
  char inner[S3_FS_PATH];
  int n = snprintf(inner, sizeof inner, "%.*s/%s", int(slash - path), path, S3_DIR_OBJECT);
  return n > 0 && size_t(n) < sizeof inner && is_plain_file(inner);
}

static void settle_locked(const char *bucket, const char *key, const char *path);

// After bucket/key's file at path was removed, its locks released: when the directory that
// held it also holds an object that moved in, that object may move back, which takes the
// bucket's lock exclusively. The common case, no such object, looks without any lock.
static void settle_after_remove(const char *bucket, const char *key, const char *path) {
  // A bucket's own directory is no object's place: what was removed at the top of a tree
  // leaves nothing to move back there.
  char meta[S3_FS_PATH], top[S3_FS_PATH];
  int in_data = object_path(bucket, nullptr, top) == 0 && !directly_below(path, top) &&
                beside_inner_object(path);
  int mtop = snprintf(top, sizeof top, "%s/.s3meta/%s", s_storage_root, bucket);
  int in_meta = meta_path(bucket, key, meta) == 0 && mtop > 0 && size_t(mtop) < sizeof top &&
                !directly_below(meta, top) && beside_inner_object(meta);
  if (!in_data && !in_meta) return;
  bucket_lock_guard held(bucket, 1, 0);
  if (!held.held()) return;
  settle_locked(bucket, key, path);
}

static void settle_locked(const char *bucket, const char *key, const char *path) {
  char dir[S3_FS_PATH];
  if (object_path(bucket, nullptr, dir) != 0) return;
  char parent[S3_FS_PATH];
  const char *slash = strrchr(path, '/');
  size_t pl = slash ? size_t(slash - path) : 0;
  if (pl > strlen(dir) && copy_text_n(parent, sizeof parent, path, pl) == 1) move_out_of_dir(parent);
  char meta[S3_FS_PATH];
  if (meta_path(bucket, key, meta) != 0) return;
  // The record is gone: its place is where it was, with an inner name cut off.
  slash = strrchr(meta, '/');
  pl = slash ? size_t(slash - meta) : 0;
  char mroot[S3_FS_PATH];
  int n = snprintf(mroot, sizeof mroot, "%s/.s3meta/%s", s_storage_root, bucket);
  if (n > 0 && size_t(n) < sizeof mroot && pl > size_t(n) &&
      copy_text_n(parent, sizeof parent, meta, pl) == 1)
    move_out_of_dir(parent);
}

int object_make_dirs(const char *bucket, const char *key) {
  char path[S3_FS_PATH];
  if (object_path(bucket, key, path) != 0) return -1;
  return object_make_key_dirs(bucket, path);
}

int object_make_key_dirs(const char *bucket, const char *path_in) {
  if (!bucket_dir_present(bucket)) return 1;
  char dir[S3_FS_PATH];
  char path[S3_FS_PATH];
  if (object_path(bucket, nullptr, dir) != 0 || copy_text(path, sizeof path, path_in) != 1)
    return -1;
  size_t from = strlen(dir);
  size_t len = strlen(path);
  for (size_t i = from + 1; i < len; i++) {
    if (path[i] != '/' || path[i - 1] == '/') continue;
    path[i] = 0;
    plat_mkdir(path);  // "exists" is the usual failure; the status below decides
    plat_stat_t st;
    int ok = plat_lstat(path, &st) == 0 && st.is_dir;
    path[i] = '/';
    if (!ok) return -1;
  }
  return 0;
}

int object_commit(const char *tmp, const char *bucket, const char *key, const char *etag,
                  const char *content_type, const char *head, size_t head_len,
                  const commit_condition *cond, const part_layout *parts,
                  const record_checksum *sum, const part_checksums *part_sums, char *vid_out) {
  char path[S3_FS_PATH];
  if (object_path(bucket, key, path) != 0) {
    remove_file(tmp);
    return -1;
  }
  return object_commit_at(tmp, path, bucket, key, etag, content_type, head, head_len, cond,
                          parts, sum, part_sums, vid_out);
}

int object_commit_at(const char *tmp, const char *path, const char *bucket, const char *key,
                     const char *etag, const char *content_type, const char *head,
                     size_t head_len, const commit_condition *cond, const part_layout *parts,
                     const record_checksum *sum, const part_checksums *part_sums,
                     char *vid_out) {
  int moved = -1;
  if (vid_out) vid_out[0] = 0;
  const int vstate = bucket_versioning(bucket);
  // An object stored where this key needs a directory moves into it first, data and record,
  // so that the record's draft below has its directory.
  if (object_make_room(bucket, key, 0) != 0) {
    remove_file(tmp);
    return -1;
  }
  // The slow flushes happen before the locks. The record is written beside its place before
  // the data is flushed: the data's flush then commits the file system's journal with the
  // record's file in it, and the record's own flush has little left to do.
  plat_file_guard data(plat_file_open(tmp, PLAT_READ));
  meta_draft record;
  // The data gets its commit stamp now, and the record names the version the data's status
  // then shows (size, stamp, file number): a move keeps all three, so a reader can tell
  // whether a record it meets is this version's.
  int64_t stamp = commit_stamp(bucket, key);
  record_version version;
  version.present = 0;
  if (data.f && (plat_file_set_mtime_ns(data.f, stamp) != 0 ||
                 record_version_of(data.f, &version) != 0))
    plat_file_close(data.release());
  // The new version's id names its time and file number, which its data keeps in every place,
  // so that data whose record a kill kept from following it still has its id.
  char vid[S3_VID_CAP] = "";
  if (vstate == VERSIONING_ENABLED && version.present)
    version_base(version.mtime_ns, version.file_id, 0, vid);
  if (vstate == VERSIONING_SUSPENDED) copy_text(vid, sizeof vid, "null");
  int drafted = data.f ? meta_draft_write(&record, bucket, key, etag,
                                           content_type ? content_type : "", head, head_len,
                                           parts, sum, part_sums, &version, vid)
                       : -1;
  // A data flush that fails closes the data, and the unpublished draft goes below.
  if (flush_temp(&data) == 0 && drafted == 0) drafted = meta_draft_sync(&record);
  // Without its record on disk the new version would lose its ETag, content type and
  // metadata: the commit fails and the earlier object stays.
  if (drafted != 0 && data.f) plat_file_close(data.release());
  prior_hash prior;
  hash_prior_version(cond, bucket, key, path, &prior);
  // A destination that another holder keeps busy is retried for about a second, with every
  // lock dropped during the pauses; a version replaced after it was hashed is hashed again.
  int rehashed = 0;
  for (int attempt = 0; data.f && attempt < MOVE_ATTEMPTS; attempt++) {
    moved = commit_attempt(tmp, path, bucket, key, stamp, &record, &drafted, cond, &prior,
                           vstate);
    if (moved == ATTEMPT_REHASH) {
      if (++rehashed >= REHASH_ATTEMPTS) {
        moved = COMMIT_SLOW_DOWN;
        break;
      }
      hash_prior_version(cond, bucket, key, path, &prior);
      continue;
    }
    if (moved == ATTEMPT_MAKE_ROOM) {
      if (object_make_room(bucket, key, 0) != 0) {
        moved = -1;
        break;
      }
      continue;
    }
    if (moved != 1) break;
    plat_sleep_ms(MOVE_PAUSE_MS);
  }
  if (moved == ATTEMPT_MAKE_ROOM) moved = COMMIT_SLOW_DOWN;
  if (data.f) plat_file_close(data.release());
  if (drafted == 0) meta_draft_discard(&record);
  // The moves are made durable after the locks, so readers never wait for the disk. A power cut
  // must never keep the record's move without the data's (the new record would pass the old
  // data as current): journaling file systems keep moves in their order, and the data's
  // directory is synced first.
  if (moved == 0) sync_parent(path);
  if (drafted == 1) sync_parent(record.path);
  if (moved != 0) remove_file(tmp);
  if (moved == COMMIT_PRECONDITION_FAILED || moved == COMMIT_NO_OBJECT ||
      moved == COMMIT_SLOW_DOWN || moved == COMMIT_NO_BUCKET)
    return moved;
  // New data whose record could not follow it is no success to answer: its ETag, content type
  // and metadata are not what the client stored (it reads as a version without a record).
  if (moved == 0 && drafted == 1 && vid_out) copy_text(vid_out, S3_VID_CAP, vid);
  return moved == 0 && drafted == 1 ? 0 : -1;
}

namespace {

// Removed files held open by every batch at once: each costs a descriptor until its batch
// ends, so beyond this many a batch moves its files instead.
constexpr uint32_t HELD_OPEN_MAX = 4096;
uint32_t s_held_open = 0;  // changed only atomically

// The folder holding path into b's list of folders to sync; a full list is synced first.
void batch_note_dir(remove_batch *b, const char *path) {
  if (!b->dirs) return;
  const char *slash = strrchr(path, '/');
  if (!slash || slash == path) return;
  size_t n = size_t(slash - path);
  for (int i = 0; i < b->dir_count; i++)
    if (strlen(b->dirs[i]) == n && memcmp(b->dirs[i], path, n) == 0) return;
  if (b->dir_count == REMOVE_BATCH_DIRS) remove_batch_sync(b);
  if (copy_text_n(b->dirs[b->dir_count], S3_FS_PATH, path, n) == 1) b->dir_count++;
}

// Removes the file at path as remove_file does (never a directory): unlinked while the batch
// holds it open when it can, else moved into the batch's folder when it has one, else
// unlinked. remove_file's results.
int batch_remove_file(remove_batch *b, const char *path) {
  if (!b) return remove_file(path);
  if (b->held_count < b->held_cap && place_take(&s_held_open, HELD_OPEN_MAX)) {
    plat_err err = PLAT_OK;
    plat_file *f = plat_file_open_err(path, PLAT_READ, &err);
    if (f) {
      int rc = remove_file(path);
      if (rc == 0) {
        b->held[b->held_count++] = f;
        batch_note_dir(b, path);
        return 0;
      }
      plat_file_close(f);
      place_release(&s_held_open);
      return rc;
    }
    place_release(&s_held_open);
    if (err == PLAT_ERR_NOT_FOUND) return 1;
    // Not a regular file (a directory stays, a link is moved), or no handle to spare.
  }
  int rc;
  char dst[S3_FS_PATH];
  plat_stat_t st;
  // Without the folder, or without a status (nothing there, mostly), the unlink decides.
  if (!b->trash[0] || plat_lstat(path, &st) != 0) {
    rc = remove_file(path);
  } else {
    if (st.is_dir) return -1;
    if (snprintf(dst, sizeof dst, "%s/%llx-%u.del", b->trash, (unsigned long long)b->id,
                 (unsigned)b->moved) >= int(sizeof dst))
      return -1;
    plat_err err = PLAT_OK;
    if (plat_rename_replace(path, dst, &err) == 0) {
      b->moved++;
      rc = 0;
    } else if (err == PLAT_ERR_BUSY) {
      // A file another holder keeps from moving (Windows) goes as a single DELETE's would.
      rc = remove_file(path);
    } else {
      return err == PLAT_ERR_NOT_FOUND ? 1 : -1;
    }
  }
  if (rc == 0) batch_note_dir(b, path);
  return rc;
}

int remove_in(remove_batch *b, const char *bucket, const char *key) {
  // An object a kill left in the middle of a move is put back first, so that it is the one
  // removed, never one that comes back after the removal was answered.
  char path[S3_FS_PATH], mpath[S3_FS_PATH];
  int have_meta = 0;
  int settled = settle_leftovers_at(bucket, key, path, mpath, &have_meta);
  if (settled < 0 || (settled > 0 && object_path(bucket, key, path) != 0)) return -1;
  // Behind a link lies nothing of this store's, so no object to remove; nor is an upload's
  // temporary file one a client may remove.
  if (!path_levels_plain(path, root_len())) return 1;
  // Without the bucket lock the removal could split a commit's data from its record; a
  // bucket that never had a commit has no lock file yet, and nothing to race with.
  int removed;
  {
    bucket_lock_guard held(bucket, 0, 0);
    if (held.timed_out()) return STORE_BUSY;
    if (!held.held() && lock_file_present(bucket)) return -1;
    key_lock_guard key_held(bucket, key, 1);
    if (key_held.timed_out()) return STORE_BUSY;
    // No removal takes a directory. A key whose path is a directory (it holds other keys)
    // has no object of its own, like a missing one.
    removed = batch_remove_file(b, path);
    if (removed < 0 && is_directory(path)) return 1;
    // The record's path is taken under the locks, where no move between an object's two
    // places can change it.
    if (removed >= 0 && meta_path(bucket, key, mpath) == 0 &&
        path_levels_plain(mpath, root_len())) {
      if (!b)
        meta_remove(bucket, key);
      else
        (void)batch_remove_file(b, mpath);
    }
  }
  if (removed == 0) settle_after_remove(bucket, key, path);
  return removed;
}

std::atomic<uint64_t> s_batch_ids{0};

}  // namespace

int object_remove(const char *bucket, const char *key) { return remove_in(nullptr, bucket, key); }

void remove_batch_begin(remove_batch *b) {
  b->id = s_batch_ids.fetch_add(1, std::memory_order_relaxed);
  b->moved = 0;
  b->dir_count = 0;
  b->dirs = static_cast<char (*)[S3_FS_PATH]>(malloc(REMOVE_BATCH_DIRS * S3_FS_PATH));
  // A file and its record for each key of the largest request.
  b->held_count = 0;
  b->held_cap = 0;
  b->held = nullptr;
  if (b->dirs && plat_unlink_while_open()) {
    b->held = static_cast<plat_file **>(malloc(2 * S3_DELETE_MAX_KEYS * sizeof(plat_file *)));
    if (b->held) b->held_cap = 2 * S3_DELETE_MAX_KEYS;
  }
  // Without the list no sync could follow the moves: removals then unlink as one alone does.
  if (!b->dirs || temp_area_dir(b->trash) != 0) b->trash[0] = 0;
}

int object_remove_batched(remove_batch *b, const char *bucket, const char *key) {
  return remove_in(b, bucket, key);
}

void remove_batch_sync(remove_batch *b) {
  for (int i = 0; i < b->dir_count; i++) plat_dir_sync(b->dirs[i]);
  b->dir_count = 0;
}

void remove_batch_end(remove_batch *b) {
  for (uint32_t i = 0; i < b->held_count; i++) {
    plat_file_close(b->held[i]);
    place_release(&s_held_open);
  }
  free(b->held);
  b->held = nullptr;
  b->held_count = b->held_cap = 0;
  char path[S3_FS_PATH];
  for (uint32_t n = 0; n < b->moved; n++) {
    if (snprintf(path, sizeof path, "%s/%llx-%u.del", b->trash, (unsigned long long)b->id,
                 (unsigned)n) >= int(sizeof path))
      continue;
    (void)remove_file(path);
  }
  b->moved = 0;
  free(b->dirs);
  b->dirs = nullptr;
}

namespace {

// The part count an ETag of the form "<hex>-<count>" names, else 0.
uint64_t etag_part_count(const char *etag) {
  const char *dash = strrchr(etag, '-');
  uint64_t n = 0;
  if (!dash || parse_decimal(dash + 1, strlen(dash + 1), S3_PARTS_MAX, 0, &n) != 0) return 0;
  return n;
}

// Keeps the layout the record gave only when it describes this data: a record that lost its
// lines, or was made by hand, must not send a client the wrong bytes as a part.
void check_layout(object_view *v) {
  part_lookup *p = &v->parts;
  if (!p->count) return;
  if (!p->bad && p->total == v->size && p->count == etag_part_count(v->etag)) return;
  part_lookup_clear(p, p->want);
}

constexpr int REMOVE_IF_ATTEMPTS = 3;  // versions hashed before a conditional delete gives up

// One attempt of object_remove_if_match under the locks: its result, or 2 when the version
// hashed beforehand (hashed, of version before) is no longer the one there.
int remove_if_locked(const char *bucket, const char *key, const char *path, const char *if_match,
                     const plat_file_id *before, const char *hashed) {
  bucket_lock_guard held(bucket, 0, 0);
  if (held.timed_out()) return STORE_BUSY;
  key_lock_guard key_held(bucket, key, 1);
  if (key_held.timed_out()) return STORE_BUSY;
  plat_file_id now;
  if (plat_file_identity(path, &now) != 0) return COMMIT_NO_OBJECT;
  if (strcmp(if_match, "*") != 0) {
    char etag[S3_ETAG_CAP];
    record_etag(bucket, key, &now, etag);
    if (!etag[0]) {
      if (!hashed[0] || !etag_same_version(before, &now)) return 2;
      copy_text(etag, sizeof etag, hashed);
    }
    if (!etag_listed(if_match, etag)) return COMMIT_PRECONDITION_FAILED;
  }
  int removed = remove_file(path);
  if (removed >= 0 && meta_usable(bucket, key)) meta_remove(bucket, key);
  return removed < 0 ? -1 : 0;
}

}  // namespace

int object_remove_if_match(const char *bucket, const char *key, const char *if_match) {
  settle_leftovers(bucket, key);  // as object_remove
  char path[S3_FS_PATH];
  if (object_path(bucket, key, path) != 0) return -1;
  // Behind a link, as in a temporary file's place, there is no object of this store's.
  if (!path_levels_plain(path, root_len())) return COMMIT_NO_OBJECT;
  for (int attempt = 0; attempt < REMOVE_IF_ATTEMPTS; attempt++) {
    plat_file_id before;
    if (plat_file_identity(path, &before) != 0) return COMMIT_NO_OBJECT;
    char hashed[33] = "";
    char etag[S3_ETAG_CAP];
    if (strcmp(if_match, "*") != 0) {
      record_etag(bucket, key, &before, etag);
      if (!etag[0]) hash_version(path, &before, hashed);
    }
    int rc = remove_if_locked(bucket, key, path, if_match, &before, hashed);
    if (rc == 0) settle_after_remove(bucket, key, path);
    if (rc != 2) return rc;
  }
  // The object was replaced at every look: no version stayed long enough to be tested, so
  // none is removed.
  return COMMIT_PRECONDITION_FAILED;
}

namespace {

// Reads taken without any lock while a record and its data disagree: a commit moves the data
// and then its record, so a few quick looks see them agree again.
constexpr int READ_ATTEMPTS = 8;
constexpr int READ_PAUSE_MS = 2;

// Clears what a view holds, its open data and the tags asked for included; page, when given,
// is where the part checksums asked for go.
void view_clear(object_view *out, uint32_t want_part, const record_sums *page, tag_set *tags) {
  if (out->data) plat_file_close(out->data);
  part_lookup_clear(&out->parts, want_part);
  record_sums_clear(&out->sums, want_part);
  if (page) {
    out->sums.after = page->after;
    out->sums.cap = page->cap;
    out->sums.sizes = page->sizes;
    out->sums.values = page->values;
  }
  out->size = 0;
  out->mtime = 0;
  out->data = nullptr;
  out->has_meta = 0;
  out->content_type[0] = 0;
  out->etag[0] = 0;
  out->user_meta[0] = 0;
  content_headers_clear(&out->content);
  out->tag_count = 0;
  out->version_id[0] = 0;
  out->delete_marker = 0;
  memset(&out->id, 0, sizeof out->id);
  if (tags) tags->count = 0;
}

// One look at bucket/key: opens the data, takes its status from the open handle and reads the
// record for that version, with its tags when tags is given. 0 with the view filled (has_meta
// 1 only for the version's own record); -1 no object; 1 the file was replaced between the open
// and its status, or the record names another version: look again.
int snapshot_once(const char *bucket, const char *key, const char *path, object_view *out,
                  uint32_t want_part, const record_sums *page, tag_set *tags,
                  int trust_mismatch, const char *rec_path = nullptr) {
  view_clear(out, want_part, page, tags);
  // Only a regular file is an object: the open refuses anything else (a FIFO, socket or
  // device in its place) without waiting on it, by the status of the handle it opened.
  plat_file_id id;
  out->data = plat_file_open(path, PLAT_READ);
  // An entry that is a file now but could not be opened, or whose open handle has no status
  // (ESTALE on a network file system), was replaced meanwhile.
  if (!out->data || plat_file_handle_identity(out->data, &id) != 0) {
    return plat_file_identity(path, &id) == 0 ? 1 : -1;
  }
  // A first byte read through the handle proves it still reads (a network file system answers
  // ESTALE once the file was replaced on another client): else look again.
  char probe;
  if (id.size > 0 &&
      (plat_file_read(out->data, &probe, 1) != 1 || plat_file_seek(out->data, 0) != 0))
    return 1;
  // Size and time come from the handle that is read, never from the path.
  out->size = id.size;
  out->mtime = id.mtime_ns / 1000000000;  // times before 1970 are no object's
  out->id = id;
  // The record's path is found once (its place depends on whether a directory stands there).
  char mpath[S3_FS_PATH];
  if (!rec_path) {
    if (meta_path(bucket, key, mpath) != 0 || !path_levels_plain(mpath, root_len())) return 0;
    rec_path = mpath;
  }
  record_tags rt = {0, tags};
  int rc = meta_load_version_at(rec_path, &id, out->content_type, out->etag, sizeof out->etag,
                                out->user_meta, &out->content, &out->parts, nullptr, &rt,
                                &out->sums, out->version_id);
  if (rc < 0 && !trust_mismatch) return 1;
  out->has_meta = rc > 0;
  if (rc <= 0) part_lookup_clear(&out->parts, want_part);
  check_layout(out);
  out->tag_count = out->has_meta ? rt.count : 0;
  if (tags && !out->has_meta) tags->count = 0;
  return 0;
}

// object_snapshot, with the tags read too when tags is given.
int snapshot_view(const char *bucket, const char *key, object_view *out, uint32_t want_part,
                  const record_sums *page, tag_set *tags, const char *known_path) {
  out->data = nullptr;
  view_clear(out, want_part, page, tags);
  char path[S3_FS_PATH];
  if (known_path ? copy_text(path, sizeof path, known_path) != 1
                 : object_path(bucket, key, path) != 0)
    return -1;
  // The bucket is the first level below the root: its directory is looked at once, for both.
  int bucket_is_dir = 0;
  if (!path_levels_plain(path, root_len(), &bucket_is_dir) || !bucket_is_dir) return -1;
  // The open file pins the version whose status and record are read here, even if another
  // upload replaces the object right after. No lock is taken: the record says which version
  // it belongs to.
  for (int attempt = 0; attempt < READ_ATTEMPTS; attempt++) {
    int rc = snapshot_once(bucket, key, path, out, want_part, page, tags, 0);
    // No object, or one without its record, may be one caught between its two places ("a"
    // and "a/" S3_DIR_OBJECT): that is settled under the bucket's lock below.
    if (rc < 0 || (rc == 0 && !out->has_meta)) break;
    if (rc == 0) return 0;
    plat_sleep_ms(READ_PAUSE_MS);
  }
  settle_leftovers(bucket, key);
  // Under the bucket's lock (shared) no object is between its two places, and under the key's
  // lock no commit is half done: a record that names another version now is one a crash left
  // behind, and the data reads as stored without a record.
  bucket_lock_guard bucket_held(bucket, 0, 1);
  key_lock_guard key_held(bucket, key, 0);
  if (!bucket_held.held() || !key_held.held()) {
    view_clear(out, want_part, page, tags);
    return STORE_BUSY;
  }
  if (object_path(bucket, key, path) != 0 || !path_levels_plain(path, root_len())) {
    view_clear(out, want_part, page, tags);
    return -1;
  }
  int rc = snapshot_once(bucket, key, path, out, want_part, page, tags, 1);
  if (rc == 1) {
    view_clear(out, want_part, page, tags);
    return STORE_BUSY;
  }
  return rc;
}

}  // namespace

namespace {

// A current version read in a versioned bucket gets its id. Data whose record a kill kept from
// following it (a version brought back from the area, moved before its record) finds that
// record in the area by its status.
void fill_current_id(const char *bucket, const char *key, object_view *out, uint32_t want_part,
                     const record_sums *page, tag_set *tags) {
  if (bucket_versioning(bucket) == VERSIONING_OFF) {
    out->version_id[0] = 0;
    return;
  }
  char rec_vid[S3_VID_CAP];
  copy_text(rec_vid, sizeof rec_vid, out->version_id);
  if (!out->has_meta) {
    char dir[S3_FS_PATH], base[S3_VBASE_CAP], rec[S3_FS_PATH];
    for (int null = 0; null < 2 && !out->has_meta && versions_dir(bucket, key, dir) == 0;
         null++) {
      version_base(out->id.mtime_ns, out->id.ino, null, base);
      if (version_file(dir, base, ".r", rec) != 0) break;
      record_tags rt = {0, tags};
      record_sums sums;
      record_sums_clear(&sums, want_part);
      if (page) {
        sums.after = page->after;
        sums.cap = page->cap;
        sums.sizes = page->sizes;
        sums.values = page->values;
      }
      part_lookup parts;
      part_lookup_clear(&parts, want_part);
      if (meta_load_version_at(rec, &out->id, out->content_type, out->etag, sizeof out->etag,
                               out->user_meta, &out->content, &parts, nullptr, &rt, &sums,
                               rec_vid) == 1) {
        out->has_meta = 1;
        out->parts = parts;
        out->sums = sums;
        out->tag_count = rt.count;
        check_layout(out);
      }
    }
  }
  current_version_id(&out->id, out->has_meta, rec_vid, out->version_id);
}

// The current version with its id.
int snapshot_version_current(const char *bucket, const char *key, object_view *out,
                             uint32_t want_part, const record_sums *page, tag_set *tags,
                             const char *path) {
  int rc = snapshot_view(bucket, key, out, want_part, page, tags, path);
  if (rc == 0) fill_current_id(bucket, key, out, want_part, page, tags);
  return rc;
}

}  // namespace

int object_snapshot(const char *bucket, const char *key, object_view *out, uint32_t want_part,
                    const record_sums *page, const char *path) {
  int rc = snapshot_view(bucket, key, out, want_part, page, nullptr, path);
  if (rc == 0) fill_current_id(bucket, key, out, want_part, page, nullptr);
  return rc;
}

int object_snapshot_tagged(const char *bucket, const char *key, object_view *out, tag_set *tags) {
  int rc = snapshot_view(bucket, key, out, 0, nullptr, tags, nullptr);
  if (rc == 0) fill_current_id(bucket, key, out, 0, nullptr, tags);
  return rc;
}

int object_current_marker(const char *bucket, const char *key, char vid[S3_VID_CAP]) {
  vid[0] = 0;
  char dir[S3_FS_PATH];
  if (versions_dir(bucket, key, dir) != 0) return 0;
  kept_version newest;
  int more = 0;
  if (versions_scan(dir, "", &newest, 1, &more) != 1 || !newest.marker) return 0;
  version_id_of_base(newest.base, vid);
  return 1;
}

int object_snapshot_version(const char *bucket, const char *key, const char *vid,
                            object_view *out, uint32_t want_part, const record_sums *page,
                            tag_set *tags, const char *path) {
  out->data = nullptr;
  view_clear(out, want_part, page, tags);
  if (!vid || !vid[0])
    return snapshot_version_current(bucket, key, out, want_part, page, tags, path);
  char dir[S3_FS_PATH];
  if (versions_dir(bucket, key, dir) != 0) return -1;
  // The current one first, then the area, then the current again: a version brought back
  // from the area meanwhile is found in its new place.
  for (int look = 0; look < 2; look++) {
    int rc = snapshot_version_current(bucket, key, out, want_part, page, tags, path);
    if (rc == STORE_BUSY) return rc;
    if (rc == 0 && strcmp(out->version_id, vid) == 0) return 0;
    view_clear(out, want_part, page, tags);
    if (look) break;
    char base[S3_VBASE_CAP];
    int marker = 0;
    if (versions_find(dir, vid, base, &marker) != 1) continue;
    if (marker) {
      copy_text(out->version_id, sizeof out->version_id, vid);
      out->delete_marker = 1;
      return VERSION_IS_MARKER;
    }
    char data[S3_FS_PATH], rec[S3_FS_PATH];
    if (version_file(dir, base, "", data) != 0 || version_file(dir, base, ".r", rec) != 0)
      return -1;
    if (snapshot_once(bucket, key, data, out, want_part, page, tags, 1, rec) == 0) {
      copy_text(out->version_id, sizeof out->version_id, vid);
      return 0;
    }
    view_clear(out, want_part, page, tags);
  }
  return -1;
}

void object_release(object_view *v) {
  if (v->data) plat_file_close(v->data);
  v->data = nullptr;
}

void object_list_etag(const char *bucket, const char *key, const char *path, char *out,
                      size_t cap, uint64_t *size, int64_t *mtime) {
  copy_text(out, cap, "00000000000000000000000000000000");
  plat_file_id id;
  // A link or a directory in an object's place is no object a client can read.
  if (plat_file_identity(path, &id) != 0) return;
  char ctype[S3_CTYPE_CAP] = "";
  char etag[S3_ETAG_CAP] = "";
  char user[S3_USER_META_CAP] = "";
  if (meta_usable(bucket, key)) {
    // The status is taken again with each look, since the walk's may be older; the entry's
    // size, time and ETag are then all of the version the record names.
    int rc = -1;
    for (int attempt = 0; rc < 0 && attempt < READ_ATTEMPTS; attempt++) {
      if (attempt) plat_sleep_ms(READ_PAUSE_MS);
      if (plat_file_identity(path, &id) != 0) return;
      rc = meta_load_version(bucket, key, &id, ctype, etag, sizeof etag, user);
    }
    if (rc < 0) {
      // A record that stays apart from its data under the key lock is a crash's leftover.
      key_lock_guard key_held(bucket, key, 0);
      if (plat_file_identity(path, &id) != 0) return;
      etag[0] = 0;
      if (meta_load_version(bucket, key, &id, ctype, etag, sizeof etag, user) < 0) etag[0] = 0;
    }
  }
  if (size) *size = id.size;
  if (mtime) *mtime = id.mtime_ns / 1000000000;
  if (etag[0] && strlen(etag) < cap) {
    copy_text(out, cap, etag);
    return;
  }
  char hex[33];
  if (etag_cache_get(&id, hex)) {
    copy_text(out, cap, hex);
    return;
  }
  if (md5_file(path, hex) != 0) return;
  // Kept, and shown, only when the file was the same version from start to end of the hashing.
  plat_file_id after;
  if (plat_file_identity(path, &after) != 0 || !etag_same_version(&id, &after)) return;
  etag_cache_put(&id, hex);
  copy_text(out, cap, hex);
}

void bucket_remove_records(const char *bucket) {
  if (!plain_bucket_name(bucket)) return;
  versions_remove_bucket(bucket);
  remove_bucket_tree(".mpu", bucket);
  remove_bucket_tree(".s3meta", bucket);
  cors_config_remove(bucket);
  bucket_tags_remove(bucket);
  bucket_configs_remove(bucket);
}

int bucket_delete(const char *bucket) {
  char dir[S3_FS_PATH];
  if (!plain_bucket_name(bucket) || object_path(bucket, nullptr, dir) != 0) return -1;
  // A link in the bucket's place is never walked or emptied: what it points at is not ours.
  plat_stat_t st;
  if (plat_lstat(dir, &st) != 0) return 2;
  if (!st.is_dir) return -1;
  bucket_lock_guard held(bucket, 1, 1);
  if (!held.held()) return held.timed_out() ? STORE_BUSY : -1;
  // Another DeleteBucket may have removed it while this one waited for the lock.
  if (plat_lstat(dir, &st) != 0) return 2;
  // Every key counts, dot-names included; a walk that cannot finish keeps the bucket.
  int has = dir_has_objects(dir);
  // An object a kill left in the middle of a move is hidden from the walk: put back, it holds
  // the bucket as any object does.
  if (has == 0 && moves_repair_tree(dir) > 0) has = dir_has_objects(dir);
  if (has != 0) return has > 0 ? 1 : -1;
  // Kept versions and delete markers hold the bucket as objects do.
  has = versions_any(bucket);
  if (has != 0) return has > 0 ? 1 : -1;
  if (delete_dir_recursive(dir) != 0) return -1;
  // Uploads in progress and metadata records go with the bucket, still under the lock, so an
  // upload's part cannot be stored into a bucket that is gone.
  bucket_remove_records(bucket);
  return 0;
}

// ---------------------------------------------------------------- tag changes

namespace {

constexpr int RETAG_ATTEMPTS = 5;  // versions met before a tag change is answered "try later"

// What a tag change found in place, under the locks: the data's version and the record's text.
struct retag_base {
  plat_file_id data;
  int has_record;      // 1 when a current record was read
  int64_t record_mtime;
  char *text;          // the record's text (malloc'd), or null
  size_t len;
};

// Reads the version in place under the shared lock. 0, COMMIT_NO_OBJECT, COMMIT_SLOW_DOWN or -1.
int retag_read(const char *bucket, const char *key, const char *path, retag_base *b) {
  bucket_lock_guard held(bucket, 0, 1);
  if (held.timed_out()) return COMMIT_SLOW_DOWN;
  // The key's lock, shared: no commit of this key is half done while its pair is read.
  key_lock_guard key_held(bucket, key, 0);
  if (!key_held.held()) return key_held.timed_out() ? COMMIT_SLOW_DOWN : -1;
  if (plat_file_identity(path, &b->data) != 0) return COMMIT_NO_OBJECT;
  if (!meta_usable(bucket, key)) return -1;
  int rc = meta_read_text(bucket, key, b->data.mtime_ns, &b->text, &b->len, &b->record_mtime);
  if (rc < 0) return -1;
  b->has_record = rc;
  return 0;
}

// Publishes the draft when the version in place is still the one read. 0, 1 when it changed
// (read again), COMMIT_NO_OBJECT, COMMIT_SLOW_DOWN or -1.
int retag_publish(const char *bucket, const char *key, const char *path, const retag_base *b,
                  meta_draft *d) {
  // Locked as a commit of the key is: the bucket shared, the key exclusively.
  bucket_lock_guard held(bucket, 0, 1);
  if (held.timed_out()) return COMMIT_SLOW_DOWN;
  if (!held.held()) return -1;
  key_lock_guard key_held(bucket, key, 1);
  if (!key_held.held()) return key_held.timed_out() ? COMMIT_SLOW_DOWN : -1;
  plat_file_id now;
  if (plat_file_identity(path, &now) != 0) return COMMIT_NO_OBJECT;
  if (!etag_same_version(&b->data, &now)) return 1;
  int64_t record_mtime = 0;
  int has = meta_mtime_ns(bucket, key, &record_mtime) == 0 && record_mtime >= now.mtime_ns;
  if (has != b->has_record || (has && record_mtime != b->record_mtime)) return 1;
  // Later than the record it replaces and never older than the data it describes.
  int64_t stamp = commit_stamp(bucket, key);
  if (stamp < now.mtime_ns) stamp = now.mtime_ns;
  return meta_draft_publish(d, stamp) == 0 ? 0 : -1;
}

}  // namespace

int object_set_tags(const char *bucket, const char *key, const tag_set *tags) {
  char path[S3_FS_PATH];
  if (object_path(bucket, key, path) != 0) return -1;
  if (!path_levels_plain(path, root_len()) || !bucket_dir_present(bucket))
    return COMMIT_NO_OBJECT;
  for (int attempt = 0; attempt < RETAG_ATTEMPTS; attempt++) {
    retag_base b;
    memset(&b, 0, sizeof b);
    int rc = retag_read(bucket, key, path, &b);
    owned_str held(b.text);
    if (rc != 0) return rc;
    // An object without a record and without tags to give it has nothing to change.
    if (!b.has_record && (!tags || !tags->count)) return 0;
    dynbuf_guard text;
    meta_retag_text(b.has_record ? b.text : "", b.has_record ? b.len : 0, tags, &text.b);
    if (text.b.failed) return -1;
    // The slow steps, writing and flushing the new record, happen before the locks.
    meta_draft d;
    if (meta_draft_write_text(&d, bucket, key, text.b.data, text.b.len) != 0 ||
        meta_draft_sync(&d) != 0)
      return -1;
    rc = retag_publish(bucket, key, path, &b, &d);
    meta_draft_discard(&d);
    if (rc == 0) {
      sync_parent(d.path);
      return 0;
    }
    if (rc != 1) return rc;
  }
  return COMMIT_SLOW_DOWN;
}

// ---------------------------------------------------------------- versions

namespace {

// The id of the current version at path under the key's lock ("" when there is none).
void locked_current_id(const char *bucket, const char *key, const char *path, const char *mpath,
                       char vid[S3_VID_CAP], plat_file_id *id) {
  vid[0] = 0;
  if (plat_file_identity(path, id) != 0) return;
  char ctype[S3_CTYPE_CAP] = "", etag[S3_ETAG_CAP] = "", user[S3_USER_META_CAP] = "";
  char rec_vid[S3_VID_CAP] = "";
  int trusted = meta_load_version_at(mpath, id, ctype, etag, sizeof etag, user, nullptr, nullptr,
                                     nullptr, nullptr, nullptr, rec_vid) == 1;
  if (!trusted) {
    // A version brought back whose record a kill kept in the area.
    char dir[S3_FS_PATH], base[S3_VBASE_CAP], rec[S3_FS_PATH];
    for (int null = 0; null < 2 && !trusted && versions_dir(bucket, key, dir) == 0; null++) {
      version_base(id->mtime_ns, id->ino, null, base);
      trusted = version_file(dir, base, ".r", rec) == 0 &&
                meta_load_version_at(rec, id, ctype, etag, sizeof etag, user, nullptr, nullptr,
                                     nullptr, nullptr, nullptr, rec_vid) == 1;
    }
  }
  current_version_id(id, trusted, rec_vid, vid);
}

// object_delete_version's step under the locks.
int delete_version_locked(const char *bucket, const char *key, const char *path,
                          const char *vid, int vstate, char out_vid[S3_VID_CAP],
                          int *is_marker) {
  char mpath[S3_FS_PATH], dir[S3_FS_PATH];
  if (meta_path(bucket, key, mpath) != 0 || versions_dir(bucket, key, dir) != 0) return -1;
  plat_file_id id;
  memset(&id, 0, sizeof id);
  char cur[S3_VID_CAP];
  locked_current_id(bucket, key, path, mpath, cur, &id);
  if (!vid[0]) {
    // A delete marker on top: the current version is kept first, then the marker is made,
    // then the plain file goes; a kill between leaves the current one in place.
    if (versions_keep_current(bucket, key, path, mpath, vstate == VERSIONING_ENABLED) != 0)
      return -1;
    if (versions_add_marker(bucket, key, cur[0] ? id.mtime_ns : 0,
                            vstate == VERSIONING_SUSPENDED, out_vid) != 0)
      return -1;
    *is_marker = 1;
    if (cur[0] && remove_file(path) < 0) return -1;
    if (cur[0]) remove_file(mpath);
    return 1;
  }
  copy_text(out_vid, S3_VID_CAP, vid);
  char base[S3_VBASE_CAP];
  int marker = 0;
  if (cur[0] && strcmp(cur, vid) == 0) {
    // A copy of it in the area (a kill before its replacement moved) goes first.
    if (versions_find(dir, vid, base, &marker) == 1 && !marker &&
        versions_remove_kept(dir, base) != 0)
      return -1;
    return versions_promote_newest(bucket, key, path, mpath, 1) == 0 ? 1 : -1;
  }
  if (versions_find(dir, vid, base, &marker) != 1) return 0;
  *is_marker = marker;
  if (versions_remove_kept(dir, base) != 0) return -1;
  // The marker on top gone, the version under it is current again.
  if (!cur[0] && versions_promote_newest(bucket, key, path, mpath, 0) != 0) return -1;
  return 0;
}

}  // namespace

int object_delete_version(const char *bucket, const char *key, const char *vid,
                          char out_vid[S3_VID_CAP], int *is_marker) {
  out_vid[0] = 0;
  *is_marker = 0;
  const int vstate = bucket_versioning(bucket);
  if (vstate == VERSIONING_OFF && !vid[0]) return object_remove(bucket, key) < 0 ? -1 : 0;
  if (vstate == VERSIONING_OFF && strcmp(vid, "null") == 0) {
    copy_text(out_vid, S3_VID_CAP, "null");
    return object_remove(bucket, key) < 0 ? -1 : 0;
  }
  char path[S3_FS_PATH];
  if (object_path(bucket, key, path) != 0) return -1;
  if (!path_levels_plain(path, root_len())) return 0;
  if (object_make_room(bucket, key, 0) != 0) return -1;
  int rc;
  {
    bucket_lock_guard held(bucket, 0, 1);
    if (held.timed_out()) return STORE_BUSY;
    if (!held.held()) return -1;
    key_lock_guard key_held(bucket, key, 1);
    if (key_held.timed_out()) return STORE_BUSY;
    if (!key_held.held()) return -1;
    if (object_path(bucket, key, path) != 0) return -1;
    if (is_directory(path)) {
      // A key whose place is a directory holds no object: its object, if any, lies inside.
      char inner[S3_FS_PATH];
      int n = snprintf(inner, sizeof inner, "%s/%s", path, S3_DIR_OBJECT);
      if (n <= 0 || size_t(n) >= sizeof inner) return -1;
      copy_text(path, sizeof path, inner);
    }
    rc = delete_version_locked(bucket, key, path, vid, vstate, out_vid, is_marker);
  }
  if (rc == 1) settle_after_remove(bucket, key, path);
  return rc < 0 ? -1 : 0;
}

void object_current_id(const char *bucket, const char *key, const char *path,
                       char vid[S3_VID_CAP]) {
  char mpath[S3_FS_PATH];
  plat_file_id id;
  vid[0] = 0;
  if (meta_path(bucket, key, mpath) != 0) return;
  locked_current_id(bucket, key, path, mpath, vid, &id);
}

int kept_version_info(const char *dir, const char *base, char *etag, size_t cap,
                      uint64_t *size, int64_t *mtime) {
  char data[S3_FS_PATH], rec[S3_FS_PATH];
  plat_file_id id;
  if (version_file(dir, base, "", data) != 0 || version_file(dir, base, ".r", rec) != 0 ||
      plat_file_identity(data, &id) != 0)
    return -1;
  *size = id.size;
  *mtime = id.mtime_ns / 1000000000;
  char ctype[S3_CTYPE_CAP] = "", tag[S3_ETAG_CAP] = "", user[S3_USER_META_CAP] = "";
  if (meta_load_version_at(rec, &id, ctype, tag, sizeof tag, user) == 1 && tag[0] &&
      strlen(tag) < cap) {
    copy_text(etag, cap, tag);
    return 0;
  }
  char hex[33];
  if (!etag_cache_get(&id, hex)) {
    if (md5_file(data, hex) != 0) hex[0] = 0;
    if (hex[0]) etag_cache_put(&id, hex);
  }
  copy_text(etag, cap, hex[0] ? hex : "00000000000000000000000000000000");
  return 0;
}
