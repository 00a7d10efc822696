// The two read-only multipart listings: ListParts (the parts of one upload) and
// ListMultipartUploads (the uploads in progress in one bucket). Both list and sort a whole
// upload directory on every call and answer one XML document.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "base/state.h"
#include "http/request.h"
#include "http/response.h"
#include "ops/ops.h"
#include "platform/platform.h"
#include "store/layout.h"
#include "store/mpu.h"
#include "store/walk.h"

namespace {

constexpr size_t LIST_CAP = 8192;          // names and records per listing
constexpr long LIST_PAGE_DEFAULT = 1000;   // max-parts / max-uploads when absent or larger
constexpr size_t PART_MARKER_MAX = 31;     // characters of part-number-marker that are read
constexpr size_t KEY_MARKER_MAX = 1023;    // characters of key-marker that are kept

const char XML_DECL[] = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";

struct part_record {
  uint32_t number;
  uint64_t size;
  char etag[80];
  char last_modified[64];
};

struct upload_record {
  char key[4096];
  char upload_id[S3_NAME_SLOT];
  char initiated[64];
};

typedef char name_slot[S3_NAME_SLOT];

// The leading decimal number of p (after blanks and an optional sign), like atol; 0 when
// there is none. Saturates far beyond any page size.
long leading_long(const char *p) {
  while (*p == ' ' || *p == '\t') p++;
  int neg = 0;
  if (*p == '-' || *p == '+') neg = *p++ == '-';
  long v = 0;
  for (; *p >= '0' && *p <= '9'; p++)
    if (v < 1000000000L) v = v * 10 + (*p - '0');
  return neg ? -v : v;
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
  for (size_t i = 0; i < max && p[i] >= '0' && p[i] <= '9'; i++) {
    uint64_t d = (uint64_t)(p[i] - '0');
    v = v > (UINT64_MAX - d) / 10 ? UINT64_MAX : v * 10 + d;
  }
  return v;
}

// The part number of a directory entry named "N.part", or 0 when it is not a part file.
uint32_t part_number_of(const char *name) {
  const char *dot = strrchr(name, '.');
  if (!dot || strcmp(dot + 1, "part") != 0) return 0;
  uint64_t n = leading_u64(name, (size_t)(dot - name));
  return n > UINT32_MAX ? 0 : (uint32_t)n;
}

// Gathers the part records of an upload directory, sorted by number. The count, or -1 when
// memory ran out.
long gather_parts(const char *bucket, const char *upload_id, const char *udir, part_record **out) {
  name_slot *names = static_cast<name_slot *>(malloc(LIST_CAP * sizeof(name_slot)));
  part_record *recs = static_cast<part_record *>(malloc(LIST_CAP * sizeof(part_record)));
  if (!names || !recs) {
    free(names);
    free(recs);
    return -1;
  }
  size_t nn = list_dir_names(udir, names, LIST_CAP, nullptr, nullptr);
  size_t count = 0;
  for (size_t i = 0; i < nn && count < LIST_CAP; i++) {
    uint32_t number = part_number_of(names[i]);
    if (!number) continue;
    char path[S3_MPU_FILE_PATH];
    uint64_t size = 0;
    int64_t mtime = 0;
    if (mpu_file_path(udir, names[i], path) != 0 || file_info(path, &size, &mtime, nullptr) != 0)
      continue;
    part_record *p = &recs[count++];
    p->number = number;
    p->size = size;
    if (mpu_part_etag(bucket, upload_id, number, p->etag) != 0) p->etag[0] = 0;
    if (file_mtime_rfc1123(path, p->last_modified) != 0)
      copy_text(p->last_modified, sizeof(p->last_modified), "Thu, 01 Jan 1970 00:00:00 GMT");
  }
  free(names);
  std::stable_sort(recs, recs + count,
                   [](const part_record &a, const part_record &b) { return a.number < b.number; });
  *out = recs;
  return (long)count;
}

// Gathers the upload records of a bucket, sorted by key (uploads of one key in id order).
// The count, or -1 when memory ran out; *truncated when the directory held more names.
long gather_uploads(const char *bucket, upload_record **out, int *truncated) {
  *truncated = 0;
  *out = nullptr;
  char dir[S3_FS_PATH];
  int dn = snprintf(dir, sizeof(dir), "%s/.mpu/%s", s_storage_root, bucket);
  if (dn < 0 || (size_t)dn >= sizeof(dir)) return 0;
  name_slot *names = static_cast<name_slot *>(malloc(LIST_CAP * sizeof(name_slot)));
  if (!names) return -1;
  size_t nn = list_dir_names(dir, names, LIST_CAP, nullptr, truncated);
  // Records for the names actually listed (at most LIST_CAP); one at least, so that an empty
  // bucket is not mistaken for a failed allocation.
  upload_record *recs = static_cast<upload_record *>(malloc((nn ? nn : 1) * sizeof(upload_record)));
  if (!recs) {
    free(names);
    return -1;
  }
  size_t count = 0;
  for (size_t i = 0; i < nn; i++) {
    upload_record *u = &recs[count];
    char content_type[256];
    if (mpu_meta_read(bucket, names[i], u->key, content_type) != 0) continue;
    copy_text(u->upload_id, sizeof(u->upload_id), names[i]);
    char udir[S3_FS_PATH];
    char meta[S3_MPU_FILE_PATH];
    if (mpu_upload_dir(bucket, names[i], udir) != 0 || mpu_file_path(udir, "meta", meta) != 0 ||
        file_mtime_iso8601(meta, u->initiated) != 0)
      copy_text(u->initiated, sizeof(u->initiated), "1970-01-01T00:00:00.000Z");
    count++;
  }
  free(names);
  std::stable_sort(recs, recs + count, [](const upload_record &a, const upload_record &b) {
    return strcmp(a.key, b.key) < 0;
  });
  *out = recs;
  return (long)count;
}

}  // namespace

