#include "query/query_language.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <string>

#include "platform/wstring.h"
#include "query/file_kinds.h"

namespace trovix::query {
namespace {

// 2024-03-15 12:00 in the zone the test sets (UTC).
constexpr std::int64_t kNow = 1710504000;

class QueryLanguageTest : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv("TZ", "UTC", 1);
    tzset();
    options_.now = kNow;
    options_.home = u"/home/ada";
  }
  ParseOptions options_;
};

std::string Kind(NodeKind kind) {
  switch (kind) {
    case NodeKind::kWord:
      return "w";
    case NodeKind::kPhrase:
      return "p";
    case NodeKind::kName:
      return "name";
    case NodeKind::kExtension:
      return "ext";
    case NodeKind::kType:
      return "type";
    case NodeKind::kFolder:
      return "in";
    case NodeKind::kModified:
      return "mod";
    case NodeKind::kSize:
      return "size";
    case NodeKind::kAnd:
      return "AND";
    case NodeKind::kOr:
      return "OR";
    case NodeKind::kNot:
      return "NOT";
  }
  return "?";
}

// A tree as "AND(w:a,OR(w:b,p:c d))", independent of QueryText.
std::string Tree(const QueryNode& node) {
  std::string out = Kind(node.kind);
  if (node.kind == NodeKind::kAnd || node.kind == NodeKind::kOr || node.kind == NodeKind::kNot) {
    if (node.children.empty()) return out;
    out += "(";
    for (std::size_t i = 0; i < node.children.size(); ++i) {
      out += (i > 0 ? "," : "") + Tree(node.children[i]);
    }
    return out + ")";
  }
  if (node.kind == NodeKind::kModified || node.kind == NodeKind::kSize) {
    const auto show = [&](std::int64_t v) {
      if (v == kUnbounded) return std::string("inf");
      if (node.kind == NodeKind::kSize) return std::to_string(v);
      // Ticks to Unix seconds.
      return std::to_string(v / 10'000'000 - 11'644'473'600);
    };
    return out + ":" + show(node.low) + "-" + show(node.high);
  }
  return out + ":" + Utf16ToUtf8(node.text) + (node.phrase ? "(phrase)" : "");
}

std::string Parse(const std::string& text, const ParseOptions& options) {
  QueryNode root;
  QueryError error;
  if (!ParseQuery(Utf8ToUtf16(text), options, &root, &error)) {
    return "error " + std::to_string(error.column) + ": " + error.message;
  }
  return Tree(root);
}

TEST_F(QueryLanguageTest, GrammarTable) {
  const struct {
    const char* query;
    const char* tree;
  } table[] = {
      {"", "AND"},
      {"annual report", "AND(w:annual,w:report)"},
      {"\"annual report\"", "AND(p:annual report)"},
      {"budget OR forecast", "AND(OR(w:budget,w:forecast))"},
      // OR binds tighter than juxtaposition; AND may be written.
      {"a b OR c", "AND(w:a,OR(w:b,w:c))"},
      {"a AND b", "AND(w:a,w:b)"},
      {"report -draft", "AND(w:report,NOT(w:draft))"},
      {"report NOT draft", "AND(w:report,NOT(w:draft))"},
      {"(a OR b) -(c d)", "AND(OR(w:a,w:b),NOT(AND(w:c,w:d)))"},
      {"--a", "AND(NOT(NOT(w:a)))"},
      // "-" and "+" alone are the whole-index words of every word query.
      {"- + ab -", "AND(w:-,w:+,w:ab,w:-)"},
      // An inner hyphen is part of the word (the analysis makes it a compound).
      {"INV-2024 x86-64", "AND(w:INV-2024,w:x86-64)"},
      {"serializ*", "AND(w:serializ*)"},
      {"or and not", "AND(w:or,w:and,w:not)"},
      // Quotes end the word they touch; escapes inside.
      {"xx\"New York\"yy", "AND(w:xx,p:New York,w:yy)"},
      {"\"say \\\"hi\\\" \\\\ now\"", "AND(p:say \"hi\" \\ now)"},
      {"name:budget NAME:\"annual report\"", "AND(name:budget,name:annual report(phrase))"},
      {"ext:PDF ext:.docx", "AND(ext:pdf,ext:docx)"},
      {"type:Spreadsheet", "AND(type:spreadsheet)"},
      {"in:~/Projects/ in:/srv//data in:~",
       "AND(in:/home/ada/Projects,in:/srv//data,in:/home/ada)"},
      {"in:\"~/My Files\"", "AND(in:/home/ada/My Files)"},
      // Unknown fields, URLs and drive-like words stay words.
      {"http://x.org/a foo:bar", "AND(w:http://x.org/a,w:foo:bar)"},
      {"modified:today", "AND(mod:1710460800-1710547200)"},
      {"modified:yesterday", "AND(mod:1710374400-1710460800)"},
      {"modified:7d", "AND(mod:1709942400-inf)"},
      {"modified:2w", "AND(mod:1709337600-inf)"},
      {"modified:2024", "AND(mod:1704067200-1735689600)"},
      {"modified:2024-02", "AND(mod:1706745600-1709251200)"},
      {"modified:2024-02-29", "AND(mod:1709164800-1709251200)"},
      {"modified:2024-01..2024-06", "AND(mod:1704067200-1719792000)"},
      {"modified:..2023 modified:2024-03..", "AND(mod:-11644473600-1704067200,mod:1709251200-inf)"},
      {"size:>10M", "AND(size:10485761-inf)"},
      {"size:<100k", "AND(size:0-102399)"},
      {"size:>=1G size:<=2kb", "AND(size:1073741824-inf,size:0-2048)"},
      {"size:1.5M..2M size:300", "error 15: bad size \"300\" (>10M, <100k, >=1G, 1M..2G)"},
  };
  for (const auto& row : table) {
    EXPECT_EQ(Parse(row.query, options_), row.tree) << row.query;
  }
  // NUL and control characters separate words; % and _ are plain.
  EXPECT_EQ(Parse(std::string("a\0b\x01"
                              "c 100% x_y",
                              15),
                  options_),
            "AND(w:a,w:b,w:c,w:100%,w:x_y)");
}

TEST_F(QueryLanguageTest, EveryErrorNamesItsColumn) {
  const struct {
    const char* query;
    const char* error;
  } table[] = {
      {"annual \"report", "error 8: unclosed quote"},
      {"ab (cd OR ef", "error 4: unclosed parenthesis"},
      {"ab cd)", "error 6: \")\" without its \"(\""},
      {"ab ()", "error 4: empty parentheses"},
      {"OR ab", "error 1: OR needs a word before it"},
      {"ab OR", "error 4: OR needs a word after it"},
      {"ab OR OR cd", "error 4: OR needs a word after it"},
      {"ab (cd OR) ef", "error 8: OR needs a word after it"},
      {"AND ab", "error 1: AND needs a word on both sides"},
      {"ab -OR", "error 4: \"-\" needs a word right after it"},
      {"ab NOT", "error 4: NOT needs a word after it"},
      {"ab \"\"", "error 4: empty quotes"},
      {"size:", "error 1: nothing after \"size:\""},
      {"ab name:\"  \"", "error 4: nothing after \"name:\""},
      {"type:movie",
       "error 1: unknown type \"movie\" (types: document, pdf, text, web, mail, ebook, "
       "spreadsheet, presentation, image, audio, video, archive)"},
      {"ext:a/b", "error 1: bad extension \"a/b\""},
      {"in:Projects", "error 1: in: wants a folder from \"/\" or \"~\", not \"Projects\""},
      {"modified:2024-02-30",
       "error 1: bad date \"2024-02-30\" (today, yesterday, 7d, 2w, 2024, 2024-03, 2024-03-15, "
       "A..B)"},
      {"modified:2024-13",
       "error 1: bad date \"2024-13\" (today, yesterday, 7d, 2w, 2024, "
       "2024-03, 2024-03-15, A..B)"},
      {"modified:2025..2024",
       "error 1: bad date \"2025..2024\" (today, yesterday, 7d, 2w, 2024, "
       "2024-03, 2024-03-15, A..B)"},
      {"size:>1X", "error 1: bad size \">1X\" (>10M, <100k, >=1G, 1M..2G)"},
      {"size:2M..1M", "error 1: bad size \"2M..1M\" (>10M, <100k, >=1G, 1M..2G)"},
      // Columns count characters, not UTF-16 units or bytes.
      {"\xF0\x9F\x93\x84 caf\xC3\xA9 \"x", "error 8: unclosed quote"},
  };
  for (const auto& row : table) EXPECT_EQ(Parse(row.query, options_), row.error) << row.query;
  QueryError error{14, "unclosed quote"};
  EXPECT_EQ(DescribeError(u"annual report \"q", error),
            "unclosed quote at column 14\n  annual report \"q\n               ^");
}

TEST_F(QueryLanguageTest, HostileInputIsBounded) {
  std::string many;
  for (int i = 0; i < 1000; ++i) many += "w" + std::to_string(i) + " ";
  EXPECT_EQ(Parse(many, options_).rfind("AND(w:w0,", 0), 0u);
  many += "extra";
  EXPECT_EQ(Parse(many, options_).substr(0, 11), "error 4891:");
  EXPECT_NE(Parse(many, options_).find("more than 1000 words and filters"), std::string::npos);
  const std::string deep(100, '(');
  EXPECT_EQ(Parse(deep + "a", options_), "error 65: too deeply nested");
  std::string nots(200, '-');
  EXPECT_EQ(Parse(nots + "a", options_), "error 65: too deeply nested");
  // Only quotes, only parentheses, only operators: errors, never a search.
  for (const char* bad : {"\"", "(", ")", "-OR", "OR", "((((", "\"\"\"", "NOT"}) {
    EXPECT_EQ(Parse(bad, options_).rfind("error", 0), 0u) << bad;
  }
}

TEST_F(QueryLanguageTest, TextReadsBackAsTheSameQuery) {
  for (const char* query :
       {"annual report", "\"annual report\" -draft", "a b OR c", "(a b) OR c", "-(a OR b) c",
        "name:\"x y\" name:z ext:pdf type:pdf in:\"/a b/c\" in:/srv", "modified:2024-01..2024-06",
        "modified:7d modified:..2023-12", "size:>10M size:<=5k", "\"quote \\\" and \\\\\"",
        "((a OR b) (c OR d)) OR e"}) {
    QueryNode first;
    QueryError error;
    ASSERT_TRUE(ParseQuery(Utf8ToUtf16(query), options_, &first, &error)) << query;
    const WString text = QueryText(first);
    QueryNode second;
    ASSERT_TRUE(ParseQuery(text, options_, &second, &error))
        << query << " -> " << Utf16ToUtf8(text) << ": " << error.message;
    EXPECT_EQ(Tree(first), Tree(second)) << query << " -> " << Utf16ToUtf8(text);
  }
}

TEST_F(QueryLanguageTest, AsYouTypeClosesWhatIsOpenAndMakesTheLastWordAPrefix) {
  options_.as_you_type = true;
  EXPECT_EQ(Parse("annual rep", options_), "AND(w:annual,w:rep*)");
  EXPECT_EQ(Parse("annual rep ", options_), "AND(w:annual,w:rep)");
  EXPECT_EQ(Parse("\"annual rep", options_), "AND(p:annual rep*)");
  EXPECT_EQ(Parse("\"annual report\"", options_), "AND(p:annual report)");
  EXPECT_EQ(Parse("(budget OR fore", options_), "AND(OR(w:budget,w:fore*))");
  EXPECT_EQ(Parse("budget OR", options_), "AND(w:budget)");
  EXPECT_EQ(Parse("budget -", options_), "AND(w:budget)");
  EXPECT_EQ(Parse("budget -dra", options_), "AND(w:budget,NOT(w:dra*))");
  EXPECT_EQ(Parse("budget type:pdf", options_), "AND(w:budget,type:pdf)");
  EXPECT_EQ(Parse("report name:bud", options_), "AND(w:report,name:bud*)");
  EXPECT_EQ(Parse("serial*", options_), "AND(w:serial*)");
}

TEST(FileKindsTest, ExtensionsAndKinds) {
  EXPECT_EQ(ExtensionOf("/a/b/Report.PDF"), "pdf");
  EXPECT_EQ(ExtensionOf("/a/b.d/.profile"), "");
  EXPECT_EQ(ExtensionOf("/a/b.d/README"), "");
  EXPECT_EQ(ExtensionOf("/a/archive.tar.gz"), "gz");
  EXPECT_TRUE(IsOfKind("pdf", "pdf"));
  EXPECT_TRUE(IsOfKind("pdf", "document"));
  EXPECT_TRUE(IsOfKind("docx", "document"));
  EXPECT_FALSE(IsOfKind("docx", "spreadsheet"));
  EXPECT_TRUE(IsOfKind("eml", "mail"));
  EXPECT_FALSE(IsOfKind("", "text"));
  EXPECT_FALSE(IsOfKind("mp3", "document"));
}

}  // namespace
}  // namespace trovix::query
