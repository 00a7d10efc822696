// The bucket policy reader: one pass over the JSON tokens of the document, checking its grammar
// (Version, Id, Statement; in each statement Sid, Effect, Principal, Action, Resource,
// Condition and their Not- forms) and, when asked, deciding a request without credentials on
// the way. Nothing is built: each statement's facts are gathered while it is read. The
// grammar's nesting is fixed, so the reading depth never follows the document.
#include "ops/bucket_policy.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "base/json.h"
#include "base/limits.h"
#include "base/text.h"

namespace {

constexpr int JSON_LIT = 'l';  // true, false or null

struct reader {
  json_lexer l;
  json_token t;
  const char *bucket;
  // The request decided on the way, or null action for a plain check.
  const char *action, *resource;
  int allowed, denied, is_public;
  policy_verdict v;
};

// What one statement says, gathered while it is read.
struct statement {
  int effect;     // 0 missing, 1 Allow, 2 Deny
  int principal;  // 0 missing, 1 Principal, 2 NotPrincipal
  int to_everyone;
  int action;  // 0 missing, 1 Action, 2 NotAction
  int action_hit;
  int resource;  // 0 missing, 1 Resource, 2 NotResource
  int resource_hit;
  int conditioned;
  int need_object, need_bucket, have_object, have_bucket;
};

int fail(reader *rd, const char *message, const char *arg = nullptr) {
  if (rd->v.status) return -1;
  rd->v.status = 400;
  rd->v.code = "MalformedPolicy";
  copy_text(rd->v.message, sizeof rd->v.message, message);
  // The named field or value goes into an XML document as it stands: only its plain characters
  // are kept, and at most 64 of them.
  size_t n = strlen(rd->v.message);
  for (size_t i = 0; arg && arg[i] && i < 64 && n + 1 < sizeof rd->v.message; i++) {
    char c = arg[i];
    int plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                strchr(":-_*./", c);
    if (plain) rd->v.message[n++] = c;
  }
  rd->v.message[n] = 0;
  return -1;
}

int bad_json(reader *rd) { return fail(rd, "This policy contains invalid Json"); }

// The next token; true, false and null as JSON_LIT.
int next(reader *rd) {
  json_lexer *l = &rd->l;
  while (l->p < l->end && (*l->p == ' ' || *l->p == '\t' || *l->p == '\r' || *l->p == '\n')) l->p++;
  static const char *const kLits[] = {"true", "false", "null"};
  for (const char *lit : kLits) {
    size_t n = strlen(lit);
    if ((size_t)(l->end - l->p) >= n && memcmp(l->p, lit, n) == 0) {
      l->p += n;
      copy_text(rd->t.text, sizeof rd->t.text, lit);
      rd->t.len = n;
      return rd->t.type = JSON_LIT;
    }
  }
  return json_next(l, &rd->t);
}

// Reads a string or a non-empty array of strings, calling each(rd, text, ctx) for every one.
// 0, or -1 (the verdict says why; what the value is not is told with message).
template <class F>
int string_list(reader *rd, const char *message, F each) {
  int t = next(rd);
  if (t == JSON_STR) return each(rd->t.text);
  if (t != '[') return t == JSON_ERR ? bad_json(rd) : fail(rd, message);
  int n = 0;
  for (;;) {
    t = next(rd);
    if (t == ']' && n == 0) return fail(rd, message);
    if (t != JSON_STR) return t == JSON_ERR ? bad_json(rd) : fail(rd, message);
    if (each(rd->t.text) != 0) return -1;
    n++;
    t = next(rd);
    if (t == ']') return 0;
    if (t != ',') return bad_json(rd);
  }
}

int ieq_prefix(const char *s, const char *prefix) {
  for (; *prefix; s++, prefix++)
    if (ascii_lower(*s) != ascii_lower(*prefix)) return 0;
  return 1;
}

// An action this store's service names: "*" or "s3:...".
int read_action(reader *rd, statement *st, int mode) {
  st->action = mode;
  return string_list(rd, "Policy has invalid action", [&](const char *a) {
    if (strcmp(a, "*") != 0 && (!ieq_prefix(a, "s3:") || !a[3]))
      return fail(rd, "Policy has invalid action");
    if (rd->action && policy_wildcard_match(a, rd->action, 1)) st->action_hit = 1;
    if (mode == 1 && !strchr(a, '*') && !strchr(a, '?')) {
      // An action on objects needs a resource of objects; one on the bucket the bucket's.
      int object = strstr(a + 3, "Object") || strstr(a + 3, "object") ||
                   strstr(a + 3, "MultipartUploadPart") ||
                   ieq_prefix(a + 3, "AbortMultipartUpload");
      if (object)
        st->need_object = 1;
      else
        st->need_bucket = 1;
    }
    return 0;
  });
}

// A resource of this bucket: "*", or "arn:aws:s3:::" with a bucket part that matches the
// bucket's name, and for objects "/" and a key pattern.
int read_resource(reader *rd, statement *st, int mode) {
  st->resource = mode;
  return string_list(rd, "Policy has invalid resource", [&](const char *res) {
    static const char kArn[] = "arn:aws:s3:::";
    if (strcmp(res, "*") == 0) {
      st->have_object = st->have_bucket = 1;
    } else {
      if (strncmp(res, kArn, sizeof kArn - 1) != 0) return fail(rd, "Policy has invalid resource");
      const char *b = res + sizeof kArn - 1;
      const char *slash = strchr(b, '/');
      char part[JSON_TOKEN_MAX + 1];
      copy_text_n(part, sizeof part, b, slash ? (size_t)(slash - b) : strlen(b));
      if (!policy_wildcard_match(part, rd->bucket, 0))
        return fail(rd, "Policy has invalid resource");
      // A "*" in the bucket part reaches past it into keys.
      if (slash || strchr(part, '*')) st->have_object = 1;
      char arn[sizeof kArn + S3_BUCKET_MAX];
      snprintf(arn, sizeof arn, "%s%s", kArn, rd->bucket);
      if (policy_wildcard_match(res, arn, 0)) st->have_bucket = 1;
    }
    if (rd->resource && policy_wildcard_match(res, rd->resource, 0)) st->resource_hit = 1;
    return 0;
  });
}

// An account's principal: "*", an account number or an IAM ARN.
int aws_principal(const char *p) {
  if (strcmp(p, "*") == 0 || strncmp(p, "arn:aws:iam::", 13) == 0) return 1;
  size_t n = strlen(p);
  if (n != 12) return 0;
  for (size_t i = 0; i < n; i++)
    if (p[i] < '0' || p[i] > '9') return 0;
  return 1;
}

// "*" or {"AWS": ..., "Service": ..., "CanonicalUser": ..., "Federated": ...}.
int read_principal(reader *rd, statement *st, int mode) {
  static const char kBad[] = "Invalid principal in policy";
  st->principal = mode;
  int t = next(rd);
  if (t == JSON_STR) {
    if (strcmp(rd->t.text, "*") != 0) return fail(rd, kBad);
    st->to_everyone = 1;
    return 0;
  }
  if (t != '{') return t == JSON_ERR ? bad_json(rd) : fail(rd, kBad);
  static const char *const kKinds[] = {"AWS", "Service", "CanonicalUser", "Federated"};
  for (int n = 0;; n++) {
    t = next(rd);
    if (t == '}' && n > 0) return 0;
    if (t != JSON_STR) return t == JSON_ERR ? bad_json(rd) : fail(rd, kBad);
    int kind = -1;
    for (int k = 0; k < 4; k++)
      if (strcmp(rd->t.text, kKinds[k]) == 0) kind = k;
    if (kind < 0) return fail(rd, kBad);
    if (next(rd) != ':') return bad_json(rd);
    int rc = string_list(rd, kBad, [&](const char *p) {
      if (kind == 0 && !aws_principal(p)) return fail(rd, kBad);
      if (kind == 0 && strcmp(p, "*") == 0) st->to_everyone = 1;
      if (!p[0]) return fail(rd, kBad);
      return 0;
    });
    if (rc != 0) return -1;
    t = next(rd);
    if (t == '}') return 0;
    if (t != ',') return bad_json(rd);
  }
}

// A scalar or an array of scalars: a condition's value.
int read_condition_value(reader *rd) {
  int t = next(rd);
  if (t == JSON_STR || t == JSON_NUM || t == JSON_LIT) return 0;
  if (t != '[') return bad_json(rd);
  t = next(rd);
  if (t == ']') return 0;
  for (;;) {
    if (t != JSON_STR && t != JSON_NUM && t != JSON_LIT) return bad_json(rd);
    t = next(rd);
    if (t == ']') return 0;
    if (t != ',') return bad_json(rd);
    t = next(rd);
  }
}

// {"Operator": {"key": value, ...}, ...}; operators and keys are not interpreted.
int read_condition(reader *rd, statement *st) {
  st->conditioned = 1;
  if (next(rd) != '{') return fail(rd, "Invalid Condition");
  for (int n = 0;; n++) {
    int t = next(rd);
    if (t == '}' && n == 0) return 0;
    if (t != JSON_STR || next(rd) != ':' || next(rd) != '{') return bad_json(rd);
    for (int m = 0;; m++) {
      t = next(rd);
      if (t == '}' && m == 0) break;
      if (t != JSON_STR || next(rd) != ':' || read_condition_value(rd) != 0) return bad_json(rd);
      t = next(rd);
      if (t == '}') break;
      if (t != ',') return bad_json(rd);
    }
    t = next(rd);
    if (t == '}') return 0;
    if (t != ',') return bad_json(rd);
  }
}

// What a finished statement means for the check and the request being decided.
int end_statement(reader *rd, statement *st) {
  if (!st->effect) return fail(rd, "Missing required field Effect");
  if (!st->principal) return fail(rd, "Missing required field Principal");
  if (!st->action) return fail(rd, "Missing required field Action");
  if (!st->resource) return fail(rd, "Missing required field Resource");
  if (st->resource == 1 &&
      ((st->need_object && !st->have_object) || (st->need_bucket && !st->have_bucket)))
    return fail(rd, "Action does not apply to any resource(s) in statement");
  int open = st->effect == 1 && st->principal == 1 && st->to_everyone && !st->conditioned;
  if (open) rd->is_public = 1;
  if (!rd->action) return 0;
  int action_covers = st->action == 1 ? st->action_hit : !st->action_hit;
  int resource_covers = st->resource == 1 ? st->resource_hit : !st->resource_hit;
  if (st->effect == 1 && open && st->action == 1 && st->resource == 1 && st->action_hit &&
      st->resource_hit)
    rd->allowed = 1;
  // A Deny that may reach everyone is honoured without reading its conditions.
  int everyone = (st->principal == 1 && st->to_everyone) || st->principal == 2;
  if (st->effect == 2 && everyone && action_covers && resource_covers) rd->denied = 1;
  return 0;
}

int read_statement(reader *rd) {
  if (next(rd) != '{') return bad_json(rd);
  statement st;
  memset(&st, 0, sizeof st);
  for (int n = 0;; n++) {
    int t = next(rd);
    if (t == '}' && n == 0) break;
    if (t != JSON_STR) return bad_json(rd);
    char field[32];
    if (copy_text(field, sizeof field, rd->t.text) != 1)
      return fail(rd, "Unknown field ", rd->t.text);
    if (next(rd) != ':') return bad_json(rd);
    int rc;
    if (strcmp(field, "Sid") == 0) {
      rc = next(rd) == JSON_STR ? 0 : fail(rd, "Invalid Sid");
    } else if (strcmp(field, "Effect") == 0) {
      if (next(rd) != JSON_STR) return fail(rd, "Invalid effect: ", rd->t.text);
      st.effect = strcmp(rd->t.text, "Allow") == 0 ? 1 : strcmp(rd->t.text, "Deny") == 0 ? 2 : 0;
      rc = st.effect ? 0 : fail(rd, "Invalid effect: ", rd->t.text);
    } else if (strcmp(field, "Principal") == 0 || strcmp(field, "NotPrincipal") == 0) {
      rc = read_principal(rd, &st, field[0] == 'N' ? 2 : 1);
    } else if (strcmp(field, "Action") == 0 || strcmp(field, "NotAction") == 0) {
      rc = read_action(rd, &st, field[0] == 'N' ? 2 : 1);
    } else if (strcmp(field, "Resource") == 0 || strcmp(field, "NotResource") == 0) {
      rc = read_resource(rd, &st, field[0] == 'N' ? 2 : 1);
    } else if (strcmp(field, "Condition") == 0) {
      rc = read_condition(rd, &st);
    } else {
      return fail(rd, "Unknown field ", field);
    }
    if (rc != 0) return -1;
    t = next(rd);
    if (t == '}') break;
    if (t != ',') return bad_json(rd);
  }
  return end_statement(rd, &st);
}

int read_statements(reader *rd) {
  // One statement on its own, or an array of them.
  const char *at = rd->l.p;
  int t = next(rd);
  if (t == '{') {
    rd->l.p = at;
    return read_statement(rd);
  }
  if (t != '[') return bad_json(rd);
  const char *first = rd->l.p;
  if (next(rd) == ']') return fail(rd, "Could not parse the policy: Statement is empty!");
  rd->l.p = first;
  for (;;) {
    if (read_statement(rd) != 0) return -1;
    t = next(rd);
    if (t == ']') return 0;
    if (t != ',') return bad_json(rd);
  }
}

int read_policy(reader *rd) {
  json_lexer *l = &rd->l;
  while (l->p < l->end && (*l->p == ' ' || *l->p == '\t' || *l->p == '\r' || *l->p == '\n')) l->p++;
  if (l->p >= l->end || *l->p != '{')
    return fail(rd, "Policies must be valid JSON and the first byte must be '{'");
  next(rd);
  int statements = 0;
  for (int n = 0;; n++) {
    int t = next(rd);
    if (t == '}' && n == 0) break;
    if (t != JSON_STR) return bad_json(rd);
    char field[32];
    if (copy_text(field, sizeof field, rd->t.text) != 1)
      return fail(rd, "Unknown field ", rd->t.text);
    if (next(rd) != ':') return bad_json(rd);
    if (strcmp(field, "Version") == 0) {
      if (next(rd) != JSON_STR ||
          (strcmp(rd->t.text, "2012-10-17") != 0 && strcmp(rd->t.text, "2008-10-17") != 0))
        return fail(rd, "Invalid policy version");
    } else if (strcmp(field, "Id") == 0) {
      if (next(rd) != JSON_STR) return fail(rd, "Invalid Id");
    } else if (strcmp(field, "Statement") == 0) {
      if (read_statements(rd) != 0) return -1;
      statements = 1;
    } else {
      return fail(rd, "Unknown field ", field);
    }
    t = next(rd);
    if (t == '}') break;
    if (t != ',') return bad_json(rd);
  }
  if (next(rd) != JSON_END) return bad_json(rd);
  if (!statements) return fail(rd, "Missing required field Statement");
  return 0;
}

// Reads the document, deciding action on resource when action is given. 0, or -1 (rd->v).
int run(reader *rd, const char *bucket, const char *doc, size_t len, const char *action,
        const char *resource) {
  memset(&rd->v, 0, sizeof rd->v);
  rd->l.p = doc;
  rd->l.end = doc + len;
  rd->bucket = bucket;
  rd->action = action;
  rd->resource = resource;
  rd->allowed = rd->denied = rd->is_public = 0;
  if (len > POLICY_MAX) return fail(rd, "Policy exceeds the maximum allowed document size.");
  // A NUL is no JSON and would end the text early for the token reader.
  if (!text_is_utf8(doc, len) || memchr(doc, 0, len)) return bad_json(rd);
  return read_policy(rd);
}

}  // namespace

