// The multipart operations that create, fill and end uploads: Initiate, UploadPart,
// UploadPartCopy, Complete and Abort. Uploads live in the .mpu tree (store/mpu.h); Complete
// joins the parts into a temporary file beside the target and moves it into place.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "auth/hash.h"
#include "base/state.h"
#include "base/text.h"
#include "http/body.h"
#include "http/request.h"
#include "http/response.h"
#include "ops/ops.h"
#include "platform/platform.h"
#include "store/layout.h"
#include "store/mpu.h"
#include "store/object.h"

namespace {

constexpr uint64_t COMPLETE_BODY_MAX = 16777216;  // larger Complete bodies are refused
constexpr size_t COMPLETE_BODY_DEFAULT = 1024;    // taken when Content-Length is absent or 0
constexpr size_t COMPLETE_MAX_ENTRIES = 10000;
constexpr size_t COPY_BLOCK = 65536;

const char NO_SUCH_UPLOAD[] = "The specified multipart upload does not exist";
const char XML_DECL[] = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";

// One entry of a Complete request: the part number and the ETag the client gave (may be empty).
struct completion_entry {
  uint32_t part;
  char etag[80];
};

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
  hdr_u64(r->head, r->head_len, "content-length", &n, &overflow);
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

int part_file_path(const char *udir, unsigned long part, const char *ext,
                   char out[S3_MPU_FILE_PATH]) {
  char name[40];
  snprintf(name, sizeof(name), "%lu.%s", part, ext);
  return mpu_file_path(udir, name, out);
}

// Writes the one-line ".etag" file of a part; a file that cannot be written is not reported
// (the part then counts as missing for Complete).
void write_part_etag(const char *udir, unsigned long part, const char etag[33]) {
  char path[S3_MPU_FILE_PATH];
  if (part_file_path(udir, part, "etag", path) != 0) return;
  plat_file *f = plat_file_open(path, PLAT_WRITE_TRUNC);
  if (!f) return;
  plat_file_guard guard(f);
  char line[40];
  int n = snprintf(line, sizeof(line), "%s\n", etag);
  plat_file_write(f, line, (size_t)n);
}

// The checks UploadPart and UploadPartCopy share: part number and upload existence. 0 with
// the part number and upload directory, or -1 after the error answer.
int check_part_request(plat_sock s, S3Request *r, const char *upload_id, unsigned long *part,
                       char udir[S3_FS_PATH]) {
  *part = query_part_number(r);
  if (!*part) {
    answer_error(s, r, 400, "InvalidArgument", "Invalid part number");
    return -1;
  }
  if (mpu_upload_dir(r->bucket, upload_id, udir) != 0 || !upload_exists(udir)) {
    answer_error(s, r, 404, "NoSuchUpload", NO_SUCH_UPLOAD);
    return -1;
  }
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

// ---------------------------------------------------------------- Complete, step by step

// Parses the Part elements of a Complete body into list. The count, or -1 when there are more
// than COMPLETE_MAX_ENTRIES valid ones.
long parse_completion_list(const char *body, size_t len, completion_entry *list) {
  size_t count = 0;
  size_t pos = 0;
  while (pos < len) {
    const char *open = find_bytes(body + pos, len - pos, "<Part>");
    if (!open) break;
    size_t after = (size_t)(open - body) + 6;
    const char *close = find_bytes(body + after, len - after, "</Part>");
    if (!close) break;
    if (count == COMPLETE_MAX_ENTRIES) return -1;
    size_t seg_len = (size_t)(close - open);
    owned_str num(xml_get_tag(open, seg_len, "PartNumber"));
    uint64_t n = 0;
    // Blanks around the number are tolerated; anything else makes the element invalid.
    if (num.get() && parse_decimal(num.get(), strlen(num.get()), UINT64_MAX, DEC_BLANKS, &n) != 0)
      n = 0;
    if (n >= 1 && n <= S3_MPU_MAX_PART) {
      owned_str etag(xml_get_tag(open, seg_len, "ETag"));
      list[count].part = (uint32_t)n;
      copy_text(list[count].etag, sizeof(list[count].etag), etag.get() ? etag.get() : "");
      count++;
    }
    pos = (size_t)(close - body) + 6;
  }
  return (long)count;
}

// Joins the listed parts into out, computing the final ETag. 0 with the total; otherwise the
// answer to give: 1 "Part file missing", 2 "Concat write fail".
int concat_parts(const char *bucket, const char *upload_id, const char *udir,
                 const completion_entry *list, size_t n, plat_file *out, uint64_t *total,
                 char final_etag[48]) {
  char *buf = static_cast<char *>(malloc(COPY_BLOCK));
  if (!buf) return 2;
  md5_ctx etag_md5;
  md5_init(&etag_md5);
  int rc = 0;
  *total = 0;
  for (size_t i = 0; i < n && rc == 0; i++) {
    char path[S3_MPU_FILE_PATH];
    plat_file *in = part_file_path(udir, list[i].part, "part", path) == 0
                        ? plat_file_open(path, PLAT_READ)
                        : nullptr;
    if (!in) {
      rc = 1;
      break;
    }
    plat_file_guard in_guard(in);
    for (;;) {
      long got = plat_file_read(in, buf, COPY_BLOCK);
      if (got == 0) break;
      // A part that cannot be read to its end must not become a silently shortened object.
      if (got < 0 || plat_file_write(out, buf, (size_t)got) != got) {
        rc = 2;
        break;
      }
      *total += (uint64_t)got;
    }
    char stored[80];
    if (mpu_part_etag(bucket, upload_id, list[i].part, stored) == 0)
      mpu_etag_feed(&etag_md5, stored);
  }
  free(buf);
  if (rc == 0 && plat_file_flush(out) != 0) rc = 2;
  if (rc == 0) mpu_etag_finish(&etag_md5, n, final_etag);
  return rc;
}

// The CompleteMultipartUploadResult document.
void build_complete_doc(dynbuf *d, const S3Request *r, const char *key, const char *etag) {
  dynbuf_append(d, XML_DECL, strlen(XML_DECL));
  dynbuf_printf(d, "<CompleteMultipartUploadResult>\n  <Location>http://");
  dynbuf_append_escaped(d, r->host[0] ? r->host : "localhost");
  dynbuf_printf(d, "/%s/", r->bucket);
  dynbuf_append_escaped(d, key);
  dynbuf_printf(d, "</Location>\n  <Bucket>%s</Bucket>\n  <Key>", r->bucket);
  dynbuf_append_escaped(d, key);
  dynbuf_printf(d, "</Key>\n  <ETag>\"%s\"</ETag>\n</CompleteMultipartUploadResult>\n", etag);
}

// Everything of Complete after the body has been read and the upload found.
void complete_with_list(plat_sock s, S3Request *r, const char *upload_id, const char *key,
                        const char *content_type, completion_entry *list, size_t n) {
  char udir[S3_FS_PATH];
  char target[S3_FS_PATH];
  if (!key[0] || mpu_upload_dir(r->bucket, upload_id, udir) != 0 ||
      object_path(r->bucket, key, target) != 0) {
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
    // Containment: the bare digits, "digits" and &quot;digits&quot; all match.
    if (list[i].etag[0] && !strstr(list[i].etag, stored)) {
      answer_error(s, r, 400, "InvalidPart", "The specified part etag does not match the etag we stored");
      return;
    }
  }

  const char *slash = strrchr(target, '/');
  size_t dir_len = (size_t)(slash - target);
  if (strchr(key, '/')) {
    char dir[S3_FS_PATH];
    copy_text_n(dir, sizeof(dir), target, dir_len);
    mkdir_p(dir);
  }
  char tmp[S3_FS_PATH];
  plat_file *out = make_mpu_temp(target, dir_len, tmp) == 0 ? plat_file_open(tmp, PLAT_WRITE_TRUNC)
                                                            : nullptr;
  if (!out) {
    answer_error(s, r, 500, "InternalError", "Cannot open target");
    return;
  }
  uint64_t total = 0;
  char final_etag[48];
  int rc = concat_parts(r->bucket, upload_id, udir, list, n, out, &total, final_etag);
  plat_file_close(out);
  if (rc != 0) {
    remove_file(tmp);
    if (rc == 1) {
      answer_error(s, r, 400, "InvalidPart", "Part file missing");
    } else {
      answer_error(s, r, 500, "InternalError", "Concat write fail");
    }
    return;
  }
  if (object_commit(tmp, r->bucket, key, final_etag,
                    content_type[0] ? content_type : guess_content_type(key), nullptr, 0) != 0) {
    answer_error(s, r, 500, "InternalError", "Rename failed");
    return;
  }
  delete_dir_recursive(udir);

  dynbuf_guard doc;
  build_complete_doc(&doc.b, r, key, final_etag);
  if (doc.b.failed) return;
  answer_xml(s, &doc.b, 0, total);
}

}  // namespace

// ---------------------------------------------------------------- the operations

void op_initiate_multipart(plat_sock s, S3Request *r) {
  discard_announced_body(s, r);
  // The "meta" file keeps the key on one line: a key with a line break in it would come back
  // as another key at completion, and the object would be stored under the wrong name.
  if (strpbrk(r->key, "\r\n")) {
    answer_error(s, r, 400, "InvalidRequest", "Invalid key");
    return;
  }
  char id[33];
  mpu_new_upload_id(id);
  char udir[S3_FS_PATH];
  if (mpu_upload_dir(r->bucket, id, udir) == 0) {
    mkdir_p(udir);
    char meta[S3_MPU_FILE_PATH];
    plat_file *f = mpu_file_path(udir, "meta", meta) == 0 ? plat_file_open(meta, PLAT_WRITE_TRUNC)
                                                          : nullptr;
    if (f) {
      plat_file_guard guard(f);
      owned_str ctype(hdr_value(r->head, r->head_len, "content-type"));
      dynbuf_guard text;
      dynbuf_printf(&text.b, "%s\n%s\n", r->key, ctype.get() ? ctype.get() : "");
      if (!text.b.failed) plat_file_write(f, text.b.data, text.b.len);
    }
  }

  dynbuf_guard doc;
  dynbuf_append(&doc.b, XML_DECL, strlen(XML_DECL));
  dynbuf_printf(&doc.b, "<InitiateMultipartUploadResult>\n  <Bucket>%s</Bucket>\n  <Key>", r->bucket);
  dynbuf_append_escaped(&doc.b, r->key);
  dynbuf_printf(&doc.b, "</Key>\n  <UploadId>%s</UploadId>\n</InitiateMultipartUploadResult>\n", id);
  if (doc.b.failed) return;
  answer_xml(s, &doc.b, 0, 0);
}

void op_upload_part(plat_sock s, S3Request *r, const char *upload_id, stream_state *st) {
  unsigned long part = 0;
  char udir[S3_FS_PATH];
  if (check_part_request(s, r, upload_id, &part, udir) != 0) return;
  char path[S3_MPU_FILE_PATH];
  if (part_file_path(udir, part, "part", path) != 0) {
    answer_error(s, r, 500, "InternalError", "Failed to store part");
    return;
  }
  // A part is received straight into its file: a repeated part number replaces the earlier one.
  char etag[33];
  uint64_t len = 0;
  upload_error err;
  if (receive_upload(s, r, st, path, "Failed to store part", etag, &len, &err) != 0) {
    answer_upload_error(s, r, len, err.status, err.code, err.message);
    return;
  }
  write_part_etag(udir, part, etag);
  char extra[64];
  snprintf(extra, sizeof(extra), "ETag: \"%s\"\r\n", etag);
  count_request(0, len);
  http_send_headers(s, 200, extra, 0, 0);
}

void op_upload_part_copy(plat_sock s, S3Request *r, const char *upload_id) {
  discard_announced_body(s, r);
  unsigned long part = 0;
  char udir[S3_FS_PATH];
  if (check_part_request(s, r, upload_id, &part, udir) != 0) return;

  owned_str source(hdr_value(r->head, r->head_len, "x-amz-copy-source"));
  char src_bucket[64];
  char src_key[4096];
  if (!source.get() || parse_copy_source(source.get(), src_bucket, src_key) != 0) {
    answer_error(s, r, 400, "InvalidArgument", "Invalid copy source");
    return;
  }
  char src[S3_FS_PATH];
  uint64_t size = 0;
  int64_t mtime = 0;
  int is_dir = 0;
  if (object_path(src_bucket, src_key, src) != 0 || file_info(src, &size, &mtime, &is_dir) != 0 ||
      is_dir) {
    answer_error(s, r, 404, "NoSuchKey", "The source key does not exist");
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

  char path[S3_MPU_FILE_PATH];
  char md5[33];
  uint64_t copied = 0;
  if (part_file_path(udir, part, "part", path) != 0 ||
      copy_file_range_md5(src, first, count, path, md5, &copied) != 0) {
    remove_file(path);
    answer_error(s, r, 500, "InternalError", "Copy failed");
    return;
  }
  write_part_etag(udir, part, md5);

  char modified[64];
  if (file_mtime_iso8601(src, modified) != 0) copy_text(modified, sizeof(modified), "1970-01-01T00:00:00.000Z");
  dynbuf_guard doc;
  dynbuf_printf(&doc.b,
                "%s<CopyPartResult>\n  <ETag>\"%s\"</ETag>\n  <LastModified>%s</LastModified>\n"
                "</CopyPartResult>\n",
                XML_DECL, md5, modified);
  if (doc.b.failed) return;
  answer_xml(s, &doc.b, 0, copied);
}

void op_complete_multipart(plat_sock s, S3Request *r, const char *upload_id) {
  size_t got = 0;
  int too_large = 0;
  char *body = read_small_body(s, r, COMPLETE_BODY_MAX, COMPLETE_BODY_DEFAULT, &got, &too_large);
  if (too_large) {
    answer_error(s, r, 400, "InvalidRequest", "Too many parts in CompleteMultipartUpload");
    return;
  }
  if (!body) return;

  char key[4096];
  char content_type[256];
  if (mpu_meta_read(r->bucket, upload_id, key, content_type) != 0) {
    free(body);
    answer_error(s, r, 404, "NoSuchUpload", NO_SUCH_UPLOAD);
    return;
  }
  completion_entry *list =
      static_cast<completion_entry *>(malloc(COMPLETE_MAX_ENTRIES * sizeof(completion_entry)));
  if (!list) {
    free(body);
    return;
  }
  long n = parse_completion_list(body, got, list);
  free(body);
  if (n < 0) {
    answer_error(s, r, 400, "InvalidRequest", "Too many parts in CompleteMultipartUpload");
  } else if (n == 0) {
    answer_error(s, r, 400, "InvalidRequest", "No parts provided");
  } else {
    complete_with_list(s, r, upload_id, key, content_type, list, (size_t)n);
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
  http_send_headers(s, 204, "", 0, 0);
}
