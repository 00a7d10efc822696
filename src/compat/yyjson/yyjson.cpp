// Bundled JSON writer: mutable documents of objects, arrays, string references and unsigned
// integers, serialised as compact JSON with strict UTF-8 checking.
//
// Values live in chunks that the document allocates and frees as a whole; containers keep their
// children as a singly linked list (an object's list alternates key, value). Writing walks the
// tree with an explicit stack, so deep nesting costs heap, not the caller's stack.
#include "yyjson.h"

#include <cstdlib>
#include <cstring>

namespace {

enum val_type : uint32_t { VAL_STR = 1, VAL_UINT = 2, VAL_ARR = 3, VAL_OBJ = 4 };

constexpr size_t CHUNK_VALS = 256;

struct val_chunk;

}  // namespace

struct yyjson_mut_val {
  uint32_t type;
  size_t len;               // string length in bytes
  const char *str;          // string text, not owned
  uint64_t num;             // unsigned integer
  yyjson_mut_val *first;    // containers: first child
  yyjson_mut_val *last;     // containers: last child, for appending
  yyjson_mut_val *next;     // next sibling in the parent's list
};

namespace {

struct val_chunk {
  val_chunk *prev;
  size_t used;
  yyjson_mut_val vals[CHUNK_VALS];
};

}  // namespace

struct yyjson_mut_doc {
  yyjson_alc alc;
  val_chunk *chunks;  // newest first
  yyjson_mut_val *root;
};

namespace {

void *def_malloc(void *, size_t size) { return std::malloc(size); }
void *def_realloc(void *, void *ptr, size_t, size_t size) { return std::realloc(ptr, size); }
void def_free(void *, void *ptr) { std::free(ptr); }

const yyjson_alc DEFAULT_ALC = {def_malloc, def_realloc, def_free, nullptr};

yyjson_mut_val *new_val(yyjson_mut_doc *doc, uint32_t type) {
  if (!doc) return nullptr;
  val_chunk *c = doc->chunks;
  if (!c || c->used == CHUNK_VALS) {
    c = static_cast<val_chunk *>(doc->alc.malloc(doc->alc.ctx, sizeof(val_chunk)));
    if (!c) return nullptr;
    c->prev = doc->chunks;
    c->used = 0;
    doc->chunks = c;
  }
  yyjson_mut_val *v = &c->vals[c->used++];
  std::memset(v, 0, sizeof(*v));
  v->type = type;
  return v;
}

void list_push(yyjson_mut_val *parent, yyjson_mut_val *child) {
  child->next = nullptr;
  if (parent->last)
    parent->last->next = child;
  else
    parent->first = child;
  parent->last = child;
}

}  // namespace

// ---------------------------------------------------------------- documents and values

yyjson_mut_doc *yyjson_mut_doc_new(const yyjson_alc *alc) {
  const yyjson_alc *a = alc ? alc : &DEFAULT_ALC;
  yyjson_mut_doc *doc = static_cast<yyjson_mut_doc *>(a->malloc(a->ctx, sizeof(yyjson_mut_doc)));
  if (!doc) return nullptr;
  doc->alc = *a;
  doc->chunks = nullptr;
  doc->root = nullptr;
  return doc;
}

void yyjson_mut_doc_free(yyjson_mut_doc *doc) {
  if (!doc) return;
  yyjson_alc a = doc->alc;
  val_chunk *c = doc->chunks;
  while (c) {
    val_chunk *prev = c->prev;
    a.free(a.ctx, c);
    c = prev;
  }
  a.free(a.ctx, doc);
}

void yyjson_mut_doc_set_root(yyjson_mut_doc *doc, yyjson_mut_val *root) {
  if (doc) doc->root = root;
}

yyjson_mut_val *yyjson_mut_doc_get_root(yyjson_mut_doc *doc) { return doc ? doc->root : nullptr; }

yyjson_mut_val *yyjson_mut_obj(yyjson_mut_doc *doc) { return new_val(doc, VAL_OBJ); }

yyjson_mut_val *yyjson_mut_arr(yyjson_mut_doc *doc) { return new_val(doc, VAL_ARR); }

yyjson_mut_val *yyjson_mut_strref(yyjson_mut_doc *doc, const char *str) {
  if (!str) return nullptr;
  yyjson_mut_val *v = new_val(doc, VAL_STR);
  if (!v) return nullptr;
  v->str = str;
  v->len = std::strlen(str);
  return v;
}

