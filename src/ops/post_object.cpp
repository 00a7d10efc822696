// POST Object: a browser form upload to /bucket. The fields before the file are read into a
// bounded form, checked against the signed policy, and the file part then streams through the
// store's object writer with its MD5 computed on the way, like a PutObject body, before it is
// committed.
#include "ops/post_object.h"
#include "http/conn.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "digest/hash.h"
#include "auth/sigv2.h"
#include "auth/sigv4.h"
#include "base/state.h"
#include "base/text.h"
#include "body/body.h"
#include "body/form_data.h"
#include "digest/running.h"
#include "ops/checksums.h"
#include "ops/ops.h"
#include "ops/versions_ops.h"
#include "store/files.h"
#include "store/layout.h"
#include "store/names.h"
#include "store/object.h"
#include "store/writer.h"

namespace {

const char kMalformedPost[] =
    "The body of your POST request is not well-formed multipart/form-data.";

// The form and the reader are large; both live on the heap for the request.
struct post_state {
  form_reader reader;
  post_form form;
  form_part file;
};

struct post_state_guard {
  post_state *p = static_cast<post_state *>(calloc(1, sizeof(post_state)));
  ~post_state_guard() { free(p); }
};

// Reads the value of the current part into the form. 0, or -1 when it does not fit.
int take_field(form_reader *r, post_form *f, const char *name) {
  if (f->count >= POST_FIELDS_MAX) return -1;
  post_field *fld = &f->fields[f->count];
  copy_text(fld->name, sizeof fld->name, name);
  fld->value_at = f->used;
  fld->covered = 0;
  for (;;) {
    size_t room = sizeof f->values - f->used;
    if (room <= 1) return -1;
    long got = form_read(r, f->values + f->used, room - 1);
    if (got < 0) return -1;
    if (got == 0) break;
    f->used += (size_t)got;
  }
  f->values[f->used++] = 0;
  f->count++;
  return 0;
}

constexpr int FIELD_TWICE = -2;

// Reads the fields up to the file part (S3 ignores whatever follows it). 1 at the file (its
// header in *file), 0 the form has none, -1 malformed or beyond the bounds, FIELD_TWICE when a
// field's name (without regard to case) came before: the policy would judge one value and the
// object keep another. Fields named x-ignore-* are ignored by S3 and may repeat.
int collect_fields(form_reader *r, post_form *f, form_part *file) {
  for (;;) {
    int rc = form_next_part(r, file);
    if (rc <= 0) return rc;
    if (ieq(file->name, "file")) return 1;
    if (!istarts_with(file->name, "x-ignore-") && post_field_value(f, file->name))
      return FIELD_TWICE;
    if (take_field(r, f, file->name) != 0) return -1;
  }
}

// The key field with every ${filename} replaced by the file's name (its last path segment, as
// some browsers send a whole path). 0, or -1 when the result is too long.
int resolve_key(post_form *f, const char *filename) {
  const char *key = post_field_value(f, "key");
  const char *base = filename;
  for (const char *p = filename; *p; p++)
    if (*p == '/' || *p == '\\') base = p + 1;
  size_t n = 0, bl = strlen(base);
  for (const char *p = key; *p;) {
    if (strncmp(p, "${filename}", 11) == 0) {
      if (n + bl >= sizeof f->key) return -1;
      memcpy(f->key + n, base, bl);
      n += bl;
      p += 11;
    } else {
      if (n + 1 >= sizeof f->key) return -1;
      f->key[n++] = *p++;
    }
  }
  f->key[n] = 0;
  return 0;
}

int missing_field(post_verdict *v, const char *name) {
  v->status = 400;
  v->code = "InvalidArgument";
  snprintf(v->message, sizeof v->message,
           "Bucket POST must contain a field named '%s'.  If it is specified, please check the "
           "order of the fields.", name);
  return -1;
}

// A Version 2 form's signature over its policy: 0, or -1 with *v set.
int check_v2_signature(post_form *f, post_verdict *v) {
  static const char *const kNeeded[] = {"policy", "signature"};
  for (const char *name : kNeeded)
    if (!post_field_value(f, name)) return missing_field(v, name);
  int rc = sigv2_verify_policy(post_field_value(f, "policy"), post_field_value(f, "AWSAccessKeyId"),
                               post_field_value(f, "signature"));
  if (rc != 1) {
    v->status = 403;
    v->code = rc < 0 ? "InvalidAccessKeyId" : "SignatureDoesNotMatch";
    copy_text(v->message, sizeof v->message,
              rc < 0 ? "The AWS Access Key Id you provided does not exist in our records."
                     : "The request signature we calculated does not match the signature you "
                       "provided. Check your key and signing method.");
    return -1;
  }
  return 0;
}

// A Version 2 form's AWSAccessKeyId and signature fields need no condition of the policy, as
// x-amz-signature needs none.
void exempt_v2_fields(post_form *f) {
  for (size_t i = 0; i < f->count; i++)
    if (ieq(f->fields[i].name, "AWSAccessKeyId") || ieq(f->fields[i].name, "signature"))
      f->fields[i].covered = 1;
}

// The signature and the policy: 0 when the form may be stored (with its length range in *v),
// -1 with *v set. With authentication off, a form without a policy passes.
int check_form(post_form *f, post_verdict *v) {
  v->status = 0;
  v->min_len = 0;
  v->max_len = UINT64_MAX;
  int auth_on = s_access_key[0] && s_secret_key[0];
  const char *policy = post_field_value(f, "policy");
  // A form signed with Version 2 names its key in AWSAccessKeyId and has no x-amz-algorithm.
  int v2 = !post_field_value(f, "x-amz-algorithm") && post_field_value(f, "AWSAccessKeyId");
  if (v2) exempt_v2_fields(f);
  if (auth_on && v2) {
    if (check_v2_signature(f, v) != 0) return -1;
  } else if (auth_on) {
    static const char *const kNeeded[] = {"policy", "x-amz-algorithm", "x-amz-credential",
                                          "x-amz-date", "x-amz-signature"};
    for (const char *name : kNeeded)
      if (!post_field_value(f, name)) return missing_field(v, name);
    if (strcmp(post_field_value(f, "x-amz-algorithm"), "AWS4-HMAC-SHA256") != 0) {
      v->status = 400;
      v->code = "InvalidArgument";
      copy_text(v->message, sizeof v->message, "Only AWS4-HMAC-SHA256 is supported.");
      return -1;
    }
    if (sigv4_verify_policy(policy, post_field_value(f, "x-amz-credential"),
                            post_field_value(f, "x-amz-signature")) != 1) {
      v->status = 403;
      v->code = "SignatureDoesNotMatch";
      copy_text(v->message, sizeof v->message,
                "The request signature we calculated does not match the signature you provided. "
                "Check your key and signing method.");
      return -1;
    }
  }
  if (!policy) return 0;
  unsigned char *doc = static_cast<unsigned char *>(malloc(POST_POLICY_MAX + 1));
  if (!doc) {
    v->status = 500;
    v->code = "InternalError";
    copy_text(v->message, sizeof v->message, "Out of memory");
    return -1;
  }
  size_t n = strlen(policy) / 4 * 3 + 3 > POST_POLICY_MAX ? 0 : base64_decode_n(policy, doc, POST_POLICY_MAX);
  int rc = post_policy_check((const char *)doc, n, f, server_now(), v);
  free(doc);
  return rc;
}

constexpr int FILE_STORED = 0;
constexpr int FILE_TOO_LARGE = 1;
constexpr int FILE_BROKEN = -1;   // the body broke off or was malformed: the client's fault
constexpr int FILE_UNSTORED = 2;  // the file could not be written: the server's

// Streams the file part into the writer with its MD5: FILE_STORED, FILE_TOO_LARGE (the rest
// is not read), FILE_BROKEN or FILE_UNSTORED.
int stream_file(form_reader *r, object_writer *w, uint64_t max, char etag[33], uint64_t *len,
                body_digests *digests) {
  if (writer_open(w) != 0) return FILE_UNSTORED;
  body_hashing hash;
  hashing_init(&hash, digests);
  static constexpr size_t BLOCK = 65536;
  char *block = static_cast<char *>(malloc(BLOCK));
  if (!block) return FILE_UNSTORED;
  int rc = 0;
  for (;;) {
    long got = form_read(r, block, BLOCK);
    if (got <= 0) {
      rc = got < 0 ? FILE_BROKEN : FILE_STORED;
      break;
    }
    *len += (uint64_t)got;
    if (*len > max) {
      rc = FILE_TOO_LARGE;
      break;
    }
    if (writer_write(w, block, (size_t)got) != 0) {
      rc = FILE_UNSTORED;
      break;
    }
    hashing_update(&hash, block, (size_t)got);
  }
  free(block);
  if (writer_finish(w) != 0 && rc == FILE_STORED) rc = FILE_UNSTORED;
  hashing_final(&hash, etag);
  return rc;
}

// The checksum a form upload is stored with: the algorithm of an x-amz-checksum-ALG field
// (whose value the file must then match) or of x-amz-checksum-algorithm, else CRC64NVME.
// *given is the field's value, or null.
int form_checksum_algo(const post_form *f, const char **given) {
  *given = nullptr;
  for (size_t i = 0; i < f->count; i++) {
    const char *name = f->fields[i].name;
    int a = ck_from_name(name, strlen(name));
    if (a != CK_NONE) {
      *given = f->values + f->fields[i].value_at;
      return a;
    }
  }
  const char *named = post_field_value(f, "x-amz-checksum-algorithm");
  int a = named ? ck_from_algo_name(named, strlen(named)) : CK_NONE;
  return stored_checksum_algo(a);
}

// The x-amz-meta-* fields as header lines for the metadata record; a value with a line break
// is left out, as it would make a line of its own.
void meta_lines(const post_form *f, dynbuf *out) {
  for (size_t i = 0; i < f->count; i++) {
    const char *v = f->values + f->fields[i].value_at;
    if (!istarts_with(f->fields[i].name, "x-amz-meta-") || strpbrk(v, "\r\n")) continue;
    dynbuf_printf(out, "%s: %s\r\n", f->fields[i].name, v);
  }
}

// Percent-encodes text for a URL into out; keep_slash leaves "/" as it is (a key in a path).
void url_encode(dynbuf *out, const char *text, int keep_slash = 0) {
  static const char kHex[] = "0123456789ABCDEF";
  for (const unsigned char *p = (const unsigned char *)text; *p; p++) {
    char c = (char)*p;
    if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
        strchr("-_.~", c) || (keep_slash && c == '/')) {
      dynbuf_append(out, &c, 1);
    } else {
      char e[3] = {'%', kHex[*p >> 4], kHex[*p & 15]};
      dynbuf_append(out, e, 3);
    }
  }
}

