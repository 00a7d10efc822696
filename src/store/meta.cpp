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
//          "+Version SIZE STAMP FILE" names the data version the record was written for
//          (record_version); records without it are judged by their time, as before.
//
// A record is written under a temporary name, flushed, given the commit's time and moved into
// place after the data it describes; a record older than its data file is an earlier
// version's, left behind by a crash between the two moves, and is not trusted.
#include "store/meta.h"

#include <cstdio>
#include <cstring>

#include "base/text.h"
#include "platform/platform.h"
#include "store/files.h"
#include "store/layout.h"
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
  record_version *version;   // null when the caller takes none
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

// Adds one run of a layout line, `count` parts of `size` bytes, to what is known.
void take_part_run(part_lookup *p, uint64_t size, uint64_t count) {
  if (count == 0 || count > S3_PARTS_MAX - p->count) {
    p->bad = 1;
    return;
  }
  if (size && count > (UINT64_MAX - p->total) / size) {
    p->bad = 1;
    return;
  }
  if (!p->found && p->want > p->count && p->want <= p->count + count) {
    p->first = p->total + (p->want - p->count - 1) * size;
    p->len = size;
    p->found = 1;
  }
  p->count += (uint32_t)count;
  p->total += size * count;
}

// Reads the runs of one layout line, after its "+Parts ".
void load_parts_line(part_lookup *p, const char *text, size_t n) {
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
    take_part_run(p, size, count);
    pos = end;
  }
}

// Handles one file line (without its LF; at most META_READ_MAX characters kept).
void load_line(meta_reader *m, const char *line, size_t n) {
  int no = m->line_no++;
  while (n && (*line == ' ' || *line == '\t')) {
    line++;
    n--;
  }
  while (n && (line[n - 1] == '\r' || line[n - 1] == '\n')) n--;
  if (no >= 2 && n >= VERSION_PREFIX_LEN && memcmp(line, VERSION_PREFIX, VERSION_PREFIX_LEN) == 0) {
    if (m->version) load_version_line(m->version, line + VERSION_PREFIX_LEN, n - VERSION_PREFIX_LEN);
    return;
  }
  if (no >= 2 && n >= PARTS_PREFIX_LEN && memcmp(line, PARTS_PREFIX, PARTS_PREFIX_LEN) == 0) {
    if (m->parts) load_parts_line(m->parts, line + PARTS_PREFIX_LEN, n - PARTS_PREFIX_LEN);
    return;
  }
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
}

// Writes the record's lines into f. 0, or -1 when a write failed.
static int write_record(plat_file *f, const char *etag, const char *content_type,
                        const char *head, size_t head_len, const part_layout *parts,
                        const record_version *version) {
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
  save_version_line(&w, version);
  mw_flush(&w);
  return w.failed ? -1 : 0;
}

int meta_draft_write(meta_draft *d, const char *bucket, const char *key, const char *etag,
                     const char *content_type, const char *head, size_t head_len,
                     const part_layout *parts, const record_version *version) {
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
  if (write_record(d->f, etag, content_type, head, head_len, parts, version) != 0) {
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

int meta_draft_publish(meta_draft *d, int64_t stamp_ns) {
  if (!d->f) return -1;
  int rc = plat_file_set_mtime_ns(d->f, stamp_ns);
  plat_file_close(d->f);
  d->f = nullptr;
  if (rc == 0) mkdir_parent(d->path);
  if (rc == 0) rc = replace_file(d->tmp, d->path);
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
                        record_version *version = nullptr) {
  meta_reader m;
  m.line_no = 0;
  m.content_type = content_type;
  m.etag = etag;
  m.etag_size = etag_size;
  m.block = user_meta;
  m.block_len = strlen(user_meta) < META_BLOCK_MAX ? strlen(user_meta) : META_BLOCK_MAX;
  m.content = content;
  m.parts = parts;
  m.version = version;

  // A line longer than META_READ_MAX keeps its first part; the rest of it is skipped up to
  // its LF, so a long value can never turn into a header line of its own.
  char line[META_READ_MAX + 1];
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
      if (line_len < META_READ_MAX) line[line_len++] = c;
    }
    if (at_end) break;
  }
  if (in_line) load_line(&m, line, line_len);
}

int meta_load(const char *bucket, const char *key, char content_type[256], char *etag,
              size_t etag_size, char user_meta[1024], content_headers *content,
              part_lookup *parts) {
  char path[S3_FS_PATH];
  if (meta_path(bucket, key, path) != 0) return 0;
  plat_file_guard guard(plat_file_open(path, PLAT_READ));
  if (!guard.f) return 0;
  read_record(guard.f, content_type, etag, etag_size, user_meta, content, parts);
  return 1;
}

int meta_load_current(const char *bucket, const char *key, int64_t data_mtime_ns,
                      char content_type[256], char *etag, size_t etag_size, char user_meta[1024],
                      content_headers *content, part_lookup *parts) {
  char path[S3_FS_PATH];
  if (meta_path(bucket, key, path) != 0) return 0;
  plat_file_guard guard(plat_file_open(path, PLAT_READ));
  if (!guard.f) return 0;
  // The time of the handle actually read, so a record replaced meanwhile cannot slip through.
  int64_t meta_mtime = 0;
  if (plat_file_mtime_ns(guard.f, &meta_mtime) != 0 || meta_mtime < data_mtime_ns) return 0;
  read_record(guard.f, content_type, etag, etag_size, user_meta, content, parts);
  return 1;
}

int meta_load_version(const char *bucket, const char *key, const plat_file_id *id,
                      char content_type[256], char *etag, size_t etag_size, char user_meta[1024],
                      content_headers *content, part_lookup *parts, int *named) {
  if (named) *named = 0;
  char path[S3_FS_PATH];
  if (meta_path(bucket, key, path) != 0) return 0;
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
  read_record(guard.f, ctype, tag, etag_size < sizeof tag ? etag_size : sizeof tag, user, &c,
              &p, &v);
  if (named) *named = v.present;
  if (v.present) {
    if (!record_version_matches(&v, id)) return -1;
  } else {
    // A record from before records named their version: trusted when not older than the data
    // (the time of the handle actually read, so a record replaced meanwhile cannot slip in).
    int64_t meta_mtime = 0;
    if (plat_file_mtime_ns(guard.f, &meta_mtime) != 0 || meta_mtime < id->mtime_ns) return 0;
  }
  copy_text(content_type, 256, ctype);
  copy_text(etag, etag_size, tag);
  copy_text(user_meta, 1024, user);
  if (content) *content = c;
  if (parts) *parts = p;
  return 1;
}

void meta_remove(const char *bucket, const char *key) {
  char path[S3_FS_PATH];
  if (meta_path(bucket, key, path) != 0) return;
  plat_err err;
  plat_unlink(path, &err);
}
