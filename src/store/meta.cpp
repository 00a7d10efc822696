// Object metadata files: one small text file per object under root/.s3meta/bucket/key holding
// the content type, the ETag recorded at upload and the x-amz-meta-* headers of the request.
//
// Format, one line each, ended by LF (readers also take CR LF):
//   1      content type, or empty
//   2      ETag text, or empty
//   3...   user metadata "name:value", in request-head order, repeats kept, and after them
//          one "+Name value" line per content header (Cache-Control, Content-Disposition,
//          Content-Encoding, Content-Language, Expires), its ':' and '%' written as %3A and
//          %25. Such a line holds no colon: a reader of records that had only user metadata
//          lines skips it, and none can be taken for user metadata. Records without such
//          lines (all those written before content headers were kept) read as before.
//          An object made from parts has, last, its part layout on one or more
//          "+Parts SIZE[*COUNT] ..." lines: the part sizes in order, a run of equal sizes
//          written once with its count. Readers that do not know the name skip these lines as
//          they skip an unknown content header; records without them have no layout.
//          An object stored with a checksum has a "+Checksum ALG TYPE VALUE" line (VALUE in
//          Base64, "BASE64-N" for a composite of N parts), and one made from parts may have,
//          after it, "+PartSums ALG V1 V2 ..." lines: each part's checksum in order. Records
//          written before checksums were kept have neither and read as objects without one.
//          The object's tags stand on "+Tag KEY VALUE" lines after the content headers (a tag
//          change rewrites the record with them last), one per tag in the order given, '%', blanks, ':' and control bytes written as %XX (store/tags.h). Such a
//          line holds no colon either, so older readers skip it; it is the one line that
//          may be longer than META_READ_MAX. Records without them have no tags.
//          "+Version SIZE STAMP FILE" names the data version the record was written for
//          (record_version); records without it are judged by their time, as before.
//
// A record is written under a temporary name, flushed, given the commit's time and moved into
// place after the data it describes; a record older than its data file is an earlier
// version's, left behind by a crash between the two moves, and is not trusted.
#include "store/meta.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "base/text.h"
#include "platform/platform.h"
#include "store/files.h"
#include "store/layout.h"
#include "store/tags.h"
#include "store/temp_names.h"

