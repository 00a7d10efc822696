// Key enumeration: sorted directory listings and the walker that visits a bucket's objects in
// key order.
//
// S3 lists keys in byte-wise order. A bucket stores a key with "/" in it as nested directories,
// and a directory's keys all begin with its name followed by "/"; so sorting each directory's
// entries with "/" appended to the names of sub-directories and walking depth first yields
// the keys in exactly that order ("a-b" < "a/x" < "a0"). The walk can therefore start at any
// key by descending along it, skip a whole group of keys by popping back out, and stop at any
// point: a listing page costs the directories on its path, not the bucket.
#include "store/walk.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "base/date.h"
#include "platform/platform.h"
#include "store/files.h"
#include "store/names.h"
#include "store/object.h"

static constexpr size_t PATH_MAX_CHARS = S3_FS_PATH - 1;

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

// ---------------------------------------------------------------- the walk's memory

// The sorted entry names of every directory on the current path, innermost last, packed in
// one growable block. Sub-directory names carry their trailing "/", which is what sorts them.
struct walk_names {
  char *text;
  size_t text_len, text_cap;
  size_t *offs;
  size_t count, offs_cap;
};

struct walk_frame {
  size_t begin, end, pos;  // this directory's names in walk_names::offs
  size_t text_mark;        // walk_names::text_len before they were added
  size_t key_len;          // the key prefix of this directory ("" or ending in "/")
};

struct walk_frames {
  walk_frame *f;
  size_t depth, cap;
};

