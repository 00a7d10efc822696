// Bucket versioning over raw HTTP: the versioning document, the version and delete-marker state
// machine seen through GET, HEAD, the version listing and the files on disk, reads, copies and
// deletes of named versions, paging of the version listing, DeleteObjects with versions, and a
// bucket that never had versioning left exactly as it was.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <regex>
#include <string>
#include <vector>

#include "answers.h"
#include "harness.h"
#include "quillmar-s3.h"

namespace {

using qt::Response;

const char kXmlns[] = "http://s3.amazonaws.com/doc/2006-03-01/";

std::string versioning_doc(const std::string &status, const std::string &mfa = "") {
  return std::string("<VersioningConfiguration xmlns=\"") + kXmlns + "\">" +
         (status.empty() ? "" : "<Status>" + status + "</Status>") +
         (mfa.empty() ? "" : "<MfaDelete>" + mfa + "</MfaDelete>") + "</VersioningConfiguration>";
}

// One entry of a version listing.
struct Entry {
  std::string kind;  // "Version" or "DeleteMarker"
  std::string key, vid;
  bool latest = false;
};

std::vector<Entry> entries_of(const std::string &doc) {
  std::vector<Entry> out;
  std::regex re("<(Version|DeleteMarker)>\\s*<Key>([^<]*)</Key>\\s*<VersionId>([^<]*)</VersionId>"
                "\\s*<IsLatest>(true|false)</IsLatest>");
  for (std::sregex_iterator it(doc.begin(), doc.end(), re), end; it != end; ++it)
    out.push_back({(*it)[1], (*it)[2], (*it)[3], (*it)[4] == "true"});
  return out;
}

std::string element(const std::string &doc, const std::string &name) {
  std::smatch m;
  if (!std::regex_search(doc, m, std::regex("<" + name + ">([^<]*)</" + name + ">"))) return "";
  return m[1];
}

class Versioning : public qa::SharedServer {
 protected:
  void bucket(const std::string &b, const std::string &status = "Enabled") {
    ASSERT_EQ(req("PUT", "/" + b).status, 200);
    if (!status.empty()) set_status(b, status);
  }
  void set_status(const std::string &b, const std::string &status) {
    Response r = req("PUT", "/" + b + "?versioning", {}, versioning_doc(status));
    ASSERT_EQ(r.status, 200) << r.raw;
  }
  std::vector<Entry> versions(const std::string &b, const std::string &query = "") {
    Response r = req("GET", "/" + b + "?versions" + query);
    EXPECT_EQ(r.status, 200) << r.raw;
    return entries_of(r.body);
  }
};

TEST_F(Versioning, ConfigurationDocument) {
  bucket("ver-conf", "");
  const std::string empty = std::string("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                                        "<VersioningConfiguration xmlns=\"") + kXmlns + "\"/>\n";
  EXPECT_EQ(req("GET", "/ver-conf?versioning").body, empty);
  // Refusals leave the bucket unversioned.
  struct Case {
    std::string body;
    int status;
    std::string code;
  } cases[] = {
      {versioning_doc("Enabled", "Enabled"), 501, "NotImplemented"},
      {versioning_doc("Sometimes"), 400, "MalformedXML"},
      {"<VersioningConfiguration><Status>Enabled</Status>", 400, "MalformedXML"},
      {"<Other><Status>Enabled</Status></Other>", 400, "MalformedXML"},
  };
  for (const Case &c : cases) {
    Response r = req("PUT", "/ver-conf?versioning", {}, c.body);
    EXPECT_EQ(r.status, c.status) << c.body;
    EXPECT_EQ(element(r.body, "Code"), c.code) << c.body;
  }
  EXPECT_EQ(req("GET", "/ver-conf?versioning").body, empty);
  EXPECT_FALSE(qt::dir_exists(at(".s3meta/.versions/ver-conf")));
  for (const char *status : {"Enabled", "Suspended"}) {
    set_status("ver-conf", status);
    Response r = req("GET", "/ver-conf?versioning");
    EXPECT_EQ(element(r.body, "Status"), status) << r.body;
  }
  // A document without a Status changes nothing, and versioning is never removed.
  EXPECT_EQ(req("PUT", "/ver-conf?versioning", {}, versioning_doc("", "Disabled")).status, 200);
  EXPECT_EQ(req("DELETE", "/ver-conf?versioning").status, 204);
  EXPECT_EQ(element(req("GET", "/ver-conf?versioning").body, "Status"), "Suspended");
  EXPECT_EQ(req("PUT", "/missing-bucket-v?versioning", {}, versioning_doc("Enabled")).status, 404);
}

// A bucket that never had versioning: no version ids, no new files, records as before.
TEST_F(Versioning, NeverVersionedBucketIsUnchanged) {
  bucket("ver-never", "");
  Response w = put("/ver-never/k", "one");
  ASSERT_EQ(w.status, 200);
  EXPECT_FALSE(w.has_header("x-amz-version-id"));
  ASSERT_EQ(put("/ver-never/k", "two").status, 200);
  EXPECT_FALSE(req("GET", "/ver-never/k").has_header("x-amz-version-id"));
  Response d = req("DELETE", "/ver-never/k");
  EXPECT_EQ(d.status, 204);
  EXPECT_FALSE(d.has_header("x-amz-delete-marker"));
  ASSERT_EQ(put("/ver-never/k", "three").status, 200);
  EXPECT_EQ(qt::read_record(at(".s3meta/ver-never/k")).find("+VersionId"), std::string::npos);
  EXPECT_FALSE(qt::dir_exists(at(".s3meta/.versions")) &&
               qt::dir_exists(at(".s3meta/.versions/ver-never")));
  EXPECT_FALSE(qt::file_exists(at(".s3meta/.config/ver-never/versioning")));
  std::vector<Entry> v = versions("ver-never");
  ASSERT_EQ(v.size(), 1u);
  EXPECT_EQ(v[0].vid, "null");
  EXPECT_EQ(req("DELETE", "/ver-never").status, 409);
}

// The state machine: each step is followed by GET, HEAD, the listing and a look at the plain
// file. Labels name versions: a put's label is its body; a delete's is given.
TEST_F(Versioning, VersionAndMarkerStateMachine) {
  bucket("ver-sm");
  struct Step {
    std::string op;     // put, delete, delete-version, suspend
    std::string arg;    // the body put, the marker's label, or the label of the version removed
    std::string body;   // what GET answers ("" for 404)
    bool marker;        // the 404 is a delete marker's
    std::vector<std::string> listing;  // labels, newest first; "m..." are markers
  } steps[] = {
      {"put", "one", "one", false, {"one"}},
      {"put", "two", "two", false, {"two", "one"}},
      {"delete", "m1", "", true, {"m1", "two", "one"}},
      {"delete-version", "one", "", true, {"m1", "two"}},
      {"delete-version", "m1", "two", false, {"two"}},
      {"put", "three", "three", false, {"three", "two"}},
      {"delete-version", "three", "two", false, {"two"}},
      {"suspend", "", "two", false, {"two"}},
      {"put", "four", "four", false, {"four", "two"}},
      {"put", "five", "five", false, {"five", "two"}},
      {"delete", "mnull", "", true, {"mnull", "two"}},
      {"delete-version", "two", "", true, {"mnull"}},
      {"delete-version", "mnull", "", false, {}},
  };
  std::map<std::string, std::string> vid;
  for (const Step &s : steps) {
    SCOPED_TRACE(s.op + " " + s.arg);
    if (s.op == "put") {
      Response r = put("/ver-sm/k", s.arg);
      ASSERT_EQ(r.status, 200);
      vid[s.arg] = r.header("x-amz-version-id");
      ASSERT_FALSE(vid[s.arg].empty());
    } else if (s.op == "delete") {
      Response r = req("DELETE", "/ver-sm/k");
      ASSERT_EQ(r.status, 204);
      EXPECT_EQ(r.header("x-amz-delete-marker"), "true");
      vid[s.arg] = r.header("x-amz-version-id");
    } else if (s.op == "delete-version") {
      Response r = req("DELETE", "/ver-sm/k?versionId=" + vid[s.arg]);
      ASSERT_EQ(r.status, 204);
      EXPECT_EQ(r.header("x-amz-version-id"), vid[s.arg]);
      EXPECT_EQ(r.has_header("x-amz-delete-marker"), s.arg[0] == 'm');
    } else {
      set_status("ver-sm", "Suspended");
    }
    Response g = req("GET", "/ver-sm/k");
    Response h = req("HEAD", "/ver-sm/k");
    if (!s.body.empty()) {
      EXPECT_EQ(g.status, 200);
      EXPECT_EQ(g.body, s.body);
      EXPECT_EQ(h.header("x-amz-version-id"), vid[s.body]);
      EXPECT_EQ(qt::read_file(at("ver-sm/k")), s.body);
    } else {
      EXPECT_EQ(g.status, 404);
      EXPECT_EQ(h.status, 404);
      EXPECT_FALSE(qt::file_exists(at("ver-sm/k")));
      EXPECT_EQ(h.has_header("x-amz-delete-marker"), s.marker);
      if (s.marker) {
        EXPECT_EQ(h.header("x-amz-version-id"), vid[s.listing[0]]);
      }
    }
    std::vector<Entry> got = versions("ver-sm");
    ASSERT_EQ(got.size(), s.listing.size());
    for (size_t i = 0; i < got.size(); i++) {
      EXPECT_EQ(got[i].kind, s.listing[i][0] == 'm' ? "DeleteMarker" : "Version") << i;
      EXPECT_EQ(got[i].vid, vid[s.listing[i]]) << i;
      EXPECT_EQ(got[i].latest, i == 0) << i;
    }
  }
  EXPECT_EQ(vid["four"], "null");
  EXPECT_EQ(vid["mnull"], "null");
  // Every version gone: the bucket can go.
  EXPECT_EQ(req("DELETE", "/ver-sm").status, 204);
}

// An object stored before versioning was enabled is the "null" version, kept like any other.
TEST_F(Versioning, ObjectFromBeforeVersioningIsTheNullVersion) {
  bucket("ver-before", "");
  ASSERT_EQ(put("/ver-before/k", "before").status, 200);
  set_status("ver-before", "Enabled");
  EXPECT_EQ(req("HEAD", "/ver-before/k").header("x-amz-version-id"), "null");
  std::string v = put("/ver-before/k", "after").header("x-amz-version-id");
  std::vector<Entry> got = versions("ver-before");
  ASSERT_EQ(got.size(), 2u);
  EXPECT_EQ(got[0].vid, v);
  EXPECT_EQ(got[1].vid, "null");
  EXPECT_EQ(req("GET", "/ver-before/k?versionId=null").body, "before");
  // Paging resumes after the null version as after any other.
  Response page = req("GET", "/ver-before?versions&key-marker=k&version-id-marker=" + v);
  EXPECT_EQ(entries_of(page.body).size(), 1u) << page.body;
  EXPECT_EQ(element(page.body, "VersionIdMarker"), v);
  EXPECT_EQ(req("DELETE", "/ver-before/k?versionId=null").status, 204);
  EXPECT_EQ(versions("ver-before").size(), 1u);
  EXPECT_EQ(req("GET", "/ver-before/k").body, "after");
}

// The states a kill can leave between the steps of a write or a removal, made on disk: each
// version is read whole, with its own record and id, and listed once.
TEST_F(Versioning, StatesAKillLeavesReadWhole) {
  bucket("ver-crash");
  std::string v1 = put("/ver-crash/k", "one", {"Content-Type: text/x-one"}).header("x-amz-version-id");
  std::string v2 = put("/ver-crash/k", "two", {"Content-Type: text/x-two"}).header("x-amz-version-id");
  const std::string area = at(".s3meta/.versions/ver-crash/k/.quillmar-v-");
  // A write cut after the current version got its second name in the area: it is there twice.
  std::filesystem::create_hard_link(at("ver-crash/k"), area + v2);
  std::filesystem::create_hard_link(at(".s3meta/ver-crash/k"), area + v2 + ".r");
  std::vector<Entry> got = versions("ver-crash");
  ASSERT_EQ(got.size(), 2u);
  EXPECT_EQ(got[0].vid, v2);
  EXPECT_EQ(got[1].vid, v1);
  // The removal of v2 brings v1 back; cut after v1's data took the place and before its
  // record followed: v1 is read with the record it has in the area.
  std::filesystem::create_hard_link(area + v1, at("ver-crash/k.tmp-link"));
  std::filesystem::rename(at("ver-crash/k.tmp-link"), at("ver-crash/k"));
  std::filesystem::remove(area + v2);
  std::filesystem::remove(area + v2 + ".r");
  Response g = req("GET", "/ver-crash/k");
  EXPECT_EQ(g.body, "one");
  EXPECT_EQ(g.header("Content-Type"), "text/x-one");
  EXPECT_EQ(g.header("x-amz-version-id"), v1);
  got = versions("ver-crash");
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0].vid, v1);
  EXPECT_TRUE(got[0].latest);
  // The next write keeps v1 whole, record included.
  put("/ver-crash/k", "three");
  Response old = req("GET", "/ver-crash/k?versionId=" + v1);
  EXPECT_EQ(old.body, "one");
  EXPECT_EQ(old.header("Content-Type"), "text/x-one");
}

