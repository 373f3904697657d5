#include "query/query_language.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <ctime>
#include <utility>

#include "platform/wstring.h"
#include "query/file_kinds.h"

namespace trovix::query {
namespace {

// FILETIME counts 100 ns ticks from 1601; Unix time seconds from 1970.
constexpr std::int64_t kTicksPerSecond = 10'000'000;
constexpr std::int64_t kUnixEpochSeconds = 11'644'473'600;

// NUL and the other control characters count as spaces: they are not
// typed, and a query must never keep them as part of a word.
bool IsSpace(char16_t unit) {
  return unit <= u' ' || unit == u'\u007F' || unit == u'\u0085' || unit == u'\u00A0' ||
         unit == u'\u3000';
}

bool EndsToken(char16_t unit) {
  return IsSpace(unit) || unit == u'(' || unit == u')' || unit == u'"';
}

char16_t Lower(char16_t unit) { return unit >= u'A' && unit <= u'Z' ? unit + 32 : unit; }

WString LowerAscii(std::u16string_view text) {
  WString lower(text);
  std::transform(lower.begin(), lower.end(), lower.begin(), Lower);
  return lower;
}

std::string Narrow(std::u16string_view text) { return Utf16ToUtf8(WString(text)); }

// Local midnight of the calendar day year-month-day (normalised by mktime:
// month 13 is January of the next year), in FILETIME ticks.
std::int64_t LocalMidnight(int year, int month, int day) {
  std::tm parts{};
  parts.tm_year = year - 1900;
  parts.tm_mon = month - 1;
  parts.tm_mday = day;
  parts.tm_isdst = -1;
  return TicksFromUnix(static_cast<std::int64_t>(std::mktime(&parts)));
}

std::tm LocalParts(std::int64_t seconds) {
  const std::time_t at = static_cast<std::time_t>(seconds);
  std::tm parts{};
  localtime_r(&at, &parts);
  return parts;
}

bool ReadNumber(std::string_view text, int* value) {
  if (text.empty() || text.size() > 9) return false;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), *value);
  return error == std::errc() && end == text.data() + text.size();
}

struct Span {
  std::int64_t low = 0;
  std::int64_t high = kUnbounded;
};

// One date form: the span of days it names.
bool ParseDate(std::string_view text, std::int64_t now, Span* span) {
  if (text == "today") {
    *span = {DayStart(now, 0), DayStart(now, -1)};
    return true;
  }
  if (text == "yesterday") {
    *span = {DayStart(now, 1), DayStart(now, 0)};
    return true;
  }
  int count = 0;
  if (text.size() >= 2 && (text.back() == 'd' || text.back() == 'w') &&
      ReadNumber(text.substr(0, text.size() - 1), &count) && count >= 1 && count <= 100000) {
    const int days = text.back() == 'd' ? count : count * 7;
    *span = {DayStart(now, days - 1), kUnbounded};
    return true;
  }
  int year = 0;
  int month = 0;
  int day = 0;
  if (text.size() < 4 || !ReadNumber(text.substr(0, 4), &year) || year < 1601 || year > 9999) {
    return false;
  }
  if (text.size() == 4) {
    *span = {LocalMidnight(year, 1, 1), LocalMidnight(year + 1, 1, 1)};
    return true;
  }
  if (text.size() < 7 || text[4] != '-' || !ReadNumber(text.substr(5, 2), &month) || month < 1 ||
      month > 12) {
    return false;
  }
  if (text.size() == 7) {
    *span = {LocalMidnight(year, month, 1), LocalMidnight(year, month + 1, 1)};
    return true;
  }
  if (text.size() != 10 || text[7] != '-' || !ReadNumber(text.substr(8, 2), &day) || day < 1) {
    return false;
  }
  // mktime would make 2024-02-31 the 2nd of March: a day the month lacks is
  // an error.
  if (LocalMidnight(year, month, day) >= LocalMidnight(year, month + 1, 1)) return false;
  *span = {LocalMidnight(year, month, day), LocalMidnight(year, month, day + 1)};
  return true;
}

// A date form, or a range of two ("A..B", "A..", "..B").
bool ParseDateSpan(std::string_view text, std::int64_t now, Span* span) {
  const std::size_t dots = text.find("..");
  if (dots == std::string_view::npos) return ParseDate(text, now, span);
  const std::string_view from = text.substr(0, dots);
  const std::string_view to = text.substr(dots + 2);
  if (from.empty() && to.empty()) return false;
  Span first;
  Span last;
  if (!from.empty() && !ParseDate(from, now, &first)) return false;
  if (!to.empty() && !ParseDate(to, now, &last)) return false;
  *span = {from.empty() ? 0 : first.low, to.empty() ? kUnbounded : last.high};
  return span->low < span->high;
}

