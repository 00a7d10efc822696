// STUB: replaced by the storage layout helpers.
#include "store/layout.h"
int object_path(const char *, const char *, char out[S3_FS_PATH]) { out[0] = 0; return -1; }
int meta_path(const char *, const char *, char out[S3_FS_PATH]) { out[0] = 0; return -1; }
int mkdir_p(const char *) { return 0; }
void mkdir_parent(const char *) {}
int replace_file(const char *, const char *) { return -1; }
int delete_dir_recursive(const char *) { return -1; }
int dir_contains_files(const char *) { return 0; }
int is_directory(const char *) { return 0; }
int file_info(const char *, uint64_t *, int64_t *, int *) { return -1; }
int remove_file(const char *) { return -1; }
int file_mtime_rfc1123(const char *, char[64]) { return -1; }
int file_mtime_iso8601(const char *, char[64]) { return -1; }
void format_rfc1123(int64_t, char out[64]) { out[0] = 0; }
void format_iso8601(int64_t, char out[64]) { out[0] = 0; }
const char *guess_content_type(const char *) { return "binary/octet-stream"; }
uint32_t next_seq() { return 0; }
int make_upload_temp(const char *, char out[S3_FS_PATH]) { out[0] = 0; return -1; }
int make_mpu_temp(const char *, size_t, char out[S3_FS_PATH]) { out[0] = 0; return -1; }
int copy_file_range_md5(const char *, uint64_t, uint64_t, const char *, char *, uint64_t *) { return -1; }
