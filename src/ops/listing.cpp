// ListObjects, versions 1 and 2, and ListObjectVersions: the bucket is walked in key order from the resume point (or
// the prefix), keys are grouped by delimiter into common prefixes, and the walk stops once the
// page holds max-keys entries and one more entry tells whether it is truncated. The position
// between pages lives entirely in the version-2 token, or in the version-1 marker (the last key
// or common prefix of the page, as S3 hands it out). The store keeps one version of each key,
// so ListObjectVersions is the version-1 listing with each key as its "null" version and
// key-marker as the marker.
#include <cstdlib>
#include <cstring>
#include <new>

#include "base/date.h"
#include "base/limits.h"
#include "digest/hash.h"
#include "base/state.h"
#include "http/request.h"
#include "http/response.h"
#include "ops/key_text.h"
#include "ops/ops.h"
#include "store/files.h"
#include "store/layout.h"
#include "store/object.h"
#include "store/versions.h"
#include "store/walk.h"

namespace {

constexpr size_t TOKEN_CAP = 4160;     // next token handed out: "cpafter:" and a whole key
// Marker, continuation token and prefix are kept whole (the query that carries them is far
// shorter than these fields): a cut resume point would make a paging client see the same
// keys again forever, and a cut prefix would list keys outside it.
constexpr size_t PARAM_CAP = 4160;
constexpr size_t DELIM_CAP = 256;

struct list_params {
  int v2;
  int versions;            // ListObjectVersions
  int has_version_marker;  // version-id-marker was sent (ListObjectVersions echoes it)
  char version_marker[S3_VID_CAP];
  long max_keys;           // 0 to 1000
  int url;                 // encoding-type=url: key texts go out percent-encoded
  int fetch_owner;         // version 2 writes each key's Owner
  int has_token;           // continuation-token was sent (version 2 echoes it)
  int has_start_after;     // start-after was sent (version 2 echoes it)
  char prefix[PARAM_CAP];
  char delimiter[DELIM_CAP];
  char marker[PARAM_CAP];       // as sent, decoded (key-marker for ListObjectVersions)
  char token[PARAM_CAP];        // as sent, decoded
  char start_after[PARAM_CAP];  // as sent, decoded
  char resume[PARAM_CAP];  // where the page starts: keys up to this are not listed
  // With a delimiter, keys whose common prefix sorts at or before resume are not listed: the
  // resume point is a common prefix already returned ("cpafter:" tokens and version-1 markers
  // that name one, as S3 hands them out in NextMarker) or lies inside such a group.
  int group_skip;
  // The resume point is a common prefix cut from the last page ("cp:" tokens): the page starts
  // at it, so a folder marker whose key is that very prefix ("m/") is not passed over.
  int resume_at;
};

// Copies a query parameter's raw value into dst when present (cut to fit). 1 when present.
int copy_param(const char *query, const char *name, char *dst, size_t cap) {
  owned_str v(qparam(query, name));
  if (v.p) copy_text(dst, cap, v.p);
  return v.p != nullptr;
}

// max-keys as S3 takes it: a non-negative integer within the 32-bit range; more than 1000
// lists 1000. 0 with the value, -1 for anything else.
int parse_max_keys(const char *text, long *out) {
  uint64_t v = 0;
  if (parse_decimal(text, strlen(text), 2147483647, 0, &v) != 0) return -1;
  *out = v > uint64_t(S3_LIST_MAX_KEYS) ? S3_LIST_MAX_KEYS : long(v);
  return 0;
}

// The continuation token's form head, which says how the page resumes.
void parse_token(list_params *p) {
  const char *rest = p->token;
  if (strncmp(p->token, "k:", 2) == 0) {
    rest = p->token + 2;
  } else if (strncmp(p->token, "cp:", 3) == 0) {
    rest = p->token + 3;
    p->resume_at = 1;
  } else if (strncmp(p->token, "cpafter:", 8) == 0) {
    rest = p->token + 8;
    p->group_skip = 1;
  }
  copy_text(p->resume, sizeof p->resume, rest);
}

// key-marker and version-id-marker of ListObjectVersions. Every key has the one version
// "null", so a page that resumes at (key, "null") starts after the key, as one that names the
// key alone does. 0, or -1 with the 400 InvalidArgument message to answer.
int read_version_markers(const S3Request *r, list_params *p, const char **error) {
  int has_key = copy_param(r->query, "key-marker", p->marker, sizeof p->marker);
  owned_str vid(qparam(r->query, "version-id-marker"));
  if (!vid.p || !vid.p[0]) return 0;
  if (!has_key || !p->marker[0]) {
    *error = "A version-id marker cannot be specified without a key marker.";
    return -1;
  }
  if (!version_id_valid(vid.p)) {
    *error = "Invalid version id specified";
    return -1;
  }
  p->has_version_marker = 1;
  copy_text(p->version_marker, sizeof p->version_marker, vid.p);
  return 0;
}

// Reads the query. 0, or -1 with the 400 InvalidArgument message to answer.
int read_params(const S3Request *r, int versions, list_params *p, const char **error) {
  memset(p, 0, sizeof *p);
  p->versions = versions;
  if (versions) {
    if (read_version_markers(r, p, error) != 0) return -1;
  } else {
    owned_str list_type(qparam(r->query, "list-type"));
    p->v2 = list_type.p && strcmp(list_type.p, "2") == 0;
    copy_param(r->query, "marker", p->marker, sizeof p->marker);
    p->has_token = copy_param(r->query, "continuation-token", p->token, sizeof p->token);
    p->has_start_after = copy_param(r->query, "start-after", p->start_after, sizeof p->start_after);
  }
  copy_param(r->query, "delimiter", p->delimiter, sizeof p->delimiter);
  copy_param(r->query, "prefix", p->prefix, sizeof p->prefix);
  p->max_keys = S3_LIST_MAX_KEYS;
  owned_str mk(qparam(r->query, "max-keys"));
  if (mk.p && parse_max_keys(mk.p, &p->max_keys) != 0) {
    *error = "Provided max-keys not an integer or within integer range";
    return -1;
  }
  owned_str enc(qparam(r->query, "encoding-type"));
  if (enc.p && strcmp(enc.p, "url") != 0) {
    *error = "Invalid Encoding Method specified in Request";
    return -1;
  }
  p->url = enc.p != nullptr;
  owned_str owner(qparam(r->query, "fetch-owner"));
  p->fetch_owner = p->v2 && owner.p && strcmp(owner.p, "true") == 0;
  pct_decode(p->prefix);
  pct_decode(p->delimiter);
  pct_decode(p->marker);
  pct_decode(p->token);
  pct_decode(p->start_after);
  if (p->has_token) {
    parse_token(p);
  } else {
    // A marker or start-after is a plain key or common prefix: the page starts right after it.
    copy_text(p->resume, sizeof p->resume, p->v2 && p->has_start_after ? p->start_after : p->marker);
    p->group_skip = 1;
  }
  return 0;
}

// Length of key's common prefix (through the first delimiter after the prefix), or 0 when the
// key holds no delimiter there.
size_t common_prefix_len(const char *key, size_t prefix_len, const char *delim, size_t delim_len) {
  const char *hit = strstr(key + prefix_len, delim);
  return hit ? size_t(hit - key) + delim_len : 0;
}

// Where the walk starts and how the resume point is honoured.
struct walk_start {
  const char *seek;
  key_seek_mode mode;
  int group_filter;  // skip keys whose common prefix sorts at or before the resume point
};

// The resume point is a whole group of keys (a "cpafter:" token or a marker naming a common
// prefix of this prefix and delimiter): every key that begins with it has it as its common prefix, so the
// walk can start past all of them at once.
int resume_is_group(const list_params *p, size_t prefix_len, size_t delim_len) {
  if (!p->group_skip || !delim_len) return 0;
  if (strncmp(p->resume, p->prefix, prefix_len) != 0) return 0;
  return common_prefix_len(p->resume, prefix_len, p->delimiter, delim_len) == strlen(p->resume);
}

walk_start choose_start(const list_params *p, size_t prefix_len, size_t delim_len) {
  walk_start ws{p->prefix, KEY_SEEK_FROM, 0};
  if (!p->resume[0]) return ws;
  int past = resume_is_group(p, prefix_len, delim_len);
  ws.group_filter = p->group_skip && delim_len;
  key_seek_mode mode = past ? KEY_SEEK_PAST : p->resume_at ? KEY_SEEK_FROM : KEY_SEEK_AFTER;
  // The later of the two starting points; filtering in the page loop still checks both.
  if (strcmp(p->resume, p->prefix) >= 0 ||
      (past && strncmp(p->prefix, p->resume, strlen(p->resume)) == 0)) {
    ws.seek = p->resume;
    ws.mode = mode;
  }
  return ws;
}

void set_token(char *token, const char *head, const char *text, size_t len) {
  size_t hl = strlen(head);
  if (hl + len > TOKEN_CAP - 1) len = TOKEN_CAP - 1 - hl;
  memcpy(token, head, hl);
  memcpy(token + hl, text, len);
  token[hl + len] = 0;
}

int cmp_prefix_text(const char *text, size_t len, const char *s) {
  size_t sl = strlen(s);
  int c = memcmp(text, s, len < sl ? len : sl);
  if (c) return c;
  return len < sl ? -1 : len > sl ? 1 : 0;
}

// The page as it is built: the entries already written and the last one, which the next
// token may have to name.
struct page_state {
  dynbuf *entries;
  const char *bucket = "";  // whose records hold the keys' ETags
  size_t count = 0;  // keys and common prefixes on the page
  int truncated = 0;
  char last[S3_KEY_FIELD] = "";  // the last entry's key or common prefix
  size_t last_len = 0;
  int last_is_prefix = 0;
  char token[TOKEN_CAP] = "";
  char last_vid[S3_VID_CAP] = "";  // the last entry's version id (versioned listings)
};

void remember_last(page_state *ps, const char *text, size_t len, int is_prefix) {
  memcpy(ps->last, text, len);
  ps->last[len] = 0;
  ps->last_len = len;
  ps->last_is_prefix = is_prefix;
}

void append_text(dynbuf *b, const char *s) { dynbuf_append(b, s, strlen(s)); }

void add_key_entry(page_state *ps, const list_params *p, const char *key, const char *path,
                   uint64_t size, int64_t mtime) {
  char etag[S3_ETAG_CAP];
  object_list_etag(ps->bucket, key, path, etag, sizeof etag, &size, &mtime);
  char when[64];
  format_iso8601(mtime, when);
  const char *element = p->versions ? "Version" : "Contents";
  dynbuf_printf(ps->entries, "  <%s>\n", element);
  append_key_element(ps->entries, "    ", "Key", key, p->url);
  if (p->versions)
    append_text(ps->entries, "    <VersionId>null</VersionId>\n    <IsLatest>true</IsLatest>\n");
  dynbuf_printf(ps->entries,
                "    <LastModified>%s</LastModified>\n    <ETag>\"%s\"</ETag>\n"
                "    <Size>%llu</Size>\n    <StorageClass>STANDARD</StorageClass>\n",
                when, etag, static_cast<unsigned long long>(size));
  // The store has one owner, the one the bucket listing names.
  if (p->fetch_owner || p->versions)
    append_text(ps->entries,
                "    <Owner>\n      <ID>quillmarlocal</ID>\n      <DisplayName>local</DisplayName>\n"
                "    </Owner>\n");
  dynbuf_printf(ps->entries, "  </%s>\n", element);
  remember_last(ps, key, strlen(key), 0);
  ps->count++;
}

void add_prefix_entry(page_state *ps, const list_params *p, const char *key, size_t cp) {
  remember_last(ps, key, cp, 1);
  append_text(ps->entries, "  <CommonPrefixes>\n");
  append_key_element(ps->entries, "    ", "Prefix", ps->last, p->url);
  append_text(ps->entries, "  </CommonPrefixes>\n");
  ps->count++;
}

// The token for a page cut at the key that did not fit: where the next page starts. The key's
// own group, if it has one, is neither on the page nor before the resume point.
void cut_token(page_state *ps, const char *key, size_t cp) {
  ps->truncated = 1;
  if (cp)
    set_token(ps->token, "cp:", key, cp);
  else if (ps->count)
    set_token(ps->token, ps->last_is_prefix ? "cpafter:" : "k:", ps->last, ps->last_len);
}

// 1 when a key with common prefix cp (of length cp) adds nothing to the page: its group is
// already on it, or sorts at or before the resume point, or is too long to show.
int group_adds_nothing(const walk_start *ws, const list_params *p, const page_state *ps,
                       const char *key, size_t cp) {
  if (cp > S3_KEY_MAX) return 1;
  if (ws->group_filter && cmp_prefix_text(key, cp, p->resume) <= 0) return 1;
  return ps->last_is_prefix && ps->last_len == cp && memcmp(ps->last, key, cp) == 0;
}

// Walks from the start point and fills the page; the listing is truncated only when one more
// entry follows it. 0, or -1 when the walk failed (memory).
int build_page(key_walk *w, const walk_start *ws, const list_params *p, page_state *ps) {
  const size_t prefix_len = strlen(p->prefix);
  const size_t delim_len = strlen(p->delimiter);
  const size_t max_keys = size_t(p->max_keys);
  char key[S3_KEY_FIELD];
  uint64_t size = 0;
  int64_t mtime = 0;
  if (max_keys == 0) return 0;
  for (;;) {
    int rc = key_walk_next(w, key, &size, &mtime);
    if (rc < 0) return -1;
    if (rc == 0) return 0;
    if (prefix_len && strncmp(key, p->prefix, prefix_len) != 0) {
      if (strcmp(key, p->prefix) > 0) return 0;  // past every key that has the prefix
      continue;
    }
    if (p->resume[0] && strcmp(key, p->resume) < (p->resume_at ? 0 : 1)) continue;
    size_t cp = delim_len ? common_prefix_len(key, prefix_len, p->delimiter, delim_len) : 0;
    if (cp && group_adds_nothing(ws, p, ps, key, cp)) {
      if (cp > S3_KEY_MAX) continue;
      char group[S3_KEY_FIELD];
      memcpy(group, key, cp);
      group[cp] = 0;
      if (key_walk_skip_prefix(w, group) != 0) return -1;
      continue;
    }
    if (ps->count == max_keys) {
      cut_token(ps, key, cp);
      return 0;
    }
    if (!cp) {
      add_key_entry(ps, p, key, w->path, size, mtime);
      continue;
    }
    add_prefix_entry(ps, p, key, cp);
    // The rest of the group adds nothing to this page.
    if (key_walk_skip_prefix(w, ps->last) != 0) return -1;
  }
}

// ---------------------------------------------------------------- versioned buckets

// One key's versions on the page: the current one (its data file at cur_path, "" for none),
// then the kept ones under area ("" for none), newest first, from the resume point within the
// key when the page starts inside it.
struct key_versions {
  const char *key;
  const char *cur_path;
  const char *area;
  const char *after_vid;  // resume after this version of the key ("" for the key's start)
};

void add_owner(dynbuf *b) {
  append_text(b, "    <Owner>\n      <ID>quillmarlocal</ID>\n      <DisplayName>local</DisplayName>\n"
                 "    </Owner>\n");
}

void add_version_entry(page_state *ps, const list_params *p, const char *key, const char *vid,
                       int latest, int marker, const char *etag, uint64_t size, int64_t mtime) {
  char when[64];
  format_iso8601(mtime, when);
  const char *element = marker ? "DeleteMarker" : "Version";
  dynbuf_printf(ps->entries, "  <%s>\n", element);
  append_key_element(ps->entries, "    ", "Key", key, p->url);
  dynbuf_printf(ps->entries,
                "    <VersionId>%s</VersionId>\n    <IsLatest>%s</IsLatest>\n"
                "    <LastModified>%s</LastModified>\n",
                vid, latest ? "true" : "false", when);
  if (!marker)
    dynbuf_printf(ps->entries,
                  "    <ETag>\"%s\"</ETag>\n    <Size>%llu</Size>\n"
                  "    <StorageClass>STANDARD</StorageClass>\n",
                  etag, static_cast<unsigned long long>(size));
  add_owner(ps->entries);
  dynbuf_printf(ps->entries, "  </%s>\n", element);
  remember_last(ps, key, strlen(key), 0);
  copy_text(ps->last_vid, sizeof ps->last_vid, vid);
  ps->count++;
}

// Adds the versions of one key while the page has room: 0 all added, 1 the page filled up
// before the key's end (the page is then cut), -1 memory.
int add_key_versions(page_state *ps, const list_params *p, const key_versions *kv) {
  const size_t max_keys = size_t(p->max_keys);
  char cur_vid[S3_VID_CAP] = "";
  char cur_base[S3_VBASE_CAP] = "";
  if (kv->cur_path[0]) {
    object_current_id(ps->bucket, kv->key, kv->cur_path, cur_vid);
    if (strcmp(cur_vid, "null") == 0) {
      plat_file_id id;
      if (plat_file_identity(kv->cur_path, &id) == 0) version_base(id.mtime_ns, 0, 1, cur_base);
    } else {
      copy_text(cur_base, sizeof cur_base, cur_vid);
    }
  }
  // Where the page resumes among the kept ones.
  char after[S3_VBASE_CAP] = "";
  int skip_current = 0;
  if (kv->after_vid[0]) {
    skip_current = 1;
    int marker = 0;
    if (cur_vid[0] && strcmp(kv->after_vid, cur_vid) == 0)
      after[0] = 0;
    else if (kv->area[0] && versions_find(kv->area, kv->after_vid, after, &marker) != 1 &&
             strcmp(kv->after_vid, "null") != 0)
      copy_text(after, sizeof after, kv->after_vid);
  }
  if (cur_vid[0] && !skip_current) {
    if (ps->count == max_keys) return 1;
    char etag[S3_ETAG_CAP];
    uint64_t size = 0;
    int64_t mtime = 0;
    object_list_etag(ps->bucket, kv->key, kv->cur_path, etag, sizeof etag, &size, &mtime);
    add_version_entry(ps, p, kv->key, cur_vid, 1, 0, etag, size, mtime);
  }
  if (!kv->area[0]) return 0;
  // The kept ones a page at a time, so a key with very many costs no more memory than a page.
  const size_t batch_cap = S3_LIST_MAX_KEYS + 1;
  kept_version *batch = static_cast<kept_version *>(malloc(batch_cap * sizeof(kept_version)));
  if (!batch) return -1;
  int newest_seen = 0;
  int rc = 0;
  for (;;) {
    int more = 0;
    size_t room = max_keys - ps->count + 1;
    size_t n = versions_scan(kv->area, after, batch, room < batch_cap ? room : batch_cap, &more);
    for (size_t i = 0; i < n; i++) {
      if (cur_base[0] && strcmp(batch[i].base, cur_base) == 0) continue;
      // With no current version, the newest kept one is the latest (a delete marker, as a rule).
      int latest = !cur_vid[0] && !after[0] && !newest_seen;
      newest_seen = 1;
      if (ps->count == max_keys) {
        rc = 1;
        break;
      }
      char vid[S3_VID_CAP];
      version_id_of_base(batch[i].base, vid);
      char etag[S3_ETAG_CAP] = "";
      uint64_t size = 0;
      int64_t mtime = version_base_time(batch[i].base) / 1000000000;
      if (!batch[i].marker &&
          kept_version_info(kv->area, batch[i].base, etag, sizeof etag, &size, &mtime) != 0)
        continue;
      add_version_entry(ps, p, kv->key, vid, latest, batch[i].marker, etag, size, mtime);
    }
    if (rc || !more || !n) break;
    copy_text(after, sizeof after, batch[n - 1].base);
  }
  free(batch);
  return rc;
}

// The next key of a walk, with its data file's path: 1, 0 at the end, -1 memory.
int walk_step(key_walk *w, int *have, char key[S3_KEY_FIELD], char path[S3_FS_PATH]) {
  if (*have) return 1;
  uint64_t size = 0;
  int64_t mtime = 0;
  int rc = key_walk_next(w, key, &size, &mtime);
  if (rc == 1) {
    copy_text(path, S3_FS_PATH, w->path);
    *have = 1;
  }
  return rc;
}

// The pages of a versioned bucket: the walk of its current files merged with the walk of its
// area of kept versions, both in key order.
int build_versions_page(key_walk *cw, key_walk *aw, const walk_start *ws, const list_params *p,
                        page_state *ps) {
  const size_t prefix_len = strlen(p->prefix);
  const size_t delim_len = strlen(p->delimiter);
  const size_t max_keys = size_t(p->max_keys);
  if (max_keys == 0) return 0;
  char ckey[S3_KEY_FIELD], akey[S3_KEY_FIELD], key[S3_KEY_FIELD];
  char cpath[S3_FS_PATH], apath[S3_FS_PATH];
  int chave = 0, ahave = 0;
  for (;;) {
    int rc1 = walk_step(cw, &chave, ckey, cpath);
    int rc2 = walk_step(aw, &ahave, akey, apath);
    if (rc1 < 0 || rc2 < 0) return -1;
    if (!chave && !ahave) return 0;
    int c = !chave ? 1 : !ahave ? -1 : strcmp(ckey, akey);
    copy_text(key, sizeof key, c <= 0 ? ckey : akey);
    const char *cur = c <= 0 ? cpath : "";
    char area[S3_FS_PATH] = "";
    if (c >= 0) {
      copy_text(area, sizeof area, apath);
      char *slash = strrchr(area, '/');
      if (slash) *slash = 0;
    }
    if (c <= 0) chave = 0;
    if (c >= 0) ahave = 0;
    if (prefix_len && strncmp(key, p->prefix, prefix_len) != 0) {
      if (strcmp(key, p->prefix) > 0) return 0;
      continue;
    }
    int at_marker = p->has_version_marker && strcmp(key, p->marker) == 0;
    if (p->resume[0] && !at_marker && strcmp(key, p->resume) < 1) continue;
    size_t cp = delim_len ? common_prefix_len(key, prefix_len, p->delimiter, delim_len) : 0;
    if (cp && group_adds_nothing(ws, p, ps, key, cp)) {
      if (cp > S3_KEY_MAX) continue;
      char group[S3_KEY_FIELD];
      memcpy(group, key, cp);
      group[cp] = 0;
      if (key_walk_skip_prefix(cw, group) != 0 || key_walk_skip_prefix(aw, group) != 0) return -1;
      chave = ahave = 0;
      continue;
    }
    if (ps->count == max_keys) {
      cut_token(ps, key, cp);
      return 0;
    }
    if (cp) {
      add_prefix_entry(ps, p, key, cp);
      ps->last_vid[0] = 0;
      if (key_walk_skip_prefix(cw, ps->last) != 0 || key_walk_skip_prefix(aw, ps->last) != 0)
        return -1;
      chave = ahave = 0;
      continue;
    }
    key_versions kv = {key, cur, area, at_marker ? p->version_marker : ""};
    int rc = add_key_versions(ps, p, &kv);
    if (rc < 0) return -1;
    if (rc == 1) {
      ps->truncated = 1;
      return 0;
    }
  }
}

// The elements between Prefix and the entries, as each version has them.
void write_head_elements(dynbuf *b, const list_params *p, const page_state *ps) {
  if (p->delimiter[0]) append_key_element(b, "  ", "Delimiter", p->delimiter, p->url);
  if (p->url) append_text(b, "  <EncodingType>url</EncodingType>\n");
  if (!p->v2) {
    append_key_element(b, "  ", "Marker", p->has_token ? p->resume : p->marker, p->url);
    // As S3 does: NextMarker only with a delimiter; without one the last key is the marker.
    if (ps->truncated && p->delimiter[0] && ps->count)
      append_key_element(b, "  ", "NextMarker", ps->last, p->url);
  } else {
    // The token is the server's own text, handed back as it was received.
    if (p->has_token) {
      append_text(b, "  <ContinuationToken>");
      dynbuf_append_escaped(b, p->token);
      append_text(b, "</ContinuationToken>\n");
    }
    if (p->has_start_after) append_key_element(b, "  ", "StartAfter", p->start_after, p->url);
  }
  dynbuf_printf(b, "  <KeyCount>%d</KeyCount>\n  <MaxKeys>%ld</MaxKeys>\n  <IsTruncated>%s</IsTruncated>\n",
                int(ps->count), p->max_keys, ps->truncated ? "true" : "false");
}

// ListVersionsResult's elements before the entries. The page resumes after NextKeyMarker: a
// key (whose one version is "null") or a common prefix, which names no version.
void write_versions_head(dynbuf *b, const list_params *p, const page_state *ps) {
  append_key_element(b, "  ", "KeyMarker", p->marker, p->url);
  dynbuf_printf(b, "  <VersionIdMarker>%s</VersionIdMarker>\n",
                p->has_version_marker ? p->version_marker : "");
  if (ps->truncated && ps->count) {
    append_key_element(b, "  ", "NextKeyMarker", ps->last, p->url);
    if (!ps->last_is_prefix)
      dynbuf_printf(b, "  <NextVersionIdMarker>%s</NextVersionIdMarker>\n",
                    ps->last_vid[0] ? ps->last_vid : "null");
  }
  dynbuf_printf(b, "  <MaxKeys>%ld</MaxKeys>\n", p->max_keys);
  if (p->delimiter[0]) append_key_element(b, "  ", "Delimiter", p->delimiter, p->url);
  if (p->url) append_text(b, "  <EncodingType>url</EncodingType>\n");
  dynbuf_printf(b, "  <IsTruncated>%s</IsTruncated>\n", ps->truncated ? "true" : "false");
}

void write_document(dynbuf *b, const char *bucket, const list_params *p, const page_state *ps) {
  const char *root = p->versions ? "ListVersionsResult" : "ListBucketResult";
  dynbuf_printf(b, "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<%s xmlns=\"" S3_XMLNS
                   "\">\n  <Name>", root);
  append_text(b, bucket);
  append_text(b, "</Name>\n");
  // Version 1 leaves its Prefix as sent even under encoding-type=url, as S3 does.
  append_key_element(b, "  ", "Prefix", p->prefix, p->url && (p->v2 || p->versions));
  if (p->versions)
    write_versions_head(b, p, ps);
  else
    write_head_elements(b, p, ps);
  if (ps->entries->len) dynbuf_append(b, ps->entries->data, ps->entries->len);
  if (ps->truncated && ps->token[0] && p->v2) {
    append_text(b, "  <NextContinuationToken>");
    dynbuf_append_escaped(b, ps->token);
    append_text(b, "</NextContinuationToken>\n");
  }
  dynbuf_printf(b, "</%s>\n", root);
}

void answer_empty(plat_sock s, const S3Request *r) {
  http_send_obj_headers(s, &r->answer, 200, "application/xml", 0, nullptr);
  count_request(0, 0);
}

// Fills the document; 0, or -1 when the bucket could not be walked to the end of the page.
// area, when given, is the bucket's area of kept versions, walked beside it.
int list_into(dynbuf *doc, const char *dir, const char *bucket, const list_params *p,
              const char *area) {
  const size_t prefix_len = strlen(p->prefix);
  const size_t delim_len = strlen(p->delimiter);
  walk_start ws = choose_start(p, prefix_len, delim_len);
  // A page that resumes inside a key starts at that key.
  if (area && p->has_version_marker && strcmp(ws.seek, p->marker) == 0) ws.mode = KEY_SEEK_FROM;
  key_walk_guard g;
  if (!g.w || key_walk_open(g.w, dir, ws.seek, ws.mode) != 0) return -1;
  key_walk_guard ga;
  if (area && (!ga.w || key_walk_open(ga.w, area, ws.seek, ws.mode) != 0)) return -1;
  dynbuf_guard entries;
  page_state *ps = static_cast<page_state *>(malloc(sizeof(page_state)));
  if (!ps) return -1;
  new (ps) page_state();
  ps->entries = &entries.b;
  ps->bucket = bucket;
  int rc = area ? build_versions_page(g.w, ga.w, &ws, p, ps) : build_page(g.w, &ws, p, ps);
  if (rc == 0) write_document(doc, bucket, p, ps);
  if (entries.b.failed) rc = -1;
  free(ps);
  return rc;
}

}  // namespace