int policy_wildcard_match(const char *pattern, const char *text, int ci) {
  const char *p = pattern, *t = text, *star = nullptr, *mark = nullptr;
  auto same = [ci](char a, char b) { return ci ? ascii_lower(a) == ascii_lower(b) : a == b; };
  while (*t) {
    if (*p == '*') {
      star = p++;
      mark = t;
    } else if (*p && (*p == '?' || same(*p, *t))) {
      p++;
      t++;
    } else if (star) {
      p = star + 1;
      t = ++mark;
    } else {
      return 0;
    }
  }
  while (*p == '*') p++;
  return *p == 0;
}

policy_verdict policy_check(const char *bucket, const char *doc, size_t len, int *is_public) {
  reader *rd = static_cast<reader *>(malloc(sizeof(reader)));
  policy_verdict v;
  if (!rd) {
    v.status = 500;
    v.code = "InternalError";
    copy_text(v.message, sizeof v.message, "We encountered an internal error. Please try again.");
    return v;
  }
  run(rd, bucket, doc, len, nullptr, nullptr);
  v = rd->v;
  if (is_public) *is_public = v.status == 0 && rd->is_public;
  free(rd);
  return v;
}

int policy_allows_anonymous(const char *bucket, const char *doc, size_t len, const char *action,
                            const char *resource) {
  reader *rd = static_cast<reader *>(malloc(sizeof(reader)));
  if (!rd) return 0;
  int ok = run(rd, bucket, doc, len, action, resource) == 0 && rd->allowed && !rd->denied;
  free(rd);
  return ok;
}
