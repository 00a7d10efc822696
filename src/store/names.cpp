// Every rule on names in one place: the bucket-name rule, the key rules of request paths and
// copy sources, the portability rule, the server's own file names, the uploadId form, and the
// one check of a request's bucket and key.
#include "store/names.h"

#include <cstring>

#include "base/text.h"

static constexpr size_t NAME_BUF = 256;  // one segment, cut at 255 characters

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

int has_dotdot_segment(const char *key) {
  for (const char *p = key; (p = strstr(p, "..")) != nullptr; p++) {
    int starts = (p == key || p[-1] == '/');
    int ends = (p[2] == 0 || p[2] == '/');
    if (starts && ends) return 1;
  }
  return 0;
}

int key_stays_inside(const char *key) {
  // An encoded "/" can make a "." or ".." segment that the raw segments did not show: such a
  // key would alias another key (x/./y is x/y) or name the directory itself.
  for (const char *seg = key;;) {
    const char *end = strchr(seg, '/');
    size_t n = end ? size_t(end - seg) : strlen(seg);
    if ((n == 1 && seg[0] == '.') || (n == 2 && seg[0] == '.' && seg[1] == '.')) return 0;
    if (!end) break;
    seg = end + 1;
  }
  // A file under the server's own temporary name would be stored but never listed, and a
  // sweep or a concurrent upload could take it for its own.
  return key_is_own_name(key) ? 0 : 1;
}

int valid_decoded_key(const char *key) {
  const char *seg = key;
  for (;;) {
    const char *end = strchr(seg, '/');
    size_t n = end ? (size_t)(end - seg) : strlen(seg);
    if (n > S3_SEGMENT_MAX) return 0;
    if ((n == 1 && seg[0] == '.') || (n == 2 && seg[0] == '.' && seg[1] == '.')) return 0;
    if (!end) return 1;
    seg = end + 1;
  }
}

// 1 when some "/"-separated segment of key is one of the server's own file names: such a key
// would alias a folder marker or a temporary file, so it names no object.
static int key_has_own_segment(const char *key) {
  char seg[NAME_BUF];
  for (const char *p = key; *p;) {
    size_t n = strcspn(p, "/");
    if (n > 0 && n < sizeof seg) {
      memcpy(seg, p, n);
      seg[n] = 0;
      if (is_own_name(seg, 0)) return 1;
    }
    p += n;
    if (*p == '/') p++;
  }
  return 0;
}

int key_is_storable(const char *key) {
  if (!key || !key[0]) return 0;
  if (key[strspn(key, "/")] == 0) return 0;  // only "/": the bucket directory itself
  return !key_has_own_segment(key);
}

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

const char *name_portability_problem(const char *name) {
  for (const char *seg = name;;) {
    size_t n = strcspn(seg, "/");
    for (size_t i = 0; i < n; i++) {
      unsigned char c = (unsigned char)seg[i];
      if (c == '\\') return "it contains \"\\\"";
      if (c == ':') return "it contains \":\"";
      if (c < 0x20) return "it contains a control character";
      if (strchr("<>\"|?*", c)) return "it contains one of <>\"|?*";
    }
    if (n > 0 && (seg[n - 1] == '.' || seg[n - 1] == ' '))
      return "a segment ends in \".\" or \" \"";
    if (is_device_segment(seg, n)) return "a segment is a reserved device name";
    if (!seg[n]) return nullptr;
    seg += n + 1;
  }
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
  // Only files are ever made under these names; a directory so named is a user's key segment.
  if (is_dir || name[0] != '.') return 0;
  if (is_folder_marker(name, is_dir)) return 1;
  if (strncmp(name, ".upload-", 8) == 0 && temp_tail_matches(name + 8, 3, 1)) return 1;
  if (strncmp(name, ".mpu-", 5) == 0 && temp_tail_matches(name + 5, 2, 0)) return 1;
  // The copy a move across file systems makes beside its destination, ".<name>.xdev-N-N.tmp".
  const char *x = strstr(name + 1, ".xdev-");
  if (x && x > name + 1 && temp_tail_matches(x + 6, 2, 0)) return 1;
  return 0;
}

int key_is_own_name(const char *key) {
  const char *slash = strrchr(key, '/');
  return is_own_name(slash ? slash + 1 : key, 0);
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
  if (!key_stays_inside(key)) return NAME_BAD_PATH;
  // Names Windows cannot hold are refused everywhere, so a store moves between platforms.
  // DELETE still reaches them: removing a name that was never stored does no harm.
  if (!ieq(r->method, "DELETE") &&
      (name_portability_problem(r->bucket) || name_portability_problem(key)))
    return NAME_UNPORTABLE;
  if (key[0] && !key_is_storable(key)) return NAME_BAD_PATH;
  return NAME_OK;
}

name_verdict names_check_request(S3Request *r, int split) {
  name_verdict v = check_names(r, split);
  if (v == NAME_BAD_PATH || v == NAME_NOT_UTF8) r->key[0] = 0;
  return v;
}