void op_list_parts(plat_sock s, S3Request *r, const char *upload_id) {
  char key[4096];
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

  part_record *recs = nullptr;
  long n = gather_parts(r->bucket, upload_id, udir, &recs);
  if (n < 0) return;
  long first = 0;
  while (marker && first < n && recs[first].number <= marker) first++;
  long eligible = n - first;
  int truncated = eligible > max_parts;

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
  uint32_t last = 0;
  for (long i = first; i < n && i - first < max_parts; i++) {
    const part_record *p = &recs[i];
    dynbuf_printf(d,
                  "  <Part>\n    <PartNumber>%lu</PartNumber>\n    <LastModified>%s</LastModified>\n"
                  "    <ETag>\"%s\"</ETag>\n    <Size>%llu</Size>\n  </Part>\n",
                  (unsigned long)p->number, p->last_modified, p->etag, (unsigned long long)p->size);
    last = p->number;
  }
  if (truncated)
    dynbuf_printf(d, "  <NextPartNumberMarker>%lu</NextPartNumberMarker>\n", (unsigned long)last);
  dynbuf_printf(d, "</ListPartsResult>\n");
  free(recs);
  if (d->failed) return;
  answer_xml(s, d, d->len, 0);
}

void op_list_multipart_uploads(plat_sock s, S3Request *r) {
  // The key marker is compared as received, without percent-decoding.
  char marker[KEY_MARKER_MAX + 1];
  marker[0] = 0;
  {
    owned_str m(qparam(r->query, "key-marker"));
    if (m.get()) copy_text(marker, sizeof(marker), m.get());
  }
  long max_uploads = page_size(r->query, "max-uploads");
  // The prefix narrows the listing to the uploads of matching keys (clients ask for the uploads
  // of one key before they start another). Unlike the marker it arrives percent-encoded.
  char prefix[4096];
  prefix[0] = 0;
  int has_prefix = 0;
  {
    owned_str p(qparam(r->query, "prefix"));
    if (p.get()) {
      has_prefix = 1;
      copy_text(prefix, sizeof(prefix), p.get());
      pct_decode(prefix);
    }
  }
  size_t prefix_len = strlen(prefix);

  upload_record *recs = nullptr;
  int dir_truncated = 0;
  long n = gather_uploads(r->bucket, &recs, &dir_truncated);
  if (n < 0) return;

  dynbuf_guard entries;
  long written = 0;
  int cut = 0;
  const char *last_key = "";
  for (long i = 0; i < n; i++) {
    const upload_record *u = &recs[i];
    if (marker[0] && strcmp(u->key, marker) <= 0) continue;
    if (prefix_len && strncmp(u->key, prefix, prefix_len) != 0) continue;
    if (written == max_uploads) {
      cut = 1;
      break;
    }
    dynbuf_printf(&entries.b, "  <Upload>\n    <Key>");
    dynbuf_append_escaped(&entries.b, u->key);
    dynbuf_printf(&entries.b,
                  "</Key>\n    <UploadId>%s</UploadId>\n    <Initiated>%s</Initiated>\n"
                  "  </Upload>\n",
                  u->upload_id, u->initiated);
    last_key = u->key;
    written++;
  }

  dynbuf_guard doc;
  dynbuf *d = &doc.b;
  dynbuf_append(d, XML_DECL, strlen(XML_DECL));
  dynbuf_printf(d, "<ListMultipartUploadsResult xmlns=\"%s\">\n  <Bucket>%s</Bucket>\n", S3_XMLNS,
                r->bucket);
  dynbuf_printf(d, "  <KeyMarker>");
  dynbuf_append_escaped(d, marker);
  dynbuf_printf(d, "</KeyMarker>\n");
  if (has_prefix) {
    dynbuf_printf(d, "  <Prefix>");
    dynbuf_append_escaped(d, prefix);
    dynbuf_printf(d, "</Prefix>\n");
  }
  dynbuf_printf(d, "  <MaxUploads>%ld</MaxUploads>\n  <IsTruncated>%s</IsTruncated>\n",
                max_uploads, (cut || dir_truncated) ? "true" : "false");
  if (entries.b.len) dynbuf_append(d, entries.b.data, entries.b.len);
  if (cut) {
    dynbuf_printf(d, "  <NextKeyMarker>");
    dynbuf_append_escaped(d, last_key);
    dynbuf_printf(d, "</NextKeyMarker>\n");
  }
  dynbuf_printf(d, "</ListMultipartUploadsResult>\n");
  int failed = d->failed || entries.b.failed;
  free(recs);
  if (failed) return;
  answer_xml(s, d, d->len, 0);
}
