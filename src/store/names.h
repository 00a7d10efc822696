// Every rule on names: bucket names, keys, upload ids, the server's own file names, and the
// one check a request's bucket and key pass before anything is done with them.
#pragma once

#include <cstddef>

#include "base/limits.h"
#include "http/request.h"

// The file that holds a folder marker (a key ending in "/", such as "dir/") inside the
// directory its key names, so that "dir/" and "dir/file" are both objects. Its name matches
// no temporary-name pattern, and no key may have a segment of that name.
#define S3_FOLDER_MARKER ".quillmar-folder"

// ---------------------------------------------------------------- buckets

// The bucket-name rule: 3 to 63 characters of a-z, 0-9, "." and "-", a letter or digit at
// both ends, no "..", ".-" or "-.", not an IPv4 address. 1 when name[0..n) follows it. A name
// that follows it never begins with ".", so the reserved root directories stay out of reach.
int valid_bucket_name(const char *name, size_t n);
// 1 when bucket can only name one bucket's own directory or records: not empty, no "/", and
// not beginning with "." (so never ".", "..", or the root's reserved directories). Every name
// the bucket-name rule lets through is plain; the store checks it again before it removes or
// locks anything by that name.
int plain_bucket_name(const char *bucket);

// ---------------------------------------------------------------- keys

// 1 when the decoded key holds a ".." segment (two dots between slashes or the key's ends).
int has_dotdot_segment(const char *key);
// 1 when the decoded key names a file inside its bucket and the object namespace: no "." or
// ".." segment (also one made by an encoded "/"), and a last segment that is not one of the
// server's temporary-file names.
int key_stays_inside(const char *key);
// The key rules of request paths for a key decoded as a whole (a copy source): no segment "."
// or "..", no segment above 255 bytes. 1 when key follows them.
int valid_decoded_key(const char *key);
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

// ---------------------------------------------------------------- the server's own names

// 1 when an entry inside a bucket directory is one of the server's own names and never shown
// as it is: a temporary file, recognised by the exact pattern make_upload_temp and
// make_mpu_temp give it, or a folder marker's file. Every other name, dot-names included, is
// a key's segment.
int is_own_name(const char *name, int is_dir);
// 1 when the key's last segment is one of those names: such a key never names an object.
int key_is_own_name(const char *key);
// 1 when a directory entry is a folder marker's file; walkers list it as its directory's key.
int is_folder_marker(const char *name, int is_dir);

// ---------------------------------------------------------------- upload ids

// An uploadId of the form this server gives out: 32 lowercase hexadecimal digits. Any other
// value names no upload, and can name no directory either.
int valid_upload_id(const char *v);

// ---------------------------------------------------------------- a request's names

// What names_check_request finds; the dispatcher answers each.
enum name_verdict {
  NAME_OK = 0,
  NAME_BAD_PATH = -1,    // the path names no key: malformed, a "." or ".." segment, too long
  NAME_BAD_BUCKET = -2,  // the bucket segment breaks the bucket-name rule
  NAME_UNPORTABLE = -3,  // the bucket or key is not a file name on every platform
  NAME_NOT_UTF8 = -4,    // the decoded key is not UTF-8
};

// Applies every name rule, once, to the bucket and decoded key parse_bucket_key split from r's
// path; split is its result (0, -1 the key did not decode, -2 the bucket segment is longer
// than any bucket name). The bucket rule is checked first, then the key's decoding, UTF-8, the
// namespace and the portability rule (for any method but DELETE: an object stored under such
// a name before the rule existed can still be removed), then whether the key can name an
// object at all. A key refused as no key (NAME_BAD_PATH, NAME_NOT_UTF8) is emptied, so nothing
// later can use it.
name_verdict names_check_request(S3Request *r, int split);
