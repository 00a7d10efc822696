// Text and number helpers below every other module: bounded copies, ASCII case-insensitive
// comparisons, hexadecimal and the hexadecimal size reader, percent-decoding, byte search, the
// small XML element reader with entity decoding, and the decimal reader.
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

// What parse_hex_size tolerates before the digits.
enum : unsigned {
  HEX_BLANKS = 1u << 0,    // spaces and tabs
  HEX_SIGN = 1u << 1,      // one '+' or '-' (after the blanks); a '-' sets negative
  HEX_0X = 1u << 2,        // "0x" or "0X" (after the sign)
  HEX_SATURATE = 1u << 3,  // a magnitude above max reads as max instead of failing
};

// A size read by parse_hex_size.
struct hex_size {
  uint64_t value;  // the magnitude
  int negative;    // a '-' stood before it (HEX_SIGN)
  size_t digits;   // hexadecimal digits read (none reads as 0)
  size_t used;     // characters consumed, blanks, sign and "0x" included
};

// Reads the hexadecimal number (either case) at the start of s[0..len), up to the first
// character that is not a digit (a NUL ends the text early): a chunk size. 0 with *out, or -1
// when its magnitude is above max (all its digits still counted).
int parse_hex_size(const char *s, size_t len, uint64_t max, unsigned flags, hex_size *out);

// ---------------------------------------------------------------- percent-decoding

enum : unsigned {
  PCT_STRICT = 1u << 0,  // a '%' not followed by two hex digits fails instead of standing as is
  PCT_NO_NUL = 1u << 1,  // a NUL, encoded ("%00") or not, fails: it would end the text early
  PCT_PLUS_BLANK = 1u << 2,  // a '+' is a blank, as in a form-encoded query
};

// Percent-decodes src[0..n) into out[cap] ("+" stays a '+' unless PCT_PLUS_BLANK),
// NUL-terminated; out may be src itself, as decoding never lengthens. The decoded length; -1
// when the text breaks a flag's rule; PCT_TOO_LONG (-2) when its decoded form does not fit in
// cap - 1 bytes, so a caller can tell a field too long for its place from a malformed one.
enum : long { PCT_TOO_LONG = -2 };
long pct_decode_text(const char *src, size_t n, char *out, size_t cap, unsigned flags);
// Percent-decodes the text s in place, leniently: a malformed escape stays as it is.
void pct_decode(char *s);

// ---------------------------------------------------------------- searching

// Finds needle within hay[0..len); null when absent (hay may hold NUL bytes).
const char *find_bytes(const char *hay, size_t len, const char *needle);

// What xml_decode_entities decodes.
enum : unsigned {
  XML_NUMERIC = 1u << 0,  // numeric references "&#N;" and "&#xH;" besides the five named ones
  XML_STRICT = 1u << 1,   // an '&' that starts no known reference fails instead of standing
};
// Decodes the XML character references of element text s[0..n) into out[cap] (out may be s:
// decoding never lengthens): "&amp;" "&lt;" "&gt;" "&quot;" "&apos;", and under XML_NUMERIC
// the numeric references of a code point from U+0001 to U+10FFFF that is not a surrogate, as
// UTF-8. A reference that is malformed or names another code point stays as it is (or fails
// under XML_STRICT). The decoded length, or -1 when a flag's rule is broken or cap is too small.
long xml_decode_entities(const char *s, size_t n, char *out, size_t cap, unsigned flags);

// ---------------------------------------------------------------- XML elements
// One bounded reader of elements in a text the caller already holds whole: it never reads
// past len, builds no tree and keeps no state; a found element points into the caller's text.

// An element found by xml_find_element or xml_next_child.
struct xml_element {
  const char *name;  // its name as written (prefix included), not NUL-terminated
  size_t name_len;
  const char *text;  // its raw content between the tags (empty for "<name/>")
  size_t text_len;
};