namespace {

constexpr size_t META_NAME_MAX = 255;    // longest user metadata name recorded
constexpr size_t META_VALUE_MAX = 1023;  // longest user metadata value recorded
constexpr size_t META_READ_MAX = 1023;   // characters of one file line the reader keeps
constexpr size_t META_BLOCK_MAX = 1023;  // user metadata block (buffer of 1024)
constexpr size_t META_CTYPE_MAX = 255;   // content type (buffer of 256)
// Longest encoded content-header value: with "+", the longest name and a blank, its line
// stays within what the reader keeps of a line.
constexpr size_t CONTENT_ENCODED_MAX = META_READ_MAX - 2 - 19;
constexpr size_t PARTS_LINE_MAX = 900;  // a layout line stays well within what is read of one
const char PARTS_PREFIX[] = "+Parts ";
constexpr size_t PARTS_PREFIX_LEN = sizeof(PARTS_PREFIX) - 1;
const char VERSION_PREFIX[] = "+Version ";
constexpr size_t VERSION_PREFIX_LEN = sizeof(VERSION_PREFIX) - 1;
// The version id a record of a versioned bucket's object carries; records of buckets that never
// had versioning have none.
const char VID_PREFIX[] = "+VersionId ";
constexpr size_t VID_PREFIX_LEN = sizeof(VID_PREFIX) - 1;

// A byte that may stand in a header value sent back to clients: no control character but
// the tab, no DEL (a CR or LF would end the head line and let the rest pose as a header).
int value_byte_ok(unsigned char c) { return c == '\t' || (c >= 0x20 && c != 0x7f); }

// Length of value as a record line writes it (':' and '%' take three characters).
size_t encoded_len(const char *v) {
  size_t n = 0;
  for (; *v; v++) n += (*v == ':' || *v == '%') ? 3 : 1;
  return n;
}

// Buffered writer over a plat_file; remembers the first failure.
struct meta_writer {
  plat_file *f;
  int failed;
  size_t len;
  char buf[8192];
};

void mw_flush(meta_writer *w) {
  if (w->len && !w->failed && plat_file_write(w->f, w->buf, w->len) != (long)w->len) w->failed = 1;
  w->len = 0;
}

void mw_put(meta_writer *w, const char *p, size_t n) {
  while (n) {
    size_t room = sizeof(w->buf) - w->len;
    size_t take = n < room ? n : room;
    memcpy(w->buf + w->len, p, take);
    w->len += take;
    p += take;
    n -= take;
    if (w->len == sizeof(w->buf)) mw_flush(w);
  }
}

int starts_with_ci(const char *p, size_t n, const char *prefix) {
  size_t pl = strlen(prefix);
  if (n < pl) return 0;
  for (size_t i = 0; i < pl; i++) {
    if (ascii_lower(p[i]) != ascii_lower(prefix[i])) return 0;
  }
  return 1;
}

// Writes the user metadata line that one head line yields, if any. line excludes its LF.
void save_user_line(meta_writer *w, const char *line, size_t n) {
  if (n <= 11 || !starts_with_ci(line, n, "x-amz-meta-")) return;
  const char *colon = static_cast<const char *>(memchr(line, ':', n));
  if (!colon) return;
  size_t name_len = (size_t)(colon - line);
  if (name_len > META_NAME_MAX) return;
  // The name goes back out as a response header on every GET: a CR inside it would end that
  // line early and turn the rest into a header of the client's choosing.
  for (size_t i = 0; i < name_len; i++)
    if ((unsigned char)line[i] < 0x20 || line[i] == 0x7f) return;
  while (name_len && line[name_len - 1] == ' ') name_len--;

  const char *v = colon + 1;
  const char *end = line + n;
  while (v < end && (*v == ' ' || *v == '\t')) v++;
  size_t vlen = 0;
  while (v + vlen < end && vlen < META_VALUE_MAX && v[vlen] != '\r' && v[vlen] != '\n' &&
         v[vlen] != '\0')
    vlen++;
  while (vlen && (v[vlen - 1] == ' ' || v[vlen - 1] == '\t')) vlen--;

  mw_put(w, line, name_len);
  mw_put(w, ":", 1);
  mw_put(w, v, vlen);
  mw_put(w, "\n", 1);
}

// Writes the user metadata lines of every line of head.
void save_user_lines(meta_writer *w, const char *head, size_t head_len) {
  size_t pos = 0;
  while (head && pos < head_len) {
    const char *nl = static_cast<const char *>(memchr(head + pos, '\n', head_len - pos));
    size_t end = nl ? (size_t)(nl - head) : head_len;
    save_user_line(w, head + pos, end - pos);
    pos = nl ? end + 1 : head_len;
  }
}

// What the reader makes of the file, line by line.
struct meta_reader {
  int line_no;
  char *content_type;
  char *etag;
  size_t etag_size;
  char *block;
  size_t block_len;
  content_headers *content;  // null when the caller takes none
  part_lookup *parts;        // null when the caller takes none
  record_sums *sums;         // null when the caller takes none
  record_tags *tags;         // null when the caller takes none
  record_version *version;   // null when the caller takes none
  char *vid;                 // S3_VID_CAP bytes; null when the caller takes none
};

// ---------------------------------------------------------------- the version line

// Reads "SIZE STAMP FILE" after "+Version "; a line that does not parse names no version, and
// the record is then judged by its time.
void load_version_line(record_version *v, const char *text, size_t n) {
  uint64_t nums[3];
  size_t pos = 0;
  for (int i = 0; i < 3; i++) {
    while (pos < n && text[pos] == ' ') pos++;
    size_t end = pos;
    while (end < n && text[end] != ' ') end++;
    uint64_t max = i == 1 ? (uint64_t)INT64_MAX : UINT64_MAX;
    if (end == pos || parse_decimal(text + pos, end - pos, max, 0, &nums[i]) != 0) return;
    pos = end;
  }
  v->present = 1;
  v->size = nums[0];
  v->mtime_ns = (int64_t)nums[1];
  v->file_id = nums[2];
}

// The sizes of a page of parts, from one run of the layout.
void page_sizes(record_sums *s, uint32_t first_index, uint64_t size, uint64_t count) {
  if (!s || !s->sizes || !s->cap) return;
  for (uint64_t i = 0; i < count; i++) {
    uint64_t number = first_index + i + 1;
    if (number > (uint64_t)s->after + s->cap) break;
    if (number > s->after) s->sizes[number - s->after - 1] = size;
  }
}

// Adds one run of a layout line, `count` parts of `size` bytes, to what is known.
void take_part_run(part_lookup *p, uint64_t size, uint64_t count, record_sums *sums) {
  if (count == 0 || count > S3_PARTS_MAX - p->count) {
    p->bad = 1;
    return;
  }
  if (size && count > (UINT64_MAX - p->total) / size) {
    p->bad = 1;
    return;
  }
  page_sizes(sums, p->count, size, count);
  if (!p->found && p->want > p->count && p->want <= p->count + count) {
    p->first = p->total + (p->want - p->count - 1) * size;
    p->len = size;
    p->found = 1;
  }
  p->count += (uint32_t)count;
  p->total += size * count;
}

// Reads the runs of one layout line, after its "+Parts ".
void load_parts_line(part_lookup *p, const char *text, size_t n, record_sums *sums) {
  size_t pos = 0;
  while (pos < n && !p->bad) {
    if (text[pos] == ' ') {
      pos++;
      continue;
    }
    size_t end = pos;
    while (end < n && text[end] != ' ') end++;
    const char *star = static_cast<const char *>(memchr(text + pos, '*', end - pos));
    size_t size_len = star ? (size_t)(star - (text + pos)) : end - pos;
    uint64_t size = 0, count = 1;
    if (parse_decimal(text + pos, size_len, UINT64_MAX, 0, &size) != 0 ||
        (star && parse_decimal(star + 1, (size_t)(text + end - star - 1), S3_PARTS_MAX, 0,
                               &count) != 0)) {
      p->bad = 1;
      return;
    }
    take_part_run(p, size, count, sums);
    pos = end;
  }
}

// ---------------------------------------------------------------- checksum lines

const char SUM_PREFIX[] = "+Checksum ";
const char PART_SUMS_PREFIX[] = "+PartSums ";
constexpr size_t SUMS_LINE_MAX = 900;  // a part-checksums line stays well within a read line

// One blank-separated word of text[*pos, n): its start and length, *pos moved past it.
size_t next_word(const char *text, size_t n, size_t *pos, const char **word) {
  while (*pos < n && text[*pos] == ' ') (*pos)++;
  size_t start = *pos;
  while (*pos < n && text[*pos] != ' ') (*pos)++;
  *word = text + start;
  return *pos - start;
}

// A Base64 value as a record keeps it: its characters only, short enough for cap.
int b64_word_ok(const char *w, size_t n, size_t cap, int allow_count) {
  if (n == 0 || n >= cap) return 0;
  for (size_t i = 0; i < n; i++) {
    char c = w[i];
    int ok = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
             c == '+' || c == '/' || c == '=' || (allow_count && c == '-');
    if (!ok) return 0;
  }
  return 1;
}

// "+Checksum ALG TYPE VALUE" and "+PartSums ALG V ...": 1 when line is one of them (taken into
// s when given and readable), 0 when it is any other line.
int load_checksum_line(record_sums *s, const char *line, size_t n) {
  const size_t sum_len = sizeof(SUM_PREFIX) - 1, parts_len = sizeof(PART_SUMS_PREFIX) - 1;
  const int whole = n >= sum_len && memcmp(line, SUM_PREFIX, sum_len) == 0;
  const int parts = !whole && n >= parts_len && memcmp(line, PART_SUMS_PREFIX, parts_len) == 0;
  if (!whole && !parts) return 0;
  if (!s) return 1;
  size_t pos = whole ? sum_len : parts_len;
  const char *w;
  size_t wl = next_word(line, n, &pos, &w);
  int algo = ck_from_algo_name(w, wl);
  if (algo == CK_NONE) return 1;
  if (whole) {
    wl = next_word(line, n, &pos, &w);
    int type = ck_type_from_name(w, wl);
    wl = next_word(line, n, &pos, &w);
    if (type == CK_TYPE_NONE || !b64_word_ok(w, wl, sizeof s->whole.value, 1)) return 1;
    s->whole.algo = algo;
    s->whole.type = type;
    memcpy(s->whole.value, w, wl);
    s->whole.value[wl] = 0;
    return 1;
  }
  if (s->part_algo != CK_NONE && s->part_algo != algo) return 1;
  s->part_algo = algo;
  while ((wl = next_word(line, n, &pos, &w)) > 0 && s->sums_seen < S3_PARTS_MAX) {
    uint32_t number = ++s->sums_seen;
    const int ok = b64_word_ok(w, wl, CK_B64_CAP, 0);
    if (number == s->want && ok) {
      memcpy(s->want_value, w, wl);
      s->want_value[wl] = 0;
    }
    if (s->values && number > s->after && number - s->after <= s->cap) {
      char *dst = s->values[number - s->after - 1];
      dst[0] = 0;
      if (ok) {
        memcpy(dst, w, wl);
        dst[wl] = 0;
      }
    }
  }
  return 1;
}

// Handles one file line (without its LF; at most META_READ_MAX characters kept).
void load_line(meta_reader *m, const char *line, size_t n) {
  int no = m->line_no++;
  while (n && (*line == ' ' || *line == '\t')) {
    line++;
    n--;
  }
  while (n && (line[n - 1] == '\r' || line[n - 1] == '\n')) n--;
  if (no >= 2 && tag_record_is(line, n)) {
    if (m->tags) {
      m->tags->count++;
      tag_record_take(line, n, m->tags->set, S3_BUCKET_TAGS_MAX);
    }
    return;
  }
  if (no >= 2 && n >= VID_PREFIX_LEN && memcmp(line, VID_PREFIX, VID_PREFIX_LEN) == 0) {
    size_t len = n - VID_PREFIX_LEN;
    if (m->vid && len < S3_VID_CAP) {
      memcpy(m->vid, line + VID_PREFIX_LEN, len);
      m->vid[len] = 0;
    }
    return;
  }
  if (no >= 2 && n >= VERSION_PREFIX_LEN && memcmp(line, VERSION_PREFIX, VERSION_PREFIX_LEN) == 0) {
    if (m->version) load_version_line(m->version, line + VERSION_PREFIX_LEN, n - VERSION_PREFIX_LEN);
    return;
  }
  // Only a tag line may be longer than what the reader keeps of every other line.
  if (n > META_READ_MAX) n = META_READ_MAX;
  if (no >= 2 && n >= PARTS_PREFIX_LEN && memcmp(line, PARTS_PREFIX, PARTS_PREFIX_LEN) == 0) {
    if (m->parts)
      load_parts_line(m->parts, line + PARTS_PREFIX_LEN, n - PARTS_PREFIX_LEN, m->sums);
    return;
  }
  if (no >= 2 && load_checksum_line(m->sums, line, n)) return;
  if (no >= 2 && meta_content_line(line, n, m->content)) return;
  if (no >= 2 && !memchr(line, ':', n)) return;
  // Every value here goes back out in a response head, where a CR inside it would split the
  // line; such a line (only a file written by hand holds one) is ignored.
  if (memchr(line, '\r', n)) return;

  if (no == 0) {
    if (n >= 1 && n <= META_CTYPE_MAX) {
      memcpy(m->content_type, line, n);
      m->content_type[n] = 0;
    }
    return;
  }
  if (no == 1) {
    if (n < m->etag_size) {
      memcpy(m->etag, line, n);
      m->etag[n] = 0;
    }
    return;
  }
  // The block keeps whole "name:value\r\n" lines while they fit; the last one that does not
  // fit is cut, and then nothing more is added.
  if (m->block_len >= META_BLOCK_MAX) return;
  size_t room = META_BLOCK_MAX - m->block_len;
  size_t take = n < room ? n : room;
  memcpy(m->block + m->block_len, line, take);
  m->block_len += take;
  // The line end gets only the room below 1022 characters, so a line cut short by the
  // limit carries no line end of its own.
  size_t eol = m->block_len < 1022 ? 1022 - m->block_len : 0;
  if (eol > 2) eol = 2;
  memcpy(m->block + m->block_len, "\r\n", eol);
  m->block_len += eol;
  m->block[m->block_len] = 0;
}

}  // namespace