yyjson_mut_val *yyjson_mut_uint(yyjson_mut_doc *doc, uint64_t num) {
  yyjson_mut_val *v = new_val(doc, VAL_UINT);
  if (v) v->num = num;
  return v;
}

// ---------------------------------------------------------------- arrays

bool yyjson_mut_arr_append(yyjson_mut_val *arr, yyjson_mut_val *val) {
  if (!arr || !val || arr->type != VAL_ARR) return false;
  list_push(arr, val);
  return true;
}

bool yyjson_mut_arr_add_val(yyjson_mut_val *arr, yyjson_mut_val *val) {
  return yyjson_mut_arr_append(arr, val);
}

bool yyjson_mut_arr_add_strref(yyjson_mut_doc *doc, yyjson_mut_val *arr, const char *str) {
  if (!arr || arr->type != VAL_ARR) return false;
  return yyjson_mut_arr_append(arr, yyjson_mut_strref(doc, str));
}

bool yyjson_mut_arr_add_uint(yyjson_mut_doc *doc, yyjson_mut_val *arr, uint64_t num) {
  if (!arr || arr->type != VAL_ARR) return false;
  return yyjson_mut_arr_append(arr, yyjson_mut_uint(doc, num));
}

// ---------------------------------------------------------------- objects

bool yyjson_mut_obj_add_val(yyjson_mut_doc *doc, yyjson_mut_val *obj, const char *key,
                            yyjson_mut_val *val) {
  if (!obj || obj->type != VAL_OBJ || !key || !val) return false;
  yyjson_mut_val *k = yyjson_mut_strref(doc, key);
  if (!k) return false;
  list_push(obj, k);
  list_push(obj, val);
  return true;
}

bool yyjson_mut_obj_add_strref(yyjson_mut_doc *doc, yyjson_mut_val *obj, const char *key,
                               const char *val) {
  if (!obj || obj->type != VAL_OBJ || !key) return false;
  return yyjson_mut_obj_add_val(doc, obj, key, yyjson_mut_strref(doc, val));
}

bool yyjson_mut_obj_add_uint(yyjson_mut_doc *doc, yyjson_mut_val *obj, const char *key,
                             uint64_t val) {
  if (!obj || obj->type != VAL_OBJ || !key) return false;
  return yyjson_mut_obj_add_val(doc, obj, key, yyjson_mut_uint(doc, val));
}

yyjson_mut_val *yyjson_mut_obj_add_arr(yyjson_mut_doc *doc, yyjson_mut_val *obj, const char *key) {
  if (!obj || obj->type != VAL_OBJ || !key) return nullptr;
  yyjson_mut_val *arr = yyjson_mut_arr(doc);
  return yyjson_mut_obj_add_val(doc, obj, key, arr) ? arr : nullptr;
}

yyjson_mut_val *yyjson_mut_obj_add_obj(yyjson_mut_doc *doc, yyjson_mut_val *obj, const char *key) {
  if (!obj || obj->type != VAL_OBJ || !key) return nullptr;
  yyjson_mut_val *child = yyjson_mut_obj(doc);
  return yyjson_mut_obj_add_val(doc, obj, key, child) ? child : nullptr;
}

// ---------------------------------------------------------------- writer

