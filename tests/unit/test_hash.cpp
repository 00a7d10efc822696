// Unit tests of the digest and encoding primitives against published vectors and one-pass results.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "digest/checksum.h"
#include "digest/hash.h"
#include "digest/hash_accel.h"
#include "platform/platform.h"

namespace {

std::string hex(const unsigned char *d, size_t n) {
  std::vector<char> out(2 * n + 1);
  hex_encode(d, n, out.data());
  return out.data();
}

std::string md5s(const std::string &m) {
  md5_ctx c;
  md5_init(&c);
  md5_update(&c, m.data(), m.size());
  unsigned char d[16];
  md5_final(&c, d);
  return hex(d, 16);
}

std::string sha256s(const std::string &m) {
  char out[65];
  sha256_hex(m.data(), m.size(), out);
  return out;
}

std::string sha1s(const std::string &m) {
  sha1_ctx c;
  sha1_init(&c);
  sha1_update(&c, m.data(), m.size());
  unsigned char d[20];
  sha1_final(&c, d);
  return hex(d, 20);
}

std::string hmacs(const std::string &key, const std::string &msg) {
  unsigned char d[32];
  hmac_sha256(key.data(), key.size(), msg.data(), msg.size(), d);
  return hex(d, 32);
}

// Bytes (i*7+3) mod 256: a message whose every block differs.
std::string pattern(size_t n) {
  std::string s(n, '\0');
  for (size_t i = 0; i < n; i++) s[i] = (char)((i * 7 + 3) & 0xff);
  return s;
}

std::string temp_file(const std::string &tag, const std::string &data) {
  std::string path = testing::TempDir() + "qm_hash_" + tag + "_" + std::to_string(plat_thread_id());
  plat_file *f = plat_file_open(path.c_str(), PLAT_WRITE_TRUNC);
  EXPECT_NE(f, nullptr);
  if (f) {
    if (!data.empty()) {
      EXPECT_EQ(plat_file_write(f, data.data(), data.size()), (long)data.size());
    }
    plat_file_close(f);
  }
  return path;
}

// Routes the digests through one path for the life of a test, and back to the CPU's choice after.
struct path_guard {
  explicit path_guard(int portable) { hash_force_portable(portable); }
  ~path_guard() { hash_force_portable(0); }
};

enum class hash_path { portable, accelerated };

std::string path_name(const testing::TestParamInfo<hash_path> &info) {
  return info.param == hash_path::portable ? "portable" : "accelerated";
}

// Says, where everyone sees it, which instruction paths this CPU cannot run: those vectors then
// go through the portable code in the accelerated run too.
void note_missing_paths() {
  const unsigned cpu = hash_accel_cpu();
  const struct { unsigned bit; const char *what; } paths[] = {
      {HASH_ACCEL_SHA256, "SHA-256 (SHA extensions)"},
      {HASH_ACCEL_CRC32, "CRC-32 (PCLMULQDQ)"},
      {HASH_ACCEL_CRC32C, "CRC-32C (SSE4.2 crc32)"},
  };
  for (auto &p : paths)
    if (!(cpu & p.bit))
      printf("[   NOTE   ] this CPU cannot run the accelerated %s path; only the portable one "
             "is tested\n", p.what);
}

// The vectors that depend on SHA-256 and the CRCs run once through each path.
class BothPaths : public testing::TestWithParam<hash_path> {
 protected:
  void SetUp() override {
    if (GetParam() == hash_path::accelerated) note_missing_paths();
    guard_ = std::make_unique<path_guard>(GetParam() == hash_path::portable);
    if (GetParam() == hash_path::portable) ASSERT_EQ(hash_accel_paths(), 0u);
    else ASSERT_EQ(hash_accel_paths(), hash_accel_cpu());
  }
  void TearDown() override { guard_.reset(); }
  std::unique_ptr<path_guard> guard_;
};
INSTANTIATE_TEST_SUITE_P(Hash, BothPaths,
                         testing::Values(hash_path::portable, hash_path::accelerated), path_name);

}  // namespace

