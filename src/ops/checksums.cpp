// The checksums of uploads and objects as the operations answer them: the algorithm a request
// names, the header lines and XML elements of a stored checksum, the multipart upload's
// checksum from its parts, and GetObjectAttributes.
#include "ops/checksums.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "base/date.h"
#include "base/state.h"
#include "base/text.h"
#include "digest/hash.h"
#include "digest/running.h"
#include "ops/conditions.h"
#include "ops/ops.h"
#include "ops/versions_ops.h"
#include "store/object.h"

namespace {

// The lower-case name S3's messages use for an algorithm ("crc32c"), "null" for none.
void lower_name(int algo, char out[16]) {
  const char *n = algo == CK_NONE ? "null" : ck_name(algo);
  size_t i = 0;
  for (; n[i] && i < 15; i++) out[i] = ascii_lower(n[i]);
  out[i] = 0;
}

// A header naming an algorithm by its name ("CRC32"): 0 with *algo (CK_NONE when absent), -1
// after the 400 answer.
int named_algo_header(plat_sock s, S3Request *r, const char *header, int *algo) {
  owned_str v(hdr_value(r->head, r->head_len, header));
  *algo = CK_NONE;
  if (!v.get()) return 0;
  const char *t = v.get();
  size_t n = strlen(t);
  while (n && (t[n - 1] == ' ' || t[n - 1] == '\t')) n--;
  while (n && (*t == ' ' || *t == '\t')) {
    t++;
    n--;
  }
  *algo = ck_from_algo_name(t, n);
  if (*algo != CK_NONE) return 0;
  char message[96];
  snprintf(message, sizeof message, "Value for %s header is invalid.", header);
  answer_error(s, r, 400, "InvalidRequest", message);
  return -1;
}

}  // namespace

int request_checksum_algo(plat_sock s, S3Request *r, int *algo) {
  *algo = CK_NONE;
  for (int a = CK_CRC32; a < CK_COUNT; a++) {
    if (r->fields.ck_present & (1u << a)) {
      *algo = a;
      return 0;
    }
  }
  owned_str trailer(hdr_value(r->head, r->head_len, "x-amz-trailer"));
  for (const char *p = trailer.get(); p && *p;) {
    while (*p == ' ' || *p == '\t' || *p == ',') p++;
    const char *e = p;
    while (*e && *e != ',' && *e != ' ' && *e != '\t') e++;
    int a = e > p ? ck_from_name(p, (size_t)(e - p)) : CK_NONE;
    if (a != CK_NONE) {
      *algo = a;
      return 0;
    }
    p = e;
  }
  if (named_algo_header(s, r, "x-amz-sdk-checksum-algorithm", algo) != 0) return -1;
  if (*algo != CK_NONE) return 0;
  return named_algo_header(s, r, "x-amz-checksum-algorithm", algo);
}

int stored_checksum_algo(int named) { return named != CK_NONE ? named : CK_CRC64NVME; }

void checksum_header_lines(int algo, int type, const char *value, char *out, size_t cap) {
  if (cap) out[0] = 0;
  const ck_info *info = ck_info_of(algo);
  if (!info || !value || !value[0]) return;
  int n = type != CK_TYPE_NONE
              ? snprintf(out, cap, "%s: %s\r\nx-amz-checksum-type: %s\r\n", info->header, value,
                         ck_type_name(type))
              : snprintf(out, cap, "%s: %s\r\n", info->header, value);
  if (n < 0 || (size_t)n >= cap) out[0] = 0;
}

void checksum_elements(dynbuf *d, const char *indent, int algo, int type, const char *value) {
  if (algo == CK_NONE || !value || !value[0]) return;
  dynbuf_printf(d, "%s<%s>%s</%s>\n", indent, ck_element(algo), value, ck_element(algo));
  if (type != CK_TYPE_NONE)
    dynbuf_printf(d, "%s<ChecksumType>%s</ChecksumType>\n", indent, ck_type_name(type));
}

int checksum_mode_enabled(const S3Request *r) {
  owned_str v(hdr_value(r->head, r->head_len, "x-amz-checksum-mode"));
  return v.get() && ieq(v.get(), "ENABLED");
}

