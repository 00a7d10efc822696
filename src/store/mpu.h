// The multipart upload store: upload directories, ids, part ETags and the start-up sweep.
#pragma once

#include <cstddef>
#include <cstdint>

#include "auth/hash.h"
#include "store/layout.h"

constexpr uint64_t S3_MPU_MAX_AGE = 604800;  // seconds; older uploads are swept at start
constexpr unsigned long S3_MPU_MAX_PART = 10000;  // part numbers run from 1 to this
constexpr size_t S3_MPU_FILE_PATH = 4600;   // upload dir + "/" + file name (cut at 4599)

void mpu_new_upload_id(char out[33]);
// root/.mpu/bucket/upload_id into out[4352]; 0 / -1.
int mpu_upload_dir(const char *bucket, const char *upload_id, char out[S3_FS_PATH]);
// 0 with the key and content type, -1 when the upload does not exist.
int mpu_meta_read(const char *bucket, const char *upload_id, char key[4096], char content_type[256]);
// 0 with the part's stored ETag, -1 when missing or empty.
int mpu_part_etag(const char *bucket, const char *upload_id, unsigned long part, char etag[80]);
// "%s-%d" from the stored ETags of parts[0..n) into out[48].
void mpu_final_etag(const char *bucket, const char *upload_id, const unsigned long *parts,
                    size_t n, char out[48]);
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
// dir/name into out[4600]; 0, or -1 when it does not fit.
int mpu_file_path(const char *upload_dir, const char *name, char out[S3_MPU_FILE_PATH]);