const char *const CONTENT_HEADER_NAMES[CH_COUNT] = {"Cache-Control", "Content-Disposition",
                                                     "Content-Encoding", "Content-Language",
                                                     "Expires"};

void record_sums_clear(record_sums *s, uint32_t want) {
  memset(s, 0, sizeof *s);
  s->want = want;
}

void part_lookup_clear(part_lookup *p, uint32_t want) {
  memset(p, 0, sizeof *p);
  p->want = want;
}

void content_headers_clear(content_headers *c) {
  for (int i = 0; i < CH_COUNT; i++) c->value[i][0] = 0;
}

int content_value_usable(const char *value) {
  size_t n = strlen(value);
  if (n >= S3_CONTENT_VALUE_CAP || encoded_len(value) > CONTENT_ENCODED_MAX) return 0;
  for (size_t i = 0; i < n; i++)
    if (!value_byte_ok((unsigned char)value[i])) return 0;
  return 1;
}

namespace {

// The index of a content header name (any case), or -1.
int content_header_index(const char *name, size_t n) {
  for (int i = 0; i < CH_COUNT; i++) {
    const char *want = CONTENT_HEADER_NAMES[i];
    if (strlen(want) == n && starts_with_ci(name, n, want)) return i;
  }
  return -1;
}

// Content-Encoding without its aws-chunked token, into out[cap]: "gzip,aws-chunked" keeps
// "gzip"; a value without the token is kept as it is.
void strip_aws_chunked(const char *v, size_t n, char *out, size_t cap) {
  size_t len = 0;
  int stripped = 0;
  out[0] = 0;
  for (size_t pos = 0; pos < n;) {
    size_t end = pos;
    while (end < n && v[end] != ',') end++;
    size_t a = pos, b = end;
    while (a < b && (v[a] == ' ' || v[a] == '\t')) a++;
    while (b > a && (v[b - 1] == ' ' || v[b - 1] == '\t')) b--;
    if (b - a == 11 && starts_with_ci(v + a, 11, "aws-chunked")) {
      stripped = 1;
    } else if (b > a && len + (len ? 1 : 0) + (b - a) < cap) {
      if (len) out[len++] = ',';
      memcpy(out + len, v + a, b - a);
      len += b - a;
      out[len] = 0;
    }
    pos = end + 1;
  }
  if (!stripped) copy_text_n(out, cap, v, n);
}

// Takes one head line (without its LF) into out if it is the first of a content header.
// -1 when it is one whose value cannot be kept, else 0.
int take_content_line(const char *line, size_t n, content_headers *out, int seen[CH_COUNT],
                      int *bad_index) {
  const char *colon = static_cast<const char *>(memchr(line, ':', n));
  if (!colon) return 0;
  int id = content_header_index(line, (size_t)(colon - line));
  if (id < 0 || seen[id]) return 0;
  seen[id] = 1;
  const char *v = colon + 1;
  const char *end = line + n;
  while (v < end && (*v == ' ' || *v == '\t')) v++;
  while (end > v && (end[-1] == '\r' || end[-1] == ' ' || end[-1] == '\t')) end--;
  size_t vlen = (size_t)(end - v);
  char *dst = out->value[id];
  // A value that does not fit is refused, never cut: a cut disposition or coding would be a
  // different one.
  if (vlen >= S3_CONTENT_VALUE_CAP || memchr(v, 0, vlen)) {
    *bad_index = id;
    return -1;
  }
  if (id == CH_CONTENT_ENCODING)
    strip_aws_chunked(v, vlen, dst, S3_CONTENT_VALUE_CAP);
  else
    copy_text_n(dst, S3_CONTENT_VALUE_CAP, v, vlen);
  if (!content_value_usable(dst)) {
    dst[0] = 0;
    *bad_index = id;
    return -1;
  }
  return 0;
}

}  // namespace

