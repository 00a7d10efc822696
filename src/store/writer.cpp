// The object writer: temporary names, the key's folders, the byte copies and the commits of
// new objects and parts, so that no operation handles a store path itself.
#include "store/writer.h"

#include <cstdlib>
#include <cstring>

#include "base/text.h"
#include "digest/hash.h"
#include "store/files.h"
#include "store/mpu.h"
#include "store/temp_names.h"

namespace {

constexpr size_t COPY_BLOCK = 65536;  // bytes moved per read and write

void writer_clear(object_writer *w, int kind, const char *bucket, const char *key) {
  w->kind = kind;
  w->live = 0;
  w->bucket = bucket;
  w->key = key;
  w->part = 0;
  w->out = nullptr;
  w->path[0] = 0;
  w->tmp[0] = 0;
  w->vid[0] = 0;
}

void md5_hex(md5_ctx *md5, char out[33]) {
  unsigned char digest[16];
  md5_final(md5, digest);
  hex_encode(digest, 16, out);
  out[32] = 0;
}

}  // namespace

int writer_begin_object(object_writer *w, const char *bucket, const char *key) {
  char path[S3_FS_PATH];
  char bucket_dir[S3_FS_PATH];
  if (object_path(bucket, key, path) != 0 || object_path(bucket, nullptr, bucket_dir) != 0) {
    writer_clear(w, WRITER_OBJECT, bucket, key);
    return -1;
  }
  return writer_begin_object_at(w, bucket, key, path, bucket_dir);
}

int writer_begin_object_at(object_writer *w, const char *bucket, const char *key,
                           const char *path, const char *bucket_dir) {
  writer_clear(w, WRITER_OBJECT, bucket, key);
  if (copy_text(w->path, sizeof w->path, path) != 1) return -1;
  (void)bucket_dir;
  // In this server's temporary folder, never in the bucket: the key's folders are made only at
  // the commit, under the bucket lock, so a request that fails first leaves none behind, and a
  // bucket being deleted never meets a file it did not expect.
  if (temp_file_make(w->tmp) != 0) return -2;
  w->live = 1;
  return 0;
}

int writer_begin_join(object_writer *w, const char *bucket, const char *key) {
  writer_clear(w, WRITER_JOIN, bucket, key);
  if (object_path(bucket, key, w->path) != 0) return -1;
  if (temp_file_make(w->tmp) != 0) return -2;
  w->live = 1;
  return 0;
}

int writer_begin_part(object_writer *w, const char *bucket, const char *upload_id,
                      unsigned long part) {
  writer_clear(w, WRITER_PART, bucket, nullptr);
  w->part = part;
  char meta[S3_MPU_FILE_PATH];
  plat_stat_t st;
  if (mpu_upload_dir(bucket, upload_id, w->path) != 0 ||
      mpu_file_path(w->path, "meta", meta) != 0 || plat_stat(meta, &st) != 0)
    return 1;
  if (temp_file_make(w->tmp) != 0) return -2;
  w->live = 1;
  return 0;
}

const char *writer_temp_path(const object_writer *w) { return w->tmp; }

int writer_open(object_writer *w) {
  if (!w->live) return -1;
  if (w->out) return 0;
  if (w->kind == WRITER_JOIN) {
    // The joined file is made beside its key's place: an object in the way of that place's
    // directory moves into it first.
    if (object_make_room(w->bucket, w->key, 0) != 0) return -1;
    int dirs = object_make_key_dirs(w->bucket, w->path);
    if (dirs != 0) return dirs;
  }
  // The file was made empty by the writer's begin, and is never emptied again.
  w->out = plat_file_open(w->tmp, PLAT_WRITE_KEEP);
  return w->out ? 0 : -1;
}

int writer_write(object_writer *w, const void *data, size_t n) {
  if (!w->out) return -1;
  return plat_file_write(w->out, data, n) == (long)n ? 0 : -1;
}

int writer_copy_from(object_writer *w, plat_file *in, char md5_out[33], uint64_t *copied) {
  if (copied) *copied = 0;
  if (!in || writer_open(w) != 0) return -1;
  char *block = static_cast<char *>(malloc(COPY_BLOCK));
  if (!block) return -1;
  md5_ctx md5;
  md5_init(&md5);
  int rc = 0;
  for (;;) {
    long got = plat_file_read(in, block, COPY_BLOCK);
    // A source that cannot be read to its end must never become a silently shortened copy.
    if (got < 0 || (got > 0 && writer_write(w, block, (size_t)got) != 0)) {
      rc = -1;
      break;
    }
    if (got == 0) break;
    if (md5_out) md5_update(&md5, block, (size_t)got);
    if (copied) *copied += (uint64_t)got;
  }
  free(block);
  if (rc == 0 && md5_out) md5_hex(&md5, md5_out);
  return rc;
}

int writer_copy_range(object_writer *w, const char *src, uint64_t offset, uint64_t count,
                      char md5_out[33], uint64_t *copied) {
  if (copied) *copied = 0;
  if (!w->live || w->out) return -1;
  return copy_file_range_md5(src, offset, count, w->tmp, md5_out, copied);
}

int writer_finish(object_writer *w) {
  if (!w->out) return 0;
  int rc = plat_file_flush(w->out);
  plat_file_close(w->out);
  w->out = nullptr;
  return rc;
}

int writer_commit_object(object_writer *w, const char *etag, const char *content_type,
                         const char *head, size_t head_len, const commit_condition *cond,
                         const part_layout *parts, const record_checksum *sum,
                         const part_checksums *part_sums) {
  if (!w->live || w->kind == WRITER_PART) return -1;
  if (writer_finish(w) != 0) {
    writer_abort(w);
    return -1;
  }
  w->live = 0;
  return object_commit_at(w->tmp, w->path, w->bucket, w->key, etag, content_type, head, head_len,
                          cond, parts, sum, part_sums, w->vid);
}

int writer_commit_part(object_writer *w, const char *etag, const char *sum_line) {
  if (!w->live || w->kind != WRITER_PART) return -2;
  if (writer_finish(w) != 0) {
    writer_abort(w);
    return -2;
  }
  w->live = 0;
  return mpu_part_commit(w->bucket, w->path, w->part, w->tmp, etag, sum_line);
}

void writer_abort(object_writer *w) {
  if (w->out) plat_file_close(w->out);
  w->out = nullptr;
  if (w->live) remove_file(w->tmp);
  w->live = 0;
}
