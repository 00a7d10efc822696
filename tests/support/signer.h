// A small AWS Signature Version 4 signer for tests: builds a complete raw request whose headers
// are all signed, with the signing time and the credential scope date under the test's control,
// so that tests can sign requests a real client would never send (an unreadable date, a scope for
// another day) and then change them byte by byte.
#pragma once

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "digest/hash.h"
#include "base/date.h"
#include "harness.h"
#include "platform/platform.h"

namespace qt {

struct SignedRequest {
  std::string method = "GET";
  std::string target = "/";  // path and query exactly as sent
  // Header lines in the order sent; every one is signed. Names keep their case on the wire.
  std::vector<std::pair<std::string, std::string>> headers;
  std::string body;
  std::string access, secret;
  std::string sign_time;   // the string to sign's date line, e.g. 20261210T044736Z
  std::string scope_date;  // "" = the first eight characters of sign_time
  std::string region = "us-east-1";  // the credential scope's region
};

// x-amz-date text of the current time shifted by `shift` seconds.
inline std::string amz_date_now(long shift = 0) {
  civil_time tm;
  civil_from_seconds(plat_time_now() + shift, &tm);
  char buf[32];
  snprintf(buf, sizeof buf, "%04d%02d%02dT%02d%02d%02dZ", tm.year, tm.month, tm.day, tm.hour, tm.minute,
           tm.second);
  return buf;
}

inline std::string signer_lower(std::string s) {
  for (char &c : s)
    if (c >= 'A' && c <= 'Z') c = (char)(c - 'A' + 'a');
  return s;
}

inline std::string signer_hmac(const std::string &key, const std::string &msg) {
  unsigned char out[32];
  ::hmac_sha256(key.data(), key.size(), msg.data(), msg.size(), out);
  return std::string((const char *)out, 32);
}

inline std::string signer_sha256_hex(const std::string &s) {
  char hex[65];
  ::sha256_hex(s.data(), s.size(), hex);
  return hex;
}

// SigV4's encoding of one decoded name or value: unreserved bytes as they are, every other
// byte as %XX in upper case.
inline std::string signer_uri_encode(const std::string &decoded) {
  static const char hex[] = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : decoded) {
    if (isalnum(c) || c == '-' || c == '_' || c == '.' || c == '~') {
      out += (char)c;
    } else {
      out += '%';
      out += hex[c >> 4];
      out += hex[c & 15];
    }
  }
  return out;
}

// Percent-decoding as a signer that receives raw text does it: "%" with two hexadecimal digits
// is a byte, anything else (also "+") stays as it is.
inline std::string signer_uri_decode(const std::string &text) {
  std::string out;
  for (size_t i = 0; i < text.size(); i++) {
    if (text[i] == '%' && i + 2 < text.size() && isxdigit((unsigned char)text[i + 1]) &&
        isxdigit((unsigned char)text[i + 2])) {
      out += (char)std::stoi(text.substr(i + 1, 2), nullptr, 16);
      i += 2;
    } else {
      out += text[i];
    }
  }
  return out;
}

// The canonical query of the text as sent: each name and value decoded and encoded again,
// sorted by name and then value, "=" between them always.
inline std::string signer_canonical_query(const std::string &query) {
  std::vector<std::pair<std::string, std::string>> params;
  size_t pos = 0;
  while (pos <= query.size()) {
    size_t amp = query.find('&', pos);
    if (amp == std::string::npos) amp = query.size();
    if (amp > pos) {
      std::string piece = query.substr(pos, amp - pos);
      size_t eq = piece.find('=');
      std::string name = eq == std::string::npos ? piece : piece.substr(0, eq);
      std::string value = eq == std::string::npos ? "" : piece.substr(eq + 1);
      params.push_back({signer_uri_encode(signer_uri_decode(name)),
                        signer_uri_encode(signer_uri_decode(value))});
    }
    pos = amp + 1;
  }
  std::sort(params.begin(), params.end());
  std::string out;
  for (const auto &p : params) out += (out.empty() ? "" : "&") + p.first + "=" + p.second;
  return out;
}

// The hex signature of a canonical request under secret, for a scope date and signing time.
inline std::string signer_signature(const std::string &secret, const std::string &scope_date,
                                    const std::string &sign_time, const std::string &creq,
                                    const std::string &region = "us-east-1") {
  std::string scope = scope_date + "/" + region + "/s3/aws4_request";
  std::string sts = "AWS4-HMAC-SHA256\n" + sign_time + "\n" + scope + "\n" + signer_sha256_hex(creq);
  std::string key = signer_hmac("AWS4" + secret, scope_date);
  key = signer_hmac(signer_hmac(signer_hmac(key, region), "s3"), "aws4_request");
  std::string mac = signer_hmac(key, sts);
  char sig[65];
  ::hex_encode((const unsigned char *)mac.data(), 32, sig);
  return sig;
}

