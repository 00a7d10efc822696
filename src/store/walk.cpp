// Key enumeration: sorted directory listings and the walkers behind every listing of objects.
//
// The walkers go depth first through a bucket, each directory in the byte-wise order of its
// entry names. They run without recursion: the names of every directory on the current path
// are kept packed in one growable block (a stack of directory listings), so a key nested two
// thousand levels deep costs only its own names, never a full name list per level. Each
// directory contributes at most a fixed number of names (the first ones the platform yields),
// which is what decides the listings and the truncation flag.
#include "store/walk.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "auth/hash.h"
#include "platform/platform.h"
#include "store/layout.h"

static constexpr size_t GATHER_DIR_CAP = 16384;     // names taken from one directory by gather_keys
static constexpr size_t ENUMERATE_DIR_CAP = 256;    // ... and by enumerate_objects
static constexpr size_t PATH_MAX_CHARS = S3_FS_PATH - 1;
static const char ZERO_ETAG[] = "00000000000000000000000000000000";

// ---------------------------------------------------------------- one directory, fixed slots

size_t list_dir_names(const char *dir, char (*names)[S3_NAME_SLOT], size_t cap, int *is_dir,
                      int *truncated) {
  if (truncated) *truncated = 0;
  plat_dir *d = plat_dir_open(dir);
  if (!d) return 0;
  size_t n = 0;
  char name[S3_NAME_SLOT];
  int flag = 0;
  while (plat_dir_next(d, name, sizeof name, &flag) == 1) {
    if (n == cap) {
      if (truncated) *truncated = 1;
      break;
    }
    memcpy(names[n], name, strlen(name) + 1);
    if (is_dir) is_dir[n] = flag;
    n++;
  }
  plat_dir_close(d);
  if (n < 2) return n;

  // Sort an index (stable: ties keep the platform's order), then apply it in place by
  // following its cycles, so a 16384-name list costs n log n rather than n^2 slot moves.
  size_t *order = static_cast<size_t *>(malloc(n * sizeof(size_t)));
  if (!order) {
    // Insertion sort needs no memory at all.
    for (size_t i = 1; i < n; i++) {
      char held[S3_NAME_SLOT];
      memcpy(held, names[i], sizeof held);
      int held_flag = is_dir ? is_dir[i] : 0;
      size_t j = i;
      while (j > 0 && strcmp(names[j - 1], held) > 0) {
        memcpy(names[j], names[j - 1], S3_NAME_SLOT);
        if (is_dir) is_dir[j] = is_dir[j - 1];
        j--;
      }
      memcpy(names[j], held, sizeof held);
      if (is_dir) is_dir[j] = held_flag;
    }
    return n;
  }
  for (size_t i = 0; i < n; i++) order[i] = i;
  std::sort(order, order + n, [names](size_t a, size_t b) {
    int c = strcmp(names[a], names[b]);
    return c < 0 || (c == 0 && a < b);
  });
  // order[i] is the slot whose name belongs at position i.
  for (size_t i = 0; i < n; i++) {
    if (order[i] == i) continue;
    char held[S3_NAME_SLOT];
    memcpy(held, names[i], sizeof held);
    int held_flag = is_dir ? is_dir[i] : 0;
    size_t j = i;
    for (;;) {
      size_t from = order[j];
      order[j] = j;
      if (from == i) {
        memcpy(names[j], held, sizeof held);
        if (is_dir) is_dir[j] = held_flag;
        break;
      }
      memcpy(names[j], names[from], S3_NAME_SLOT);
      if (is_dir) is_dir[j] = is_dir[from];
      j = from;
    }
  }
  free(order);
  return n;
}

int list_entry_cmp(const void *a, const void *b) {
  return strcmp(static_cast<const list_entry *>(a)->key, static_cast<const list_entry *>(b)->key);
}

// ---------------------------------------------------------------- the shared walk

