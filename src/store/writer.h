// The object writer: every new object, part or joined upload is written into a temporary file
// the store names and places, then committed onto its key (or part) with its record, or
// aborted with nothing left behind. Operations never see how the store lays its files out.
//
// A writer's life: writer_begin_* (names only, nothing on disk), then the bytes (a body reader
// writing into writer_temp_path, or writer_write / writer_copy_from through the writer's open
// file), writer_finish, then writer_commit_object or writer_commit_part, or writer_abort.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/platform.h"
#include "store/layout.h"
#include "store/object.h"

enum writer_kind {
  WRITER_OBJECT = 1,  // a whole object, from a body or a copy; its file beside the bucket's root
  WRITER_PART = 2,    // one part of a multipart upload, in the upload's folder
  WRITER_JOIN = 3     // the joined parts of an upload, beside the key's own file
};

struct object_writer {
  int kind;                // writer_kind, 0 before a begin
  int live;                // 1 while the temporary file may exist and is neither committed
                           // nor aborted
  const char *bucket;      // the caller's text; it outlives the writer
  const char *key;         // the caller's text (null for a part)
  unsigned long part;      // the part number (WRITER_PART)
  plat_file *out;          // the temporary file while open for writer_write / writer_copy_from
  char path[S3_FS_PATH];   // the key's file (objects, joins) or the upload's folder (parts)
  char tmp[S3_FS_PATH];    // the temporary file's path
  char vid[40];            // after writer_commit_object: the new version's id ("" when the
                           // bucket never had versioning)
};

// A new object for bucket/key. 0; -1 the key has no path in the store (too long, or not a
// storable key); -2 no temporary name fits.
int writer_begin_object(object_writer *w, const char *bucket, const char *key);
// writer_begin_object for a caller that holds the paths already: path is object_path of
// bucket/key, bucket_dir that of the bucket. 0; -1 either does not fit here; -2 as above.
int writer_begin_object_at(object_writer *w, const char *bucket, const char *key,
                           const char *path, const char *bucket_dir);
// The joined parts of a completed upload for bucket/key; as writer_begin_object.
int writer_begin_join(object_writer *w, const char *bucket, const char *key);
// Part `part` of the upload upload_id of bucket. 0; 1 there is no such upload; -2 no
// temporary name fits.
int writer_begin_part(object_writer *w, const char *bucket, const char *upload_id,
                      unsigned long part);

// The temporary file a body reader creates and fills (a reader that fails may remove it).
const char *writer_temp_path(const object_writer *w);

// Opens the temporary file (created or emptied) for writer_write and writer_copy_from; for a
// join the key's folders inside the bucket are made first. 0; 1 the bucket directory is
// missing (a join only: a deleted bucket is never brought back); -1 it could not be made.
int writer_open(object_writer *w);
// Appends n bytes to the open temporary file. 0, or -1 on a failed or short write.
int writer_write(object_writer *w, const void *data, size_t n);
// Appends what is left of in (from its current position to its end), opening the temporary
// file first when it is not open. *copied (optional) gets the bytes appended, md5_out
// (optional) the MD5 hex of them. 0, or -1 when the source cannot be read or a write falls
// short.
int writer_copy_from(object_writer *w, plat_file *in, char md5_out[33], uint64_t *copied);
// Fills the temporary file with count bytes of the file at src from offset (count UINT64_MAX:
// to its end), with their MD5 hex. 0, or -1 on any failure, the source shorter than asked
// included.
int writer_copy_range(object_writer *w, const char *src, uint64_t offset, uint64_t count,
                      char md5_out[33], uint64_t *copied);
// Closes the open temporary file after handing its writes to the system. 0, or -1 when that
// failed (the file is closed either way). A writer with no open file gives 0.
int writer_finish(object_writer *w);

// Commits an object or a join: object_commit's results (0, -1, COMMIT_*), the temporary file
// gone in every case but 0.
int writer_commit_object(object_writer *w, const char *etag, const char *content_type,
                         const char *head, size_t head_len, const commit_condition *cond,
                         const part_layout *parts, const record_checksum *sum = nullptr,
                         const part_checksums *part_sums = nullptr);
// Commits a part with its ETag: mpu_part_commit's results (0; -1 the upload is gone; -2 the
// files could not be moved), the temporary file gone in every case.
// sum_line, when given, is the part's checksum as mpu_part_commit records it.
int writer_commit_part(object_writer *w, const char *etag, const char *sum_line = nullptr);
// Drops whatever was written; an earlier object or part is untouched. Safe to call again, and
// after a commit, when it does nothing.
void writer_abort(object_writer *w);

// Aborts the writer on every way out that did not commit it.
struct object_writer_guard {
  object_writer w;
  object_writer_guard() {
    w.kind = 0;
    w.live = 0;
    w.out = nullptr;
  }
  ~object_writer_guard() { writer_abort(&w); }
  object_writer_guard(const object_writer_guard &) = delete;
  object_writer_guard &operator=(const object_writer_guard &) = delete;
};
