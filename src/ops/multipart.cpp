// The multipart operations that create, fill and end uploads: Initiate, UploadPart,
// UploadPartCopy, Complete and Abort. Uploads live in the .mpu tree (store/mpu.h); parts and
// the joined object are written and committed through the store's object writer.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "digest/hash.h"
#include "digest/running.h"
#include "base/limits.h"
#include "base/state.h"
#include "base/text.h"
#include "body/body.h"
#include "http/request.h"
#include "http/response.h"
#include "ops/checksums.h"
#include "ops/conditions.h"
#include "body/xml_body.h"
#include "ops/ops.h"
#include "ops/versions_ops.h"
#include "platform/platform.h"
#include "store/content_type.h"
#include "store/files.h"
#include "store/layout.h"
#include "store/mpu.h"
#include "store/names.h"
#include "store/object.h"
#include "store/versions.h"
#include "store/writer.h"

namespace {


const char NO_SUCH_UPLOAD[] = "The specified multipart upload does not exist";
const char XML_DECL[] = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";

// The partNumber query value: 1 to 10000, or 0 when it is absent or anything else.
unsigned long query_part_number(const S3Request *r) {
  owned_str v(qparam(r->query, "partNumber"));
  uint64_t n = 0;
  if (!v.get() || parse_decimal(v.get(), strlen(v.get()), UINT64_MAX, 0, &n) != 0) return 0;
  return (n >= 1 && n <= S3_MPU_MAX_PART) ? (unsigned long)n : 0;
}

// Content-Length of the request: its value, 0 when absent, UINT64_MAX when it overflows.
uint64_t request_content_length(const S3Request *r) {
  uint64_t n = 0;
  int overflow = 0;
  request_length(r, &n, &overflow);
  return overflow ? UINT64_MAX : n;
}

// Reads and drops the body announced by Content-Length (an overflowing length is not read).
void discard_announced_body(plat_sock s, const S3Request *r) {
  uint64_t n = request_content_length(r);
  if (n && n != UINT64_MAX) discard_body(s, r, n);
}

int upload_exists(const char *udir) {
  char meta[S3_MPU_FILE_PATH];
  plat_stat_t st;
  return mpu_file_path(udir, "meta", meta) == 0 && plat_stat(meta, &st) == 0;
}

// The checks UploadPart and UploadPartCopy share: part number and upload existence. 0 with
// the part's writer begun, or -1 after the error answer.
int check_part_request(plat_sock s, S3Request *r, const char *upload_id, object_writer *w) {
  unsigned long part = query_part_number(r);
  if (!part) {
    answer_error(s, r, 400, "InvalidArgument", "Invalid part number");
    return -1;
  }
  if (writer_begin_part(w, r->bucket, upload_id, part) == 1) {
    answer_error(s, r, 404, "NoSuchUpload", NO_SUCH_UPLOAD);
    return -1;
  }
  return 0;
}

// Stores a received part through its writer. 0 stored; -1 after the error answer (the upload
// vanished meanwhile, or the files could not be moved).
int answer_part_commit(plat_sock s, S3Request *r, uint64_t len, object_writer *w,
                       const char *etag, const char *sum_line) {
  int rc = writer_commit_part(w, etag, sum_line);
  if (rc == 0) return 0;
  if (rc == -1)
    answer_upload_error(s, r, len, 404, "NoSuchUpload", NO_SUCH_UPLOAD);
  else
    answer_upload_error(s, r, len, 500, "InternalError", "Failed to store part");
  return -1;
}

// The checksum a part is stored with: the upload's algorithm, which a part naming another one
// may not change; for an upload created without one, the part's own, else CRC64NVME. 0 with
// *algo, -1 after the 400 answer.
int part_checksum_algo(plat_sock s, S3Request *r, const char *udir, int *algo) {
  int upload_algo = CK_NONE, upload_type = CK_TYPE_NONE;
  mpu_checksum_read(udir, &upload_algo, &upload_type);
  int named = CK_NONE;
  if (request_checksum_algo(s, r, &named) != 0) return -1;
  if (upload_algo != CK_NONE && named != CK_NONE && named != upload_algo) {
    char message[128];
    char want[16], got[16];
    size_t i = 0;
    for (const char *p = ck_name(upload_algo); *p && i < 15; p++) want[i++] = ascii_lower(*p);
    want[i] = 0;
    i = 0;
    for (const char *p = ck_name(named); *p && i < 15; p++) got[i++] = ascii_lower(*p);
    got[i] = 0;
    snprintf(message, sizeof message,
             "Checksum Type mismatch occurred, expected checksum Type: %s, actual checksum Type: %s",
             want, got);
    answer_error(s, r, 400, "InvalidRequest", message);
    return -1;
  }
  *algo = upload_algo != CK_NONE ? upload_algo : stored_checksum_algo(named);
  return 0;
}

// x-amz-copy-source-range "bytes=first-last" (inclusive). 1 parsed, 0 malformed.
int parse_copy_range(const char *v, uint64_t *first, uint64_t *last) {
  if (strncmp(v, "bytes=", 6) != 0) return 0;
  const char *p = v + 6;
  const char *dash = strchr(p, '-');
  if (!dash) return 0;
  if (parse_decimal(p, (size_t)(dash - p), UINT64_MAX, DEC_SATURATE, first) != 0) return 0;
  if (parse_decimal(dash + 1, strlen(dash + 1), UINT64_MAX, DEC_SATURATE, last) != 0) return 0;
  return *first <= *last;
}

// The x-amz-copy-source-if-* conditions of an UploadPartCopy against its source: 1 when they
// do not hold (a source gone in the meantime fails them too), 0 when they hold or are absent.
int copy_source_conditions_fail(const S3Request *r, const char *bucket, const char *key) {
  if (!has_conditions(r->head, r->head_len, &COPY_CONDITIONS)) return 0;
  object_view_guard view;
  if (object_snapshot(bucket, key, &view.v) != 0) return 1;
  char etag[S3_ETAG_CAP];
  view_etag(&view.v, etag);
  return evaluate_conditions(r->head, r->head_len, &COPY_CONDITIONS, etag, view.v.mtime) != COND_PASS;
}

// The data file of version vid of bucket/key into path (which holds the current one's): that
// path when vid is the current version's, the kept version's otherwise. 0, -1 no such version
// (or a delete marker).
int kept_source_path(const char *bucket, const char *key, const char *vid, char path[S3_FS_PATH]) {
  object_view_guard view;
  int rc = object_snapshot_version(bucket, key, vid, &view.v);
  if (rc != 0) return -1;
  char cur[S3_VID_CAP];
  object_current_id(bucket, key, path, cur);
  if (strcmp(cur, vid) == 0) return 0;
  char dir[S3_FS_PATH], base[S3_VBASE_CAP];
  int marker = 0;
  if (versions_dir(bucket, key, dir) != 0 || versions_find(dir, vid, base, &marker) != 1 ||
      marker)
    return -1;
  return version_file(dir, base, "", path);
}

// ---------------------------------------------------------------- Complete, step by step

// What parse_completion_list found wrong with a Part element.
constexpr long PARTS_TOO_MANY = -1;    // more than S3_PARTS_MAX
constexpr long PARTS_MALFORMED = -2;   // a PartNumber missing or not a number
constexpr long PARTS_OUT_OF_RANGE = -3;  // a PartNumber outside 1..10000

// The first Checksum* element of one Part, trimmed, into e (CK_NONE when there is none).
void part_checksum_element(const char *part, size_t len, completion_entry *e) {
  e->ck_algo = CK_NONE;
  e->ck_value[0] = 0;
  for (int a = CK_CRC32; a < CK_COUNT; a++) {
    owned_str v(xml_get_tag(part, len, ck_element(a)));
    if (!v.get()) continue;
    const char *t = v.get();
    size_t n = strlen(t);
    while (n && (*t == ' ' || *t == '\t' || *t == '\n' || *t == '\r')) {
      t++;
      n--;
    }
    while (n && (t[n - 1] == ' ' || t[n - 1] == '\t' || t[n - 1] == '\n' || t[n - 1] == '\r')) n--;
    e->ck_algo = a;
    copy_text_n(e->ck_value, sizeof e->ck_value, t, n);
    return;
  }
}

}  // namespace