TEST(Md5, Rfc1321Vectors) {
  struct { const char *msg, *digest; } cases[] = {
      {"", "d41d8cd98f00b204e9800998ecf8427e"},
      {"a", "0cc175b9c0f1b6a831c399e269772661"},
      {"abc", "900150983cd24fb0d6963f7d28e17f72"},
      {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
      {"abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
      {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789",
       "d174ab98d277d9f5a5611c2c9f419d9f"},
      {"12345678901234567890123456789012345678901234567890123456789012345678901234567890",
       "57edf4a22be3c955ac49da2e2107b67a"},
  };
  for (auto &c : cases) EXPECT_EQ(md5s(c.msg), c.digest) << "\"" << c.msg << "\"";
}

TEST_P(BothPaths, Sha256NistVectors) {
  EXPECT_EQ(sha256s(""), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
  EXPECT_EQ(sha256s("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  EXPECT_EQ(sha256s("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq"),
            "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
  EXPECT_EQ(sha256s("abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmnhijklmnoijklmnopjklmnopqklm"
                    "nopqrlmnopqrsmnopqrstnopqrstu"),
            "cf5b16a778af8380036ce59e7b0492370b249b11e8f07a51afac45037afee9d1");
  EXPECT_EQ(sha256s(std::string(1000000, 'a')),
            "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
}

TEST(Sha1, FipsVectors) {
  EXPECT_EQ(sha1s(""), "da39a3ee5e6b4b0d3255bfef95601890afd80709");
  EXPECT_EQ(sha1s("abc"), "a9993e364706816aba3e25717850c26c9cd0d89d");
  EXPECT_EQ(sha1s("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq"),
            "84983e441c3bd26ebaae4aa1f95129e5e54670f1");
  EXPECT_EQ(sha1s(std::string(1000000, 'a')), "34aa973cd4c4daa4f61eeb2bdbad27316534016f");
}

// Lengths around the padding boundaries: 55 leaves room for the length, 56 needs a second block.
TEST_P(BothPaths, PaddingBoundaries) {
  struct { size_t n; const char *md5, *sha256, *sha1; } cases[] = {
      {55, "52c0e574e1198de5fe3f8f11440dcb1b",
       "e7313d333c272e639f790978283f9eb392e843d0f29b7016828bb1daa4aac70b",
       "ddf57317ef34bfee3b6df83d359098930eb278bc"},
      {56, "46c9907fc908ee68b1e7b8e71286a518",
       "4324d65f3c103567f5589c710bc08f8523f929a9272e3af36fc968e52abc6c27",
       "a0d492bb0fc889d0eca3bc137066ab6f4f74f369"},
      {63, "a62f6d59e837867693f042f5b8f5a236",
       "81c80242132f230c3bd41b3e63bbcff16107339549214a99614ff26664625055",
       "c55856749bef509bdfe6bfebfc7bf4e793e82132"},
      {64, "7160b8fb5e9e4023d549c3971fbaeead",
       "39e3d7b6b5d075d37d053ad89b24b41bef4f3c29760c84447cab3f3be1882241",
       "bede92be29c3874e1b54ddc77988d606fc857a8e"},
      {65, "70bd662e7aefbda85a0f7244167b7897",
       "aacca6ff74fdbb296d165a45cecfa04e5127bc008770fbbdd48006f2d2fae95e",
       "b05a80522b053d6dc7e0a517d0e70212c7dad11f"},
      {119, "e84905d4214f4d1ca56c2cdcc152b143",
       "9ce7368e4daf32341631b492e80359dc9f594b48453cd0dd5bf0b19279cc177e",
       "504e27376a6e0f0dba8295b85cb25dc4dfa17d23"},
      {120, "e3eb5a6c8669ea01a8c185b8abc8a5dc",
       "7836b787757e95e58b3ca5aec90b1b004e8deba1e50e9675af9cabf1a13a04b5",
       "82134b02fb3f702491be9bed581eeab59334acb2"},
  };
  for (auto &c : cases) {
    std::string m = pattern(c.n);
    EXPECT_EQ(md5s(m), c.md5) << c.n;
    EXPECT_EQ(sha256s(m), c.sha256) << c.n;
    EXPECT_EQ(sha1s(m), c.sha1) << c.n;
  }
}

// Feeding in uneven pieces, including ones that straddle and fill the block buffer, gives the
// one-pass digest and CRCs.
TEST_P(BothPaths, PiecesEqualOnePass) {
  std::string m = pattern(5000);
  const size_t steps[] = {1, 3, 63, 64, 65, 127, 1000};
  md5_ctx mc;
  sha256_ctx sc;
  sha1_ctx s1;
  md5_init(&mc);
  sha256_init(&sc);
  sha1_init(&s1);
  uint32_t crc = 0, crcc = 0;
  uint64_t crc64 = 0;
  size_t pos = 0;
  for (size_t i = 0; pos < m.size(); i++) {
    size_t n = std::min(steps[i % 7], m.size() - pos);
    md5_update(&mc, m.data() + pos, n);
    sha256_update(&sc, m.data() + pos, n);
    sha1_update(&s1, m.data() + pos, n);
    crc = crc32_update(crc, m.data() + pos, n);
    crcc = crc32c_update(crcc, m.data() + pos, n);
    crc64 = crc64nvme_update(crc64, m.data() + pos, n);
    pos += n;
  }
  unsigned char d5[16], d256[32], d1[20];
  md5_final(&mc, d5);
  sha256_final(&sc, d256);
  sha1_final(&s1, d1);
  EXPECT_EQ(hex(d5, 16), md5s(m));
  EXPECT_EQ(hex(d256, 32), sha256s(m));
  EXPECT_EQ(hex(d1, 20), sha1s(m));
  EXPECT_EQ(crc, crc32_update(0, m.data(), m.size()));
  EXPECT_EQ(crcc, crc32c_update(0, m.data(), m.size()));
  EXPECT_EQ(crc64, crc64nvme_update(0, m.data(), m.size()));
}

TEST_P(BothPaths, HmacRfc4231Cases) {
  struct { std::string key, msg; const char *mac; } cases[] = {
      {std::string(20, '\x0b'), "Hi There",
       "b0344c61d8db38535ca8afceaf0bf12b881dc200c9833da726e9376c2e32cff7"},
      {"Jefe", "what do ya want for nothing?",
       "5bdcc146bf60754e6a042426089575c75a003f089d2739839dec58b964ec3843"},
      {std::string(20, '\xaa'), std::string(50, '\xdd'),
       "773ea91e36800e46854db8ebd09181a72959098b3ef8c122d9635514ced565fe"},
      {"\x01\x02\x03\x04\x05\x06\x07\x08\x09\x0a\x0b\x0c\x0d\x0e\x0f\x10\x11\x12\x13\x14\x15\x16"
       "\x17\x18\x19",
       std::string(50, '\xcd'), "82558a389a443c0ea4cc819899f2083a85f0faa3e578f8077a2e3ff46729665b"},
      // Keys longer than the block are hashed first.
      {std::string(131, '\xaa'), "Test Using Larger Than Block-Size Key - Hash Key First",
       "60e431591ee0b67f0d8a26aacbf5b77f8e0bc6213728c5140546040f0ee37f54"},
      {std::string(131, '\xaa'),
       "This is a test using a larger than block-size key and a larger than block-size data. The "
       "key needs to be hashed before being used by the HMAC algorithm.",
       "9b09ffa71b942fcb27635fbcd5b0e944bfdc63644f0713938a7f51535c3a35e2"},
  };
  for (auto &c : cases) EXPECT_EQ(hmacs(c.key, c.msg), c.mac) << c.mac;
}

// A 64-byte key is used as it is, a 65-byte key through its SHA-256; keys may hold zero bytes.
TEST_P(BothPaths, HmacKeyLengthBoundary) {
  std::string k64, k65;
  for (int i = 0; i < 64; i++) k64 += (char)((i + 1) & 0xff);
  for (int i = 0; i < 65; i++) k65 += (char)((i + 1) & 0xff);
  EXPECT_EQ(hmacs(k64, "boundary key"), "c43d18769461e657299ea0dcbd5b68257a535457ca64f72072dd67df4211c003");
  EXPECT_EQ(hmacs(k65, "boundary key"), "bb72d6593659718583357fee27163075eedd40d29239f6fc39f730ea2e4db162");
  unsigned char hashed[32];
  sha256_raw(k65.data(), k65.size(), hashed);
  EXPECT_EQ(hmacs(std::string((const char *)hashed, 32), "boundary key"), hmacs(k65, "boundary key"));
  std::string zero_key("\0\0a", 3);
  EXPECT_NE(hmacs(zero_key, "m"), hmacs("a", "m"));
}

TEST_P(BothPaths, CrcCheckValues) {
  const char *m = "123456789";
  EXPECT_EQ(crc32_update(0, m, 9), 0xcbf43926u);
  EXPECT_EQ(crc32c_update(0, m, 9), 0xe3069283u);
  EXPECT_EQ(crc64nvme_update(0, m, 9), 0xae8b14860a799888ull);
  EXPECT_EQ(crc32_update(0, "", 0), 0u);
  EXPECT_EQ(crc64nvme_update(0, "", 0), 0u);
}

// The body reader feeds CRC-32 in 262,144-byte pieces.
TEST_P(BothPaths, CrcLargePiecesEqualOnePass) {
  std::string m = pattern(262144 * 2 + 777);
  uint32_t crc = 0;
  for (size_t pos = 0; pos < m.size(); pos += 262144)
    crc = crc32_update(crc, m.data() + pos, std::min<size_t>(262144, m.size() - pos));
  EXPECT_EQ(crc, crc32_update(0, m.data(), m.size()));
}

// Random lengths 0..4096 at every alignment, fed in random pieces, give the same SHA-256, CRC-32
// and CRC-32C through the portable and the accelerated path. The seed is fixed, so a failure
// names a case that repeats.
TEST(HashPaths, AcceleratedAgreesWithPortableOnRandomInput) {
  note_missing_paths();
  std::mt19937 rng(20261210);
  std::vector<unsigned char> buf(4096 + 64);
  for (auto &b : buf) b = (unsigned char)rng();
  struct result { std::string sha; uint32_t crc, crcc; };
  auto run = [&](const unsigned char *p, const std::vector<size_t> &cuts) {
    sha256_ctx c;
    sha256_init(&c);
    uint32_t crc = 0x5a5a5a5a, crcc = 0xa5a5a5a5;  // continuing an earlier piece
    size_t pos = 0;
    for (size_t cut : cuts) {
      sha256_update(&c, p + pos, cut - pos);
      crc = crc32_update(crc, p + pos, cut - pos);
      crcc = crc32c_update(crcc, p + pos, cut - pos);
      pos = cut;
    }
    unsigned char d[32];
    sha256_final(&c, d);
    return result{hex(d, 32), crc, crcc};
  };
  for (int i = 0; i < 3000; i++) {
    size_t len = i < 300 ? (size_t)i : rng() % 4097;
    size_t align = rng() % 64;
    std::vector<size_t> cuts;
    for (size_t n = rng() % 4; n; n--) cuts.push_back(len ? rng() % (len + 1) : 0);
    std::sort(cuts.begin(), cuts.end());
    cuts.push_back(len);
    const unsigned char *p = buf.data() + align;
    result slow, fast;
    {
      path_guard g(1);
      slow = run(p, cuts);
    }
    fast = run(p, cuts);
    ASSERT_EQ(fast.sha, slow.sha) << "len " << len << " align " << align << " pieces " << cuts.size();
    ASSERT_EQ(fast.crc, slow.crc) << "len " << len << " align " << align << " pieces " << cuts.size();
    ASSERT_EQ(fast.crcc, slow.crcc) << "len " << len << " align " << align << " pieces " << cuts.size();
  }
}

TEST(Base64, LenientDecode) {
  struct { const char *text; std::string bytes; } cases[] = {
      {"AAAAAA==", std::string(4, '\0')},
      {" AA\tAA\r\nAA = =\n", std::string(4, '\0')},
      {"AA*AA!AA", std::string(4, '\0')},            // characters outside the alphabet skipped
      {"TWFu", "Man"},
      {"TWE=", "Ma"},
      {"TQ", "M"},                                  // fewer than 8 leftover bits dropped
      {"QUJDREVGR0hJSktM", "ABCDEFGH"},             // stops after 8 bytes
      {"", ""},
      {"====", ""},
  };
  for (auto &c : cases) {
    unsigned char out[9];
    memset(out, 0x77, sizeof out);
    size_t n = base64_decode(c.text, out);
    EXPECT_EQ(std::string((const char *)out, n), c.bytes) << "\"" << c.text << "\"";
    EXPECT_EQ(out[8], 0x77) << "wrote past 8 bytes for \"" << c.text << "\"";
  }
  unsigned char big[32];
  size_t n = base64_decode_n("SGVsbG8sIHdvcmxkIQ==", big, sizeof big);
  EXPECT_EQ(std::string((const char *)big, n), "Hello, world!");
  EXPECT_EQ(base64_decode_n("TWFu", big, 2), 2u);
}

TEST(Base64, DecodesRfc4648Vectors) {
  const char *text[] = {"", "Zg==", "Zm8=", "Zm9v", "Zm9vYg==", "Zm9vYmE=", "Zm9vYmFy"};
  for (size_t n = 0; n <= 6; n++) {
    unsigned char out[16];
    ASSERT_EQ(base64_decode_n(text[n], out, sizeof out), n) << text[n];
    EXPECT_EQ(std::string((const char *)out, n), std::string("foobar", n)) << text[n];
  }
}

TEST(ConstTimeEq, Results) {
  EXPECT_EQ(const_time_eq("abcd", 4, "abcd", 4), 1);
  EXPECT_EQ(const_time_eq("abcd", 4, "abce", 4), 0);
  EXPECT_EQ(const_time_eq("abcd", 4, "abc", 3), 0);
  EXPECT_EQ(const_time_eq("", 0, "", 0), 1);
}

// The file digests cross their 64 KiB and 256 KiB piece boundaries; empty and missing files.
TEST_P(BothPaths, FileDigestsMatchMemoryDigests) {
  std::string data = pattern(262144 + 65536 + 11);
  std::string path = temp_file("data", data);
  char md5[33], sha[65];
  ASSERT_EQ(md5_file(path.c_str(), md5), 0);
  ASSERT_EQ(sha256_file(path.c_str(), sha), 0);
  EXPECT_EQ(std::string(md5), md5s(data));
  EXPECT_EQ(std::string(sha), sha256s(data));

  std::string empty = temp_file("empty", "");
  ASSERT_EQ(md5_file(empty.c_str(), md5), 0);
  ASSERT_EQ(sha256_file(empty.c_str(), sha), 0);
  EXPECT_STREQ(md5, "d41d8cd98f00b204e9800998ecf8427e");
  EXPECT_STREQ(sha, "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");

  snprintf(md5, sizeof md5, "untouched");
  std::string missing = path + ".missing";
  EXPECT_EQ(md5_file(missing.c_str(), md5), -1);
  EXPECT_STREQ(md5, "untouched");
  EXPECT_EQ(sha256_file(missing.c_str(), sha), -1);

  plat_err err;
  plat_unlink(path.c_str(), &err);
  plat_unlink(empty.c_str(), &err);
}

namespace {

// The CRC of a multipart object from its parts' CRCs, combined without the data, equals the CRC
// of the whole object, for layouts with empty and one-byte parts and parts across the hardware
// paths' block sizes.
TEST(CrcCombine, PartsGiveTheWholeObjectsCrc) {
  const std::vector<std::vector<size_t>> layouts = {
      {0}, {1}, {0, 0}, {1, 0, 1}, {0, 1}, {3, 5, 7}, {64, 1, 4096}, {65536, 0, 100000, 1}};
  std::mt19937 rng(7);
  for (const auto &sizes : layouts) {
    std::string data;
    for (size_t s : sizes)
      for (size_t i = 0; i < s; i++) data += char(rng() & 0xFF);
    struct Crc {
      int algo;
      uint64_t (*run)(const unsigned char *, size_t);
    } crcs[] = {
        {CK_CRC32, [](const unsigned char *p, size_t n) -> uint64_t { return crc32_update(0, p, n); }},
        {CK_CRC32C, [](const unsigned char *p, size_t n) -> uint64_t { return crc32c_update(0, p, n); }},
        {CK_CRC64NVME, [](const unsigned char *p, size_t n) -> uint64_t { return crc64nvme_update(0, p, n); }},
    };
    for (const Crc &c : crcs) {
      SCOPED_TRACE(std::to_string(c.algo) + " over " + std::to_string(sizes.size()) + " parts");
      const unsigned char *p = reinterpret_cast<const unsigned char *>(data.data());
      uint64_t combined = 0;
      size_t at = 0;
      for (size_t i = 0; i < sizes.size(); i++) {
        uint64_t part = c.run(p + at, sizes[i]);
        combined = i == 0 ? part : ck_crc_combine(c.algo, combined, part, sizes[i]);
        at += sizes[i];
      }
      EXPECT_EQ(c.run(p, data.size()), combined);
    }
  }
}

TEST(Base64, EncodesEveryTailLengthAndRefusesShortRoom) {
  struct Case {
    const char *in;
    const char *out;
  } cases[] = {{"", ""}, {"f", "Zg=="}, {"fo", "Zm8="}, {"foo", "Zm9v"}, {"foob", "Zm9vYg=="}};
  for (const Case &c : cases) {
    char out[16];
    EXPECT_EQ(strlen(c.out), base64_encode(c.in, strlen(c.in), out, sizeof out));
    EXPECT_STREQ(c.out, out);
  }
  char small[4];
  EXPECT_EQ(0u, base64_encode("f", 1, small, sizeof small));
  EXPECT_STREQ("", small);
}

}  // namespace
