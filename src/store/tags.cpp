// Tag sets and their three text forms. Every parser checks what S3 checks: at most the given
// number of tags, keys of 1 to 128 and values of up to 256 characters (code points of UTF-8),
// no key twice, no "aws:" key, and only the characters tags take: letters, digits, blanks and
// "+ - = . _ : / @" (every character beyond ASCII counts as a letter).
#include "store/tags.h"

#include <cstdlib>
#include <cstring>

#include "base/text.h"

namespace {

const char TAG_LINE_PREFIX[] = "+Tag ";
constexpr size_t TAG_LINE_PREFIX_LEN = sizeof(TAG_LINE_PREFIX) - 1;
const char HEADER_NAME[] = "x-amz-tagging";
constexpr size_t HEADER_NAME_LEN = sizeof(HEADER_NAME) - 1;

// The code points of UTF-8 text s[0..n) when every one is a character tags take, else -1.
long tag_chars(const char *s, size_t n) {
  if (!text_is_utf8(s, n)) return -1;
  long chars = 0;
  for (size_t i = 0; i < n; i++) {
    unsigned char c = (unsigned char)s[i];
    if ((c & 0xC0) == 0x80) continue;  // a continuation byte of the character before
    chars++;
    if (c >= 0x80) continue;
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == ' ')
      continue;
    if (!strchr("+-=._:/@", (char)c) || c == 0) return -1;
  }
  return chars;
}

// The checks every form shares, on one tag already decoded.
tag_verdict check_tag(const tag_entry *t) {
  size_t kn = strlen(t->key);
  long kc = tag_chars(t->key, kn);
  if (kc < 1 || (size_t)kc > S3_TAG_KEY_CHARS) return TAGS_BAD_KEY;
  if (kn >= 4 && strncmp(t->key, "aws:", 4) == 0) return TAGS_SYSTEM_KEY;
  long vc = tag_chars(t->value, strlen(t->value));
  if (vc < 0 || (size_t)vc > S3_TAG_VALUE_CHARS) return TAGS_BAD_VALUE;
  return TAGS_OK;
}

// 1 when line begins with the x-amz-tagging name, in any case.
int names_header(const char *line) {
  for (size_t i = 0; i < HEADER_NAME_LEN; i++)
    if (ascii_lower(line[i]) != HEADER_NAME[i]) return 0;
  return 1;
}

int key_seen(const tag_set *set, const char *key) {
  for (size_t i = 0; i < set->count; i++)
    if (strcmp(set->tags[i].key, key) == 0) return 1;
  return 0;
}

// Percent-decodes s[0..n) of the query form into out[cap] ('+' is a blank). 0; -1 for a
// malformed escape or an encoded NUL; 1 when it does not fit (too long for its field).
int query_decode(const char *s, size_t n, char *out, size_t cap) {
  long d = pct_decode_text(s, n, out, cap, PCT_STRICT | PCT_NO_NUL | PCT_PLUS_BLANK);
  return d >= 0 ? 0 : d == PCT_TOO_LONG ? 1 : -1;
}

// Decodes the %XX escapes of a record field s[0..n) into out[cap]. 0, or -1 when it does not
// decode or fit.
int record_decode(const char *s, size_t n, char *out, size_t cap) {
  return pct_decode_text(s, n, out, cap, PCT_STRICT | PCT_NO_NUL) >= 0 ? 0 : -1;
}

// Appends text escaped by keep(): bytes it refuses become %XX. 0, or -1 when out is full.
template <typename Keep>
int append_escaped(char *out, size_t cap, size_t *len, const char *text, Keep keep) {
  static const char hex[] = "0123456789ABCDEF";
  for (const unsigned char *p = (const unsigned char *)text; *p; p++) {
    if (keep(*p)) {
      if (*len + 1 >= cap) return -1;
      out[(*len)++] = (char)*p;
    } else {
      if (*len + 3 >= cap) return -1;
      out[(*len)++] = '%';
      out[(*len)++] = hex[*p >> 4];
      out[(*len)++] = hex[*p & 15];
    }
  }
  out[*len] = 0;
  return 0;
}

int append_raw(char *out, size_t cap, size_t *len, const char *text) {
  size_t n = strlen(text);
  if (*len + n >= cap) return -1;
  memcpy(out + *len, text, n + 1);
  *len += n;
  return 0;
}

// A byte the record keeps as it is: no blank, colon, '%' or control byte.
int record_keeps(unsigned char c) { return c > 0x20 && c != 0x7f && c != '%' && c != ':'; }
// A byte the query form keeps as it is: the unreserved ASCII characters and UTF-8's own bytes.
int query_keeps(unsigned char c) {
  return c >= 0x80 || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
         (c >= '0' && c <= '9') || c == '-' || c == '.' || c == '_' || c == '~';
}

