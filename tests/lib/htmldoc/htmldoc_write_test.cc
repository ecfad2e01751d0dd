#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "buffers/buffer.h"
#include "htmldoc/htmldoc.h"

namespace kt {
namespace {

using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;

TEST(HtmldocWriteTest, Response) {
  htmldoc doc;
  doc.set_status_line("HTTP/1.0", 200, "OK");
  htmldoc_add_option(doc.headers(), "A", "1");
  htmldoc_add_option(doc.headers(), "B", "2");
  ASSERT_EQ(doc.body_append("x", 1), 0);
  buffer out;
  ASSERT_EQ(doc.unwrap(out, false), 0);
  EXPECT_EQ(out.view(), "HTTP/1.0 200 OK\r\nA: 1\r\nB: 2\r\n\r\nx");
}

TEST(HtmldocWriteTest, AppendsToExistingContents) {
  htmldoc doc;
  doc.set_status_line("HTTP/1.0", 302, "OK");
  htmldoc_add_option(doc.headers(), "Location", "/index.html");
  buffer out;
  ASSERT_TRUE(out.append("prefix|"));
  ASSERT_EQ(doc.unwrap(out, false), 0);
  EXPECT_EQ(out.view(), "prefix|HTTP/1.0 302 OK\r\nLocation: /index.html\r\n\r\n");
}

TEST(HtmldocWriteTest, RequestFormAndParsedOrder) {
  htmldoc doc;
  ASSERT_EQ(doc.wrap("GET /a?q=1 HTTP/1.1\r\nFirst: 1\r\nSecond: 2\r\n\r\n"), 0);
  buffer out;
  ASSERT_EQ(doc.unwrap(out, true), 0);
  // Parsed headers are listed newest first.
  EXPECT_EQ(out.view(), "GET /a HTTP/1.1\r\nSecond: 2\r\nFirst: 1\r\n\r\n");
}

TEST(HtmldocWriteTest, LongLinesAreWrittenWhole) {
  htmldoc doc;
  doc.set_status_line("HTTP/1.0", 200, "OK");
  const std::string value(5000, 'v');
  htmldoc_add_option(doc.headers(), "Long", value);
  buffer out;
  ASSERT_EQ(doc.unwrap(out, false), 0);
  EXPECT_EQ(out.view(), "HTTP/1.0 200 OK\r\nLong: " + value + "\r\n\r\n");
}

TEST(HtmldocWriteTest, StatusLineTokensAreBounded) {
  htmldoc doc;
  doc.set_status_line(std::string(40, 'p'), 200, std::string(40, 'r'));
  EXPECT_EQ(doc.method().size(), kHtmldocMaxToken);
  EXPECT_EQ(doc.proto().size(), kHtmldocMaxToken);
}

TEST(HtmldocBodyAppendTest, Appends) {
  htmldoc doc;
  EXPECT_EQ(doc.body_append_str("<a>"), 0);
  EXPECT_EQ(doc.body_append_arg("<b n=\"%d\"/>", 7), 0);
  EXPECT_EQ(doc.body_append(std::string_view("\0z", 2)), 0);
  EXPECT_EQ(doc.body(), std::string_view("<a><b n=\"7\"/>\0z", 15));
  EXPECT_EQ(doc.body().data()[doc.body_length()], '\0');

  CaptureStderr();
  EXPECT_EQ(doc.body_append_str(nullptr), -1);
  EXPECT_EQ(GetCapturedStderr(), "htmldoc_body_append_str: append null data\n");
  EXPECT_EQ(doc.body_length(), 15u);
}

TEST(HtmldocBodyAppendTest, FormattedAppendIsTruncated) {
  htmldoc doc;
  const std::string big(3000, 'a');
  EXPECT_EQ(doc.body_append_arg("%s", big.c_str()), 0);
  EXPECT_EQ(doc.body_length(), kHtmldocArgBuffer - 1);
}

TEST(HtmldocOptionTest, AddGetAndQuery) {
  htmldoc_option_list list;
  htmldoc_option& first = htmldoc_add_option(list, "n", "1");
  htmldoc_add_option(list, "n", "2");
  htmldoc_add_option(list, "m", "3");
  EXPECT_EQ(&first, &list.front());
  EXPECT_EQ(htmldoc_get_option(list, "n"), &first);
  EXPECT_EQ(*htmldoc_getvalue_option(list, "m"), "3");
  EXPECT_EQ(htmldoc_get_option(list, "N"), nullptr);
  EXPECT_EQ(htmldoc_getvalue_option(list, "missing"), nullptr);
  EXPECT_EQ(htmldoc_params_to_qry(list), "n=1&n=2&m=3");

  char small[6];
  std::memset(small, 'X', sizeof(small));
  EXPECT_EQ(htmldoc_params_to_qry(list, small, sizeof(small)), 5u);
  EXPECT_STREQ(small, "n=1&n");

  char empty[4] = {'X', 'X', 'X', 'X'};
  EXPECT_EQ(htmldoc_params_to_qry(htmldoc_option_list(), empty, sizeof(empty)), 0u);
  EXPECT_EQ(std::memcmp(empty, "\0\0\0\0", 4), 0);
  EXPECT_EQ(htmldoc_params_to_qry(list, empty, 0), 0u);
}

TEST(HtmldocOptionTest, Create) {
  std::unique_ptr<htmldoc> doc = htmldoc::create();
  ASSERT_NE(doc, nullptr);
  EXPECT_EQ(doc->wrap("GET / HTTP/1.0\r\n\r\n"), 0);
}

}  // namespace
}  // namespace kt
