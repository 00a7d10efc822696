// Bucket CORS: PutBucketCors, GetBucketCors and DeleteBucketCors, the preflight OPTIONS answer,
// and the headers of actual cross-origin requests, all decided from the bucket's stored rules.
//
// The stored document is the one cors_normalize wrote (a fixed element order, values escaped),
// so the matcher reads only text this server produced; it still parses it defensively.
#include "ops/cors.h"

#include <cstdlib>
#include <cstring>

#include "base/state.h"
#include "base/text.h"
#include "body/body.h"
#include "ops/ops.h"
#include "store/cors_store.h"
#include "store/files.h"
#include "store/layout.h"

namespace {

const char kNotEnabled[] = "CORS is not enabled for this bucket.";
const char kNotAllowed[] =
    "This CORS request is not allowed. This is usually because the evalution of Origin, request "
    "method / Access-Control-Request-Method or Access-Control-Request-Headers are not whitelisted "
    "by the bucket's CORS rules.";
const char kNoConfig[] = "The CORS configuration does not exist";
constexpr size_t REQUEST_HEADERS_MAX = 64;  // names in one Access-Control-Request-Headers

// ---------------------------------------------------------------- elements and values
// The document is a run of children read with xml_next_child.

int is_blank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

// The text of a leaf element: blanks trimmed, the five XML entities decoded, into out[cap].
// 0, or -1 when it holds markup, an unknown reference, a control character or is too long.
int leaf_text(const xml_element *e, char *out, size_t cap) {
  return xml_element_text(e, out, cap, XML_TRIM | XML_TEXT_ONLY | XML_STRICT) < 0 ? -1 : 0;
}

int count_stars(const char *t) {
  int n = 0;
  for (; *t; t++) n += *t == '*';
  return n;
}

int allowed_method(const char *m) {
  static const char *const kMethods[] = {"GET", "PUT", "POST", "DELETE", "HEAD"};
  for (const char *k : kMethods)
    if (strcmp(m, k) == 0) return 1;
  return 0;
}

// The elements a rule may hold, in the order the stored form lists them.
const char *const kRuleElements[] = {"ID", "AllowedHeader", "AllowedMethod", "AllowedOrigin",
                                     "ExposeHeader", "MaxAgeSeconds"};

// Checks one value of a rule. 0, or -1 when it breaks the element's rule.
int check_value(const xml_element *e, const char *v) {
  if (xml_name_is(e, "AllowedMethod")) return allowed_method(v) ? 0 : -1;
  if (xml_name_is(e, "AllowedOrigin")) return (v[0] && count_stars(v) <= 1) ? 0 : -1;
  if (xml_name_is(e, "AllowedHeader")) return (v[0] && count_stars(v) <= 1) ? 0 : -1;
  if (xml_name_is(e, "ExposeHeader")) return v[0] && !strchr(v, ',') ? 0 : -1;
  if (xml_name_is(e, "MaxAgeSeconds")) {
    uint64_t secs;
    return parse_decimal(v, strlen(v), 2147483647u, 0, &secs) == 0 ? 0 : -1;
  }
  return 0;  // ID: any text
}

// Checks a rule's content and writes it in the stored form. 0, or -1 malformed.
int normalize_rule(const char *s, size_t end, dynbuf *out) {
  int counts[6] = {0, 0, 0, 0, 0, 0};
  char v[CORS_VALUE_MAX + 1];
  dynbuf_append(out, "<CORSRule>", 10);
  for (size_t k = 0; k < 6; k++) {
    size_t pos = 0;
    xml_element e;
    int rc;
    while ((rc = xml_next_child(s, end, &pos, &e)) == 1) {
      size_t which = 6;
      for (size_t i = 0; i < 6; i++)
        if (xml_name_is(&e, kRuleElements[i])) which = i;
      if (which == 6 || leaf_text(&e, v, sizeof v) != 0 || check_value(&e, v) != 0) return -1;
      if (which != k) continue;
      counts[k]++;
      dynbuf_printf(out, "<%s>", kRuleElements[k]);
      dynbuf_append_escaped(out, v);
      dynbuf_printf(out, "</%s>", kRuleElements[k]);
    }
    if (rc < 0) return -1;
  }
  dynbuf_append(out, "</CORSRule>", 11);
  // A rule needs an origin and a method; an ID and a MaxAgeSeconds appear at most once.
  if (counts[2] == 0 || counts[3] == 0 || counts[0] > 1 || counts[5] > 1) return -1;
  return 0;
}

}  // namespace

