// Keys that are no plain path (empty, "." and ".." segments, long segments, names Windows
// cannot hold, the server's own names, an object beside the keys below it) go through every
// operation as the keys they are: each reads back its own bytes, listings give them in byte
// order, and no two share a file. Also: a store laid out as plain files reads unchanged.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "fixture.h"
#include "json_check.h"
#include "platform/platform.h"

namespace {

using qt::Response;

// Percent-encodes every byte but unreserved ones and "/", as clients put a key in a path.
std::string path_of(const std::string &key) {
  static const char hex[] = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : key) {
    if (isalnum(c) || c == '-' || c == '_' || c == '.' || c == '~' || c == '/') {
      out += char(c);
    } else {
      out += '%';
      out += hex[c >> 4];
      out += hex[c & 15];
    }
  }
  return out;
}

std::string unpercent(const std::string &s) {
  std::string out;
  for (size_t i = 0; i < s.size(); i++) {
    if (s[i] == '%' && i + 2 < s.size()) {
      out += char(std::stoi(s.substr(i + 1, 2), nullptr, 16));
      i += 2;
    } else if (s[i] == '+') {
      out += ' ';
    } else {
      out += s[i];
    }
  }
  return out;
}

// The text of an XML element as it was before escaping.
std::string xml_text(const std::string &s) {
  std::string out;
  for (size_t i = 0; i < s.size(); i++) {
    size_t semi = s[i] == '&' ? s.find(';', i) : std::string::npos;
    if (semi == std::string::npos) {
      out += s[i];
      continue;
    }
    std::string ent = s.substr(i + 1, semi - i - 1);
    if (ent == "lt") out += '<';
    else if (ent == "gt") out += '>';
    else if (ent == "amp") out += '&';
    else if (ent == "quot") out += '"';
    else if (ent == "apos") out += '\'';
    else if (ent.size() > 1 && ent[0] == '#' && ent[1] == 'x') out += char(std::stoi(ent.substr(2), nullptr, 16));
    else if (ent.size() > 1 && ent[0] == '#') out += char(std::stoi(ent.substr(1)));
    i = semi;
  }
  return out;
}

// The texts of every <tag> element (encoding-type=url: percent-decoded).
std::vector<std::string> elements(const std::string &body, const std::string &tag) {
  std::vector<std::string> out;
  const std::string open = "<" + tag + ">", close = "</" + tag + ">";
  for (size_t at = 0; (at = body.find(open, at)) != std::string::npos;) {
    size_t end = body.find(close, at);
    out.push_back(unpercent(xml_text(body.substr(at + open.size(), end - at - open.size()))));
    at = end;
  }
  return out;
}

std::string element(const std::string &body, const std::string &tag) {
  std::vector<std::string> all = elements(body, tag);
  return all.empty() ? "" : all[0];
}

// The hard keys, each with the reason it is hard.
std::vector<std::string> hard_keys() {
  std::string long_key;
  while (long_key.size() < 1000) long_key += "long-key-segment/";
  long_key += std::string(1024 - long_key.size(), 'z');
  return {
      "a/b", "a//b", "a///b", "/k", "k", "//k", "a/./b", "x/..", "x", ".", "..", "./x", "x/.",
      "d/" + std::string(300, 's'), "d/" + std::string(300, 's') + "/in", long_key,
      "p", "p/q", "m/", "m",                                   // beside the keys below them
      "w\\1", "w:2", "w*3", "w?4", "w\"5", "w<6", "w>7", "w|8", // every Windows-reserved char
      "ctl\x01x", "ctl\x1f", "trail.", "trail ", "trail./x",
      "con", "CON.txt", "aux/x", "nul.json", "COM1", "lpt9.log",  // device names
      ".quillmar-folder", "f/.quillmar-folder", ".quillmar-object", ".quillmar-k-x",
      ".quillmar-c-y/z", ".upload-1-2-3.tmp",                  // the server's own names
      "caf\xc3\xa9/\xe2\x82\xac", "\xf0\x9f\x98\x80", "logs/2026-01-01T10:00:00.log",
      "what?.txt", "C:\\temp\\x", "name.", "a%2Fb", "%", "+ +",
  };
}

