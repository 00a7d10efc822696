// File helpers: directories, the replacing move, deletion, file status and times, and the
// copy with an MD5 used by CopyObject and UploadPartCopy.
#pragma once

#include <cstddef>
#include <cstdint>

#include "base/limits.h"

int mkdir_p(const char *path);
// Creates the directory holding path (the text before its last '/'), when there is one.
void mkdir_parent(const char *path);
int replace_file(const char *src, const char *dst);
int delete_dir_recursive(const char *path);
// Removes the tree at path when it holds only directories; 0, or -1 (keeping the rest) at the
// first file it meets.
int delete_empty_dirs(const char *path);
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

// Copies src (from offset, count bytes; count UINT64_MAX = to the end) into dst through a
// 64 KiB buffer, computing its MD5 hex into md5_out when given. 0, or -1 on any failure
// (source unreadable, destination not writable, short write, source shorter than asked).
// Writes data[0..len) into the file at path (a new temporary file, kept as it is opened) and
// forces it to disk: 0 / -1.
int write_file_synced(const char *path, const void *data, size_t len);
// Reads a small file the server wrote itself, at most cap bytes (anything longer is cut, never
// overrun), into a malloc'd, NUL-terminated buffer *out the caller frees, its length in *len.
// 1 read; 0 there is no file (nothing to free); -1 it exists but cannot be read.
int read_capped_file(const char *path, size_t cap, char **out, size_t *len);

int copy_file_range_md5(const char *src, uint64_t offset, uint64_t count, const char *dst,
                        char md5_out[33], uint64_t *copied);
