// Every rule on names in one place: the bucket-name rule, the key rules of request paths and
// copy sources, the portability rule, the server's own file names, the uploadId form, and the
// one check of a request's bucket and key.
#include "store/names.h"

#include <cstring>

#include "base/text.h"
#include "platform/platform.h"

// ---------------------------------------------------------------- buckets

// Four dot-separated runs of digits, as in 192.168.1.1: such a name would read as an address.
static int looks_like_ipv4(const char *b, size_t n) {
  int groups = 1;
  size_t run = 0;
  for (size_t i = 0; i < n; i++) {
    if (b[i] == '.') {
      if (run == 0) return 0;
      groups++;
      run = 0;
    } else if (b[i] >= '0' && b[i] <= '9') {
      run++;
    } else {
      return 0;
    }
  }
  return groups == 4 && run > 0;
}

int valid_bucket_name(const char *b, size_t n) {
  if (n < S3_BUCKET_MIN || n > S3_BUCKET_MAX) return 0;
  for (size_t i = 0; i < n; i++) {
    char c = b[i];
    int alnum = (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9');
    if (!alnum && c != '-' && c != '.') return 0;
    // Letters or digits at both ends; a "." never next to another "." or a "-".
    if (!alnum && (i == 0 || i == n - 1)) return 0;
    if (c == '.' && (b[i - 1] == '.' || b[i - 1] == '-' || b[i + 1] == '-')) return 0;
  }
  return !looks_like_ipv4(b, n);
}

int plain_bucket_name(const char *bucket) {
  return bucket && bucket[0] && bucket[0] != '.' && !strchr(bucket, '/');
}

// ---------------------------------------------------------------- keys

int key_is_storable(const char *key) { return key && key[0] ? 1 : 0; }

int key_stays_inside(const char *key) { return key_is_storable(key); }

int valid_decoded_key(const char *key) { return key_is_storable(key); }

// 1 when the segment (n bytes) names a device on Windows: the part before the first "." is,
// blanks at its end ignored, CON, PRN, AUX, NUL, or COM or LPT and a digit 1-9 (also the
// superscripts 1, 2 and 3, which Windows takes for the same ports).
static int is_device_segment(const char *seg, size_t n) {
  size_t base = 0;
  while (base < n && seg[base] != '.') base++;
  while (base > 0 && seg[base - 1] == ' ') base--;
  auto up = [&](size_t i) { return char(seg[i] >= 'a' && seg[i] <= 'z' ? seg[i] - 32 : seg[i]); };
  auto is = [&](const char *word) {
    for (size_t i = 0; i < 3; i++)
      if (up(i) != word[i]) return false;
    return true;
  };
  if (base == 3) return is("CON") || is("PRN") || is("AUX") || is("NUL");
  if (base < 4 || !(is("COM") || is("LPT"))) return 0;
  if (base == 4) return seg[3] >= '1' && seg[3] <= '9';
  // UTF-8 of the superscripts: C2 B9, C2 B2, C2 B3.
  return base == 5 && (unsigned char)seg[3] == 0xC2 &&
         ((unsigned char)seg[4] == 0xB9 || (unsigned char)seg[4] == 0xB2 ||
          (unsigned char)seg[4] == 0xB3);
}

// Why the segment seg[0..n) cannot be a Windows file name, or null.
static const char *segment_portability_problem(const char *seg, size_t n) {
  for (size_t i = 0; i < n; i++) {
    unsigned char c = (unsigned char)seg[i];
    if (c == '\\') return "it contains \"\\\"";
    if (c == ':') return "it contains \":\"";
    if (c < 0x20 || c == 0x7F) return "it contains a control character";
    if (c && strchr("<>\"|?*", c)) return "it contains one of <>\"|?*";
  }
  if (n > 0 && (seg[n - 1] == '.' || seg[n - 1] == ' ')) return "a segment ends in \".\" or \" \"";
  if (is_device_segment(seg, n)) return "a segment is a reserved device name";
  return nullptr;
}

const char *name_portability_problem(const char *name) {
  for (const char *seg = name;;) {
    size_t n = strcspn(seg, "/");
    const char *why = segment_portability_problem(seg, n);
    if (why) return why;
    if (!seg[n]) return nullptr;
    seg += n + 1;
  }
}

// ---------------------------------------------------------------- stored forms of segments

static constexpr char OWN_PREFIX[] = ".quillmar-";
static constexpr size_t OWN_PREFIX_LEN = sizeof OWN_PREFIX - 1;
static constexpr size_t CODED_PREFIX_LEN = sizeof S3_ENCODED_PREFIX - 1;
static_assert(sizeof S3_ENCODED_PREFIX == sizeof S3_CHUNK_PREFIX, "one prefix length");
// The longest encoded text after the prefix.
static constexpr size_t CODED_MAX = S3_STORED_NAME_MAX - CODED_PREFIX_LEN;

// 1 when byte c at position i of an n-byte segment is kept as it is in an encoded name.
static int byte_kept(unsigned char c, size_t i, size_t n) {
  if (c >= 0x80) return 1;
  if (c >= 'a' && c <= 'z') return 1;
  // Under Windows names letters are compared without case: upper-case ones are escaped, so
  // two encoded names never differ by case alone.
  if (c >= 'A' && c <= 'Z') return !plat_windows_names();
  if (c >= '0' && c <= '9') return 1;
  if (c == '-' || c == '_' || c == '~') return 1;
  return c == '.' && i + 1 < n;  // Windows drops a name's last "."
}

// The encoded length of seg[0..n).
static size_t coded_length(const char *seg, size_t n) {
  size_t len = 0;
  for (size_t i = 0; i < n; i++) len += byte_kept((unsigned char)seg[i], i, n) ? 1 : 3;
  return len;
}

// 1 when seg[0..n) is stored as it is: a name the platform holds that is no name of the
// server's own (at the last level, no temporary file's either), no "." or "..", and short
// enough.
static int segment_is_plain(const char *seg, size_t n, int last) {
  if (n == 0 || n > S3_STORED_NAME_MAX) return 0;
  if ((n == 1 && seg[0] == '.') || (n == 2 && seg[0] == '.' && seg[1] == '.')) return 0;
  if (n >= OWN_PREFIX_LEN && memcmp(seg, OWN_PREFIX, OWN_PREFIX_LEN) == 0) return 0;
  if (plat_windows_names() && segment_portability_problem(seg, n)) return 0;
  if (last && seg[0] == '.') {
    char name[S3_STORED_NAME_MAX + 1];
    memcpy(name, seg, n);
    name[n] = 0;
    if (is_own_name(name, 0)) return 0;
  }
  return 1;
}

// Writes prefix and the encoding of seg[0..n) at out; the bytes written.
static size_t write_coded(const char *prefix, const char *seg, size_t n, char *out) {
  static const char hex[] = "0123456789ABCDEF";
  memcpy(out, prefix, CODED_PREFIX_LEN);
  size_t at = CODED_PREFIX_LEN;
  for (size_t i = 0; i < n; i++) {
    unsigned char c = (unsigned char)seg[i];
    if (byte_kept(c, i, n)) {
      out[at++] = char(c);
    } else {
      out[at++] = '%';
      out[at++] = hex[c >> 4];
      out[at++] = hex[c & 15];
    }
  }
  return at;
}

long segment_stored_form(const char *seg, size_t n, int last, char *out, size_t cap) {
  size_t at = 0;
  for (;;) {
    if (segment_is_plain(seg, n, last)) {
      if (at + n + 1 > cap) return -1;
      memcpy(out + at, seg, n);
      at += n;
      break;
    }
    if (coded_length(seg, n) <= CODED_MAX) {
      if (at + S3_STORED_NAME_MAX + 1 > cap) return -1;
      at += write_coded(S3_ENCODED_PREFIX, seg, n, out + at);
      break;
    }
    // Too long for one name: the longest leading piece whose encoding fits, cut between
    // characters (a name must stay UTF-8), goes into a chunk directory; the rest follows.
    // The piece's encoding is measured as a piece: its last "." is escaped too.
    // A character is at most four bytes: a longer run of continuation bytes (no UTF-8, never a
    // key's) is cut like any other, so every chunk stays as full as the reading side expects.
    size_t take = 0, len = 0;
    for (size_t i = 0; i < n;) {
      size_t ch = 1;
      while (i + ch < n && ch < 4 && ((unsigned char)seg[i + ch] & 0xC0) == 0x80) ch++;
      size_t grown = coded_length(seg, i + ch);
      if (grown > CODED_MAX) break;
      i += ch;
      take = i;
      len = grown;
    }
    (void)len;
    if (take == 0 || at + S3_STORED_NAME_MAX + 2 > cap) return -1;
    at += write_coded(S3_CHUNK_PREFIX, seg, take, out + at);
    out[at++] = '/';
    seg += take;
    n -= take;
  }
  out[at] = 0;
  return long(at);
}

static int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

stored_kind stored_name_decode(const char *name, int is_dir, char *out, size_t cap,
                               size_t *len) {
  *len = 0;
  size_t nl = strlen(name);
  if (nl < OWN_PREFIX_LEN || memcmp(name, OWN_PREFIX, OWN_PREFIX_LEN) != 0) {
    if (is_own_name(name, is_dir) || nl + 1 > cap) return STORED_OWN;
    memcpy(out, name, nl + 1);
    *len = nl;
    return STORED_PLAIN;
  }
  stored_kind kind;
  if (strncmp(name, S3_ENCODED_PREFIX, CODED_PREFIX_LEN) == 0)
    kind = STORED_ENCODED;
  else if (is_dir && strncmp(name, S3_CHUNK_PREFIX, CODED_PREFIX_LEN) == 0)
    kind = STORED_CHUNK;
  else
    return STORED_OWN;
  size_t at = 0;
  for (const char *p = name + CODED_PREFIX_LEN; *p;) {
    if (at + 1 >= cap) return STORED_OWN;
    if (*p == '%') {
      int hi = hex_digit(p[1]);
      int lo = hi < 0 ? -1 : hex_digit(p[2]);
      if (lo < 0 || (hi == 0 && lo == 0)) return STORED_OWN;  // no NUL in a key
      out[at++] = char(hi * 16 + lo);
      p += 3;
    } else {
      out[at++] = *p++;
    }
  }
  out[at] = 0;
  // Only the exact encoding of what it decodes to: one segment, one name.
  char again[S3_STORED_NAME_MAX + 1];
  size_t piece_len = coded_length(out, at);
  if (piece_len != nl - CODED_PREFIX_LEN || piece_len > CODED_MAX) return STORED_OWN;
  // A chunk is cut only where the next character would not fit, so it fills its name but for
  // a character or two: shorter ones were never made, and a chain of them stays short.
  if (kind == STORED_CHUNK && piece_len + 8 < CODED_MAX) return STORED_OWN;
  write_coded(kind == STORED_CHUNK ? S3_CHUNK_PREFIX : S3_ENCODED_PREFIX, out, at, again);
  if (memcmp(again, name, nl) != 0) return STORED_OWN;
  // A segment that is stored plain has no encoded name besides.
  if (kind == STORED_ENCODED && segment_is_plain(out, at, !is_dir)) return STORED_OWN;
  *len = at;
  return kind;
}

// ---------------------------------------------------------------- the server's own names

// Advances past a run of decimal digits (at least one); null when there is none.
static const char *skip_digits(const char *p) {
  const char *start = p;
  while (*p >= '0' && *p <= '9') p++;
  return p == start ? nullptr : p;
}

// Matches "<digits>-<digits>...-<digits>.tmp" with `groups` runs of digits, the first one
// optionally negative (a clock before 1970 gives a negative seconds field).
static int temp_tail_matches(const char *p, int groups, int first_signed) {
  if (first_signed && *p == '-') p++;
  for (int g = 0; g < groups; g++) {
    if (g && *p++ != '-') return 0;
    p = skip_digits(p);
    if (!p) return 0;
  }
  return strcmp(p, ".tmp") == 0;
}

int is_folder_marker(const char *name, int is_dir) {
  return !is_dir && strcmp(name, S3_FOLDER_MARKER) == 0;
}

int is_own_name(const char *name, int is_dir) {
  if (name[0] != '.') return 0;
  // Encoded segments and chunks are read back by stored_name_decode; any other name of that
  // prefix is the server's own.
  if (strncmp(name, OWN_PREFIX, OWN_PREFIX_LEN) == 0)
    return strncmp(name, S3_ENCODED_PREFIX, CODED_PREFIX_LEN) != 0 &&
           (!is_dir || strncmp(name, S3_CHUNK_PREFIX, CODED_PREFIX_LEN) != 0);
  // Only files are ever made under the temporary names; a directory so named is a user's key
  // segment.
  return !is_dir && is_temp_name(name);
}

int is_temp_name(const char *name) {
  // A name of the reserved prefix is never a temporary file's: objects, folder markers, kept
  // versions and encoded keys (".quillmar-k-.x.xdev-1-2.tmp" is the key ".x.xdev-1-2.tmp").
  if (name[0] != '.' || strncmp(name, OWN_PREFIX, OWN_PREFIX_LEN) == 0) return 0;
  if (strncmp(name, ".upload-", 8) == 0 && temp_tail_matches(name + 8, 3, 1)) return 1;
  if (strncmp(name, ".mpu-", 5) == 0 && temp_tail_matches(name + 5, 2, 0)) return 1;
  // The copy a move across file systems makes beside its destination, ".<name>.xdev-N-N.tmp".
  const char *x = strstr(name + 1, ".xdev-");
  if (x && x > name + 1 && temp_tail_matches(x + 6, 2, 0)) return 1;
  return 0;
}

// ---------------------------------------------------------------- upload ids

int valid_upload_id(const char *v) {
  if (!v || strlen(v) != 32) return 0;
  for (const char *p = v; *p; p++)
    if (!((*p >= '0' && *p <= '9') || (*p >= 'a' && *p <= 'f'))) return 0;
  return 1;
}

// ---------------------------------------------------------------- a request's names

// The verdict on r's bucket and key; the key is left as it is.
static name_verdict check_names(const S3Request *r, int split) {
  const char *key = r->key;
  if (split == -2 || !valid_bucket_name(r->bucket, strlen(r->bucket))) return NAME_BAD_BUCKET;
  if (split != 0) return NAME_BAD_PATH;
  // S3 keys are UTF-8; any other bytes make the URI unparsable for S3, for every method.
  if (!text_is_utf8(key, strlen(key))) return NAME_NOT_UTF8;
  // A bucket is a directory of the root on every platform: a name Windows cannot hold (a
  // device name such as "aux") is refused everywhere, so a store moves between platforms.
  // DELETE still reaches it. Keys have stored forms for every platform and are never refused.
  if (!ieq(r->method, "DELETE") && name_portability_problem(r->bucket)) return NAME_UNPORTABLE;
  return NAME_OK;
}

name_verdict names_check_request(S3Request *r, int split) {
  name_verdict v = check_names(r, split);
  if (v == NAME_BAD_PATH || v == NAME_NOT_UTF8) r->key[0] = 0;
  return v;
}
