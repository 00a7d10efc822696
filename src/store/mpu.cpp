// STUB: replaced by the multipart store.
#include "store/mpu.h"
void mpu_new_upload_id(char out[33]) { for (int i = 0; i < 32; i++) out[i] = '0'; out[32] = 0; }
int mpu_upload_dir(const char *, const char *, char out[S3_FS_PATH]) { out[0] = 0; return -1; }
int mpu_meta_read(const char *, const char *, char[4096], char[256]) { return -1; }
int mpu_part_etag(const char *, const char *, unsigned long, char[80]) { return -1; }
void mpu_final_etag(const char *, const char *, const unsigned long *, size_t, char out[48]) { out[0] = 0; }
void mpu_gc_sweep() {}