namespace {

struct out_buf {
  const yyjson_alc *alc;
  char *p;
  size_t len;
  size_t cap;
};

// Makes room for n more bytes plus the terminator.
bool out_reserve(out_buf *o, size_t n) {
  if (n > SIZE_MAX / 2 - o->len - 1) return false;
  size_t need = o->len + n + 1;
  if (need <= o->cap) return true;
  size_t cap = o->cap ? o->cap : 256;
  while (cap < need) cap *= 2;
  char *p = static_cast<char *>(o->p ? o->alc->realloc(o->alc->ctx, o->p, o->cap, cap)
                                     : o->alc->malloc(o->alc->ctx, cap));
  if (!p) return false;
  o->p = p;
  o->cap = cap;
  return true;
}

bool out_byte(out_buf *o, char c) {
  if (!out_reserve(o, 1)) return false;
  o->p[o->len++] = c;
  return true;
}

// Length of the well-formed UTF-8 sequence at s (at most n bytes), or 0 when it is not one:
// overlong forms, UTF-16 surrogates, code points above U+10FFFF and cut sequences all fail.
size_t utf8_seq_len(const unsigned char *s, size_t n) {
  unsigned char c = s[0];
  if (c < 0x80) return 1;
  size_t len;
  unsigned char lo = 0x80, hi = 0xBF;  // allowed range of the second byte
  if (c >= 0xC2 && c <= 0xDF) {
    len = 2;
  } else if (c >= 0xE0 && c <= 0xEF) {
    len = 3;
    if (c == 0xE0) lo = 0xA0;       // below U+0800 would be overlong
    else if (c == 0xED) hi = 0x9F;  // U+D800..U+DFFF are surrogates
  } else if (c >= 0xF0 && c <= 0xF4) {
    len = 4;
    if (c == 0xF0) lo = 0x90;       // below U+10000 would be overlong
    else if (c == 0xF4) hi = 0x8F;  // above U+10FFFF
  } else {
    return 0;  // continuation byte, C0/C1 overlong lead, or F5..FF
  }
  if (n < len) return 0;
  if (s[1] < lo || s[1] > hi) return 0;
  for (size_t i = 2; i < len; i++)
    if (s[i] < 0x80 || s[i] > 0xBF) return 0;
  return len;
}

yyjson_write_code write_string(out_buf *o, const char *str, size_t n) {
  // Worst case every byte becomes a six-byte \u00XX escape.
  if (n > (SIZE_MAX - 2) / 6 || !out_reserve(o, n * 6 + 2)) return YYJSON_WRITE_ERROR_MEMORY_ALLOCATION;
  static const char HEX[] = "0123456789abcdef";
  const unsigned char *s = reinterpret_cast<const unsigned char *>(str);
  char *w = o->p + o->len;
  *w++ = '"';
  size_t i = 0;
  while (i < n) {
    unsigned char c = s[i];
    if (c >= 0x80) {
      size_t len = utf8_seq_len(s + i, n - i);
      if (len == 0) return YYJSON_WRITE_ERROR_INVALID_STRING;
      std::memcpy(w, s + i, len);
      w += len;
      i += len;
      continue;
    }
    switch (c) {
      case '"': *w++ = '\\'; *w++ = '"'; break;
      case '\\': *w++ = '\\'; *w++ = '\\'; break;
      case '\b': *w++ = '\\'; *w++ = 'b'; break;
      case '\f': *w++ = '\\'; *w++ = 'f'; break;
      case '\n': *w++ = '\\'; *w++ = 'n'; break;
      case '\r': *w++ = '\\'; *w++ = 'r'; break;
      case '\t': *w++ = '\\'; *w++ = 't'; break;
      default:
        if (c < 0x20) {
          *w++ = '\\'; *w++ = 'u'; *w++ = '0'; *w++ = '0';
          *w++ = HEX[c >> 4];
          *w++ = HEX[c & 15];
        } else {
          *w++ = static_cast<char>(c);
        }
    }
    i++;
  }
  *w++ = '"';
  o->len = static_cast<size_t>(w - o->p);
  return YYJSON_WRITE_SUCCESS;
}

bool write_uint(out_buf *o, uint64_t v) {
  char digits[20];  // UINT64_MAX has 20 decimal digits
  size_t n = 0;
  do {
    digits[n++] = static_cast<char>('0' + v % 10);
    v /= 10;
  } while (v);
  if (!out_reserve(o, n)) return false;
  while (n) o->p[o->len++] = digits[--n];
  return true;
}

struct frame {
  const yyjson_mut_val *cont;  // the container being written
  const yyjson_mut_val *next;  // its next child to write
};

struct frame_stack {
  const yyjson_alc *alc;
  frame *f;
  size_t n;
  size_t cap;
};

bool stack_push(frame_stack *st, const yyjson_mut_val *cont) {
  if (st->n == st->cap) {
    size_t cap = st->cap ? st->cap * 2 : 16;
    frame *f = static_cast<frame *>(
        st->f ? st->alc->realloc(st->alc->ctx, st->f, st->cap * sizeof(frame), cap * sizeof(frame))
              : st->alc->malloc(st->alc->ctx, cap * sizeof(frame)));
    if (!f) return false;
    st->f = f;
    st->cap = cap;
  }
  st->f[st->n].cont = cont;
  st->f[st->n].next = cont->first;
  st->n++;
  return true;
}

// Writes a scalar, or opens a container and pushes it. 0 ok, else a write code.
yyjson_write_code write_open(out_buf *o, frame_stack *st, const yyjson_mut_val *v) {
  switch (v->type) {
    case VAL_STR:
      if (!v->str) return YYJSON_WRITE_ERROR_INVALID_VALUE_TYPE;
      return write_string(o, v->str, v->len);
    case VAL_UINT:
      return write_uint(o, v->num) ? YYJSON_WRITE_SUCCESS : YYJSON_WRITE_ERROR_MEMORY_ALLOCATION;
    case VAL_ARR:
    case VAL_OBJ:
      if (!out_byte(o, v->type == VAL_ARR ? '[' : '{') || !stack_push(st, v))
        return YYJSON_WRITE_ERROR_MEMORY_ALLOCATION;
      return YYJSON_WRITE_SUCCESS;
    default:
      return YYJSON_WRITE_ERROR_INVALID_VALUE_TYPE;
  }
}

yyjson_write_code write_tree(out_buf *o, frame_stack *st, const yyjson_mut_val *root) {
  yyjson_write_code rc = write_open(o, st, root);
  while (rc == YYJSON_WRITE_SUCCESS && st->n) {
    frame *top = &st->f[st->n - 1];
    bool is_obj = top->cont->type == VAL_OBJ;
    if (!top->next) {
      if (!out_byte(o, is_obj ? '}' : ']')) return YYJSON_WRITE_ERROR_MEMORY_ALLOCATION;
      st->n--;
      continue;
    }
    if (top->next != top->cont->first && !out_byte(o, ','))
      return YYJSON_WRITE_ERROR_MEMORY_ALLOCATION;
    const yyjson_mut_val *child = top->next;
    if (is_obj) {
      const yyjson_mut_val *val = child->next;
      if (child->type != VAL_STR || !val) return YYJSON_WRITE_ERROR_INVALID_VALUE_TYPE;
      rc = write_open(o, st, child);
      if (rc != YYJSON_WRITE_SUCCESS) return rc;
      if (!out_byte(o, ':')) return YYJSON_WRITE_ERROR_MEMORY_ALLOCATION;
      top->next = val->next;  // before write_open: a push may move the stack
      child = val;
    } else {
      top->next = child->next;
    }
    rc = write_open(o, st, child);
  }
  return rc;
}

const char *write_msg(yyjson_write_code code) {
  switch (code) {
    case YYJSON_WRITE_SUCCESS: return "success";
    case YYJSON_WRITE_ERROR_INVALID_PARAMETER: return "invalid parameter";
    case YYJSON_WRITE_ERROR_MEMORY_ALLOCATION: return "memory allocation failed";
    case YYJSON_WRITE_ERROR_INVALID_STRING: return "invalid utf-8 encoding in string";
    default: return "invalid JSON value type";
  }
}

}  // namespace

