// Text and number helpers: bounded copies, case-insensitive comparisons, hexadecimal, byte
// search, the XML element reader and the one decimal reader every header and query value uses.
#include "base/text.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

// ---------------------------------------------------------------- copies and comparisons

int copy_text_n(char *dst, size_t cap, const char *src, size_t n) {
  if (!dst || cap == 0) return 0;
  if (!src) n = 0;
  size_t m = n < cap - 1 ? n : cap - 1;
  if (m) memcpy(dst, src, m);
  dst[m] = 0;
  return m == n;
}

int copy_text(char *dst, size_t cap, const char *src) {
  return copy_text_n(dst, cap, src, src ? strlen(src) : 0);
}

int ieq(const char *a, const char *b) {
  if (!a || !b) return 0;
  for (; *a && *b; a++, b++)
    if (ascii_lower(*a) != ascii_lower(*b)) return 0;
  return *a == *b;
}

int istarts_with(const char *s, const char *prefix) {
  if (!s || !prefix) return 0;
  for (; *prefix; s++, prefix++)
    if (!*s || ascii_lower(*s) != ascii_lower(*prefix)) return 0;
  return 1;
}

int icontains(const char *hay, const char *needle) {
  if (!hay || !needle) return 0;
  if (!*needle) return 1;
  for (; *hay; hay++)
    if (istarts_with(hay, needle)) return 1;
  return 0;
}

owned_str::~owned_str() { free(p); }

// ---------------------------------------------------------------- UTF-8

int text_is_utf8(const char *s, size_t n) {
  const unsigned char *p = reinterpret_cast<const unsigned char *>(s);
  for (size_t i = 0; i < n;) {
    unsigned c = p[i];
    if (c < 0x80) {
      i++;
      continue;
    }
    // The sequence length and the range its second byte must lie in, which excludes the
    // overlong forms, the surrogates and everything above U+10FFFF.
    size_t len;
    unsigned lo = 0x80, hi = 0xBF;
    if (c >= 0xC2 && c <= 0xDF) {
      len = 2;
    } else if (c >= 0xE0 && c <= 0xEF) {
      len = 3;
      if (c == 0xE0) lo = 0xA0;
      if (c == 0xED) hi = 0x9F;
    } else if (c >= 0xF0 && c <= 0xF4) {
      len = 4;
      if (c == 0xF0) lo = 0x90;
      if (c == 0xF4) hi = 0x8F;
    } else {
      return 0;
    }
    if (n - i < len) return 0;
    if (p[i + 1] < lo || p[i + 1] > hi) return 0;
    for (size_t k = 2; k < len; k++)
      if (p[i + k] < 0x80 || p[i + k] > 0xBF) return 0;
    i += len;
  }
  return 1;
}

// ---------------------------------------------------------------- hexadecimal

void hex_encode(const unsigned char *data, size_t n, char *out) {
  static const char digits[] = "0123456789abcdef";
  for (size_t i = 0; i < n; i++) {
    out[2 * i] = digits[data[i] >> 4];
    out[2 * i + 1] = digits[data[i] & 15];
  }
  out[2 * n] = 0;
}

int hex_digit_value(char ch) {
  if (ch >= '0' && ch <= '9') return ch - '0';
  if (ch >= 'a' && ch <= 'f') return ch - 'a' + 10;
  if (ch >= 'A' && ch <= 'F') return ch - 'A' + 10;
  return -1;
}

// Each digit is checked before the next is read, so a shorter text stops at its NUL.
int hex_decode(const char *text, unsigned char *out, size_t n) {
  for (size_t i = 0; i < n; i++) {
    int hi = hex_digit_value(text[2 * i]);
    if (hi < 0) return -1;
    int lo = hex_digit_value(text[2 * i + 1]);
    if (lo < 0) return -1;
    out[i] = (unsigned char)((hi << 4) | lo);
  }
  return 0;
}

int parse_hex_size(const char *s, size_t len, uint64_t max, unsigned flags, hex_size *out) {
  if (!s || !out) return -1;
  auto at = [&](size_t i) -> char { return i < len ? s[i] : 0; };
  size_t i = 0;
  if (flags & HEX_BLANKS)
    while (at(i) == ' ' || at(i) == '\t') i++;
  int negative = 0;
  if ((flags & HEX_SIGN) && (at(i) == '+' || at(i) == '-')) negative = s[i++] == '-';
  if ((flags & HEX_0X) && at(i) == '0' && (at(i + 1) == 'x' || at(i + 1) == 'X')) i += 2;
  uint64_t v = 0;
  size_t digits = 0;
  bool over = false;
  for (int d; (d = hex_digit_value(at(i))) >= 0; i++, digits++) {
    if (over || (uint64_t)d > max || v > (max - (uint64_t)d) / 16) {
      over = true;  // the rest of the digits are still consumed
      continue;
    }
    v = v * 16 + (uint64_t)d;
  }
  if (over) {
    if (!(flags & HEX_SATURATE)) return -1;
    v = max;
  }
  out->value = v;
  out->negative = negative;
  out->digits = digits;
  out->used = i;
  return 0;
}

