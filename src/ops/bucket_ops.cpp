// Service and bucket operations: ListBuckets, CreateBucket, DeleteBucket, HeadBucket and
// GetBucketLocation. A bucket is nothing but a directory directly under the storage root.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "base/date.h"
#include "base/state.h"
#include "http/response.h"
#include "ops/ops.h"
#include "store/files.h"
#include "store/object.h"
#include "store/walk.h"

static const char kListHead[] =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<ListAllMyBucketsResult xmlns=\"" S3_XMLNS
    "\">\n  <Owner>\n    <ID>quillmarlocal</ID>\n    <DisplayName>local</DisplayName>\n"
    "  </Owner>\n  <Buckets>\n";
static const char kListTail[] = "  </Buckets>\n</ListAllMyBucketsResult>\n";

static void send_xml(plat_sock s, const S3Request *r, const char *doc, size_t len) {
  count_request(len, 0);
  http_send_obj_headers(s, &r->answer, 200, "application/xml", len, nullptr);
  http_write_all(s, &r->answer, doc, len);
}

// Every visible entry of the storage root, sorted byte-wise. Grows with the number of
// buckets, which only CreateBucket adds to, never with what one request sends.
struct root_names {
  char (*slots)[S3_NAME_SLOT] = nullptr;
  size_t count = 0, cap = 0;
  ~root_names() { free(slots); }
};

static int read_root_names(root_names *rn) {
  plat_dir *d = plat_dir_open(s_storage_root);
  if (!d) return 0;  // no root yet: no buckets
  char name[S3_NAME_SLOT];
  int is_dir = 0;
  int rc = 0;
  while (plat_dir_next(d, name, sizeof name, &is_dir) == 1) {
    // The metadata and upload trees, other hidden entries, and links that are not ours.
    if (!root_entry_is_bucket(s_storage_root, name)) continue;
    if (rn->count == rn->cap) {
      size_t nc = rn->cap ? rn->cap * 2 : 64;
      void *p = realloc(rn->slots, nc * S3_NAME_SLOT);
      if (!p) {
        rc = -1;
        break;
      }
      rn->slots = static_cast<char (*)[S3_NAME_SLOT]>(p);
      rn->cap = nc;
    }
    copy_text(rn->slots[rn->count++], S3_NAME_SLOT, name);
  }
  plat_dir_close(d);
  if (rc == 0 && rn->count > 1)
    qsort(rn->slots, rn->count, S3_NAME_SLOT,
          [](const void *a, const void *b) { return strcmp((const char *)a, (const char *)b); });
  return rc;
}

// The whole ListAllMyBucketsResult into doc; 0, or -1 when memory ran out. Names that did not
// come through CreateBucket (plain files in the root) may hold "&" or "<": they are escaped.
static int build_bucket_list(dynbuf *doc) {
  root_names rn;
  if (read_root_names(&rn) != 0) return -1;
  char date[64];
  format_iso8601(plat_time_now(), date);
  dynbuf_append(doc, kListHead, sizeof kListHead - 1);
  for (size_t i = 0; i < rn.count; i++) {
    dynbuf_printf(doc, "    <Bucket>\n      <Name>");
    dynbuf_append_escaped(doc, rn.slots[i]);
    dynbuf_printf(doc, "</Name>\n      <CreationDate>%s</CreationDate>\n    </Bucket>\n", date);
  }
  dynbuf_append(doc, kListTail, sizeof kListTail - 1);
  return doc->failed ? -1 : 0;
}

void op_list_buckets(plat_sock s, S3Request *r) {
  dynbuf_guard doc;
  if (build_bucket_list(&doc.b) != 0) {
    // A document with buckets left out would tell the client they are gone.
    answer_error(s, r, 500, "InternalError", "Failed to list buckets");
    return;
  }
  send_xml(s, r, doc.b.data, doc.b.len);
}

void op_get_bucket_location(plat_sock s, S3Request *r) {
  (void)r;
  static const char kDoc[] = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<LocationConstraint xmlns=\"" S3_XMLNS
                             "\"></LocationConstraint>\n";
  send_xml(s, r, kDoc, sizeof kDoc - 1);
}

void op_create_bucket(plat_sock s, S3Request *r, const char *bucket_dir) {
  // Exclusively under the bucket lock: a DeleteBucket of the same name runs wholly before or
  // after, never around the directory being made.
  bucket_lock_guard held(r->bucket, 1, 1);
  if (held.timed_out()) {
    answer_store_busy(s, r, 0);
    return;
  }
  // mkdir_p reports only over-long paths; a directory that could not be made (an unwritable
  // root, a plain file of that name) must not be answered as a created bucket.
  if (mkdir_p(bucket_dir) != 0 || !is_directory(bucket_dir)) {
    set_error("mkdir failed: %s", bucket_dir);
    answer_error(s, r, 500, "InternalError", "Failed to create bucket directory");
    return;
  }
  clear_error();
  count_request(0, 0);
  http_send_headers(s, &r->answer, 200, "", 0, 0);
}

void op_delete_bucket(plat_sock s, S3Request *r, const char *bucket_dir) {
  if (!is_directory(bucket_dir)) {
    answer_error(s, r, 404, "NoSuchBucket", "The specified bucket does not exist");
    return;
  }
  // The check and the removal run under the bucket lock, so an upload answered 200 is either
  // seen here (and the bucket kept) or refused because the bucket is gone. Every key counts,
  // dot-names and folder markers included; a walk that cannot finish keeps the bucket.
  int rc = bucket_delete(r->bucket);
  if (rc == 2) {
    answer_error(s, r, 404, "NoSuchBucket", "The specified bucket does not exist");
    return;
  }
  if (rc > 0) {
    answer_error(s, r, 409, "BucketNotEmpty", "The bucket you tried to delete is not empty");
    return;
  }
  if (rc == STORE_BUSY) {
    answer_store_busy(s, r, 0);
    return;
  }
  if (rc < 0) {
    answer_error(s, r, 500, "InternalError", "Failed to delete bucket");
    return;
  }
  clear_error();
  count_request(0, 0);
  http_send_headers(s, &r->answer, 204, "", 0, 0);
}

void op_head_bucket(plat_sock s, S3Request *r, const char *bucket_dir) {
  if (!is_directory(bucket_dir)) {
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
  http_send_headers(s, &r->answer, 200,
                    "Content-Type: application/xml\r\nx-amz-bucket-region: us-east-1\r\n", 0, 0);
}
