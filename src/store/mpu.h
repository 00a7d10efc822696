// The multipart upload store: upload directories, ids, part ETags and the start-up sweep.
#pragma once

#include <cstddef>
#include <cstdint>

#include "store/layout.h"

constexpr uint64_t S3_MPU_MAX_AGE = 604800;  // seconds; older uploads are swept at start

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