// 1 when a redirect target can be sent back in a Location line: an http(s) URL without
// control characters.
int usable_redirect(const char *url) {
  if (!url || !(istarts_with(url, "http://") || istarts_with(url, "https://"))) return 0;
  for (const char *p = url; *p; p++)
    if ((unsigned char)*p < 0x21 || *p == 0x7f) return 0;
  return 1;
}

// The success answer: a redirect when one is asked for, else success_action_status (200, 201
// with the PostResponse document, 204 otherwise).
void answer_stored(plat_sock s, const S3Request *r, const post_form *f, const char *etag,
                   const record_checksum *sum) {
  dynbuf_guard location;
  dynbuf_printf(&location.b, "http://%s/", r->host[0] ? r->host : "localhost");
  url_encode(&location.b, f->bucket);
  dynbuf_append(&location.b, "/", 1);
  url_encode(&location.b, f->key, 1);
  const char *redirect = post_field_value(f, "success_action_redirect");
  if (!redirect) redirect = post_field_value(f, "redirect");
  dynbuf_guard head;
  char sum_lines[160];
  checksum_header_lines(sum->algo, sum->type, sum->value, sum_lines, sizeof sum_lines);
  dynbuf_printf(&head.b, "ETag: \"%s\"\r\n%s%s", etag, sum_lines, SSE_ANSWER_HEADER);
  if (usable_redirect(redirect)) {
    dynbuf_printf(&head.b, "Location: %s%sbucket=", redirect, strchr(redirect, '?') ? "&" : "?");
    url_encode(&head.b, f->bucket);
    dynbuf_append(&head.b, "&key=", 5);
    url_encode(&head.b, f->key);
    dynbuf_printf(&head.b, "&etag=%%22%s%%22\r\n", etag);
    http_send_headers(s, &r->answer, 303, head.b.data, 0, 1);
    return;
  }
  dynbuf_printf(&head.b, "Location: %s\r\n", location.b.data);
  const char *status = post_field_value(f, "success_action_status");
  if (status && strcmp(status, "201") == 0) {
    dynbuf_guard doc;
    dynbuf_printf(&doc.b, "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<PostResponse><Location>");
    dynbuf_append_escaped(&doc.b, location.b.data);
    dynbuf_append(&doc.b, "</Location><Bucket>", 19);
    dynbuf_append_escaped(&doc.b, f->bucket);
    dynbuf_append(&doc.b, "</Bucket><Key>", 14);
    dynbuf_append_escaped(&doc.b, f->key);
    dynbuf_printf(&doc.b, "</Key><ETag>&quot;%s&quot;</ETag></PostResponse>", etag);
    http_send_obj_headers(s, &r->answer, 201, "application/xml", doc.b.len, head.b.data);
    http_write_all(s, &r->answer, doc.b.data, doc.b.len);
  } else {
    http_send_headers(s, &r->answer, status && strcmp(status, "200") == 0 ? 200 : 204, head.b.data,
                      0, status && strcmp(status, "200") == 0);
  }
}

