// The two read-only multipart listings: ListParts (the parts of one upload) and
// ListMultipartUploads (the uploads in progress in one bucket). Both page through everything
// there is, keeping in memory no more than one page and one look-ahead entry.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "base/date.h"
#include "base/state.h"
#include "http/request.h"
#include "http/response.h"
#include "ops/key_text.h"
#include "ops/checksums.h"
#include "ops/ops.h"
#include "platform/platform.h"
#include "store/files.h"
#include "store/mpu.h"
#include "store/walk.h"

namespace {

constexpr long LIST_PAGE_DEFAULT = 1000;   // max-parts / max-uploads when absent or larger
constexpr size_t PART_MARKER_MAX = 31;     // characters of part-number-marker that are read
constexpr size_t KEY_MARKER_MAX = 1023;    // characters of key-marker that are kept

const char XML_DECL[] = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";

// The leading decimal number of p (after blanks and an optional sign), like atol; 0 when
// there is none. Saturates far beyond any page size.
long leading_long(const char *p) {
  int64_t v = 0;
  if (parse_signed_decimal(p, strlen(p), 1000000000, DEC_BLANKS | DEC_PREFIX | DEC_SATURATE, &v) != 0)
    return 0;
  return (long)v;
}

// A page-size parameter: absent 1000; above 1000 becomes 1000, below 1 becomes 1.
long page_size(const char *query, const char *name) {
  owned_str v(qparam(query, name));
  if (!v.get()) return LIST_PAGE_DEFAULT;
  long n = leading_long(v.get());
  if (n > LIST_PAGE_DEFAULT) return LIST_PAGE_DEFAULT;
  return n < 1 ? 1 : n;
}

// Leading unsigned decimal digits of the first max characters of p; 0 when none. Saturates.
uint64_t leading_u64(const char *p, size_t max) {
  uint64_t v = 0;
  if (parse_decimal(p, max, UINT64_MAX, DEC_PREFIX | DEC_SATURATE, &v) != 0) return 0;
  return v;
}

// One upload in progress, as listed.
struct upload_record {
  char *key;  // owned
  char upload_id[S3_NAME_SLOT];
  char initiated[64];
};

// Uploads sort by key, then by upload id.
int upload_cmp(const char *key_a, const char *id_a, const char *key_b, const char *id_b) {
  int c = strcmp(key_a, key_b);
  return c ? c : strcmp(id_a, id_b);
}

// Where a page of uploads starts: after key-marker, or, with an upload-id-marker too, after
// that upload of the marker's key.
struct upload_filter {
  const char *key_marker;
  const char *id_marker;  // empty: every upload of the marker's key is skipped
  const char *prefix;
};

int upload_wanted(const upload_filter *f, const char *key, const char *id) {
  if (f->prefix[0] && strncmp(key, f->prefix, strlen(f->prefix)) != 0) return 0;
  if (!f->key_marker[0]) return 1;
  int c = strcmp(key, f->key_marker);
  if (c != 0) return c > 0;
  return f->id_marker[0] && strcmp(id, f->id_marker) > 0;
}

// The first `keep` uploads in order, kept sorted while the directory is read.
struct upload_page {
  upload_record *recs;
  size_t count, keep;
};

// Places one record (its key already copied) or frees it when it sorts after all kept ones.
void upload_page_offer(upload_page *pg, upload_record *u) {
  size_t at = pg->count;
  while (at > 0 && upload_cmp(u->key, u->upload_id, pg->recs[at - 1].key,
                              pg->recs[at - 1].upload_id) < 0)
    at--;
  if (at == pg->keep) {
    free(u->key);
    return;
  }
  if (pg->count == pg->keep) {
    free(pg->recs[pg->count - 1].key);
    pg->count--;
  }
  memmove(&pg->recs[at + 1], &pg->recs[at], (pg->count - at) * sizeof(upload_record));
  pg->recs[at] = *u;
  pg->count++;
}

// Fills the page with the first uploads of the bucket that the filter admits. 0, or -1 when
// memory ran out.
int gather_uploads(const char *bucket, const upload_filter *f, upload_page *pg) {
  char dir[S3_FS_PATH];
  if (mpu_bucket_dir(bucket, dir) != 0) return 0;
  plat_dir *d = plat_dir_open(dir);
  if (!d) return 0;
  int rc = 0;
  char name[S3_NAME_SLOT];
  int is_dir = 0;
  char *key = static_cast<char *>(malloc(S3_KEY_FIELD));
  if (!key) rc = -1;
  while (rc == 0 && plat_dir_next(d, name, sizeof name, &is_dir) == 1) {
    char content_type[256];
    if (!is_dir || mpu_meta_read(bucket, name, key, content_type) != 0) continue;
    if (!upload_wanted(f, key, name)) continue;
    upload_record u;
    u.key = static_cast<char *>(malloc(strlen(key) + 1));
    if (!u.key) {
      rc = -1;
      break;
    }
    memcpy(u.key, key, strlen(key) + 1);
    copy_text(u.upload_id, sizeof(u.upload_id), name);
    char udir[S3_FS_PATH];
    char meta[S3_MPU_FILE_PATH];
    if (mpu_upload_dir(bucket, name, udir) != 0 || mpu_file_path(udir, "meta", meta) != 0 ||
        file_mtime_iso8601(meta, u.initiated) != 0)
      copy_text(u.initiated, sizeof(u.initiated), "1970-01-01T00:00:00.000Z");
    upload_page_offer(pg, &u);
  }
  free(key);
  plat_dir_close(d);
  return rc;
}

}  // namespace