// Keys that differ only in letter case: apart where file names keep case (Windows' file
// systems do not, and there plain keys of that kind share one file).
std::vector<std::string> case_pair() {
  if (plat_windows_names()) return {};
  return {"Case", "case"};
}

class HardKeys : public qt::SharedServer {
 protected:
  std::string body_of(const std::string &key) { return "bytes of [" + key + "]"; }

  // Every key of a listing, paged with max-keys 1 (v2 by continuation token, v1 by marker),
  // with the common prefixes when a delimiter is given.
  void list_all(const std::string &bucket, int v2, const std::string &delimiter, int page,
                std::vector<std::string> *keys, std::vector<std::string> *prefixes) {
    std::string token, marker;
    for (int round = 0; round < 1000; round++) {
      std::string q = "/" + bucket + "?encoding-type=url";
      if (v2) q += "&list-type=2";
      if (!delimiter.empty()) q += "&delimiter=" + path_of(delimiter);
      if (page) q += "&max-keys=1";
      if (v2 && !token.empty()) q += "&continuation-token=" + path_of(token);
      if (!v2 && !marker.empty()) q += "&marker=" + path_of(marker);
      Response r = req("GET", q);
      ASSERT_EQ(r.status, 200) << r.raw;
      for (const std::string &k : elements(r.body, "Key")) keys->push_back(k);
      for (const std::string &p : elements(r.body, "Prefix"))
        if (!p.empty()) prefixes->push_back(p);
      if (element(r.body, "IsTruncated") != "true") return;
      if (v2) {
        // The token is opaque: sent back as it came, not decoded.
        size_t at = r.body.find("<NextContinuationToken>");
        ASSERT_NE(at, std::string::npos);
        at += strlen("<NextContinuationToken>");
        token = xml_text(r.body.substr(at, r.body.find('<', at) - at));
        ASSERT_FALSE(token.empty());
      } else {
        // NextMarker comes with a delimiter; without one the last key is the marker.
        marker = element(r.body, "NextMarker");
        if (marker.empty()) marker = keys->back();
      }
    }
    FAIL() << "the listing never ended";
  }
};

