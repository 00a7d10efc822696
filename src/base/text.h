// Text and number helpers below every other module: bounded copies, ASCII case-insensitive
// comparisons, hexadecimal, byte search, the small XML element reader and the decimal reader.
#pragma once

#include <cstddef>
#include <cstdint>

// ---------------------------------------------------------------- copies and comparisons

// Copies src into dst[cap] (always NUL-terminated; a null src copies as ""). 1 when all of it
// fit, 0 when it was cut.
int copy_text(char *dst, size_t cap, const char *src);
int copy_text_n(char *dst, size_t cap, const char *src, size_t n);

inline char ascii_lower(char c) { return (c >= 'A' && c <= 'Z') ? char(c - 'A' + 'a') : c; }
// ASCII case-insensitive comparisons; a null argument never matches.
int ieq(const char *a, const char *b);
int istarts_with(const char *s, const char *prefix);
int icontains(const char *hay, const char *needle);

// Scoped owner of a malloc'd text such as hdr_value's result.
struct owned_str {
  char *p;
  explicit owned_str(char *pp = nullptr) : p(pp) {}
  ~owned_str();
  owned_str(const owned_str &) = delete;
  owned_str &operator=(const owned_str &) = delete;
  const char *get() const { return p; }
  bool empty() const { return !p || !*p; }
};

// ---------------------------------------------------------------- UTF-8

// 1 when s[0..n) is well-formed UTF-8 (no overlong form, surrogate or code point above
// U+10FFFF), else 0.
int text_is_utf8(const char *s, size_t n);

// ---------------------------------------------------------------- hexadecimal

// Lowercase hex of data[0..n) into out[2n + 1].
void hex_encode(const unsigned char *data, size_t n, char *out);
// The value of one hexadecimal digit (either case), or -1.
int hex_digit_value(char ch);
// Decodes exactly 2*n hex digits (either case); 0, or -1 on a non-hex character.
int hex_decode(const char *text, unsigned char *out, size_t n);

// ---------------------------------------------------------------- searching

// Finds needle within hay[0..len); null when absent (hay may hold NUL bytes).
const char *find_bytes(const char *hay, size_t len, const char *needle);
// The text between "<name>" and the "</name>" that must follow at the next "<", within the
// first len bytes of text; malloc'd (caller frees), not trimmed and not entity-decoded. Null
// when absent.
char *xml_get_tag(const char *text, size_t len, const char *name);

// ---------------------------------------------------------------- decimal numbers

// What parse_decimal tolerates besides plain digits.
enum : unsigned {
  DEC_BLANKS = 1u << 0,      // blanks (space, \t \n \v \f \r) before the number, and after it
                             // unless DEC_PREFIX
  DEC_PLUS = 1u << 1,        // one leading '+'
  DEC_MINUS = 1u << 2,       // one leading '-'; a value other than zero after it is out of range
  DEC_SIGN = DEC_PLUS | DEC_MINUS,
  DEC_SATURATE = 1u << 3,    // a value out of range reads as max instead of failing
  DEC_PREFIX = 1u << 4,      // the number ends at the first non-digit instead of failing
  DEC_EMPTY_ZERO = 1u << 5,  // no digits at all read as 0 instead of failing
};

// Reads an unsigned decimal from s[0..len) (a NUL ends the text early). 0 with the value in
// *out, or -1 when the text is not such a number or its value is above max (out untouched).
// used, when given, receives the characters consumed (blanks and sign included).
int parse_decimal(const char *s, size_t len, uint64_t max, unsigned flags, uint64_t *out,
                  size_t *used = nullptr);
// The same with one optional leading sign, '+' or '-', whatever the flags say: the magnitude
// follows parse_decimal's rules under max (at most INT64_MAX). 0, or -1 as parse_decimal.
int parse_signed_decimal(const char *s, size_t len, uint64_t max, unsigned flags, int64_t *out);
