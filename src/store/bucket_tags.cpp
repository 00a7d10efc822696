// Bucket tag sets on disk: root/.s3meta/.tagging/<bucket>, a name that no bucket's metadata
// records can take (bucket names never begin with "."). The file holds the record's "+Tag"
// lines, one per tag, in the order given.
#include "store/bucket_tags.h"

#include <cstdio>
#include <cstring>

#include "base/state.h"
#include "platform/platform.h"
#include "store/files.h"
#include "store/layout.h"
#include "store/names.h"
#include "store/object.h"
#include "store/temp_names.h"

namespace {

// Every tag at its longest, escaped, with its line feed.
constexpr size_t BUCKET_TAGS_FILE_MAX = S3_BUCKET_TAGS_MAX * (S3_TAG_LINE_MAX + 1);

int tags_path(const char *bucket, char out[S3_FS_PATH]) {
  if (!plain_bucket_name(bucket)) return -1;
  int n = snprintf(out, S3_FS_PATH, "%s/.s3meta/.tagging/%s", s_storage_root, bucket);
  return (n > 0 && (size_t)n < S3_FS_PATH) ? 0 : -1;
}

// The temporary file beside the set: a dot-name, which no bucket can have.
int temp_path(const char *bucket, char out[S3_FS_PATH]) {
  int n = snprintf(out, S3_FS_PATH, "%s/.s3meta/.tagging/.%s-%lu.tmp", s_storage_root, bucket,
                   (unsigned long)next_seq());
  return (n > 0 && (size_t)n < S3_FS_PATH) ? 0 : -1;
}

// Writes the tag lines of tags into path and forces them to disk. 0 / -1.
int write_synced(const char *path, const tag_set *tags) {
  plat_file_guard f(plat_file_open(path, PLAT_WRITE_TRUNC));
  if (!f.f) return -1;
  char line[S3_TAG_LINE_MAX + 2];
  for (size_t i = 0; i < tags->count; i++) {
    size_t n = tag_record_line(&tags->tags[i], line, sizeof line - 1);
    if (!n) return -1;
    line[n++] = '\n';
    if (plat_file_write(f.f, line, n) != (long)n) return -1;
  }
  return plat_file_sync(f.f);
}

}  // namespace

int bucket_tags_save(const char *bucket, const tag_set *tags) {
  char path[S3_FS_PATH], tmp[S3_FS_PATH];
  if (tags_path(bucket, path) != 0 || temp_path(bucket, tmp) != 0) return -1;
  mkdir_parent(tmp);
  // Under the bucket lock, so a set never lands after its bucket was deleted (it would then
  // belong to the next bucket of that name).
  bucket_lock_guard held(bucket, 0, 1);
  char dir[S3_FS_PATH];
  if (!held.held() || object_path(bucket, nullptr, dir) != 0 || !is_directory(dir) ||
      write_synced(tmp, tags) != 0 || replace_file(tmp, path) != 0) {
    set_error("cannot store the tags of %s", bucket);
    remove_file(tmp);
    return -1;
  }
  return 0;
}

int bucket_tags_load(const char *bucket, tag_set *out) {
  out->count = 0;
  char path[S3_FS_PATH];
  if (tags_path(bucket, path) != 0) return -1;
  plat_file_guard f(plat_file_open(path, PLAT_READ));
  if (!f.f) {
    plat_stat_t st;
    return plat_stat(path, &st) == 0 ? -1 : 0;
  }
  // Read line by line; only this server writes the file, and a line longer than a tag line
  // can be is no tag line.
  char buf[4096];
  char line[S3_TAG_LINE_MAX + 1];
  size_t line_len = 0, total = 0;
  int too_long = 0;
  for (;;) {
    long got = plat_file_read(f.f, buf, sizeof buf);
    if (got < 0) return -1;
    if (got == 0) break;
    total += (size_t)got;
    if (total > BUCKET_TAGS_FILE_MAX) return -1;
    for (long i = 0; i < got; i++) {
      if (buf[i] == '\n') {
        if (!too_long) tag_record_take(line, line_len, out, S3_BUCKET_TAGS_MAX);
        line_len = 0;
        too_long = 0;
      } else if (line_len < S3_TAG_LINE_MAX) {
        line[line_len++] = buf[i];
      } else {
        too_long = 1;
      }
    }
  }
  if (line_len && !too_long) tag_record_take(line, line_len, out, S3_BUCKET_TAGS_MAX);
  return 1;
}

int bucket_tags_remove(const char *bucket) {
  char path[S3_FS_PATH];
  if (tags_path(bucket, path) != 0) return -1;
  return remove_file(path) < 0 ? -1 : 0;
}