// Parses the Part elements of a Complete body into list. The count, or one of the PARTS_
// values: a part the client listed is never left out, or the object would silently lack it.
long parse_completion_list(const char *body, size_t len, completion_entry *list) {
  size_t count = 0;
  size_t pos = 0;
  while (pos < len) {
    const char *open = find_bytes(body + pos, len - pos, "<Part>");
    if (!open) break;
    size_t after = (size_t)(open - body) + 6;
    const char *close = find_bytes(body + after, len - after, "</Part>");
    if (!close) break;
    if (count == S3_PARTS_MAX) return PARTS_TOO_MANY;
    size_t seg_len = (size_t)(close - open);
    owned_str num(xml_get_tag(open, seg_len, "PartNumber"));
    uint64_t n = 0;
    // Blanks around the number are tolerated; anything else makes the element invalid.
    if (!num.get() ||
        parse_decimal(num.get(), strlen(num.get()), UINT64_MAX, DEC_BLANKS | DEC_SATURATE, &n) != 0)
      return PARTS_MALFORMED;
    if (n < 1 || n > S3_MPU_MAX_PART) return PARTS_OUT_OF_RANGE;
    owned_str etag(xml_get_tag(open, seg_len, "ETag"));
    list[count].part = (uint32_t)n;
    copy_text(list[count].etag, sizeof(list[count].etag), etag.get() ? etag.get() : "");
    part_checksum_element(open, seg_len, &list[count]);
    count++;
    pos = (size_t)(close - body) + 6;
  }
  return (long)count;
}

