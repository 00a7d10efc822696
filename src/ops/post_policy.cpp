// The policy document of a browser form upload: a small JSON reader and the checks of its
// expiration and conditions against the form's fields.
#include <cstdio>
#include <cstring>

#include "base/date.h"
#include "base/text.h"
#include "http/response.h"
#include "ops/post_object.h"

namespace {

constexpr size_t TOKEN_MAX = 4095;

enum { J_END = 0, J_ERR = -1, J_STR = 's', J_NUM = 'n' };

struct jlex {
  const char *p, *end;
};

struct jtok {
  int type;  // one of '{' '}' '[' ']' ':' ',' J_STR J_NUM J_END J_ERR
  char text[TOKEN_MAX + 1];
  size_t len;
};

int put_char(jtok *t, unsigned c) {
  if (t->len + 1 > TOKEN_MAX) return -1;
  t->text[t->len++] = (char)c;
  return 0;
}

// A \uXXXX escape at p (after the backslash and 'u') as UTF-8. 0, or -1.
int put_unicode(jtok *t, const char *p, const char *end) {
  if (end - p < 4) return -1;
  unsigned u = 0;
  for (int i = 0; i < 4; i++) {
    int d = hex_digit_value(p[i]);
    if (d < 0) return -1;
    u = u * 16 + (unsigned)d;
  }
  if (u >= 0xd800 && u <= 0xdfff) return -1;  // halves of a pair are not text on their own
  if (u < 0x80) return put_char(t, u);
  if (u < 0x800) return put_char(t, 0xc0 | (u >> 6)) | put_char(t, 0x80 | (u & 0x3f));
  return put_char(t, 0xe0 | (u >> 12)) | put_char(t, 0x80 | ((u >> 6) & 0x3f)) |
         put_char(t, 0x80 | (u & 0x3f));
}

int lex_string(jlex *l, jtok *t) {
  static const char kFrom[] = "\"\\/bfnrt", kTo[] = "\"\\/\b\f\n\r\t";
  l->p++;
  while (l->p < l->end && *l->p != '"') {
    unsigned char c = (unsigned char)*l->p;
    if (c < 0x20) return J_ERR;
    if (c != '\\') {
      if (put_char(t, c) != 0) return J_ERR;
      l->p++;
      continue;
    }
    if (l->end - l->p < 2) return J_ERR;
    char e = l->p[1];
    if (e == 'u') {
      if (put_unicode(t, l->p + 2, l->end) != 0) return J_ERR;
      l->p += 6;
      continue;
    }
    const char *at = e ? strchr(kFrom, e) : nullptr;
    if (!at || put_char(t, (unsigned char)kTo[at - kFrom]) != 0) return J_ERR;
    l->p += 2;
  }
  if (l->p >= l->end) return J_ERR;
  l->p++;
  return J_STR;
}

// The next token into *t; its type.
int jnext(jlex *l, jtok *t) {
  t->len = 0;
  t->text[0] = 0;
  while (l->p < l->end && (*l->p == ' ' || *l->p == '\t' || *l->p == '\r' || *l->p == '\n')) l->p++;
  if (l->p >= l->end) return t->type = J_END;
  char c = *l->p;
  if (strchr("{}[]:,", c)) {
    l->p++;
    return t->type = c;
  }
  if (c == '"') {
    t->type = lex_string(l, t);
  } else if (c == '-' || (c >= '0' && c <= '9')) {
    while (l->p < l->end && strchr("+-.eE0123456789", *l->p))
      if (put_char(t, (unsigned char)*l->p++) != 0) return t->type = J_ERR;
    t->type = J_NUM;
  } else {
    return t->type = J_ERR;
  }
  t->text[t->len] = 0;
  return t->type;
}

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
int object_condition(jlex *l, post_form *f, post_verdict *v) {
  jtok name, value, t;
  for (;;) {
    if (jnext(l, &name) == '}') return 0;
    if (name.type != J_STR || jnext(l, &t) != ':') return invalid_policy(v, "Invalid JSON.");
    int vt = jnext(l, &value);
    if (vt != J_STR && vt != J_NUM) return invalid_policy(v, "Invalid JSON.");
    const char *have = condition_value(f, name.text);
    if (strcmp(have, value.text) != 0) return condition_failed(v, nullptr, name.text, value.text);
    int sep = jnext(l, &t);
    if (sep == '}') return 0;
    if (sep != ',') return invalid_policy(v, "Invalid JSON.");
  }
}

int read_length(const jtok *t, uint64_t *out) {
  if (t->type != J_STR && t->type != J_NUM) return -1;
  return parse_decimal(t->text, t->len, UINT64_MAX, 0, out);
}

// ["op", "$field", value] or ["content-length-range", min, max].
int array_condition(jlex *l, post_form *f, post_verdict *v) {
  jtok op, a, b, t;
  if (jnext(l, &op) != J_STR || jnext(l, &t) != ',' || jnext(l, &a) == J_ERR ||
      jnext(l, &t) != ',' || jnext(l, &b) == J_ERR || jnext(l, &t) != ']')
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
  if (a.type != J_STR || a.text[0] != '$' || b.type != J_STR)
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

int read_conditions(jlex *l, post_form *f, post_verdict *v) {
  jtok t;
  if (jnext(l, &t) != '[') return invalid_policy(v, "Invalid JSON.");
  for (;;) {
    int k = jnext(l, &t);
    if (k == ']') return 0;
    int rc = k == '{' ? object_condition(l, f, v)
             : k == '[' ? array_condition(l, f, v)
                        : invalid_policy(v, "Invalid JSON.");
    if (rc != 0) return -1;
    int sep = jnext(l, &t);
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
  jlex l = {doc, doc + len};
  jtok t, name;
  int have_expiration = 0, have_conditions = 0;
  if (jnext(&l, &t) != '{') return invalid_policy(v, "Invalid JSON.");
  for (;;) {
    if (jnext(&l, &name) != J_STR || jnext(&l, &t) != ':') return invalid_policy(v, "Invalid JSON.");
    if (ieq(name.text, "expiration")) {
      int64_t when = 0;
      if (jnext(&l, &t) != J_STR || parse_iso8601(t.text, &when) != 0)
        return invalid_policy(v, "Invalid 'expiration' value.");
      if (when < now) return fail(v, 403, "AccessDenied", "Invalid according to Policy: Policy expired.");
      have_expiration = 1;
    } else if (ieq(name.text, "conditions")) {
      if (read_conditions(&l, form, v) != 0) return -1;
      have_conditions = 1;
    } else {
      return invalid_policy(v, "Unexpected field in policy.");
    }
    int sep = jnext(&l, &t);
    if (sep == '}') break;
    if (sep != ',') return invalid_policy(v, "Invalid JSON.");
  }
  if (jnext(&l, &t) != J_END) return invalid_policy(v, "Invalid JSON.");
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