int read_upload_checksum(plat_sock s, S3Request *r, int *algo, int *type) {
  *type = CK_TYPE_NONE;
  if (named_algo_header(s, r, "x-amz-checksum-algorithm", algo) != 0) return -1;
  owned_str t(hdr_value(r->head, r->head_len, "x-amz-checksum-type"));
  if (t.get()) {
    *type = ck_type_from_name(t.get(), strlen(t.get()));
    if (*type == CK_TYPE_NONE) {
      answer_error(s, r, 400, "InvalidRequest", "Value for x-amz-checksum-type header is invalid.");
      return -1;
    }
    if (*algo == CK_NONE) {
      answer_error(s, r, 400, "InvalidRequest",
                   "The x-amz-checksum-type header can only be used with the "
                   "x-amz-checksum-algorithm header.");
      return -1;
    }
  }
  if (*algo == CK_NONE) return 0;
  if (*type == CK_TYPE_NONE) *type = *algo == CK_CRC64NVME ? CK_TYPE_FULL_OBJECT : CK_TYPE_COMPOSITE;
  // Only CRCs combine into a full-object value, and CRC64NVME has no composite form.
  const int refused = (*type == CK_TYPE_FULL_OBJECT && !ck_is_crc(*algo)) ||
                      (*type == CK_TYPE_COMPOSITE && *algo == CK_CRC64NVME);
  if (!refused) return 0;
  char name[16];
  lower_name(*algo, name);
  char message[128];
  snprintf(message, sizeof message, "The %s checksum type cannot be used with the %s checksum algorithm.",
           ck_type_name(*type), name);
  answer_error(s, r, 400, "InvalidRequest", message);
  return -1;
}

int multipart_checksum(int algo, int type, const ck_value *parts, const uint64_t *sizes, size_t n,
                       record_checksum *out) {
  out->algo = CK_NONE;
  out->type = CK_TYPE_NONE;
  out->value[0] = 0;
  const ck_info *info = ck_info_of(algo);
  if (!info || n == 0) return -1;
  body_digests d;
  memset(&d, 0, sizeof d);
  ck_want(&d, algo);
  body_hashing h;
  hashing_init(&h, &d);
  uint64_t crc = 0;
  for (size_t i = 0; i < n; i++) {
    if (parts[i].algo != algo) return -1;
    unsigned char raw[33];
    if (base64_decode_n(parts[i].b64, raw, sizeof raw) != info->size) return -1;
    if (type == CK_TYPE_FULL_OBJECT) {
      uint64_t part = ck_crc_from_bytes(raw, info->size);
      crc = i == 0 ? part : ck_crc_combine(algo, crc, part, sizes[i]);
    } else {
      hashing_rest(&h, raw, info->size);
    }
  }
  if (type == CK_TYPE_FULL_OBJECT) {
    if (!ck_is_crc(algo)) return -1;
    ck_crc_b64(algo, crc, out->value);
  } else {
    char etag[33];
    hashing_final(&h, etag);
    char b64[CK_B64_CAP];
    ck_digest_b64(&d, algo, b64);
    char count[16];
    snprintf(count, sizeof count, "-%u", (unsigned)(n % 100000));
    if (copy_text(out->value, sizeof out->value, b64) != 1 ||
        strlen(out->value) + strlen(count) >= sizeof out->value)
      return -1;
    memcpy(out->value + strlen(out->value), count, strlen(count) + 1);
  }
  out->algo = algo;
  out->type = type;
  return 0;
}

namespace {

// A checksum value as sent or recorded, "BASE64" or "BASE64-N", split: the decoded digest into
// raw (its length returned; 0 when it does not decode) and N into *count (0 when absent).
size_t split_value(const char *v, unsigned char raw[33], uint64_t *count) {
  *count = 0;
  const char *dash = strchr(v, '-');
  char b64[CK_TEXT_CAP];
  size_t blen = dash ? (size_t)(dash - v) : strlen(v);
  if (copy_text_n(b64, sizeof b64, v, blen) != 1) return 0;
  if (dash && parse_decimal(dash + 1, strlen(dash + 1), S3_PARTS_MAX, 0, count) != 0) return 0;
  return base64_decode_n(b64, raw, 33);
}

}  // namespace

int check_complete_checksum(plat_sock s, S3Request *r, const record_checksum *computed) {
  owned_str type(hdr_value(r->head, r->head_len, "x-amz-checksum-type"));
  if (type.get() && ck_type_from_name(type.get(), strlen(type.get())) != computed->type) {
    char message[160];
    snprintf(message, sizeof message,
             "The upload was created using the %s checksum mode. The complete request must use "
             "the same checksum mode.",
             computed->type != CK_TYPE_NONE ? ck_type_name(computed->type) : "null");
    answer_error(s, r, 400, "InvalidRequest", message);
    return -1;
  }
  for (int a = CK_CRC32; a < CK_COUNT; a++) {
    const ck_info *info = ck_info_of(a);
    owned_str sent(hdr_value(r->head, r->head_len, info->header));
    if (!sent.get()) continue;
    if (a != computed->algo) {
      char want[16], got[16], message[128];
      lower_name(computed->algo, want);
      lower_name(a, got);
      snprintf(message, sizeof message,
               "Checksum Type mismatch occurred, expected checksum Type: %s, actual checksum Type: %s",
               want, got);
      answer_error(s, r, 400, "InvalidRequest", message);
      return -1;
    }
    unsigned char got_raw[33], want_raw[33];
    uint64_t got_n = 0, want_n = 0;
    size_t gl = split_value(sent.get(), got_raw, &got_n);
    size_t wl = split_value(computed->value, want_raw, &want_n);
    if (gl != info->size) {
      answer_error(s, r, 400, "InvalidRequest", info->header_invalid);
      return -1;
    }
    // A composite may be sent with or without its part count; a count sent must be the one.
    if (wl != gl || !const_time_eq(got_raw, gl, want_raw, wl) || (got_n && got_n != want_n)) {
      answer_error(s, r, 400, "BadDigest", info->bad_message);
      return -1;
    }
  }
  return 0;
}

