// Temporary names: where an upload or a part is written before it replaces its object.
#pragma once

#include <cstddef>
#include <cstdint>

#include "base/limits.h"

// Next value of the process-wide temporary-name counter s_seq.
uint32_t next_seq();
// dir/.upload-<seconds>-<thread>-<seq>.tmp into out[4352]; 0 / -1.
int make_upload_temp(const char *dir, char out[S3_FS_PATH]);
// dir/.mpu-<thread>-<seq>.tmp (dir given with its length) into out[4352]; 0 / -1.
int make_mpu_temp(const char *dir, size_t dir_len, char out[S3_FS_PATH]);
