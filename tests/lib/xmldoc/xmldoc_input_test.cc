// Hostile and large inputs: the malformed corpus, deep nesting, files.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "buffers/buffer.h"
#include "xmldoc/xmldoc.h"

namespace kt {
namespace {

namespace fs = std::filesystem;

constexpr int kDepth = 200000;

std::string read_file(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Whatever a parse left behind must save and parse back.
void expect_saved_tree_parses(const xmldoc& doc, const std::string& what) {
  if (doc.root() == nullptr) return;
  buffer out;
  ASSERT_EQ(doc.save(doc.root(), out), 0) << what;
  xmldoc again;
  EXPECT_EQ(again.parse(out.view()), 0) << what;
}

// Files are named "failNN_*.xml" (parse returns -NN) or "pass_*.xml" (returns 0); any other
// file only has to be survived.
TEST(XmldocInput, MalformedCorpus) {
  const fs::path dir = fs::path(ORVANE_TEST_DATA_DIR) / "xml_malformed";
  int checked = 0;
  int failing = 0;
  for (const fs::directory_entry& e : fs::directory_iterator(dir)) {
    if (!e.is_regular_file()) continue;
    const std::string name = e.path().filename().string();
    const std::string text = read_file(e.path());
    xmldoc doc;
    const int rc = doc.parse(text);
    expect_saved_tree_parses(doc, name);
    if (name.rfind("fail", 0) == 0 && name.size() > 6) {
      EXPECT_EQ(rc, -std::atoi(name.substr(4, 2).c_str())) << name;
      ++failing;
    } else if (name.rfind("pass_", 0) == 0) {
      EXPECT_EQ(rc, 0) << name;
    }
    ++checked;
  }
  EXPECT_GE(checked, 30);
  EXPECT_GE(failing * 4, checked * 3);
}

TEST(XmldocInput, DeepNestingParsesSavesAndFrees) {
  std::string text;
  text.reserve(kDepth * 21);
  for (int i = 0; i < kDepth; ++i) text += "<elem id=\"12\">";
  for (int i = 0; i < kDepth; ++i) text += "</elem>";
  ASSERT_GT(text.size(), 4u << 20);

  auto doc = std::make_unique<xmldoc>();
  ASSERT_EQ(doc->parse(text), 0);
  buffer out;
  ASSERT_EQ(doc->save(doc->root(), out), 0);
  EXPECT_EQ(out.view(), text);
  testing::internal::CaptureStdout();
  xmldoc_node_dump(doc->root());
  EXPECT_EQ(testing::internal::GetCapturedStdout().size(), text.size());
  doc.reset();

  // Left open at the end, and failing at the very end: the partial tree is freed too.
  xmldoc open_doc;
  EXPECT_EQ(open_doc.parse(std::string_view(text).substr(0, kDepth * 14)), 0);
  xmldoc failed;
  EXPECT_EQ(failed.parse(text.substr(0, kDepth * 14) + "</x>"), -4);
}

TEST(XmldocInput, DeepHandBuiltTreeFrees) {
  auto top = xmldoc_node::create("top");
  xmldoc_node* cur = top.get();
  for (int i = 0; i < kDepth; ++i) cur = cur->add_child(xmldoc_node::create("n"));
  std::unique_ptr<xmldoc_node> mid = top->remove_child(top->first_child());
  ASSERT_NE(mid, nullptr);
  top.reset();
  mid.reset();
}

TEST(XmldocInput, ParseFile) {
  const fs::path good = fs::path(testing::TempDir()) / "xmldoc_good.xml";
  const fs::path bad = fs::path(testing::TempDir()) / "xmldoc_bad.xml";
  {
    std::ofstream(good) << "<?xml version=\"1.0\"?>\n<cfg>\n<item k='v'/>\n</cfg>\n";
    std::ofstream(bad) << "<cfg>\n<item k='v'/>\n</other>\n";
  }
  std::unique_ptr<xmldoc> doc = xmldoc_parse_file(good.c_str());
  ASSERT_NE(doc, nullptr);
  EXPECT_EQ(doc->root()->name(), "cfg");
  EXPECT_EQ(doc->root()->get("item")->attr_get_value("k"), "v");
  EXPECT_EQ(xmldoc_parse_file(bad.c_str()), nullptr);
  EXPECT_EQ(xmldoc_parse_file("/nonexistent/dir/file.xml"), nullptr);
  fs::remove(good);
  fs::remove(bad);
}

}  // namespace
}  // namespace kt