// Named versions through every read and the copy source; ids this store never gives refused.
TEST_F(Versioning, ReadsAndCopiesOfNamedVersions) {
  bucket("ver-read");
  std::string v1 = put("/ver-read/k", "first", {"Content-Type: text/x-one"}).header("x-amz-version-id");
  std::string v2 = put("/ver-read/k", "second!").header("x-amz-version-id");
  ASSERT_NE(v1, v2);
  Response old = req("GET", "/ver-read/k?versionId=" + v1);
  EXPECT_EQ(old.status, 200);
  EXPECT_EQ(old.body, "first");
  EXPECT_EQ(old.header("Content-Type"), "text/x-one");
  EXPECT_EQ(old.header("ETag"), "\"" + qt::md5_hex("first") + "\"");
  EXPECT_EQ(old.header("x-amz-version-id"), v1);
  EXPECT_EQ(req("HEAD", "/ver-read/k?versionId=" + v2).header("Content-Length"), "7");
  EXPECT_EQ(req("GET", "/ver-read/k?versionId=" + v1, {"Range: bytes=1-2"}).body, "ir");

  Response bad = req("GET", "/ver-read/k?versionId=zzz");
  EXPECT_EQ(bad.status, 400);
  EXPECT_EQ(element(bad.body, "Code"), "InvalidArgument");
  Response none = req("GET", "/ver-read/k?versionId=" + std::string(32, 'a'));
  EXPECT_EQ(none.status, 404);
  EXPECT_EQ(element(none.body, "Code"), "NoSuchVersion");

  // A copy of the old version, onto the key itself, brings its bytes back as a new version.
  Response c = req("PUT", "/ver-read/k", {"x-amz-copy-source: /ver-read/k?versionId=" + v1});
  ASSERT_EQ(c.status, 200) << c.raw;
  EXPECT_EQ(c.header("x-amz-copy-source-version-id"), v1);
  std::string v3 = c.header("x-amz-version-id");
  EXPECT_FALSE(v3.empty());
  EXPECT_EQ(req("GET", "/ver-read/k").body, "first");
  EXPECT_EQ(versions("ver-read").size(), 3u);

  // A delete marker named by its id: 405, as S3 answers.
  std::string m = req("DELETE", "/ver-read/k").header("x-amz-version-id");
  Response gm = req("GET", "/ver-read/k?versionId=" + m);
  EXPECT_EQ(gm.status, 405);
  EXPECT_EQ(gm.header("x-amz-delete-marker"), "true");
  EXPECT_EQ(req("PUT", "/ver-read/c", {"x-amz-copy-source: /ver-read/k"}).status, 404);
  EXPECT_EQ(req("GET", "/ver-read/k?versionId=" + v2).body, "second!");
  EXPECT_EQ(req("DELETE", "/ver-read").status, 409);
}

