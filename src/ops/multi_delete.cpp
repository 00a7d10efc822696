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

namespace {


// Quiet is on when a <Quiet> element holds text of four characters or more that begins with
// "true" (so "trueish" counts, "True" does not).
int quiet_requested(const char *body, size_t len) {
  size_t pos = 0;
  xml_element e;
  if (xml_find_element(body, len, &pos, "Quiet", 0, &e) != 1) return 0;
  return e.text_len >= 4 && memcmp(e.text, "true", 4) == 0;
}

void append_entry(dynbuf *d, const char *key, const char *code, const char *message) {
  if (!code) {
    dynbuf_printf(d, "  <Deleted>\n    <Key>");
    dynbuf_append_escaped(d, key);
    dynbuf_printf(d, "</Key>\n  </Deleted>\n");
    return;
  }
  dynbuf_printf(d, "  <Error>\n    <Key>");
  dynbuf_append_escaped(d, key);
  dynbuf_printf(d, "</Key>\n    <Code>%s</Code>\n    <Message>%s</Message>\n  </Error>\n", code,
                message);
}

// Deletes one listed key and reports it.
void delete_one(remove_batch *b, dynbuf *d, const char *bucket, const char *key, int quiet) {
  char path[S3_FS_PATH];
  // The same rules as a key in a request path: no "." or ".." segment (x/./y would delete
  // x/y), no name of the server's own.
  if (!key[0] || !key_stays_inside(key) || object_path(bucket, key, path) != 0) {
    append_entry(d, key, "InvalidRequest", "Invalid key");
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

  int quiet = quiet_requested(raw, len);
  dynbuf_guard doc;
  dynbuf *d = &doc.b;
  dynbuf_printf(d, "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<DeleteResult>\n");
  size_t pos = 0;
  char key[S3_KEY_FIELD];
  // The removals wait for the disk once, not once per key, and what they leave is unlinked
  // after the answer.
  remove_batch batch;
  remove_batch_begin(&batch);
  while (delete_body_next_key(raw, len, &pos, key) == 1)
    delete_one(&batch, d, r->bucket, key, quiet);
  remove_batch_sync(&batch);
  dynbuf_printf(d, "</DeleteResult>\n");
  if (!d->failed) {
    count_request(d->len, 0);
    http_send_obj_headers(s, &r->answer, 200, "application/xml", d->len, nullptr);
    http_write_all(s, &r->answer, d->data, d->len);
  }
  remove_batch_end(&batch);
}
