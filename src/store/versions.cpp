// Kept versions of versioned buckets: the area under .s3meta/.versions, its names and the
// steps that move a version between the current place and the area. Every step runs under the
// key's lock (store/object.cpp takes it) and uses second names (hard links) and replacing
// moves only, so a kill at any moment leaves each version whole in one place or both.
#include "store/versions.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "base/state.h"
#include "base/text.h"
#include "store/config_store.h"
#include "store/files.h"
#include "store/layout.h"
#include "store/names.h"
#include "store/temp_names.h"
#include "store/walk.h"

namespace {

const char KEPT_PREFIX[] = ".quillmar-v-";
constexpr size_t KEPT_PREFIX_LEN = sizeof KEPT_PREFIX - 1;
const char INDEX_NAME[] = ".quillmar-object";  // as S3_DIR_OBJECT, so walks find the key
constexpr size_t BASE_LEN = 32;                // 16 + 16 hex digits, or 16 + "null"

int is_hex_lower(char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); }

// 1 when name[0..n) is a base: 16 hex digits then 16 more or "null".
int base_valid(const char *name, size_t n) {
  if (n != BASE_LEN && n != 20) return 0;
  for (size_t i = 0; i < 16; i++)
    if (!is_hex_lower(name[i])) return 0;
  if (n == 20) return memcmp(name + 16, "null", 4) == 0;
  for (size_t i = 16; i < n; i++)
    if (!is_hex_lower(name[i])) return 0;
  return 1;
}

// An area entry's base and kind from its name: 1 data, 2 marker, 3 record, 0 none.
int entry_kind(const char *name, char base[S3_VBASE_CAP]) {
  size_t n = strlen(name);
  if (n <= KEPT_PREFIX_LEN || memcmp(name, KEPT_PREFIX, KEPT_PREFIX_LEN) != 0) return 0;
  const char *b = name + KEPT_PREFIX_LEN;
  size_t bl = n - KEPT_PREFIX_LEN;
  int kind = 1;
  if (bl > 2 && b[bl - 2] == '.' && (b[bl - 1] == 'm' || b[bl - 1] == 'r')) {
    kind = b[bl - 1] == 'm' ? 2 : 3;
    bl -= 2;
  }
  if (!base_valid(b, bl)) return 0;
  memcpy(base, b, bl);
  base[bl] = 0;
  return kind;
}

// The entry of a fresh temporary name in this server's folder, left free for a link. 0 / -1.
int free_temp_name(char out[S3_FS_PATH]) {
  if (temp_file_make(out, TEMP_DATA) != 0) return -1;
  return remove_file(out) == 0 ? 0 : -1;
}

// Gives src the name dst, replacing what dst was, in one move. 0 / -1.
int link_replacing(const char *src, const char *dst) {
  char tmp[S3_FS_PATH];
  if (free_temp_name(tmp) != 0) return -1;
  plat_err err = PLAT_OK;
  if (plat_link(src, tmp, &err) != 0) return -1;
  if (plat_rename_replace(tmp, dst, &err) != 0) {
    remove_file(tmp);
    return -1;
  }
  return 0;
}

// Makes the area dir of a key with its index file. 0 / -1. A level may go between its making
// and the next one's when the area of a key above this one is tidied away under that key's own
// lock: the levels are then made again.
int area_make(const char *dir) {
  for (int attempt = 0; attempt < 3 && !is_directory(dir); attempt++) mkdir_p(dir);
  if (!is_directory(dir)) return -1;
  char index[S3_FS_PATH];
  int n = snprintf(index, sizeof index, "%s/%s", dir, INDEX_NAME);
  if (n <= 0 || size_t(n) >= sizeof index) return -1;
  plat_stat_t st;
  if (plat_lstat(index, &st) == 0) return 0;
  plat_err err = PLAT_OK;
  plat_file *f = plat_file_create(index, &err);
  if (f) plat_file_close(f);
  return f || err == PLAT_ERR_EXISTS ? 0 : -1;
}

// Removes the index file and the directory once no version is kept there.
void area_tidy(const char *dir) {
  kept_version one;
  int more = 0;
  if (versions_scan(dir, "", &one, 1, &more) != 0) return;
  plat_dir *d = plat_dir_open(dir);
  if (!d) return;
  char name[S3_NAME_SLOT];
  int is_dir = 0, others = 0;
  while (!others && plat_dir_next(d, name, sizeof name, &is_dir) == 1)
    others = strcmp(name, INDEX_NAME) != 0;
  plat_dir_close(d);
  if (others) return;
  char index[S3_FS_PATH];
  int n = snprintf(index, sizeof index, "%s/%s", dir, INDEX_NAME);
  if (n > 0 && size_t(n) < sizeof index) remove_file(index);
  plat_rmdir(dir);
}

}  // namespace