// Uploads made of parts and form uploads make versions too.
TEST_F(Versioning, MultipartCompleteMakesAVersion) {
  bucket("ver-mpu");
  std::string v1 = put("/ver-mpu/k", "plain").header("x-amz-version-id");
  std::string id = initiate("ver-mpu/k");
  ASSERT_FALSE(id.empty());
  Response p = put("/ver-mpu/k?partNumber=1&uploadId=" + id, "parted");
  ASSERT_EQ(p.status, 200);
  std::string doc = "<CompleteMultipartUpload><Part><PartNumber>1</PartNumber><ETag>" +
                    p.header("ETag") + "</ETag></Part></CompleteMultipartUpload>";
  Response c = req("POST", "/ver-mpu/k?uploadId=" + id, {}, doc);
  ASSERT_EQ(c.status, 200) << c.raw;
  std::string v2 = c.header("x-amz-version-id");
  EXPECT_FALSE(v2.empty());
  EXPECT_NE(v1, v2);
  EXPECT_EQ(req("GET", "/ver-mpu/k").body, "parted");
  EXPECT_EQ(req("GET", "/ver-mpu/k?versionId=" + v1).body, "plain");
}

// Paging the version listing one entry at a time gives the whole listing, in S3's order.
TEST_F(Versioning, ListingOrderAndPaging) {
  bucket("ver-page");
  // "d" beside keys below it and the folder marker "e/" too.
  for (const char *k : {"b", "a", "d/x", "c", "d", "e/", "d"})
    ASSERT_EQ(put(std::string("/ver-page/") + k, "1").status, 200);
  for (int i = 0; i < 3; i++) ASSERT_EQ(put("/ver-page/b", std::to_string(i)).status, 200);
  ASSERT_EQ(req("DELETE", "/ver-page/c").status, 204);
  ASSERT_EQ(put("/ver-page/a", "again").status, 200);
  std::vector<Entry> all = versions("ver-page");
  std::vector<std::string> keys;
  for (const Entry &e : all) keys.push_back(e.key + (e.latest ? "*" : ""));
  EXPECT_EQ(keys, (std::vector<std::string>{"a*", "a", "b*", "b", "b", "b", "c*", "c", "d*", "d",
                                            "d/x*", "e/*"}));
  for (int page : {1, 2, 4}) {
    std::vector<Entry> paged;
    std::string km, vm;
    for (int guard = 0; guard < 20; guard++) {
      std::string q = "&max-keys=" + std::to_string(page);
      if (!km.empty()) q += "&key-marker=" + km + "&version-id-marker=" + vm;
      Response r = req("GET", "/ver-page?versions" + q);
      ASSERT_EQ(r.status, 200);
      for (const Entry &e : entries_of(r.body)) paged.push_back(e);
      if (element(r.body, "IsTruncated") != "true") break;
      km = element(r.body, "NextKeyMarker");
      vm = element(r.body, "NextVersionIdMarker");
    }
    ASSERT_EQ(paged.size(), all.size()) << page;
    for (size_t i = 0; i < all.size(); i++) EXPECT_EQ(paged[i].vid, all[i].vid) << page << " " << i;
  }
  Response grouped = req("GET", "/ver-page?versions&delimiter=/&prefix=");
  EXPECT_EQ(element(grouped.body, "Prefix"), "");
  EXPECT_NE(grouped.body.find("<CommonPrefixes>\n    <Prefix>d/</Prefix>"), std::string::npos);
  EXPECT_EQ(entries_of(grouped.body).size(), all.size() - 2);
  EXPECT_EQ(versions("ver-page", "&prefix=b").size(), 4u);
  // The plain listing shows current versions only.
  Response plain = req("GET", "/ver-page?list-type=2");
  EXPECT_EQ(element(plain.body, "KeyCount"), "5");
  // Removing the version "d" that stands beside d/x brings back the older one in its place.
  std::string d_latest = all[8].vid;
  ASSERT_EQ(req("DELETE", "/ver-page/d?versionId=" + d_latest).status, 204);
  EXPECT_EQ(req("GET", "/ver-page/d").status, 200);
  EXPECT_EQ(req("GET", "/ver-page/d").header("x-amz-version-id"), all[9].vid);
}

