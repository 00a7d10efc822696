// Fuzz target: the stored forms of key segments. Any bytes read back as a directory entry's
// name decode to a segment whose stored form is that very name, and any segment's stored form
// is made of names that are short, never "." or "..", and decode back to the segment.
#include "fuzz_common.h"
#include "store/names.h"

static void check_form(const char *seg, size_t n, int last) {
  static char form[S3_FS_PATH];
  long fl = segment_stored_form(seg, n, last, form, sizeof form);
  if (fl < 0) return;
  FUZZ_CHECK(size_t(fl) == strlen(form));
  // Read back name by name, as a walk does: chunk pieces, then the last name.
  static char back[S3_KEY_FIELD + 1];
  size_t at = 0;
  for (const char *p = form;;) {
    size_t nl = strcspn(p, "/");
    FUZZ_CHECK(nl > 0 && nl <= S3_STORED_NAME_MAX);
    FUZZ_CHECK(!(nl == 1 && p[0] == '.') && !(nl == 2 && p[0] == '.' && p[1] == '.'));
    char name[S3_STORED_NAME_MAX + 1];
    memcpy(name, p, nl);
    name[nl] = 0;
    const int more = p[nl] == '/';
    size_t piece = 0;
    stored_kind k = stored_name_decode(name, more || !last, back + at, sizeof back - at, &piece);
    FUZZ_CHECK(more ? k == STORED_CHUNK : (k == STORED_PLAIN || k == STORED_ENCODED));
    at += piece;
    if (!more) break;
    p += nl + 1;
  }
  FUZZ_CHECK(at == n && memcmp(back, seg, n) == 0);
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  fz::setup_once();
  if (size > S3_KEY_MAX) return 0;
  const char *seg = reinterpret_cast<const char *>(data);
  // One segment: no separator, and no NUL (no key holds one).
  if (memchr(seg, '/', size) || memchr(seg, 0, size)) return 0;
  check_form(seg, size, 1);
  check_form(seg, size, 0);
  if (size <= S3_STORED_NAME_MAX) {
    char name[S3_STORED_NAME_MAX + 1];
    memcpy(name, seg, size);
    name[size] = 0;
    char out[S3_KEY_FIELD];
    size_t len = 0;
    for (int is_dir = 0; is_dir < 2; is_dir++) {
      stored_kind k = stored_name_decode(name, is_dir, out, sizeof out, &len);
      if (k == STORED_PLAIN || k == STORED_ENCODED) {
        char form[S3_FS_PATH];
        long fl = segment_stored_form(out, len, !is_dir, form, sizeof form);
        // A plain name that is no segment's stored form (".." or a name of the server's own)
        // is taken for one by the walk only after this same comparison.
        if (k == STORED_ENCODED) FUZZ_CHECK(fl == long(size) && memcmp(form, name, size) == 0);
      }
    }
  }
  return 0;
}
