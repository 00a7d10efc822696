// The shared library's own translation unit: the exported surface is the nine s3_ functions
// defined in base/, server/ and hostapi/, kept exact by exports.map; this file adds the version
// text.
#include "quillmar-s3.h"

#include "base/version.h"

extern "C" QUILLMAR_API const char *s3_version(void) { return QUILLMAR_VERSION; }
