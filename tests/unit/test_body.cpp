// Body reception over a loopback connection: the framings, their limits and failure texts, the
// in-memory and discarding readers, and the header checksums of the upload pipeline.
#include "body_fixture.h"
#include "scratch.h"

#include <algorithm>

#include "digest/hash.h"
#include "auth/stream.h"
#include "body/aws_chunked.h"

using bt::head;
using bt::run_body;

namespace {

using ut::md5_of;

struct FramingCase {
  const char *name;
  std::vector<std::string> headers;
  int aws;  // the stream state says aws-chunked (no signature checks)
  std::string prefix, rest;
  int rc;
  std::string data;   // expected file content on success
  const char *error;  // expected last-error text on failure
};

// Test names carry the case name; without this gtest would print the case's raw bytes.
void PrintTo(const FramingCase &c, std::ostream *os) { *os << c.name; }

class Framing : public ::testing::TestWithParam<FramingCase> {};

TEST_P(Framing, DecodesOrFails) {
  const FramingCase &c = GetParam();
  stream_state st{};
  st.aws_chunked = c.aws;
  bt::Result r = run_body(head(c.headers), c.prefix, c.rest, st);
  ASSERT_EQ(c.rc, r.rc) << r.error;
  if (c.rc == 0) {
    EXPECT_EQ(c.data, r.data);
    EXPECT_EQ(c.data.size(), r.len);
    EXPECT_EQ(md5_of(c.data), r.etag);
  } else {
    EXPECT_EQ(c.error, r.error);
  }
  EXPECT_EQ(0, r.stream.aws_chunked) << "stream state cleared at the end";
}

const std::string kLine510 = "5;" + std::string(507, 'x') + "\r";  // 510 characters before LF
const std::string kLine511 = "5;" + std::string(508, 'x') + "\r";

const FramingCase kFraming[] = {
    {"fixed_prefix_only", {"Content-Length: 5"}, 0, "hello", "", 0, "hello", ""},
    {"fixed_split", {"Content-Length: 11"}, 0, "hello", " world", 0, "hello world", ""},
    {"fixed_socket_only", {"Content-Length: 11"}, 0, "", "hello world", 0, "hello world", ""},
    {"fixed_prefix_beyond_length", {"Content-Length: 3"}, 0, "hello", "", 0, "hel", ""},
    {"fixed_zero", {"Content-Length: 0"}, 0, "", "junk", 0, "", ""},
    {"fixed_minus_zero", {"Content-Length: -0"}, 0, "", "junk", 0, "", ""},
    {"no_framing_is_empty", {}, 0, "junk", "more", 0, "", ""},
    {"length_wins_over_chunked", {"Content-Length: 10", "Transfer-Encoding: chunked"}, 0, "",
     "5\r\nhello\r\n0\r\n\r\n", 0, "5\r\nhello\r\n", ""},
    {"chunked_extensions_trailers", {"Transfer-Encoding: chunked"}, 0, "5;a=b\r\nhel",
     "lo\r\n6\r\n world\r\n0\r\nX-Trailer: 1\r\n\r\n", 0, "hello world", ""},
    {"chunked_any_two_bytes", {"Transfer-Encoding: Chunked"}, 0, "",
     "5\r\nhelloXY6\r\n worldZZ0\r\n\r\n", 0, "hello world", ""},
    {"chunked_end_in_trailers", {"Transfer-Encoding: chunked"}, 0, "", "5\r\nhello\r\n0\r\nX: y", 0,
     "hello", ""},
    {"chunked_long_size_line", {"Transfer-Encoding: chunked"}, 0, "",
     "5;" + std::string(300, 'e') + "\r\nhello\r\n0\r\n\r\n", 0, "hello", ""},
    {"aws", {"Content-Length: 1"}, 1, "",
     "5;chunk-signature=00\r\nhello\r\n6;chunk-signature=00\r\n world\r\n0;chunk-signature=00\r\n\r\n", 0,
     "hello world", ""},
    {"aws_any_two_bytes", {"Content-Length: 1"}, 1, "5;x\r\nhel", "loQQ0;x\r\n\r\n", 0, "hello", ""},
    {"aws_hex_forms", {"Content-Length: 1"}, 1, "", " 0x5;x\r\nhello\r\n+A;x\r\n0123456789\r\n0;x\r\n\r\n",
     0, "hello0123456789", ""},
    // A stream that ends before its terminal chunk, however it ends, was cut short.
    {"aws_empty_line_before_terminal", {"Content-Length: 1"}, 1, "", "5;x\r\nhello\r\n\r\n", -1, "",
     "aws-chunked stream ended before its terminal chunk"},
    {"aws_trailer_lines", {"Content-Length: 1"}, 1, "", "5;x\r\nhello\r\n0;x\r\nx-amz-meta-a:b\r\n\r\n", 0,
     "hello", ""},
    {"aws_line_510", {"Content-Length: 1"}, 1, "", kLine510 + "\nhello\r\n0;x\r\n\r\n", 0, "hello", ""},
    {"aws_line_511", {"Content-Length: 1"}, 1, "", kLine511 + "\nhello\r\n0;x\r\n\r\n", -1, "",
     "aws-chunked line too long"},
    {"aws_bare_size", {"Content-Length: 1"}, 1, "", "5\r\nhello\r\n0\r\n\r\n", -1, "",
     "malformed aws-chunked line"},
    {"aws_negative", {"Content-Length: 1"}, 1, "", "-5;x\r\nhello\r\n", -1, "", "bad aws-chunked size"},
    {"aws_chunk_over_8MiB", {"Content-Length: 1"}, 1, "", "800001;x\r\n", -1, "",
     "aws-chunked chunk too large"},
    {"aws_gone_in_line", {"Content-Length: 1"}, 1, "", "5;x\r\nhello\r\n0;x", -1, "",
     "aws-chunked stream ended before its terminal chunk"},
    {"aws_gone_in_data", {"Content-Length: 1"}, 1, "", "a;x\r\nhello", -1, "",
     "aws-chunked stream ended before its terminal chunk"},
    {"aws_gone_in_trailers", {"Content-Length: 1"}, 1, "", "5;x\r\nhello\r\n0;x\r\nx-a", -1, "",
     "client gone (aws-chunked line)"},
    {"aws_without_framing", {}, 1, "5;x\r\nhello\r\n0;x\r\n\r\n", "", -1, "",
     "streamed body without Content-Length"},
    {"fixed_disconnect", {"Content-Length: 10"}, 0, "he", "llo", -1, "", "client disconnected during body"},
    {"fixed_over_4GiB", {"Content-Length: 4294967297"}, 0, "", "", -1, "", "body too large"},
    // 4 GiB itself passes the length rule: the body then fails only for want of bytes.
    {"fixed_4GiB_allowed", {"Content-Length: 4294967296"}, 0, "", "abc", -1, "",
     "client disconnected during body"},
    {"fixed_negative", {"Content-Length: -1"}, 0, "", "", -1, "", "body too large"},
    {"fixed_beyond_64_bits", {"Content-Length: 99999999999999999999999"}, 0, "", "", -1, "",
     "body too large"},
    {"chunked_gone_in_size", {"Transfer-Encoding: chunked"}, 0, "", "5\r\nhello\r\n", -1, "",
     "client gone (chunked size)"},
    {"chunked_gone_in_data", {"Transfer-Encoding: chunked"}, 0, "", "a\r\nhello", -1, "",
     "client gone (chunked data)"},
    // Chunk sizes are held to the limit of a Content-Length body: 4 GiB is honoured (then runs
    // out of data); one byte more is refused at its size line, before any data is received.
    {"chunked_size_at_limit", {"Transfer-Encoding: chunked"}, 0, "", "100000000\r\nhello", -1, "",
     "client gone (chunked data)"},
    {"chunked_size_over_limit", {"Transfer-Encoding: chunked"}, 0, "", "100000001\r\nhello", -1, "",
     "body too large"},
    {"chunked_sizes_add_up_over_limit", {"Transfer-Encoding: chunked"}, 0, "",
     "5\r\nhello\r\nfffffffc\r\nx", -1, "", "body too large"},
    {"chunked_size_beyond_64_bits", {"Transfer-Encoding: chunked"}, 0, "", "10000000000000000\r\nhello",
     -1, "", "bad chunked size"},
};

INSTANTIATE_TEST_SUITE_P(Body, Framing, ::testing::ValuesIn(kFraming),
                         [](const ::testing::TestParamInfo<FramingCase> &i) { return std::string(i.param.name); });

TEST(Body, EmptyBodyHasEmptyMd5) {
  bt::Result r = run_body(head({}), "", "");
  ASSERT_EQ(0, r.rc);
  EXPECT_EQ("d41d8cd98f00b204e9800998ecf8427e", r.etag);
  EXPECT_EQ(0u, r.len);
}

TEST(Body, LargeBodiesPassWhole) {
  // Several receive pieces and read-ahead refills, with part of the body in the prefix.
  std::string data(3 * 1024 * 1024 + 17, 0);
  for (size_t i = 0; i < data.size(); i++) data[i] = (char)(i * 131 + (i >> 9));
  bt::Result fixed = run_body(head({"Content-Length: " + std::to_string(data.size())}), data.substr(0, 1000),
                              data.substr(1000));
  ASSERT_EQ(0, fixed.rc) << fixed.error;
  EXPECT_TRUE(fixed.data == data);
  EXPECT_EQ(md5_of(data), fixed.etag);

  std::string wire;
  for (size_t off = 0; off < data.size(); off += 700000) {
    size_t n = std::min<size_t>(700000, data.size() - off);
    char size[32];
    snprintf(size, sizeof size, "%zx\r\n", n);
    wire += size + data.substr(off, n) + "\r\n";
  }
  wire += "0\r\n\r\n";
  bt::Result chunked = run_body(head({"Transfer-Encoding: chunked"}), "", wire);
  ASSERT_EQ(0, chunked.rc) << chunked.error;
  EXPECT_TRUE(chunked.data == data);
}

TEST(Body, AwsChunkOf8MiBAccepted) {
  std::string data(S3_AWS_CHUNK_MAX, 'z');
  bt::Result r =
      run_body(head({"Content-Length: 1"}), "", "800000;x\r\n" + data + "\r\n0;x\r\n\r\n", bt::aws_stream());
  ASSERT_EQ(0, r.rc) << r.error;
  EXPECT_EQ(S3_AWS_CHUNK_MAX, r.len);
  EXPECT_TRUE(r.data == data);
}

TEST(Body, OutputFileThatCannotBeCreated) {
  stream_state st = bt::aws_stream();
  bt::Pair p;
  char etag[33];
  uint64_t len = 7;
  std::string h = head({"Content-Length: 1"});
  std::string path = bt::scratch_dir() + "/missing-dir/out";
  clear_error();
  EXPECT_EQ(-1, read_body_to_file(p.server, h.data(), h.size(), nullptr, 0, path.c_str(), etag, &len, nullptr, &st));
  EXPECT_EQ("cannot open temp file " + path, bt::last_error());
}

// The aws-chunked framing over an in-memory source, with a sink that can refuse to store: the
// one failure a socket cannot provoke.
struct MemIo {
  std::string in;
  size_t pos = 0;
  std::string stored;
  bool refuse = false;
};

TEST(AwsChunked, StoreFailureIsNamedAndNothingCounted) {
  aws_chunked_io io;
  io.next_byte = [](void *ctx) {
    MemIo *m = (MemIo *)ctx;
    return m->pos < m->in.size() ? (int)(unsigned char)m->in[m->pos++] : -1;
  };
  io.read = [](void *ctx, void *dst, size_t n) {
    MemIo *m = (MemIo *)ctx;
    size_t k = std::min(n, m->in.size() - m->pos);
    memcpy(dst, m->in.data() + m->pos, k);
    m->pos += k;
    return k;
  };
  io.store = [](void *ctx, const void *data, size_t n) {
    MemIo *m = (MemIo *)ctx;
    if (m->refuse) return -1;
    m->stored.append((const char *)data, n);
    return 0;
  };
  for (bool refuse : {false, true}) {
    SCOPED_TRACE(refuse ? "refused" : "stored");
    MemIo m;
    m.in = "5;x\r\nhello\r\n6;x\r\n world\r\n0;x\r\n\r\nafter";
    m.refuse = refuse;
    io.ctx = &m;
    stream_state st = bt::aws_stream();
    uint64_t len = 0;
    clear_error();
    int rc = aws_chunked_read(&io, &st, &len);
    if (!refuse) {
      ASSERT_EQ(0, rc) << bt::last_error();
      EXPECT_EQ("hello world", m.stored);
      EXPECT_EQ(11u, len);
      EXPECT_EQ("after", m.in.substr(m.pos)) << "nothing read past the closing empty line";
    } else {
      EXPECT_EQ(-1, rc);
      EXPECT_EQ("temp write fail (aws-chunked)", bt::last_error());
      EXPECT_EQ(0u, len);
      EXPECT_EQ(0, st.sigfail);
    }
  }
}

TEST(Body, MemAndDiscardTakePrefixThenSocket) {
  {
    bt::Req q(head({"Content-Length: 11"}), "hello");
    bt::Pair p;
    bt::Sender s(p, " world and more");
    char buf[32] = {0};
    EXPECT_EQ(11u, read_body_to_mem(p.server, q.r.get(), buf, 11));
    EXPECT_EQ("hello world", std::string(buf));
  }
  {
    // Stops at the end of the connection.
    bt::Req q(head({}), "ab");
    bt::Pair p;
    bt::Sender s(p, "cd");
    char buf[32] = {0};
    EXPECT_EQ(4u, read_body_to_mem(p.server, q.r.get(), buf, 20));
    EXPECT_EQ("abcd", std::string(buf));
  }
  {
    // Discarding leaves the bytes after the body on the connection.
    bt::Req q(head({}), "abc");
    bt::Pair p;
    bt::Sender s(p, std::string(100000, 'd') + "TAIL");
    discard_body(p.server, q.r.get(), 100003);
    char buf[8] = {0};
    EXPECT_EQ(4, plat_sock_recv(p.server, buf, 4));
    EXPECT_EQ("TAIL", std::string(buf));
  }
}

// ---------------------------------------------------------------- the upload pipeline

struct ChecksumCase {
  const char *name;
  std::string header;  // one checksum header line for the body "hello world"
  int status;          // 0: accepted
  const char *code;
  const char *message;
};

void PrintTo(const ChecksumCase &c, std::ostream *os) { *os << c.name; }

class HeaderChecksums : public ::testing::TestWithParam<ChecksumCase> {};

TEST_P(HeaderChecksums, VerifiedAgainstPayload) {
  const ChecksumCase &c = GetParam();
  bt::Req q(head({"Content-Length: 11", c.header}), "hello");
  bt::Result r = bt::run_upload(q, " world");
  if (c.status == 0) {
    ASSERT_EQ(0, r.rc) << r.error;
    EXPECT_EQ("hello world", r.data);
    return;
  }
  ASSERT_EQ(-1, r.rc);
  EXPECT_EQ(c.status, r.up.status);
  EXPECT_STREQ(c.code, r.up.code);
  EXPECT_STREQ(c.message, r.up.message);
  EXPECT_FALSE(r.file_left);
  EXPECT_EQ(11u, r.len);
}

// Values computed independently (Python zlib/hashlib and bitwise CRC-32C / CRC-64/NVME).
const ChecksumCase kChecksums[] = {
    {"md5_good", "Content-MD5: XrY7u+Ae7tCTyyK7j1rNww==", 0, "", ""},
    {"md5_bad", "Content-MD5: XrY7u+Ae7tCTyyK7j1rNxw==", 400, "BadDigest",
     "The Content-MD5 you specified did not match what we received."},
    {"md5_malformed", "Content-MD5: XrY7u+Ae7tCTyyK7", 400, "InvalidDigest",
     "The Content-MD5 you specified was not valid."},
    {"md5_empty", "Content-MD5:", 400, "InvalidDigest", "The Content-MD5 you specified was not valid."},
    {"crc32_good", "x-amz-checksum-crc32: DUoRhQ==", 0, "", ""},
    {"crc32_bad", "x-amz-checksum-crc32: DUoRhA==", 400, "BadDigest",
     "The CRC32 you specified did not match the calculated checksum."},
    {"crc32_malformed", "x-amz-checksum-crc32: DUoRhQAA", 400, "InvalidRequest",
     "Value for x-amz-checksum-crc32 header is invalid."},
    {"crc32c_good", "X-Amz-Checksum-CRC32C: yZRlqg==", 0, "", ""},
    {"crc32c_bad", "x-amz-checksum-crc32c: yZRlqw==", 400, "BadDigest",
     "The CRC32C you specified did not match the calculated checksum."},
    {"crc64nvme_good", "x-amz-checksum-crc64nvme: jSnVw/bqjr4=", 0, "", ""},
    {"crc64nvme_bad", "x-amz-checksum-crc64nvme: jSnVw/bqjr8=", 400, "BadDigest",
     "The CRC64NVME you specified did not match the calculated checksum."},
    {"sha1_good", "x-amz-checksum-sha1: Kq5sNclPz7QV2+lfQIuc6R7oRu0=", 0, "", ""},
    {"sha1_bad", "x-amz-checksum-sha1: Lq5sNclPz7QV2+lfQIuc6R7oRu0=", 400, "BadDigest",
     "The SHA1 you specified did not match the calculated checksum."},
    {"sha256_good", "x-amz-checksum-sha256: uU0nuZNNPgilLlLX2n2r+sSE7+N6U4DukIj3rOLvzek=", 0, "", ""},
    {"sha256_bad", "x-amz-checksum-sha256: uU0nuZNNPgilLlLX2n2r+sSE7+N6U4DukIj3rOLvzeg=", 400,
     "BadDigest", "The SHA256 you specified did not match the calculated checksum."},
    {"content_sha256_good",
     "x-amz-content-sha256: B94D27B9934D3E08A52E52D7DA7DABFAC484EFE37A5380EE9088F7ACE2EFCDE9", 0, "", ""},
    {"content_sha256_swapped",
     "x-amz-content-sha256: b94d27b9934d3e08a52e52d7da7dabfac484efe37a5380ee9088f7ace2efcde8", 403,
     "XAmzContentSHA256Mismatch", "The x-amz-content-sha256 header you provided did not match what we computed"},
    {"content_sha256_unsigned", "x-amz-content-sha256: UNSIGNED-PAYLOAD", 0, "", ""},
};

INSTANTIATE_TEST_SUITE_P(Upload, HeaderChecksums, ::testing::ValuesIn(kChecksums),
                         [](const ::testing::TestParamInfo<ChecksumCase> &i) { return std::string(i.param.name); });

TEST(Upload, FailedBodyIsRemovedAndAnswered500) {
  bt::Req q(head({"Content-Length: 100"}), "partial");
  bt::Result r = bt::run_upload(q, " body");
  ASSERT_EQ(-1, r.rc);
  EXPECT_EQ(500, r.up.status);
  EXPECT_STREQ("InternalError", r.up.code);
  EXPECT_STREQ("Failed to store object body", r.up.message);
  EXPECT_EQ("client disconnected during body", r.error);
  EXPECT_FALSE(r.file_left);
  EXPECT_EQ(12u, r.len) << "bytes received are reported for the counters";
}

TEST(Upload, PayloadSwapText) {
  bt::Req q(head({"Content-Length: 3", "x-amz-content-sha256: " + std::string(64, 'a')}), "abc");
  bt::Result r = bt::run_upload(q, "");
  ASSERT_EQ(-1, r.rc);
  EXPECT_EQ("x-amz-content-sha256 mismatch (payload swap)", r.error);
}

TEST(Upload, OverTheLimitIsEntityTooLargeInEveryFraming) {
  // Content-Length over 4 GiB, and an HTTP chunk claiming more: both are refused before any
  // payload is stored, with the same answer.
  for (const std::vector<std::string> &h :
       {std::vector<std::string>{"Content-Length: 4294967297"}, {"Transfer-Encoding: chunked"}}) {
    SCOPED_TRACE(h[0]);
    bt::Req q(head(h));
    bt::Result r = bt::run_upload(q, "100000001\r\nhello");
    ASSERT_EQ(-1, r.rc);
    EXPECT_EQ(400, r.up.status);
    EXPECT_STREQ("EntityTooLarge", r.up.code);
    EXPECT_STREQ("Your proposed upload exceeds the maximum allowed size", r.up.message);
    EXPECT_EQ("body too large", r.error);
    EXPECT_FALSE(r.file_left);
  }
}

// ---------------------------------------------------------------- bodies read whole

const char kDeleteXml[] = "<Delete><Object><Key>a</Key></Object></Delete>";  // 46 bytes

// Frames kDeleteXml-sized payloads: HTTP chunked in two chunks, aws-chunked in two chunks.
std::string http_chunked(const std::string &a, const std::string &b) {
  char s1[16], s2[16];
  snprintf(s1, sizeof s1, "%zx\r\n", a.size());
  snprintf(s2, sizeof s2, "%zx\r\n", b.size());
  return s1 + a + "\r\n" + s2 + b + "\r\n0\r\n\r\n";
}
std::string aws_chunked(const std::string &a, const std::string &b) {
  char s1[16], s2[16];
  snprintf(s1, sizeof s1, "%zx;x\r\n", a.size());
  snprintf(s2, sizeof s2, "%zx;x\r\n", b.size());
  return s1 + a + "\r\n" + s2 + b + "\r\n0;x\r\n\r\n";
}

TEST(WholeBody, EveryFramingReadWholeUpToTheLimit) {
  const std::string x = kDeleteXml, a = x.substr(0, 20), b = x.substr(20);
  char digest[65];
  sha256_hex(x.data(), x.size(), digest);
  const std::string sha = std::string("x-amz-content-sha256: ") + digest;
  struct Case {
    const char *name;
    std::vector<std::string> headers;
    int aws;
    std::string wire;
    size_t max;
    int status;  // 0: read whole
    const char *code;
  } cases[] = {
      {"length", {"Content-Length: 46"}, 0, x, 46, 0, ""},
      {"length_over", {"Content-Length: 46"}, 0, x, 45, 400, "MaxMessageLengthExceeded"},
      {"http_chunked", {"Transfer-Encoding: chunked"}, 0, http_chunked(a, b), 46, 0, ""},
      {"http_chunked_over", {"Transfer-Encoding: chunked"}, 0, http_chunked(a, b), 45, 400,
       "MaxMessageLengthExceeded"},
      {"aws_chunked", {"Content-Length: 1"}, 1, aws_chunked(a, b), 46, 0, ""},
      {"aws_chunked_over", {"Content-Length: 1"}, 1, aws_chunked(a, b), 45, 400, "MaxMessageLengthExceeded"},
      {"aws_in_http_chunked", {"Transfer-Encoding: chunked"}, 1, http_chunked(aws_chunked(a, b), ""), 46, 0, ""},
      {"aws_in_http_chunked_over", {"Transfer-Encoding: chunked"}, 1, http_chunked(aws_chunked(a, b), ""), 45,
       400, "MaxMessageLengthExceeded"},
      // No framing at all is an empty body, answered at once rather than waited for.
      {"no_framing", {}, 0, "", 46, 0, ""},
      {"signed_digest", {"Content-Length: 46", sha}, 0, x, 46, 0, ""},
      {"signed_digest_of_another_body", {"Content-Length: 46", sha}, 0,
       "<Delete><Object><Key>b</Key></Object></Delete>", 46, 400, "XAmzContentSHA256Mismatch"},
      {"md5_of_another_body", {"Content-Length: 46", "Content-MD5: XrY7u+Ae7tCTyyK7j1rNww=="}, 0, x, 46, 400,
       "BadDigest"},
      {"md5_empty", {"Content-Length: 46", "Content-MD5: "}, 0, x, 46, 400, "InvalidDigest"},
      {"cut_short", {"Content-Length: 47"}, 0, x, 100, 400, "IncompleteBody"},
      {"aws_cut_before_terminal", {"Content-Length: 1"}, 1, "5;x\r\nhello\r\n\r\n", 100, 400, "IncompleteBody"},
      {"aws_without_framing", {}, 1, "", 100, 411, "MissingContentLength"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    bt::Req q(head(c.headers));
    stream_state st{};
    st.aws_chunked = c.aws;
    bt::Whole w = bt::run_whole(q, c.wire, c.max, st);
    if (c.status == 0) {
      ASSERT_EQ(0, w.rc) << w.error;
      EXPECT_EQ(c.wire.empty() ? "" : x, w.body);
    } else {
      ASSERT_EQ(-1, w.rc);
      EXPECT_EQ(c.status, w.err.status);
      EXPECT_STREQ(c.code, w.err.code);
      EXPECT_TRUE(w.body.empty());
    }
  }
}

TEST(WholeBody, MismatchTexts) {
  bt::Req q(head({"Content-Length: 3", "x-amz-content-sha256: " + std::string(64, 'a')}), "abc");
  bt::Whole w = bt::run_whole(q, "", 100);
  ASSERT_EQ(-1, w.rc);
  EXPECT_STREQ("The provided 'x-amz-content-sha256' header does not match what was computed.", w.err.message);
  bt::Req big(head({"Content-Length: 101"}));
  w = bt::run_whole(big, "", 100);
  EXPECT_STREQ("Your request was too big.", w.err.message);
}

TEST(ContentLength, OneDecimalNumberOrAbsent) {
  struct Case {
    const char *name;
    std::vector<std::string> headers;
    int status;  // 0: usable
    const char *code;
  } cases[] = {
      {"absent", {}, 0, ""},
      {"zero", {"Content-Length: 0"}, 0, ""},
      {"number", {"Content-Length: 0012"}, 0, ""},
      {"beyond_64_bits_is_a_number", {"Content-Length: 99999999999999999999999"}, 0, ""},
      {"empty", {"Content-Length:"}, 400, "MissingContentLength"},
      {"blank", {"Content-Length:   "}, 400, "MissingContentLength"},
      {"negative", {"Content-Length: -1"}, 400, "InvalidArgument"},
      {"minus_zero", {"Content-Length: -0"}, 400, "InvalidArgument"},
      {"plus", {"Content-Length: +5"}, 400, "InvalidArgument"},
      {"word", {"Content-Length: five"}, 400, "InvalidArgument"},
      {"trailing_junk", {"Content-Length: 5x"}, 400, "InvalidArgument"},
      {"two_values", {"Content-Length: 5, 5"}, 400, "InvalidArgument"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    bt::Req q(head(c.headers));
    upload_error err{};
    int rc = content_length_check(q.r.get(), &err);
    if (c.status == 0) {
      EXPECT_EQ(0, rc);
    } else {
      EXPECT_EQ(-1, rc);
      EXPECT_EQ(c.status, err.status);
      EXPECT_STREQ(c.code, err.code);
    }
  }
}

}  // namespace