int bucket_versioning(const char *bucket) {
  char *doc = nullptr;
  size_t len = 0;
  if (bucket_config_load(bucket, "versioning", &doc, &len) != 1) return VERSIONING_OFF;
  int state = VERSIONING_OFF;
  if (strstr(doc, "<Status>Enabled</Status>")) state = VERSIONING_ENABLED;
  if (strstr(doc, "<Status>Suspended</Status>")) state = VERSIONING_SUSPENDED;
  free(doc);
  return state;
}

int version_id_valid(const char *vid) {
  if (!vid) return 0;
  if (strcmp(vid, "null") == 0) return 1;
  return strlen(vid) == BASE_LEN && base_valid(vid, BASE_LEN);
}

void version_base(int64_t stamp_ns, uint64_t tail, int null, char out[S3_VBASE_CAP]) {
  unsigned long long inv = ~(unsigned long long)stamp_ns;
  if (null)
    snprintf(out, S3_VBASE_CAP, "%016llxnull", inv);
  else
    snprintf(out, S3_VBASE_CAP, "%016llx%016llx", inv, (unsigned long long)tail);
}

int64_t version_base_time(const char *base) {
  uint64_t v = 0;
  for (size_t i = 0; i < 16 && base[i]; i++) {
    char c = base[i];
    v = (v << 4) | (uint64_t)(c <= '9' ? c - '0' : c - 'a' + 10);
  }
  return (int64_t)~v;
}

void version_id_of_base(const char *base, char vid[S3_VID_CAP]) {
  copy_text(vid, S3_VID_CAP, strlen(base) == 20 ? "null" : base);
}

int versions_bucket_dir(const char *bucket, char out[S3_FS_PATH]) {
  if (!plain_bucket_name(bucket)) return -1;
  int n = snprintf(out, S3_FS_PATH, "%s/.s3meta/.versions/%s", s_storage_root, bucket);
  return n > 0 && size_t(n) < S3_FS_PATH ? 0 : -1;
}

int versions_dir(const char *bucket, const char *key, char out[S3_FS_PATH]) {
  if (versions_bucket_dir(bucket, out) != 0 || !key || !key[0]) return -1;
  size_t len = strlen(out);
  const char *seg = key;
  for (;;) {
    const char *slash = strchr(seg, '/');
    size_t n = slash ? size_t(slash - seg) : strlen(seg);
    if (len + 2 >= S3_FS_PATH) return -1;
    out[len++] = '/';
    long got = segment_stored_form(seg, n, 0, out + len, S3_FS_PATH - len);
    if (got < 0) return -1;
    len += size_t(got);
    if (!slash) break;
    seg = slash + 1;
  }
  out[len] = 0;
  return 0;
}

int version_file(const char *dir, const char *base, const char *suffix, char out[S3_FS_PATH]) {
  int n = snprintf(out, S3_FS_PATH, "%s/%s%s%s", dir, KEPT_PREFIX, base, suffix);
  return n > 0 && size_t(n) < S3_FS_PATH ? 0 : -1;
}

size_t versions_scan(const char *dir, const char *after, kept_version *out, size_t cap,
                     int *more) {
  *more = 0;
  plat_dir *d = plat_dir_open(dir);
  if (!d) return 0;
  size_t count = 0;
  char name[S3_NAME_SLOT];
  int is_dir = 0;
  while (plat_dir_next(d, name, sizeof name, &is_dir) == 1) {
    if (is_dir) continue;
    char base[S3_VBASE_CAP];
    int kind = entry_kind(name, base);
    if (kind != 1 && kind != 2) continue;
    if (after[0] && strcmp(base, after) <= 0) continue;
    // The cap smallest, in order: an insertion into a sorted array of at most cap entries.
    size_t at = count;
    while (at > 0 && strcmp(out[at - 1].base, base) > 0) at--;
    if (at >= cap) {
      *more = 1;
      continue;
    }
    if (count == cap) {
      *more = 1;
      count--;
    }
    memmove(out + at + 1, out + at, (count - at) * sizeof *out);
    copy_text(out[at].base, S3_VBASE_CAP, base);
    out[at].marker = kind == 2;
    count++;
  }
  plat_dir_close(d);
  return count;
}