namespace {

int names_add(walk_names *ns, const char *name, int is_dir) {
  size_t nl = strlen(name);
  size_t need = nl + (is_dir ? 2 : 1);
  if (ns->text_len + need > ns->text_cap) {
    size_t nc = ns->text_cap ? ns->text_cap * 2 : 16384;
    while (nc < ns->text_len + need) nc *= 2;
    char *t = static_cast<char *>(realloc(ns->text, nc));
    if (!t) return -1;
    ns->text = t;
    ns->text_cap = nc;
  }
  if (ns->count == ns->offs_cap) {
    size_t nc = ns->offs_cap ? ns->offs_cap * 2 : 256;
    size_t *o = static_cast<size_t *>(realloc(ns->offs, nc * sizeof(size_t)));
    if (!o) return -1;
    ns->offs = o;
    ns->offs_cap = nc;
  }
  char *at = ns->text + ns->text_len;
  memcpy(at, name, nl);
  if (is_dir) at[nl++] = '/';
  at[nl] = 0;
  ns->offs[ns->count++] = ns->text_len;
  ns->text_len += nl + 1;
  return 0;
}

const char *name_at(const walk_names *ns, size_t i) { return ns->text + ns->offs[i]; }

// Reads the directory whose path is w->path cut at path_len, whole, and pushes it as a frame
// sorted in key order. A directory that cannot be opened is an empty frame. 0 / -1 (memory).
int push_dir(key_walk *w, size_t path_len, size_t key_len) {
  walk_names *ns = w->names;
  walk_frames *fs = w->frames;
  if (fs->depth == fs->cap) {
    size_t nc = fs->cap ? fs->cap * 2 : 32;
    walk_frame *f = static_cast<walk_frame *>(realloc(fs->f, nc * sizeof(walk_frame)));
    if (!f) return -1;
    fs->f = f;
    fs->cap = nc;
  }
  walk_frame fr{ns->count, ns->count, ns->count, ns->text_len, key_len};
  char saved = w->path[path_len];
  w->path[path_len] = 0;
  plat_dir *d = plat_dir_open(w->path);
  w->path[path_len] = saved;
  int rc = 0;
  if (d) {
    char name[S3_NAME_SLOT];
    int is_dir = 0;
    while (plat_dir_next(d, name, sizeof name, &is_dir) == 1) {
      // A folder marker is the key of its directory itself ("dir/"), which sorts before every
      // other key inside it: it is held as the empty name. The bucket directory has none.
      if (is_folder_marker(name, is_dir)) {
        if (key_len == 0) continue;
        name[0] = 0;
      } else if (is_own_name(name, is_dir)) {
        continue;
      }
      if (names_add(ns, name, is_dir) != 0) {
        rc = -1;
        break;
      }
    }
    plat_dir_close(d);
  }
  if (rc != 0) {
    ns->count = fr.begin;
    ns->text_len = fr.text_mark;
    return -1;
  }
  const char *text = ns->text;
  std::sort(ns->offs + fr.begin, ns->offs + ns->count,
            [text](size_t a, size_t b) { return strcmp(text + a, text + b) < 0; });
  fr.end = ns->count;
  fs->f[fs->depth++] = fr;
  return 0;
}

void pop_dir(key_walk *w) {
  walk_frame *f = &w->frames->f[--w->frames->depth];
  w->names->count = f->begin;
  w->names->text_len = f->text_mark;
}

// Appends name to the key of the innermost directory in w->path; the new key length, or 0
// when the key or its path would not fit (such an entry cannot be an object).
size_t extend_key(key_walk *w, size_t key_len, const char *name) {
  size_t nl = strlen(name);
  if (key_len + nl > S3_KEY_MAX || w->key_off + key_len + nl > PATH_MAX_CHARS) return 0;
  memcpy(w->path + w->key_off + key_len, name, nl + 1);
  return key_len + nl;
}

// Moves the innermost directory's position to the first entry at or beyond the seek point
// rest (the seek text with that directory's key prefix taken off), entering sub-directories
// that the seek point lies in. Entries before the position are never visited.
int seek_frames(key_walk *w, const char *rest, key_seek_mode mode) {
  for (;;) {
    walk_frame *f = &w->frames->f[w->frames->depth - 1];
    const size_t rest_len = strlen(rest);
    int entered = 0;
    while (f->pos < f->end) {
      const char *s = name_at(w->names, f->pos);
      size_t sl = strlen(s);
      if (sl && s[sl - 1] == '/' && strncmp(rest, s, sl) == 0) {
        // The seek point lies inside this sub-directory: go on there.
        f->pos++;
        size_t key_len = f->key_len;
        size_t nk = extend_key(w, key_len, s);
        if (!nk) continue;
        if (push_dir(w, w->key_off + nk - 1, nk) != 0) return -1;
        rest += sl;
        entered = 1;
        break;
      }
      if (mode == KEY_SEEK_PAST && strncmp(s, rest, rest_len) == 0) {
        f->pos++;  // every key of this entry begins with the text that is skipped
        continue;
      }
      int c = strcmp(s, rest);
      if (mode == KEY_SEEK_FROM ? c >= 0 : c > 0) return 0;  // here and after all qualify
      f->pos++;
    }
    if (!entered) return 0;  // the rest of the outer directories lies beyond the seek point
  }
}

}  // namespace

// ---------------------------------------------------------------- the walk

int key_walk_open(key_walk *w, const char *dir, const char *seek, key_seek_mode mode) {
  w->names = static_cast<walk_names *>(calloc(1, sizeof(walk_names)));
  w->frames = static_cast<walk_frames *>(calloc(1, sizeof(walk_frames)));
  w->failed = 0;
  size_t dl = strlen(dir);
  if (!w->names || !w->frames || dl + 1 > PATH_MAX_CHARS) {
    w->failed = 1;
    return -1;
  }
  memcpy(w->path, dir, dl);
  w->path[dl] = '/';
  w->path[dl + 1] = 0;
  w->key_off = dl + 1;
  // The walked directory itself must be one, not a link to one (a bucket's place holding a
  // link is no bucket): such a walk has no keys. Links below it are never entered.
  if (!is_directory(dir)) return 0;
  if (push_dir(w, dl, 0) != 0 || seek_frames(w, seek ? seek : "", mode) != 0) {
    w->failed = 1;
    return -1;
  }
  return 0;
}

