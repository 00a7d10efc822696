// Tagging: GetObjectTagging, PutObjectTagging and DeleteObjectTagging on an object's record;
// GetBucketTagging, PutBucketTagging and DeleteBucketTagging on the bucket's tag file; the
// checks of x-amz-tagging on the writes that take it; and S3's answers to a tag set it refuses.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "base/state.h"
#include "body/body.h"
#include "http/request.h"
#include "http/response.h"
#include "ops/ops.h"
#include "ops/versions_ops.h"
#include "store/bucket_tags.h"
#include "store/layout.h"
#include "store/object.h"
#include "store/tags.h"

namespace {

const char kNoMemory[] = "We encountered an internal error. Please try again.";

// The tag set of a PutObjectTagging or PutBucketTagging body, at most max tags. 0 with the set
// in out; -1 after the error answer.
int read_tag_body(plat_sock s, S3Request *r, stream_state *st, size_t max, int for_bucket,
                  tag_set *out, size_t *got) {
  char *body = nullptr;
  *got = 0;
  upload_error err;
  if (read_whole_body(s, r, st, S3_TAGGING_BODY_MAX, &body, got, &err) != 0) {
    answer_upload_error(s, r, *got, err.status, err.code, err.message);
    return -1;
  }
  owned_str held(body);
  tag_verdict v = tags_parse_xml(body, *got, max, out);
  if (v != TAGS_OK) {
    set_error("tag set refused");
    answer_tag_verdict(s, r, v, for_bucket, *got);
    return -1;
  }
  return 0;
}

// 200 with the Tagging document of set, counted with what was sent.
void answer_tag_document(plat_sock s, S3Request *r, const tag_set *set) {
  dynbuf_guard doc;
  tags_render_xml(set, &doc.b);
  if (doc.b.failed) {
    answer_error(s, r, 500, "InternalError", kNoMemory);
    return;
  }
  answer_xml(s, r, &doc.b, doc.b.len, 0);
}

// The answer to object_set_tags' result. 1 when it was an error (answered), 0 on success.
int answer_set_tags_failure(plat_sock s, S3Request *r, int rc, uint64_t uploaded) {
  if (rc == 0) return 0;
  if (rc == COMMIT_NO_OBJECT)
    answer_upload_error(s, r, uploaded, 404, "NoSuchKey", "The specified key does not exist");
  else if (rc == COMMIT_SLOW_DOWN)
    answer_store_busy(s, r, uploaded);
  else
    answer_upload_error(s, r, uploaded, 500, "InternalError", "Failed to store the tag set");
  return 1;
}

// 1 when the request's key has a path in the store; otherwise answered 400 KeyTooLongError.
int key_has_path(plat_sock s, S3Request *r) {
  char path[S3_FS_PATH];
  if (object_path(r->bucket, r->key, path) == 0) return 1;
  answer_key_too_long(s, r);
  return 0;
}

}  // namespace

void answer_tag_verdict(plat_sock s, S3Request *r, tag_verdict v, int for_bucket,
                        uint64_t uploaded) {
  int status = 400;
  const char *code = "InvalidTag";
  const char *message = "The TagKey you have provided is invalid";
  switch (v) {
    case TAGS_OK:
    case TAGS_MALFORMED:
      code = "MalformedXML";
      message = MALFORMED_XML;
      break;
    case TAGS_BAD_HEADER:
      code = "InvalidArgument";
      message = "The header 'x-amz-tagging' shall be encoded as UTF-8 then URLEncoded URL query "
                "parameters without tag name duplicates.";
      break;
    case TAGS_DUPLICATE:
      message = "Cannot provide multiple Tags with the same key";
      break;
    case TAGS_TOO_MANY:
      code = "BadRequest";
      message = for_bucket ? "Bucket tag count cannot be greater than 50"
                           : "Object tags cannot be greater than 10";
      break;
    case TAGS_BAD_KEY:
      break;
    case TAGS_BAD_VALUE:
      message = "The TagValue you have provided is invalid";
      break;
    case TAGS_SYSTEM_KEY:
      message = "Your TagKey cannot be prefixed with aws:";
      break;
  }
  answer_upload_error(s, r, uploaded, status, code, message);
}

int check_request_tagging(plat_sock s, S3Request *r) {
  const char *value = nullptr;
  size_t len = 0;
  if (!tags_head_value(r->head, r->head_len, &value, &len)) return 0;
  tag_set_box box;
  if (!box.set) {
    answer_error(s, r, 500, "InternalError", kNoMemory);
    return -1;
  }
  tag_verdict v;
  if (!tags_from_head(r->head, r->head_len, box.set, &v) || v == TAGS_OK) return 0;
  answer_tag_verdict(s, r, v, 0, 0);
  return -1;
}

