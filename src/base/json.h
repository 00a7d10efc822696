// A small bounded JSON token reader for the policy documents of browser form uploads: one
// token at a time from a text of known length, each string or number into a fixed buffer, with
// no tree and no memory that grows with the document.
#pragma once

#include <cstddef>

constexpr size_t JSON_TOKEN_MAX = 4095;  // a longer string or number is an error

// A token's type: one of '{' '}' '[' ']' ':' ',' or these.
enum { JSON_END = 0, JSON_ERR = -1, JSON_STR = 's', JSON_NUM = 'n' };

// The reading position in text[p..end).
struct json_lexer {
  const char *p, *end;
};

struct json_token {
  int type;
  // A string decoded (escapes, \uXXXX as UTF-8; a lone surrogate half is an error), or a
  // number's characters as written; NUL-terminated.
  char text[JSON_TOKEN_MAX + 1];
  size_t len;
};

// The next token into *t, blanks skipped; its type (JSON_END at the end of the text, JSON_ERR
// for anything that is no token or does not fit).
int json_next(json_lexer *l, json_token *t);