TEST_F(HardKeys, EveryOperationKeepsEveryKeyApart) {
  std::vector<std::string> keys = hard_keys();
  for (const std::string &k : case_pair()) keys.push_back(k);
  ASSERT_EQ(req("PUT", "/hkeys").status, 200);
  ASSERT_EQ(req("PUT", "/hkeys-copy").status, 200);
  for (const std::string &k : keys) {
    Response r = req("PUT", "/hkeys/" + path_of(k), {}, body_of(k));
    ASSERT_EQ(r.status, 200) << k << r.raw;
  }
  for (const std::string &k : keys) {
    SCOPED_TRACE(k);
    Response g = req("GET", "/hkeys/" + path_of(k));
    EXPECT_EQ(g.status, 200);
    EXPECT_EQ(g.body, body_of(k));
    Response h = req("HEAD", "/hkeys/" + path_of(k));
    EXPECT_EQ(h.header("Content-Length"), std::to_string(body_of(k).size()));
    EXPECT_EQ(h.header("ETag"), "\"" + qt::md5_hex(body_of(k)) + "\"");
    Response c = req("PUT", "/hkeys-copy/" + path_of(k), {"x-amz-copy-source: /hkeys/" + path_of(k)});
    EXPECT_EQ(c.status, 200) << c.raw;
  }
  for (const std::string &k : keys) EXPECT_EQ(req("GET", "/hkeys-copy/" + path_of(k)).body, body_of(k)) << k;

  // Listings: byte order of the keys, whatever their stored form.
  std::set<std::string> sorted(keys.begin(), keys.end());
  const std::vector<std::string> want(sorted.begin(), sorted.end());
  std::vector<std::string> want_keys, want_prefixes;
  for (const std::string &k : want) {
    size_t slash = k.find('/');
    if (slash == std::string::npos) {
      want_keys.push_back(k);
    } else if (want_prefixes.empty() || want_prefixes.back() != k.substr(0, slash + 1)) {
      want_prefixes.push_back(k.substr(0, slash + 1));
    }
  }
  for (int v2 = 0; v2 < 2; v2++) {
    for (int page = 0; page < 2; page++) {
      SCOPED_TRACE(std::string(v2 ? "v2" : "v1") + (page ? " paged" : ""));
      std::vector<std::string> got, prefixes;
      list_all("hkeys", v2, "", page, &got, &prefixes);
      EXPECT_EQ(got, want);
      got.clear();
      prefixes.clear();
      list_all("hkeys", v2, "/", page, &got, &prefixes);
      EXPECT_EQ(got, want_keys);
      EXPECT_EQ(prefixes, want_prefixes);
    }
  }
  // A prefix and a start point inside the stored forms: "d/" holds the long segments.
  Response under = req("GET", "/hkeys?list-type=2&encoding-type=url&prefix=d%2F&start-after=d%2Fs");
  EXPECT_EQ(elements(under.body, "Key"),
            (std::vector<std::string>{"d/" + std::string(300, 's'),
                                      "d/" + std::string(300, 's') + "/in"}));

  // The host's JSON list sees the decoded keys, in the same order (its first 256).
  std::string json = s3_list_objects_json("hkeys-copy");
  std::string listed = qt::json_eval(json, "'\\n'.join(o['key'] for o in d['objects'])");
  std::string joined;
  for (size_t i = 0; i < want.size(); i++) joined += (i ? "\n" : "") + want[i];
  EXPECT_EQ(listed, joined);

  // DeleteObjects takes them by their XML texts (control characters are no XML: those go
  // one by one).
  std::string del = "<Delete><Quiet>true</Quiet>";
  for (const std::string &k : keys) {
    if (std::any_of(k.begin(), k.end(), [](char c) { return (unsigned char)c < 0x20; })) {
      EXPECT_EQ(req("DELETE", "/hkeys-copy/" + path_of(k)).status, 204) << k;
      continue;
    }
    std::string esc;
    for (char c : k) {
      if (c == '&') esc += "&amp;";
      else if (c == '<') esc += "&lt;";
      else if (c == '>') esc += "&gt;";
      else if (c == '"') esc += "&quot;";
      else esc += c;
    }
    del += "<Object><Key>" + esc + "</Key></Object>";
  }
  del += "</Delete>";
  Response md = req("POST", "/hkeys-copy?delete", {}, del);
  EXPECT_EQ(md.status, 200) << md.raw;
  EXPECT_EQ(md.body.find("<Error>"), std::string::npos) << md.body;
  Response empty = req("GET", "/hkeys-copy?list-type=2");
  EXPECT_EQ(empty.body.find("<Key>"), std::string::npos) << empty.body;
  EXPECT_EQ(req("DELETE", "/hkeys-copy").status, 204);
}

TEST_F(HardKeys, MultipartUploadsOfHardKeys) {
  ASSERT_EQ(req("PUT", "/hk-mp").status, 200);
  ASSERT_EQ(req("PUT", "/hk-mp/p/q", {}, "below").status, 200);
  const std::string keys[] = {"a//b", "..", "x/..", "trail.", "w?4", "con.txt", "p",
                              "d/" + std::string(300, 's'), ".quillmar-object"};
  for (const std::string &k : keys) {
    SCOPED_TRACE(k);
    std::string id = initiate("hk-mp/" + path_of(k));
    ASSERT_FALSE(id.empty());
    Response part = req("PUT", "/hk-mp/" + path_of(k) + "?partNumber=1&uploadId=" + id, {},
                        body_of(k));
    ASSERT_EQ(part.status, 200);
    // UploadPartCopy from a hard key, too: the part a key of its own.
    Response pc = req("PUT", "/hk-mp/" + path_of(k) + "?partNumber=2&uploadId=" + id,
                      {"x-amz-copy-source: /hk-mp/p/q"});
    ASSERT_EQ(pc.status, 200) << pc.raw;
    std::string etag2 = element(pc.body, "ETag");
    std::string body = "<CompleteMultipartUpload><Part><PartNumber>1</PartNumber><ETag>" +
                       part.header("ETag") + "</ETag></Part><Part><PartNumber>2</PartNumber><ETag>" +
                       etag2 + "</ETag></Part></CompleteMultipartUpload>";
    Response c = req("POST", "/hk-mp/" + path_of(k) + "?uploadId=" + id, {}, body);
    EXPECT_EQ(c.status, 200) << c.raw;
    EXPECT_EQ(req("GET", "/hk-mp/" + path_of(k)).body, body_of(k) + "below");
  }
  EXPECT_EQ(req("GET", "/hk-mp/p/q").body, "below");
}