int content_headers_from_head(const char *head, size_t head_len, content_headers *out,
                              int *bad) {
  content_headers_clear(out);
  int seen[CH_COUNT] = {0, 0, 0, 0, 0};
  int rc = 0;
  size_t pos = 0;
  while (head && pos < head_len) {
    const char *nl = static_cast<const char *>(memchr(head + pos, '\n', head_len - pos));
    size_t end = nl ? (size_t)(nl - head) : head_len;
    int which = -1;
    if (take_content_line(head + pos, end - pos, out, seen, &which) != 0 && rc == 0) {
      rc = -1;
      if (bad) *bad = which;
    }
    pos = nl ? end + 1 : head_len;
  }
  return rc;
}

size_t content_headers_render(const content_headers *c, char *out, size_t cap) {
  size_t len = 0;
  if (cap) out[0] = 0;
  for (int i = 0; i < CH_COUNT; i++) {
    if (!c->value[i][0]) continue;
    int n = snprintf(out + len, cap - len, "%s: %s\r\n", CONTENT_HEADER_NAMES[i], c->value[i]);
    if (n < 0 || (size_t)n >= cap - len) {
      out[len] = 0;
      continue;
    }
    len += (size_t)n;
  }
  return len;
}

int meta_content_line(const char *line, size_t n, content_headers *c) {
  if (n < 2 || line[0] != '+' || memchr(line, ':', n)) return 0;
  const char *sp = static_cast<const char *>(memchr(line, ' ', n));
  size_t name_len = sp ? (size_t)(sp - line) - 1 : n - 1;
  int id = content_header_index(line + 1, name_len);
  // A name this version does not know is skipped, as an older reader skips all of them.
  if (id < 0 || !c || !sp) return 1;
  char value[S3_CONTENT_VALUE_CAP];
  size_t len = 0;
  for (const char *p = sp + 1; p < line + n && len + 1 < sizeof value; p++) {
    char ch = *p;
    // Only the two escapes the writer makes are undone: any other would let a record written
    // by hand smuggle a line break into a response head.
    if (ch == '%' && line + n - p >= 3 && p[1] == '3' && (p[2] == 'A' || p[2] == 'a')) {
      ch = ':';
      p += 2;
    } else if (ch == '%' && line + n - p >= 3 && p[1] == '2' && p[2] == '5') {
      p += 2;
    }
    value[len++] = ch;
  }
  value[len] = 0;
  if (content_value_usable(value)) copy_text(c->value[id], S3_CONTENT_VALUE_CAP, value);
  return 1;
}