namespace {

// Containment: the bare digits, "digits" and &quot;digits&quot; all match; no ETag given
// matches any.
int etag_given_matches(const char *given, const char *stored) {
  return !given[0] || strstr(given, stored) != nullptr;
}

// What joining the parts can end in besides success.
enum concat_result {
  CONCAT_OK = 0,
  CONCAT_PART_MISSING = 1,   // "Part file missing"
  CONCAT_WRITE_FAIL = 2,     // "Concat write fail"
  CONCAT_ETAG_CHANGED = 3,   // a retry replaced the part after the check: its ETag differs now
  CONCAT_NO_RECORD = 4       // the part's record went away after the check
};

// What S3 asks of a completion list: at least one part, and part numbers strictly ascending
// (a repeated part would otherwise be joined into the object twice). 0 when the list is
// acceptable; otherwise the code and message of the 400 answer.
int check_part_list(const completion_entry *list, size_t n, const char **code,
                    const char **message) {
  if (n == 0) {
    *code = "MalformedXML";
    *message = MALFORMED_XML;
    return -1;
  }
  for (size_t i = 1; i < n; i++) {
    if (list[i].part <= list[i - 1].part) {
      *code = "InvalidPartOrder";
      *message = "The list of parts was not in ascending order. Parts must be ordered by part "
                 "number.";
      return -1;
    }
  }
  return 0;
}

// Joins the listed parts through the writer, computing the final ETag. Each part is opened
// together with its record (mpu_part_open), so the bytes joined are those of the ETag fed into
// the final one and checked against the client's, also while a retry of that part arrives.
int concat_parts(const char *udir, const completion_entry *list, size_t n, object_writer *w,
                 uint64_t *total, uint64_t *sizes, char final_etag[48], ck_value *sums) {
  md5_ctx etag_md5;
  md5_init(&etag_md5);
  int rc = CONCAT_OK;
  *total = 0;
  for (size_t i = 0; i < n && rc == CONCAT_OK; i++) {
    plat_file *in = nullptr;
    char stored[80];
    mpu_part_sum sum;
    int opened = mpu_part_open(udir, list[i].part, &in, stored, &sum);
    sums[i].algo = sum.algo;
    copy_text(sums[i].b64, sizeof sums[i].b64, sum.value);
    if (opened != 0) {
      rc = opened == -2 ? CONCAT_PART_MISSING : CONCAT_NO_RECORD;
      break;
    }
    plat_file_guard in_guard(in);
    if (!etag_given_matches(list[i].etag, stored)) {
      rc = CONCAT_ETAG_CHANGED;
      break;
    }
    // A part that cannot be read to its end must not become a silently shortened object.
    sizes[i] = 0;
    if (writer_copy_from(w, in, nullptr, &sizes[i]) != 0) rc = CONCAT_WRITE_FAIL;
    *total += sizes[i];
    mpu_etag_feed(&etag_md5, stored);
  }
  if (writer_finish(w) != 0 && rc == CONCAT_OK) rc = CONCAT_WRITE_FAIL;
  if (rc == CONCAT_OK) mpu_etag_finish(&etag_md5, n, final_etag);
  return rc;
}

// The error answer for a failed join.
void answer_concat_error(plat_sock s, S3Request *r, int rc) {
  if (rc == CONCAT_PART_MISSING)
    answer_error(s, r, 400, "InvalidPart", "Part file missing");
  else if (rc == CONCAT_ETAG_CHANGED)
    answer_error(s, r, 400, "InvalidPart", "The specified part etag does not match the etag we stored");
  else if (rc == CONCAT_NO_RECORD)
    answer_error(s, r, 400, "InvalidPart", "One or more of the specified parts could not be found");
  else
    answer_error(s, r, 500, "InternalError", "Concat write fail");
}

// The CompleteMultipartUploadResult document.
void build_complete_doc(dynbuf *d, const S3Request *r, const char *key, const char *etag,
                        const record_checksum *sum) {
  dynbuf_append(d, XML_DECL, strlen(XML_DECL));
  dynbuf_printf(d, "<CompleteMultipartUploadResult>\n  <Location>http://");
  dynbuf_append_escaped(d, r->host[0] ? r->host : "localhost");
  dynbuf_printf(d, "/%s/", r->bucket);
  dynbuf_append_escaped(d, key);
  dynbuf_printf(d, "</Location>\n  <Bucket>%s</Bucket>\n  <Key>", r->bucket);
  dynbuf_append_escaped(d, key);
  dynbuf_printf(d, "</Key>\n  <ETag>\"%s\"</ETag>\n", etag);
  if (sum) checksum_elements(d, "  ", sum->algo, sum->type, sum->value);
  dynbuf_printf(d, "</CompleteMultipartUploadResult>\n");
}

// Commits the joined parts onto the key with the headers recorded at initiation, under the
// request's condition. 0, or -1 after the error answer; the upload then stays for a retry.
int commit_completed(plat_sock s, S3Request *r, const char *upload_id, const char *key,
                     const char *content_type, object_writer *w, const char *final_etag,
                     const commit_condition *cond, const part_layout *parts,
                     const record_checksum *sum, const part_checksums *part_sums) {
  char headers[S3_MPU_HEADERS_CAP];
  // Without the headers recorded at initiation the object would be stored without its metadata.
  if (mpu_meta_headers(r->bucket, upload_id, headers) != 0) {
    writer_abort(w);
    answer_error(s, r, 500, "InternalError", "We encountered an internal error. Please try again.");
    return -1;
  }
  int rc = writer_commit_object(w, final_etag,
                                content_type[0] ? content_type : guess_content_type(key), headers,
                                strlen(headers), cond, parts, sum, part_sums);
  if (rc == COMMIT_PRECONDITION_FAILED || rc == COMMIT_NO_OBJECT || rc == COMMIT_SLOW_DOWN ||
      rc == COMMIT_NO_BUCKET) {
    answer_commit_verdict(s, r, rc, 0);
    return -1;
  }
  if (rc != 0) {
    answer_error(s, r, 500, "InternalError", "Rename failed");
    return -1;
  }
  answer_version_lines(r, w->vid, 0);
  return 0;
}

// The part checksums a Complete lists against the recorded ones: 0 when each listed one is the
// part's, -1 after the 400 answer.
int check_listed_checksums(plat_sock s, S3Request *r, const char *udir,
                           const completion_entry *list, size_t n) {
  for (size_t i = 0; i < n; i++) {
    if (list[i].ck_algo == CK_NONE) continue;
    mpu_part_sum rec;
    int same = mpu_part_checksum(udir, list[i].part, &rec) == 0 && rec.algo == list[i].ck_algo;
    if (same) {
      unsigned char a[33], b[33];
      size_t an = base64_decode_n(list[i].ck_value, a, sizeof a);
      size_t bn = base64_decode_n(rec.value, b, sizeof b);
      same = an > 0 && const_time_eq(a, an, b, bn);
    }
    if (!same) {
      answer_error(s, r, 400, "InvalidPart",
                   "One or more of the specified parts could not be found.  The part may not have "
                   "been uploaded, or the specified entity tag may not match the part's entity tag.");
      return -1;
    }
  }
  return 0;
}

// The object checksum of a Complete: the upload's algorithm and type; for an upload created
// without one whose parts all have CRC64NVME (the default of every part), the full-object
// CRC64NVME. None when a part lacks the checksum (it was stored before checksums were kept).
void completed_checksum(const char *udir, const ck_value *sums, const uint64_t *sizes, size_t n,
                        record_checksum *out, part_checksums *parts) {
  int algo = CK_NONE, type = CK_TYPE_NONE;
  mpu_checksum_read(udir, &algo, &type);
  if (algo == CK_NONE) {
    algo = CK_CRC64NVME;
    type = CK_TYPE_FULL_OBJECT;
  }
  parts->algo = CK_NONE;
  parts->count = 0;
  parts->values = nullptr;
  if (multipart_checksum(algo, type, sums, sizes, n, out) != 0) return;
  parts->algo = algo;
  parts->count = n;
}

// Everything of Complete after the body has been read and the upload found.
void complete_with_list(plat_sock s, S3Request *r, const char *upload_id, const char *key,
                        const char *content_type, completion_entry *list, size_t n,
                        const commit_condition *cond) {
  char udir[S3_FS_PATH];
  object_writer_guard w;
  if (!key[0] || mpu_upload_dir(r->bucket, upload_id, udir) != 0 ||
      writer_begin_join(&w.w, r->bucket, key) == -1) {
    answer_error(s, r, 500, "InternalError", "Cannot open target");
    return;
  }
  std::stable_sort(list, list + n, [](const completion_entry &a, const completion_entry &b) {
    return a.part < b.part;
  });
  for (size_t i = 0; i < n; i++) {
    char stored[80];
    if (mpu_part_etag(r->bucket, upload_id, list[i].part, stored) != 0) {
      answer_error(s, r, 400, "InvalidPart", "One or more of the specified parts could not be found");
      return;
    }
    if (!etag_given_matches(list[i].etag, stored)) {
      answer_error(s, r, 400, "InvalidPart", "The specified part etag does not match the etag we stored");
      return;
    }
  }
  if (check_listed_checksums(s, r, udir, list, n) != 0) return;

  // A bucket deleted since the request was let through stays deleted: no step of Complete
  // makes a bucket directory, so the missing one is answered as such.
  int opened = writer_open(&w.w);
  if (opened != 0) {
    if (opened > 0)
      answer_error(s, r, 404, "NoSuchBucket", "The specified bucket does not exist");
    else
      answer_error(s, r, 500, "InternalError", "Cannot open target");
    return;
  }
  uint64_t total = 0;
  char final_etag[48];
  uint64_t *sizes = static_cast<uint64_t *>(malloc(n * sizeof(uint64_t)));
  ck_value *sums = static_cast<ck_value *>(malloc(n * sizeof(ck_value)));
  int rc = sizes && sums ? concat_parts(udir, list, n, &w.w, &total, sizes, final_etag, sums)
                         : CONCAT_WRITE_FAIL;
  record_checksum sum;
  part_checksums part_sums;
  if (rc == CONCAT_OK) completed_checksum(udir, sums, sizes, n, &sum, &part_sums);
  if (rc == CONCAT_OK && check_complete_checksum(s, r, &sum) != 0) {
    free(sizes);
    free(sums);
    writer_abort(&w.w);
    return;
  }
  if (rc != CONCAT_OK) {
    free(sizes);
    free(sums);
    writer_abort(&w.w);
    answer_concat_error(s, r, rc);
    return;
  }
  // The record keeps each part's checksum for reads of one part and GetObjectAttributes.
  char(*values)[CK_B64_CAP] =
      part_sums.algo != CK_NONE ? static_cast<char(*)[CK_B64_CAP]>(malloc(n * CK_B64_CAP)) : nullptr;
  if (values) {
    for (size_t i = 0; i < n; i++) copy_text(values[i], CK_B64_CAP, sums[i].b64);
    part_sums.values = values;
  } else {
    part_sums.algo = CK_NONE;
  }
  free(sums);
  const part_layout layout = {sizes, n};
  rc = commit_completed(s, r, upload_id, key, content_type, &w.w, final_etag, cond, &layout, &sum,
                        &part_sums);
  free(sizes);
  free(values);
  if (rc != 0) return;
  // The completion record goes in before the upload goes away: a retry finds one or the other.
  // One that cannot be written costs only that: a retry is then answered NoSuchUpload.
  (void)mpu_done_write(r->bucket, upload_id, key, final_etag, total);
  delete_dir_recursive(udir);

  dynbuf_guard doc;
  build_complete_doc(&doc.b, r, key, final_etag, &sum);
  if (doc.b.failed) return;
  answer_stored_xml(s, r, &doc.b, 0, total);
}

// A Complete for an upload that is gone: when that upload was completed and the object it made
// is still there (the same ETag and size in a trusted record), the answer is the one its
// Complete gave, for a client that retries after losing it; otherwise NoSuchUpload.
void answer_repeated_complete(plat_sock s, S3Request *r, const char *upload_id) {
  char key[4096];
  char etag[80];
  uint64_t size = 0;
  int same = 0;
  record_checksum sum = {CK_NONE, CK_TYPE_NONE, ""};
  if (mpu_done_read(r->bucket, upload_id, key, etag, &size) == 0) {
    object_view_guard view;
    same = object_snapshot(r->bucket, key, &view.v) == 0 && view.v.has_meta &&
           strcmp(view.v.etag, etag) == 0 && view.v.size == size;
    if (same) sum = view.v.sums.whole;
  }
  if (!same) {
    answer_error(s, r, 404, "NoSuchUpload", NO_SUCH_UPLOAD);
    return;
  }
  dynbuf_guard doc;
  build_complete_doc(&doc.b, r, key, etag, &sum);
  if (doc.b.failed) return;
  answer_xml(s, r, &doc.b, 0, 0);
}

}  // namespace

