#include <gtest/gtest.h>

#include <string>
#include <string_view>

#include "xmldoc/xmldoc.h"

namespace kt {
namespace {

int parse_code(std::string_view text) {
  xmldoc doc;
  return doc.parse(text);
}

TEST(XmldocParse, ElementWithAttributeAndNoValue) {
  xmldoc doc;
  ASSERT_EQ(doc.parse("<orvane><a x='1'/></orvane>"), 0);
  ASSERT_NE(doc.root(), nullptr);
  EXPECT_EQ(doc.root()->name(), "orvane");
  EXPECT_EQ(doc.root()->parent(), nullptr);
  ASSERT_EQ(doc.root()->child_count(), 1u);
  const xmldoc_node* a = doc.root()->get("a");
  ASSERT_NE(a, nullptr);
  EXPECT_EQ(a->parent(), doc.root());
  EXPECT_EQ(a->attr_get_value("x"), "1");
  EXPECT_FALSE(a->has_value());
  EXPECT_EQ(doc.declaration(), nullptr);
}

TEST(XmldocParse, TextKeptAndMixedContentDropped) {
  xmldoc doc;
  ASSERT_EQ(doc.parse("<a>\n  <b/>\n</a>"), 0);
  EXPECT_EQ(doc.root()->value(), "\n  ");
  ASSERT_EQ(doc.root()->child_count(), 1u);
  EXPECT_EQ(doc.root()->first_child()->name(), "b");

  xmldoc mixed;
  ASSERT_EQ(mixed.parse("<a>x<b/>y</a>"), 0);
  EXPECT_EQ(mixed.root()->value(), "x");
  ASSERT_EQ(mixed.root()->child_count(), 1u);
}

TEST(XmldocParse, EmptyAndAbsentText) {
  EXPECT_EQ(parse_code(""), 0);
  xmldoc doc;
  EXPECT_EQ(doc.parse(static_cast<const char*>(nullptr)), 0);
  EXPECT_EQ(doc.root(), nullptr);
  EXPECT_EQ(parse_code("   \r\n"), -1);  // white space but no tag
}

TEST(XmldocParse, TextDecoding) {
  struct tc {
    const char* in;
    const char* value;
  } cases[] = {
      {"<a>Tom &amp; Jerry</a>", "Tom & Jerry"},
      {"<a>a & b;</a>", "a & b;"},
      {"<a>&#65;&#x42;</a>", "AB"},
      {"<a>x&#0;y</a>", "x"},
      {"<a>x&#256;y</a>", "x"},  // low 8 bits are 0
      {"<a>x&#zz;y</a>", "x"},   // digits don't parse
      {"<a>x&#X41;y</a>", "x"},  // upper-case X is not hexadecimal
      {"<a>&#321;</a>", "A"},    // 321 & 0xff = 65
      {"<a>&#x4a;&#x4A;</a>", "JJ"},
      {"<a>&#65abc;</a>", "A"},  // leading digits only
      {"<a>&amp;lt;</a>", "&lt;"},
      {"<a>&lt;&gt;&quot;&apos;</a>", "<>\"'"},
      {"<a>&nbsp;&;</a>", "&nbsp;&;"},
      {"<a>&abcdefghij;</a>", "&abcdefghij;"},  // 10 bytes between: allowed, unknown
  };
  for (const tc& c : cases) {
    xmldoc doc;
    ASSERT_EQ(doc.parse(c.in), 0) << c.in;
    EXPECT_EQ(doc.root()->value(), c.value) << c.in;
    EXPECT_EQ(doc.root()->value().find('\0'), std::string::npos) << c.in;
  }
  EXPECT_EQ(parse_code("<a>Tom & Jerry</a>"), -30);
  EXPECT_EQ(parse_code("<a>&abcdefghijk;</a>"), -30);  // 11 bytes between
  EXPECT_EQ(parse_code("<a>x&</a>"), -30);
}

TEST(XmldocParse, AttributeNormalisationAndDecoding) {
  xmldoc doc;
  ASSERT_EQ(doc.parse("<a v=' a \t b\r\n c ' w=\"  \" x='\r\r\n' y='a&amp;b&lt;&quot;'/>"), 0);
  const xmldoc_node* a = doc.root();
  EXPECT_EQ(a->attr_get_value("v"), "a b c");
  EXPECT_EQ(a->attr_get_value("w"), "");
  EXPECT_EQ(a->attr_get_value("x"), "");
  EXPECT_EQ(a->attr_get_value("y"), "a&b<\"");

  // Decoding runs after normalisation, so encoded white space survives.
  xmldoc enc;
  ASSERT_EQ(enc.parse("<a v='&#32;x&#10;y'/>"), 0);
  EXPECT_EQ(enc.root()->attr_get_value("v"), " x\ny");
  xmldoc cut;
  ASSERT_EQ(cut.parse("<a v='ab&#0;cd'/>"), 0);
  EXPECT_EQ(cut.root()->attr_get_value("v"), "ab");

  EXPECT_EQ(parse_code("<a v='a & b'/>"), -30);
  EXPECT_EQ(parse_code("<a v='a&b'/>"), -30);
}

TEST(XmldocParse, AttributeLookupAndDuplicates) {
  xmldoc doc;
  ASSERT_EQ(doc.parse("<a x='1' e='' x='2' q=\"it's\"/>"), 0);
  const xmldoc_node* a = doc.root();
  ASSERT_EQ(a->attrs().size(), 4u);
  EXPECT_EQ(a->attr_get_value("x"), "1");
  ASSERT_NE(a->attr_get("e"), nullptr);  // present, empty
  EXPECT_EQ(a->attr_get("e")->value, "");
  EXPECT_EQ(a->attr_get("missing"), nullptr);
  EXPECT_EQ(a->attr_get_value("missing"), "");
  EXPECT_EQ(a->attr_get_value("q"), "it's");
  EXPECT_EQ(a->attrs()[2].value, "2");
}

TEST(XmldocParse, TagShapes) {
  EXPECT_EQ(parse_code("<a></b>"), -4);
  EXPECT_EQ(parse_code("</a>"), -1);
  {
    xmldoc doc;
    ASSERT_EQ(doc.parse("<a>"), 0);
    EXPECT_EQ(doc.root()->name(), "a");
    EXPECT_FALSE(doc.root()->has_value());
  }
  EXPECT_EQ(parse_code("<a>\n"), -19);
  {
    xmldoc doc;
    ASSERT_EQ(doc.parse("<a><b/>"), 0);
    EXPECT_EQ(doc.root()->name(), "a");
    EXPECT_NE(doc.root()->get("b"), nullptr);
  }
  EXPECT_EQ(parse_code("<a\nx='1'/>"), -11);
  {
    xmldoc doc;
    ASSERT_EQ(doc.parse("<a x = '1'/>"), 0);
    EXPECT_EQ(doc.root()->attr_get_value("x"), "1");
  }
  {
    xmldoc doc;
    ASSERT_EQ(doc.parse("<a/><b/>"), 0);
    EXPECT_EQ(doc.root()->name(), "a");
    EXPECT_EQ(doc.root()->child_count(), 0u);
  }
  {
    // The dropped second element may have children of its own.
    xmldoc doc;
    ASSERT_EQ(doc.parse("<a/>\n<b><c><d/></c></b>\n<e>t</e>"), 0);
    EXPECT_EQ(doc.root()->name(), "a");
  }
  EXPECT_NE(parse_code("<!-- c --><a/>"), 0);
  EXPECT_EQ(parse_code("<!DOCTYPE a><a/>"), -11);
  EXPECT_NE(parse_code("<a><![CDATA[x]]></a>"), 0);
  {
    xmldoc doc;  // leading junk before the first tag is skipped
    ASSERT_EQ(doc.parse("junk <a/>  \r\n\t"), 0);
    EXPECT_EQ(doc.root()->name(), "a");
  }
  {
    xmldoc doc;  // end-tag names are compared with everything up to '>'
    EXPECT_EQ(doc.parse("<a></a >"), -4);
  }
  {
    xmldoc doc;  // a TAB does not end a name
    ASSERT_EQ(doc.parse("<a\tb c\t='1'/>"), 0);
    EXPECT_EQ(doc.root()->name(), "a\tb");
    EXPECT_EQ(doc.root()->attr_get_value("c\t"), "1");
  }
}

TEST(XmldocParse, Declaration) {
  xmldoc doc;
  ASSERT_EQ(doc.parse("<?xml version=\"1.0\" encoding='UTF-8'?>\r\n<orvane/>"), 0);
  ASSERT_NE(doc.declaration(), nullptr);
  EXPECT_EQ(doc.declaration()->name(), "?xml");
  EXPECT_EQ(doc.declaration()->attr_get_value("version"), "1.0");
  EXPECT_EQ(doc.declaration()->attr_get_value("encoding"), "UTF-8");
  EXPECT_EQ(doc.root()->name(), "orvane");

  xmldoc bare;
  ASSERT_EQ(bare.parse("<?xml?><a/>"), 0);
  EXPECT_EQ(bare.declaration()->name(), "?xml?");
  EXPECT_EQ(bare.root()->name(), "a");

  // Any tag whose '>' follows '?' is the declaration, wherever it stands.
  xmldoc inner;
  ASSERT_EQ(inner.parse("<a><x?></a>"), 0);
  EXPECT_EQ(inner.root()->child_count(), 0u);
  ASSERT_NE(inner.declaration(), nullptr);
  EXPECT_EQ(inner.declaration()->parent(), nullptr);
}

TEST(XmldocParse, EveryResultCode) {
  struct tc {
    const char* in;
    int code;
  } cases[] = {
      {"x", -1},
      {"<a/><", -1},
      {"<a/>x", -1},
      {"</a>", -1},
      {"<a></a", -2},
      {"<a></>", -3},
      {"<a></b>", -4},
      {"<>", -5},
      {"< a>", -6},
      {"<=a>", -6},
      {"<abc", -7},
      {"<a ", -8},
      {"<a \r\n\t", -8},
      {"<a b", -9},
      {"<a b ", -10},
      {"<a b>", -11},
      {"<a b\t", -9},  // TAB does not end a name
      {"<a b=", -12},
      {"<a b= \n", -12},
      {"<a b=1>", -13},
      {"<a b='", -14},
      {"<a b='1>", -15},
      {"<a b=\"1'>", -15},
      {"<a b='1'", -16},
      {"<a b='1' ", -16},
      {"<?xml v='1'?><a b='1'?>", -17},
      {"<a/", -18},
      {"<a b='1'/", -18},
      {"<a>x", -19},
      {"<?xml?><?xml?>", -20},
      {"<a>&x</a>", -30},
  };
  for (const tc& c : cases) EXPECT_EQ(parse_code(c.in), c.code) << c.in;
}

TEST(XmldocParse, NameLengthLimit) {
  const std::string ok(kXmldocMaxName, 'n');
  const std::string over(kXmldocMaxName + 1, 'n');

  xmldoc doc;
  ASSERT_EQ(doc.parse("<" + ok + " " + ok + "='v'>t</" + ok + ">"), 0);
  EXPECT_EQ(doc.root()->name(), ok);
  EXPECT_EQ(doc.root()->attr_get_value(ok), "v");

  EXPECT_EQ(parse_code("<" + over + "/>"), -21);
  EXPECT_EQ(parse_code("<" + over + ">"), -21);
  EXPECT_EQ(parse_code("<a " + over + "='v'/>"), -21);
  EXPECT_EQ(parse_code("<a></" + over + ">"), -21);
  EXPECT_EQ(parse_code("<a></" + std::string(100000, 'x') + ">"), -21);
}

TEST(XmldocParse, TextEndsAtZeroByte) {
  const std::string text("<a>x</a>\0<b", 11);
  xmldoc doc;
  ASSERT_EQ(doc.parse(text), 0);
  EXPECT_EQ(doc.root()->value(), "x");
  EXPECT_EQ(parse_code(std::string_view("<a\0b/>", 6)), -7);
  EXPECT_EQ(parse_code(std::string_view("\0<a>", 4)), 0);
}

TEST(XmldocParse, FailureKeepsPartialTree) {
  xmldoc doc;
  EXPECT_EQ(doc.parse("<a><b x='1'/><c y='"), -14);
  ASSERT_NE(doc.root(), nullptr);
  EXPECT_NE(doc.root()->get("b"), nullptr);
  EXPECT_EQ(doc.root()->get("c"), nullptr);  // unattached element is freed
}

}  // namespace
}  // namespace kt
