// The limits on names every floor shares: one name for each, mirrored by the README's limits.
#pragma once

#include <cstddef>

// A bucket name: 3 to 63 characters.
constexpr size_t S3_BUCKET_MIN = 3;
constexpr size_t S3_BUCKET_MAX = 63;
// A key: at most 4095 bytes once percent-decoded; a field that holds one has room for its NUL.
constexpr size_t S3_KEY_MAX = 4095;
constexpr size_t S3_KEY_FIELD = S3_KEY_MAX + 1;
// One "/"-separated segment of a key: at most 255 bytes, a file name on every file system.
constexpr size_t S3_SEGMENT_MAX = 255;
// Every path buffer of the store; a path is at most 4351 characters.
constexpr size_t S3_FS_PATH = 4352;