// Writes the "+Name value" lines of the content headers that have a value.
static void save_content_lines(meta_writer *w, const content_headers *c) {
  for (int i = 0; i < CH_COUNT; i++) {
    const char *v = c->value[i];
    if (!v[0]) continue;
    mw_put(w, "+", 1);
    mw_put(w, CONTENT_HEADER_NAMES[i], strlen(CONTENT_HEADER_NAMES[i]));
    mw_put(w, " ", 1);
    for (; *v; v++) {
      if (*v == ':')
        mw_put(w, "%3A", 3);
      else if (*v == '%')
        mw_put(w, "%25", 3);
      else
        mw_put(w, v, 1);
    }
    mw_put(w, "\n", 1);
  }
}

// Writes the layout lines of parts: runs of equal sizes, a new line before one grows too long.
static void save_part_lines(meta_writer *w, const part_layout *parts) {
  if (!parts || !parts->count) return;
  size_t line_len = 0;
  for (size_t i = 0; i < parts->count;) {
    size_t run = 1;
    while (i + run < parts->count && parts->sizes[i + run] == parts->sizes[i]) run++;
    char token[48];
    int n = run > 1 ? snprintf(token, sizeof token, "%llu*%llu",
                               (unsigned long long)parts->sizes[i], (unsigned long long)run)
                    : snprintf(token, sizeof token, "%llu", (unsigned long long)parts->sizes[i]);
    if (n <= 0 || (size_t)n >= sizeof token) return;
    if (line_len && line_len + 1 + (size_t)n > PARTS_LINE_MAX) {
      mw_put(w, "\n", 1);
      line_len = 0;
    }
    if (!line_len) {
      mw_put(w, PARTS_PREFIX, PARTS_PREFIX_LEN);
      line_len = PARTS_PREFIX_LEN;
    } else {
      mw_put(w, " ", 1);
      line_len++;
    }
    mw_put(w, token, (size_t)n);
    line_len += (size_t)n;
    i += run;
  }
  mw_put(w, "\n", 1);
}

// Writes the object's checksum line and the part checksum lines.
static void save_checksum_lines(meta_writer *w, const record_checksum *sum,
                                const part_checksums *parts) {
  if (sum && sum->algo != CK_NONE && sum->value[0]) {
    mw_put(w, SUM_PREFIX, strlen(SUM_PREFIX));
    mw_put(w, ck_name(sum->algo), strlen(ck_name(sum->algo)));
    mw_put(w, " ", 1);
    mw_put(w, ck_type_name(sum->type), strlen(ck_type_name(sum->type)));
    mw_put(w, " ", 1);
    mw_put(w, sum->value, strlen(sum->value));
    mw_put(w, "\n", 1);
  }
  if (!parts || parts->algo == CK_NONE || !parts->count) return;
  const char *name = ck_name(parts->algo);
  size_t line_len = 0;
  for (size_t i = 0; i < parts->count; i++) {
    const char *v = parts->values[i];
    size_t vn = strlen(v);
    if (line_len && line_len + 1 + vn > SUMS_LINE_MAX) {
      mw_put(w, "\n", 1);
      line_len = 0;
    }
    if (!line_len) {
      mw_put(w, PART_SUMS_PREFIX, strlen(PART_SUMS_PREFIX));
      mw_put(w, name, strlen(name));
      line_len = strlen(PART_SUMS_PREFIX) + strlen(name);
    }
    // A part without a value keeps its place, so that later parts keep their numbers.
    mw_put(w, " ", 1);
    if (vn)
      mw_put(w, v, vn);
    else
      mw_put(w, "-", 1);
    line_len += 1 + (vn ? vn : 1);
  }
  mw_put(w, "\n", 1);
}

// Writes the "+Tag" lines of the block's x-amz-tagging line. A set that breaks the rules was
// refused with its request; here it is only left out.
static void save_tag_lines(meta_writer *w, const char *head, size_t head_len) {
  const char *value = nullptr;
  size_t value_len = 0;
  if (!tags_head_value(head, head_len, &value, &value_len) || !value_len) return;
  tag_set_box box;
  tag_verdict v;
  if (!box.set || !tags_from_head(head, head_len, box.set, &v) || v != TAGS_OK) return;
  char line[S3_TAG_LINE_MAX + 2];
  for (size_t i = 0; i < box.set->count; i++) {
    size_t n = tag_record_line(&box.set->tags[i], line, sizeof line);
    if (!n) continue;
    mw_put(w, line, n);
    mw_put(w, "\n", 1);
  }
}

