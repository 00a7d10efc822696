// ListObjects, versions 1 and 2: the bucket is walked, sorted, filtered by prefix and resume
// point, grouped by delimiter into common prefixes, cut at max-keys and written as one
// ListBucketResult document. The position between pages lives entirely in the token.
#include <cstdlib>
#include <cstring>

#include "base/state.h"
#include "http/request.h"
#include "http/response.h"
#include "ops/ops.h"
#include "store/layout.h"
#include "store/walk.h"

namespace {

constexpr size_t GATHER_CAP = 65536;   // keys seen by one listing at most
constexpr long MAX_KEYS_LIMIT = 1000;
constexpr size_t KEY_MAX = 4095;
constexpr size_t TOKEN_CAP = 4160;     // next token handed out: "cpafter:" and a whole key
// Marker, continuation token and prefix are kept whole (the query that carries them is far
// shorter than these fields): a cut resume point would make a paging client see the same
// keys again forever, and a cut prefix would list keys outside it.
constexpr size_t PARAM_CAP = 4160;
constexpr size_t DELIM_CAP = 256;

struct list_params {
  int v2;
  long max_keys;
  char prefix[PARAM_CAP];
  char delimiter[DELIM_CAP];
  char token[PARAM_CAP];
  char resume[PARAM_CAP];  // the token without its form head
  int group_skip;          // "cpafter:": the group named by resume was fully returned
};

// One entry of the page: a key (a gathered record) or a common prefix, which is always the
// first prefix_len characters of the key of the record that produced it.
struct page_item {
  size_t rec;
  size_t prefix_len;
  int is_prefix;
};

// Copies a query parameter's raw value into dst when present (cut to fit).
void copy_param(const char *query, const char *name, char *dst, size_t cap) {
  owned_str v(qparam(query, name));
  if (v.p) copy_text(dst, cap, v.p);
}

// Decimal with optional blanks and sign, as far as digits go; no digits gives 0.
long parse_max_keys(const char *text) {
  const char *p = text;
  while (*p == ' ' || *p == '\t') p++;
  int neg = 0;
  if (*p == '+' || *p == '-') neg = *p++ == '-';
  long v = 0;
  while (*p >= '0' && *p <= '9') {
    if (v <= 100000000) v = v * 10 + (*p - '0');  // beyond that only the clamp matters
    p++;
  }
  return neg ? -v : v;
}

void read_params(const S3Request *r, list_params *p) {
  memset(p, 0, sizeof *p);
  owned_str list_type(qparam(r->query, "list-type"));
  p->v2 = list_type.p && strcmp(list_type.p, "2") == 0;
  copy_param(r->query, "marker", p->token, sizeof p->token);
  copy_param(r->query, "continuation-token", p->token, sizeof p->token);
  copy_param(r->query, "delimiter", p->delimiter, sizeof p->delimiter);
  copy_param(r->query, "prefix", p->prefix, sizeof p->prefix);
  p->max_keys = MAX_KEYS_LIMIT;
  owned_str mk(qparam(r->query, "max-keys"));
  if (mk.p) {
    long v = parse_max_keys(mk.p);
    p->max_keys = v > MAX_KEYS_LIMIT ? MAX_KEYS_LIMIT : v < 1 ? 1 : v;
  }
  pct_decode(p->prefix);
  pct_decode(p->delimiter);
  pct_decode(p->token);
  const char *rest = p->token;
  if (strncmp(p->token, "k:", 2) == 0) {
    rest = p->token + 2;
  } else if (strncmp(p->token, "cp:", 3) == 0) {
    rest = p->token + 3;
  } else if (strncmp(p->token, "cpafter:", 8) == 0) {
    rest = p->token + 8;
    p->group_skip = 1;
  }
  copy_text(p->resume, sizeof p->resume, rest);
}

// Length of key's common prefix (through the first delimiter after the prefix), or 0 when the
// key holds no delimiter there.
size_t common_prefix_len(const char *key, size_t prefix_len, const char *delim, size_t delim_len) {
  const char *hit = strstr(key + prefix_len, delim);
  return hit ? size_t(hit - key) + delim_len : 0;
}

int same_prefix(const char *a, size_t alen, const char *b, size_t blen) {
  return alen == blen && memcmp(a, b, alen) == 0;
}

// 1 when the common prefix (text, len) is already on the page. Keys sharing a common prefix
// are adjacent in key order, so the newest placed prefix is checked first.
int prefix_on_page(const key_set *ks, const page_item *page, size_t n, const char *text,
                   size_t len) {
  for (size_t i = n; i-- > 0;) {
    if (!page[i].is_prefix) continue;
    if (same_prefix(key_set_key(ks, page[i].rec), page[i].prefix_len, text, len)) return 1;
  }
  return 0;
}

int cmp_prefix_text(const char *text, size_t len, const char *s) {
  size_t sl = strlen(s);
  int c = memcmp(text, s, len < sl ? len : sl);
  if (c) return c;
  return len < sl ? -1 : len > sl ? 1 : 0;
}

void set_token(char *token, const char *head, const char *text, size_t len) {
  size_t hl = strlen(head);
  if (hl + len > TOKEN_CAP - 1) len = TOKEN_CAP - 1 - hl;
  memcpy(token, head, hl);
  memcpy(token + hl, text, len);
  token[hl + len] = 0;
}

// The token that names the last page entry: after its group, or after its key.
void token_after_last(const key_set *ks, const page_item *page, size_t n, char *token) {
  if (n == 0) return;
  const page_item &last = page[n - 1];
  const char *key = key_set_key(ks, last.rec);
  if (last.is_prefix) set_token(token, "cpafter:", key, last.prefix_len);
  else set_token(token, "k:", key, strlen(key));
}

struct page_result {
  size_t count = 0;
  size_t key_count = 0;
  int truncated = 0;
  char token[TOKEN_CAP] = "";
};

void build_page(const key_set *ks, int walk_truncated, const list_params *p, page_item *page,
                page_result *out) {
  const size_t prefix_len = strlen(p->prefix);
  const size_t delim_len = strlen(p->delimiter);
  const size_t max_keys = size_t(p->max_keys);
  size_t n = 0;
  for (size_t i = 0; i < ks->count; i++) {
    const char *key = key_set_key(ks, i);
    if (prefix_len && strncmp(key, p->prefix, prefix_len) != 0) continue;
    if (p->resume[0] && strcmp(key, p->resume) <= 0) continue;
    if (n == max_keys) {
      // Cut here: the token says where the next page starts.
      out->truncated = 1;
      size_t cp = delim_len ? common_prefix_len(key, prefix_len, p->delimiter, delim_len) : 0;
      if (!delim_len) {
        token_after_last(ks, page, n, out->token);
      } else if (cp) {
        int after = prefix_on_page(ks, page, n, key, cp) ||
                    (p->resume[0] && cmp_prefix_text(key, cp, p->resume) <= 0);
        set_token(out->token, after ? "cpafter:" : "cp:", key, cp);
      } else {
        token_after_last(ks, page, n, out->token);
      }
      break;
    }
    size_t cp = delim_len ? common_prefix_len(key, prefix_len, p->delimiter, delim_len) : 0;
    if (!cp) {
      page[n++] = page_item{i, 0, 0};
      out->key_count++;
      continue;
    }
    if (cp > KEY_MAX) continue;
    if (p->group_skip && cmp_prefix_text(key, cp, p->resume) == 0) continue;
    if (prefix_on_page(ks, page, n, key, cp)) continue;
    page[n++] = page_item{i, cp, 1};
  }
  out->count = n;
  if (!out->truncated && walk_truncated) {
    // Some directory held more names than one walk takes: the listing cannot claim to be whole.
    out->truncated = 1;
    token_after_last(ks, page, n, out->token);
  }
}

// Escapes the first len characters of text (a common prefix: at most a whole key).
void append_escaped_n(dynbuf *b, const char *text, size_t len) {
  char part[KEY_MAX + 1];
  copy_text_n(part, sizeof part, text, len);
  dynbuf_append_escaped(b, part);
}

void append_text(dynbuf *b, const char *s) { dynbuf_append(b, s, strlen(s)); }

void write_document(dynbuf *b, const char *bucket, const list_params *p, const key_set *ks,
                    const page_item *page, const page_result *pr) {
  append_text(b, "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<ListBucketResult xmlns=\"" S3_XMLNS
                 "\">\n  <Name>");
  append_text(b, bucket);
  append_text(b, "</Name>\n  <Prefix>");
  dynbuf_append_escaped(b, p->prefix);
  append_text(b, "</Prefix>\n");
  if (p->delimiter[0]) {
    append_text(b, "  <Delimiter>");
    dynbuf_append_escaped(b, p->delimiter);
    append_text(b, "</Delimiter>\n");
  }
  if (!p->v2) {
    append_text(b, "  <Marker>");
    dynbuf_append_escaped(b, p->resume);
    append_text(b, "</Marker>\n");
  }
  dynbuf_printf(b, "  <KeyCount>%d</KeyCount>\n  <MaxKeys>%ld</MaxKeys>\n  <IsTruncated>%s</IsTruncated>\n",
                int(pr->key_count), p->max_keys, pr->truncated ? "true" : "false");
  for (size_t i = 0; i < pr->count; i++) {
    const page_item &it = page[i];
    const char *key = key_set_key(ks, it.rec);
    if (it.is_prefix) {
      append_text(b, "  <CommonPrefixes>\n    <Prefix>");
      append_escaped_n(b, key, it.prefix_len);
      append_text(b, "</Prefix>\n  </CommonPrefixes>\n");
      continue;
    }
    const key_record &rec = ks->recs[it.rec];
    char mtime[64];
    format_iso8601(rec.mtime, mtime);
    append_text(b, "  <Contents>\n    <Key>");
    dynbuf_append_escaped(b, key);
    dynbuf_printf(b,
                  "</Key>\n    <LastModified>%s</LastModified>\n    <ETag>\"%s\"</ETag>\n"
                  "    <Size>%llu</Size>\n    <StorageClass>STANDARD</StorageClass>\n  </Contents>\n",
                  mtime, rec.etag, static_cast<unsigned long long>(rec.size));
  }
  if (pr->truncated && pr->token[0]) {
    append_text(b, p->v2 ? "  <NextContinuationToken>" : "  <NextMarker>");
    dynbuf_append_escaped(b, pr->token);
    append_text(b, p->v2 ? "</NextContinuationToken>\n" : "</NextMarker>\n");
  }
  append_text(b, "</ListBucketResult>\n");
}

void answer_empty(plat_sock s) {
  http_send_obj_headers(s, 200, "application/xml", 0, nullptr);
  count_request(0, 0);
}

}  // namespace

