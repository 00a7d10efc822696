// The version lines of answers about versions, and the version ids requests name.
#include "ops/versions_ops.h"

#include <cstdio>
#include <cstring>

#include "base/text.h"
#include "http/response.h"
#include "ops/ops.h"
#include "store/versions.h"

void answer_version_lines(S3Request *r, const char *vid, int marker) {
  char *out = r->answer.version_lines;
  const size_t cap = sizeof r->answer.version_lines;
  out[0] = 0;
  if (!vid || !vid[0] || !version_id_valid(vid)) return;
  int n = snprintf(out, cap, "%sx-amz-version-id: %s\r\n",
                   marker ? "x-amz-delete-marker: true\r\n" : "", vid);
  if (n < 0 || size_t(n) >= cap) out[0] = 0;
}

int request_version_id(plat_sock s, S3Request *r, char vid[S3_VID_CAP]) {
  vid[0] = 0;
  owned_str v(qparam(r->query, "versionId"));
  if (!v.p) return 0;
  pct_decode(v.p);
  if (!version_id_valid(v.p)) {
    answer_error(s, r, 400, "InvalidArgument", "Invalid version id specified");
    return -1;
  }
  copy_text(vid, S3_VID_CAP, v.p);
  return 0;
}

int copy_source_version(char *source, char vid[S3_VID_CAP]) {
  vid[0] = 0;
  if (!source) return 0;
  char *q = strchr(source, '?');
  if (!q || strncmp(q + 1, "versionId=", 10) != 0) return 0;
  const char *v = q + 11;
  if (!version_id_valid(v)) return -1;
  copy_text(vid, S3_VID_CAP, v);
  *q = 0;
  return 0;
}
