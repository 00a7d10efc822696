// The host's JSON view of the store: the bucket list, one bucket's object list and the
// statistics document, all handed back in one static result buffer.
//
// The functions read the disk directly on the host's thread, whether or not the server runs,
// from the storage root of the last start. Before any start there is no root, and every listing
// is empty: walking "/" would report the machine's own directories as buckets.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "base/state.h"
#include "base/limits.h"
#include "hostapi/json_api.h"
#include "http/request.h"
#include "quillmar-s3.h"
#include "server/server.h"
#include "store/files.h"
#include "store/layout.h"
#include "store/names.h"
#include "store/versions.h"
#include "store/walk.h"
#include "yyjson.h"

namespace {

constexpr size_t RESULT_CAP = 1048576;      // 1 MiB, terminator included
constexpr size_t RESULT_MAX = RESULT_CAP - 1;

const char EMPTY_BUCKETS[] = "{\"buckets\":[],\"count\":0}";
const char OOM[] = "{\"error\":\"oom\"}";
const char NO_BUCKET[] = "{\"bucket\":\"\",\"objects\":[],\"count\":0,\"error\":\"no bucket\"}";
const char WRITE_FAIL[] = "{\"error\":\"write fail\"}";

char s_result[RESULT_CAP];

// Replaces the result text (cut to fit) under the result lock.
const char *store_result(const char *text) {
  plat_lock_guard g(result_mutex());
  size_t n = strlen(text);
  if (n > RESULT_MAX) n = RESULT_MAX;
  memcpy(s_result, text, n);
  s_result[n] = '\0';
  return s_result;
}

// The storage root as one consistent copy (a start writes it under the result lock); empty
// before the first start.
void root_snapshot(char out[sizeof(s_storage_root)]) {
  plat_lock_guard g(result_mutex());
  memcpy(out, s_storage_root, sizeof(s_storage_root));
  out[sizeof(s_storage_root) - 1] = '\0';
}

// Names the host may ask for: the bucket-name rule of requests, which also keeps out "..",
// separators and the hidden reserved directories (object_path only checks the root prefix).
int bucket_name_usable(const char *name) {
  return name && valid_bucket_name(name, strlen(name));
}

// JSON string content of text into out[cap] (quotation mark, backslash and controls escaped);
// cut at a whole escape when it does not fit.
void json_escape(const char *text, char *out, size_t cap) {
  static const char HEX[] = "0123456789abcdef";
  size_t w = 0;
  for (const unsigned char *s = reinterpret_cast<const unsigned char *>(text); *s; s++) {
    char esc[7];
    size_t n;
    if (*s == '"' || *s == '\\') {
      esc[0] = '\\';
      esc[1] = static_cast<char>(*s);
      n = 2;
    } else if (*s < 0x20) {
      memcpy(esc, "\\u00", 4);
      esc[4] = HEX[*s >> 4];
      esc[5] = HEX[*s & 15];
      n = 6;
    } else {
      esc[0] = static_cast<char>(*s);
      n = 1;
    }
    if (w + n >= cap) break;
    memcpy(out + w, esc, n);
    w += n;
  }
  out[w] = '\0';
}

// Serialises one object list with the first `listed` entries; NULL text on a write failure.
// Returns 0, or -1 when the document could not be created.
int write_object_list(const char *bucket, const object_entry *ents, size_t listed, char **text) {
  *text = nullptr;
  yyjson_mut_doc *doc = yyjson_mut_doc_new(NULL);
  if (!doc) return -1;
  yyjson_mut_val *root = yyjson_mut_obj(doc);
  if (!root) {
    yyjson_mut_doc_free(doc);
    return -1;
  }
  yyjson_mut_doc_set_root(doc, root);
  yyjson_mut_val *arr = yyjson_mut_obj_add_arr(doc, root, "objects");
  uint64_t total = 0;
  for (size_t i = 0; i < listed; i++) {
    const object_entry *e = &ents[i];
    total += e->size;
    yyjson_mut_val *o = yyjson_mut_obj(doc);
    if (!o) continue;
    yyjson_mut_obj_add_strref(doc, o, "key", e->key);
    yyjson_mut_obj_add_uint(doc, o, "size", e->size);
    yyjson_mut_obj_add_strref(doc, o, "etag", e->etag);
    yyjson_mut_obj_add_strref(doc, o, "last_modified", e->last_modified);
    yyjson_mut_arr_append(arr, o);
  }
  yyjson_mut_obj_add_strref(doc, root, "bucket", bucket);
  yyjson_mut_obj_add_uint(doc, root, "count", listed);
  yyjson_mut_obj_add_uint(doc, root, "total_bytes", total);
  *text = yyjson_mut_write_opts(doc, 0, NULL, NULL, NULL);
  yyjson_mut_doc_free(doc);
  return 0;
}

}  // namespace