// ---------------------------------------------------------------- percent-decoding

long pct_decode_text(const char *src, size_t n, char *out, size_t cap, unsigned flags) {
  if (!src || !out || !cap) return -1;
  size_t w = 0;
  for (size_t i = 0; i < n;) {
    char c = src[i];
    int hi = -1, lo = -1;
    if (c == '%' && i + 2 < n) {
      hi = hex_digit_value(src[i + 1]);
      lo = hex_digit_value(src[i + 2]);
    }
    if (hi >= 0 && lo >= 0) {
      c = char(hi * 16 + lo);
      i += 3;
    } else {
      if (c == '%' && (flags & PCT_STRICT)) return -1;
      if (c == '+' && (flags & PCT_PLUS_BLANK)) c = ' ';
      i++;
    }
    if (c == 0 && (flags & PCT_NO_NUL)) return -1;
    if (w + 1 >= cap) return PCT_TOO_LONG;
    out[w++] = c;
  }
  out[w] = 0;
  return long(w);
}

void pct_decode(char *s) {
  if (!s) return;
  size_t n = strlen(s);
  pct_decode_text(s, n, s, n + 1, 0);
}

// ---------------------------------------------------------------- searching

const char *find_bytes(const char *hay, size_t len, const char *needle) {
  size_t nl = strlen(needle);
  if (!nl || nl > len) return nullptr;
  const char *end = hay + len - nl;
  for (const char *p = hay; p <= end; p++) {
    p = static_cast<const char *>(memchr(p, needle[0], (size_t)(end - p) + 1));
    if (!p) return nullptr;
    if (memcmp(p, needle, nl) == 0) return p;
  }
  return nullptr;
}

namespace {

// UTF-8 of code point cp (at most U+10FFFF) into out[4]; its length.
size_t utf8_put(unsigned long cp, char *out) {
  if (cp < 0x80) {
    out[0] = (char)cp;
    return 1;
  }
  if (cp < 0x800) {
    out[0] = (char)(0xC0 | (cp >> 6));
    out[1] = (char)(0x80 | (cp & 0x3F));
    return 2;
  }
  if (cp < 0x10000) {
    out[0] = (char)(0xE0 | (cp >> 12));
    out[1] = (char)(0x80 | ((cp >> 6) & 0x3F));
    out[2] = (char)(0x80 | (cp & 0x3F));
    return 3;
  }
  out[0] = (char)(0xF0 | (cp >> 18));
  out[1] = (char)(0x80 | ((cp >> 12) & 0x3F));
  out[2] = (char)(0x80 | ((cp >> 6) & 0x3F));
  out[3] = (char)(0x80 | (cp & 0x3F));
  return 4;
}

// The reference at s[0..n) (s[0] is '&'): its length with its UTF-8 in out[4] and *out_len, or
// 0 when none is known there. A numeric one has at most eight digits, 'x' (lowercase) for hex.
size_t xml_reference(const char *s, size_t n, unsigned flags, char *out, size_t *out_len) {
  static const struct {
    const char *name;
    char ch;
  } named[] = {{"amp;", '&'}, {"lt;", '<'}, {"gt;", '>'}, {"quot;", '"'}, {"apos;", '\''}};
  for (const auto &e : named) {
    size_t k = strlen(e.name);
    if (n - 1 >= k && memcmp(s + 1, e.name, k) == 0) {
      out[0] = e.ch;
      *out_len = 1;
      return k + 1;
    }
  }
  if (!(flags & XML_NUMERIC) || n < 2 || s[1] != '#') return 0;
  auto at = [&](size_t i) -> char { return i < n ? s[i] : 0; };
  int hex = at(2) == 'x';
  size_t i = 2 + (size_t)hex;
  unsigned long cp = 0;
  int digits = 0;
  for (; digits < 8; i++, digits++) {
    char c = at(i);
    int v = hex ? hex_digit_value(c) : (c >= '0' && c <= '9' ? c - '0' : -1);
    if (v < 0) break;
    cp = cp * (hex ? 16 : 10) + (unsigned long)v;
  }
  if (!digits || at(i) != ';' || !cp || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))
    return 0;
  // UTF-8 is never longer than the reference it replaces ("&#1;" is 4 bytes).
  *out_len = utf8_put(cp, out);
  return i + 1;
}

}  // namespace