int key_walk_next(key_walk *w, char key[S3_KEY_FIELD], uint64_t *size, int64_t *mtime) {
  if (w->failed) return -1;
  while (w->frames && w->frames->depth > 0) {
    walk_frame *f = &w->frames->f[w->frames->depth - 1];
    if (f->pos == f->end) {
      pop_dir(w);
      continue;
    }
    const char *name = name_at(w->names, f->pos++);
    size_t key_len = f->key_len;
    const int marker = name[0] == 0;
    // The marker's file is read under its own name; its key is the directory's.
    size_t nk = extend_key(w, key_len, marker ? S3_FOLDER_MARKER : name);
    if (!nk) continue;
    if (!marker && w->path[w->key_off + nk - 1] == '/') {
      if (push_dir(w, w->key_off + nk - 1, nk) != 0) {
        w->failed = 1;
        return -1;
      }
      continue;
    }
    plat_file_id st;
    // Gone since it was listed, a link, or no regular file (a FIFO, a socket, a device): reads
    // never follow links nor open anything but a regular file, so listings never show those.
    if (plat_file_identity(w->path, &st) != 0) continue;
    if (marker) nk = key_len;
    memcpy(key, w->path + w->key_off, nk);
    key[nk] = 0;
    if (size) *size = st.size;
    if (mtime) *mtime = st.mtime_ns / 1000000000;
    return 1;
  }
  return 0;
}

int key_walk_skip_prefix(key_walk *w, const char *prefix) {
  if (w->failed) return -1;
  // Directories whose key prefix the skipped text does not begin with lie wholly inside it.
  walk_frames *fs = w->frames;
  while (fs->depth > 1) {
    const walk_frame *f = &fs->f[fs->depth - 1];
    if (strncmp(prefix, w->path + w->key_off, f->key_len) == 0 && strlen(prefix) >= f->key_len)
      break;
    pop_dir(w);
  }
  if (fs->depth == 0) return 0;
  const walk_frame *f = &fs->f[fs->depth - 1];
  if (seek_frames(w, prefix + f->key_len, KEY_SEEK_PAST) != 0) {
    w->failed = 1;
    return -1;
  }
  return 0;
}

void key_walk_close(key_walk *w) {
  if (w->names) {
    free(w->names->text);
    free(w->names->offs);
    free(w->names);
  }
  if (w->frames) {
    free(w->frames->f);
    free(w->frames);
  }
  w->names = nullptr;
  w->frames = nullptr;
}

key_walk_guard::key_walk_guard() : w(static_cast<key_walk *>(calloc(1, sizeof(key_walk)))) {}

key_walk_guard::~key_walk_guard() {
  if (w) key_walk_close(w);
  free(w);
}

int dir_has_objects(const char *dir) {
  key_walk_guard g;
  if (!g.w || key_walk_open(g.w, dir, "", KEY_SEEK_FROM) != 0) return -1;
  char key[S3_KEY_FIELD];
  return key_walk_next(g.w, key, nullptr, nullptr);
}

long enumerate_objects(const char *dir, const char *, object_entry *out, size_t cap,
                       int *truncated) {
  // dir is root/bucket: the records of its keys are filed under that last component.
  const char *slash = strrchr(dir, '/');
  const char *bucket = slash ? slash + 1 : dir;
  key_walk_guard g;
  if (!g.w || key_walk_open(g.w, dir, "", KEY_SEEK_FROM) != 0) return -1;
  size_t count = 0;
  char key[S3_KEY_FIELD];
  uint64_t size = 0;
  int64_t mtime = 0;
  for (;;) {
    int rc = key_walk_next(g.w, key, &size, &mtime);
    if (rc < 0) return -1;
    if (rc == 0) break;
    if (count == cap) {
      if (truncated) *truncated = 1;
      break;
    }
    object_entry *e = &out[count++];
    memcpy(e->key, key, strlen(key) + 1);
    object_list_etag(bucket, key, g.w->path, e->etag, sizeof e->etag, &size, &mtime);
    e->size = size;
    format_iso8601(mtime, e->last_modified);
  }
  return long(count);
}
