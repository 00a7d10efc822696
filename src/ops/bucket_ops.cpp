// Service and bucket operations: ListBuckets, CreateBucket, DeleteBucket, HeadBucket and
// GetBucketLocation. A bucket is nothing but a directory directly under the storage root.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "base/date.h"
#include "base/state.h"
#include "http/response.h"
#include "ops/ops.h"
#include "store/layout.h"
#include "store/object.h"
#include "store/walk.h"

constexpr size_t LIST_DOC_CAP = 4096;      // the ListBuckets document, NUL included
constexpr size_t LIST_ENTRY_RESERVE = 128;  // an entry is started only with this much free
constexpr size_t LIST_ROOT_NAMES = 512;

static const char kListHead[] =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<ListAllMyBucketsResult xmlns=\"" S3_XMLNS
    "\">\n  <Owner>\n    <ID>quillmarlocal</ID>\n    <DisplayName>local</DisplayName>\n"
    "  </Owner>\n  <Buckets>\n";
static const char kListTail[] = "  </Buckets>\n</ListAllMyBucketsResult>\n";

static void send_xml(plat_sock s, const char *doc, size_t len) {
  count_request(len, 0);
  http_send_obj_headers(s, 200, "application/xml", len, nullptr);
  http_write_all(s, doc, len);
}

// Appends the bucket entries to doc (holding len bytes) and returns the new length. An entry
// is added only when it fits completely together with the closing piece, so the document is
// always well-formed; the walk stops at the first entry that does not fit. Names that did not
// come through CreateBucket (plain files in the root) may hold "&" or "<": they are escaped.
static size_t append_bucket_entries(char *doc, size_t len, const char *date) {
  char (*names)[S3_NAME_SLOT] =
      static_cast<char (*)[S3_NAME_SLOT]>(malloc(LIST_ROOT_NAMES * S3_NAME_SLOT));
  if (!names) return len;
  size_t count = list_dir_names(s_storage_root, names, LIST_ROOT_NAMES, nullptr, nullptr);
  const size_t limit = LIST_DOC_CAP - 1;
  for (size_t i = 0; i < count; i++) {
    if (len + LIST_ENTRY_RESERVE > limit) break;
    if (names[i][0] == '.') continue;
    char escaped[S3_NAME_SLOT * 6 + 16];
    xml_escape_str(names[i], escaped, sizeof escaped);
    char entry[sizeof escaped + 160];
    int n = snprintf(entry, sizeof entry,
                     "    <Bucket>\n      <Name>%s</Name>\n      <CreationDate>%s</CreationDate>\n"
                     "    </Bucket>\n",
                     escaped, date);
    if (n < 0 || size_t(n) >= sizeof entry) break;
    if (len + size_t(n) + (sizeof kListTail - 1) > limit) break;
    memcpy(doc + len, entry, size_t(n));
    len += size_t(n);
  }
  free(names);
  return len;
}

void op_list_buckets(plat_sock s, S3Request *r) {
  (void)r;
  char *doc = static_cast<char *>(malloc(LIST_DOC_CAP));
  if (!doc) {
    count_request(0, 0);
    http_send_obj_headers(s, 200, "application/xml", 0, nullptr);
    return;
  }
  char date[64];
  format_iso8601(plat_time_now(), date);
  size_t len = sizeof kListHead - 1;
  memcpy(doc, kListHead, len);
  len = append_bucket_entries(doc, len, date);
  memcpy(doc + len, kListTail, sizeof kListTail - 1);
  len += sizeof kListTail - 1;
  doc[len] = 0;
  send_xml(s, doc, len);
  free(doc);
}

void op_get_bucket_location(plat_sock s, S3Request *r) {
  (void)r;
  static const char kDoc[] = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<LocationConstraint xmlns=\"" S3_XMLNS
                             "\"></LocationConstraint>\n";
  send_xml(s, kDoc, sizeof kDoc - 1);
}

void op_create_bucket(plat_sock s, S3Request *r, const char *bucket_dir) {
  // mkdir_p reports only over-long paths; a directory that could not be made (an unwritable
  // root, a plain file of that name) must not be answered as a created bucket.
  if (mkdir_p(bucket_dir) != 0 || !is_directory(bucket_dir)) {
    set_error("mkdir failed: %s", bucket_dir);
    answer_error(s, r, 500, "InternalError", "Failed to create bucket directory");
    return;
  }
  clear_error();
  count_request(0, 0);
  http_send_headers(s, 200, "", 0, 0);
}

void op_delete_bucket(plat_sock s, S3Request *r, const char *bucket_dir) {
  // Every key counts, dot-names included; a walk that cannot finish keeps the bucket.
  int has = dir_has_objects(bucket_dir);
  if (has > 0) {
    answer_error(s, r, 409, "BucketNotEmpty", "The bucket you tried to delete is not empty");
    return;
  }
  if (has < 0) {
    answer_error(s, r, 500, "InternalError", "Failed to delete bucket");
    return;
  }
  if (delete_dir_recursive(bucket_dir) != 0) {
    answer_error(s, r, 500, "InternalError", "Failed to delete bucket");
    return;
  }
  // Uploads in progress and metadata records go with the bucket.
  bucket_remove_records(r->bucket);
  clear_error();
  count_request(0, 0);
  http_send_headers(s, 204, "", 0, 0);
}

void op_head_bucket(plat_sock s, S3Request *r, const char *bucket_dir) {
  plat_stat_t st;
  if (plat_stat(bucket_dir, &st) != 0) {
    answer_error(s, r, 404, "NoSuchBucket", "The specified bucket does not exist");
    return;
  }
  // One object at most: the walk only touches the bucket, its outcome changes nothing.
  object_entry *one = static_cast<object_entry *>(malloc(sizeof(object_entry)));
  if (one) {
    int truncated = 0;
    enumerate_objects(bucket_dir, bucket_dir, one, 1, &truncated);
    free(one);
  }
  clear_error();
  count_request(0, 0);
  http_send_headers(s, 200, "Content-Type: application/xml\r\nx-amz-bucket-region: us-east-1\r\n",
                    0, 0);
}