TEST_F(Versioning, DeleteObjectsWithVersions) {
  bucket("ver-multi");
  std::string v1 = put("/ver-multi/a", "1").header("x-amz-version-id");
  put("/ver-multi/a", "2");
  put("/ver-multi/b", "b");
  std::string doc = "<Delete><Object><Key>a</Key><VersionId>" + v1 +
                    "</VersionId></Object><Object><Key>b</Key></Object></Delete>";
  Response r = req("POST", "/ver-multi?delete", {}, doc);
  ASSERT_EQ(r.status, 200) << r.raw;
  EXPECT_NE(r.body.find("<Key>a</Key>\n    <VersionId>" + v1 + "</VersionId>\n  </Deleted>"),
            std::string::npos)
      << r.body;
  std::string marker = element(r.body, "DeleteMarkerVersionId");
  EXPECT_FALSE(marker.empty());
  EXPECT_EQ(element(r.body, "DeleteMarker"), "true");
  EXPECT_EQ(req("GET", "/ver-multi/a").body, "2");
  EXPECT_EQ(req("GET", "/ver-multi/b").status, 404);
  std::vector<Entry> v = versions("ver-multi");
  ASSERT_EQ(v.size(), 3u);
  EXPECT_EQ(v[1].vid, marker);
  EXPECT_EQ(v[1].kind, "DeleteMarker");
}

