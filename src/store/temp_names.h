// Temporary files: every upload, copy, part, joined upload and record draft is written into a
// new file of the running server's own temporary folder before it is moved into place.
#pragma once

#include <cstddef>
#include <cstdint>

#include "base/limits.h"
#include "platform/platform.h"

// The folder under the storage root that holds one temporary folder per running server:
// root/.s3tmp/<id>/ with its lock file root/.s3tmp/<id>.lock, held by that server for its
// lifetime. <id> is 32 hexadecimal digits of 128 random bits, new at every start.
constexpr const char *S3_TEMP_TREE = ".s3tmp";

// Opens this server's temporary folder under the storage root (after temp_area_sweep): its
// lock is taken and held until temp_area_close. 0, or -1 when it cannot be made (the writes
// that need it then fail and try again).
int temp_area_open();
// Releases the folder's lock; the folder goes with its last file, or with the next start's
// sweep.
void temp_area_close();
// Removes the temporary folders of servers that no longer run: those whose lock file can be
// locked at once. A live server's folder is never touched. Returns the files removed.
uint64_t temp_area_sweep();

// Creates a new, empty temporary file in this server's folder (opening the folder first when
// it is not open for the current root), under a name of 128 random bits, made exclusively and
// chosen again if it is taken; ext ends the name (TEMP_DATA for the bytes of an object or part,
// TEMP_RECORD for a record's draft). Its path into out[4352]; the open handle is returned,
// null on failure (out then "").
constexpr const char *TEMP_DATA = ".tmp";
constexpr const char *TEMP_RECORD = ".rec";
plat_file *temp_file_create(char out[S3_FS_PATH], const char *ext = TEMP_DATA);
// This server's temporary folder into out (opening it first as temp_file_create does). 0 / -1.
int temp_area_dir(char out[S3_FS_PATH]);
// temp_file_create with the handle closed: the file stays, empty, for a later
// plat_file_open(PLAT_WRITE_KEEP). 0 / -1.
int temp_file_make(char out[S3_FS_PATH], const char *ext = TEMP_DATA);
