// Key texts in listing documents: XML-escaped, or percent-encoded when the client asked for
// encoding-type=url (keys may hold bytes that XML 1.0 cannot carry).
#pragma once

#include "http/response.h"

// Appends text to b XML-escaped, or with url set percent-encoded byte by byte except for the
// unreserved characters and "/" (which leaves nothing to escape). Clients decode it with a
// plain URL unquote, which also takes "%20" for a space.
void append_key_text(dynbuf *b, const char *text, int url);
// "<indent><name>text</name>\n" with text as append_key_text writes it.
void append_key_element(dynbuf *b, const char *indent, const char *name, const char *text, int url);
