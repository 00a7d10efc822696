// Helpers of the multipart operations that tests reach directly.
#pragma once

#include <cstddef>

// The text between "<name>" and the "</name>" that must follow at the next "<", within the
// first len bytes of text; malloc'd (caller frees), not trimmed and not entity-decoded. Null
// when absent.
char *xml_get_tag(const char *text, size_t len, const char *name);

// Finds needle within hay[0..len); null when absent (hay may hold NUL bytes).
const char *find_bytes(const char *hay, size_t len, const char *needle);