int cors_normalize(const char *body, size_t len, dynbuf *out) {
  size_t pos = 0;
  xml_element root;
  if (xml_next_child(body, len, &pos, &root) != 1 || !xml_name_is(&root, "CORSConfiguration"))
    return -1;
  xml_element extra;
  if (xml_next_child(body, len, &pos, &extra) != 0) return -1;
  dynbuf_printf(out, "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<CORSConfiguration xmlns=\"%s\">",
                S3_XMLNS);
  const char *s = root.text;
  size_t end = root.text_len, at = 0, rules = 0;
  xml_element rule;
  int rc;
  while ((rc = xml_next_child(s, end, &at, &rule)) == 1) {
    if (!xml_name_is(&rule, "CORSRule") || ++rules > CORS_RULES_MAX) return -1;
    if (normalize_rule(rule.text, rule.text_len, out) != 0) return -1;
  }
  dynbuf_append(out, "</CORSConfiguration>", 20);
  return (rc == 0 && rules > 0 && !out->failed) ? 0 : -1;
}

int cors_wildcard_match(const char *pattern, const char *text, int ci) {
  const char *star = strchr(pattern, '*');
  size_t tl = strlen(text);
  size_t pre = star ? (size_t)(star - pattern) : strlen(pattern);
  size_t post = star ? strlen(star + 1) : 0;
  if (!star && tl != pre) return 0;
  if (tl < pre + post) return 0;
  for (size_t i = 0; i < pre; i++) {
    char a = pattern[i], b = text[i];
    if (ci ? ascii_lower(a) != ascii_lower(b) : a != b) return 0;
  }
  for (size_t i = 0; i < post; i++) {
    char a = star[1 + i], b = text[tl - post + i];
    if (ci ? ascii_lower(a) != ascii_lower(b) : a != b) return 0;
  }
  return 1;
}

