// The shape check of XML request bodies: whole documents pass, and every way a body can be cut
// or garbled in transit or by a careless client is caught before an operation acts on it.
#include <gtest/gtest.h>

#include <string>

#include "body/xml_body.h"

namespace {

TEST(XmlWellFormed, WholeDocumentsOnly) {
  const std::string deep_ok = std::string("<Delete>") + [] {
    std::string open, close;
    for (size_t i = 1; i < S3_XML_DEPTH_MAX; i++) open += "<a>", close = "</a>" + close;
    return open + close;
  }() + "</Delete>";
  const std::string too_deep = std::string("<Delete>") + [] {
    std::string open, close;
    for (size_t i = 0; i < S3_XML_DEPTH_MAX; i++) open += "<a>", close = "</a>" + close;
    return open + close;
  }() + "</Delete>";
  struct Case {
    const char *name;
    std::string text;
    int ok;
  } cases[] = {
      {"plain", "<Delete><Object><Key>a</Key></Object></Delete>", 1},
      {"declaration_blanks_comment",
       "\xEF\xBB\xBF<?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\n<!-- c -->\n<Delete xmlns=\"http://x/\">\n"
       "  <Quiet>true</Quiet>\n  <Object><Key>a&amp;b</Key><VersionId/></Object>\n</Delete>\n<!-- end -->",
       1},
      {"prefixed_root", "<s3:Delete xmlns:s3=\"u\"><Object><Key>a</Key></Object></s3:Delete>", 1},
      {"quoted_gt_in_attribute", "<Delete a='x>y' b=\"<\"><Object><Key>k</Key></Object></Delete>", 0},
      {"quoted_gt_only", "<Delete a='x>y'><Object><Key>k</Key></Object></Delete>", 1},
      {"cdata", "<Delete><Object><Key><![CDATA[a</Key>]]></Key></Object></Delete>", 1},
      {"nesting_at_the_limit", deep_ok, 1},
      {"nesting_over_the_limit", too_deep, 0},
      {"empty", "", 0},
      {"blanks_only", "  \n", 0},
      {"cut_in_a_tag", "<Delete><Object><Key>a</Key></Obj", 0},
      {"cut_after_an_element", "<Delete><Object><Key>a</Key></Object>", 0},
      {"mismatched_close", "<Delete><Object><Key>a</Object></Key></Delete>", 0},
      {"stray_close", "<Delete></Object></Delete>", 0},
      {"other_root", "<Remove><Object><Key>a</Key></Object></Remove>", 0},
      {"root_name_as_suffix", "<XDelete></XDelete>", 0},
      {"second_root", "<Delete></Delete><Delete></Delete>", 0},
      {"text_before_root", "x<Delete></Delete>", 0},
      {"text_after_root", "<Delete></Delete>x", 0},
      {"doctype", "<!DOCTYPE d [<!ENTITY e \"x\">]><Delete></Delete>", 0},
      {"cdata_outside_root", "<![CDATA[x]]><Delete></Delete>", 0},
      {"unclosed_comment", "<Delete></Delete><!-- x", 0},
      {"nul_in_key", std::string("<Delete><Object><Key>a\0b</Key></Object></Delete>", 47), 0},
      {"control_character", "<Delete><Object><Key>a\x01</Key></Object></Delete>", 0},
      {"lone_lt_in_text", "<Delete><Object><Key>a < b</Key></Object></Delete>", 0},
      {"empty_tag_name", "<Delete><></></Delete>", 0},
      {"self_closing_root", "<Delete/>", 1},
  };
  for (const Case &c : cases)
    EXPECT_EQ(c.ok, xml_well_formed(c.text.data(), c.text.size(), "Delete")) << c.name;
}

}  // namespace