char *yyjson_mut_write_opts(const yyjson_mut_doc *doc, yyjson_write_flag flg,
                            const yyjson_alc *alc, size_t *len, yyjson_write_err *err) {
  const yyjson_alc *a = alc ? alc : &DEFAULT_ALC;
  out_buf o = {a, nullptr, 0, 0};
  frame_stack st = {a, nullptr, 0, 0};
  yyjson_write_code rc;
  if (!doc || !doc->root || flg != YYJSON_WRITE_NOFLAG)
    rc = YYJSON_WRITE_ERROR_INVALID_PARAMETER;
  else
    rc = write_tree(&o, &st, doc->root);
  if (st.f) a->free(a->ctx, st.f);
  if (rc == YYJSON_WRITE_SUCCESS && !out_reserve(&o, 0)) rc = YYJSON_WRITE_ERROR_MEMORY_ALLOCATION;
  if (err) {
    err->code = rc;
    err->msg = rc == YYJSON_WRITE_SUCCESS ? nullptr : write_msg(rc);
  }
  if (rc != YYJSON_WRITE_SUCCESS) {
    if (o.p) a->free(a->ctx, o.p);
    if (len) *len = 0;
    return nullptr;
  }
  o.p[o.len] = '\0';
  if (len) *len = o.len;
  return o.p;
}

char *yyjson_mut_write(const yyjson_mut_doc *doc, yyjson_write_flag flg, size_t *len) {
  return yyjson_mut_write_opts(doc, flg, nullptr, len, nullptr);
}