int versions_find(const char *dir, const char *vid, char base[S3_VBASE_CAP], int *marker) {
  *marker = 0;
  char path[S3_FS_PATH];
  plat_stat_t st;
  if (strcmp(vid, "null") != 0) {
    if (!version_id_valid(vid)) return 0;
    copy_text(base, S3_VBASE_CAP, vid);
    if (version_file(dir, base, "", path) == 0 && plat_lstat(path, &st) == 0) return 1;
    if (version_file(dir, base, ".m", path) == 0 && plat_lstat(path, &st) == 0) {
      *marker = 1;
      return 1;
    }
    return 0;
  }
  // The one null version: its time is not in its id, so the area is looked through.
  plat_dir *d = plat_dir_open(dir);
  if (!d) return 0;
  char name[S3_NAME_SLOT];
  int is_dir = 0, found = 0;
  while (!found && plat_dir_next(d, name, sizeof name, &is_dir) == 1) {
    int kind = entry_kind(name, base);
    if ((kind == 1 || kind == 2) && strlen(base) == 20) {
      found = 1;
      *marker = kind == 2;
    }
  }
  plat_dir_close(d);
  return found;
}

void current_version_id(const plat_file_id *id, int has_meta, const char *rec_vid,
                        char vid[S3_VID_CAP]) {
  if (has_meta && rec_vid && version_id_valid(rec_vid)) {
    copy_text(vid, S3_VID_CAP, rec_vid);
    return;
  }
  if (has_meta) {
    copy_text(vid, S3_VID_CAP, "null");
    return;
  }
  version_base(id->mtime_ns, id->ino, 0, vid);
}

int versions_keep_current(const char *bucket, const char *key, const char *path,
                          const char *mpath, int keep_null) {
  plat_file_id id;
  if (plat_file_identity(path, &id) != 0) return 0;
  char ctype[256] = "", etag[96] = "", user[1024] = "";
  char rec_vid[S3_VID_CAP] = "";
  int trusted = meta_load_version_at(mpath, &id, ctype, etag, sizeof etag, user, nullptr,
                                     nullptr, nullptr, nullptr, nullptr, rec_vid) == 1;
  const int record_here = trusted;
  char dir[S3_FS_PATH];
  if (versions_dir(bucket, key, dir) != 0) return -1;
  // Data whose record stayed in the area (a kill while it was brought back) has its id there.
  for (int n = 0; n < 2 && !trusted; n++) {
    char b[S3_VBASE_CAP], r[S3_FS_PATH];
    version_base(id.mtime_ns, id.ino, n, b);
    trusted = version_file(dir, b, ".r", r) == 0 &&
              meta_load_version_at(r, &id, ctype, etag, sizeof etag, user, nullptr, nullptr,
                                   nullptr, nullptr, nullptr, rec_vid) == 1;
  }
  char vid[S3_VID_CAP];
  current_version_id(&id, trusted, rec_vid, vid);
  int null = strcmp(vid, "null") == 0;
  if (null && !keep_null) return 0;
  char base[S3_VBASE_CAP];
  if (null)
    version_base(id.mtime_ns, 0, 1, base);
  else
    copy_text(base, sizeof base, vid);
  char data[S3_FS_PATH], rec[S3_FS_PATH];
  if (version_file(dir, base, "", data) != 0 || version_file(dir, base, ".r", rec) != 0)
    return -1;
  plat_file_id kept;
  if (plat_file_identity(data, &kept) == 0 && kept.ino == id.ino) return 0;
  if (null && versions_drop_null(dir) != 0) return -1;
  if (area_make(dir) != 0) return -1;
  // The record first: the data's name is what makes the version, and a record alone is nothing.
  if (record_here && link_replacing(mpath, rec) != 0) return -1;
  plat_err err = PLAT_OK;
  if (plat_link(path, data, &err) != 0 && link_replacing(path, data) != 0) return -1;
  return plat_dir_sync(dir) == 0 ? 0 : -1;
}

int versions_drop_null(const char *dir) {
  char base[S3_VBASE_CAP];
  int marker = 0;
  while (versions_find(dir, "null", base, &marker) == 1)
    if (versions_remove_kept(dir, base) != 0) return -1;
  return 0;
}

int versions_add_marker(const char *bucket, const char *key, int64_t after_ns, int null,
                        char vid[S3_VID_CAP]) {
  int64_t now = plat_time_now_ns();
  if (now <= after_ns) now = after_ns + 1;
  uint64_t tail = 0;
  if (plat_random_bytes(&tail, sizeof tail) != 0) return -1;
  char base[S3_VBASE_CAP], dir[S3_FS_PATH], path[S3_FS_PATH];
  version_base(now, tail, null, base);
  if (versions_dir(bucket, key, dir) != 0 || version_file(dir, base, ".m", path) != 0) return -1;
  if (null && versions_drop_null(dir) != 0) return -1;
  if (area_make(dir) != 0) return -1;
  plat_err err = PLAT_OK;
  plat_file *f = plat_file_create(path, &err);
  if (!f) return -1;
  plat_file_close(f);
  if (plat_dir_sync(dir) != 0) return -1;
  version_id_of_base(base, vid);
  return 0;
}