size_t record_version_format(const record_version *v, char *out, size_t cap) {
  if (cap) out[0] = 0;
  if (!v || !v->present) return 0;
  int n = snprintf(out, cap, "%s%llu %lld %llu\n", VERSION_PREFIX, (unsigned long long)v->size,
                   (long long)v->mtime_ns, (unsigned long long)v->file_id);
  if (n <= 0 || (size_t)n >= cap) {
    if (cap) out[0] = 0;
    return 0;
  }
  return (size_t)n;
}

int record_version_line(const char *line, size_t n, record_version *v) {
  if (n < VERSION_PREFIX_LEN || memcmp(line, VERSION_PREFIX, VERSION_PREFIX_LEN) != 0) return 0;
  load_version_line(v, line + VERSION_PREFIX_LEN, n - VERSION_PREFIX_LEN);
  return 1;
}

// Writes the version line of a record.
static void save_version_line(meta_writer *w, const record_version *v) {
  char line[96];
  size_t n = record_version_format(v, line, sizeof line);
  if (n) mw_put(w, line, n);
}

int record_version_of(plat_file *data, record_version *out) {
  plat_file_id id;
  out->present = 0;
  if (plat_file_handle_identity(data, &id) != 0) return -1;
  out->present = 1;
  out->size = id.size;
  out->mtime_ns = id.mtime_ns;
  out->file_id = id.ino;
  return 0;
}

int record_version_matches(const record_version *v, const plat_file_id *id) {
  return v->present && v->size == id->size && v->mtime_ns == id->mtime_ns &&
         v->file_id == id->ino;
}

// Writes everything a header block gives a record after its first two lines.
static void save_header_lines(meta_writer *w, const char *head, size_t head_len) {
  save_user_lines(w, head, head_len);
  // Values that cannot be kept were refused with their request; here they are only dropped.
  content_headers c;
  content_headers_from_head(head, head_len, &c, nullptr);
  save_content_lines(w, &c);
  save_tag_lines(w, head, head_len);
}

// Writes the record's lines into f. 0, or -1 when a write failed.
static int write_record(plat_file *f, const char *etag, const char *content_type,
                        const char *head, size_t head_len, const part_layout *parts,
                        const record_checksum *sum, const part_checksums *part_sums,
                        const record_version *version, const char *vid) {
  static_assert(sizeof(meta_writer) < 16384, "writer lives on the stack");
  meta_writer w;
  w.f = f;
  w.failed = 0;
  w.len = 0;
  if (content_type && *content_type) mw_put(&w, content_type, strlen(content_type));
  mw_put(&w, "\n", 1);
  if (etag && *etag) mw_put(&w, etag, strlen(etag));
  mw_put(&w, "\n", 1);

  save_header_lines(&w, head, head_len);
  save_part_lines(&w, parts);
  save_checksum_lines(&w, sum, part_sums);
  save_version_line(&w, version);
  if (vid && vid[0] && strlen(vid) < S3_VID_CAP) {
    mw_put(&w, VID_PREFIX, VID_PREFIX_LEN);
    mw_put(&w, vid, strlen(vid));
    mw_put(&w, "\n", 1);
  }
  mw_flush(&w);
  return w.failed ? -1 : 0;
}

int meta_draft_write(meta_draft *d, const char *bucket, const char *key, const char *etag,
                     const char *content_type, const char *head, size_t head_len,
                     const part_layout *parts, const record_checksum *sum,
                     const part_checksums *part_sums, const record_version *version,
                     const char *vid) {
  d->f = nullptr;
  d->tmp[0] = 0;
  // A path that does not fit is never cut: a cut path could name another object's file.
  if (meta_path(bucket, key, d->path) != 0) return -1;
  // In the server's temporary folder, so a crash leaves nothing for good; the record's own
  // folders are made only when it is published, under the commit's locks.
  d->f = temp_file_create(d->tmp, TEMP_RECORD);
  if (!d->f) {
    d->tmp[0] = 0;
    return -1;
  }
  if (write_record(d->f, etag, content_type, head, head_len, parts, sum, part_sums, version,
                   vid) != 0) {
    meta_draft_discard(d);
    return -1;
  }
  return 0;
}

int meta_draft_sync(meta_draft *d) {
  if (d->f && plat_file_sync(d->f) == 0) return 0;
  meta_draft_discard(d);
  return -1;
}

int meta_write_header_lines(plat_file *f, const char *head, size_t head_len) {
  meta_writer w;
  w.f = f;
  w.failed = 0;
  w.len = 0;
  save_header_lines(&w, head, head_len);
  mw_flush(&w);
  return w.failed ? -1 : 0;
}

namespace {
constexpr int PUBLISH_RETRIES = 5;
constexpr int PUBLISH_PAUSE_MS = 10;
}  // namespace

int meta_draft_publish(meta_draft *d, int64_t stamp_ns) {
  if (!d->f) return -1;
  int rc = plat_file_set_mtime_ns(d->f, stamp_ns);
  plat_file_close(d->f);
  d->f = nullptr;
  if (rc == 0) {
    mkdir_parent(d->path);
    rc = replace_file(d->tmp, d->path);
    // On a file system shared by several servers, a folder another one made or emptied a
    // moment ago can fail this move once: the folders are made again and the move retried,
    // since the data it belongs to is already in place.
    for (int again = 0; rc != 0 && again < PUBLISH_RETRIES; again++) {
      plat_sleep_ms(PUBLISH_PAUSE_MS);
      mkdir_parent(d->path);
      rc = replace_file(d->tmp, d->path);
    }
  }
  if (rc != 0) {
    meta_draft_discard(d);
    return -1;
  }
  d->tmp[0] = 0;
  return 0;
}