// Reads the form up to its file and decides on it. 0 with the key resolved and the length
// range in *v; -1 with *v set.
int read_and_check_form(plat_sock s, S3Request *r, post_state *st, const char *boundary,
                        uint64_t body_len, post_verdict *v) {
  form_init(&st->reader, s, r->body_prefix, r->body_prefix_len, body_len, boundary);
  copy_text(st->form.bucket, sizeof st->form.bucket, r->bucket);
  int rc = collect_fields(&st->reader, &st->form, &st->file);
  v->status = 400;
  if (rc == FIELD_TWICE) {
    v->code = "InvalidArgument";
    char name[FORM_NAME_MAX * 6 + 1];
    xml_escape_str(st->file.name, name, sizeof name);
    snprintf(v->message, sizeof v->message, "POST form field '%s' appears more than once.", name);
    return -1;
  }
  if (rc < 0) {
    v->code = "MalformedPOSTRequest";
    copy_text(v->message, sizeof v->message, kMalformedPost);
    return -1;
  }
  if (!post_field_value(&st->form, "key")) return missing_field(v, "key");
  if (rc == 0) {
    v->code = "InvalidArgument";
    copy_text(v->message, sizeof v->message, "POST requires exactly one file upload per request.");
    return -1;
  }
  char path[S3_FS_PATH];
  if (resolve_key(&st->form, st->file.filename) != 0 || !st->form.key[0] ||
      strlen(st->form.key) > S3_KEY_MAX || !key_is_storable(st->form.key) ||
      !key_stays_inside(st->form.key) || object_path(r->bucket, st->form.key, path) != 0) {
    v->code = "InvalidArgument";
    copy_text(v->message, sizeof v->message, "The key is not valid.");
    return -1;
  }
  return check_form(&st->form, v);
}