void op_get_object_tagging(plat_sock s, S3Request *r) {
  if (!key_has_path(s, r)) return;
  tag_set_box box;
  if (!box.set) {
    answer_error(s, r, 500, "InternalError", kNoMemory);
    return;
  }
  char vid[S3_VID_CAP];
  if (request_version_id(s, r, vid) != 0) return;
  object_view_guard view;
  int rc = object_snapshot_version(r->bucket, r->key, vid, &view.v, 0, nullptr, box.set);
  if (rc == STORE_BUSY) {
    answer_store_busy(s, r, 0);
    return;
  }
  if (rc == VERSION_IS_MARKER) {
    answer_version_lines(r, view.v.version_id, 1);
    answer_error(s, r, 405, "MethodNotAllowed",
                 "The specified method is not allowed against this resource.");
    return;
  }
  if (rc != 0) {
    if (vid[0])
      answer_error(s, r, 404, "NoSuchVersion", "The specified version does not exist.");
    else
      answer_error(s, r, 404, "NoSuchKey", "The specified key does not exist");
    return;
  }
  answer_version_lines(r, view.v.version_id, 0);
  answer_tag_document(s, r, box.set);
}

// A tag change names the current version or none: the tags of older versions are kept as they
// were written. 0 go on (the answer then names the current version's id), -1 answered.
static int tag_change_version(plat_sock s, S3Request *r) {
  char vid[S3_VID_CAP];
  if (request_version_id(s, r, vid) != 0) return -1;
  object_view_guard view;
  int rc = object_snapshot(r->bucket, r->key, &view.v);
  if (rc == 0) answer_version_lines(r, view.v.version_id, 0);
  if (!vid[0] || (rc == 0 && strcmp(view.v.version_id, vid) == 0)) return 0;
  r->answer.version_lines[0] = 0;
  answer_not_implemented(s, r);
  return -1;
}

void op_put_object_tagging(plat_sock s, S3Request *r, stream_state *st) {
  if (!key_has_path(s, r)) return;
  if (tag_change_version(s, r) != 0) return;
  tag_set_box box;
  if (!box.set) {
    answer_error(s, r, 500, "InternalError", kNoMemory);
    return;
  }
  size_t got = 0;
  if (read_tag_body(s, r, st, S3_OBJECT_TAGS_MAX, 0, box.set, &got) != 0) return;
  if (answer_set_tags_failure(s, r, object_set_tags(r->bucket, r->key, box.set), got)) return;
  clear_error();
  count_request(0, got);
  http_send_headers(s, &r->answer, 200, "", 0, 1);
}

void op_delete_object_tagging(plat_sock s, S3Request *r) {
  if (!key_has_path(s, r)) return;
  if (tag_change_version(s, r) != 0) return;
  if (answer_set_tags_failure(s, r, object_set_tags(r->bucket, r->key, nullptr), 0)) return;
  clear_error();
  count_request(0, 0);
  http_send_headers(s, &r->answer, 204, "", 0, 0);
}

void op_get_bucket_tagging(plat_sock s, S3Request *r) {
  tag_set_box box;
  if (!box.set) {
    answer_error(s, r, 500, "InternalError", kNoMemory);
    return;
  }
  int rc = bucket_tags_load(r->bucket, box.set);
  if (rc < 0) {
    set_error("cannot read the tags of %s", r->bucket);
    answer_error(s, r, 500, "InternalError", "Failed to read the tag set");
  } else if (rc == 0 || box.set->count == 0) {
    answer_error(s, r, 404, "NoSuchTagSet", "The TagSet does not exist");
  } else {
    answer_tag_document(s, r, box.set);
  }
}

void op_put_bucket_tagging(plat_sock s, S3Request *r, stream_state *st) {
  tag_set_box box;
  if (!box.set) {
    answer_error(s, r, 500, "InternalError", kNoMemory);
    return;
  }
  size_t got = 0;
  if (read_tag_body(s, r, st, S3_BUCKET_TAGS_MAX, 1, box.set, &got) != 0) return;
  if (bucket_tags_save(r->bucket, box.set) != 0) {
    answer_upload_error(s, r, got, 500, "InternalError", "Failed to store the tag set");
    return;
  }
  clear_error();
  count_request(0, got);
  http_send_headers(s, &r->answer, 204, "", 0, 0);
}

void op_delete_bucket_tagging(plat_sock s, S3Request *r) {
  if (bucket_tags_remove(r->bucket) != 0) {
    answer_error(s, r, 500, "InternalError", "Failed to remove the tag set");
    return;
  }
  count_request(0, 0);
  http_send_headers(s, &r->answer, 204, "", 0, 0);
}
