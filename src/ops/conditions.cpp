// Conditional requests: the rules by which the entity-tag and date conditions of a read or a
// copy combine into one verdict.
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