// ---------------------------------------------------------------- the operations

void op_initiate_multipart(plat_sock s, S3Request *r) {
  discard_announced_body(s, r);
  // The content headers wait in the upload with its user metadata: refused now, not at
  // Complete, when the client has sent every part.
  if (check_content_headers(s, r) != 0 || check_request_tagging(s, r) != 0) return;
  // The "meta" file keeps the key on one line: a key with a line break in it would come back
  // as another key at completion, and the object would be stored under the wrong name.
  if (strpbrk(r->key, "\r\n")) {
    answer_error(s, r, 400, "InvalidRequest", "Invalid key");
    return;
  }
  int ck_algo = CK_NONE, ck_type = CK_TYPE_NONE;
  if (read_upload_checksum(s, r, &ck_algo, &ck_type) != 0) return;
  char id[33];
  mpu_new_upload_id(id);
  // Content type, x-amz-meta-* and content headers wait in the upload until Complete records
  // them for the object. An upload id is given out only for an upload that exists.
  owned_str ctype(hdr_value(r->head, r->head_len, "content-type"));
  int made = mpu_create(r->bucket, id, r->key, ctype.get() ? ctype.get() : "", r->head,
                        r->head_len);
  if (made > 0) {
    answer_error(s, r, 404, "NoSuchBucket", "The specified bucket does not exist");
    return;
  }
  // The upload's checksum choice goes in before its id is given out; without it the parts
  // would be held to no algorithm, so an upload that cannot keep it is not made.
  char udir[S3_FS_PATH];
  if (made == 0 && ck_algo != CK_NONE &&
      (mpu_upload_dir(r->bucket, id, udir) != 0 || mpu_checksum_write(udir, ck_algo, ck_type) != 0)) {
    if (mpu_upload_dir(r->bucket, id, udir) == 0) delete_dir_recursive(udir);
    made = -1;
  }
  if (made < 0) {
    set_error("cannot create multipart upload in %s", r->bucket);
    answer_error(s, r, 500, "InternalError", "Cannot create multipart upload");
    return;
  }

  dynbuf_guard doc;
  dynbuf_append(&doc.b, XML_DECL, strlen(XML_DECL));
  dynbuf_printf(&doc.b, "<InitiateMultipartUploadResult>\n  <Bucket>%s</Bucket>\n  <Key>", r->bucket);
  dynbuf_append_escaped(&doc.b, r->key);
  dynbuf_printf(&doc.b, "</Key>\n  <UploadId>%s</UploadId>\n</InitiateMultipartUploadResult>\n", id);
  if (doc.b.failed) return;
  if (ck_algo == CK_NONE) {
    answer_stored_xml(s, r, &doc.b, 0, 0);
    return;
  }
  char extra[160];
  snprintf(extra, sizeof extra, "x-amz-checksum-algorithm: %s\r\nx-amz-checksum-type: %s\r\n%s",
           ck_name(ck_algo), ck_type_name(ck_type), SSE_ANSWER_HEADER);
  count_request(0, 0);
  http_send_obj_headers(s, &r->answer, 200, "application/xml", doc.b.len, extra);
  http_write_all(s, &r->answer, doc.b.data, doc.b.len);
}

