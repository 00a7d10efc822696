// The JSON writer on its own: compact output, member order, nesting, string escapes, strict
// UTF-8 checking and behaviour when memory runs out.
#include <gtest/gtest.h>

#include <cctype>
#include <cstdlib>
#include <cstring>
#include <string>

#include "yyjson.h"

namespace {

// Serialises doc, returning "<null>" when writing fails. The hexadecimal digits of \u escapes
// are lowered, since either case is valid JSON.
std::string write(const yyjson_mut_doc *doc) {
  char *text = yyjson_mut_write_opts(doc, 0, NULL, NULL, NULL);
  if (!text) return "<null>";
  std::string s(text);
  free(text);
  for (size_t i = 0; i + 5 < s.size(); i++) {
    if (s[i] == '\\' && s[i + 1] == 'u') {
      for (size_t k = i + 2; k < i + 6; k++) s[k] = static_cast<char>(tolower(s[k]));
      i += 5;
    } else if (s[i] == '\\') {
      i++;  // skip the escaped character, which may itself be a backslash
    }
  }
  return s;
}

// {"k":<str>} for one string value.
std::string write_string_member(const std::string &value) {
  yyjson_mut_doc *doc = yyjson_mut_doc_new(NULL);
  yyjson_mut_val *root = yyjson_mut_obj(doc);
  yyjson_mut_doc_set_root(doc, root);
  EXPECT_TRUE(yyjson_mut_obj_add_strref(doc, root, "k", value.c_str()));
  std::string out = write(doc);
  yyjson_mut_doc_free(doc);
  return out;
}

TEST(JsonWriter, CompactNestedInInsertionOrder) {
  yyjson_mut_doc *doc = yyjson_mut_doc_new(NULL);
  ASSERT_NE(doc, nullptr);
  yyjson_mut_val *root = yyjson_mut_obj(doc);
  yyjson_mut_doc_set_root(doc, root);
  EXPECT_EQ(yyjson_mut_doc_get_root(doc), root);
  yyjson_mut_val *list = yyjson_mut_obj_add_arr(doc, root, "zeta");
  ASSERT_NE(list, nullptr);
  EXPECT_TRUE(yyjson_mut_arr_add_strref(doc, list, "x"));
  EXPECT_TRUE(yyjson_mut_arr_append(list, yyjson_mut_uint(doc, 0)));
  yyjson_mut_val *inner = yyjson_mut_obj(doc);
  EXPECT_TRUE(yyjson_mut_obj_add_val(doc, inner, "empty", yyjson_mut_arr(doc)));
  EXPECT_TRUE(yyjson_mut_arr_append(list, inner));
  EXPECT_TRUE(yyjson_mut_obj_add_uint(doc, root, "alpha", UINT64_MAX));
  EXPECT_NE(yyjson_mut_obj_add_obj(doc, root, "o"), nullptr);
  EXPECT_TRUE(yyjson_mut_obj_add_strref(doc, root, "s", ""));

  EXPECT_EQ(write(doc),
            "{\"zeta\":[\"x\",0,{\"empty\":[]}],\"alpha\":18446744073709551615,\"o\":{},\"s\":\"\"}");

  size_t len = 0;
  yyjson_write_err err;
  char *text = yyjson_mut_write_opts(doc, 0, NULL, &len, &err);
  ASSERT_NE(text, nullptr);
  EXPECT_EQ(len, strlen(text));
  EXPECT_EQ(err.code, YYJSON_WRITE_SUCCESS);
  free(text);
  yyjson_mut_doc_free(doc);
}

TEST(JsonWriter, RefusesMisuse) {
  yyjson_mut_doc *doc = yyjson_mut_doc_new(NULL);
  EXPECT_EQ(write(doc), "<null>");  // no root
  yyjson_mut_val *obj = yyjson_mut_obj(doc);
  yyjson_mut_val *arr = yyjson_mut_arr(doc);
  EXPECT_FALSE(yyjson_mut_arr_append(obj, yyjson_mut_uint(doc, 1)));  // not an array
  EXPECT_FALSE(yyjson_mut_arr_append(arr, nullptr));
  EXPECT_FALSE(yyjson_mut_obj_add_uint(doc, arr, "k", 1));           // not an object
  EXPECT_FALSE(yyjson_mut_obj_add_strref(doc, obj, nullptr, "v"));
  EXPECT_FALSE(yyjson_mut_obj_add_strref(doc, obj, "k", nullptr));
  EXPECT_EQ(yyjson_mut_obj(nullptr), nullptr);
  yyjson_mut_doc_set_root(doc, obj);
#ifdef QUILLMAR_COMPAT_YYJSON_H
  EXPECT_EQ(yyjson_mut_write_opts(doc, 1, NULL, NULL, NULL), nullptr);  // the bundled writer has no flags
#endif
  EXPECT_EQ(write(doc), "{}");
  yyjson_mut_doc_free(doc);
  yyjson_mut_doc_free(nullptr);
}

TEST(JsonWriter, EscapesAndPassesUtf8Through) {
  struct Case {
    const char *name, *in, *out;
  } cases[] = {
      {"plain", "abc", "abc"},
      {"quote", "a\"b", "a\\\"b"},
      {"backslash", "a\\b", "a\\\\b"},
      {"slash not escaped", "a/b", "a/b"},
      {"short controls", "\b\f\n\r\t", "\\b\\f\\n\\r\\t"},
      {"other controls", "\x01\x1f\x0b", "\\u0001\\u001f\\u000b"},
      {"DEL passes", "\x7f", "\x7f"},
      {"U+0080", "\xc2\x80", "\xc2\x80"},
      {"U+00E9", "caf\xc3\xa9", "caf\xc3\xa9"},
      {"U+0800", "\xe0\xa0\x80", "\xe0\xa0\x80"},
      {"U+20AC", "\xe2\x82\xac", "\xe2\x82\xac"},
      {"U+D7FF", "\xed\x9f\xbf", "\xed\x9f\xbf"},
      {"U+E000", "\xee\x80\x80", "\xee\x80\x80"},
      {"U+10000", "\xf0\x90\x80\x80", "\xf0\x90\x80\x80"},
      {"U+1D11E", "\xf0\x9d\x84\x9e", "\xf0\x9d\x84\x9e"},
      {"U+10FFFF", "\xf4\x8f\xbf\xbf", "\xf4\x8f\xbf\xbf"},
  };
  for (const Case &c : cases) {
    EXPECT_EQ(write_string_member(c.in), std::string("{\"k\":\"") + c.out + "\"}") << c.name;
  }
}

TEST(JsonWriter, InvalidUtf8FailsInValuesAndKeys) {
  struct Case {
    const char *name, *bytes;
  } cases[] = {
      {"lone continuation", "\x80"},
      {"overlong C0", "\xc0\xaf"},
      {"overlong C1", "\xc1\xbf"},
      {"overlong 3-byte", "\xe0\x80\xaf"},
      {"overlong 4-byte", "\xf0\x80\x80\xaf"},
      {"surrogate low end", "\xed\xa0\x80"},
      {"surrogate high end", "\xed\xbf\xbf"},
      {"truncated 2-byte at end", "ab\xc3"},
      {"truncated 3-byte", "\xe2\x82"},
      {"truncated 4-byte", "\xf0\x9d\x84"},
      {"lead then ASCII", "\xc3\x41"},
      {"above U+10FFFF", "\xf4\x90\x80\x80"},
      {"F5 lead", "\xf5\x80\x80\x80"},
      {"FF", "\xff"},
  };
  for (const Case &c : cases) {
    EXPECT_EQ(write_string_member(c.bytes), "<null>") << c.name << " as value";

    yyjson_mut_doc *doc = yyjson_mut_doc_new(NULL);
    yyjson_mut_val *root = yyjson_mut_obj(doc);
    yyjson_mut_doc_set_root(doc, root);
    yyjson_mut_obj_add_uint(doc, root, c.bytes, 1);
    yyjson_write_err err;
    EXPECT_EQ(yyjson_mut_write_opts(doc, 0, NULL, NULL, &err), nullptr) << c.name << " as key";
    EXPECT_EQ(err.code, YYJSON_WRITE_ERROR_INVALID_STRING) << c.name;
    yyjson_mut_doc_free(doc);
  }
}

TEST(JsonWriter, DeepNestingDoesNotUseTheCallStack) {
  const int depth = 100000;
  yyjson_mut_doc *doc = yyjson_mut_doc_new(NULL);
  yyjson_mut_val *outer = yyjson_mut_arr(doc);
  yyjson_mut_doc_set_root(doc, outer);
  yyjson_mut_val *cur = outer;
  for (int i = 1; i < depth; i++) {
    yyjson_mut_val *next = yyjson_mut_arr(doc);
    ASSERT_TRUE(yyjson_mut_arr_append(cur, next));
    cur = next;
  }
  EXPECT_EQ(write(doc), std::string(depth, '[') + std::string(depth, ']'));
  yyjson_mut_doc_free(doc);
}

// An allocator that fails from the n-th request on: every step must fail cleanly (no crash and,
// under the sanitizers, no leak) until enough memory is allowed.
struct limited_alc {
  int left;
};
void *lim_malloc(void *ctx, size_t size) {
  limited_alc *l = static_cast<limited_alc *>(ctx);
  return l->left-- > 0 ? malloc(size) : nullptr;
}
void *lim_realloc(void *ctx, void *ptr, size_t, size_t size) {
  limited_alc *l = static_cast<limited_alc *>(ctx);
  return l->left-- > 0 ? realloc(ptr, size) : nullptr;
}
void lim_free(void *, void *ptr) { free(ptr); }

TEST(JsonWriter, OutOfMemoryFailsCleanly) {
  std::string key(300, 'k');  // long enough to grow the output buffer
  bool done = false;
  for (int budget = 0; budget < 64 && !done; budget++) {
    limited_alc lim = {budget};
    yyjson_alc alc = {lim_malloc, lim_realloc, lim_free, &lim};
    yyjson_mut_doc *doc = yyjson_mut_doc_new(&alc);
    if (!doc) continue;
    yyjson_mut_val *root = yyjson_mut_obj(doc);
    yyjson_mut_doc_set_root(doc, root);
    yyjson_mut_val *arr = yyjson_mut_obj_add_arr(doc, root, key.c_str());
    for (int i = 0; i < 300; i++) yyjson_mut_arr_add_uint(doc, arr, static_cast<uint64_t>(i));
    char *text = yyjson_mut_write_opts(doc, 0, &alc, NULL, NULL);
    if (text && arr && yyjson_mut_doc_get_root(doc)) {
      std::string s(text);
      EXPECT_EQ(s.substr(0, key.size() + 5), "{\"" + key + "\":[");
      EXPECT_EQ(s.substr(s.size() - 6), ",299]}");
      done = true;
    }
    if (text) lim_free(nullptr, text);
    yyjson_mut_doc_free(doc);
  }
  EXPECT_TRUE(done);
}

}  // namespace
