// Key texts in listing documents: XML-escaped, or percent-encoded under encoding-type=url.
#include "ops/key_text.h"

#include <cstring>

void append_key_text(dynbuf *b, const char *text, int url) {
  if (!url) {
    dynbuf_append_escaped(b, text);
    return;
  }
  static const char hex[] = "0123456789ABCDEF";
  char out[3 * 64];
  size_t n = 0;
  for (const unsigned char *c = (const unsigned char *)text; *c; c++) {
    if ((*c >= 'A' && *c <= 'Z') || (*c >= 'a' && *c <= 'z') || (*c >= '0' && *c <= '9') ||
        *c == '-' || *c == '_' || *c == '.' || *c == '~' || *c == '/') {
      out[n++] = (char)*c;
    } else {
      out[n++] = '%';
      out[n++] = hex[*c >> 4];
      out[n++] = hex[*c & 15];
    }
    if (n > sizeof out - 3) {
      dynbuf_append(b, out, n);
      n = 0;
    }
  }
  dynbuf_append(b, out, n);
}

void append_key_element(dynbuf *b, const char *indent, const char *name, const char *text, int url) {
  dynbuf_printf(b, "%s<%s>", indent, name);
  append_key_text(b, text, url);
  dynbuf_printf(b, "</%s>\n", name);
}