// The content type the object keeps: the form's Content-Type field, else the file part's.
const char *form_content_type(const post_state *st) {
  const char *ct = post_field_value(&st->form, "Content-Type");
  if (!ct) ct = st->file.content_type;
  return strpbrk(ct, "\r\n") ? "" : ct;
}

// Streams the file, checks its length against the policy and commits it. 0 stored (etag set),
// -1 answered.
int store_file(plat_sock s, S3Request *r, post_state *st, const post_verdict *v, char etag[33],
               record_checksum *sum, const tag_set *tags) {
  object_writer_guard w;
  uint64_t len = 0;
  if (writer_begin_object(&w.w, r->bucket, st->form.key) != 0) {
    answer_error(s, r, 500, "InternalError", "Failed to store object body");
    return -1;
  }
  uint64_t max = v->max_len < S3_BODY_MAX ? v->max_len : S3_BODY_MAX;
  const char *given = nullptr;
  const int algo = form_checksum_algo(&st->form, &given);
  body_digests digests;
  memset(&digests, 0, sizeof digests);
  ck_want(&digests, algo);
  int rc = stream_file(&st->reader, &w.w, max, etag, &len, &digests);
  if (rc != FILE_STORED || len < v->min_len) {
    writer_abort(&w.w);
    if (rc == FILE_TOO_LARGE)
      answer_upload_error(s, r, len, 400, "EntityTooLarge", "Your proposed upload exceeds the maximum allowed size");
    else if (rc == FILE_STORED)
      answer_upload_error(s, r, len, 400, "EntityTooSmall", "Your proposed upload is smaller than the minimum allowed size");
    else if (rc == FILE_UNSTORED)
      answer_upload_error(s, r, len, 500, "InternalError", "Failed to store object body");
    else
      answer_upload_error(s, r, len, 400, "MalformedPOSTRequest", kMalformedPost);
    return -1;
  }
  if (given) {
    const ck_info *info = ck_info_of(algo);
    int c = ck_compare(&digests, algo, given);
    if (c != 1) {
      writer_abort(&w.w);
      if (c < 0)
        answer_upload_error(s, r, len, 400, "InvalidRequest", info->header_invalid);
      else
        answer_upload_error(s, r, len, 400, "BadDigest", info->bad_message);
      return -1;
    }
  }
  sum->algo = algo;
  sum->type = CK_TYPE_FULL_OBJECT;
  char b64[CK_B64_CAP];
  ck_digest_b64(&digests, algo, b64);
  copy_text(sum->value, sizeof sum->value, b64);
  dynbuf_guard meta;
  meta_lines(&st->form, &meta.b);
  if (tags->count) {
    char *line = static_cast<char *>(malloc(S3_TAG_HEADER_CAP));
    size_t n = line ? tags_render_header(tags, line, S3_TAG_HEADER_CAP) : 0;
    if (n) dynbuf_append(&meta.b, line, n);
    free(line);
    // A form whose tags cannot be recorded must not store its object without them.
    if (!n || meta.b.failed) {
      writer_abort(&w.w);
      answer_upload_error(s, r, len, 500, "InternalError", "Failed to store object body");
      return -1;
    }
  }
  int committed = writer_commit_object(&w.w, etag, form_content_type(st), meta.b.data,
                                       meta.b.len, nullptr, nullptr, sum);
  if (committed == COMMIT_SLOW_DOWN || committed == COMMIT_NO_BUCKET) {
    answer_commit_verdict(s, r, committed, len);
    return -1;
  }
  if (committed != 0) {
    set_error("rename failed: %s", writer_temp_path(&w.w));
    answer_upload_error(s, r, len, 500, "InternalError", "Failed to move object into place");
    return -1;
  }
  clear_error();
  answer_version_lines(r, w.w.vid, 0);
  count_request(0, len);
  return 0;
}

}  // namespace

