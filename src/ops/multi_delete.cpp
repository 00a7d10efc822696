// Multi-object delete (POST /bucket?delete): reads the Delete document whole and, when it is
// sound, removes each listed key's file and metadata file and reports every key in a
// DeleteResult document.
#include <cstdlib>
#include <cstring>

#include "digest/hash.h"
#include "base/limits.h"
#include "base/state.h"
#include "base/text.h"
#include "body/body.h"
#include "http/request.h"
#include "http/response.h"
#include "body/xml_body.h"
#include "ops/ops.h"
#include "platform/platform.h"
#include "store/layout.h"
#include "store/names.h"
#include "store/object.h"
#include "store/versions.h"

namespace {


// Quiet is on when a <Quiet> element holds text of four characters or more that begins with
// "true" (so "trueish" counts, "True" does not).
int quiet_requested(const char *body, size_t len) {
  size_t pos = 0;
  xml_element e;
  if (xml_find_element(body, len, &pos, "Quiet", 0, &e) != 1) return 0;
  return e.text_len >= 4 && memcmp(e.text, "true", 4) == 0;
}

// What one delete did to a versioned key: the version it named or made, and whether that is a
// delete marker.
struct version_result {
  const char *asked;  // the VersionId sent ("" for none)
  const char *vid;    // the marker made or the version removed ("" for none)
  int marker;
};

void append_entry(dynbuf *d, const char *key, const char *code, const char *message,
                  const version_result *v = nullptr) {
  if (!code) {
    dynbuf_printf(d, "  <Deleted>\n    <Key>");
    dynbuf_append_escaped(d, key);
    dynbuf_printf(d, "</Key>\n");
    if (v && v->asked[0]) dynbuf_printf(d, "    <VersionId>%s</VersionId>\n", v->asked);
    if (v && v->marker) {
      dynbuf_printf(d, "    <DeleteMarker>true</DeleteMarker>\n");
      dynbuf_printf(d, "    <DeleteMarkerVersionId>%s</DeleteMarkerVersionId>\n", v->vid);
    }
    dynbuf_printf(d, "  </Deleted>\n");
    return;
  }
  dynbuf_printf(d, "  <Error>\n    <Key>");
  dynbuf_append_escaped(d, key);
  dynbuf_printf(d, "</Key>\n");
  if (v && v->asked[0]) dynbuf_printf(d, "    <VersionId>%s</VersionId>\n", v->asked);
  dynbuf_printf(d, "    <Code>%s</Code>\n    <Message>%s</Message>\n  </Error>\n", code,
                message);
}

}  // namespace

int delete_body_version_id(const char *body, size_t len, size_t from, size_t key_end,
                           char vid[S3_VID_CAP]) {
  vid[0] = 0;
  const char *close = find_bytes(body + key_end, len - key_end, "</Object>");
  size_t end = close ? size_t(close - body) : len;
  const char *open = find_bytes(body + from, end - from, "<Object");
  size_t at = open ? size_t(open - body) : from;
  xml_element e;
  if (xml_find_element(body, end, &at, "VersionId", 0, &e) != 1) return 0;
  char text[S3_VID_CAP + 8];
  if (e.text_len >= sizeof text || xml_element_text(&e, text, sizeof text, XML_NUMERIC) < 0)
    return -1;
  if (!version_id_valid(text)) return -1;
  copy_text(vid, S3_VID_CAP, text);
  return 1;
}

namespace {

// Deletes one listed key (the version vid of it, when given) and reports it. versioned: the
// bucket has versioning. An unversioned removal joins the batch b.
void delete_one(remove_batch *b, dynbuf *d, const char *bucket, const char *key, const char *vid,
                int versioned, int quiet) {
  // The same rules as a key in a request path: no "." or ".." segment (x/./y would delete
  // x/y), no name of the server's own.
  if (!key[0] || !key_stays_inside(key) || !key_has_path(bucket, key)) {
    append_entry(d, key, "InvalidRequest", "Invalid key");
    return;
  }
  if (vid[0] || versioned) {
    char out_vid[S3_VID_CAP];
    int marker = 0;
    version_result v = {vid, out_vid, 0};
    if (object_delete_version(bucket, key, vid, out_vid, &marker) != 0) {
      append_entry(d, key, "InternalError", "Failed to delete", &v);
      return;
    }
    v.marker = marker;
    if (!quiet) append_entry(d, key, nullptr, nullptr, &v);
    return;
  }
  if (object_remove_batched(b, bucket, key) < 0) {
    append_entry(d, key, "InternalError", "Failed to delete");
    return;
  }
  if (!quiet) append_entry(d, key, nullptr, nullptr);
}

// The number of Key elements, counted up to one more than S3 allows.
size_t count_keys(const char *body, size_t len) {
  size_t n = 0;
  for (size_t pos = 0; pos < len && n <= S3_DELETE_MAX_KEYS;) {
    const char *open = find_bytes(body + pos, len - pos, "<Key>");
    if (!open) break;
    n++;
    pos = (size_t)(open - body) + 5;
  }
  return n;
}

// One thread's part of a DeleteObjects: the keys from body position from on, at most count of
// them, removed in its own batch, their entries in its own document part.
struct delete_share {
  const char *raw;
  size_t len;
  size_t from;
  size_t count;
  const char *bucket;
  int versioned;
  int quiet;
  remove_batch batch;
  dynbuf_guard d;
};

constexpr size_t k_share_min_keys = 64;   // fewer are removed by the request's own thread
constexpr size_t k_share_stack = 4u << 20;
constexpr uint32_t k_share_threads_max = 4;  // second threads of all requests at once
uint32_t s_share_threads = 0;                 // changed only atomically

void run_share(delete_share *sh) {
  size_t pos = sh->from;
  char key[S3_KEY_FIELD];
  for (size_t done = 0; done < sh->count; done++) {
    size_t from = pos;
    if (delete_body_next_key(sh->raw, sh->len, &pos, key) != 1) break;
    char vid[S3_VID_CAP];
    if (delete_body_version_id(sh->raw, sh->len, from, pos, vid) < 0) {
      version_result v = {"", "", 0};
      append_entry(&sh->d.b, key, "NoSuchVersion", "The specified version does not exist.", &v);
      continue;
    }
    delete_one(&sh->batch, &sh->d.b, sh->bucket, key, vid, sh->versioned, sh->quiet);
  }
}

int share_main(void *arg) {
  run_share(static_cast<delete_share *>(arg));
  return 0;
}

}  // namespace

