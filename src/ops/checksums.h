// The checksums uploads name and objects answer with: which algorithm a request asks for, the
// header lines and XML elements that carry a stored checksum, the multipart upload's choice,
// and GetObjectAttributes.
#pragma once

#include <cstddef>
#include <cstdint>

#include "digest/checksum.h"
#include "http/request.h"
#include "http/response.h"
#include "platform/platform.h"
#include "store/meta.h"

// The algorithm an upload names: an x-amz-checksum-ALG header, a checksum trailer announced
// in x-amz-trailer, x-amz-sdk-checksum-algorithm, or x-amz-checksum-algorithm, in that order.
// 0 with *algo (CK_NONE when none is named), -1 after the 400 answer for a name that is no
// algorithm.
int request_checksum_algo(plat_sock s, S3Request *r, int *algo);
// The algorithm a new object is stored with: the one named, else CRC64NVME.
int stored_checksum_algo(int named);

// "x-amz-checksum-ALG: VALUE\r\nx-amz-checksum-type: TYPE\r\n" into out[cap] ("" when algo is
// CK_NONE, the value empty, or the lines do not fit).
void checksum_header_lines(int algo, int type, const char *value, char *out, size_t cap);
// "<ChecksumALG>VALUE</ChecksumALG>" and, when type is given, "<ChecksumType>TYPE</ChecksumType>"
// appended to d with indent.
void checksum_elements(dynbuf *d, const char *indent, int algo, int type, const char *value);
// 1 when the request asks for checksums with x-amz-checksum-mode: ENABLED.
int checksum_mode_enabled(const S3Request *r);

// CreateMultipartUpload's x-amz-checksum-algorithm and x-amz-checksum-type: 0 with *algo and
// *type (CK_NONE / CK_TYPE_NONE when not given; the type defaults to COMPOSITE, and to
// FULL_OBJECT for CRC64NVME), -1 after the 400 answer for a combination S3 refuses.
int read_upload_checksum(plat_sock s, S3Request *r, int *algo, int *type);

// The object checksum of a multipart upload from its parts' checksums (values[i] of the
// part of sizes[i] bytes): the composite "BASE64-N" or the combined full-object CRC. 0 with
// *out, -1 when a part has no checksum of the algorithm.
int multipart_checksum(int algo, int type, const ck_value *parts, const uint64_t *sizes, size_t n,
                       record_checksum *out);
// A client's object checksum header of a Complete against the computed one: 0 when none is
// sent or it matches; -1 after the 400 answer.
int check_complete_checksum(plat_sock s, S3Request *r, const record_checksum *computed);

// GetObjectAttributes (GET ?attributes).
void op_get_object_attributes(plat_sock s, S3Request *r);
// Parses x-amz-object-attributes: 0 with the ATTR_ bits, -1 for a name that is none of them
// or an empty list.
enum { ATTR_ETAG = 1, ATTR_CHECKSUM = 2, ATTR_OBJECT_PARTS = 4, ATTR_STORAGE_CLASS = 8,
       ATTR_OBJECT_SIZE = 16 };
int parse_object_attributes(const char *value, unsigned *bits);
