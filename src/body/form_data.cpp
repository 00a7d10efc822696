// A bounded, streaming reader of multipart/form-data bodies. Bytes come from the head's
// leftover first, then the socket, never beyond the body's length. The delimiter of a part is
// CR LF "--" boundary; the data before a possible delimiter start at the buffer's end is held
// back until enough bytes arrived to tell.
#include "body/form_data.h"

#include <cstring>

#include "base/text.h"
#include "http/conn.h"

namespace {

// Reads more body bytes behind buf[end], compacting first. 1 added some, 0 the body is over,
// -1 the connection failed.
int fill(form_reader *f) {
  if (f->start > 0) {
    memmove(f->buf, f->buf + f->start, f->end - f->start);
    f->end -= f->start;
    f->start = 0;
  }
  size_t room = sizeof f->buf - f->end;
  if (room == 0 || f->left == 0) return 0;
  size_t want = f->left < room ? (size_t)f->left : room;
  if (f->prefix_pos < f->prefix_len) {
    size_t have = f->prefix_len - f->prefix_pos;
    size_t n = have < want ? have : want;
    memcpy(f->buf + f->end, f->prefix + f->prefix_pos, n);
    f->prefix_pos += n;
    f->end += n;
    f->left -= n;
    return 1;
  }
  long got = http_body_recv(f->sock, f->buf + f->end, want);
  if (got <= 0) return -1;
  f->end += (size_t)got;
  f->left -= (uint64_t)got;
  return 1;
}

// Position of the delimiter in buf[start..end), or -1.
long find_delim(const form_reader *f) {
  const char *hay = (const char *)f->buf + f->start;
  const char *hit = nullptr;
  size_t len = f->end - f->start;
  for (size_t i = 0; i + f->delim_len <= len; i++) {
    if (hay[i] == '\r' && memcmp(hay + i, f->delim, f->delim_len) == 0) {
      hit = hay + i;
      break;
    }
  }
  return hit ? (long)(hit - (const char *)f->buf) : -1;
}

// A header line of the part into line[cap] (CR LF removed). 0, or -1 when none can be read.
int read_line(form_reader *f, char *line, size_t cap, size_t *budget) {
  for (;;) {
    const unsigned char *nl = (const unsigned char *)memchr(f->buf + f->start, '\n', f->end - f->start);
    if (nl) {
      size_t n = (size_t)(nl - (f->buf + f->start));
      if (n + 1 > *budget) return -1;
      *budget -= n + 1;
      if (n && f->buf[f->start + n - 1] == '\r') n--;
      if (copy_text_n(line, cap, (const char *)f->buf + f->start, n) != 1) return -1;
      f->start += (size_t)(nl - (f->buf + f->start)) + 1;
      return 0;
    }
    if (f->end - f->start >= *budget || fill(f) != 1) return -1;
  }
}

// The value of a parameter (name="value" or name=value) of a header value; 1 found, 0 not.
int header_param(const char *value, const char *name, char *out, size_t cap) {
  size_t nl = strlen(name);
  for (const char *p = value; (p = strchr(p, ';')) != nullptr;) {
    p++;
    while (*p == ' ' || *p == '\t') p++;
    if (strncmp(p, name, nl) != 0 || p[nl] != '=') continue;
    const char *v = p + nl + 1;
    if (*v == '"') {
      const char *q = strchr(v + 1, '"');
      if (!q) return 0;
      return copy_text_n(out, cap, v + 1, (size_t)(q - v - 1));
    }
    size_t n = strcspn(v, "; \t");
    return copy_text_n(out, cap, v, n);
  }
  return 0;
}

// Reads the header lines of a part into *part. 0, or -1 when malformed or too long.
int read_part_head(form_reader *f, form_part *part) {
  memset(part, 0, sizeof *part);
  size_t budget = FORM_PART_HEAD_MAX;
  char line[FORM_PART_HEAD_MAX];
  int has_disposition = 0;
  for (;;) {
    if (read_line(f, line, sizeof line, &budget) != 0) return -1;
    if (!line[0]) break;
    char *colon = strchr(line, ':');
    if (!colon) return -1;
    *colon = 0;
    const char *v = colon + 1;
    while (*v == ' ' || *v == '\t') v++;
    if (ieq(line, "Content-Disposition")) {
      if (!istarts_with(v, "form-data")) return -1;
      if (header_param(v, "name", part->name, sizeof part->name) != 1) return -1;
      part->has_filename = header_param(v, "filename", part->filename, sizeof part->filename);
      has_disposition = 1;
    } else if (ieq(line, "Content-Type")) {
      copy_text(part->content_type, sizeof part->content_type, v);
    }
  }
  return has_disposition ? 0 : -1;
}

}  // namespace

int form_boundary(const char *content_type, char out[FORM_BOUNDARY_MAX + 1]) {
  out[0] = 0;
  if (!content_type || !istarts_with(content_type, "multipart/form-data")) return -1;
  if (header_param(content_type, "boundary", out, FORM_BOUNDARY_MAX + 1) != 1 || !out[0]) {
    out[0] = 0;
    return -1;
  }
  return 0;
}

void form_init(form_reader *f, plat_sock sock, const char *prefix, size_t prefix_len,
               uint64_t body_len, const char *boundary) {
  f->sock = sock;
  f->prefix = prefix ? prefix : "";
  f->prefix_len = prefix ? prefix_len : 0;
  f->prefix_pos = 0;
  f->left = body_len;
  size_t bl = strlen(boundary);
  if (bl > FORM_BOUNDARY_MAX) bl = FORM_BOUNDARY_MAX;
  memcpy(f->delim, "\r\n--", 4);
  memcpy(f->delim + 4, boundary, bl);
  f->delim_len = bl + 4;
  // The first delimiter opens the body without a line break before it: one is supplied, so
  // every delimiter is found the same way and a preamble is skipped like part data.
  memcpy(f->buf, "\r\n", 2);
  f->start = 0;
  f->end = 2;
  f->at_delim = 0;
  f->finished = 0;
}

long form_read(form_reader *f, void *dst, size_t n) {
  if (f->at_delim || f->finished) return 0;
  for (;;) {
    long at = find_delim(f);
    size_t avail;
    if (at >= 0) {
      avail = (size_t)at - f->start;
      if (avail == 0) {
        f->start += f->delim_len;
        f->at_delim = 1;
        return 0;
      }
    } else {
      size_t held = f->end - f->start;
      avail = held >= f->delim_len ? held - (f->delim_len - 1) : 0;
    }
    if (avail > 0) {
      size_t k = avail < n ? avail : n;
      memcpy(dst, f->buf + f->start, k);
      f->start += k;
      return (long)k;
    }
    if (fill(f) != 1) return -1;
  }
}

int form_next_part(form_reader *f, form_part *part) {
  if (f->finished) return 0;
  unsigned char skip[4096];
  long got;
  while ((got = form_read(f, skip, sizeof skip)) > 0) {
  }
  if (got < 0) return -1;
  f->at_delim = 0;
  // After a delimiter: "--" closes the body, CR LF opens the next part's header.
  while (f->end - f->start < 2)
    if (fill(f) != 1) return -1;
  if (f->buf[f->start] == '-' && f->buf[f->start + 1] == '-') {
    f->finished = 1;
    return 0;
  }
  if (f->buf[f->start] != '\r' || f->buf[f->start + 1] != '\n') return -1;
  f->start += 2;
  return read_part_head(f, part) == 0 ? 1 : -1;
}