void op_upload_part(plat_sock s, S3Request *r, const char *upload_id, stream_state *st) {
  // The part is received into a temporary file and moved into place with its ETag only when
  // it is whole and checked: a failed retry leaves the earlier part as it was.
  object_writer_guard w;
  if (check_part_request(s, r, upload_id, &w.w) != 0) return;
  if (!w.w.live) {
    answer_error(s, r, 500, "InternalError", "Failed to store part");
    return;
  }
  ck_value sum;
  if (part_checksum_algo(s, r, w.w.path, &sum.algo) != 0) return;
  sum.b64[0] = 0;
  char etag[33];
  uint64_t len = 0;
  upload_error err;
  if (receive_upload(s, r, st, writer_temp_path(&w.w), "Failed to store part", etag, &len,
                     &err, &sum) != 0) {
    answer_upload_error(s, r, len, err.status, err.code, err.message);
    return;
  }
  char sum_line[80];
  snprintf(sum_line, sizeof sum_line, "%s %s", ck_name(sum.algo), sum.b64);
  if (answer_part_commit(s, r, len, &w.w, etag, sum_line) != 0) return;
  char sum_lines[160];
  checksum_header_lines(sum.algo, CK_TYPE_NONE, sum.b64, sum_lines, sizeof sum_lines);
  char extra[320];
  snprintf(extra, sizeof(extra), "ETag: \"%s\"\r\n%s%s", etag, sum_lines, SSE_ANSWER_HEADER);
  count_request(0, len);
  http_send_headers(s, &r->answer, 200, extra, 0, 0);
}