extern "C" QUILLMAR_API const char *s3_list_buckets_json(void) {
  yyjson_mut_doc *doc = yyjson_mut_doc_new(NULL);
  if (!doc) return EMPTY_BUCKETS;
  yyjson_mut_val *root = yyjson_mut_obj(doc);
  char (*names)[S3_NAME_SLOT] =
      static_cast<char (*)[S3_NAME_SLOT]>(malloc(S3_JSON_ROOT_NAMES * S3_NAME_SLOT));
  if (!root || !names) {
    free(names);
    yyjson_mut_doc_free(doc);
    return OOM;
  }
  yyjson_mut_doc_set_root(doc, root);
  yyjson_mut_val *arr = yyjson_mut_obj_add_arr(doc, root, "buckets");

  char storage_root[sizeof(s_storage_root)];
  root_snapshot(storage_root);
  size_t n = storage_root[0] ? list_dir_names(storage_root, names, S3_JSON_ROOT_NAMES, nullptr, nullptr) : 0;
  uint64_t count = 0;
  for (size_t i = 0; i < n; i++) {
    if (!root_entry_is_bucket(storage_root, names[i])) continue;
    yyjson_mut_arr_add_strref(doc, arr, names[i]);
    count++;
  }
  yyjson_mut_obj_add_uint(doc, root, "count", count);

  char *text = yyjson_mut_write_opts(doc, 0, NULL, NULL, NULL);
  store_result(text ? text : EMPTY_BUCKETS);
  free(text);
  yyjson_mut_doc_free(doc);
  free(names);
  return s_result;
}

extern "C" QUILLMAR_API const char *s3_list_objects_json(const char *bucket) {
  if (!bucket_name_usable(bucket)) return NO_BUCKET;
  int have_root, bad_path;
  char dir[S3_FS_PATH];
  {
    plat_lock_guard g(result_mutex());  // object_path reads the root a start may be writing
    have_root = s_storage_root[0] != '\0';
    bad_path = have_root && object_path(bucket, nullptr, dir) != 0;
  }
  if (bad_path) return NO_BUCKET;

  object_entry *ents = static_cast<object_entry *>(malloc(S3_JSON_BUCKET_OBJECTS * sizeof(object_entry)));
  if (!ents) return OOM;
  size_t n = 0;
  if (have_root) {
    long got = enumerate_objects(dir, dir, ents, S3_JSON_BUCKET_OBJECTS, nullptr);
    if (got > 0) n = static_cast<size_t>(got);
  }

  // Very long keys can make 256 entries outgrow the result buffer; rather than hand out a text
  // cut in the middle, list fewer entries (count and total_bytes then describe those listed).
  size_t listed = n;
  for (;;) {
    char *text = nullptr;
    if (write_object_list(bucket, ents, listed, &text) != 0) {
      free(ents);
      return OOM;
    }
    size_t len = text ? strlen(text) : 0;
    if (len > RESULT_MAX && listed > 0) {
      size_t fit = static_cast<size_t>(static_cast<double>(listed) * RESULT_MAX / len);
      listed = fit < listed ? fit : listed - 1;
      free(text);
      continue;
    }
    store_result(text ? text : WRITE_FAIL);
    free(text);
    free(ents);
    return s_result;
  }
}