void meta_draft_discard(meta_draft *d) {
  if (d->f) plat_file_close(d->f);
  d->f = nullptr;
  if (d->tmp[0]) remove_file(d->tmp);
  d->tmp[0] = 0;
}

int meta_mtime_ns(const char *bucket, const char *key, int64_t *mtime_ns) {
  char path[S3_FS_PATH];
  int is_file = 0;
  if (meta_path(bucket, key, path) != 0) return -1;
  return plat_entry_info(path, &is_file, mtime_ns) == 0 && is_file ? 0 : -1;
}

void meta_save(const char *bucket, const char *key, const char *etag, const char *content_type,
               const char *head, size_t head_len) {
  meta_draft d;
  if (meta_draft_write(&d, bucket, key, etag, content_type, head, head_len) == 0 &&
      meta_draft_sync(&d) == 0)
    meta_draft_publish(&d, plat_time_now_ns());
}

// Reads an open record into the caller's buffers.
static void read_record(plat_file *f, char content_type[256], char *etag, size_t etag_size,
                        char user_meta[1024], content_headers *content, part_lookup *parts,
                        record_sums *sums, record_tags *tags,
                        record_version *version = nullptr, char *vid = nullptr) {
  meta_reader m;
  m.line_no = 0;
  m.content_type = content_type;
  m.etag = etag;
  m.etag_size = etag_size;
  m.block = user_meta;
  m.block_len = strlen(user_meta) < META_BLOCK_MAX ? strlen(user_meta) : META_BLOCK_MAX;
  m.content = content;
  m.parts = parts;
  m.sums = sums;
  m.tags = tags;
  m.version = version;
  m.vid = vid;

  // A line longer than S3_TAG_LINE_MAX keeps its first part; the rest of it is skipped up to
  // its LF, so a long value can never turn into a header line of its own.
  char line[S3_TAG_LINE_MAX + 1];
  size_t line_len = 0;
  int in_line = 0;
  char buf[4096];
  for (;;) {
    long got = plat_file_read(f, buf, sizeof(buf));
    if (got <= 0) break;
    // A record is a regular file, and a regular file reads short only at its end: a record
    // smaller than the buffer (nearly all are) costs one read, without the empty one after it.
    const bool at_end = got < (long)sizeof(buf);
    for (long i = 0; i < got; i++) {
      char c = buf[i];
      if (c == '\n') {
        load_line(&m, line, line_len);
        line_len = 0;
        in_line = 0;
        continue;
      }
      in_line = 1;
      if (line_len < S3_TAG_LINE_MAX) line[line_len++] = c;
    }
    if (at_end) break;
  }
  if (in_line) load_line(&m, line, line_len);
}

int meta_load(const char *bucket, const char *key, char content_type[256], char *etag,
              size_t etag_size, char user_meta[1024], content_headers *content,
              part_lookup *parts, record_sums *sums, record_tags *tags) {
  char path[S3_FS_PATH];
  if (meta_path(bucket, key, path) != 0) return 0;
  plat_file_guard guard(plat_file_open(path, PLAT_READ));
  if (!guard.f) return 0;
  read_record(guard.f, content_type, etag, etag_size, user_meta, content, parts, sums, tags);
  return 1;
}

int meta_load_current(const char *bucket, const char *key, int64_t data_mtime_ns,
                      char content_type[256], char *etag, size_t etag_size, char user_meta[1024],
                      content_headers *content, part_lookup *parts, record_sums *sums,
                      record_tags *tags) {
  char path[S3_FS_PATH];
  if (meta_path(bucket, key, path) != 0) return 0;
  plat_file_guard guard(plat_file_open(path, PLAT_READ));
  if (!guard.f) return 0;
  // The time of the handle actually read, so a record replaced meanwhile cannot slip through.
  int64_t meta_mtime = 0;
  if (plat_file_mtime_ns(guard.f, &meta_mtime) != 0 || meta_mtime < data_mtime_ns) return 0;
  read_record(guard.f, content_type, etag, etag_size, user_meta, content, parts, sums, tags);
  return 1;
}

int meta_load_version(const char *bucket, const char *key, const plat_file_id *id,
                      char content_type[256], char *etag, size_t etag_size, char user_meta[1024],
                      content_headers *content, part_lookup *parts, int *named,
                      record_tags *tags, record_sums *sums, char *vid) {
  if (named) *named = 0;
  if (tags) tags->count = 0;
  if (vid) vid[0] = 0;
  char path[S3_FS_PATH];
  if (meta_path(bucket, key, path) != 0) return 0;
  return meta_load_version_at(path, id, content_type, etag, etag_size, user_meta, content, parts,
                              named, tags, sums, vid);
}

