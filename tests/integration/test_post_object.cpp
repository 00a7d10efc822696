// Browser form uploads (POST Object) over raw HTTP: the stored bytes and record, the success
// answers, the signed policy's verdicts, and forms that break the bounds or the framing.
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "answers.h"
#include "harness.h"
#include "signer.h"

namespace {

using qt::Response;
using Fields = std::vector<std::pair<std::string, std::string>>;

const char kBoundary[] = "----qtformBoundary7MA4YWxk";

std::string base64(const std::string &in) {
  static const char k[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  size_t i = 0;
  for (; i + 2 < in.size(); i += 3) {
    unsigned v = (unsigned char)in[i] << 16 | (unsigned char)in[i + 1] << 8 | (unsigned char)in[i + 2];
    out += {k[v >> 18], k[(v >> 12) & 63], k[(v >> 6) & 63], k[v & 63]};
  }
  if (i + 1 == in.size()) {
    unsigned v = (unsigned char)in[i] << 16;
    out += {k[v >> 18], k[(v >> 12) & 63], '=', '='};
  } else if (i + 2 == in.size()) {
    unsigned v = (unsigned char)in[i] << 16 | (unsigned char)in[i + 1] << 8;
    out += {k[v >> 18], k[(v >> 12) & 63], k[(v >> 6) & 63], '='};
  }
  return out;
}

// The form as a browser sends it: the fields, then the file part.
std::string form_body(const Fields &fields, const std::string &filename, const std::string &data) {
  std::string b;
  for (const auto &f : fields)
    b += std::string("--") + kBoundary + "\r\nContent-Disposition: form-data; name=\"" + f.first +
         "\"\r\n\r\n" + f.second + "\r\n";
  b += std::string("--") + kBoundary + "\r\nContent-Disposition: form-data; name=\"file\"; filename=\"" +
       filename + "\"\r\nContent-Type: application/octet-stream\r\n\r\n" + data + "\r\n--" + kBoundary +
       "--\r\n";
  return b;
}

Response post_form(int port, const std::string &bucket, const std::string &body) {
  return qt::request(port, "POST", "/" + bucket,
                     {"Host: 127.0.0.1", std::string("Content-Type: multipart/form-data; boundary=") + kBoundary},
                     body);
}

std::string iso_in(long seconds) {
  std::string t = qt::amz_date_now(seconds);  // 20261210T061000Z
  return t.substr(0, 4) + "-" + t.substr(4, 2) + "-" + t.substr(6, 2) + "T" + t.substr(9, 2) + ":" +
         t.substr(11, 2) + ":" + t.substr(13, 2) + ".000Z";
}

class PostObject : public qa::SharedServer {
 protected:
  Response post(const std::string &bucket, const Fields &fields, const std::string &filename,
                const std::string &data) {
    return post_form(port(), bucket, form_body(fields, filename, data));
  }
};

TEST_F(PostObject, StoresTheFileWithItsFieldsAndAnswersAsAsked) {
  ASSERT_EQ(qt::request(port(), "PUT", "/form-b").status, 200);
  // Bytes that look like the start of a delimiter, across more than one buffer's worth.
  std::string data = qt::random_bytes(200000, 7) + "\r\n--" + std::string(kBoundary).substr(0, 10) +
                     qt::random_bytes(70000, 8) + "\r\n-";
  Response r = post("form-b", {{"key", "up/${filename}"}, {"Content-Type", "text/plain"},
                               {"x-amz-meta-owner", "ann"}},
                    "C:\\Users\\ann\\notes.txt", data);
  EXPECT_EQ(r.status, 204) << r.raw;
  EXPECT_EQ(r.header("ETag"), "\"" + qt::md5_hex(data) + "\"");
  EXPECT_EQ(qt::read_file(root() + "/form-b/up/notes.txt"), data);
  Response got = qt::request(port(), "GET", "/form-b/up/notes.txt");
  EXPECT_EQ(got.header("Content-Type"), "text/plain");
  EXPECT_EQ(got.header("x-amz-meta-owner"), "ann");

  Response created = post("form-b", {{"key", "dir/a&b.txt"}, {"success_action_status", "201"}}, "x", "abc");
  EXPECT_EQ(created.status, 201) << created.raw;
  EXPECT_EQ(created.body,
            "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<PostResponse><Location>http://127.0.0.1/"
            "form-b/dir/a%26b.txt</Location><Bucket>form-b</Bucket><Key>dir/a&amp;b.txt</Key><ETag>&quot;" +
                qt::md5_hex("abc") + "&quot;</ETag></PostResponse>");
  EXPECT_EQ(post("form-b", {{"key", "ok"}, {"success_action_status", "200"}}, "x", "1").status, 200);

  Response moved = post("form-b", {{"key", "r k"}, {"success_action_redirect", "http://app.test/done?x=1"}},
                        "x", "abc");
  EXPECT_EQ(moved.status, 303) << moved.raw;
  EXPECT_EQ(moved.header("Location"),
            "http://app.test/done?x=1&bucket=form-b&key=r%20k&etag=%22" + qt::md5_hex("abc") + "%22");
  EXPECT_EQ(qt::read_file(root() + "/form-b/r k"), "abc");
}

// A form's checksum field is held to the file and stored with it; a form without one gets
// CRC64NVME, as every new object does.
TEST_F(PostObject, ChecksumFieldsAreVerifiedAndStored) {
  ASSERT_EQ(qt::request(port(), "PUT", "/form-ck").status, 200);
  struct Case {
    Fields fields;
    int status;
    const char *header;
    const char *value;
  } cases[] = {
      {{{"key", "a"}, {"x-amz-checksum-sha256", "uU0nuZNNPgilLlLX2n2r+sSE7+N6U4DukIj3rOLvzek="}}, 204,
       "x-amz-checksum-sha256", "uU0nuZNNPgilLlLX2n2r+sSE7+N6U4DukIj3rOLvzek="},
      {{{"key", "b"}, {"x-amz-checksum-crc32", "DUoRhA=="}}, 400, "", ""},
      {{{"key", "c"}, {"x-amz-checksum-algorithm", "CRC32C"}}, 204, "x-amz-checksum-crc32c", "yZRlqg=="},
      {{{"key", "d"}}, 204, "x-amz-checksum-crc64nvme", "jSnVw/bqjr4="},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.fields[0].second);
    Response r = post("form-ck", c.fields, "f", "hello world");
    ASSERT_EQ(c.status, r.status) << r.raw;
    const std::string key = "/form-ck/" + c.fields[0].second;
    if (c.status != 204) {
      EXPECT_NE(std::string::npos, r.body.find("<Code>BadDigest</Code>"));
      EXPECT_FALSE(qt::file_exists(root() + key));
      continue;
    }
    EXPECT_EQ(c.value, r.header(c.header));
    EXPECT_EQ(c.value, qt::request(port(), "HEAD", key, {"x-amz-checksum-mode: ENABLED"}).header(c.header));
  }
}

// The delimiter may arrive split at any point of the reader's buffer; files whose end falls on
// every offset around one buffer's length, ending in a near-delimiter, come back whole.
TEST_F(PostObject, DelimiterAtEveryOffsetAroundTheBuffer) {
  ASSERT_EQ(qt::request(port(), "PUT", "/edge-b").status, 200);
  const std::string near = "\r\n--" + std::string(kBoundary).substr(0, sizeof kBoundary - 2);
  for (size_t n = 65536 - 260; n <= 65536 + 20; n += 7) {
    SCOPED_TRACE(n);
    std::string data = qt::random_bytes(n, (uint32_t)n) + near;
    Response r = post("edge-b", {{"key", "f"}}, "f", data);
    ASSERT_EQ(r.status, 204) << r.raw;
    ASSERT_EQ(qt::read_file(root() + "/edge-b/f"), data);
  }
}

TEST_F(PostObject, BrokenFormsRefusedAndNothingStored) {
  ASSERT_EQ(qt::request(port(), "PUT", "/broken-b").status, 200);
  std::string good = form_body({{"key", "k"}}, "f", "data");
  struct Case {
    const char *name;
    std::string body;
    int status;
    const char *code;
  } cases[] = {
      {"no key", form_body({{"acl", "private"}}, "f", "data"), 400, "InvalidArgument"},
      {"no file", std::string("--") + kBoundary + "\r\nContent-Disposition: form-data; name=\"key\"\r\n\r\nk\r\n--" +
                      kBoundary + "--\r\n", 400, "InvalidArgument"},
      {"cut short", good.substr(0, good.size() - 20), 400, "MalformedPOSTRequest"},
      {"no closing delimiter", good.substr(0, good.find("data") + 4), 400, "MalformedPOSTRequest"},
      {"field too large", form_body({{"key", "k"}, {"x-ignore-pad", std::string(70000, 'p')}}, "f", "data"),
       400, "MalformedPOSTRequest"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    Response r = post_form(port(), "broken-b", c.body);
    EXPECT_EQ(r.status, c.status) << r.raw;
    EXPECT_NE(r.body.find(std::string("<Code>") + c.code + "</Code>"), std::string::npos) << r.body;
  }
  EXPECT_EQ(qt::request(port(), "GET", "/broken-b").body.find("<Key>"), std::string::npos);
  // Dot segments are a key's own text: stored inside the bucket as that key.
  ASSERT_EQ(post_form(port(), "broken-b", form_body({{"key", "../escape"}}, "f", "dots")).status, 204);
  EXPECT_EQ(qt::request(port(), "GET", "/broken-b/../escape").body, "dots");
  EXPECT_FALSE(qt::file_exists(root() + "/escape"));
  EXPECT_EQ(post("no-such-b", {{"key", "k"}}, "f", "x").status, 404);
  // A POST that is not a form keeps its old answer.
  EXPECT_EQ(qt::request(port(), "POST", "/broken-b", {}, "x").status, 405);
}

// With authentication on, the form is signed: the policy's signature, expiration and
// conditions decide, and the file's length is held to the policy's range.
class SignedPostObject : public ::testing::Test {
 protected:
  static constexpr const char *kAccess = "AKIDPOST";
  static constexpr const char *kSecret = "post-secret";
  qt::Server srv{kAccess, kSecret};

  // The form fields of a policy signed with secret.
  Fields signed_fields(const std::string &conditions, long expires_in = 600,
                       const std::string &secret = kSecret) {
    std::string date = qt::amz_date_now();
    std::string cred = std::string(kAccess) + "/" + date.substr(0, 8) + "/us-east-1/s3/aws4_request";
    std::string policy = base64("{\"expiration\": \"" + iso_in(expires_in) + "\", \"conditions\": [" +
                                conditions + ", {\"x-amz-algorithm\": \"AWS4-HMAC-SHA256\"}, "
                                "{\"x-amz-credential\": \"" + cred + "\"}, {\"x-amz-date\": \"" + date + "\"}]}");
    std::string key = qt::signer_hmac("AWS4" + secret, date.substr(0, 8));
    key = qt::signer_hmac(qt::signer_hmac(qt::signer_hmac(key, "us-east-1"), "s3"), "aws4_request");
    std::string mac = qt::signer_hmac(key, policy);
    char sig[65];
    ::hex_encode((const unsigned char *)mac.data(), 32, sig);
    return {{"policy", policy}, {"x-amz-algorithm", "AWS4-HMAC-SHA256"}, {"x-amz-credential", cred},
            {"x-amz-date", date}, {"x-amz-signature", sig}};
  }
  Response post(Fields fields, const Fields &extra, const std::string &data) {
    fields.insert(fields.begin(), extra.begin(), extra.end());
    return post_form(srv.port, "signed-b", form_body(fields, "f.bin", data));
  }
  void SetUp() override {
    ASSERT_EQ(qt::send_raw(srv.port, qt::sign_request(qt::client_signed("127.0.0.1", kAccess, kSecret, "PUT", "/signed-b")))
                  .status,
              200);
  }
};

TEST_F(SignedPostObject, PolicyDecides) {
  const std::string conds =
      "{\"bucket\": \"signed-b\"}, [\"starts-with\", \"$key\", \"user/\"], "
      "[\"content-length-range\", 2, 10], [\"eq\", \"$Content-Type\", \"image/png\"]";
  const Fields ok = {{"key", "user/${filename}"}, {"Content-Type", "image/png"}};
  Response stored = post(signed_fields(conds), ok, "12345");
  EXPECT_EQ(stored.status, 204) << stored.raw;
  EXPECT_EQ(qt::read_file(srv.root + "/signed-b/user/f.bin"), "12345");

  const std::string cond_failed = "Invalid according to Policy: Policy Condition failed: ";
  struct Case {
    const char *name;
    Fields fields, extra;
    std::string data;
    int status;
    std::string code, message;
  } cases[] = {
      {"wrong secret", signed_fields(conds, 600, "other"), ok, "12345", 403, "SignatureDoesNotMatch", ""},
      {"expired", signed_fields(conds, -5), ok, "12345", 403, "AccessDenied",
       "Invalid according to Policy: Policy expired."},
      {"key prefix", signed_fields(conds), {{"key", "admin/x"}, {"Content-Type", "image/png"}}, "12345", 403,
       "AccessDenied", cond_failed + "[&quot;starts-with&quot;, &quot;$key&quot;, &quot;user/&quot;]"},
      {"eq on a field", signed_fields(conds), {{"key", "user/x"}, {"Content-Type", "text/html"}}, "12345",
       403, "AccessDenied", cond_failed + "[&quot;eq&quot;, &quot;$Content-Type&quot;, &quot;image/png&quot;]"},
      {"field the policy does not name", signed_fields(conds),
       {{"key", "user/x"}, {"Content-Type", "image/png"}, {"x-amz-meta-sneaky", "1"}}, "12345", 403,
       "AccessDenied", "Invalid according to Policy: Extra input fields: x-amz-meta-sneaky"},
      {"too large", signed_fields(conds), ok, "12345678901", 400, "EntityTooLarge", ""},
      {"too small", signed_fields(conds), ok, "1", 400, "EntityTooSmall", ""},
      {"no policy", {}, ok, "12345", 400, "InvalidArgument", ""},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    Response r = post(c.fields, c.extra, c.data);
    EXPECT_EQ(r.status, c.status) << r.raw;
    EXPECT_NE(r.body.find("<Code>" + c.code + "</Code>"), std::string::npos) << r.body;
    if (!c.message.empty()) {
      EXPECT_NE(r.body.find("<Message>" + c.message + "</Message>"), std::string::npos) << r.body;
    }
  }
  // Only the first upload is stored.
  EXPECT_FALSE(qt::file_exists(srv.root + "/signed-b/admin/x"));
  EXPECT_FALSE(qt::file_exists(srv.root + "/signed-b/user/x"));
  EXPECT_EQ(qt::read_file(srv.root + "/signed-b/user/f.bin"), "12345");
}

// A field given twice would let the policy judge one value while the object keeps the other;
// several content-length-range conditions must all hold, not only the last.
TEST_F(SignedPostObject, RepeatedFieldsAndEveryLengthRange) {
  const std::string conds = "[\"starts-with\", \"$key\", \"user/\"], {\"x-amz-meta-role\": \"user\"}";
  struct Case {
    const char *name;
    Fields extra;
    int status;
  } twice[] = {
      {"same field twice", {{"key", "user/a"}, {"x-amz-meta-role", "user"}, {"x-amz-meta-role", "admin"}}, 400},
      {"same field in another case",
       {{"key", "user/a"}, {"x-amz-meta-role", "user"}, {"X-Amz-Meta-Role", "admin"}},
       400},
      {"key twice", {{"key", "user/a"}, {"key", "admin/a"}, {"x-amz-meta-role", "user"}}, 400},
  };
  for (const Case &c : twice) {
    SCOPED_TRACE(c.name);
    Response r = post(signed_fields(conds), c.extra, "12345");
    EXPECT_EQ(r.status, c.status) << r.raw;
    EXPECT_NE(r.body.find("<Code>InvalidArgument</Code>"), std::string::npos) << r.body;
  }
  EXPECT_FALSE(qt::file_exists(srv.root + "/signed-b/user/a"));
  EXPECT_FALSE(qt::file_exists(srv.root + "/signed-b/admin/a"));
  // Fields S3 ignores may repeat.
  Response ignored =
      post(signed_fields(conds),
           {{"key", "user/a"}, {"x-amz-meta-role", "user"}, {"x-ignore-n", "1"}, {"x-ignore-n", "2"}}, "12345");
  EXPECT_EQ(ignored.status, 204) << ignored.raw;
  EXPECT_EQ(qt::read_file(srv.root + "/signed-b/user/a"), "12345");

  // The narrower range comes first: enforcing only the last one would let 3 and 8 bytes pass.
  const std::string ranges =
      "[\"starts-with\", \"$key\", \"user/\"], [\"content-length-range\", 4, 6], "
      "[\"content-length-range\", 2, 10]";
  const std::pair<std::string, int> sizes[] = {{"123", 400}, {"12345678", 400}, {"12345", 204}};
  for (const auto &sz : sizes) {
    SCOPED_TRACE(sz.first);
    Response r = post(signed_fields(ranges), {{"key", "user/r"}}, sz.first);
    EXPECT_EQ(r.status, sz.second) << r.raw;
  }
  EXPECT_EQ(qt::read_file(srv.root + "/signed-b/user/r"), "12345");
}

}  // namespace
