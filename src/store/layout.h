// The storage tree: object paths, directory and file helpers, file times, content types,
// temporary names.
#pragma once

#include <cstddef>
#include <cstdint>

#include "base/date.h"

constexpr size_t S3_FS_PATH = 4352;  // every path buffer; paths are at most 4351 characters

// The file that holds a folder marker (a key ending in "/", such as "dir/") inside the
// directory its key names, so that "dir/" and "dir/file" are both objects. Its name matches
// no temporary-name pattern, and no key may have a segment of that name.
#define S3_FOLDER_MARKER ".quillmar-folder"

// 1 when key can name an object: not empty, not made only of "/", and no segment is one of the
// server's own names (is_own_name).
int key_is_storable(const char *key);
// Why a key or bucket name cannot be a file name on every platform the store runs on (Windows
// cannot hold it, or would take it for another name or a device), or null when it can: a
// "\\", ":", one of <>"|?* or a control character in it, a "/"-separated segment ending in "."
// or " ", or a segment that is a reserved device name (CON, PRN, AUX, NUL, COM1-9, LPT1-9), in
// any case and with or without an extension. The same rule holds on every platform, so a
// store can move between them.
const char *name_portability_problem(const char *name);
// root/bucket[/key] into out[4352] (a folder marker's key gets the marker file's name
// appended); 0, or -1 when it does not fit or the key is not storable (out must then not be
// used).
int object_path(const char *bucket, const char *key, char out[S3_FS_PATH]);
// root/.s3meta/bucket/key into out[4352], mapped as object_path maps the key; 0 / -1.
int meta_path(const char *bucket, const char *key, char out[S3_FS_PATH]);
int mkdir_p(const char *path);
// Creates the directory holding path (the text before its last '/'), when there is one.
void mkdir_parent(const char *path);
int replace_file(const char *src, const char *dst);
int delete_dir_recursive(const char *path);
// Whether bucket/key can be stored as the tree stands: 0 it can (an empty directory left where
// the object's file goes has been removed), 1 another object is in the way and
// conflict[4096] names its key ("a" for "a/b"; "a/x" for "a" when "a/x" is stored), -1 the
// key has no path. Nothing that holds an object is changed.
int key_placement(const char *bucket, const char *key, char conflict[4096]);
// 1 when an entry inside a bucket directory is one of the server's own names and never shown
// as it is: a temporary file, recognised by the exact pattern make_upload_temp and
// make_mpu_temp give it, or a folder marker's file. Every other name, dot-names included, is
// a key's segment.
int is_own_name(const char *name, int is_dir);
// 1 when the key's last segment is one of those names: such a key never names an object.
int key_is_own_name(const char *key);
// 1 when a directory entry is a folder marker's file; walkers list it as its directory's key.
int is_folder_marker(const char *name, int is_dir);
// 1 when path is a directory itself; 0 otherwise, also for a symbolic link to one: a link in a
// bucket's place, or at any level inside the root, is never taken for a directory of the store.
int is_directory(const char *path);
// 1 when the entry name of the storage root (root as given) is shown as a bucket: its name does
// not begin with "." and it is not a symbolic link.
int root_entry_is_bucket(const char *root, const char *name);
// 0 and the file's size and mtime; -1 when missing. is_dir optional.
int file_info(const char *path, uint64_t *size, int64_t *mtime, int *is_dir);
// Removes a file; 0 done, 1 there was none, -1 other failure (e.g. a directory).
int remove_file(const char *path);

// A file's modification time in the texts of base/date.h; -1 when the file is missing.
int file_mtime_rfc1123(const char *path, char out[64]);
int file_mtime_iso8601(const char *path, char out[64]);
const char *guess_content_type(const char *name);

// Next value of the process-wide temporary-name counter s_seq.
uint32_t next_seq();
// dir/.upload-<seconds>-<thread>-<seq>.tmp into out[4352]; 0 / -1.
int make_upload_temp(const char *dir, char out[S3_FS_PATH]);
// dir/.mpu-<thread>-<seq>.tmp (dir given with its length) into out[4352]; 0 / -1.
int make_mpu_temp(const char *dir, size_t dir_len, char out[S3_FS_PATH]);
// Copies src (from offset, count bytes; count UINT64_MAX = to the end) into dst through a
// 64 KiB buffer, computing its MD5 hex into md5_out when given. 0, or -1 on any failure
// (source unreadable, destination not writable, short write, source shorter than asked).
int copy_file_range_md5(const char *src, uint64_t offset, uint64_t count, const char *dst,
                        char md5_out[33], uint64_t *copied);