namespace {

struct packed_name {
  size_t off;  // into name_stack::text
  int is_dir;
};

// The listings of every directory on the current walk path, innermost last.
struct name_stack {
  char *text = nullptr;
  size_t text_len = 0, text_cap = 0;
  packed_name *ents = nullptr;
  size_t count = 0, ents_cap = 0;
  ~name_stack() {
    free(text);
    free(ents);
  }
  int add(const char *name, int is_dir) {
    size_t nl = strlen(name);
    if (text_len + nl + 1 > text_cap) {
      size_t nc = text_cap ? text_cap * 2 : 65536;
      while (nc < text_len + nl + 1) nc *= 2;
      char *t = static_cast<char *>(realloc(text, nc));
      if (!t) return -1;
      text = t;
      text_cap = nc;
    }
    if (count == ents_cap) {
      size_t nc = ents_cap ? ents_cap * 2 : 1024;
      packed_name *e = static_cast<packed_name *>(realloc(ents, nc * sizeof(packed_name)));
      if (!e) return -1;
      ents = e;
      ents_cap = nc;
    }
    ents[count].off = text_len;
    ents[count].is_dir = is_dir;
    count++;
    memcpy(text + text_len, name, nl + 1);
    text_len += nl + 1;
    return 0;
  }
};

// Appends at most cap entries of dir, sorted byte-wise (as list_dir_names gives them).
// *truncated: the directory held more. 0, or -1 when memory ran out.
int push_listing(name_stack *ns, const char *dir, size_t cap, int *truncated) {
  *truncated = 0;
  plat_dir *d = plat_dir_open(dir);
  if (!d) return 0;
  size_t first = ns->count;
  char name[S3_NAME_SLOT];
  int is_dir = 0;
  int rc = 0;
  while (plat_dir_next(d, name, sizeof name, &is_dir) == 1) {
    if (ns->count - first == cap) {
      *truncated = 1;
      break;
    }
    if (ns->add(name, is_dir) != 0) {
      rc = -1;
      break;
    }
  }
  plat_dir_close(d);
  if (rc != 0) return -1;
  const char *text = ns->text;
  // Offsets grow in the order the platform yielded the names, so ties keep that order.
  std::sort(ns->ents + first, ns->ents + ns->count, [text](const packed_name &a, const packed_name &b) {
    int c = strcmp(text + a.off, text + b.off);
    return c < 0 || (c == 0 && a.off < b.off);
  });
  return 0;
}

struct walk_frame {
  size_t begin, end, pos;  // this directory's entries in name_stack
  size_t text_mark;        // name_stack::text_len before they were added
  size_t path_len;         // length of this directory's path in the walk's path buffer
  int truncated;           // this directory, or one finished below it, held too many names
};

// Called for each object found: its key (relative to the base), full path and status.
// Returns 0, or -1 when the record cannot be stored (memory).
typedef int (*walk_emit_fn)(void *ctx, size_t index, const char *key, const char *path,
                            const plat_stat_t *st);

struct walk_outcome {
  long count = 0;
  int failed = 0;          // memory ran out
  int stopped = 0;         // the walk stopped at the capacity before it was complete
  int stopped_at_file = 0; // ... on meeting one more object
  int dirs_truncated = 0;  // completed walk: some directory held more names than taken
};

struct frame_stack {
  walk_frame *f = nullptr;
  size_t depth = 0, cap = 0;
  ~frame_stack() { free(f); }
  int push(const walk_frame &w) {
    if (depth == cap) {
      size_t nc = cap ? cap * 2 : 64;
      walk_frame *n = static_cast<walk_frame *>(realloc(f, nc * sizeof(walk_frame)));
      if (!n) return -1;
      f = n;
      cap = nc;
    }
    f[depth++] = w;
    return 0;
  }
};

// Opens dir's listing as a new frame (an empty one when the path does not fit).
int enter_dir(name_stack *ns, frame_stack *fs, const char *path, size_t path_len, int fits,
              size_t dir_cap) {
  walk_frame w{};
  w.begin = ns->count;
  w.text_mark = ns->text_len;
  w.path_len = path_len;
  if (fits && push_listing(ns, path, dir_cap, &w.truncated) != 0) return -1;
  w.end = ns->count;
  w.pos = w.begin;
  return fs->push(w);
}

// Depth first over dir; keys relative to base; at most cap objects. Mirrors a recursive walk
// in which every directory returns at once when the count has reached the capacity after one
// of its sub-directories, or when one more object turns up with the capacity used.
void walk_tree(const char *dir, const char *base, size_t dir_cap, size_t cap, walk_emit_fn emit,
               void *ctx, walk_outcome *out) {
  char path[S3_FS_PATH];
  size_t dir_len = strlen(dir);
  size_t base_len = strlen(base);
  int fits = dir_len <= PATH_MAX_CHARS;
  if (fits) memcpy(path, dir, dir_len + 1);
  else path[0] = 0, dir_len = 0;
  name_stack ns;
  frame_stack fs;
  if (enter_dir(&ns, &fs, path, dir_len, fits, dir_cap) != 0) {
    out->failed = 1;
    return;
  }
  size_t count = 0;
  while (fs.depth > 0) {
    walk_frame *f = &fs.f[fs.depth - 1];
    if (f->pos == f->end) {
      int truncated = f->truncated;
      ns.count = f->begin;
      ns.text_len = f->text_mark;
      fs.depth--;
      if (fs.depth == 0) {
        out->dirs_truncated = truncated;
        break;
      }
      walk_frame *parent = &fs.f[fs.depth - 1];
      if (truncated) parent->truncated = 1;
      path[parent->path_len] = 0;
      if (count >= cap) {
        out->stopped = 1;
        break;
      }
      continue;
    }
    packed_name e = ns.ents[f->pos++];
    const char *name = ns.text + e.off;
    if (name[0] == '.') continue;  // reserved trees, temporary files, hidden keys
    size_t nl = strlen(name);
    size_t len = f->path_len;
    int child_fits = len + 1 + nl <= PATH_MAX_CHARS;
    if (child_fits) {
      path[len] = '/';
      memcpy(path + len + 1, name, nl + 1);
    }
    if (e.is_dir) {
      // name may move when the stack grows; it is not used past this point.
      if (enter_dir(&ns, &fs, path, child_fits ? len + 1 + nl : len, child_fits, dir_cap) != 0) {
        out->failed = 1;
        break;
      }
      continue;
    }
    if (count >= cap) {
      out->stopped = 1;
      out->stopped_at_file = 1;
      break;
    }
    plat_stat_t st;
    if (child_fits && plat_stat(path, &st) == 0) {
      const char *key = len + 1 + nl >= base_len ? path + base_len : path + len + 1 + nl;
      while (*key == '/') key++;
      if (emit(ctx, count, key, path, &st) != 0) {
        out->failed = 1;
        break;
      }
      count++;
    }
    path[len] = 0;
  }
  out->count = long(count);
}

void file_etag(const char *path, char *etag, size_t cap) {
  char hex[33];
  if (md5_file(path, hex) != 0) memcpy(hex, ZERO_ETAG, sizeof hex);
  snprintf(etag, cap, "%s", hex);
}

// Copies key cut at 4095 characters into a 4096-byte field.
void copy_key(char dst[4096], const char *key) {
  size_t n = strnlen(key, 4095);
  memcpy(dst, key, n);
  dst[n] = 0;
}

int emit_list_entry(void *ctx, size_t index, const char *key, const char *path,
                    const plat_stat_t *st) {
  list_entry *e = static_cast<list_entry *>(ctx) + index;
  copy_key(e->key, key);
  e->size = st->size;
  e->is_prefix = 0;
  file_etag(path, e->etag, sizeof e->etag);
  format_iso8601(st->mtime, e->last_modified);
  return 0;
}

int emit_object_entry(void *ctx, size_t index, const char *key, const char *path,
                      const plat_stat_t *st) {
  object_entry *e = static_cast<object_entry *>(ctx) + index;
  copy_key(e->key, key);
  e->size = st->size;
  file_etag(path, e->etag, sizeof e->etag);
  format_iso8601(st->mtime, e->last_modified);
  return 0;
}

int emit_key_record(void *ctx, size_t, const char *key, const char *path,
                    const plat_stat_t *st) {
  key_set *ks = static_cast<key_set *>(ctx);
  size_t kl = strnlen(key, 4095);
  if (ks->count == ks->recs_cap) {
    size_t nc = ks->recs_cap ? ks->recs_cap * 2 : 256;
    key_record *r = static_cast<key_record *>(realloc(ks->recs, nc * sizeof(key_record)));
    if (!r) return -1;
    ks->recs = r;
    ks->recs_cap = nc;
  }
  if (ks->text_len + kl + 1 > ks->text_cap) {
    size_t nc = ks->text_cap ? ks->text_cap * 2 : 16384;
    while (nc < ks->text_len + kl + 1) nc *= 2;
    char *t = static_cast<char *>(realloc(ks->text, nc));
    if (!t) return -1;
    ks->text = t;
    ks->text_cap = nc;
  }
  key_record *r = &ks->recs[ks->count];
  r->key_off = ks->text_len;
  memcpy(ks->text + ks->text_len, key, kl);
  ks->text[ks->text_len + kl] = 0;
  ks->text_len += kl + 1;
  r->size = st->size;
  r->mtime = st->mtime;
  file_etag(path, r->etag, sizeof r->etag);
  ks->count++;
  return 0;
}

}  // namespace