// "10M", "1.5k", "300" (bytes), units of 1024, any case, an optional "b"
// or "ib" after the letter.
bool ParseBytes(std::string_view text, std::int64_t* bytes) {
  std::size_t digits = 0;
  while (digits < text.size() &&
         ((text[digits] >= '0' && text[digits] <= '9') || text[digits] == '.')) {
    ++digits;
  }
  if (digits == 0 || digits > 18) return false;
  double number = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + digits, number);
  if (error != std::errc() || end != text.data() + digits) return false;
  std::string unit(text.substr(digits));
  std::transform(unit.begin(), unit.end(), unit.begin(),
                 [](char c) { return static_cast<char>(c >= 'A' && c <= 'Z' ? c + 32 : c); });
  double scale = 1;
  if (unit.empty() || unit == "b") {
    scale = 1;
  } else if (unit == "k" || unit == "kb" || unit == "kib") {
    scale = 1024.0;
  } else if (unit == "m" || unit == "mb" || unit == "mib") {
    scale = 1024.0 * 1024;
  } else if (unit == "g" || unit == "gb" || unit == "gib") {
    scale = 1024.0 * 1024 * 1024;
  } else if (unit == "t" || unit == "tb" || unit == "tib") {
    scale = 1024.0 * 1024 * 1024 * 1024;
  } else {
    return false;
  }
  const double value = std::floor(number * scale);
  if (!(value >= 0) || value > 9.0e18) return false;
  *bytes = static_cast<std::int64_t>(value);
  return true;
}

bool ParseSizeRange(std::string_view text, Span* span) {
  std::int64_t bytes = 0;
  if (text.rfind(">=", 0) == 0 && ParseBytes(text.substr(2), &bytes)) {
    *span = {bytes, kUnbounded};
  } else if (text.rfind("<=", 0) == 0 && ParseBytes(text.substr(2), &bytes)) {
    *span = {0, bytes};
  } else if (text.rfind('>', 0) == 0 && ParseBytes(text.substr(1), &bytes)) {
    *span = {bytes + 1, kUnbounded};
  } else if (text.rfind('<', 0) == 0 && ParseBytes(text.substr(1), &bytes) && bytes > 0) {
    *span = {0, bytes - 1};
  } else if (const std::size_t dots = text.find(".."); dots != std::string_view::npos) {
    std::int64_t low = 0;
    std::int64_t high = kUnbounded;
    const std::string_view from = text.substr(0, dots);
    const std::string_view to = text.substr(dots + 2);
    if ((from.empty() && to.empty()) || (!from.empty() && !ParseBytes(from, &low)) ||
        (!to.empty() && !ParseBytes(to, &high)) || low > high) {
      return false;
    }
    *span = {low, high};
  } else {
    return false;
  }
  return true;
}

bool IsKeyword(std::u16string_view token) {
  return token == u"OR" || token == u"AND" || token == u"NOT";
}

class Parser {
 public:
  Parser(std::u16string_view text, const ParseOptions& options, QueryError* error)
      : text_(text), options_(options), error_(error) {}

  bool Run(QueryNode* root) {
    QueryNode all;
    all.kind = NodeKind::kAnd;
    if (!Sequence(&all, /*in_group=*/false)) return false;
    if (options_.as_you_type && typing_ && !all.children.empty()) MakePrefix(&all);
    *root = std::move(all);
    return true;
  }

 private:
  std::size_t Column(std::size_t at) const {
    std::size_t column = 1;
    for (std::size_t i = 0; i < at && i < text_.size(); ++i) {
      if (text_[i] < 0xDC00 || text_[i] > 0xDFFF) ++column;  // a low surrogate ends a character
    }
    return column;
  }
  bool Fail(std::size_t at, std::string message) {
    error_->column = Column(at);
    error_->message = std::move(message);
    return false;
  }
  void SkipSpaces() {
    while (at_ < text_.size() && IsSpace(text_[at_])) ++at_;
  }
  bool AtEnd() const { return at_ >= text_.size(); }
  // The bare token at the read position, not consumed.
  std::u16string_view Token() const {
    std::size_t end = at_;
    while (end < text_.size() && !EndsToken(text_[end])) ++end;
    return text_.substr(at_, end - at_);
  }
  bool CountLeaf(std::size_t at) {
    const std::size_t most = std::min(options_.max_leaves, kMaxQueryLeaves);
    if (++leaves_ > most) {
      return Fail(at, "more than " + std::to_string(most) + " words and filters");
    }
    return true;
  }

