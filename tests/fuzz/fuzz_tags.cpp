// Fuzz target: the tag set parsers, the Tagging document of PutObjectTagging and
// PutBucketTagging and the x-amz-tagging query form, and the record lines tags are kept in. A
// set either parser takes obeys every limit and comes back whole through each form it is
// written in; a record rewritten with a set keeps every other line and holds exactly its tags.
#include <cstring>
#include <string>
#include <vector>

#include "base/text.h"
#include "fuzz_common.h"
#include "store/meta.h"
#include "store/tags.h"

namespace {

int same_sets(const tag_set *a, const tag_set *b) {
  if (a->count != b->count) return 0;
  for (size_t i = 0; i < a->count; i++)
    if (strcmp(a->tags[i].key, b->tags[i].key) != 0 ||
        strcmp(a->tags[i].value, b->tags[i].value) != 0)
      return 0;
  return 1;
}

// A set a parser took, within max tags: the limits hold, and each form gives it back.
void check_taken(const tag_set *set, size_t max) {
  FUZZ_CHECK(set->count <= max);
  for (size_t i = 0; i < set->count; i++) {
    const tag_entry *t = &set->tags[i];
    FUZZ_CHECK(t->key[0] && text_is_utf8(t->key, strlen(t->key)));
    FUZZ_CHECK(strncmp(t->key, "aws:", 4) != 0);
    for (size_t j = 0; j < i; j++) FUZZ_CHECK(strcmp(set->tags[j].key, t->key) != 0);
    char line[S3_TAG_LINE_MAX + 1];
    size_t n = tag_record_line(t, line, sizeof line);
    FUZZ_CHECK(n > 0 && !memchr(line, ':', n) && !memchr(line, '\n', n));
  }
  tag_set_box back;
  FUZZ_CHECK(back.set);
  dynbuf_guard doc;
  tags_render_xml(set, &doc.b);
  FUZZ_CHECK(!doc.b.failed);
  FUZZ_CHECK(tags_parse_xml(doc.b.data, doc.b.len, max, back.set) == TAGS_OK);
  FUZZ_CHECK(same_sets(set, back.set));
  if (max <= S3_OBJECT_TAGS_MAX) {
    std::vector<char> header(S3_TAG_HEADER_CAP);
    size_t n = tags_render_header(set, header.data(), header.size());
    FUZZ_CHECK(n > 0);
    tag_verdict v;
    FUZZ_CHECK(tags_from_head(header.data(), n, back.set, &v) == 1 && v == TAGS_OK);
    FUZZ_CHECK(same_sets(set, back.set));
  }
  // A record rewritten with the set: its lines are there, once each and in order.
  dynbuf_guard rec;
  const char old[] = "text/plain\netag\n+Tag stale 1\nx-amz-meta-a:1\n";
  meta_retag_text(old, sizeof old - 1, set, &rec.b);
  FUZZ_CHECK(!rec.b.failed);
  back.set->count = 0;
  size_t pos = 0, lines = 0;
  while (pos < rec.b.len) {
    const char *nl = static_cast<const char *>(memchr(rec.b.data + pos, '\n', rec.b.len - pos));
    FUZZ_CHECK(nl);
    size_t n = (size_t)(nl - rec.b.data) - pos;
    if (lines++ >= 2) tag_record_take(rec.b.data + pos, n, back.set, S3_BUCKET_TAGS_MAX);
    pos += n + 1;
  }
  FUZZ_CHECK(same_sets(set, back.set));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  std::vector<char> body(data, data + size);  // as received, no terminator after it
  const char *b = body.data();
  tag_set_box set;
  if (!set.set) return 0;
  if (tags_parse_xml(b, size, S3_BUCKET_TAGS_MAX, set.set) == TAGS_OK)
    check_taken(set.set, S3_BUCKET_TAGS_MAX);
  if (tags_parse_query(b, size, S3_OBJECT_TAGS_MAX, set.set) == TAGS_OK)
    check_taken(set.set, S3_OBJECT_TAGS_MAX);
  // Any line read as a record line stays within its fields.
  tag_set_box taken;
  if (taken.set && tag_record_take(b, size, taken.set, S3_BUCKET_TAGS_MAX) && taken.set->count) {
    FUZZ_CHECK(strlen(taken.set->tags[0].key) < S3_TAG_KEY_CAP);
    FUZZ_CHECK(strlen(taken.set->tags[0].value) < S3_TAG_VALUE_CAP);
  }
  return 0;
}