// ---------------------------------------------------------------- the three walkers

long gather_keys(const char *dir, const char *base, list_entry *out, size_t cap, int *truncated) {
  walk_outcome w;
  walk_tree(dir, base, GATHER_DIR_CAP, cap, emit_list_entry, out, &w);
  if (w.failed) return -1;
  // Stopping at the capacity leaves the flag as the caller set it; only a complete walk
  // reports whether some directory held more names than were taken.
  if (!w.stopped && truncated) *truncated = w.dirs_truncated;
  return w.count;
}

long enumerate_objects(const char *dir, const char *base, object_entry *out, size_t cap,
                       int *truncated) {
  walk_outcome w;
  walk_tree(dir, base, ENUMERATE_DIR_CAP, cap, emit_object_entry, out, &w);
  if (w.failed) return -1;
  if (w.stopped_at_file && truncated) *truncated = 1;
  return w.count;
}

void key_set_init(key_set *ks) { *ks = key_set{}; }

void key_set_free(key_set *ks) {
  free(ks->recs);
  free(ks->text);
  *ks = key_set{};
}

long gather_key_set(const char *dir, const char *base, key_set *out, size_t cap, int *truncated) {
  walk_outcome w;
  walk_tree(dir, base, GATHER_DIR_CAP, cap, emit_key_record, out, &w);
  if (w.failed) {
    out->count = 0;
    return -1;
  }
  if (!w.stopped && truncated) *truncated = w.dirs_truncated;
  return w.count;
}

void key_set_sort(key_set *ks) {
  if (ks->count < 2) return;
  const char *text = ks->text;
  std::sort(ks->recs, ks->recs + ks->count, [text](const key_record &a, const key_record &b) {
    return strcmp(text + a.key_off, text + b.key_off) < 0;
  });
}