// ---------------------------------------------------------------- GetObjectAttributes

int parse_object_attributes(const char *value, unsigned *bits) {
  static const struct {
    const char *name;
    unsigned bit;
  } k_names[] = {{"ETag", ATTR_ETAG},
                 {"Checksum", ATTR_CHECKSUM},
                 {"ObjectParts", ATTR_OBJECT_PARTS},
                 {"StorageClass", ATTR_STORAGE_CLASS},
                 {"ObjectSize", ATTR_OBJECT_SIZE}};
  *bits = 0;
  if (!value) return -1;
  for (const char *p = value; *p;) {
    while (*p == ' ' || *p == '\t' || *p == ',') p++;
    if (!*p) break;
    const char *e = p;
    while (*e && *e != ',') e++;
    const char *t = e;
    while (t > p && (t[-1] == ' ' || t[-1] == '\t')) t--;
    size_t n = (size_t)(t - p);
    unsigned bit = 0;
    for (const auto &k : k_names)
      if (strlen(k.name) == n && memcmp(k.name, p, n) == 0) bit = k.bit;
    if (!bit) return -1;
    *bits |= bit;
    p = e;
  }
  return *bits ? 0 : -1;
}

namespace {

constexpr uint64_t ATTR_PARTS_MAX = 1000;  // parts one answer lists at most

// A paging header: its value (def when absent), 0; -1 after the 400 answer.
int paging_header(plat_sock s, S3Request *r, const char *header, const char *argument,
                  uint64_t def, uint64_t *out) {
  *out = def;
  owned_str v(hdr_value(r->head, r->head_len, header));
  if (!v.get()) return 0;
  if (parse_decimal(v.get(), strlen(v.get()), 2147483647ULL, DEC_BLANKS, out) == 0) return 0;
  char message[128];
  snprintf(message, sizeof message, "Argument %s must be an integer between 0 and 2147483647",
           argument);
  answer_error(s, r, 400, "InvalidArgument", message);
  return -1;
}

// The ObjectParts element of an object made from parts: the page after marker.
void object_parts_element(dynbuf *d, const object_view *v, uint64_t marker, uint64_t max,
                          const uint64_t *sizes, const char (*values)[CK_B64_CAP]) {
  const uint64_t count = v->parts.count;
  dynbuf_printf(d, "  <ObjectParts>\n");
  uint64_t last = marker;
  const uint64_t end = marker + max < count ? marker + max : count;
  const int truncated = end < count;
  dynbuf_printf(d, "    <IsTruncated>%s</IsTruncated>\n    <MaxParts>%llu</MaxParts>\n",
                truncated ? "true" : "false", (unsigned long long)max);
  for (uint64_t n = marker + 1; n <= end; n++) last = n;
  dynbuf_printf(d, "    <NextPartNumberMarker>%llu</NextPartNumberMarker>\n",
                (unsigned long long)last);
  dynbuf_printf(d, "    <PartNumberMarker>%llu</PartNumberMarker>\n", (unsigned long long)marker);
  for (uint64_t n = marker + 1; n <= end; n++) {
    const uint64_t i = n - marker - 1;
    dynbuf_printf(d, "    <Part>\n");
    if (v->sums.part_algo != CK_NONE && values[i][0])
      checksum_elements(d, "      ", v->sums.part_algo, CK_TYPE_NONE, values[i]);
    dynbuf_printf(d, "      <PartNumber>%llu</PartNumber>\n      <Size>%llu</Size>\n    </Part>\n",
                  (unsigned long long)n, (unsigned long long)sizes[i]);
  }
  dynbuf_printf(d, "    <PartsCount>%llu</PartsCount>\n  </ObjectParts>\n",
                (unsigned long long)count);
}

}  // namespace