long xml_decode_entities(const char *s, size_t n, char *out, size_t cap, unsigned flags) {
  if (!s || !out || !cap) return -1;
  size_t w = 0;
  for (size_t i = 0; i < n;) {
    char ref[4] = {s[i], 0, 0, 0};
    size_t ref_len = 1, used = 1;
    if (s[i] == '&') {
      used = xml_reference(s + i, n - i, flags, ref, &ref_len);
      if (!used) {
        if (flags & XML_STRICT) return -1;
        used = 1;
        ref_len = 1;
        ref[0] = '&';
      }
    }
    if (w + ref_len >= cap) return -1;
    memcpy(out + w, ref, ref_len);
    w += ref_len;
    i += used;
  }
  out[w] = 0;
  return long(w);
}

// ---------------------------------------------------------------- decimal numbers

static bool is_blank(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

int parse_decimal(const char *s, size_t len, uint64_t max, unsigned flags, uint64_t *out,
                  size_t *used) {
  if (!s || !out) return -1;
  // The text ends at len or at a NUL, whichever comes first; nothing past either is read.
  auto at = [&](size_t i) -> char { return i < len ? s[i] : 0; };
  size_t i = 0;
  if (flags & DEC_BLANKS)
    while (at(i) && is_blank(at(i))) i++;
  bool negative = false;
  if ((flags & DEC_PLUS) && at(i) == '+') {
    i++;
  } else if ((flags & DEC_MINUS) && at(i) == '-') {
    negative = true;
    i++;
  }
  uint64_t v = 0;
  size_t digits = 0;
  bool over = false;
  for (; at(i) >= '0' && at(i) <= '9'; i++, digits++) {
    unsigned d = unsigned(at(i) - '0');
    if (over || v > max / 10 || (v == max / 10 && d > max % 10)) {
      over = true;  // the rest of the digits are still consumed
      continue;
    }
    v = v * 10 + d;
  }
  if (!digits && !(flags & DEC_EMPTY_ZERO)) return -1;
  if (negative && (v != 0 || over)) over = true;
  if (!(flags & DEC_PREFIX)) {
    if (flags & DEC_BLANKS)
      while (at(i) && is_blank(at(i))) i++;
    if (at(i)) return -1;
  }
  if (over) {
    if (!(flags & DEC_SATURATE)) return -1;
    v = max;
  }
  *out = v;
  if (used) *used = i;
  return 0;
}

int read_content_length(const char *v, uint64_t *value) {
  if (!v) v = "";
  const size_t len = strlen(v);
  if (!*v) return CL_EMPTY;
  // A number too long for 64 bits is still a number: the body rules refuse it as too large.
  uint64_t n = 0;
  if (parse_decimal(v, len, UINT64_MAX, DEC_SATURATE, &n) == 0) {
    *value = n;
    return CL_NUMBER;
  }
  if (v[0] == '-' && parse_decimal(v + 1, len - 1, UINT64_MAX, DEC_SATURATE, &n) == 0)
    return CL_NEGATIVE;
  return CL_NOT_NUMBER;
}

int framed_content_length(const char *v, uint64_t *out) {
  if (!v) v = "";
  const unsigned flags = DEC_MINUS | DEC_PREFIX | DEC_EMPTY_ZERO;
  if (parse_decimal(v, strlen(v), UINT64_MAX, flags, out) == 0) return 0;
  *out = UINT64_MAX;
  return -1;
}

int parse_signed_decimal(const char *s, size_t len, uint64_t max, unsigned flags, int64_t *out) {
  if (!s || !out || max > (uint64_t)INT64_MAX) return -1;
  size_t i = 0;
  if (flags & DEC_BLANKS)
    while (i < len && s[i] && is_blank(s[i])) i++;
  bool negative = false;
  if (i < len && (s[i] == '-' || s[i] == '+')) negative = s[i++] == '-';
  uint64_t v = 0;
  if (parse_decimal(s + i, len - i, max, flags & ~DEC_SIGN, &v) != 0) return -1;
  *out = negative ? -(int64_t)v : (int64_t)v;
  return 0;
}

// ---------------------------------------------------------------- XML elements

namespace {

int xml_blank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

// Offset just past the first `end` in s[from..len), or 0 when there is none.
size_t xml_past(const char *s, size_t len, size_t from, const char *end) {
  const char *hit = find_bytes(s + from, len - from, end);
  return hit ? (size_t)(hit - s) + strlen(end) : 0;
}

// Offset of the closing tag "</" name, blanks, ">" at or after from, with *after just past it;
// 0 when there is none.
size_t xml_child_close(const char *s, size_t len, size_t from, const xml_element *e,
                       size_t *after) {
  for (size_t q = from; q + 2 + e->name_len <= len; q++) {
    if (s[q] != '<' || s[q + 1] != '/' || memcmp(s + q + 2, e->name, e->name_len) != 0) continue;
    size_t r = q + 2 + e->name_len;
    while (r < len && xml_blank(s[r])) r++;
    if (r >= len || s[r] != '>') continue;
    *after = r + 1;
    return q;
  }
  return 0;
}

}  // namespace

int xml_skip_markup(const char *s, size_t len, size_t *pos, unsigned flags) {
  static const struct {
    const char *open;
    const char *close;
  } kinds[] = {{"<?", "?>"}, {"<!--", "-->"}, {"<![CDATA[", "]]>"}};
  if (*pos >= len) return 0;
  size_t rest = len - *pos;
  for (size_t k = 0; k < 3; k++) {
    if (k == 2 && !(flags & XML_CDATA)) break;
    size_t n = strlen(kinds[k].open);
    if (rest < n || memcmp(s + *pos, kinds[k].open, n) != 0) continue;
    size_t end = xml_past(s, len, *pos + ((flags & XML_END_FROM_OPEN) ? 0 : n), kinds[k].close);
    if (!end) return -1;
    *pos = end;
    return 1;
  }
  return 0;
}

int xml_find_element(const char *s, size_t len, size_t *pos, const char *name, unsigned flags,
                     xml_element *e) {
  char open[130], close[131];
  size_t nl = strlen(name);
  if (!s || *pos >= len || nl > 127) return 0;
  snprintf(open, sizeof open, "<%s>", name);
  snprintf(close, sizeof close, "</%s>", name);
  const char *start = find_bytes(s + *pos, len - *pos, open);
  if (!start) return 0;
  const char *text = start + nl + 2;
  size_t rest = len - (size_t)(text - s);
  const char *end;
  if (flags & XML_CLOSE_NEXT_TAG) {
    end = static_cast<const char *>(memchr(text, '<', rest));
    size_t left = end ? len - (size_t)(end - s) : 0;
    if (!end || left < nl + 3 || memcmp(end, close, nl + 3) != 0) return 0;
  } else {
    end = find_bytes(text, rest, close);
    if (!end) return 0;
  }
  e->name = start + 1;
  e->name_len = nl;
  e->text = text;
  e->text_len = (size_t)(end - text);
  *pos = (size_t)(end - s) + nl + 3;
  return 1;
}

int xml_next_child(const char *s, size_t len, size_t *pos, xml_element *e) {
  for (;;) {
    while (*pos < len && xml_blank(s[*pos])) (*pos)++;
    if (*pos >= len) return 0;
    if (s[*pos] != '<') return -1;
    int skipped = xml_skip_markup(s, len, pos, XML_END_FROM_OPEN);
    if (skipped < 0) return -1;
    if (!skipped) break;
  }
  size_t p = *pos + 1;
  e->name = s + p;
  while (p < len && !xml_blank(s[p]) && s[p] != '>' && s[p] != '/' && s[p] != '<') p++;
  e->name_len = (size_t)(s + p - e->name);
  if (e->name_len == 0) return -1;
  const char *gt = static_cast<const char *>(memchr(s + p, '>', len - p));
  if (!gt) return -1;
  if (gt[-1] == '/') {  // <Name/> or <Name attr="..."/>
    e->text = gt;
    e->text_len = 0;
    *pos = (size_t)(gt - s) + 1;
    return 1;
  }
  e->text = gt + 1;
  size_t from = (size_t)(e->text - s), after = 0;
  size_t close = xml_child_close(s, len, from, e, &after);
  if (!after) return -1;
  e->text_len = close - from;
  *pos = after;
  return 1;
}

int xml_name_is(const xml_element *e, const char *name) {
  return strlen(name) == e->name_len && memcmp(e->name, name, e->name_len) == 0;
}

long xml_element_text(const xml_element *e, char *out, size_t cap, unsigned flags) {
  const char *p = e->text, *end = e->text + e->text_len;
  if (flags & XML_TRIM) {
    while (p < end && xml_blank(*p)) p++;
    while (end > p && xml_blank(end[-1])) end--;
  }
  if (flags & XML_TEXT_ONLY)
    for (const char *q = p; q < end; q++)
      if (*q == '<' || (unsigned char)*q < 0x20 || *q == 0x7f) return -1;
  return xml_decode_entities(p, (size_t)(end - p), out, cap, flags & (XML_NUMERIC | XML_STRICT));
}

char *xml_get_tag(const char *text, size_t len, const char *name) {
  if (!text || !len) return nullptr;
  char cut[128];
  copy_text(cut, sizeof(cut), name);
  size_t pos = 0;
  xml_element e;
  if (xml_find_element(text, len, &pos, cut, XML_CLOSE_NEXT_TAG, &e) != 1) return nullptr;
  char *out = static_cast<char *>(malloc(e.text_len + 1));
  if (!out) return nullptr;
  memcpy(out, e.text, e.text_len);
  out[e.text_len] = 0;
  return out;
}