// How an element's end and its markup are found.
enum : unsigned {
  XML_CLOSE_NEXT_TAG = 1u << 4,  // xml_find_element: "</name>" must stand at the first "<"
                                 // after "<name>" (a CDATA section or child element fails)
  XML_CDATA = 1u << 5,           // xml_skip_markup: a "<![CDATA[...]]>" section is skipped too
  XML_END_FROM_OPEN = 1u << 6,   // xml_skip_markup: the terminator is searched from the markup's
                                 // first byte, so "<?>" and "<!-->" end where they start
};
// What xml_element_text does besides xml_decode_entities' flags (XML_NUMERIC, XML_STRICT).
enum : unsigned {
  XML_TRIM = 1u << 7,       // blanks (space, \t \r \n) around the text are left out
  XML_TEXT_ONLY = 1u << 8,  // a '<' (markup, CDATA) or a control character fails
};

// The markup "<?...?>" or "<!--...-->" (and a CDATA section under XML_CDATA) at s[*pos]:
// 1 with *pos just past it, 0 when none starts there, -1 when it does not end within len.
int xml_skip_markup(const char *s, size_t len, size_t *pos, unsigned flags);
// The next element of s[*pos..len) called exactly name, opened as "<name>" (no attributes)
// anywhere at or after *pos, and closed at the first "</name>" after it (see
// XML_CLOSE_NEXT_TAG). 1 with *e and *pos just past the closing tag; 0 when there is none
// (*pos untouched), and for a name longer than 127 bytes.
int xml_find_element(const char *s, size_t len, size_t *pos, const char *name, unsigned flags,
                     xml_element *e);
// The next child of s[*pos..len), a run of elements that may hold only blanks, "<?...?>" and
// "<!--...-->" between them (their terminators searched as XML_END_FROM_OPEN): "<name/>",
// "<name attr...>" ... and the first "</name>" after it (blanks allowed before its '>'), as
// children never nest in an element of their own name. 1 with *e and *pos past it; 0 at the
// end; -1 when the text breaks that shape.
int xml_next_child(const char *s, size_t len, size_t *pos, xml_element *e);
// 1 when e's name is exactly name.
int xml_name_is(const xml_element *e, const char *name);
// e's text, as the flags say, entity-decoded into out[cap] (NUL-terminated). Its length, or -1
// when a flag's rule is broken or it does not fit.
long xml_element_text(const xml_element *e, char *out, size_t cap, unsigned flags);
// The text between "<name>" and the "</name>" that must follow at the next "<", within the
// first len bytes of text; malloc'd (caller frees), not trimmed and not entity-decoded (see
// xml_decode_entities). Null when absent.
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

// The one reading of a Content-Length value (as a header lookup gives it, trimmed), one of:
enum : int {
  CL_NUMBER = 0,       // decimal digits only; a value beyond 64 bits reads as UINT64_MAX
  CL_EMPTY = -1,       // nothing
  CL_NEGATIVE = -2,    // '-' and then digits
  CL_NOT_NUMBER = -3,  // anything else
};
// Reads v into *value for CL_NUMBER and returns the kind; a request whose Content-Length is not
// CL_NUMBER is refused before any body is read.
int read_content_length(const char *v, uint64_t *value);
// The length the body framing takes from the same value, equal to read_content_length's for
// every CL_NUMBER: the digits up to the first other character, none read as 0. 0, or -1 with
// *out = UINT64_MAX (above every limit) for a negative value other than "-0" or a value beyond
// 64 bits.
int framed_content_length(const char *v, uint64_t *out);

// Reads an unsigned decimal from s[0..len) (a NUL ends the text early). 0 with the value in
// *out, or -1 when the text is not such a number or its value is above max (out untouched).
// used, when given, receives the characters consumed (blanks and sign included).
int parse_decimal(const char *s, size_t len, uint64_t max, unsigned flags, uint64_t *out,
                  size_t *used = nullptr);
// The same with one optional leading sign, '+' or '-', whatever the flags say: the magnitude
// follows parse_decimal's rules under max (at most INT64_MAX). 0, or -1 as parse_decimal.
int parse_signed_decimal(const char *s, size_t len, uint64_t max, unsigned flags, int64_t *out);