// One leaf of a Tag element decoded into out[cap]: 0; -1 when it is no plain text; 1 when it
// is too long for the field.
int leaf_text(const xml_element *e, char *out, size_t cap) {
  // Decoding never lengthens, so text that would not fit twice over is too long whatever it is.
  if (e->text_len >= 2 * cap) return 1;
  char scratch[2 * S3_TAG_VALUE_CAP + 1];
  long n = xml_element_text(e, scratch, sizeof scratch, unsigned(XML_TEXT_ONLY) | unsigned(XML_STRICT) | unsigned(XML_NUMERIC));
  if (n < 0) return -1;
  if (!text_is_utf8(scratch, (size_t)n)) return -1;
  if ((size_t)n >= cap) return 1;
  memcpy(out, scratch, (size_t)n + 1);
  return 0;
}

// One <Tag> element's Key and Value into t.
tag_verdict parse_tag_element(const xml_element *tag, tag_entry *t) {
  int have_key = 0, have_value = 0;
  size_t pos = 0;
  xml_element e;
  int rc;
  while ((rc = xml_next_child(tag->text, tag->text_len, &pos, &e)) == 1) {
    if (xml_name_is(&e, "Key") && !have_key) {
      have_key = 1;
      int got = leaf_text(&e, t->key, sizeof t->key);
      if (got < 0) return TAGS_MALFORMED;
      if (got > 0) return TAGS_BAD_KEY;
    } else if (xml_name_is(&e, "Value") && !have_value) {
      have_value = 1;
      int got = leaf_text(&e, t->value, sizeof t->value);
      if (got < 0) return TAGS_MALFORMED;
      if (got > 0) return TAGS_BAD_VALUE;
    } else {
      return TAGS_MALFORMED;
    }
  }
  if (rc != 0 || !have_key || !have_value) return TAGS_MALFORMED;
  return TAGS_OK;
}

}  // namespace

tag_set_box::tag_set_box() {
  set = static_cast<tag_set *>(malloc(sizeof(tag_set)));
  if (set) set->count = 0;
}

tag_set_box::~tag_set_box() { free(set); }

tag_verdict tags_parse_query(const char *text, size_t len, size_t max, tag_set *out) {
  out->count = 0;
  size_t pos = 0;
  while (pos < len) {
    const char *amp = static_cast<const char *>(memchr(text + pos, '&', len - pos));
    size_t end = amp ? (size_t)(amp - text) : len;
    if (end > pos) {
      const char *eq = static_cast<const char *>(memchr(text + pos, '=', end - pos));
      size_t kend = eq ? (size_t)(eq - text) : end;
      if (kend == pos) return TAGS_BAD_HEADER;
      if (out->count == max || out->count == S3_BUCKET_TAGS_MAX) return TAGS_TOO_MANY;
      tag_entry *t = &out->tags[out->count];
      int k = query_decode(text + pos, kend - pos, t->key, sizeof t->key);
      if (k < 0) return TAGS_BAD_HEADER;
      if (k > 0) return TAGS_BAD_KEY;
      t->value[0] = 0;
      if (eq) {
        int v = query_decode(eq + 1, (size_t)(text + end - eq - 1), t->value, sizeof t->value);
        if (v < 0) return TAGS_BAD_HEADER;
        if (v > 0) return TAGS_BAD_VALUE;
      }
      if (!text_is_utf8(t->key, strlen(t->key)) || !text_is_utf8(t->value, strlen(t->value)) ||
          key_seen(out, t->key))
        return TAGS_BAD_HEADER;
      out->count++;
    }
    pos = end + 1;
  }
  for (size_t i = 0; i < out->count; i++) {
    tag_verdict v = check_tag(&out->tags[i]);
    if (v != TAGS_OK) return v;
  }
  return TAGS_OK;
}

tag_verdict tags_parse_xml(const char *body, size_t len, size_t max, tag_set *out) {
  out->count = 0;
  size_t pos = 0;
  xml_element root, extra;
  if (xml_next_child(body, len, &pos, &root) != 1 || !xml_name_is(&root, "Tagging") ||
      xml_next_child(body, len, &pos, &extra) != 0)
    return TAGS_MALFORMED;
  size_t at = 0;
  xml_element set;
  if (xml_next_child(root.text, root.text_len, &at, &set) != 1 || !xml_name_is(&set, "TagSet") ||
      xml_next_child(root.text, root.text_len, &at, &extra) != 0)
    return TAGS_MALFORMED;
  size_t tpos = 0;
  xml_element tag;
  int rc;
  tag_verdict first_bad = TAGS_OK;
  while ((rc = xml_next_child(set.text, set.text_len, &tpos, &tag)) == 1) {
    if (!xml_name_is(&tag, "Tag")) return TAGS_MALFORMED;
    if (out->count == max || out->count == S3_BUCKET_TAGS_MAX) return TAGS_TOO_MANY;
    tag_entry *t = &out->tags[out->count];
    tag_verdict v = parse_tag_element(&tag, t);
    if (v == TAGS_MALFORMED) return v;
    if (v == TAGS_OK) v = check_tag(t);
    // The shape of the whole document is checked before what one tag says.
    if (v == TAGS_OK && key_seen(out, t->key)) v = TAGS_DUPLICATE;
    if (v != TAGS_OK && first_bad == TAGS_OK) first_bad = v;
    out->count++;
  }
  if (rc != 0) return TAGS_MALFORMED;
  if (first_bad != TAGS_OK) out->count = 0;
  return first_bad;
}

