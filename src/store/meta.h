// Object metadata files: content type, ETag and user metadata beside each object.
#pragma once

#include <cstddef>
#include <cstdint>

#include "base/limits.h"
#include "digest/checksum.h"
#include "http/response.h"
#include "platform/platform.h"

struct tag_set;

// A version id as the store writes it (32 characters, or "null"), NUL included.
constexpr size_t S3_VID_CAP = 40;

// The content headers an object keeps and GET and HEAD answer with, beside its content type.
enum content_header_id {
  CH_CACHE_CONTROL = 0,
  CH_CONTENT_DISPOSITION,
  CH_CONTENT_ENCODING,
  CH_CONTENT_LANGUAGE,
  CH_EXPIRES,
  CH_COUNT
};
constexpr size_t S3_CONTENT_VALUE_CAP = 1024;  // one value, NUL included
// Their names as answers spell them, indexed by content_header_id.
extern const char *const CONTENT_HEADER_NAMES[CH_COUNT];
// Room for the "Name: value\r\n" lines of all five (content_headers_render), NUL included.
constexpr size_t S3_CONTENT_BLOCK_CAP = CH_COUNT * (24 + S3_CONTENT_VALUE_CAP) + 1;

struct content_headers {
  char value[CH_COUNT][S3_CONTENT_VALUE_CAP];  // "" when the object has none
};
void content_headers_clear(content_headers *c);
// Takes the five content headers from a header block: a request head, a block rendered by
// content_headers_render, or any "Name: value" lines such as a form's fields. The first line
// of each name counts; its value is trimmed, and Content-Encoding loses its aws-chunked token,
// which frames the request body and is no coding of the object. 0 when every value given is
// usable; -1 with *bad (when given) naming the first one that holds a control character or
// is too long to record. Unusable values are left empty, so the result is always safe to keep.
int content_headers_from_head(const char *head, size_t head_len, content_headers *out,
                              int *bad);
// Checks one value as content_headers_from_head does: 1 usable, 0 not.
int content_value_usable(const char *value);
// The "Name: value\r\n" lines of the headers that have a value, into out[cap]; their length
// (lines that do not fit are left out whole).
size_t content_headers_render(const content_headers *c, char *out, size_t cap);
// 1 when the record line line[0..n) is a content-header line (then stored into c when given),
// 0 when it is anything else.
int meta_content_line(const char *line, size_t n, content_headers *c);

// The part layout of an object made by CompleteMultipartUpload: the size of each part, in
// order. Kept in the object's record so that a read of one part needs no guess.
struct part_layout {
  const uint64_t *sizes;  // count sizes
  size_t count;
};
// What a record's layout says about one part, filled while the record is read.
struct part_lookup {
  uint32_t want;   // the part asked for, from 1; 0 for none
  uint32_t count;  // parts recorded; 0 when the record holds no layout
  uint64_t total;  // their sizes summed
  uint64_t first;  // offset of part `want` in the object
  uint64_t len;    // its size
  int found;       // 1 when part `want` is among those recorded
  int bad;         // 1 when a layout line could not be read: the layout is not to be used
};
void part_lookup_clear(part_lookup *p, uint32_t want);

// The checksum an object keeps: of its whole content, or for an object made from parts, the
// one its upload chose (full-object or composite) and the checksum of each part.
struct record_checksum {
  int algo;                 // ck_algo; CK_NONE when the record holds none
  int type;                 // ck_type
  char value[CK_TEXT_CAP];  // Base64; "BASE64-N" for a composite of N parts
};
// The part checksums a record is written with, in part order.
struct part_checksums {
  int algo;                         // CK_NONE: none recorded
  size_t count;
  const char (*values)[CK_B64_CAP];  // count values
};
// What a read of a record takes of its checksums: the object's, one part's (GET ?partNumber),
// and a page of part sizes and checksums (the ObjectParts of GetObjectAttributes).
struct record_sums {
  record_checksum whole;
  int part_algo;                    // the algorithm of the part checksums; CK_NONE for none
  uint32_t want;                    // the part whose checksum is asked, from 1; 0 for none
  char want_value[CK_B64_CAP];      // "" when it has none
  uint32_t sums_seen;               // part checksums recorded
  // The page: parts numbered after+1 .. after+cap. sizes and values may be null.
  uint32_t after, cap;
  uint64_t *sizes;
  char (*values)[CK_B64_CAP];
};
void record_sums_clear(record_sums *s, uint32_t want);
// What a record says about its object's tags, filled while the record is read.
struct record_tags {
  uint32_t count;  // tag lines read
  tag_set *set;    // when given (emptied by the caller), receives the tags
};

// ---------------------------------------------------------------- the version a record names

// The data version a record was written for: the data file's size, its modification time as
// set at the commit (the commit stamp), and its file number (inode; the file index on Windows),
// all as a status call of the open data file gives them. A move keeps all three, and no other
// version can have all three: a new version is always a new file. A reader trusts a record
// only for data whose status is exactly this.
struct record_version {
  int present;        // 1 when the record names its version (all written since it was kept)
  uint64_t size;
  int64_t mtime_ns;
  uint64_t file_id;
};
// The version of an open data file. 0 / -1.
int record_version_of(plat_file *data, record_version *out);
// 1 when v names the data whose status is id.
int record_version_matches(const record_version *v, const plat_file_id *id);
// The record line "+Version SIZE STAMP FILE\n" of v into out[cap]; its length, 0 when v names
// nothing (or it does not fit).
size_t record_version_format(const record_version *v, char *out, size_t cap);
// 1 when line[0..n) is a version line (v then filled when it parses), 0 otherwise.
int record_version_line(const char *line, size_t n, record_version *v);