  // Parts up to the end (or, in a group, up to its ")"), ANDed into `all`.
  bool Sequence(QueryNode* all, bool in_group) {
    for (;;) {
      SkipSpaces();
      if (AtEnd()) return true;
      if (text_[at_] == u')') {
        if (in_group) return true;
        return Fail(at_, "\")\" without its \"(\"");
      }
      const std::u16string_view token = Token();
      if (token == u"OR") return Fail(at_, "OR needs a word before it");
      if (token == u"AND") {
        const std::size_t keyword = at_;
        at_ += token.size();
        SkipSpaces();
        if (AtEnd() || text_[at_] == u')' || IsKeyword(Token()) || all->children.empty()) {
          return Fail(keyword, "AND needs a word on both sides");
        }
        continue;
      }
      QueryNode part;
      if (!Either(&part)) return false;
      all->children.push_back(std::move(part));
    }
  }

  bool Either(QueryNode* out) {
    QueryNode first;
    if (!Unary(&first)) return false;
    QueryNode either;
    either.kind = NodeKind::kOr;
    either.column = first.column;
    either.children.push_back(std::move(first));
    for (;;) {
      const std::size_t before = at_;
      SkipSpaces();
      if (AtEnd() || Token() != u"OR") {
        at_ = before;
        break;
      }
      const std::size_t keyword = at_;
      at_ += 2;
      SkipSpaces();
      if (AtEnd() || text_[at_] == u')' || IsKeyword(Token())) {
        if (options_.as_you_type && AtEnd()) break;  // "budget OR" while typing
        return Fail(keyword, "OR needs a word after it");
      }
      QueryNode next;
      if (!Unary(&next)) return false;
      either.children.push_back(std::move(next));
    }
    *out = either.children.size() == 1 ? std::move(either.children.front()) : std::move(either);
    return true;
  }

  bool Unary(QueryNode* out) {
    const std::size_t start = at_;
    // A "-" alone is a word: the files without words, as in every word query.
    const bool minus = text_[at_] == u'-' && at_ + 1 < text_.size() && !IsSpace(text_[at_ + 1]) &&
                       text_[at_ + 1] != u')';
    const bool keyword = !minus && Token() == u"NOT";
    if (!minus && !keyword) return Primary(out);
    at_ += minus ? 1 : 3;
    if (keyword) SkipSpaces();
    if (AtEnd() || IsSpace(text_[at_]) || text_[at_] == u')' || IsKeyword(Token())) {
      return Fail(start, minus ? "\"-\" needs a word right after it" : "NOT needs a word after it");
    }
    if (++depth_ > kMaxQueryDepth) return Fail(start, "too deeply nested");
    QueryNode inner;
    if (!Unary(&inner)) return false;
    --depth_;
    out->kind = NodeKind::kNot;
    out->column = Column(start);
    out->children.clear();
    out->children.push_back(std::move(inner));
    return true;
  }

  bool Primary(QueryNode* out) {
    const std::size_t start = at_;
    out->column = Column(start);
    if (text_[at_] == u'(') {
      if (++depth_ > kMaxQueryDepth) return Fail(start, "too deeply nested");
      ++at_;
      QueryNode group;
      group.kind = NodeKind::kAnd;
      if (!Sequence(&group, /*in_group=*/true)) return false;
      if (AtEnd()) {
        if (!options_.as_you_type) return Fail(start, "unclosed parenthesis");
      } else {
        ++at_;  // ")"
        typing_ = false;
      }
      --depth_;
      if (group.children.empty()) {
        if (options_.as_you_type && AtEnd()) {
          *out = std::move(group);
          return true;
        }
        return Fail(start, "empty parentheses");
      }
      group.column = out->column;
      *out = group.children.size() == 1 ? std::move(group.children.front()) : std::move(group);
      return true;
    }
    if (text_[at_] == u'"') {
      if (!CountLeaf(start)) return false;
      WString words;
      if (!Quoted(&words)) return false;
      if (std::all_of(words.begin(), words.end(), IsSpace)) return Fail(start, "empty quotes");
      out->kind = NodeKind::kPhrase;
      out->text = std::move(words);
      return true;
    }
    const std::u16string_view token = Token();
    at_ += token.size();
    if (!CountLeaf(start)) return false;
    const std::size_t colon = token.find(u':');
    if (colon != std::u16string_view::npos && colon > 0) {
      const WString field = LowerAscii(token.substr(0, colon));
      if (field == u"name" || field == u"ext" || field == u"type" || field == u"in" ||
          field == u"modified" || field == u"size") {
        return Field(field, token.substr(colon + 1), start, out);
      }
    }
    out->kind = NodeKind::kWord;
    out->text = WString(token);
    typing_ = at_ == text_.size();
    return true;
  }

