// The JSON token reader: strings with their escapes decoded into the token's fixed buffer,
// numbers as written, punctuation; every read bounded by the text's end and the buffer.
#include "base/json.h"

#include <cstring>

#include "base/text.h"

namespace {

int put_char(json_token *t, unsigned c) {
  if (t->len + 1 > JSON_TOKEN_MAX) return -1;
  t->text[t->len++] = (char)c;
  return 0;
}

// A \uXXXX escape at p (after the backslash and 'u') as UTF-8. 0, or -1.
int put_unicode(json_token *t, const char *p, const char *end) {
  if (end - p < 4) return -1;
  unsigned u = 0;
  for (int i = 0; i < 4; i++) {
    int d = hex_digit_value(p[i]);
    if (d < 0) return -1;
    u = u * 16 + (unsigned)d;
  }
  if (u >= 0xd800 && u <= 0xdfff) return -1;  // halves of a pair are not text on their own
  if (u < 0x80) return put_char(t, u);
  if (u < 0x800) return put_char(t, 0xc0 | (u >> 6)) | put_char(t, 0x80 | (u & 0x3f));
  return put_char(t, 0xe0 | (u >> 12)) | put_char(t, 0x80 | ((u >> 6) & 0x3f)) |
         put_char(t, 0x80 | (u & 0x3f));
}

int lex_string(json_lexer *l, json_token *t) {
  static const char kFrom[] = "\"\\/bfnrt", kTo[] = "\"\\/\b\f\n\r\t";
  l->p++;
  while (l->p < l->end && *l->p != '"') {
    unsigned char c = (unsigned char)*l->p;
    if (c < 0x20) return JSON_ERR;
    if (c != '\\') {
      if (put_char(t, c) != 0) return JSON_ERR;
      l->p++;
      continue;
    }
    if (l->end - l->p < 2) return JSON_ERR;
    char e = l->p[1];
    if (e == 'u') {
      if (put_unicode(t, l->p + 2, l->end) != 0) return JSON_ERR;
      l->p += 6;
      continue;
    }
    const char *at = e ? strchr(kFrom, e) : nullptr;
    if (!at || put_char(t, (unsigned char)kTo[at - kFrom]) != 0) return JSON_ERR;
    l->p += 2;
  }
  if (l->p >= l->end) return JSON_ERR;
  l->p++;
  return JSON_STR;
}

}  // namespace

int json_next(json_lexer *l, json_token *t) {
  t->len = 0;
  t->text[0] = 0;
  while (l->p < l->end && (*l->p == ' ' || *l->p == '\t' || *l->p == '\r' || *l->p == '\n')) l->p++;
  if (l->p >= l->end) return t->type = JSON_END;
  char c = *l->p;
  // A NUL is no punctuation (strchr would find the terminator).
  if (c && strchr("{}[]:,", c)) {
    l->p++;
    return t->type = c;
  }
  if (c == '"') {
    t->type = lex_string(l, t);
  } else if (c == '-' || (c >= '0' && c <= '9')) {
    while (l->p < l->end && strchr("+-.eE0123456789", *l->p))
      if (put_char(t, (unsigned char)*l->p++) != 0) return t->type = JSON_ERR;
    t->type = JSON_NUM;
  } else {
    return t->type = JSON_ERR;
  }
  t->text[t->len] = 0;
  return t->type;
}

