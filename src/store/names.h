// Every rule on names: bucket names, keys, upload ids, the server's own file names, and the
// one check a request's bucket and key pass before anything is done with them.
#pragma once

#include <cstddef>

#include "base/limits.h"
#include "http/request.h"

// The server's own names inside a bucket directory. Every one begins with ".quillmar-"; a key
// segment that begins so is stored encoded, so no key ever takes one of them.
//
// The file that holds a folder marker (a key ending in "/", such as "dir/") inside the
// directory its key names, so that "dir/" and "dir/file" are both objects.
#define S3_FOLDER_MARKER ".quillmar-folder"
// The file that holds the object "a" inside the directory "a/" while that directory holds
// other keys ("a/b"), so that "a" and "a/b" are both objects.
#define S3_DIR_OBJECT ".quillmar-object"
// The folder beside "a" that the object "a" passes through, under its own name, while it
// moves between "a" and "a/" S3_DIR_OBJECT; a kill leaves it there, to be put back.
#define S3_MOVING_FOLDER ".quillmar-moving"
// A segment that cannot be a plain file name, stored as this prefix and its bytes, each byte
// other than a-z, A-Z (a-z only under Windows names), 0-9, "-", "_", "~", UTF-8 above ASCII, and
// a "." that is not the last, written as "%" and two upper-case hex digits.
#define S3_ENCODED_PREFIX ".quillmar-k-"
// A segment too long for one file name: directories so named, each holding the next piece of
// the segment in the same form, the last piece stored as any segment is.
#define S3_CHUNK_PREFIX ".quillmar-c-"
// The longest stored name, in bytes.
constexpr size_t S3_STORED_NAME_MAX = 255;

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

// 1 when key can name an object: not empty. Every key, whatever its segments (empty, "." or
// "..", long, a name of the server's own, a name the platform cannot hold), has a stored form
// of its own.
int key_is_storable(const char *key);
// The same test for callers that check a key's namespace (multi-delete, form uploads).
int key_stays_inside(const char *key);
// The key rules of a copy source decoded as a whole: not empty. 1 when key follows them.
int valid_decoded_key(const char *key);
// Why a key or bucket name cannot be a file name on Windows (it holds a "\\", ":", one of
// <>"|?* or a control character, a "/"-separated segment ends in "." or " ", or a segment is a
// reserved device name: CON, PRN, AUX, NUL, COM1-9, LPT1-9, in any case and with or without an
// extension), or null when it can. Under Windows names such segments are stored encoded.
const char *name_portability_problem(const char *name);

// The stored form of the segment seg[0..n) of a key, at a directory level (last 0) or as the
// object's own file name (last 1): the segment itself when it is a plain name, else its
// encoded name, or chunk directories joined by "/" ending in the encoded or plain last piece.
// Written into out (cap bytes, NUL included); its length, or -1 when it does not fit. One
// segment has one stored form, and two segments never share one.
long segment_stored_form(const char *seg, size_t n, int last, char *out, size_t cap);
// What a directory entry of a bucket is, read back from its name.
enum stored_kind {
  STORED_PLAIN = 0,   // the segment itself
  STORED_ENCODED = 1, // an encoded segment: out holds the decoded segment
  STORED_CHUNK = 2,   // a chunk directory: out holds the piece of its segment
  STORED_OWN = 3,     // one of the server's own files or a name no segment is stored as
};
// Decodes one directory entry's name into out (cap bytes); its kind, and *len the length of
// out. An encoded or chunk name is decoded strictly (upper-case hex only, no escape of a byte
// that is kept as it is): a name that is not the exact form of its segment is STORED_OWN.
stored_kind stored_name_decode(const char *name, int is_dir, char *out, size_t cap, size_t *len);

// ---------------------------------------------------------------- the server's own names

// 1 when an entry inside a bucket directory is one of the server's own names and never shown
// as it is: a temporary file, recognised by the exact pattern make_upload_temp and
// make_mpu_temp give it, or a folder marker's file. Every other name, dot-names included, is
// a key's segment.
int is_own_name(const char *name, int is_dir);
// 1 when a file's name is a temporary file's (an upload, part or cross-device copy being
// written), one a start-up sweep may remove once stale: never a name of the reserved prefix,
// which holds objects, folder markers, kept versions and encoded keys.
int is_temp_name(const char *name);
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
  NAME_BAD_PATH = -1,    // the path names no key: malformed, too long
  NAME_BAD_BUCKET = -2,  // the bucket segment breaks the bucket-name rule
  NAME_UNPORTABLE = -3,  // the bucket is not a directory name on every platform
  NAME_NOT_UTF8 = -4,    // the decoded key is not UTF-8
};

// Applies every name rule, once, to the bucket and decoded key parse_bucket_key split from r's
// path; split is its result (0, -1 the key did not decode, -2 the bucket segment is longer
// than any bucket name). The bucket rule is checked first, then the key's decoding and UTF-8,
// then whether the bucket's name is a directory name on every platform (not for DELETE). A
// key refused as no key (NAME_BAD_PATH, NAME_NOT_UTF8) is emptied, so nothing later can use
// it.
name_verdict names_check_request(S3Request *r, int split);