int delete_body_next_key(const char *body, size_t len, size_t *pos, char key[S3_KEY_FIELD]) {
  // The first "</Key>" after "<Key>" ends the key, whatever stands between.
  size_t at = *pos;
  xml_element e;
  if (xml_find_element(body, len, &at, "Key", 0, &e) != 1 || e.text_len > S3_KEY_MAX) return 0;
  // The key is the element's text with its XML references decoded, and nothing else: clients
  // send keys as they are, so percent-decoding them here would delete another object (the
  // one named "a b" for a key "a%20b") and report the requested one deleted.
  // Every S3 client writes a key holding & < > " or ' as character references; taking them
  // literally would report the key deleted while it stays stored. A reference that is
  // malformed, or names NUL or a code point beyond U+10FFFF, stays as it is. Decoding never
  // lengthens, so the key always fits.
  if (xml_element_text(&e, key, S3_KEY_FIELD, XML_NUMERIC) < 0) return 0;
  *pos = at;
  return 1;
}

void op_delete_objects(plat_sock s, S3Request *r, stream_state *st) {
  char *raw = nullptr;
  size_t len = 0;
  upload_error err;
  if (read_whole_body(s, r, st, S3_DELETE_BODY_MAX, &raw, &len, &err) != 0) {
    answer_error(s, r, err.status, err.code, err.message);
    return;
  }
  owned_str body(raw);
  // Nothing is deleted unless the whole request is sound: a cut or garbled body, an empty
  // list or one over S3's limit is refused as a whole.
  // XML is UTF-8 here: a key of other bytes makes the document ill-formed.
  size_t keys = xml_well_formed(raw, len, "Delete") && text_is_utf8(raw, len)
                    ? count_keys(raw, len) : 0;
  if (keys == 0 || keys > S3_DELETE_MAX_KEYS) {
    set_error(keys ? "DeleteObjects with more than %zu keys" : "DeleteObjects body malformed",
              S3_DELETE_MAX_KEYS);
    answer_error(s, r, 400, "MalformedXML", MALFORMED_XML);
    return;
  }

  const int quiet = quiet_requested(raw, len);
  const int versioned = bucket_versioning(r->bucket) != VERSIONING_OFF;
  delete_share shares[2];
  for (delete_share &sh : shares) {
    sh.raw = raw;
    sh.len = len;
    sh.bucket = r->bucket;
    sh.quiet = quiet;
    sh.versioned = versioned;
    sh.from = len;
    sh.count = 0;
    remove_batch_begin(&sh.batch);
  }
  // A long list is removed by two threads, each with half the keys (in order: the answer
  // lists the first half, then the second), since each key's removal is mostly the file
  // system's work on one core. The second share starts where the first one's last key ends,
  // so that each key's VersionId is looked for where a single pass looks.
  shares[0].from = 0;
  shares[0].count = keys;
  if (keys >= k_share_min_keys) {
    size_t pos = 0;
    char key[S3_KEY_FIELD];
    size_t half = keys / 2, walked = 0;
    while (walked < half && delete_body_next_key(raw, len, &pos, key) == 1) walked++;
    // A key that ends the processing (one too long) in the first half leaves no second one.
    if (walked == half) {
      shares[0].count = walked;
      shares[1].from = pos;
      shares[1].count = keys;
    }
  }
  plat_thread *helper = nullptr;
  if (shares[1].from < len && place_take(&s_share_threads, k_share_threads_max)) {
    helper = plat_thread_start(share_main, &shares[1], k_share_stack, 0);
    if (!helper) place_release(&s_share_threads);
  }
  run_share(&shares[0]);
  if (helper) {
    while (plat_thread_wait(helper, 60000) == 0) {
    }
    plat_thread_release(helper);
    place_release(&s_share_threads);
  } else if (shares[1].from < len) {
    run_share(&shares[1]);
  }
  for (delete_share &sh : shares) remove_batch_sync(&sh.batch);
  dynbuf_guard doc;
  dynbuf *d = &doc.b;
  dynbuf_printf(d, "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<DeleteResult>\n");
  for (delete_share &sh : shares) {
    if (sh.d.b.failed) d->failed = 1;
    if (sh.d.b.len) dynbuf_append(d, sh.d.b.data, sh.d.b.len);
  }
  dynbuf_printf(d, "</DeleteResult>\n");
  if (!d->failed) {
    count_request(d->len, 0);
    http_send_obj_headers(s, &r->answer, 200, "application/xml", d->len, nullptr);
    http_write_all(s, &r->answer, d->data, d->len);
  }
  // The space of what was removed is given back after the answer.
  for (delete_share &sh : shares) remove_batch_end(&sh.batch);
}
