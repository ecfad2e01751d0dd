#include <gtest/gtest.h>

#include <string>

#include "buffers/buffer.h"
#include "xmldoc/xmldoc.h"

namespace kt {
namespace {

std::string save_string(const xmldoc& doc) {
  buffer out;
  EXPECT_EQ(doc.save(doc.root(), out), 0);
  return std::string(out.view());
}

// Saves, parses the text back and checks that the second save is identical.
void expect_round_trip(const xmldoc& doc) {
  const std::string first = save_string(doc);
  xmldoc again;
  ASSERT_EQ(again.parse(first), 0) << first;
  EXPECT_EQ(save_string(again), first);
}

TEST(XmldocSave, ResponseDocument) {
  xmldoc doc = xmldoc::create_def("orvane");
  auto res = xmldoc_node::create("res");
  res->attr_addval("code", "0");
  res->attr_addval("msg", "x");
  doc.root()->add_child(std::move(res));
  EXPECT_EQ(save_string(doc),
            "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\n"
            "<orvane><res code=\"0\" msg=\"x\"></res></orvane>");
  EXPECT_EQ(doc.declaration()->name(), "");
}

TEST(XmldocSave, DeclarationOnlyIntoEmptyBuffer) {
  xmldoc doc = xmldoc::create_def("orvane");
  buffer out;
  out.append("HTTP/1.0 200 OK\r\n\r\n");
  ASSERT_EQ(doc.save(doc.root(), out), 0);
  EXPECT_EQ(out.view(), "HTTP/1.0 200 OK\r\n\r\n<orvane></orvane>");

  xmldoc plain;
  ASSERT_EQ(plain.parse("<a><b>t</b></a>"), 0);
  buffer sub;
  ASSERT_EQ(plain.save(plain.root()->get("b"), sub), 0);
  EXPECT_EQ(sub.view(), "<b>t</b>");
  EXPECT_EQ(plain.save(nullptr, sub), -1);
}

TEST(XmldocSave, EscapesTextAndAttributeValues) {
  xmldoc doc = xmldoc::create_def("r");
  doc.root()->set_value("a<b>&c\"d'");
  doc.root()->attr_addval("v", "x<y>&z\"w'");
  EXPECT_EQ(save_string(doc),
            "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\n"
            "<r v=\"x&lt;y>&amp;z&quot;w'\">a&lt;b&gt;&amp;c\"d'</r>");

  xmldoc back;
  ASSERT_EQ(back.parse(save_string(doc)), 0);
  EXPECT_EQ(back.root()->value(), "a<b>&c\"d'");
  EXPECT_EQ(back.root()->attr_get_value("v"), "x<y>&z\"w'");
}

TEST(XmldocSave, ZeroBytesAreLeftOut) {
  // A stored value may hold zero bytes; the text written must still read back whole.
  xmldoc doc = xmldoc::create_def("r");
  doc.root()->set_value(std::string("a\0b\0", 4));
  doc.root()->attr_addval("v", std::string("\0x\0&", 4));
  const std::string text = save_string(doc);
  EXPECT_EQ(text,
            "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\n"
            "<r v=\"x&amp;\">ab</r>");
  xmldoc back;
  ASSERT_EQ(back.parse(text), 0);
  EXPECT_EQ(back.root()->value(), "ab");
  EXPECT_EQ(back.root()->attr_get("v")->value, "x&");
}

TEST(XmldocSave, RoundTrips) {
  const char* docs[] = {
      ("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\n<orvane><authenticate domain=\"d\" "
       "user=\"u\" password=\"p w\"></authenticate><getToken></getToken></orvane>"),
      "<a>\n  <b x=\"1\" x=\"2\" e=\"\">text &amp; more</b><c><d><e></e></d></c></a>",
      "<a b=\"it's\">&lt;tag&gt;</a>",
      "<?xml?>\r\n<a></a>",
  };
  for (const char* text : docs) {
    xmldoc doc;
    ASSERT_EQ(doc.parse(text), 0) << text;
    EXPECT_EQ(save_string(doc), text);
    expect_round_trip(doc);
  }
}

TEST(XmldocSave, NameEndingInQuestionMarkIsNotReadAsDeclaration) {
  xmldoc doc;
  ASSERT_EQ(doc.parse("<r><a? /><? /></r>"), 0);
  ASSERT_EQ(doc.root()->child_count(), 2u);
  EXPECT_EQ(save_string(doc), "<r><a? ></a?><? ></?></r>");
  expect_round_trip(doc);
}

TEST(XmldocSave, EmptyValueAndNoValueWriteAlike) {
  auto a = xmldoc_node::create("a");
  EXPECT_FALSE(a->has_value());
  xmldoc doc;
  doc.set_root(std::move(a));
  const std::string none = save_string(doc);
  doc.root()->set_value("");
  EXPECT_TRUE(doc.root()->has_value());
  EXPECT_EQ(save_string(doc), none);
  EXPECT_EQ(none, "<a></a>");
}

TEST(XmldocNode, ChildrenAndParents) {
  xmldoc doc = xmldoc::create_def("orvane");
  xmldoc_node* root = doc.root();
  xmldoc_node* u1 = doc.node_add(root, xmldoc_node::create("u"));
  u1->set_value("one");
  xmldoc_node* g = root->add_child(xmldoc_node::create("g"));
  xmldoc_node* u2 = root->add_child(xmldoc_node::create("u"));
  u2->set_value("two");
  root->add_child(xmldoc_node::create("empty"));
  EXPECT_EQ(root->add_child(nullptr), nullptr);
  EXPECT_EQ(doc.node_add(nullptr, xmldoc_node::create("x")), nullptr);
  EXPECT_EQ(doc.node_add(root, nullptr), nullptr);

  EXPECT_EQ(root->child_count(), 4u);
  EXPECT_EQ(root->get("u"), u1);
  EXPECT_EQ(root->get("nope"), nullptr);
  ASSERT_NE(root->get_value("u"), nullptr);
  EXPECT_EQ(*root->get_value("u"), "one");
  EXPECT_EQ(root->get_value("empty"), nullptr);
  EXPECT_EQ(root->get_value("nope"), nullptr);
  EXPECT_EQ(u1->parent(), root);

  std::unique_ptr<xmldoc_node> taken = root->remove_child(u1);
  ASSERT_EQ(taken.get(), u1);
  EXPECT_EQ(taken->parent(), nullptr);
  EXPECT_EQ(root->remove_child(u1), nullptr);
  EXPECT_EQ(root->get("u"), u2);
  EXPECT_EQ(root->first_child(), g);
  g->add_child(std::move(taken));
  EXPECT_EQ(u1->parent(), g);
  EXPECT_EQ(save_string(doc),
            "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\n"
            "<orvane><g><u>one</u></g><u>two</u><empty></empty></orvane>");
}

TEST(XmldocNode, Attributes) {
  auto n = xmldoc_node::create("n");
  n->attr_addval("a", "1");
  n->attr_add(xmldoc_attr::create("a", "2"));
  n->attr_addval("e", "");
  EXPECT_EQ(n->attr_get_value("a"), "1");
  ASSERT_NE(n->attr_get("e"), nullptr);
  EXPECT_EQ(n->attr_get_value("e"), "");
  n->attr_get("a")->value = "3";
  EXPECT_EQ(n->attrs()[0].value, "3");
  EXPECT_EQ(n->attrs()[1].value, "2");
}

TEST(XmldocNode, ClearAndDump) {
  xmldoc doc;
  ASSERT_EQ(doc.parse("<?xml a='1'?><r x='&amp;'><c>v</c></r>"), 0);
  testing::internal::CaptureStdout();
  xmldoc_node_dump(doc.root());
  xmldoc_node_dump(nullptr);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "<r x=\"&amp;\"><c>v</c></r>");
  doc.clear();
  EXPECT_EQ(doc.root(), nullptr);
  EXPECT_EQ(doc.declaration(), nullptr);
}

}  // namespace
}  // namespace kt