namespace {

// The first value of an element called name in a rule that matches text (or, with text null,
// the first value at all) into v[CORS_VALUE_MAX + 1]. 1 found, 0 none.
int rule_find(const char *s, size_t len, const char *name, const char *text, int ci, char *v) {
  size_t pos = 0;
  xml_element e;
  while (xml_next_child(s, len, &pos, &e) == 1) {
    if (!xml_name_is(&e, name) || leaf_text(&e, v, CORS_VALUE_MAX + 1) != 0) continue;
    if (!text || cors_wildcard_match(v, text, ci)) return 1;
  }
  return 0;
}

// Appends "Name: v1, v2\r\n" with every value of the element; nothing when it has none.
void append_joined(dynbuf *lines, const char *header, const char *s, size_t len,
                   const char *name) {
  size_t pos = 0, n = 0;
  xml_element e;
  char v[CORS_VALUE_MAX + 1];
  while (xml_next_child(s, len, &pos, &e) == 1) {
    if (!xml_name_is(&e, name) || leaf_text(&e, v, sizeof v) != 0) continue;
    if (n++ == 0)
      dynbuf_printf(lines, "%s: %s", header, v);
    else
      dynbuf_printf(lines, ", %s", v);
  }
  if (n) dynbuf_append(lines, "\r\n", 2);
}

// 1 when every name of the comma-separated list matches an AllowedHeader of the rule.
int headers_allowed(const char *s, size_t len, const char *list) {
  if (!list) return 1;
  char name[CORS_VALUE_MAX + 1], v[CORS_VALUE_MAX + 1];
  size_t names = 0;
  for (const char *p = list; *p;) {
    const char *comma = strchr(p, ',');
    const char *end = comma ? comma : p + strlen(p);
    while (p < end && is_blank(*p)) p++;
    const char *q = end;
    while (q > p && is_blank(q[-1])) q--;
    if (q > p) {
      if (++names > REQUEST_HEADERS_MAX || copy_text_n(name, sizeof name, p, (size_t)(q - p)) != 1)
        return 0;
      if (!rule_find(s, len, "AllowedHeader", name, 1, v)) return 0;
    }
    p = comma ? comma + 1 : end;
  }
  return 1;
}

// 1 when a request value can go back out in a head line: no control characters.
int printable(const char *t) {
  for (; t && *t; t++)
    if ((unsigned char)*t < 0x20 || *t == 0x7f) return 0;
  return 1;
}

// Writes the answer lines of a rule that allowed the request.
void rule_lines(const char *s, size_t len, const char *origin, const char *request_headers,
                int preflight, const char *matched_origin, dynbuf *lines) {
  int any = strcmp(matched_origin, "*") == 0;
  dynbuf_printf(lines, "Access-Control-Allow-Origin: %s\r\n", any ? "*" : origin);
  append_joined(lines, "Access-Control-Allow-Methods", s, len, "AllowedMethod");
  if (preflight && request_headers && request_headers[0])
    dynbuf_printf(lines, "Access-Control-Allow-Headers: %s\r\n", request_headers);
  append_joined(lines, "Access-Control-Expose-Headers", s, len, "ExposeHeader");
  char v[CORS_VALUE_MAX + 1];
  if (rule_find(s, len, "MaxAgeSeconds", nullptr, 0, v))
    dynbuf_printf(lines, "Access-Control-Max-Age: %s\r\n", v);
  if (!any) dynbuf_printf(lines, "Access-Control-Allow-Credentials: true\r\n");
}

}  // namespace

int cors_match(const char *doc, size_t len, const char *origin, const char *method,
               const char *request_headers, int preflight, dynbuf *lines) {
  if (!origin || !origin[0] || !method || !printable(origin) || !printable(request_headers))
    return 0;
  size_t pos = 0;
  xml_element root;
  if (xml_next_child(doc, len, &pos, &root) != 1 || !xml_name_is(&root, "CORSConfiguration"))
    return 0;
  size_t at = 0;
  xml_element rule;
  char matched[CORS_VALUE_MAX + 1], v[CORS_VALUE_MAX + 1];
  // The first rule that allows origin, method and every requested header answers.
  while (xml_next_child(root.text, root.text_len, &at, &rule) == 1) {
    const char *s = rule.text;
    size_t n = rule.text_len;
    if (!xml_name_is(&rule, "CORSRule") || !rule_find(s, n, "AllowedOrigin", origin, 0, matched) ||
        !rule_find(s, n, "AllowedMethod", method, 0, v) || !headers_allowed(s, n, request_headers))
      continue;
    rule_lines(s, n, origin, request_headers, preflight, matched, lines);
    const char *vary = preflight ? "Vary: Origin, Access-Control-Request-Headers, "
                                   "Access-Control-Request-Method\r\n"
                                 : "Vary: Origin\r\n";
    dynbuf_append(lines, vary, strlen(vary));
    return 1;
  }
  return 0;
}

// ---------------------------------------------------------------- operations

void op_put_bucket_cors(plat_sock s, S3Request *r, stream_state *st) {
  char *body = nullptr;
  size_t len = 0;
  upload_error err;
  if (read_whole_body(s, r, st, CORS_BODY_MAX, &body, &len, &err) != 0) {
    answer_upload_error(s, r, 0, err.status, err.code, err.message);
    return;
  }
  owned_str held(body);
  dynbuf_guard doc;
  if (cors_normalize(body, len, &doc.b) != 0 || doc.b.len > CORS_CONFIG_MAX) {
    set_error("malformed CORS configuration");
    answer_upload_error(s, r, len, 400, "MalformedXML", MALFORMED_XML);
    return;
  }
  if (cors_config_save(r->bucket, doc.b.data, doc.b.len) != 0) {
    answer_upload_error(s, r, len, 500, "InternalError", "Failed to store the CORS configuration");
    return;
  }
  clear_error();
  count_request(0, len);
  http_send_headers(s, &r->answer, 200, "", 0, 1);
}