void count_storage(int32_t *buckets, int32_t *objects, uint64_t *bytes) {
  *buckets = 0;
  *objects = 0;
  *bytes = 0;
  char storage_root[sizeof(s_storage_root)];
  root_snapshot(storage_root);
  if (!storage_root[0]) return;
  char (*names)[S3_NAME_SLOT] =
      static_cast<char (*)[S3_NAME_SLOT]>(malloc(S3_JSON_ROOT_NAMES * S3_NAME_SLOT));
  object_entry *ents = static_cast<object_entry *>(malloc(S3_JSON_BUCKET_OBJECTS * sizeof(object_entry)));
  if (names && ents) {
    size_t n = list_dir_names(storage_root, names, S3_JSON_ROOT_NAMES, nullptr, nullptr);
    for (size_t i = 0; i < n; i++) {
      if (!root_entry_is_bucket(storage_root, names[i])) continue;
      *buckets += 1;
      char dir[S3_FS_PATH];
      int w = snprintf(dir, sizeof(dir), "%s/%s", storage_root, names[i]);
      if (w < 0 || static_cast<size_t>(w) >= sizeof(dir)) continue;
      int truncated = 0;  // the 256 cap is the documented limit; the flag is not reported
      long got = enumerate_objects(dir, dir, ents, S3_JSON_BUCKET_OBJECTS, &truncated);
      for (long k = 0; k < got; k++) *bytes += ents[k].size;
      if (got > 0) *objects += static_cast<int32_t>(got);
      // A versioned bucket's older versions take room too.
      uint64_t kept = 0;
      versions_kept_bytes(names[i], S3_JSON_BUCKET_OBJECTS, &kept);
      *bytes += kept;
    }
  }
  free(ents);
  free(names);
}

extern "C" QUILLMAR_API const char *s3_get_stats_json(void) {
  int32_t buckets, objects;
  uint64_t bytes;
  count_storage(&buckets, &objects, &bytes);
  uint64_t requests, served, uploaded;
  read_counters(&requests, &served, &uploaded);
  // How well clients reuse their connections: accepted connections, requests that came on a
  // connection that had carried one before, and the most one connection carried.
  uint64_t connections, reused, most;
  conn_counts(&connections, &reused, &most);

  // The two texts come from the host's start arguments; a root like C:\data or one with a
  // quotation mark would otherwise break the document, so they are escaped.
  static char root_esc[sizeof(s_storage_root) * 6];
  static char bind_esc[sizeof(s_bind_addr) * 6];
  int running = server_is_running();

  plat_lock_guard g(result_mutex());
  json_escape(s_storage_root, root_esc, sizeof(root_esc));
  json_escape(s_bind_addr, bind_esc, sizeof(bind_esc));
  snprintf(s_result, sizeof(s_result),
           "{\"running\":%d,\"port\":%d,\"bind_addr\":\"%s\",\"storage_root\":\"%s\","
           "\"total_buckets\":%d,\"total_objects\":%d,\"storage_used_bytes\":%llu,"
           "\"requests_count\":%llu,\"bytes_served\":%llu,\"bytes_uploaded\":%llu,"
           "\"connections_count\":%llu,\"requests_on_reused_connections\":%llu,"
           "\"most_requests_per_connection\":%llu}",
           running, s_port, bind_esc, root_esc, static_cast<int>(buckets),
           static_cast<int>(objects), static_cast<unsigned long long>(bytes),
           static_cast<unsigned long long>(requests), static_cast<unsigned long long>(served),
           static_cast<unsigned long long>(uploaded), static_cast<unsigned long long>(connections),
           static_cast<unsigned long long>(reused), static_cast<unsigned long long>(most));
  return s_result;
}
