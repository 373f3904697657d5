#include "filters/filter_host/rtf_tokenizer.h"

#include <limits>

namespace docfilter {
namespace {

constexpr std::size_t kMaxWordLength = 32;

bool IsLetter(int c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
bool IsDigit(int c) { return c >= '0' && c <= '9'; }

int HexValue(int c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

int RtfTokenizer::Get() {
  if (pushed_count_ > 0) return pushed_[--pushed_count_];
  return reader_->Next();
}

void RtfTokenizer::Unget(int c) {
  if (c >= 0) pushed_[pushed_count_++] = c;
}

void RtfTokenizer::SkipBytes(std::uint64_t count) {
  while (count > 0 && pushed_count_ > 0) {
    --pushed_count_;
    --count;
  }
  reader_->Skip(count);
}

void RtfTokenizer::Next(RtfToken* token) {
  token->word.clear();
  token->has_param = false;
  token->param = 0;
  for (;;) {
    const int c = Get();
    switch (c) {
      case -1:
        token->type = RtfTokenType::kEnd;
        return;
      case '{':
        token->type = RtfTokenType::kGroupOpen;
        return;
      case '}':
        token->type = RtfTokenType::kGroupClose;
        return;
      case '\r':
      case '\n':
        continue;
      case '\\':
        break;
      default:
        token->type = RtfTokenType::kByte;
        token->ch = static_cast<unsigned char>(c);
        return;
    }
    const int first = Get();
    if (first < 0) continue;  // a lone backslash at the end: the next Get ends
    if (IsLetter(first)) {
      ReadWord(first, token);
      return;
    }
    if (first == '\'') {
      if (ReadHexByte(token)) return;
      continue;  // \' without two hex digits is dropped
    }
    token->type = RtfTokenType::kSymbol;
    token->ch = static_cast<unsigned char>(first == '\r' ? '\n' : first);
    return;
  }
}

void RtfTokenizer::ReadWord(int first, RtfToken* token) {
  token->type = RtfTokenType::kWord;
  int c = first;
  while (IsLetter(c)) {
    if (token->word.size() < kMaxWordLength) token->word.push_back(static_cast<char>(c));
    c = Get();
  }
  Unget(c);
  ReadParam(token);
  // One space ends a control word and belongs to it.
  c = Get();
  if (c != ' ') Unget(c);
}

void RtfTokenizer::ReadParam(RtfToken* token) {
  int c = Get();
  bool negative = false;
  if (c == '-') {
    const int next = Get();
    if (!IsDigit(next)) {  // a hyphen that is text, not a sign
      Unget(next);
      Unget(c);
      return;
    }
    negative = true;
    c = next;
  }
  std::int64_t value = 0;
  constexpr std::int64_t kLimit = std::int64_t{std::numeric_limits<std::int32_t>::max()} + 1;
  while (IsDigit(c)) {
    token->has_param = true;
    value = value * 10 + (c - '0');
    if (value > kLimit) value = kLimit;
    c = Get();
  }
  Unget(c);
  if (negative) value = -value;
  if (value > std::numeric_limits<std::int32_t>::max())
    value = std::numeric_limits<std::int32_t>::max();
  token->param = static_cast<std::int32_t>(value);
}

bool RtfTokenizer::ReadHexByte(RtfToken* token) {
  const int high = Get();
  const int hv = HexValue(high);
  if (hv < 0) {
    Unget(high);
    return false;
  }
  const int low = Get();
  const int lv = HexValue(low);
  if (lv < 0) {
    Unget(low);
    return false;
  }
  token->type = RtfTokenType::kByte;
  token->ch = static_cast<unsigned char>(hv * 16 + lv);
  return true;
}

}  // namespace docfilter