  // The text between quotes at the read position; \" and \\ stand for
  // themselves.
  bool Quoted(WString* words) {
    const std::size_t open = at_++;
    for (; at_ < text_.size(); ++at_) {
      const char16_t unit = text_[at_];
      if (unit == u'\\' && at_ + 1 < text_.size() &&
          (text_[at_ + 1] == u'"' || text_[at_ + 1] == u'\\')) {
        words->push_back(text_[++at_]);
      } else if (unit == u'"') {
        ++at_;
        typing_ = false;
        return true;
      } else {
        words->push_back(IsSpace(unit) ? u' ' : unit);
      }
    }
    if (!options_.as_you_type) return Fail(open, "unclosed quote");
    typing_ = true;
    return true;
  }

  bool Field(const WString& field, std::u16string_view value, std::size_t start, QueryNode* out) {
    const std::string name = Narrow(field);
    WString text(value);
    bool quoted = false;
    if (value.empty() && !AtEnd() && text_[at_] == u'"') {
      if (!Quoted(&text)) return false;
      quoted = true;
    }
    if (text.empty() || std::all_of(text.begin(), text.end(), IsSpace)) {
      return Fail(start, "nothing after \"" + name + ":\"");
    }
    typing_ = false;
    const std::string shown = Narrow(text);
    if (field == u"name") {
      out->kind = NodeKind::kName;
      out->text = std::move(text);
      out->phrase = quoted;
      typing_ = !quoted && at_ == text_.size();
      return true;
    }
    if (field == u"ext") {
      WString extension = LowerAscii(text);
      if (extension.front() == u'.') extension.erase(0, 1);
      if (extension.empty() || extension.find_first_of(u"/*") != WString::npos) {
        return Fail(start, "bad extension \"" + shown + "\"");
      }
      out->kind = NodeKind::kExtension;
      out->text = std::move(extension);
      return true;
    }
    if (field == u"type") {
      const WString kind = LowerAscii(text);
      const std::vector<std::string>& names = FileKindNames();
      if (std::find(names.begin(), names.end(), Narrow(kind)) == names.end()) {
        std::string all;
        for (const std::string& known : names) all += (all.empty() ? "" : ", ") + known;
        return Fail(start, "unknown type \"" + shown + "\" (types: " + all + ")");
      }
      out->kind = NodeKind::kType;
      out->text = kind;
      return true;
    }
    if (field == u"in") {
      if (text == u"~" || text.rfind(u"~/", 0) == 0) text = options_.home + text.substr(1);
      if (text.empty() || text.front() != u'/') {
        return Fail(start, "in: wants a folder from \"/\" or \"~\", not \"" + shown + "\"");
      }
      while (text.size() > 1 && text.back() == u'/') text.pop_back();
      out->kind = NodeKind::kFolder;
      out->text = std::move(text);
      return true;
    }
    Span span;
    if (field == u"modified") {
      if (!ParseDateSpan(Narrow(LowerAscii(text)), options_.now, &span)) {
        return Fail(start, "bad date \"" + shown +
                               "\" (today, yesterday, 7d, 2w, 2024, 2024-03, 2024-03-15, A..B)");
      }
      out->kind = NodeKind::kModified;
    } else {
      if (!ParseSizeRange(Narrow(text), &span)) {
        return Fail(start, "bad size \"" + shown + "\" (>10M, <100k, >=1G, 1M..2G)");
      }
      out->kind = NodeKind::kSize;
    }
    out->low = span.low;
    out->high = span.high;
    return true;
  }

  // The last leaf typed matches as a prefix.
  static void MakePrefix(QueryNode* node) {
    while (!node->children.empty()) node = &node->children.back();
    const bool word = node->kind == NodeKind::kWord || node->kind == NodeKind::kPhrase ||
                      (node->kind == NodeKind::kName && !node->phrase);
    if (word && node->text.find(u'*') == WString::npos) node->text.push_back(u'*');
  }

  std::u16string_view text_;
  const ParseOptions& options_;
  QueryError* error_;
  std::size_t at_ = 0;
  std::size_t leaves_ = 0;
  std::size_t depth_ = 0;
  bool typing_ = false;  // the text ends inside the last word read
};

