// The policy document of a browser form upload: the checks of its expiration and conditions
// against the form's fields, read with the JSON token reader.
#include <cstdio>
#include <cstring>

#include "base/date.h"
#include "base/json.h"
#include "base/text.h"
#include "http/response.h"
#include "ops/post_object.h"

namespace {

int fail(post_verdict *v, int status, const char *code, const char *message) {
  v->status = status;
  v->code = code;
  xml_escape_str(message, v->message, sizeof v->message);
  return -1;
}

int invalid_policy(post_verdict *v, const char *why) {
  char m[256];
  snprintf(m, sizeof m, "Invalid Policy: %s", why);
  return fail(v, 400, "InvalidPolicyDocument", m);
}

// "Policy Condition failed" naming the condition as S3 shows it.
int condition_failed(post_verdict *v, const char *op, const char *field, const char *value) {
  // The message names the condition; a long value is cut so the document stays whole.
  char m[1024];
  int n = snprintf(m, sizeof m,
                   "Invalid according to Policy: Policy Condition failed: [\"%s\", \"$%s\", \"%s\"]",
                   op ? op : "eq", field, value);
  if (n < 0) m[0] = 0;
  return fail(v, 403, "AccessDenied", m);
}

// The value a condition compares: the bucket of the request, the key after ${filename}, or the
// form's field ("" when absent); marks the field as named by the policy.
const char *condition_value(post_form *f, const char *name) {
  for (size_t i = 0; i < f->count; i++)
    if (ieq(f->fields[i].name, name)) f->fields[i].covered = 1;
  if (ieq(name, "bucket")) return f->bucket;
  if (ieq(name, "key")) return f->key;
  const char *v = post_field_value(f, name);
  return v ? v : "";
}

// {"name": "value", ...} of the conditions: exact matches.
int object_condition(json_lexer *l, post_form *f, post_verdict *v) {
  json_token name, value, t;
  for (;;) {
    if (json_next(l, &name) == '}') return 0;
    if (name.type != JSON_STR || json_next(l, &t) != ':') return invalid_policy(v, "Invalid JSON.");
    int vt = json_next(l, &value);
    if (vt != JSON_STR && vt != JSON_NUM) return invalid_policy(v, "Invalid JSON.");
    const char *have = condition_value(f, name.text);
    if (strcmp(have, value.text) != 0) return condition_failed(v, nullptr, name.text, value.text);
    int sep = json_next(l, &t);
    if (sep == '}') return 0;
    if (sep != ',') return invalid_policy(v, "Invalid JSON.");
  }
}

int read_length(const json_token *t, uint64_t *out) {
  if (t->type != JSON_STR && t->type != JSON_NUM) return -1;
  return parse_decimal(t->text, t->len, UINT64_MAX, 0, out);
}

// ["op", "$field", value] or ["content-length-range", min, max].
int array_condition(json_lexer *l, post_form *f, post_verdict *v) {
  json_token op, a, b, t;
  if (json_next(l, &op) != JSON_STR || json_next(l, &t) != ',' || json_next(l, &a) == JSON_ERR ||
      json_next(l, &t) != ',' || json_next(l, &b) == JSON_ERR || json_next(l, &t) != ']')
    return invalid_policy(v, "Invalid JSON.");
  if (ieq(op.text, "content-length-range")) {
    // Every range holds: the file's length must lie in each of them, so in their overlap.
    uint64_t lo = 0, hi = 0;
    if (read_length(&a, &lo) != 0 || read_length(&b, &hi) != 0)
      return invalid_policy(v, "Invalid content-length-range.");
    if (lo > v->min_len) v->min_len = lo;
    if (hi < v->max_len) v->max_len = hi;
    return 0;
  }
  if (a.type != JSON_STR || a.text[0] != '$' || b.type != JSON_STR)
    return invalid_policy(v, "Invalid Condition.");
  const char *have = condition_value(f, a.text + 1);
  if (ieq(op.text, "eq")) {
    if (strcmp(have, b.text) != 0) return condition_failed(v, "eq", a.text + 1, b.text);
  } else if (ieq(op.text, "starts-with")) {
    if (strncmp(have, b.text, b.len) != 0) return condition_failed(v, "starts-with", a.text + 1, b.text);
  } else {
    return invalid_policy(v, "Invalid Condition.");
  }
  return 0;
}

int read_conditions(json_lexer *l, post_form *f, post_verdict *v) {
  json_token t;
  if (json_next(l, &t) != '[') return invalid_policy(v, "Invalid JSON.");
  for (;;) {
    int k = json_next(l, &t);
    if (k == ']') return 0;
    int rc = k == '{' ? object_condition(l, f, v)
             : k == '[' ? array_condition(l, f, v)
                        : invalid_policy(v, "Invalid JSON.");
    if (rc != 0) return -1;
    int sep = json_next(l, &t);
    if (sep == ']') return 0;
    if (sep != ',') return invalid_policy(v, "Invalid JSON.");
  }
}

// The fields a policy need not name: its own, the signature, and those a form marks as ignored.
int exempt_field(const char *name) {
  return ieq(name, "policy") || ieq(name, "x-amz-signature") || ieq(name, "file") ||
         istarts_with(name, "x-ignore-");
}

}  // namespace

const char *post_field_value(const post_form *f, const char *name) {
  for (size_t i = 0; i < f->count; i++)
    if (ieq(f->fields[i].name, name)) return f->values + f->fields[i].value_at;
  return nullptr;
}

int post_policy_check(const char *doc, size_t len, post_form *form, int64_t now,
                      post_verdict *v) {
  v->status = 0;
  v->code = "";
  v->message[0] = 0;
  v->min_len = 0;
  v->max_len = UINT64_MAX;
  json_lexer l = {doc, doc + len};
  json_token t, name;
  int have_expiration = 0, have_conditions = 0;
  if (json_next(&l, &t) != '{') return invalid_policy(v, "Invalid JSON.");
  for (;;) {
    if (json_next(&l, &name) != JSON_STR || json_next(&l, &t) != ':')
      return invalid_policy(v, "Invalid JSON.");
    if (ieq(name.text, "expiration")) {
      int64_t when = 0;
      if (json_next(&l, &t) != JSON_STR || parse_iso8601(t.text, &when) != 0)
        return invalid_policy(v, "Invalid 'expiration' value.");
      if (when < now) return fail(v, 403, "AccessDenied", "Invalid according to Policy: Policy expired.");
      have_expiration = 1;
    } else if (ieq(name.text, "conditions")) {
      if (read_conditions(&l, form, v) != 0) return -1;
      have_conditions = 1;
    } else {
      return invalid_policy(v, "Unexpected field in policy.");
    }
    int sep = json_next(&l, &t);
    if (sep == '}') break;
    if (sep != ',') return invalid_policy(v, "Invalid JSON.");
  }
  if (json_next(&l, &t) != JSON_END) return invalid_policy(v, "Invalid JSON.");
  if (!have_expiration) return invalid_policy(v, "Policy missing expiration.");
  if (!have_conditions) return invalid_policy(v, "Policy missing conditions.");
  for (size_t i = 0; i < form->count; i++) {
    if (form->fields[i].covered || exempt_field(form->fields[i].name)) continue;
    char m[256];
    snprintf(m, sizeof m, "Invalid according to Policy: Extra input fields: %s", form->fields[i].name);
    return fail(v, 403, "AccessDenied", m);
  }
  return 0;
}