void op_upload_part_copy(plat_sock s, S3Request *r, const char *upload_id) {
  discard_announced_body(s, r);
  object_writer_guard w;
  if (check_part_request(s, r, upload_id, &w.w) != 0) return;

  owned_str source(request_copy_source(r));
  char src_bucket[64];
  char src_key[4096];
  char src_vid[S3_VID_CAP];
  if (!source.get() || copy_source_version(source.p, src_vid) != 0 ||
      parse_copy_source(source.get(), src_bucket, src_key) != 0) {
    answer_error(s, r, 400, "InvalidArgument", "Invalid copy source");
    return;
  }
  char src[S3_FS_PATH];
  uint64_t size = 0;
  int64_t mtime = 0;
  int is_dir = 0;
  // A source reached through a link in the tree is no object (the final open never follows one).
  if (object_path(src_bucket, src_key, src) != 0 ||
      !path_levels_plain(src, strlen(s_storage_root))) {
    answer_error(s, r, 404, "NoSuchKey", "The source key does not exist");
    return;
  }
  if (src_vid[0] && kept_source_path(src_bucket, src_key, src_vid, src) != 0) {
    answer_error(s, r, 404, "NoSuchVersion", "The specified version does not exist.");
    return;
  }
  if (file_info(src, &size, &mtime, &is_dir) != 0 || is_dir) {
    answer_error(s, r, 404, "NoSuchKey", "The source key does not exist");
    return;
  }
  if (copy_source_conditions_fail(r, src_bucket, src_key)) {
    answer_error(s, r, 412, "PreconditionFailed",
                 "At least one of the pre-conditions you specified did not hold");
    return;
  }

  uint64_t first = 0;
  uint64_t count = UINT64_MAX;  // the whole source
  owned_str range(hdr_value(r->head, r->head_len, "x-amz-copy-source-range"));
  if (range.get()) {
    uint64_t last = 0;
    if (!parse_copy_range(range.get(), &first, &last)) {
      answer_error(s, r, 400, "InvalidArgument", "Invalid copy source range");
      return;
    }
    if (last >= size) {
      answer_error(s, r, 416, "InvalidRange", "The requested range is not satisfiable");
      return;
    }
    count = last - first + 1;
  }

  int algo = CK_NONE, type = CK_TYPE_NONE;
  mpu_checksum_read(w.w.path, &algo, &type);
  algo = stored_checksum_algo(algo);
  char md5[33];
  uint64_t copied = 0;
  body_digests d;
  memset(&d, 0, sizeof d);
  // The copied part gets its checksum like a received one, from the bytes copied.
  if (writer_copy_range(&w.w, src, first, count, md5, &copied) != 0 || writer_finish(&w.w) != 0 ||
      ck_from_file(&d, algo, writer_temp_path(&w.w)) != 0) {
    answer_error(s, r, 500, "InternalError", "Copy failed");
    return;
  }
  char b64[CK_B64_CAP];
  ck_digest_b64(&d, algo, b64);
  char sum_line[80];
  snprintf(sum_line, sizeof sum_line, "%s %s", ck_name(algo), b64);
  if (answer_part_commit(s, r, 0, &w.w, md5, sum_line) != 0) return;

  char modified[64];
  if (file_mtime_iso8601(src, modified) != 0) copy_text(modified, sizeof(modified), "1970-01-01T00:00:00.000Z");
  dynbuf_guard doc;
  dynbuf_printf(&doc.b,
                "%s<CopyPartResult>\n  <ETag>\"%s\"</ETag>\n  <LastModified>%s</LastModified>\n",
                XML_DECL, md5, modified);
  checksum_elements(&doc.b, "  ", algo, CK_TYPE_NONE, b64);
  dynbuf_printf(&doc.b, "</CopyPartResult>\n");
  if (doc.b.failed) return;
  answer_xml(s, r, &doc.b, 0, copied);
}

