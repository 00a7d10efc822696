// The multipart upload store: upload directories, ids, part ETags and the start-up sweep.
#pragma once

#include <cstddef>
#include <cstdint>

#include "digest/hash.h"
#include "platform/platform.h"
#include "base/limits.h"
#include "store/meta.h"
#include "store/object.h"
#include "store/tags.h"

constexpr unsigned long S3_MPU_MAX_PART = 10000;  // part numbers run from 1 to this
constexpr size_t S3_MPU_FILE_PATH = 4600;   // upload dir + "/" + file name (cut at 4599)

void mpu_new_upload_id(char out[33]);
// root/.mpu/bucket/upload_id into out[4352]; 0 / -1.
int mpu_upload_dir(const char *bucket, const char *upload_id, char out[S3_FS_PATH]);
// root/.mpu/bucket, the folder holding the bucket's uploads, into out[4352]; 0 / -1.
int mpu_bucket_dir(const char *bucket, char out[S3_FS_PATH]);
// 0 with the key and content type, -1 when the upload does not exist or its file cannot be read.
int mpu_meta_read(const char *bucket, const char *upload_id, char key[S3_KEY_FIELD], char content_type[256]);
// Writes the upload's "meta" file: the key, the content type (may be empty), then the
// x-amz-meta-* headers of head as "name:value" lines. Uploads begun before user metadata was
// kept have the first two lines only. 0, or -1 when it could not be written.
int mpu_meta_write(const char *upload_dir, const char *key, const char *content_type,
                   const char *head, size_t head_len);
// Makes the upload upload_id of key in bucket: its folder and its "meta" file (as
// mpu_meta_write). Under the shared bucket lock, so DeleteBucket, which removes a bucket's
// uploads, never leaves one behind in a bucket it deleted. 0 made, 1 the bucket does not exist,
// -1 the upload could not be made (nothing is left of it).
int mpu_create(const char *bucket, const char *upload_id, const char *key,
               const char *content_type, const char *head, size_t head_len);
// Room for what mpu_meta_headers gives: user metadata, content-header and tagging lines.
constexpr size_t S3_MPU_HEADERS_CAP = S3_USER_META_CAP + S3_CONTENT_BLOCK_CAP + S3_TAG_HEADER_CAP;
// The headers recorded at initiation, as a header block for the object's record: the user
// metadata "name:value\r\n" lines (whole lines only, at most 1023 characters), then the
// content headers as "Name: value\r\n" lines, then the tags given at initiation as one
// "x-amz-tagging: ...\r\n" line ("" when none). 0, or -1 when the upload does not
// exist or its file cannot be read.
int mpu_meta_headers(const char *bucket, const char *upload_id, char block[S3_MPU_HEADERS_CAP]);
// The record a successful Complete leaves in place of its upload, root/.mpu/bucket/<id>.done:
// the key, the final ETag and the object's size, so that a client retrying a Complete whose
// answer it lost gets the same answer while the object is still the one made. Kept as long as
// an upload may live (the start-up sweep removes older ones) and with the bucket's uploads.
// mpu_done_write: 0, or -1 when it could not be written (nothing is left of it).
int mpu_done_write(const char *bucket, const char *upload_id, const char *key, const char *etag,
                   uint64_t size);
// 0 with what mpu_done_write recorded, -1 when the upload has no such record.
int mpu_done_read(const char *bucket, const char *upload_id, char key[S3_KEY_FIELD], char etag[80],
                  uint64_t *size);
// 0 with the part's stored ETag, -1 when missing or empty.
int mpu_part_etag(const char *bucket, const char *upload_id, unsigned long part, char etag[80]);
void mpu_gc_sweep();

// The final ETag computed piece by piece: feed each part's stored ETag (32 hex digits; anything
// else contributes nothing), then finish with the number of listed parts.
void mpu_etag_feed(md5_ctx *c, const char *stored_etag);
void mpu_etag_finish(md5_ctx *c, size_t parts, char out[48]);
// One stored part as ListParts shows it.
struct mpu_part_info {
  uint32_t number;
  uint64_t size;
  int64_t mtime;
};
// The parts of the upload in upload_dir numbered above `after`, ascending, at most cap of them
// into out; *more becomes 1 when further parts follow. Reads the directory once, whatever it
// holds, with memory fixed by the highest part number. Returns the count.
size_t mpu_list_parts(const char *upload_dir, uint32_t after, mpu_part_info *out, size_t cap,
                      int *more);
// Moves a received part into place: data_tmp (its payload, checked and whole) becomes part N
// of the upload in udir and etag its record, both in one step under the upload's lock, so a
// Complete never joins one version's data under another version's ETag. 0 stored; -1 the
// upload is gone (aborted, completed, its bucket deleted); -2 the files could not be moved.
// data_tmp is removed on failure; an earlier part N then stays exactly as it was.
// sum_line, when given, is the part's checksum, "ALG BASE64", kept on the record's second line.
int mpu_part_commit(const char *bucket, const char *udir, unsigned long part,
                    const char *data_tmp, const char *etag, const char *sum_line = nullptr);
// Opens part N of the upload in udir for joining, with its recorded ETag, both of one version.
// 0 with *out open; -1 no record (or the upload is gone); -2 the record is there but not the data.
// sum, when given, receives the part's recorded checksum from the same record.
struct mpu_part_sum {
  int algo;                // CK_NONE when the part has none
  char value[CK_B64_CAP];  // Base64
};
int mpu_part_open(const char *udir, unsigned long part, plat_file **out, char etag[80],
                  mpu_part_sum *sum = nullptr);
// The recorded checksum of part N: 0 (sum->algo CK_NONE when it has none), -1 no record.
int mpu_part_checksum(const char *udir, unsigned long part, mpu_part_sum *sum);

// The checksum an upload was created with, kept in its folder's "checksum" file as
// "ALG TYPE": mpu_checksum_write 0 / -1; mpu_checksum_read fills algo and type (CK_NONE and
// CK_TYPE_NONE for an upload created without one, or before they were kept).
int mpu_checksum_write(const char *udir, int algo, int type);
void mpu_checksum_read(const char *udir, int *algo, int *type);
// dir/name into out[4600]; 0, or -1 when it does not fit.
int mpu_file_path(const char *upload_dir, const char *name, char out[S3_MPU_FILE_PATH]);