// The request as bytes: request line, the headers, the Authorization header that signs them all,
// the empty line and the body. The payload hash is the x-amz-content-sha256 header when given.
inline std::string sign_request(const SignedRequest &r) {
  std::vector<std::pair<std::string, std::string>> canon;
  std::string payload = "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855";
  for (const auto &h : r.headers) {
    canon.push_back({signer_lower(h.first), h.second});
    if (signer_lower(h.first) == "x-amz-content-sha256") payload = h.second;
  }
  std::sort(canon.begin(), canon.end());
  std::string canon_headers, signed_names;
  for (const auto &h : canon) {
    canon_headers += h.first + ":" + h.second + "\n";
    signed_names += (signed_names.empty() ? "" : ";") + h.first;
  }
  size_t q = r.target.find('?');
  std::string path = r.target.substr(0, q);
  std::string query = q == std::string::npos ? "" : r.target.substr(q + 1);
  std::string creq = r.method + "\n" + path + "\n" + signer_canonical_query(query) + "\n" + canon_headers +
                     "\n" + signed_names + "\n" + payload;
  std::string scope_date = r.scope_date.empty() ? r.sign_time.substr(0, 8) : r.scope_date;
  std::string scope = scope_date + "/" + r.region + "/s3/aws4_request";
  std::string sig = signer_signature(r.secret, scope_date, r.sign_time, creq, r.region);

  std::string out = r.method + " " + r.target + " HTTP/1.1\r\n";
  for (const auto &h : r.headers) out += h.first + ": " + h.second + "\r\n";
  out += "Authorization: AWS4-HMAC-SHA256 Credential=" + r.access + "/" + scope +
         ",SignedHeaders=" + signed_names + ",Signature=" + sig + "\r\n\r\n";
  return out + r.body;
}

// A request signed in its header as a client signs it now: Host, x-amz-date, the body's SHA-256
// and a Content-Length by the rule of qt::request, then the extra headers, all signed. Any field
// may be changed before sign_request.
inline SignedRequest client_signed(const std::string &host, const std::string &access,
                                   const std::string &secret, const std::string &method,
                                   const std::string &target, const std::string &body = "",
                                   const std::vector<std::pair<std::string, std::string>> &extra = {}) {
  SignedRequest q;
  q.method = method;
  q.target = target;
  q.body = body;
  q.access = access;
  q.secret = secret;
  q.sign_time = amz_date_now();
  q.headers = {{"Host", host}, {"x-amz-date", q.sign_time}, {"x-amz-content-sha256", signer_sha256_hex(body)}};
  if (carries_length(method, body)) q.headers.push_back({"Content-Length", std::to_string(body.size())});
  for (const auto &h : extra) q.headers.push_back(h);
  return q;
}

// A presigned URL request (query authentication): the X-Amz-* parameters go into the query and
// the signature covers the Host header and every header given here.
struct PresignedRequest {
  std::string method = "GET";
  std::string path = "/";       // as sent, already encoded
  std::string query;            // further parameters before the X-Amz-* ones, already encoded
  std::string host;             // the Host header, always signed
  std::vector<std::pair<std::string, std::string>> headers;  // further signed headers
  std::string body;
  std::string access, secret;
  std::string sign_time;        // X-Amz-Date
  std::string scope_date;       // "" = the first eight characters of sign_time
  std::string expires = "3600";
  std::string algorithm = "AWS4-HMAC-SHA256";
  std::string region = "us-east-1";
  bool sign_host = true;        // false: X-Amz-SignedHeaders leaves host out
};

// The target (path and query) of a presigned URL, with its X-Amz-Signature last.
inline std::string presign_target(const PresignedRequest &r) {
  std::vector<std::pair<std::string, std::string>> canon;
  if (r.sign_host) canon.push_back({"host", r.host});
  std::string payload = "UNSIGNED-PAYLOAD";
  for (const auto &h : r.headers) {
    canon.push_back({signer_lower(h.first), h.second});
    if (signer_lower(h.first) == "x-amz-content-sha256") payload = h.second;
  }
  std::sort(canon.begin(), canon.end());
  std::string canon_headers, signed_names;
  for (const auto &h : canon) {
    canon_headers += h.first + ":" + h.second + "\n";
    signed_names += (signed_names.empty() ? "" : ";") + h.first;
  }
  std::string scope_date = r.scope_date.empty() ? r.sign_time.substr(0, 8) : r.scope_date;
  std::string names_encoded;
  for (char c : signed_names) names_encoded += c == ';' ? std::string("%3B") : std::string(1, c);
  std::string query = r.query + (r.query.empty() ? "" : "&") + "X-Amz-Algorithm=" + r.algorithm +
                      "&X-Amz-Credential=" + r.access + "%2F" + scope_date +
                      "%2F" + r.region + "%2Fs3%2Faws4_request&X-Amz-Date=" + r.sign_time +
                      "&X-Amz-Expires=" + r.expires + "&X-Amz-SignedHeaders=" + names_encoded;
  std::string creq = r.method + "\n" + r.path + "\n" + signer_canonical_query(query) + "\n" +
                     canon_headers + "\n" + signed_names + "\n" + payload;
  return r.path + "?" + query + "&X-Amz-Signature=" +
         signer_signature(r.secret, scope_date, r.sign_time, creq, r.region);
}

// The presigned request as bytes: request line, Host, the further headers, Content-Length when
// there is a body, the empty line and the body.
inline std::string presign_bytes(const PresignedRequest &r, const std::string &target) {
  std::string out = r.method + " " + target + " HTTP/1.1\r\nHost: " + r.host + "\r\n";
  for (const auto &h : r.headers) out += h.first + ": " + h.second + "\r\n";
  if (!r.body.empty()) out += "Content-Length: " + std::to_string(r.body.size()) + "\r\n";
  return out + "\r\n" + r.body;
}

inline std::string presign_request(const PresignedRequest &r) {
  return presign_bytes(r, presign_target(r));
}

}  // namespace qt
