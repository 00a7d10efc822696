// Conditional requests: the precondition rules that GetObject, HeadObject, CopyObject and
// UploadPartCopy share (entity tags and modification times).
#pragma once

#include <cstddef>
#include <cstdint>

#include "base/date.h"  // parse_http_date, the reader of the date conditions
#include "store/object.h"

// The four condition headers of one request kind.
struct condition_names {
  const char *if_match;
  const char *if_none_match;
  const char *if_modified_since;
  const char *if_unmodified_since;
};
extern const condition_names GET_CONDITIONS;   // If-Match, If-None-Match, If-*-Since
extern const condition_names COPY_CONDITIONS;  // x-amz-copy-source-if-*

enum condition_verdict {
  COND_PASS = 0,           // serve or copy the object
  COND_FAILED = 1,         // 412 PreconditionFailed
  COND_NOT_MODIFIED = 2,   // a read answers 304; a copy answers 412 as well
};

// 1 when the request carries any of the headers in names.
int has_conditions(const char *head, size_t head_len, const condition_names *names);

// Applies the headers of names in head to an object with this ETag (unquoted) and time.
// If-Match decides alone when present (If-Unmodified-Since is then ignored), and so does
// If-None-Match over If-Modified-Since; a date that cannot be read is ignored.
condition_verdict evaluate_conditions(const char *head, size_t head_len,
                                      const condition_names *names, const char *etag,
                                      int64_t mtime);

// The ETag a read of v answers with: the recorded one, else the MD5 of its data (the
// 32 zeros when it cannot be read). Leaves the data positioned at its start.
void view_etag(const object_view *v, char out[S3_ETAG_CAP]);