void op_get_bucket_cors(plat_sock s, S3Request *r) {
  char *doc = nullptr;
  size_t len = 0;
  int rc = cors_config_load(r->bucket, &doc, &len);
  owned_str held(doc);
  if (rc == 0) {
    answer_error(s, r, 404, "NoSuchCORSConfiguration", kNoConfig);
  } else if (rc < 0) {
    set_error("cannot read the CORS configuration of %s", r->bucket);
    answer_error(s, r, 500, "InternalError", "Failed to read the CORS configuration");
  } else {
    count_request(len, 0);
    http_send_obj_headers(s, &r->answer, 200, "application/xml", len, nullptr);
    http_write_all(s, &r->answer, doc, len);
  }
}

void op_delete_bucket_cors(plat_sock s, S3Request *r) {
  if (cors_config_remove(r->bucket) != 0) {
    set_error("cannot remove the CORS configuration of %s", r->bucket);
    answer_error(s, r, 500, "InternalError", "Failed to remove the CORS configuration");
    return;
  }
  count_request(0, 0);
  http_send_headers(s, &r->answer, 204, "", 0, 0);
}

void op_cors_preflight(plat_sock s, S3Request *r) {
  owned_str origin(hdr_value(r->head, r->head_len, "Origin"));
  owned_str method(hdr_value(r->head, r->head_len, "Access-Control-Request-Method"));
  owned_str headers(hdr_value(r->head, r->head_len, "Access-Control-Request-Headers"));
  if (origin.empty()) {
    answer_error(s, r, 400, "BadRequest", "Insufficient information. Origin request header needed.");
    return;
  }
  if (method.empty()) {
    answer_error(s, r, 400, "BadRequest", "Invalid Access-Control-Request-Method: null");
    return;
  }
  // The service itself has no CORS rules.
  if (!r->bucket[0]) {
    answer_error(s, r, 403, "CORSResponse", kNotEnabled);
    return;
  }
  char dir[S3_FS_PATH];
  if (object_path(r->bucket, nullptr, dir) != 0 || !is_directory(dir)) {
    answer_error(s, r, 404, "NoSuchBucket", "The specified bucket does not exist");
    return;
  }
  char *doc = nullptr;
  size_t len = 0;
  int rc = cors_config_load(r->bucket, &doc, &len);
  owned_str held(doc);
  if (rc <= 0) {
    answer_error(s, r, 403, "CORSResponse", kNotEnabled);
    return;
  }
  dynbuf_guard lines;
  if (!cors_match(doc, len, origin.get(), method.get(), headers.get(), 1, &lines.b) ||
      lines.b.failed) {
    answer_error(s, r, 403, "CORSResponse", kNotAllowed);
    return;
  }
  count_request(0, 0);
  http_send_headers(s, &r->answer, 200, lines.b.data, 0, 1);
}

void cors_actual_headers(const S3Request *r, dynbuf *lines) {
  if (!r->bucket[0]) return;
  owned_str origin(hdr_value(r->head, r->head_len, "Origin"));
  if (origin.empty()) return;
  char *doc = nullptr;
  size_t len = 0;
  if (cors_config_load(r->bucket, &doc, &len) != 1) return;
  owned_str held(doc);
  // A HEAD is allowed by a rule that allows HEAD; methods are compared as S3 names them.
  char method[S3_METHOD_MAX + 1];
  size_t i = 0;
  for (; r->method[i] && i < S3_METHOD_MAX; i++)
    method[i] = (r->method[i] >= 'a' && r->method[i] <= 'z') ? char(r->method[i] - 32) : r->method[i];
  method[i] = 0;
  if (!cors_match(doc, len, origin.get(), method, nullptr, 0, lines))
    dynbuf_append(lines, "Vary: Origin\r\n", 14);
  if (lines->failed && lines->data) {
    lines->len = 0;
    lines->data[0] = 0;
  }
}