void op_list_parts(plat_sock s, S3Request *r, const char *upload_id) {
  char key[S3_KEY_FIELD];
  char content_type[256];
  char udir[S3_FS_PATH];
  if (mpu_meta_read(r->bucket, upload_id, key, content_type) != 0 ||
      mpu_upload_dir(r->bucket, upload_id, udir) != 0) {
    answer_error(s, r, 404, "NoSuchUpload", "The specified multipart upload does not exist");
    return;
  }
  long max_parts = page_size(r->query, "max-parts");
  uint64_t marker = 0;
  {
    owned_str m(qparam(r->query, "part-number-marker"));
    if (m.get()) marker = leading_u64(m.get(), PART_MARKER_MAX);
  }
  mpu_part_info *parts = static_cast<mpu_part_info *>(malloc(size_t(max_parts) * sizeof(mpu_part_info)));
  if (!parts) return;
  uint32_t after = marker > S3_MPU_MAX_PART ? uint32_t(S3_MPU_MAX_PART) : uint32_t(marker);
  int truncated = 0;
  size_t n = mpu_list_parts(udir, after, parts, size_t(max_parts), &truncated);

  dynbuf_guard doc;
  dynbuf *d = &doc.b;
  dynbuf_append(d, XML_DECL, strlen(XML_DECL));
  dynbuf_printf(d, "<ListPartsResult xmlns=\"%s\">\n  <Bucket>%s</Bucket>\n  <Key>", S3_XMLNS,
                r->bucket);
  dynbuf_append_escaped(d, key);
  dynbuf_printf(d,
                "</Key>\n  <UploadId>%s</UploadId>\n  <StorageClass>STANDARD</StorageClass>\n"
                "  <PartNumberMarker>%llu</PartNumberMarker>\n  <MaxParts>%ld</MaxParts>\n"
                "  <IsTruncated>%s</IsTruncated>\n",
                upload_id, (unsigned long long)marker, max_parts, truncated ? "true" : "false");
  int ck_algo = CK_NONE, ck_type = CK_TYPE_NONE;
  mpu_checksum_read(udir, &ck_algo, &ck_type);
  if (ck_algo != CK_NONE)
    dynbuf_printf(d, "  <ChecksumAlgorithm>%s</ChecksumAlgorithm>\n  <ChecksumType>%s</ChecksumType>\n",
                  ck_name(ck_algo), ck_type_name(ck_type));
  for (size_t i = 0; i < n; i++) {
    const mpu_part_info *p = &parts[i];
    char etag[80];
    if (mpu_part_etag(r->bucket, upload_id, p->number, etag) != 0) etag[0] = 0;
    mpu_part_sum sum;
    if (mpu_part_checksum(udir, p->number, &sum) != 0) sum.algo = CK_NONE;
    char when[64];
    format_iso8601(p->mtime, when);
    dynbuf_printf(d,
                  "  <Part>\n    <PartNumber>%lu</PartNumber>\n    <LastModified>%s</LastModified>\n"
                  "    <ETag>\"%s\"</ETag>\n    <Size>%llu</Size>\n",
                  (unsigned long)p->number, when, etag, (unsigned long long)p->size);
    checksum_elements(d, "    ", sum.algo, CK_TYPE_NONE, sum.value);
    dynbuf_printf(d, "  </Part>\n");
  }
  if (truncated && n)
    dynbuf_printf(d, "  <NextPartNumberMarker>%lu</NextPartNumberMarker>\n",
                  (unsigned long)parts[n - 1].number);
  dynbuf_printf(d, "</ListPartsResult>\n");
  free(parts);
  if (d->failed) return;
  answer_xml(s, r, d, d->len, 0);
}

// The parameters of ListMultipartUploads.
struct uploads_query {
  char marker[KEY_MARKER_MAX + 1];
  char id_marker[S3_NAME_SLOT];
  int has_id_marker;
  char prefix[S3_KEY_FIELD];
  int has_prefix;
  int url;  // encoding-type=url
  long max_uploads;
};