void op_get_object_attributes(plat_sock s, S3Request *r) {
  owned_str names(hdr_value(r->head, r->head_len, "x-amz-object-attributes"));
  unsigned bits = 0;
  if (!names.get() || !names.get()[0]) {
    answer_error(s, r, 400, "InvalidRequest",
                 "The x-amz-object-attributes header specifying the attributes to be retrieved "
                 "is either missing or empty");
    return;
  }
  if (parse_object_attributes(names.get(), &bits) != 0) {
    answer_error(s, r, 400, "InvalidArgument", "Invalid attribute name specified.");
    return;
  }
  uint64_t max = 0, marker = 0;
  if (paging_header(s, r, "x-amz-max-parts", "max-parts", ATTR_PARTS_MAX, &max) != 0 ||
      paging_header(s, r, "x-amz-part-number-marker", "part-number-marker", 0, &marker) != 0)
    return;
  if (max > ATTR_PARTS_MAX) max = ATTR_PARTS_MAX;
  if (marker > S3_PARTS_MAX) marker = S3_PARTS_MAX;
  // The page's sizes and checksums are taken with the rest of the record, of one version.
  uint64_t *sizes = static_cast<uint64_t *>(calloc(max ? max : 1, sizeof(uint64_t)));
  char(*values)[CK_B64_CAP] =
      static_cast<char(*)[CK_B64_CAP]>(calloc(max ? max : 1, CK_B64_CAP));
  if (!sizes || !values) {
    free(sizes);
    free(values);
    answer_error(s, r, 500, "InternalError", "We encountered an internal error. Please try again.");
    return;
  }
  record_sums page;
  record_sums_clear(&page, 0);
  page.after = (uint32_t)marker;
  page.cap = (uint32_t)max;
  page.sizes = sizes;
  page.values = values;
  char vid[S3_VID_CAP];
  if (request_version_id(s, r, vid) != 0) {
    free(sizes);
    free(values);
    return;
  }
  object_view_guard view;
  int taken = object_snapshot_version(r->bucket, r->key, vid, &view.v, 0, &page);
  if (taken != 0) {
    free(sizes);
    free(values);
    if (taken == STORE_BUSY) {
      answer_store_busy(s, r, 0);
    } else if (taken == VERSION_IS_MARKER) {
      answer_version_lines(r, view.v.version_id, 1);
      answer_error(s, r, 405, "MethodNotAllowed",
                   "The specified method is not allowed against this resource.");
    } else if (vid[0]) {
      answer_error(s, r, 404, "NoSuchVersion", "The specified version does not exist.");
    } else {
      answer_error(s, r, 404, "NoSuchKey", "The specified key does not exist.");
    }
    return;
  }
  answer_version_lines(r, view.v.version_id, 0);
  char etag[S3_ETAG_CAP];
  view_etag(&view.v, etag);
  dynbuf_guard doc;
  dynbuf_printf(&doc.b,
                "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                "<GetObjectAttributesResponse xmlns=\"" S3_XMLNS "\">\n");
  if (bits & ATTR_ETAG) dynbuf_printf(&doc.b, "  <ETag>%s</ETag>\n", etag);
  const record_checksum *sum = &view.v.sums.whole;
  if ((bits & ATTR_CHECKSUM) && sum->algo != CK_NONE) {
    dynbuf_printf(&doc.b, "  <Checksum>\n");
    checksum_elements(&doc.b, "    ", sum->algo, sum->type, sum->value);
    dynbuf_printf(&doc.b, "  </Checksum>\n");
  }
  if ((bits & ATTR_OBJECT_PARTS) && view.v.parts.count)
    object_parts_element(&doc.b, &view.v, marker, max, sizes, values);
  if (bits & ATTR_STORAGE_CLASS) dynbuf_printf(&doc.b, "  <StorageClass>STANDARD</StorageClass>\n");
  if (bits & ATTR_OBJECT_SIZE)
    dynbuf_printf(&doc.b, "  <ObjectSize>%llu</ObjectSize>\n", (unsigned long long)view.v.size);
  dynbuf_printf(&doc.b, "</GetObjectAttributesResponse>\n");
  free(sizes);
  free(values);
  if (doc.b.failed) {
    answer_error(s, r, 500, "InternalError", "We encountered an internal error. Please try again.");
    return;
  }
  char last_modified[64];
  format_rfc1123(view.v.mtime, last_modified);
  char extra[96];
  snprintf(extra, sizeof extra, "Last-Modified: %s\r\n", last_modified);
  count_request(doc.b.len, 0);
  http_send_obj_headers(s, &r->answer, 200, "application/xml", doc.b.len, extra);
  http_write_all(s, &r->answer, doc.b.data, doc.b.len);
}