// The store itself pairs these with the data files under its commit lock (store/object.h);
// operations go through that module, never through these directly.

// A record written ahead under a temporary name beside its place, published by one move, so
// that no reader and no crash ever meets a cut record.
struct meta_draft {
  plat_file *f;             // the temporary file, open until published or discarded
  char tmp[S3_FS_PATH];     // its name ("" when nothing is pending)
  char path[S3_FS_PATH];    // the record's place
};
// Writes the record of bucket/key (content type, ETag, then the x-amz-meta-* lines and the
// content headers of head) into a temporary file. 0, or -1 with nothing left behind.
// parts, when given, is recorded as the object's part layout.
// sum and part_sums, when given, are recorded as the object's checksums, and version as the
// data version the record belongs to.
int meta_draft_write(meta_draft *d, const char *bucket, const char *key, const char *etag,
                     const char *content_type, const char *head, size_t head_len,
                     const part_layout *parts = nullptr, const record_checksum *sum = nullptr,
                     const part_checksums *part_sums = nullptr,
                     const record_version *version = nullptr, const char *vid = nullptr);
// Flushes a written draft to disk; it must be, before it is published. Kept apart from the
// writing so that a commit can write its data and its record first and then flush both, and the
// second flush finds most of its work done by the first. 0, or -1 with the draft discarded.
int meta_draft_sync(meta_draft *d);
// Gives the draft the modification time stamp_ns and moves it onto the record's place. 0, or
// -1 with the draft removed and an earlier record left as it was.
int meta_draft_publish(meta_draft *d, int64_t stamp_ns);
// Removes a draft that was not published (nothing pending is fine).
void meta_draft_discard(meta_draft *d);
// The record's modification time in nanoseconds: 0, or -1 when there is none.
int meta_mtime_ns(const char *bucket, const char *key, int64_t *mtime_ns);

// Writes .s3meta/bucket/key at once (a draft published with the current time).
void meta_save(const char *bucket, const char *key, const char *etag, const char *content_type,
               const char *head, size_t head_len);
// Reads it: 1 read, 0 none. Writes only the buffers it has values for (callers clear them);
// content, when given, receives the content headers, and parts (cleared by the caller) what
// the part layout says.
int meta_load(const char *bucket, const char *key, char content_type[256], char *etag,
              size_t etag_size, char user_meta[1024], content_headers *content = nullptr,
              part_lookup *parts = nullptr, record_sums *sums = nullptr,
              record_tags *tags = nullptr);
// As meta_load, but a record older than the data it would describe (data_mtime_ns) counts as
// none: it belongs to an earlier version whose replacement was cut short before its record.
int meta_load_current(const char *bucket, const char *key, int64_t data_mtime_ns,
                      char content_type[256], char *etag, size_t etag_size, char user_meta[1024],
                      content_headers *content = nullptr, part_lookup *parts = nullptr,
                      record_sums *sums = nullptr, record_tags *tags = nullptr);
// Reads the record of bucket/key for the data whose status is id: 1 with the buffers filled when
// the record belongs to that version (it names it, or, written before records named their
// version, it is not older than the data); 0 when there is none; -1 when it names another
// version (a commit in progress, or one cut short before its record). *named (optional) is 1
// when the record named a version.
int meta_load_version(const char *bucket, const char *key, const plat_file_id *id,
                      char content_type[256], char *etag, size_t etag_size, char user_meta[1024],
                      content_headers *content = nullptr, part_lookup *parts = nullptr,
                      int *named = nullptr, record_tags *tags = nullptr,
                      record_sums *sums = nullptr, char *vid = nullptr);
// meta_load_version for the record file at path (a kept version's, or the current one's).
// vid (S3_VID_CAP bytes), when given, receives the record's version id ("" when it has none).
int meta_load_version_at(const char *path, const plat_file_id *id, char content_type[256],
                         char *etag, size_t etag_size, char user_meta[1024],
                         content_headers *content = nullptr, part_lookup *parts = nullptr,
                         int *named = nullptr, record_tags *tags = nullptr,
                         record_sums *sums = nullptr, char *vid = nullptr);
// Removes the metadata file of one object (missing is fine).
void meta_remove(const char *bucket, const char *key);
// Writes to f the "name:value" line of each x-amz-meta-* header of head and the lines of its
// content headers, as meta_save records them (the upload store keeps them the same way until
// its object is made). 0, or -1 when a write fell short.
int meta_write_header_lines(plat_file *f, const char *head, size_t head_len);

// ---------------------------------------------------------------- tags in the record
// A record keeps its object's tags on "+Tag" lines (store/tags.h), written from the first
// x-amz-tagging line of the header block it is made from. A tag change rewrites the record
// whole with every other line kept as it was.

constexpr size_t S3_RECORD_TEXT_MAX = 1 << 20;  // the largest record a tag change rewrites
// The whole text of the record of bucket/key when it is current for data of data_mtime_ns: 1
// with *out (malloc'd, caller frees), *len and the record's time; 0 when there is none (or an
// older one, which counts as none); -1 when it cannot be read or is larger than
// S3_RECORD_TEXT_MAX.
int meta_read_text(const char *bucket, const char *key, int64_t data_mtime_ns, char **out,
                   size_t *len, int64_t *meta_mtime_ns);
// The record text old[0..len) with its tag lines replaced by those of tags (len 0: a record
// with no content type and no ETag, which readers fill from the data), into out.
void meta_retag_text(const char *old, size_t len, const tag_set *tags, dynbuf *out);
// A draft of bucket/key holding text[0..len) as it stands. 0, or -1 with nothing left behind.
int meta_draft_write_text(meta_draft *d, const char *bucket, const char *key, const char *text,
                          size_t len);
