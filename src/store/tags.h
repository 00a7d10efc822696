// Tag sets of objects and buckets and their text forms: the x-amz-tagging query form, the
// Tagging XML document, and the lines a record keeps them in.
#pragma once

#include <cstddef>
#include <cstdint>

#include "http/response.h"

constexpr size_t S3_OBJECT_TAGS_MAX = 10;   // tags one object may carry
constexpr size_t S3_BUCKET_TAGS_MAX = 50;   // tags one bucket may carry
constexpr size_t S3_TAG_KEY_CHARS = 128;    // characters (code points) of a key
constexpr size_t S3_TAG_VALUE_CHARS = 256;  // characters (code points) of a value
constexpr size_t S3_TAG_KEY_CAP = 4 * S3_TAG_KEY_CHARS + 1;      // as UTF-8, NUL included
constexpr size_t S3_TAG_VALUE_CAP = 4 * S3_TAG_VALUE_CHARS + 1;  // as UTF-8, NUL included
constexpr size_t S3_TAGGING_BODY_MAX = 262144;  // a PutObjectTagging / PutBucketTagging body
// The "x-amz-tagging: ...\r\n" line tags_render_header gives for an object's tags, NUL
// included: every key and value at its longest, each character 4 bytes raw or 3 escaped.
constexpr size_t S3_TAG_HEADER_CAP =
    S3_OBJECT_TAGS_MAX * (S3_TAG_KEY_CAP + S3_TAG_VALUE_CAP) + 32;
// The longest record line of one tag ("+Tag KEY VALUE", escaped as the record writes it).
constexpr size_t S3_TAG_LINE_MAX = 5 + (S3_TAG_KEY_CAP - 1) + 1 + (S3_TAG_VALUE_CAP - 1);

struct tag_entry {
  char key[S3_TAG_KEY_CAP];
  char value[S3_TAG_VALUE_CAP];
};
// A tag set in the order it was given. Large (about 77 KB): kept on the heap (tag_set_box).
struct tag_set {
  size_t count;
  tag_entry tags[S3_BUCKET_TAGS_MAX];
};

// Owns one heap tag_set, cleared; set is null when memory ran out.
struct tag_set_box {
  tag_set *set;
  tag_set_box();
  ~tag_set_box();
  tag_set_box(const tag_set_box &) = delete;
  tag_set_box &operator=(const tag_set_box &) = delete;
};

// What a parser found wrong with a tag set; each has S3's answer (the operations give it).
enum tag_verdict {
  TAGS_OK = 0,
  TAGS_MALFORMED,      // not the document or the query form at all
  TAGS_BAD_HEADER,     // x-amz-tagging: not URL-encoded UTF-8 pairs, or a key given twice
  TAGS_DUPLICATE,      // the document names one key twice
  TAGS_TOO_MANY,       // more tags than the set may hold
  TAGS_BAD_KEY,        // empty, too long, or a character tags do not take
  TAGS_BAD_VALUE,      // too long, or a character tags do not take
  TAGS_SYSTEM_KEY,     // a key beginning "aws:", which only the service itself may set
};
// The x-amz-tagging form "k1=v1&k2=v2" (percent escapes and '+' for a blank decoded) of
// text[0..len) into out, at most max tags. An empty text is the empty set.
tag_verdict tags_parse_query(const char *text, size_t len, size_t max, tag_set *out);
// The Tagging document <Tagging><TagSet><Tag><Key/><Value/></Tag>...</TagSet></Tagging> of
// body[0..len) into out, at most max tags.
tag_verdict tags_parse_xml(const char *body, size_t len, size_t max, tag_set *out);
// The value of the first x-amz-tagging line of a header block, trimmed: 1 with it in
// *value[0..*len), 0 when the block has none.
int tags_head_value(const char *head, size_t head_len, const char **value, size_t *len);
// The first x-amz-tagging line of a header block (a request head or lines in that form): 1
// with its value parsed into out (verdict in *v), 0 when the block has none (out emptied).
int tags_from_head(const char *head, size_t head_len, tag_set *out, tag_verdict *v);

// The Tagging document of set, as GetObjectTagging and GetBucketTagging answer it.
void tags_render_xml(const tag_set *set, dynbuf *out);
// "x-amz-tagging: <query form>\r\n" for set into out[cap] (cap S3_TAG_HEADER_CAP holds any
// object's set); an empty set gives the line with an empty value, which stands for "no tags".
// Its length, or 0 when it does not fit (out then "").
size_t tags_render_header(const tag_set *set, char *out, size_t cap);

// Record lines: "+Tag KEY VALUE", one per tag, in order; '%', blanks, ':' and control bytes
// written as %XX, so a line holds no colon and a reader that knows no tags skips it.
// The line of one tag into out[cap] without its line feed: its length, 0 when it does not fit.
size_t tag_record_line(const tag_entry *t, char *out, size_t cap);
// 1 when line[0..n) is a tag line; then, with out given and room left below max, its tag is
// added (a line that does not decode is skipped). 0 for any other line.
int tag_record_take(const char *line, size_t n, tag_set *out, size_t max);
// 1 when line[0..n) is a tag line.
int tag_record_is(const char *line, size_t n);