void op_list_objects(plat_sock s, S3Request *r, const char *) {
  dynbuf_guard doc;
  if (doc.b.failed || !doc.b.data) {
    answer_empty(s);
    return;
  }
  list_params *p = static_cast<list_params *>(malloc(sizeof(list_params)));
  if (!p) {
    answer_empty(s);
    return;
  }
  read_params(r, p);
  char dir[S3_FS_PATH];
  page_item *page = nullptr;
  key_set ks;
  key_set_init(&ks);
  if (object_path(r->bucket, nullptr, dir) != 0 ||
      !(page = static_cast<page_item *>(malloc(size_t(p->max_keys) * sizeof(page_item))))) {
    free(p);
    answer_empty(s);
    return;
  }
  int walk_truncated = 0;
  // A failed walk (memory) lists as an empty bucket.
  if (gather_key_set(dir, dir, &ks, GATHER_CAP, &walk_truncated) < 0) ks.count = 0;
  key_set_sort(&ks);
  page_result pr;
  build_page(&ks, walk_truncated, p, page, &pr);
  write_document(&doc.b, r->bucket, p, &ks, page, &pr);
  free(page);
  key_set_free(&ks);
  free(p);
  if (doc.b.failed) {
    // Never a half document.
    answer_empty(s);
    return;
  }
  http_send_obj_headers(s, 200, "application/xml", doc.b.len, nullptr);
  http_write_all(s, doc.b.data, doc.b.len);
  count_request(doc.b.len, 0);
}
