// The one XML element reader and the rules each of its readers keeps on top of it: the
// multipart part list's tag lookup, the DeleteObjects keys and Quiet flag, the CORS document's
// children and values, and the markup the body shape check skips.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "base/text.h"
#include "body/xml_body.h"
#include "http/response.h"
#include "ops/cors.h"
#include "ops/ops.h"

namespace {

std::string found(const char *text, const char *name, unsigned flags) {
  size_t pos = 0;
  xml_element e;
  if (xml_find_element(text, strlen(text), &pos, name, flags, &e) != 1) return "(none)";
  return std::string(e.text, e.text_len);
}

// A named element: the part list's lookup wants its closing tag at the next '<'; the
// DeleteObjects reader takes everything up to the first closing tag, so a Quiet holding "true"
// and a CDATA section after it still reads as quiet there.
TEST(XmlReader, FindElementCloseRules) {
  struct row {
    const char *text;
    const char *name;
    const char *next_tag;  // XML_CLOSE_NEXT_TAG (xml_get_tag)
    const char *first;     // first closing tag (DeleteObjects)
  } rows[] = {
      {"<Quiet>true</Quiet>", "Quiet", "true", "true"},
      {"<Quiet>true<![CDATA[x]]></Quiet>", "Quiet", "(none)", "true<![CDATA[x]]>"},
      {"<Key>a<b/></Key>", "Key", "(none)", "a<b/>"},
      {"<Key>a</Key ></Key>", "Key", "(none)", "a</Key >"},
      {"<Key>a", "Key", "(none)", "(none)"},
      {"<Key attr=\"1\">a</Key>", "Key", "(none)", "(none)"},  // "<Key>" exactly
      {"<s3:Key>a</s3:Key>", "Key", "(none)", "(none)"},
      {"<Keys><Key></Key>", "Key", "", ""},
      {"<!-- <Key>x</Key> -->", "Key", "x", "x"},  // no markup is skipped in the search
      {"<PartNumber> 7 </PartNumber>", "PartNumber", " 7 ", " 7 "},  // not trimmed
      {"<>x</>", "", "x", "x"},
  };
  for (const row &r : rows) {
    EXPECT_EQ(found(r.text, r.name, XML_CLOSE_NEXT_TAG), r.next_tag) << r.text;
    EXPECT_EQ(found(r.text, r.name, 0), r.first) << r.text;
    owned_str tag(xml_get_tag(r.text, strlen(r.text), r.name));
    EXPECT_EQ(tag.get() ? std::string(tag.get()) : std::string("(none)"), r.next_tag) << r.text;
  }
  // The search resumes past the closing tag and never reads beyond len.
  const char doc[] = "<Key>a</Key><Key>b</Key><Key>c</Key>";
  size_t pos = 0;
  xml_element e;
  ASSERT_EQ(xml_find_element(doc, sizeof doc - 1, &pos, "Key", 0, &e), 1);
  EXPECT_EQ(pos, 12u);
  ASSERT_EQ(xml_find_element(doc, sizeof doc - 1, &pos, "Key", 0, &e), 1);
  EXPECT_EQ(std::string(e.text, e.text_len), "b");
  EXPECT_EQ(xml_find_element(doc, sizeof doc - 2, &pos, "Key", 0, &e), 0);
  EXPECT_EQ(pos, 24u);
  EXPECT_EQ(xml_find_element(doc, 0, &pos, "Key", 0, &e), 0);
  EXPECT_EQ(xml_find_element(doc, sizeof doc - 1, &pos, std::string(128, 'K').c_str(), 0, &e), 0);
  EXPECT_EQ(xml_get_tag(nullptr, 5, "Key"), nullptr);
}

// DeleteObjects keys: the first closing tag ends the key, numeric references are decoded and
// unknown ones kept, a key longer than a key can be ends the list.
TEST(XmlReader, DeleteKeys) {
  struct row {
    std::string body;
    const char *keys;  // the keys read, each followed by '|'
  } rows[] = {
      {"<Delete><Object><Key>a&amp;b</Key></Object><Object><Key>&#x41;&bogus;</Key></Object>"
       "</Delete>",
       "a&b|A&bogus;|"},
      {"<Key>x<![CDATA[y]]></Key>", "x<![CDATA[y]]>|"},
      {"<Key> sp </Key><Key></Key>", " sp ||"},
      {"<Key>" + std::string(S3_KEY_MAX, 'k') + "</Key>", nullptr},  // fits: one key
      {"<Key>" + std::string(S3_KEY_MAX + 1, 'k') + "</Key><Key>after</Key>", ""},
      {"<Key>open", ""},
  };
  for (const row &r : rows) {
    std::string got;
    size_t pos = 0;
    char key[S3_KEY_FIELD];
    while (delete_body_next_key(r.body.data(), r.body.size(), &pos, key) == 1) got += key, got += '|';
    std::string want = r.keys ? r.keys : std::string(S3_KEY_MAX, 'k') + "|";
    EXPECT_EQ(got, want) << r.body.substr(0, 60);
  }
}

std::string children(const char *text) {
  std::string out;
  size_t pos = 0;
  xml_element e;
  int rc;
  while ((rc = xml_next_child(text, strlen(text), &pos, &e)) == 1)
    out += std::string(e.name, e.name_len) + "=" + std::string(e.text, e.text_len) + "|";
  return rc < 0 ? out + "(malformed)" : out;
}

// The children of a CORS document: attributes and self-closing elements, blanks before a
// closing tag's '>', declarations and comments between them (ended from their first byte),
// nothing else.
TEST(XmlReader, Children) {
  struct row {
    const char *text;
    const char *want;
  } rows[] = {
      {" <A>1</A>\n<B x=\"y\">2</B >", "A=1|B=2|"},
      {"<?xml version=\"1.0\"?><!-- c --><A/><B x='1'/>", "A=|B=|"},
      {"<?><A>1</A>", "A=1|"},   // "?>" overlaps "<?"
      {"<!-->x<A>1</A>", "(malformed)"},  // "-->" overlaps "<!--"; then text
      {"<!-->", ""},
      {"<A><B>1</B></A>", "A=<B>1</B>|"},
      {"<A><A>1</A></A>", "A=<A>1|(malformed)"},  // an element never nests in its own name
      {"<A>1</A>x", "A=1|(malformed)"},
      {"<A>1", "(malformed)"},
      {"<A", "(malformed)"},
      {"< A>1</A>", "(malformed)"},
      {"<![CDATA[x]]>", "(malformed)"},  // a CDATA section is no child
      {"<!-- open", "(malformed)"},
      {"", ""},
  };
  for (const row &r : rows) EXPECT_EQ(children(r.text), r.want) << r.text;
}

// Element text: a CORS value is trimmed and refuses markup, control characters and unknown
// references; a DeleteObjects key is taken as it stands, numeric references decoded.
TEST(XmlReader, ElementText) {
  const unsigned cors = XML_TRIM | XML_TEXT_ONLY | XML_STRICT, key = XML_NUMERIC;
  struct row {
    const char *text;
    const char *as_cors;  // null: refused
    const char *as_key;
  } rows[] = {
      {" \t\r\nGET \n", "GET", " \t\r\nGET \n"},
      {"a&amp;b", "a&b", "a&b"},
      {"&#65;", nullptr, "A"},
      {"AT&T", nullptr, "AT&T"},
      {"a<b", nullptr, "a<b"},
      {"<![CDATA[x]]>", nullptr, "<![CDATA[x]]>"},
      {"a\tb", nullptr, "a\tb"},
      {"a\x7f", nullptr, "a\x7f"},
      {"", "", ""},
  };
  for (const row &r : rows) {
    xml_element e{"x", 1, r.text, strlen(r.text)};
    char out[64];
    long n = xml_element_text(&e, out, sizeof out, cors);
    if (r.as_cors) {
      EXPECT_EQ(n, (long)strlen(r.as_cors)) << r.text;
      EXPECT_STREQ(out, r.as_cors) << r.text;
    } else {
      EXPECT_EQ(n, -1) << r.text;
    }
    ASSERT_EQ(xml_element_text(&e, out, sizeof out, key), (long)strlen(r.as_key)) << r.text;
    EXPECT_STREQ(out, r.as_key) << r.text;
  }
  xml_element e{"x", 1, "abcd", 4};
  char out[4];
  EXPECT_EQ(xml_element_text(&e, out, sizeof out, 0), -1);  // never cut
  EXPECT_TRUE(xml_name_is(&e, "x"));
  EXPECT_FALSE(xml_name_is(&e, "xy"));
}

// Markup skipped between elements: the shape check searches each terminator after its opener
// and skips CDATA inside the root only; the CORS reader searches from the first byte.
TEST(XmlReader, SkipMarkup) {
  struct row {
    const char *text;
    unsigned flags;
    int rc;
    size_t end;
  } rows[] = {
      {"<?xml?>rest", 0, 1, 7},
      {"<!-- a -->rest", 0, 1, 10},
      {"<?>", 0, -1, 0},
      {"<?>", XML_END_FROM_OPEN, 1, 3},
      {"<!-->", 0, -1, 0},
      {"<!-->", XML_END_FROM_OPEN, 1, 5},
      {"<![CDATA[<a>]]>", 0, 0, 0},
      {"<![CDATA[<a>]]>", XML_CDATA, 1, 15},
      {"<![CDATA[<a>]", XML_CDATA, -1, 0},
      {"<!DOCTYPE a>", XML_CDATA, 0, 0},
      {"<a>", 0, 0, 0},
      {"<", 0, 0, 0},
      {"", XML_CDATA, 0, 0},
  };
  for (const row &r : rows) {
    size_t pos = 0;
    EXPECT_EQ(xml_skip_markup(r.text, strlen(r.text), &pos, r.flags), r.rc) << r.text;
    EXPECT_EQ(pos, r.end) << r.text;
  }
  // What each caller makes of "<?>" before its document.
  EXPECT_EQ(xml_well_formed("<?><Delete/>", 12, "Delete"), 0);
  EXPECT_EQ(xml_well_formed("<?x?><Delete><![CDATA[</Delete>]]></Delete>", 43, "Delete"), 1);
  const char cors[] =
      "<?><CORSConfiguration><CORSRule><AllowedMethod>GET</AllowedMethod>"
      "<AllowedOrigin>*</AllowedOrigin></CORSRule></CORSConfiguration>";
  dynbuf_guard out;
  EXPECT_EQ(cors_normalize(cors, sizeof cors - 1, &out.b), 0);
}

}  // namespace
