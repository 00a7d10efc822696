// Fuzz target: the small readers of client texts in base (HTTP dates under each caller's rules,
// x-amz-date, ISO 8601, hexadecimal sizes, percent-decoding, XML references, Content-Length,
// JSON tokens),
// each held to the invariants its callers lean on: bounded reads and results, dates that name
// real instants and survive a round trip, strict results that agree with lenient ones.
#include <string>
#include <vector>

#include "base/date.h"
#include "base/json.h"
#include "fuzz_common.h"

namespace {

// An accepted date names an instant the calendar can show, and the HTTP text the server writes
// for it reads back as the same instant under every rule set.
void check_dates(const char *text) {
  static const unsigned rules[] = {0, HTTP_DATE_OBSOLETE, HTTP_DATE_ANY_WEEKDAY | HTTP_DATE_ZONES,
                                   HTTP_DATE_OBSOLETE | HTTP_DATE_ZONES};
  for (unsigned flags : rules) {
    int64_t t = 0;
    if (read_http_date(text, flags, &t) != 0) continue;
    civil_time tm;
    FUZZ_CHECK(civil_from_seconds(t, &tm) == 0);
    char back[64];
    format_rfc1123(t, back);
    for (unsigned again : rules) {
      int64_t u = -1;
      FUZZ_CHECK(read_http_date(back, again, &u) == 0 && u == t);
    }
    // What a condition takes, a reader with more forms takes too.
    if (flags == 0) FUZZ_CHECK(parse_http_date(text, &t) == 0);
  }
  int64_t t = 0;
  if (parse_amz_date(text, &t) == 0) {
    civil_time tm;
    FUZZ_CHECK(civil_from_seconds(t, &tm) == 0 && strlen(text) == AMZ_DATE_LEN);
  }
  if (parse_iso8601(text, &t) == 0) {
    char back[64];
    format_iso8601(t, back);
    int64_t u = -1;
    FUZZ_CHECK(parse_iso8601(back, &u) == 0 && u == t);
  }
}

void check_hex(const char *s, size_t n, unsigned flags) {
  const uint64_t maxes[] = {UINT64_MAX, 0x80000000ULL, 0};
  for (uint64_t max : maxes) {
    hex_size h;
    if (parse_hex_size(s, n, max, flags, &h) != 0) {
      FUZZ_CHECK(!(flags & HEX_SATURATE));
      continue;
    }
    FUZZ_CHECK(h.value <= max && h.used <= n && h.digits <= h.used);
    FUZZ_CHECK(h.negative == 0 || (flags & HEX_SIGN));
  }
}

void check_percent(const char *s, size_t n) {
  std::string lenient(n + 1, '\0'), strict(n + 1, '\0');
  long a = pct_decode_text(s, n, &lenient[0], n + 1, 0);
  FUZZ_CHECK(a >= 0 && (size_t)a <= n);
  long b = pct_decode_text(s, n, &strict[0], n + 1, PCT_STRICT | PCT_NO_NUL);
  if (b >= 0) {
    FUZZ_CHECK(b == a && memcmp(lenient.data(), strict.data(), (size_t)a) == 0);
    FUZZ_CHECK(memchr(strict.data(), 0, (size_t)b) == nullptr);
  }
  // A result that does not fit is refused, never cut.
  if (a > 0) FUZZ_CHECK(pct_decode_text(s, n, &lenient[0], (size_t)a, 0) == PCT_TOO_LONG);
}

void check_xml(const char *s, size_t n) {
  std::string plain(n + 1, '\0'), numeric(n + 1, '\0'), strict(n + 1, '\0');
  long a = xml_decode_entities(s, n, &plain[0], n + 1, 0);
  long b = xml_decode_entities(s, n, &numeric[0], n + 1, XML_NUMERIC);
  FUZZ_CHECK(a >= 0 && (size_t)a <= n && b >= 0 && b <= a);
  long c = xml_decode_entities(s, n, &strict[0], n + 1, XML_STRICT);
  if (c >= 0) FUZZ_CHECK(c == a && memcmp(plain.data(), strict.data(), (size_t)a) == 0);
  // Decoding in place gives what decoding into a second buffer gives.
  std::string in_place(s, n);
  in_place.push_back('\0');
  FUZZ_CHECK(xml_decode_entities(&in_place[0], n, &in_place[0], n + 1, XML_NUMERIC) == b);
  FUZZ_CHECK(memcmp(in_place.data(), numeric.data(), (size_t)b) == 0);
}

// Every Content-Length the dispatcher lets through frames the body at exactly its value.
void check_content_length(const char *text) {
  uint64_t value = 0, framed = 0;
  int kind = read_content_length(text, &value);
  FUZZ_CHECK(kind >= CL_NOT_NUMBER && kind <= CL_NUMBER);
  int rc = framed_content_length(text, &framed);
  if (kind == CL_NUMBER) FUZZ_CHECK(framed == value && (rc == 0 || value == UINT64_MAX));
  if (rc != 0) FUZZ_CHECK(framed == UINT64_MAX);
}

// The JSON token reader ends: every token but the last moves the position on, within the text,
// and a token's text fits its buffer.
void check_json(const char *s, size_t n) {
  json_lexer l = {s, s + n};
  static json_token t;
  for (size_t tokens = 0;; tokens++) {
    const char *before = l.p;
    int type = json_next(&l, &t);
    FUZZ_CHECK(l.p >= before && l.p <= s + n && t.len <= JSON_TOKEN_MAX && tokens <= n);
    if (type == JSON_END || type == JSON_ERR) break;
    FUZZ_CHECK(l.p > before);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size == 0) return 0;
  // The first byte picks the hexadecimal reader's flags; the rest is the text, given with its
  // length and without a terminator, and NUL-terminated to the readers of header values.
  unsigned hex_flags = data[0] & 15u;
  std::string text(reinterpret_cast<const char *>(data + 1), size - 1);
  std::vector<char> bytes(text.begin(), text.end());
  const char *raw = bytes.empty() ? "" : bytes.data();
  check_dates(text.c_str());
  check_content_length(text.c_str());
  check_hex(raw, bytes.size(), hex_flags);
  check_percent(raw, bytes.size());
  check_xml(raw, bytes.size());
  check_json(raw, bytes.size());
  return 0;
}
