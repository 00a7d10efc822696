/* Bundled JSON writer: the mutable-document part of the yyjson 0.12 interface that the host JSON
 * API uses, with the same names and meanings, for builds where no system yyjson is installed.
 *
 * A document owns every value created in it; yyjson_mut_doc_free releases them all at once.
 * Strings and keys are references: the caller's text is not copied and must outlive the
 * document. Writing gives compact JSON and fails (NULL) on a string that is not valid UTF-8. */
#ifndef QUILLMAR_COMPAT_YYJSON_H
#define QUILLMAR_COMPAT_YYJSON_H

#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* A memory allocator; a NULL allocator everywhere means malloc, realloc and free. */
typedef struct yyjson_alc {
  void *(*malloc)(void *ctx, size_t size);
  void *(*realloc)(void *ctx, void *ptr, size_t old_size, size_t size);
  void (*free)(void *ctx, void *ptr);
  void *ctx;
} yyjson_alc;

typedef struct yyjson_mut_doc yyjson_mut_doc;
typedef struct yyjson_mut_val yyjson_mut_val;

/* Writer flags: only the default (compact, strict UTF-8) is available here. */
typedef uint32_t yyjson_write_flag;
#define YYJSON_WRITE_NOFLAG ((yyjson_write_flag)0)

typedef uint32_t yyjson_write_code;
#define YYJSON_WRITE_SUCCESS ((yyjson_write_code)0)
#define YYJSON_WRITE_ERROR_INVALID_PARAMETER ((yyjson_write_code)1)
#define YYJSON_WRITE_ERROR_MEMORY_ALLOCATION ((yyjson_write_code)2)
#define YYJSON_WRITE_ERROR_INVALID_VALUE_TYPE ((yyjson_write_code)3)
#define YYJSON_WRITE_ERROR_INVALID_STRING ((yyjson_write_code)7)

typedef struct yyjson_write_err {
  yyjson_write_code code;
  const char *msg;
} yyjson_write_err;

/* Documents. yyjson_mut_doc_new returns NULL when memory runs out. */
yyjson_mut_doc *yyjson_mut_doc_new(const yyjson_alc *alc);
void yyjson_mut_doc_free(yyjson_mut_doc *doc);
void yyjson_mut_doc_set_root(yyjson_mut_doc *doc, yyjson_mut_val *root);
yyjson_mut_val *yyjson_mut_doc_get_root(yyjson_mut_doc *doc);

/* Values; each returns NULL when doc is NULL or memory runs out. */
yyjson_mut_val *yyjson_mut_obj(yyjson_mut_doc *doc);
yyjson_mut_val *yyjson_mut_arr(yyjson_mut_doc *doc);
yyjson_mut_val *yyjson_mut_strref(yyjson_mut_doc *doc, const char *str);
yyjson_mut_val *yyjson_mut_uint(yyjson_mut_doc *doc, uint64_t num);

/* Arrays: append a value (false when arr is not an array or val is NULL). */
bool yyjson_mut_arr_append(yyjson_mut_val *arr, yyjson_mut_val *val);
bool yyjson_mut_arr_add_val(yyjson_mut_val *arr, yyjson_mut_val *val);
bool yyjson_mut_arr_add_strref(yyjson_mut_doc *doc, yyjson_mut_val *arr, const char *str);
bool yyjson_mut_arr_add_uint(yyjson_mut_doc *doc, yyjson_mut_val *arr, uint64_t num);

/* Objects: members are kept in the order they are added; keys are references. */
bool yyjson_mut_obj_add_val(yyjson_mut_doc *doc, yyjson_mut_val *obj, const char *key,
                            yyjson_mut_val *val);
bool yyjson_mut_obj_add_strref(yyjson_mut_doc *doc, yyjson_mut_val *obj, const char *key,
                               const char *val);
bool yyjson_mut_obj_add_uint(yyjson_mut_doc *doc, yyjson_mut_val *obj, const char *key,
                             uint64_t val);
/* Adds a new empty array or object under key and returns it (NULL on failure). */
yyjson_mut_val *yyjson_mut_obj_add_arr(yyjson_mut_doc *doc, yyjson_mut_val *obj, const char *key);
yyjson_mut_val *yyjson_mut_obj_add_obj(yyjson_mut_doc *doc, yyjson_mut_val *obj, const char *key);

/* Serialises the document's root. Returns the text (NUL-terminated, allocated with alc or
 * malloc; release it with the matching free), or NULL when there is no root, a flag other than
 * YYJSON_WRITE_NOFLAG is given, memory runs out or a string is not valid UTF-8. len and err
 * are optional outputs. */
char *yyjson_mut_write_opts(const yyjson_mut_doc *doc, yyjson_write_flag flg,
                            const yyjson_alc *alc, size_t *len, yyjson_write_err *err);
char *yyjson_mut_write(const yyjson_mut_doc *doc, yyjson_write_flag flg, size_t *len);

#ifdef __cplusplus
}
#endif

#endif /* QUILLMAR_COMPAT_YYJSON_H */