void op_complete_multipart(plat_sock s, S3Request *r, const char *upload_id, stream_state *st) {
  commit_condition cond;
  if (read_write_condition(s, r, &cond) != 0) return;
  size_t got = 0;
  char *body = nullptr;
  upload_error err;
  // x-amz-checksum-* of a Complete is the object's checksum, checked once the parts are joined.
  if (read_whole_body(s, r, st, S3_COMPLETE_BODY_MAX, &body, &got, &err, 1) != 0) {
    answer_error(s, r, err.status, err.code, err.message);
    return;
  }
  // A cut or garbled body must never complete from the parts it happens to list.
  if (!xml_well_formed(body, got, "CompleteMultipartUpload")) {
    free(body);
    set_error("CompleteMultipartUpload body malformed");
    answer_error(s, r, 400, "MalformedXML", MALFORMED_XML);
    return;
  }

  char key[4096];
  char content_type[256];
  if (mpu_meta_read(r->bucket, upload_id, key, content_type) != 0) {
    free(body);
    // An upload whose file exists but cannot be read is still there, for a retry.
    char udir[S3_FS_PATH];
    if (mpu_upload_dir(r->bucket, upload_id, udir) == 0 && upload_exists(udir))
      answer_error(s, r, 500, "InternalError", "We encountered an internal error. Please try again.");
    else
      answer_repeated_complete(s, r, upload_id);
    return;
  }
  completion_entry *list =
      static_cast<completion_entry *>(malloc(S3_PARTS_MAX * sizeof(completion_entry)));
  if (!list) {
    free(body);
    return;
  }
  long n = parse_completion_list(body, got, list);
  free(body);
  if (n == PARTS_TOO_MANY) {
    answer_error(s, r, 400, "InvalidRequest", "Too many parts in CompleteMultipartUpload");
  } else if (n == PARTS_MALFORMED) {
    answer_error(s, r, 400, "MalformedXML", MALFORMED_XML);
  } else if (n == PARTS_OUT_OF_RANGE) {
    answer_error(s, r, 400, "InvalidArgument",
                 "Part number must be an integer between 1 and 10000, inclusive");
  } else {
    const char *code = nullptr;
    const char *message = nullptr;
    if (check_part_list(list, (size_t)n, &code, &message) != 0)
      answer_error(s, r, 400, code, message);
    else
      complete_with_list(s, r, upload_id, key, content_type, list, (size_t)n, &cond);
  }
  free(list);
}

void op_abort_multipart(plat_sock s, S3Request *r, const char *upload_id) {
  char key[4096];
  char content_type[256];
  char udir[S3_FS_PATH];
  if (mpu_meta_read(r->bucket, upload_id, key, content_type) != 0 ||
      mpu_upload_dir(r->bucket, upload_id, udir) != 0) {
    answer_error(s, r, 404, "NoSuchUpload", NO_SUCH_UPLOAD);
    return;
  }
  delete_dir_recursive(udir);
  clear_error();
  count_request(0, 0);
  http_send_headers(s, &r->answer, 204, "", 0, 0);
}
