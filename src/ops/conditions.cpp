// Conditional requests: HTTP dates in their three forms, and the rules by which the entity-tag
// and date conditions of a read or a copy combine into one verdict.
#include "ops/conditions.h"

#include <cstring>

#include "digest/hash.h"
#include "base/date.h"
#include "base/text.h"
#include "http/request.h"

const condition_names GET_CONDITIONS = {"If-Match", "If-None-Match", "If-Modified-Since",
                                        "If-Unmodified-Since"};
const condition_names COPY_CONDITIONS = {
    "x-amz-copy-source-if-match", "x-amz-copy-source-if-none-match",
    "x-amz-copy-source-if-modified-since", "x-amz-copy-source-if-unmodified-since"};

namespace {

constexpr size_t ETAG_BLOCK = 65536;

// Reads between min and max decimal digits at *p. 0 with the value, -1 otherwise.
int read_digits(const char **p, int min, int max, int *out) {
  int v = 0, n = 0;
  while (n < max && (*p)[n] >= '0' && (*p)[n] <= '9') {
    v = v * 10 + ((*p)[n] - '0');
    n++;
  }
  if (n < min) return -1;
  *p += n;
  *out = v;
  return 0;
}

int expect(const char **p, char c) {
  if (**p != c) return -1;
  (*p)++;
  return 0;
}

// "Jan" .. "Dec" (either case) into 1..12, or -1.
int read_month(const char **p) {
  static const char names[] = "janfebmaraprmayjunjulaugsepoctnovdec";
  if (!(*p)[0] || !(*p)[1] || !(*p)[2]) return -1;
  for (int m = 0; m < 12; m++) {
    const char *n = names + 3 * m;
    if (ascii_lower((*p)[0]) == n[0] && ascii_lower((*p)[1]) == n[1] &&
        ascii_lower((*p)[2]) == n[2]) {
      *p += 3;
      return m + 1;
    }
  }
  return -1;
}

// "HH:MM:SS".
int read_clock(const char **p, civil_time *t) {
  if (read_digits(p, 2, 2, &t->hour) != 0 || expect(p, ':') != 0) return -1;
  if (read_digits(p, 2, 2, &t->minute) != 0 || expect(p, ':') != 0) return -1;
  return read_digits(p, 2, 2, &t->second);
}

// After the weekday and comma: " 06 Nov 1994 08:49:37 GMT" or " 06-Nov-94 08:49:37 GMT".
int read_after_comma(const char *p, civil_time *t) {
  if (expect(&p, ' ') != 0 || read_digits(&p, 1, 2, &t->day) != 0) return -1;
  int dashed = *p == '-';
  if (expect(&p, dashed ? '-' : ' ') != 0 || (t->month = read_month(&p)) < 0) return -1;
  if (expect(&p, dashed ? '-' : ' ') != 0) return -1;
  if (dashed) {
    // Two-digit years of the obsolete form: the nearest century that is not far in the future.
    if (read_digits(&p, 2, 2, &t->year) != 0) return -1;
    t->year += t->year < 70 ? 2000 : 1900;
  } else if (read_digits(&p, 4, 4, &t->year) != 0) {
    return -1;
  }
  if (expect(&p, ' ') != 0 || read_clock(&p, t) != 0) return -1;
  return strcmp(p, " GMT") == 0 ? 0 : -1;
}

// After the weekday: " Nov  6 08:49:37 1994".
int read_asctime(const char *p, civil_time *t) {
  if (expect(&p, ' ') != 0 || (t->month = read_month(&p)) < 0 || expect(&p, ' ') != 0) return -1;
  if (*p == ' ') p++;
  if (read_digits(&p, 1, 2, &t->day) != 0 || expect(&p, ' ') != 0) return -1;
  if (read_clock(&p, t) != 0 || expect(&p, ' ') != 0) return -1;
  if (read_digits(&p, 4, 4, &t->year) != 0) return -1;
  return *p ? -1 : 0;
}

// An entity-tag list matches when it is "*" or holds the ETag anywhere (quotes, lists and
// weak prefixes around it do not matter).
int etag_listed(const char *value, const char *etag) {
  return strcmp(value, "*") == 0 || (etag[0] && strstr(value, etag) != nullptr);
}

// A date condition's instant: 1 with it, 0 when the header is absent or unreadable.
int header_date(const char *head, size_t head_len, const char *name, int64_t *out) {
  owned_str v(hdr_value(head, head_len, name));
  return !v.empty() && parse_http_date(v.get(), out) == 0;
}

}  // namespace

int parse_http_date(const char *text, int64_t *out) {
  if (!text) return -1;
  const char *p = text;
  while (*p == ' ' || *p == '\t') p++;
  const char *day_end = p;
  while ((*day_end >= 'A' && *day_end <= 'Z') || (*day_end >= 'a' && *day_end <= 'z')) day_end++;
  if (day_end - p < 3) return -1;
  civil_time t;
  memset(&t, 0, sizeof t);
  int rc = *day_end == ',' ? read_after_comma(day_end + 1, &t) : read_asctime(day_end, &t);
  if (rc != 0) return -1;
  return seconds_from_civil(&t, out);
}

int has_conditions(const char *head, size_t head_len, const condition_names *names) {
  const char *all[4] = {names->if_match, names->if_none_match, names->if_modified_since,
                        names->if_unmodified_since};
  for (const char *name : all) {
    owned_str v(hdr_value(head, head_len, name));
    if (v.get()) return 1;
  }
  return 0;
}

condition_verdict evaluate_conditions(const char *head, size_t head_len,
                                      const condition_names *names, const char *etag,
                                      int64_t mtime) {
  owned_str if_match(hdr_value(head, head_len, names->if_match));
  owned_str if_none(hdr_value(head, head_len, names->if_none_match));
  int64_t when = 0;
  if (!if_match.empty()) {
    if (!etag_listed(if_match.get(), etag)) return COND_FAILED;
  } else if (header_date(head, head_len, names->if_unmodified_since, &when) && mtime > when) {
    return COND_FAILED;
  }
  if (!if_none.empty()) {
    if (etag_listed(if_none.get(), etag)) return COND_NOT_MODIFIED;
  } else if (header_date(head, head_len, names->if_modified_since, &when) && mtime <= when) {
    return COND_NOT_MODIFIED;
  }
  return COND_PASS;
}

void view_etag(const object_view *v, char out[S3_ETAG_CAP]) {
  if (v->etag[0]) {
    copy_text(out, S3_ETAG_CAP, v->etag);
    return;
  }
  copy_text(out, S3_ETAG_CAP, "00000000000000000000000000000000");
  if (!v->data || plat_file_seek(v->data, 0) != 0) return;
  md5_ctx c;
  md5_init(&c);
  char block[ETAG_BLOCK];
  for (;;) {
    long got = plat_file_read(v->data, block, sizeof block);
    if (got < 0) {
      plat_file_seek(v->data, 0);
      return;
    }
    if (got == 0) break;
    md5_update(&c, block, (size_t)got);
  }
  plat_file_seek(v->data, 0);
  unsigned char digest[16];
  md5_final(&c, digest);
  hex_encode(digest, 16, out);
  out[32] = 0;
}
