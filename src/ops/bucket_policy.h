// Bucket policies: the JSON document checked as S3 checks it, and the one kind of statement
// this server applies, the public read: Allow, to everyone, s3:GetObject (and s3:ListBucket) on
// the bucket's resources, without conditions. Every other statement is kept, not applied.
#pragma once

#include <cstddef>

constexpr size_t POLICY_MAX = 20480;  // bytes of one bucket policy, S3's limit

// What the check of a policy decided: status 0 valid, else 400 MalformedPolicy and the message.
struct policy_verdict {
  int status;
  const char *code;
  char message[192];
};

// Checks doc[0..len) as the policy of bucket. *is_public (optional) says whether a statement of
// it opens the bucket to requests without credentials: an Allow to everyone without conditions.
policy_verdict policy_check(const char *bucket, const char *doc, size_t len, int *is_public);

// 1 when the policy lets a request without credentials do action ("s3:GetObject" or
// "s3:ListBucket") on resource ("arn:aws:s3:::bucket/key" or "arn:aws:s3:::bucket"): an applied
// Allow statement covers it and no Deny statement to everyone may cover it (a Deny is honoured
// whatever its conditions say). 0 otherwise, and for a document that does not check.
int policy_allows_anonymous(const char *bucket, const char *doc, size_t len, const char *action,
                            const char *resource);

// 1 when text matches pattern, where "*" stands for any run of characters and "?" for one;
// ci: compare without regard to ASCII case (actions are named so).
int policy_wildcard_match(const char *pattern, const char *text, int ci);