// Reads the query. 0, or -1 for an encoding-type other than "url".
static int read_uploads_query(const S3Request *r, uploads_query *q) {
  // The key marker arrives percent-encoded like every query value, and is decoded before it is
  // compared with keys: clients send back NextKeyMarker as they received it. Upload ids are
  // hexadecimal and need no decoding.
  q->marker[0] = 0;
  q->id_marker[0] = 0;
  q->has_id_marker = 0;
  owned_str m(qparam(r->query, "key-marker"));
  if (m.get()) {
    copy_text(q->marker, sizeof(q->marker), m.get());
    pct_decode(q->marker);
  }
  owned_str im(qparam(r->query, "upload-id-marker"));
  if (im.get()) {
    q->has_id_marker = 1;
    copy_text(q->id_marker, sizeof(q->id_marker), im.get());
  }
  q->max_uploads = page_size(r->query, "max-uploads");
  // The prefix narrows the listing to the uploads of matching keys (clients ask for the uploads
  // of one key before they start another). Unlike the marker it arrives percent-encoded.
  q->prefix[0] = 0;
  q->has_prefix = 0;
  owned_str p(qparam(r->query, "prefix"));
  if (p.get()) {
    q->has_prefix = 1;
    copy_text(q->prefix, sizeof(q->prefix), p.get());
    pct_decode(q->prefix);
  }
  owned_str enc(qparam(r->query, "encoding-type"));
  q->url = enc.get() != nullptr;
  return enc.get() && strcmp(enc.get(), "url") != 0 ? -1 : 0;
}

void op_list_multipart_uploads(plat_sock s, S3Request *r) {
  uploads_query query;
  uploads_query *q = &query;
  if (read_uploads_query(r, q) != 0) {
    answer_error(s, r, 400, "InvalidArgument", "Invalid Encoding Method specified in Request");
    return;
  }
  const char *marker = q->marker;
  const char *id_marker = q->id_marker;
  const char *prefix = q->prefix;
  const int has_id_marker = q->has_id_marker;
  const int has_prefix = q->has_prefix;
  const long max_uploads = q->max_uploads;

  // One page and one look-ahead upload, which says whether the listing is cut.
  upload_page pg{nullptr, 0, size_t(max_uploads) + 1};
  pg.recs = static_cast<upload_record *>(malloc(pg.keep * sizeof(upload_record)));
  if (!pg.recs) return;
  upload_filter f{marker, id_marker, prefix};
  int rc = gather_uploads(r->bucket, &f, &pg);
  int cut = pg.count > size_t(max_uploads);
  size_t written = cut ? size_t(max_uploads) : pg.count;

  dynbuf_guard doc;
  dynbuf *d = &doc.b;
  dynbuf_append(d, XML_DECL, strlen(XML_DECL));
  dynbuf_printf(d, "<ListMultipartUploadsResult xmlns=\"%s\">\n  <Bucket>%s</Bucket>\n", S3_XMLNS,
                r->bucket);
  if (q->url) dynbuf_printf(d, "  <EncodingType>url</EncodingType>\n");
  append_key_element(d, "  ", "KeyMarker", marker, q->url);
  if (has_id_marker) {
    dynbuf_printf(d, "  <UploadIdMarker>");
    dynbuf_append_escaped(d, id_marker);
    dynbuf_printf(d, "</UploadIdMarker>\n");
  }
  if (has_prefix) {
    append_key_element(d, "  ", "Prefix", prefix, q->url);
  }
  dynbuf_printf(d, "  <MaxUploads>%ld</MaxUploads>\n  <IsTruncated>%s</IsTruncated>\n",
                max_uploads, cut ? "true" : "false");
  for (size_t i = 0; i < written; i++) {
    const upload_record *u = &pg.recs[i];
    dynbuf_printf(d, "  <Upload>\n");
    append_key_element(d, "    ", "Key", u->key, q->url);
    dynbuf_printf(d,
                  "    <UploadId>%s</UploadId>\n    <Initiated>%s</Initiated>\n"
                  "  </Upload>\n",
                  u->upload_id, u->initiated);
  }
  if (cut) {
    // Both markers: the next page starts after this very upload, so no other upload of the
    // same key is skipped.
    append_key_element(d, "  ", "NextKeyMarker", pg.recs[written - 1].key, q->url);
    dynbuf_printf(d, "  <NextUploadIdMarker>%s</NextUploadIdMarker>\n",
                  pg.recs[written - 1].upload_id);
  }
  dynbuf_printf(d, "</ListMultipartUploadsResult>\n");
  for (size_t i = 0; i < pg.count; i++) free(pg.recs[i].key);
  free(pg.recs);
  if (rc != 0 || d->failed) {
    answer_error(s, r, 500, "InternalError", "We encountered an internal error. Please try again.");
    return;
  }
  answer_xml(s, r, d, d->len, 0);
}