int tags_head_value(const char *head, size_t head_len, const char **value, size_t *len) {
  size_t pos = 0;
  while (head && pos < head_len) {
    const char *nl = static_cast<const char *>(memchr(head + pos, '\n', head_len - pos));
    size_t end = nl ? (size_t)(nl - head) : head_len;
    const char *line = head + pos;
    size_t n = end - pos;
    if (n > HEADER_NAME_LEN && line[HEADER_NAME_LEN] == ':' && names_header(line)) {
      const char *val = line + HEADER_NAME_LEN + 1;
      const char *stop = line + n;
      while (val < stop && (*val == ' ' || *val == '\t')) val++;
      while (stop > val && (stop[-1] == '\r' || stop[-1] == ' ' || stop[-1] == '\t')) stop--;
      *value = val;
      *len = (size_t)(stop - val);
      return 1;
    }
    pos = nl ? end + 1 : head_len;
  }
  return 0;
}

int tags_from_head(const char *head, size_t head_len, tag_set *out, tag_verdict *v) {
  out->count = 0;
  *v = TAGS_OK;
  const char *value = nullptr;
  size_t len = 0;
  if (!tags_head_value(head, head_len, &value, &len)) return 0;
  *v = tags_parse_query(value, len, S3_OBJECT_TAGS_MAX, out);
  if (*v != TAGS_OK) out->count = 0;
  return 1;
}

void tags_render_xml(const tag_set *set, dynbuf *out) {
  dynbuf_printf(out, "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<Tagging xmlns=\"%s\"><TagSet>",
                S3_XMLNS);
  for (size_t i = 0; i < set->count; i++) {
    dynbuf_printf(out, "<Tag><Key>");
    dynbuf_append_escaped(out, set->tags[i].key);
    dynbuf_printf(out, "</Key><Value>");
    dynbuf_append_escaped(out, set->tags[i].value);
    dynbuf_printf(out, "</Value></Tag>");
  }
  dynbuf_printf(out, "</TagSet></Tagging>\n");
}

size_t tags_render_header(const tag_set *set, char *out, size_t cap) {
  size_t len = 0;
  if (cap) out[0] = 0;
  int rc = append_raw(out, cap, &len, "x-amz-tagging: ");
  for (size_t i = 0; i < set->count && rc == 0; i++) {
    if (i) rc = append_raw(out, cap, &len, "&");
    if (rc == 0) rc = append_escaped(out, cap, &len, set->tags[i].key, query_keeps);
    if (rc == 0) rc = append_raw(out, cap, &len, "=");
    if (rc == 0) rc = append_escaped(out, cap, &len, set->tags[i].value, query_keeps);
  }
  if (rc == 0) rc = append_raw(out, cap, &len, "\r\n");
  if (rc != 0) {
    if (cap) out[0] = 0;
    return 0;
  }
  return len;
}

size_t tag_record_line(const tag_entry *t, char *out, size_t cap) {
  size_t len = 0;
  if (append_raw(out, cap, &len, TAG_LINE_PREFIX) != 0 ||
      append_escaped(out, cap, &len, t->key, record_keeps) != 0 ||
      append_raw(out, cap, &len, " ") != 0 ||
      append_escaped(out, cap, &len, t->value, record_keeps) != 0) {
    if (cap) out[0] = 0;
    return 0;
  }
  return len;
}

int tag_record_is(const char *line, size_t n) {
  return n >= TAG_LINE_PREFIX_LEN && memcmp(line, TAG_LINE_PREFIX, TAG_LINE_PREFIX_LEN) == 0;
}

int tag_record_take(const char *line, size_t n, tag_set *out, size_t max) {
  if (!tag_record_is(line, n)) return 0;
  if (!out || out->count >= max || out->count >= S3_BUCKET_TAGS_MAX) return 1;
  const char *k = line + TAG_LINE_PREFIX_LEN;
  const char *end = line + n;
  const char *sp = static_cast<const char *>(memchr(k, ' ', (size_t)(end - k)));
  const char *kend = sp ? sp : end;
  const char *v = sp ? sp + 1 : end;
  tag_entry *t = &out->tags[out->count];
  if (record_decode(k, (size_t)(kend - k), t->key, sizeof t->key) != 0 || !t->key[0] ||
      record_decode(v, (size_t)(end - v), t->value, sizeof t->value) != 0)
    return 1;
  out->count++;
  return 1;
}
