// Browser form uploads (POST Object): the form's fields, its policy document and the verdicts
// on them, kept apart from the operation so they can be checked on their own.
#pragma once

#include <cstddef>
#include <cstdint>

#include "base/limits.h"

constexpr size_t POST_FIELDS_MAX = 64;         // fields before the file
constexpr size_t POST_FIELD_BYTES = 65536;     // their values together
constexpr size_t POST_POLICY_MAX = 32768;      // bytes of the decoded policy document

struct post_field {
  char name[128];
  size_t value_at;  // offset of the NUL-terminated value in post_form::values
  int covered;      // a policy condition names it
};

struct post_form {
  post_field fields[POST_FIELDS_MAX];
  size_t count;
  char values[POST_FIELD_BYTES];
  size_t used;
  char bucket[64];
  char key[S3_KEY_FIELD];  // the key field with ${filename} replaced
};

// A field's value (name compared without regard to case), or null when the form has none.
const char *post_field_value(const post_form *f, const char *name);

// The outcome of checking a policy document.
struct post_verdict {
  int status;            // 0 when the form may be stored
  const char *code;
  char message[1024];    // XML-escaped
  uint64_t min_len, max_len;  // content-length-range (0 and UINT64_MAX when none)
};

// Checks the decoded policy doc[0..len) against the form at time now: its expiration, every
// condition, and that every field is named by one. 0 when the form passes (with the length
// range in *v), -1 with *v's status, code and message set.
int post_policy_check(const char *doc, size_t len, post_form *form, int64_t now,
                      post_verdict *v);