int meta_load_version_at(const char *path, const plat_file_id *id, char content_type[256],
                         char *etag, size_t etag_size, char user_meta[1024],
                         content_headers *content, part_lookup *parts, int *named,
                         record_tags *tags, record_sums *sums, char *vid) {
  if (named) *named = 0;
  if (tags) tags->count = 0;
  if (vid) vid[0] = 0;
  plat_file_guard guard(plat_file_open(path, PLAT_READ));
  if (!guard.f) return 0;
  // Read into buffers of its own first: a record of another version leaves the caller's alone.
  char ctype[256] = "";
  char tag[256] = "";
  char user[1024] = "";
  content_headers c;
  content_headers_clear(&c);
  part_lookup p;
  part_lookup_clear(&p, parts ? parts->want : 0);
  record_version v;
  v.present = 0;
  // The checksums into a copy that shares the caller's page of part values; the caller's
  // counts change only for this version's record.
  record_sums su;
  if (sums) su = *sums;
  // Tags go straight into the caller's set; they are emptied again below unless the record
  // turns out to be this version's.
  record_tags rt = {0, tags ? tags->set : nullptr};
  if (rt.set) rt.set->count = 0;
  char version_id[S3_VID_CAP] = "";
  read_record(guard.f, ctype, tag, etag_size < sizeof tag ? etag_size : sizeof tag, user, &c,
              &p, sums ? &su : nullptr, &rt, &v, version_id);
  if (named) *named = v.present;
  auto other_version = [&](int rc) {
    if (rt.set) rt.set->count = 0;
    return rc;
  };
  if (v.present) {
    if (!record_version_matches(&v, id)) return other_version(-1);
  } else {
    // A record from before records named their version: trusted when not older than the data
    // (the time of the handle actually read, so a record replaced meanwhile cannot slip in).
    int64_t meta_mtime = 0;
    if (plat_file_mtime_ns(guard.f, &meta_mtime) != 0 || meta_mtime < id->mtime_ns)
      return other_version(0);
  }
  if (tags) tags->count = rt.count;
  copy_text(content_type, 256, ctype);
  copy_text(etag, etag_size, tag);
  copy_text(user_meta, 1024, user);
  if (content) *content = c;
  if (parts) *parts = p;
  if (sums) *sums = su;
  if (vid) copy_text(vid, S3_VID_CAP, version_id);
  return 1;
}

void meta_remove(const char *bucket, const char *key) {
  char path[S3_FS_PATH];
  if (meta_path(bucket, key, path) != 0) return;
  plat_err err;
  plat_unlink(path, &err);
}

// ---------------------------------------------------------------- tags in the record

int meta_read_text(const char *bucket, const char *key, int64_t data_mtime_ns, char **out,
                   size_t *len, int64_t *meta_mtime_ns) {
  *out = nullptr;
  *len = 0;
  *meta_mtime_ns = 0;
  char path[S3_FS_PATH];
  if (meta_path(bucket, key, path) != 0) return -1;
  plat_file_guard guard(plat_file_open(path, PLAT_READ));
  if (!guard.f) {
    plat_stat_t st;
    return plat_stat(path, &st) == 0 ? -1 : 0;
  }
  if (plat_file_mtime_ns(guard.f, meta_mtime_ns) != 0) return -1;
  if (*meta_mtime_ns < data_mtime_ns) return 0;
  size_t cap = 4096, got = 0;
  char *buf = static_cast<char *>(malloc(cap + 1));
  for (;;) {
    if (!buf) return -1;
    long n = plat_file_read(guard.f, buf + got, cap - got);
    if (n < 0) break;
    if (n == 0) {
      buf[got] = 0;
      *out = buf;
      *len = got;
      return 1;
    }
    got += (size_t)n;
    if (got == cap) {
      // Never cut: a record rewritten from part of itself would lose the rest.
      if (cap >= S3_RECORD_TEXT_MAX) break;
      cap *= 2;
      char *grown = static_cast<char *>(realloc(buf, cap + 1));
      if (!grown) break;
      buf = grown;
    }
  }
  free(buf);
  return -1;
}

void meta_retag_text(const char *old, size_t len, const tag_set *tags, dynbuf *out) {
  if (!len) dynbuf_append(out, "\n\n", 2);
  size_t pos = 0;
  int line_no = 0;
  while (pos < len) {
    const char *nl = static_cast<const char *>(memchr(old + pos, '\n', len - pos));
    size_t end = nl ? (size_t)(nl - old) : len;
    const char *line = old + pos;
    size_t n = end - pos;
    size_t from = 0;
    while (from < n && (line[from] == ' ' || line[from] == '\t')) from++;
    size_t to = n;
    while (to > from && line[to - 1] == '\r') to--;
    if (line_no < 2 || !tag_record_is(line + from, to - from)) {
      dynbuf_append(out, line, n);
      dynbuf_append(out, "\n", 1);
    }
    line_no++;
    pos = end + 1;
  }
  // A record of one line (a file written by hand) gets its ETag line before any tag line.
  for (; line_no < 2 && len; line_no++) dynbuf_append(out, "\n", 1);
  char line[S3_TAG_LINE_MAX + 2];
  for (size_t i = 0; tags && i < tags->count; i++) {
    size_t n = tag_record_line(&tags->tags[i], line, sizeof line);
    if (!n) continue;
    dynbuf_append(out, line, n);
    dynbuf_append(out, "\n", 1);
  }
}

int meta_draft_write_text(meta_draft *d, const char *bucket, const char *key, const char *text,
                          size_t len) {
  d->f = nullptr;
  d->tmp[0] = 0;
  if (meta_path(bucket, key, d->path) != 0) return -1;
  mkdir_parent(d->path);
  d->f = temp_file_create(d->tmp, TEMP_RECORD);
  if (!d->f) {
    d->tmp[0] = 0;
    return -1;
  }
  if (len && plat_file_write(d->f, text, len) != (long)len) {
    meta_draft_discard(d);
    return -1;
  }
  return 0;
}
