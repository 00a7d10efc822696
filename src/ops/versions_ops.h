// Versioned buckets' share of the answers: the version lines every answer about a version
// carries, the versionId a request names, and ListObjectVersions of a versioned bucket.
#pragma once

#include "http/request.h"
#include "platform/platform.h"
#include "store/meta.h"

// Sets the answer's x-amz-version-id line to vid ("" sets none), with x-amz-delete-marker:
// true when marker is 1.
void answer_version_lines(S3Request *r, const char *vid, int marker);
// The request's versionId query parameter into vid ("" when not sent). 0, or -1 after the 400
// answer for an id this store never gives.
int request_version_id(plat_sock s, S3Request *r, char vid[S3_VID_CAP]);
// The version id of x-amz-copy-source's "?versionId=" into vid (""), cutting it off source.
// 0, -1 when it names none this store gives.
int copy_source_version(char *source, char vid[S3_VID_CAP]);