// Tags, attributes and part copies of an older version; the statistics count its bytes and
// the host's object listing shows the current version only.
TEST_F(Versioning, OlderVersionsThroughEveryReadAndTheHostApi) {
  bucket("ver-more");
  auto used = [] {
    std::smatch m;
    std::string stats = s3_get_stats_json();
    std::regex_search(stats, m, std::regex("\"storage_used_bytes\":(\\d+)"));
    return std::stoull(m[1]);
  };
  const unsigned long long before = used();
  std::string v1 = put("/ver-more/k", "0123456789", {"x-amz-tagging: age=old"}).header("x-amz-version-id");
  std::string v2 = put("/ver-more/k", "new", {"x-amz-tagging: age=new"}).header("x-amz-version-id");
  EXPECT_EQ(used(), before + 13);
  std::string objects = s3_list_objects_json("ver-more");
  EXPECT_NE(objects.find("\"count\":1"), std::string::npos) << objects;
  EXPECT_NE(objects.find("\"size\":3"), std::string::npos) << objects;

  Response t = req("GET", "/ver-more/k?tagging&versionId=" + v1);
  EXPECT_EQ(t.status, 200);
  EXPECT_NE(t.body.find("<Value>old</Value>"), std::string::npos) << t.body;
  EXPECT_EQ(t.header("x-amz-version-id"), v1);
  EXPECT_NE(req("GET", "/ver-more/k?tagging").body.find("<Value>new</Value>"), std::string::npos);
  // A tag change of the current version names it; of an older one it is not supported.
  std::string tags = "<Tagging><TagSet><Tag><Key>a</Key><Value>b</Value></Tag></TagSet></Tagging>";
  EXPECT_EQ(req("PUT", "/ver-more/k?tagging&versionId=" + v2, {}, tags).header("x-amz-version-id"), v2);
  EXPECT_EQ(req("PUT", "/ver-more/k?tagging&versionId=" + v1, {}, tags).status, 501);

  Response a = req("GET", "/ver-more/k?attributes&versionId=" + v1,
                   {"x-amz-object-attributes: ObjectSize"});
  EXPECT_EQ(a.status, 200) << a.raw;
  EXPECT_EQ(element(a.body, "ObjectSize"), "10");
  EXPECT_EQ(a.header("x-amz-version-id"), v1);

  std::string id = initiate("ver-more/joined");
  ASSERT_FALSE(id.empty());
  Response pc = req("PUT", "/ver-more/joined?partNumber=1&uploadId=" + id,
                    {"x-amz-copy-source: /ver-more/k?versionId=" + v1,
                     "x-amz-copy-source-range: bytes=2-5"});
  ASSERT_EQ(pc.status, 200) << pc.raw;
  EXPECT_EQ(element(pc.body, "ETag"), "\"" + qt::md5_hex("2345") + "\"");
  Response missing = req("PUT", "/ver-more/joined?partNumber=2&uploadId=" + id,
                         {"x-amz-copy-source: /ver-more/k?versionId=" + std::string(32, 'b')});
  EXPECT_EQ(missing.status, 404);
}

}  // namespace
