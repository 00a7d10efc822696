// The shape check of the XML request bodies (DeleteObjects, CompleteMultipartUpload): a body
// is acted on only when it is one whole, properly nested document, so that a cut or garbled
// body never passes for a shorter list.
#pragma once

#include <cstddef>

constexpr size_t S3_XML_DEPTH_MAX = 32;  // element nesting accepted in a request body

// 1 when text[0..len) is a single element named root (an "s3:"-style prefix allowed), whose
// elements all close in order, with nothing but blanks, an XML declaration, processing
// instructions and comments around it; CDATA sections are allowed inside. 0 otherwise: a
// truncated body, mismatched or unclosed tags, text outside the root, a second root, a
// document type declaration, a control character other than a blank, or nesting deeper than
// S3_XML_DEPTH_MAX.
int xml_well_formed(const char *text, size_t len, const char *root);
