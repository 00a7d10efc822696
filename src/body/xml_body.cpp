// The shape check of the XML request bodies: one bounded pass over the text with a fixed stack
// of open element names. It does not build a tree and does not decode anything; the
// operations read their elements with the element reader in base/text once the shape is known
// to be whole.
#include "body/xml_body.h"

#include <cstring>

#include "base/text.h"

namespace {

struct name_ref {
  size_t off;
  size_t len;
};

int is_blank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

// The element name at pos: its length (0 when there is none).
size_t name_length(const char *text, size_t len, size_t pos) {
  size_t n = 0;
  while (pos + n < len) {
    char c = text[pos + n];
    if (is_blank(c) || c == '/' || c == '>' || c == '<' || c == '=' || c == '"' || c == '\'') break;
    n++;
  }
  return n;
}

// Offset of the '>' that ends the tag opened at pos, quoted attribute values skipped; 0 when
// the tag does not end before the next '<'.
size_t tag_end(const char *text, size_t len, size_t pos) {
  char quote = 0;
  for (size_t i = pos; i < len; i++) {
    char c = text[i];
    if (c == '<') return 0;  // never inside a tag, not even in an attribute value
    if (quote) {
      if (c == quote) quote = 0;
    } else if (c == '"' || c == '\'') {
      quote = c;
    } else if (c == '>') {
      return i;
    }
  }
  return 0;
}

// 1 when the name equals root, or ends in ":" root.
int is_root_name(const char *name, size_t n, const char *root) {
  size_t r = strlen(root);
  if (n < r || memcmp(name + n - r, root, r) != 0) return 0;
  return n == r || name[n - r - 1] == ':';
}

struct xml_scan {
  const char *text;
  size_t len;
  const char *root;
  name_ref open[S3_XML_DEPTH_MAX];
  size_t depth;
  int root_done;
};

// A tag at pos ("<" seen, not a comment or declaration): its end offset, or 0 when it breaks
// the shape.
size_t scan_tag(xml_scan *x, size_t pos) {
  const char *t = x->text;
  int closing = pos + 1 < x->len && t[pos + 1] == '/';
  size_t name_at = pos + 1 + (size_t)closing;
  size_t n = name_length(t, x->len, name_at);
  size_t end = tag_end(t, x->len, name_at);
  if (!n || !end) return 0;
  if (closing) {
    for (size_t i = name_at + n; i < end; i++)
      if (!is_blank(t[i])) return 0;
    if (!x->depth) return 0;
    name_ref top = x->open[x->depth - 1];
    if (top.len != n || memcmp(t + top.off, t + name_at, n) != 0) return 0;
    if (--x->depth == 0) x->root_done = 1;
    return end + 1;
  }
  if (x->depth == 0 && (x->root_done || !is_root_name(t + name_at, n, x->root))) return 0;
  if (t[end - 1] == '/') {  // <name/>: opens and closes at once
    if (x->depth == 0) x->root_done = 1;
    return end + 1;
  }
  if (x->depth == S3_XML_DEPTH_MAX) return 0;
  x->open[x->depth++] = {name_at, n};
  return end + 1;
}

// Markup that starts with "<?" or "<!" at pos: its end offset, or 0 when it breaks the shape.
// A CDATA section belongs inside the root; a document type declaration is never accepted.
size_t scan_special(xml_scan *x, size_t pos) {
  size_t end = pos;
  unsigned flags = x->depth > 0 ? unsigned(XML_CDATA) : 0u;
  return xml_skip_markup(x->text, x->len, &end, flags) == 1 ? end : 0;
}

}  // namespace

int xml_well_formed(const char *text, size_t len, const char *root) {
  xml_scan x;
  x.text = text;
  x.len = len;
  x.root = root;
  x.depth = 0;
  x.root_done = 0;
  // XML allows no control characters but blanks; a NUL would also end a key early and name
  // another object.
  for (size_t i = 0; i < len; i++)
    if ((unsigned char)text[i] < 0x20 && !is_blank(text[i])) return 0;
  size_t pos = 0;
  // A UTF-8 byte-order mark may open the document.
  if (len >= 3 && memcmp(text, "\xEF\xBB\xBF", 3) == 0) pos = 3;
  while (pos < len) {
    char c = text[pos];
    if (c != '<') {
      // Character data belongs inside the root; around it only blanks may stand.
      if (x.depth == 0 && !is_blank(c)) return 0;
      pos++;
      continue;
    }
    int special = pos + 1 < len && (text[pos + 1] == '?' || text[pos + 1] == '!');
    size_t next = special ? scan_special(&x, pos) : scan_tag(&x, pos);
    if (!next) return 0;
    pos = next;
  }
  return x.root_done && x.depth == 0;
}
