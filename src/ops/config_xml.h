// The XML bucket configurations this server keeps (encryption, public access block, ownership
// controls, lifecycle, notification, website, logging, request payment): each document checked
// against the shape S3 publishes for it and written back in one stored form.
#pragma once

#include <cstddef>

#include "http/response.h"

constexpr size_t CONFIG_BODY_MAX = 262144;  // bytes of one configuration a client may send
constexpr size_t CONFIG_VALUE_MAX = 2047;   // characters of one decoded element value

// What the check of one document decided: status 0 when it is kept; otherwise the S3 error.
struct config_verdict {
  int status;
  const char *code;
  const char *message;
};

// The configuration of that query name ("encryption", "lifecycle", ...) that is kept as XML:
// 1 when name is one, else 0.
int config_xml_known(const char *name);
// Checks body[0..len) as the document of configuration name and, when it is valid, writes its
// stored form into out: the root element with S3's namespace, the elements of each level in
// the order S3 lists them (repeated ones in the order sent), values trimmed and escaped,
// defaults written for the switches left out. Elements S3 does not know, values outside their
// type, a count outside its bounds, text or a control character where none belongs are
// 400 MalformedXML; the checks S3 makes beyond the schema have their own answers (501 for an
// encryption other than AES256, 400 InvalidArgument or InvalidRequest for a lifecycle rule
// without an action or with a repeated ID, a website with neither index nor redirect).
config_verdict config_xml_normalize(const char *name, const char *body, size_t len, dynbuf *out);
// The decoded text of the first element called name anywhere in a stored form, into out[cap]:
// 1 found, 0 not (or too long for cap).
int config_value(const char *doc, size_t len, const char *name, char *out, size_t cap);
// 1 when a stored public access block sets the switch called flag.
int config_flag_set(const char *doc, size_t len, const char *flag);