bool NeedsQuotes(const WString& text) {
  return text.empty() || std::any_of(text.begin(), text.end(), EndsToken) || text.front() == u'-' ||
         IsKeyword(text);
}

WString Quote(const WString& text) {
  WString quoted = u"\"";
  for (const char16_t unit : text) {
    if (unit == u'"' || unit == u'\\') quoted.push_back(u'\\');
    quoted.push_back(unit);
  }
  return quoted + u"\"";
}

WString DateText(std::int64_t ticks) {
  const std::tm parts = LocalParts(ticks / kTicksPerSecond - kUnixEpochSeconds);
  char text[48];
  std::snprintf(text, sizeof text, "%04d-%02d-%02d", parts.tm_year + 1900, parts.tm_mon + 1,
                parts.tm_mday);
  return Utf8ToUtf16(text);
}

WString Grouped(const QueryNode& node, bool group) {
  const WString text = QueryText(node);
  return group ? u"(" + text + u")" : text;
}

}  // namespace

ParseOptions ParseOptionsNow() {
  ParseOptions options;
  options.now = static_cast<std::int64_t>(std::time(nullptr));
  const char* home = std::getenv("HOME");
  options.home = Utf8ToUtf16(home != nullptr ? home : "");
  return options;
}

std::int64_t TicksFromUnix(std::int64_t seconds) {
  return (seconds + kUnixEpochSeconds) * kTicksPerSecond;
}

std::int64_t DayStart(std::int64_t now, int days_back) {
  const std::tm parts = LocalParts(now);
  return LocalMidnight(parts.tm_year + 1900, parts.tm_mon + 1, parts.tm_mday - days_back);
}

bool ParseQuery(std::u16string_view text, const ParseOptions& options, QueryNode* root,
                QueryError* error) {
  if (options.as_you_type) {
    // A "-" or NOT being typed at the very end: the query before it.
    std::u16string_view trimmed = text;
    while (!trimmed.empty() && IsSpace(trimmed.back())) trimmed.remove_suffix(1);
    if (!trimmed.empty() && trimmed.back() == u'-' &&
        (trimmed.size() == 1 || IsSpace(trimmed[trimmed.size() - 2]))) {
      text = trimmed.substr(0, trimmed.size() - 1);
    }
  }
  Parser parser(text, options, error);
  return parser.Run(root);
}

WString QueryText(const QueryNode& node) {
  switch (node.kind) {
    case NodeKind::kWord:
      return node.text;
    case NodeKind::kPhrase:
      return Quote(node.text);
    case NodeKind::kName:
      return u"name:" + (node.phrase || NeedsQuotes(node.text) ? Quote(node.text) : node.text);
    case NodeKind::kExtension:
      return u"ext:" + node.text;
    case NodeKind::kType:
      return u"type:" + node.text;
    case NodeKind::kFolder:
      return u"in:" + (NeedsQuotes(node.text) ? Quote(node.text) : node.text);
    case NodeKind::kModified:
      return u"modified:" + (node.low == 0 ? WString() : DateText(node.low)) + u".." +
             (node.high == kUnbounded ? WString() : DateText(node.high - 1));
    case NodeKind::kSize:
      return u"size:" + Utf8ToUtf16(std::to_string(node.low)) + u".." +
             (node.high == kUnbounded ? WString() : Utf8ToUtf16(std::to_string(node.high)));
    case NodeKind::kNot: {
      const QueryNode& inner = node.children.front();
      return u"-" + Grouped(inner, inner.kind == NodeKind::kAnd || inner.kind == NodeKind::kOr);
    }
    case NodeKind::kOr:
    case NodeKind::kAnd: {
      WString text;
      for (const QueryNode& child : node.children) {
        if (!text.empty()) text += node.kind == NodeKind::kOr ? u" OR " : u" ";
        const bool group = child.kind == NodeKind::kAnd ||
                           (node.kind == NodeKind::kOr && child.kind == NodeKind::kOr);
        text += Grouped(child, group);
      }
      return text;
    }
  }
  return {};
}

std::string DescribeError(std::u16string_view text, const QueryError& error) {
  WString line;
  for (const char16_t unit : text) line.push_back(IsSpace(unit) ? u' ' : unit);
  return error.message + " at column " + std::to_string(error.column) + "\n  " + Narrow(line) +
         "\n  " + std::string(error.column > 0 ? error.column - 1 : 0, ' ') + "^";
}

}  // namespace trovix::query