int is_form_upload(const S3Request *r) {
  if (r->key[0] || !ieq(r->method, "POST") || qhas(r->query, "delete")) return 0;
  owned_str ct(hdr_value(r->head, r->head_len, "Content-Type"));
  return ct.get() && istarts_with(ct.get(), "multipart/form-data");
}

void op_post_object(plat_sock s, S3Request *r) {
  owned_str ct(hdr_value(r->head, r->head_len, "Content-Type"));
  char boundary[FORM_BOUNDARY_MAX + 1];
  uint64_t body_len = 0;
  int overflow = 0;
  if (!request_length(r, &body_len, &overflow) || overflow) {
    answer_error(s, r, 411, "MissingContentLength", "You must provide the Content-Length HTTP header.");
    return;
  }
  char dir[S3_FS_PATH];
  if (object_path(r->bucket, nullptr, dir) != 0 || !is_directory(dir)) {
    answer_error(s, r, 404, "NoSuchBucket", "The specified bucket does not exist");
    return;
  }
  post_state_guard st;
  if (!st.p) {
    answer_error(s, r, 500, "InternalError", "Out of memory");
    return;
  }
  if (form_boundary(ct.get(), boundary) != 0) {
    answer_error(s, r, 400, "MalformedPOSTRequest", kMalformedPost);
    return;
  }
  post_verdict v;
  // Until its policy signature is checked the form comes from anyone: it is read at the pace
  // the connection limits ask, so that slow forms cannot hold the workers.
  http_body_pace(1);
  int form_rc = read_and_check_form(s, r, st.p, boundary, body_len, &v);
  http_body_pace(0);
  if (form_rc != 0) {
    if (v.status == 403 || v.status == 400) set_error("form upload refused: %s", v.code);
    answer_error(s, r, v.status, v.code, v.message);
    return;
  }
  for (size_t i = 0; i < st.p->form.count; i++) {
    const post_field *fld = &st.p->form.fields[i];
    header_verdict hv = field_promise_verdict(fld->name, st.p->form.values + fld->value_at);
    if (hv != HDR_KEPT) {
      answer_header_verdict(s, r, hv);
      return;
    }
  }
  // The tagging field is a Tagging document, as PutObjectTagging takes it.
  tag_set_box tags;
  if (!tags.set) {
    answer_error(s, r, 500, "InternalError", "Out of memory");
    return;
  }
  if (const char *tagging = post_field_value(&st.p->form, "tagging")) {
    tag_verdict tv = tags_parse_xml(tagging, strlen(tagging), S3_OBJECT_TAGS_MAX, tags.set);
    if (tv != TAGS_OK) {
      answer_tag_verdict(s, r, tv, 0, 0);
      return;
    }
  }
  // The form's own key must not collide with a stored key's directory level.
  char conflict[4096];
  if (key_placement(r->bucket, st.p->form.key, conflict) == 1) {
    answer_error(s, r, 409, "KeyConflict", "The key cannot be stored beside an existing key");
    return;
  }
  char etag[33];
  record_checksum sum;
  if (store_file(s, r, st.p, &v, etag, &sum, tags.set) == 0)
    answer_stored(s, r, &st.p->form, etag, &sum);
}