static void list_bucket(plat_sock s, S3Request *r, int versions) {
  dynbuf_guard doc;
  if (doc.b.failed || !doc.b.data) {
    answer_empty(s, r);
    return;
  }
  list_params *p = static_cast<list_params *>(malloc(sizeof(list_params)));
  if (!p) {
    answer_empty(s, r);
    return;
  }
  const char *error = nullptr;
  if (read_params(r, versions, p, &error) != 0) {
    free(p);
    answer_error(s, r, 400, "InvalidArgument", error);
    return;
  }
  char dir[S3_FS_PATH];
  if (object_path(r->bucket, nullptr, dir) != 0) {
    free(p);
    answer_empty(s, r);
    return;
  }
  // A symbolic link in a bucket's place is no bucket: what it points at is not this store's.
  if (!is_directory(dir)) {
    free(p);
    answer_error(s, r, 404, "NoSuchBucket", "The specified bucket does not exist");
    return;
  }
  // A bucket that has (or had) versioning lists its kept versions beside the current ones.
  char area[S3_FS_PATH];
  int versioned = versions && (bucket_versioning(r->bucket) != VERSIONING_OFF ||
                               (versions_bucket_dir(r->bucket, area) == 0 && is_directory(area)));
  if (versioned && versions_bucket_dir(r->bucket, area) != 0) versioned = 0;
  if (versions && !versioned && p->has_version_marker && strcmp(p->version_marker, "null") != 0) {
    free(p);
    answer_error(s, r, 400, "InvalidArgument", "Invalid version id specified");
    return;
  }
  int rc = list_into(&doc.b, dir, r->bucket, p, versioned ? area : nullptr);
  free(p);
  if (rc != 0 || doc.b.failed) {
    // Never a half document, and never a cut listing that claims to be whole.
    answer_error(s, r, 500, "InternalError", "We encountered an internal error. Please try again.");
    return;
  }
  http_send_obj_headers(s, &r->answer, 200, "application/xml", doc.b.len, nullptr);
  http_write_all(s, &r->answer, doc.b.data, doc.b.len);
  count_request(doc.b.len, 0);
}

void op_list_objects(plat_sock s, S3Request *r, const char *) { list_bucket(s, r, 0); }

void op_list_object_versions(plat_sock s, S3Request *r) { list_bucket(s, r, 1); }