int versions_remove_kept(const char *dir, const char *base) {
  char path[S3_FS_PATH];
  static const char *const suffixes[] = {"", ".m", ".r"};
  for (const char *sfx : suffixes) {
    if (version_file(dir, base, sfx, path) != 0) return -1;
    if (remove_file(path) < 0) return -1;
  }
  plat_dir_sync(dir);
  area_tidy(dir);
  return 0;
}

int versions_promote_newest(const char *bucket, const char *key, const char *path,
                            const char *mpath, int replace) {
  char dir[S3_FS_PATH];
  if (versions_dir(bucket, key, dir) != 0) return -1;
  kept_version newest;
  int more = 0;
  if (versions_scan(dir, "", &newest, 1, &more) != 1 || newest.marker) {
    if (!replace) return 0;
    // Nothing to bring back: the current one simply goes.
    if (remove_file(path) < 0) return -1;
    remove_file(mpath);
    return 0;
  }
  char data[S3_FS_PATH], rec[S3_FS_PATH];
  if (version_file(dir, newest.base, "", data) != 0 ||
      version_file(dir, newest.base, ".r", rec) != 0)
    return -1;
  mkdir_parent(path);
  // The data first, replacing the current one in the same move; until its record follows, a
  // read finds that record here in the area by the data's status.
  if (link_replacing(data, path) != 0) return -1;
  plat_stat_t st;
  mkdir_parent(mpath);
  if (plat_lstat(rec, &st) == 0) {
    if (link_replacing(rec, mpath) != 0) return -1;
  } else {
    remove_file(mpath);
  }
  char parent[S3_FS_PATH];
  const char *slash = strrchr(path, '/');
  if (slash && copy_text_n(parent, sizeof parent, path, size_t(slash - path)) == 1)
    plat_dir_sync(parent);
  slash = strrchr(mpath, '/');
  if (slash && copy_text_n(parent, sizeof parent, mpath, size_t(slash - mpath)) == 1)
    plat_dir_sync(parent);
  return versions_remove_kept(dir, newest.base);
}

int versions_any(const char *bucket) {
  char dir[S3_FS_PATH];
  if (versions_bucket_dir(bucket, dir) != 0) return -1;
  if (!is_directory(dir)) return 0;
  key_walk_guard g;
  if (!g.w || key_walk_open(g.w, dir, "", KEY_SEEK_FROM) != 0) return -1;
  char key[S3_KEY_FIELD];
  uint64_t size = 0;
  int64_t mtime = 0;
  int rc;
  while ((rc = key_walk_next(g.w, key, &size, &mtime)) == 1) {
    char area[S3_FS_PATH];
    if (copy_text(area, sizeof area, g.w->path) != 1) return -1;
    char *slash = strrchr(area, '/');
    if (!slash) return -1;
    *slash = 0;
    kept_version one;
    int more = 0;
    if (versions_scan(area, "", &one, 1, &more) == 1) return 1;
    // A key whose last version went without its folder being tidied (a kill between) holds
    // nothing: the caller holds the bucket exclusively, so it is tidied now.
    area_tidy(area);
  }
  return rc < 0 ? -1 : 0;
}

void versions_remove_bucket(const char *bucket) {
  char dir[S3_FS_PATH];
  if (versions_bucket_dir(bucket, dir) == 0) delete_dir_recursive(dir);
}

void versions_kept_bytes(const char *bucket, size_t key_cap, uint64_t *bytes) {
  *bytes = 0;
  char dir[S3_FS_PATH];
  if (versions_bucket_dir(bucket, dir) != 0 || !is_directory(dir)) return;
  key_walk_guard g;
  if (!g.w || key_walk_open(g.w, dir, "", KEY_SEEK_FROM) != 0) return;
  char key[S3_KEY_FIELD];
  uint64_t size = 0;
  int64_t mtime = 0;
  for (size_t n = 0; n < key_cap && key_walk_next(g.w, key, &size, &mtime) == 1; n++) {
    char area[S3_FS_PATH];
    if (copy_text(area, sizeof area, g.w->path) != 1) continue;
    char *slash = strrchr(area, '/');
    if (!slash) continue;
    *slash = 0;
    plat_dir *d = plat_dir_open(area);
    if (!d) continue;
    char name[S3_NAME_SLOT];
    int is_dir = 0;
    while (plat_dir_next(d, name, sizeof name, &is_dir) == 1) {
      char base[S3_VBASE_CAP], path[S3_FS_PATH];
      plat_file_id id;
      if (is_dir || entry_kind(name, base) != 1) continue;
      if (version_file(area, base, "", path) == 0 && plat_file_identity(path, &id) == 0)
        *bytes += id.size;
    }
    plat_dir_close(d);
  }
}
