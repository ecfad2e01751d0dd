#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <vector>

#include "htmldoc/htmldoc.h"

namespace kt {
namespace {

using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;

constexpr std::string_view kGet = "GET /a?x=1&y=2 HTTP/1.1\r\nHost: example.org\r\n\r\n";

std::vector<std::string> names(const htmldoc_option_list& list) {
  std::vector<std::string> out;
  for (const htmldoc_option& o : list) out.push_back(o.name + "=" + o.value);
  return out;
}

// Parses text in one call with standard error captured; returns the result.
int parse(htmldoc& doc, std::string_view text, std::string* err = nullptr) {
  CaptureStderr();
  const int rc = doc.wrap(text);
  const std::string captured = GetCapturedStderr();
  if (err != nullptr) *err = captured;
  return rc;
}

TEST(HtmldocParseTest, GetWithQueryInOneCall) {
  htmldoc doc;
  ASSERT_EQ(doc.wrap(kGet), 0);
  EXPECT_TRUE(doc.header_complete());
  EXPECT_TRUE(doc.body_complete());
  EXPECT_EQ(doc.method(), "GET");
  EXPECT_EQ(doc.uri(), "/a");
  EXPECT_EQ(doc.proto(), "HTTP/1.1");
  EXPECT_EQ(doc.host(), "example.org");
  EXPECT_TRUE(doc.have_get_params());
  EXPECT_EQ(names(doc.get_params()), (std::vector<std::string>{"y=2", "x=1"}));
  EXPECT_EQ(htmldoc_params_to_qry(doc.get_params()), "y=2&x=1");
  char qry[512];
  EXPECT_EQ(htmldoc_params_to_qry(doc.get_params(), qry, sizeof(qry)), 7u);
  EXPECT_STREQ(qry, "y=2&x=1");
  EXPECT_TRUE(doc.raw().empty());
}

TEST(HtmldocParseTest, ByteAtATime) {
  htmldoc doc;
  for (size_t i = 0; i + 1 < kGet.size(); ++i) {
    ASSERT_EQ(doc.wrap(kGet.substr(i, 1)), 1) << "at byte " << i;
  }
  EXPECT_EQ(doc.wrap(kGet.substr(kGet.size() - 1)), 0);
  EXPECT_EQ(doc.uri(), "/a");
  EXPECT_EQ(names(doc.get_params()), (std::vector<std::string>{"y=2", "x=1"}));
}

TEST(HtmldocParseTest, EmptyCall) {
  htmldoc doc;
  EXPECT_EQ(doc.wrap("", 0), 1);
  EXPECT_TRUE(doc.raw().empty());
  // An empty call reports the state reached so far.
  ASSERT_EQ(doc.wrap(kGet), 0);
  EXPECT_EQ(doc.wrap("", 0), 0);
  htmldoc failed;
  ASSERT_EQ(parse(failed, "\r\n"), -1);
  EXPECT_EQ(failed.wrap("", 0), -1);
}

TEST(HtmldocParseTest, RequestLineLimits) {
  std::string err;
  {
    htmldoc doc;
    const std::string method(32, 'M');
    EXPECT_EQ(parse(doc, method + " / HTTP/1.0\r\n\r\n"), 0);
    EXPECT_EQ(doc.method(), method);
  }
  {
    htmldoc doc;
    EXPECT_EQ(parse(doc, std::string(33, 'M') + " / HTTP/1.0\r\n\r\n", &err), -1);
    EXPECT_NE(err.find("method len to long (33 expect max 32)"), std::string::npos) << err;
    EXPECT_NE(err.find("htmldoc_failed: request:"), std::string::npos) << err;
  }
  {
    htmldoc doc;
    EXPECT_EQ(parse(doc, "GET / " + std::string(33, 'P') + "\r\n\r\n", &err), -1);
    EXPECT_NE(err.find("proto len to long (33 exprect max 32)"), std::string::npos) << err;
  }
  {
    htmldoc doc;
    EXPECT_EQ(parse(doc, "GET\r\n\r\n", &err), -1);
    EXPECT_NE(err.find("search method"), std::string::npos) << err;
  }
  {
    htmldoc doc;
    EXPECT_EQ(parse(doc, " / HTTP/1.0\r\n\r\n", &err), -1);
    EXPECT_NE(err.find("search method"), std::string::npos) << err;
  }
  {
    htmldoc doc;
    EXPECT_EQ(parse(doc, "GET /only-target\r\n\r\n", &err), -1);
    EXPECT_NE(err.find("search url"), std::string::npos) << err;
  }
}

TEST(HtmldocParseTest, LeadingLineBreakFails) {
  for (std::string_view text : {"\r\nGET / HTTP/1.0\r\n\r\n", "\nGET", "\r"}) {
    htmldoc doc;
    EXPECT_EQ(parse(doc, text), -1) << text;
  }
}

TEST(HtmldocParseTest, HeaderLines) {
  std::string err;
  {
    htmldoc doc;
    EXPECT_EQ(parse(doc, "GET / HTTP/1.0\r\nNoColon\r\n\r\n", &err), -1);
    EXPECT_NE(err.find("parse options (can't find : in 'NoColon')"), std::string::npos) << err;
  }
  for (std::string_view line : {"Empty:", "Empty:   "}) {
    htmldoc doc;
    EXPECT_EQ(parse(doc, "GET / HTTP/1.0\r\n" + std::string(line) + "\r\n\r\n", &err), -1);
    EXPECT_NE(err.find("parse options (missing value for"), std::string::npos) << err;
  }
  {
    htmldoc doc;
    ASSERT_EQ(doc.wrap("GET / HTTP/1.0\r\nA:   spaced value \r\nB: 2\nC: 3\r\r\n\r\n"), 0);
    // Reverse order of arrival; any run of CR and LF ends a line.
    EXPECT_EQ(names(doc.headers()), (std::vector<std::string>{"C=3", "B=2", "A=spaced value "}));
    EXPECT_EQ(*htmldoc_getvalue_option(doc.headers(), "A"), "spaced value ");
    EXPECT_TRUE(doc.host().empty());
  }
  {
    // Only the exact name "Host" sets host.
    htmldoc doc;
    ASSERT_EQ(doc.wrap("GET / HTTP/1.0\r\nhost: a\r\nHost: b:8080\r\n\r\n"), 0);
    EXPECT_EQ(doc.host(), "b:8080");
  }
}

TEST(HtmldocParseTest, QueryParameters) {
  std::string err;
  {
    htmldoc doc;
    ASSERT_EQ(doc.wrap("GET /p?&a=%20x&&b=c=d& HTTP/1.0\r\n\r\n"), 0);
    EXPECT_EQ(doc.uri(), "/p");
    // Not decoded; a value may hold '='; empty pieces are skipped.
    EXPECT_EQ(names(doc.get_params()), (std::vector<std::string>{"b=c=d", "a=%20x"}));
  }
  {
    htmldoc doc;
    ASSERT_EQ(doc.wrap("GET /p? HTTP/1.0\r\n\r\n"), 0);
    EXPECT_EQ(doc.uri(), "/p");
    EXPECT_FALSE(doc.have_get_params());
  }
  {
    htmldoc doc;
    EXPECT_EQ(parse(doc, "GET /p?a=1&flag HTTP/1.0\r\n\r\n", &err), -1);
    EXPECT_NE(err.find("parse options get (can't find = in 'flag')"), std::string::npos) << err;
  }
  {
    htmldoc doc;
    EXPECT_EQ(parse(doc, "GET /p?a= HTTP/1.0\r\n\r\n", &err), -1);
    EXPECT_NE(err.find("parse options get (missing value for 'a=')"), std::string::npos) << err;
  }
}

TEST(HtmldocParseTest, ErrorIsFinal) {
  htmldoc doc;
  EXPECT_EQ(parse(doc, "GET / HTTP/1.0\r\nBad\r\n\r\n"), -1);
  EXPECT_TRUE(doc.failed());
  EXPECT_EQ(doc.wrap("X: y\r\n\r\n"), -1);
  EXPECT_EQ(doc.wrap(kGet), -1);
  doc.reset();
  EXPECT_FALSE(doc.failed());
  EXPECT_EQ(doc.wrap(kGet), 0);
  EXPECT_EQ(doc.uri(), "/a");
}

TEST(HtmldocParseTest, ReportShowsOnlyAPrefix) {
  const std::string bad = std::string(60000, 'x');
  for (const std::string& text :
       {"GET / HTTP/1.0\r\n" + bad + "\r\n\r\n", "GET / HTTP/1.0\r\n" + bad + ":\r\n\r\n",
        "GET /?" + bad + " HTTP/1.0\r\n\r\n",
        "GET / HTTP/1.0\r\nContent-Length: " + bad + "\r\n\r\n",
        "GET / HTTP/1.0\r\n" + std::string(200000, 'y')}) {
    htmldoc doc;
    std::string err;
    EXPECT_EQ(parse(doc, text, &err), -1);
    EXPECT_LT(err.size(), 1024u) << err.substr(0, 100);
  }
}
TEST(HtmldocBodyTest, ContentLength) {
  htmldoc doc;
  ASSERT_EQ(doc.wrap("POST /x HTTP/1.0\r\nContent-Length: 5\r\n\r\nabc"), 1);
  EXPECT_TRUE(doc.header_complete());
  EXPECT_FALSE(doc.body_complete());
  EXPECT_EQ(doc.body(), "abc");
  ASSERT_EQ(doc.wrap("de"), 0);
  EXPECT_EQ(doc.body(), "abcde");
  EXPECT_EQ(doc.body().data()[5], '\0');
  // Later bytes are kept aside and do not change the result.
  EXPECT_EQ(doc.wrap("zz"), 0);
  EXPECT_EQ(doc.body(), "abcde");
  EXPECT_EQ(doc.raw().view(), "zz");
}

TEST(HtmldocBodyTest, BodyLongerThanDeclaredFails) {
  htmldoc doc;
  ASSERT_EQ(doc.wrap("POST /x HTTP/1.0\r\nContent-Length: 5\r\n\r\nabc"), 1);
  std::string err;
  EXPECT_EQ(parse(doc, "def", &err), -1);
  EXPECT_FALSE(doc.body_complete());
  EXPECT_NE(err.find("body longer than Content-Length (6 > 5)"), std::string::npos) << err;
  EXPECT_EQ(doc.wrap("g"), -1);
}

TEST(HtmldocBodyTest, CompleteWithoutLength) {
  htmldoc doc;
  ASSERT_EQ(doc.wrap("POST /x HTTP/1.0\r\nHost: h\r\n\r\n<orvane/>"), 0);
  EXPECT_EQ(doc.body(), "<orvane/>");

  // A length header in other letter case is not the length.
  htmldoc lower;
  ASSERT_EQ(lower.wrap("POST /x HTTP/1.0\r\ncontent-length: 10\r\n\r\nab"), 0);
  EXPECT_EQ(lower.body(), "ab");

  htmldoc zero;
  ASSERT_EQ(zero.wrap("POST /x HTTP/1.0\r\nContent-Length: 0\r\n\r\n"), 0);
  EXPECT_EQ(zero.body_length(), 0u);
}

TEST(HtmldocBodyTest, HeaderCompletesBeforeBodyArrives) {
  htmldoc doc;
  ASSERT_EQ(doc.wrap("POST /x HTTP/1.0\r\nContent-Length: 2\r\n\r"), 1);
  EXPECT_FALSE(doc.header_complete());
  ASSERT_EQ(doc.wrap("\n"), 1);
  EXPECT_TRUE(doc.header_complete());
  EXPECT_EQ(doc.wrap("o"), 1);
  EXPECT_EQ(doc.wrap("k"), 0);
  EXPECT_EQ(doc.body(), "ok");
}

TEST(HtmldocBodyTest, ContentLengthValues) {
  struct Case {
    const char* value;
    int rc;
  };
  const Case cases[] = {
      {"3", 1},          {"0003", 1},        {"3 ", 1},
      {"4294967295", 1}, {"4294967296", -1}, {"99999999999999999999", -1},
      {"-1", -1},        {"+3", -1},         {"3x", -1},
      {"0x10", -1},      {"3 4", -1},        {"1e3", -1},
  };
  for (const Case& c : cases) {
    htmldoc doc;
    const std::string text =
        std::string("POST /x HTTP/1.0\r\nContent-Length: ") + c.value + "\r\n\r\nab";
    EXPECT_EQ(parse(doc, text), c.rc) << c.value;
  }
}

TEST(HtmldocBodyTest, DuplicateContentLength) {
  htmldoc same;
  EXPECT_EQ(same.wrap("POST /x HTTP/1.0\r\nContent-Length: 2\r\nContent-Length: 2\r\n\r\nab"), 0);
  htmldoc differ;
  EXPECT_EQ(parse(differ, "POST /x HTTP/1.0\r\nContent-Length: 2\r\nContent-Length: 3\r\n\r\nab"),
            -1);
}

// Builds a request whose head (without the final blank line) is exactly head_size bytes.
std::string request_with_head(size_t head_size) {
  std::string head = "GET / HTTP/1.0\r\nX: ";
  head.append(head_size - head.size(), 'v');
  return head + "\r\n\r\n";
}

TEST(HtmldocLimitTest, HeadSize) {
  {
    htmldoc doc;
    const std::string text = request_with_head(kHtmldocMaxHead);
    ASSERT_EQ(text.size(), kHtmldocMaxHead + 4);
    EXPECT_EQ(doc.wrap(text), 0);
  }
  {
    htmldoc doc;
    EXPECT_EQ(parse(doc, request_with_head(kHtmldocMaxHead + 1)), -1);
  }
  {
    // Fed in pieces: the limit is noticed before any terminator arrives, as soon as a
    // terminator could no longer start within the limit.
    htmldoc doc;
    const std::string text = request_with_head(kHtmldocMaxHead + 10);
    ASSERT_EQ(doc.wrap(text.substr(0, kHtmldocMaxHead + 3)), 1);
    EXPECT_EQ(parse(doc, text.substr(kHtmldocMaxHead + 3, 1)), -1);
  }
  {
    // Exactly at the limit, one byte at a time.
    htmldoc doc;
    const std::string text = request_with_head(kHtmldocMaxHead);
    for (size_t i = 0; i + 1 < text.size(); ++i) ASSERT_EQ(doc.wrap(&text[i], 1), 1) << i;
    EXPECT_EQ(doc.wrap(&text.back(), 1), 0);
    EXPECT_EQ(htmldoc_getvalue_option(doc.headers(), "X")->size(), kHtmldocMaxHead - 19);
  }
}

TEST(HtmldocLimitTest, TerminatorSplitAcrossCalls) {
  // The resumed search must still see a terminator that straddles two calls.
  const std::string_view text = "GET / HTTP/1.0\r\nA: b\r\n\r\n";
  for (size_t cut = 1; cut < text.size(); ++cut) {
    htmldoc doc;
    ASSERT_EQ(doc.wrap(text.substr(0, cut)), 1) << cut;
    ASSERT_EQ(doc.wrap(text.substr(cut)), 0) << cut;
    EXPECT_EQ(*htmldoc_getvalue_option(doc.headers(), "A"), "b");
  }
}

TEST(HtmldocParseTest, ResetForReuse) {
  htmldoc doc;
  ASSERT_EQ(doc.wrap("POST /x?a=1 HTTP/1.0\r\nHost: h\r\nContent-Length: 1\r\n\r\nz"), 0);
  doc.reset();
  EXPECT_TRUE(doc.method().empty());
  EXPECT_TRUE(doc.uri().empty());
  EXPECT_TRUE(doc.host().empty());
  EXPECT_TRUE(doc.headers().empty());
  EXPECT_FALSE(doc.have_get_params());
  EXPECT_EQ(doc.body_length(), 0u);
  EXPECT_FALSE(doc.header_complete());
  ASSERT_EQ(doc.wrap("GET /b HTTP/1.0\r\n\r\n"), 0);
  EXPECT_EQ(doc.uri(), "/b");
}

}  // namespace
}  // namespace kt