// Pairs of keys that one plain path would give the same file: each is stored and read apart.
TEST_F(HardKeys, PairsThatOnceSharedAFileStayApart) {
  ASSERT_EQ(req("PUT", "/hk-pairs").status, 200);
  const std::pair<std::string, std::string> pairs[] = {
      {"a//b", "a/b"}, {"/k", "k"}, {"a/./b", "a/b"}, {"x/..", "x"}, {"x/../y", "y"},
      {"name.", "name"}, {"dir/", "dir"}, {"z/", "z/.quillmar-folder"},
  };
  std::vector<std::pair<std::string, std::string>> all(std::begin(pairs), std::end(pairs));
  std::vector<std::string> cp = case_pair();
  if (!cp.empty()) all.push_back({cp[0], cp[1]});
  for (const auto &p : all) {
    SCOPED_TRACE(p.first + " / " + p.second);
    ASSERT_EQ(req("PUT", "/hk-pairs/" + path_of(p.first), {}, "first " + p.first).status, 200);
    ASSERT_EQ(req("PUT", "/hk-pairs/" + path_of(p.second), {}, "second " + p.second).status, 200);
    EXPECT_EQ(req("GET", "/hk-pairs/" + path_of(p.first)).body, "first " + p.first);
    EXPECT_EQ(req("GET", "/hk-pairs/" + path_of(p.second)).body, "second " + p.second);
    EXPECT_EQ(req("DELETE", "/hk-pairs/" + path_of(p.first)).status, 204);
    EXPECT_EQ(req("GET", "/hk-pairs/" + path_of(p.first)).status, 404);
    EXPECT_EQ(req("GET", "/hk-pairs/" + path_of(p.second)).body, "second " + p.second);
  }
}

// A store written as plain files (no encoded names, no objects inside directories) reads as
// it always did: every plain key at its path, listed and read.
TEST_F(HardKeys, PlainStoreLaidOutBeforeReadsUnchanged) {
  const std::string files[][2] = {
      {"old/a.txt", "alpha"}, {"old/dir/b.bin", "beta"}, {"old/dir/.env", "dot"},
      {"old/dir/sub/.quillmar-folder", ""}, {"old/caf\xc3\xa9", "utf8"},
      {"old/" + std::string(255, 'n'), "longest name"},
  };
  for (const auto &f : files) qt::write_file(at(f[0]), f[1]);
  Response list = req("GET", "/old?list-type=2&encoding-type=url");
  EXPECT_EQ(elements(list.body, "Key"),
            (std::vector<std::string>{"a.txt", "caf\xc3\xa9", "dir/.env", "dir/b.bin", "dir/sub/",
                                      std::string(255, 'n')}));
  EXPECT_EQ(req("GET", "/old/a.txt").body, "alpha");
  EXPECT_EQ(req("GET", "/old/dir/b.bin").body, "beta");
  EXPECT_EQ(req("GET", "/old/dir/.env").body, "dot");
  EXPECT_EQ(req("GET", "/old/" + path_of("caf\xc3\xa9")).body, "utf8");
  EXPECT_EQ(req("GET", "/old/" + std::string(255, 'n')).body, "longest name");
  EXPECT_EQ(req("HEAD", "/old/dir/sub/").status, 200);
  // Writes keep plain keys plain: the files are where they were.
  ASSERT_EQ(req("PUT", "/old/dir/b.bin", {}, "beta 2").status, 200);
  EXPECT_EQ(qt::read_file(at("old/dir/b.bin")), "beta 2");
  ASSERT_EQ(req("PUT", "/old/new/plain.txt", {}, "plain").status, 200);
  EXPECT_EQ(qt::read_file(at("old/new/plain.txt")), "plain");
}

}  // namespace
