#include "filters/filter_host/mime_decode.h"

#include <algorithm>
#include <cctype>

#include "filters/filter_host/charset_decoder.h"
#include "platform/wstring.h"

namespace docfilter {
namespace {

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

int Base64Value(char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  return -1;
}

bool IsSpace(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

std::string_view Trim(std::string_view s) {
  while (!s.empty() && IsSpace(s.front())) s.remove_prefix(1);
  while (!s.empty() && IsSpace(s.back())) s.remove_suffix(1);
  return s;
}

std::string Lower(std::string_view s) {
  std::string lower(s);
  std::transform(lower.begin(), lower.end(), lower.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return lower;
}

// The Q encoding of header words: quoted-printable with '_' for a space.
std::string DecodeQ(std::string_view text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const int high = text[i] == '=' && i + 2 < text.size() ? HexValue(text[i + 1]) : -1;
    const int low = high >= 0 ? HexValue(text[i + 2]) : -1;
    if (low >= 0) {
      out.push_back(static_cast<char>(high * 16 + low));
      i += 2;
    } else {
      out.push_back(text[i] == '_' ? ' ' : text[i]);
    }
  }
  return out;
}

// One encoded word at the start of `text`: its length, charset (without an
// RFC 2231 language suffix) and decoded bytes; 0 when none starts there.
std::size_t ParseEncodedWord(std::string_view text, std::string* charset, std::string* bytes) {
  if (text.substr(0, 2) != "=?") return 0;
  const std::size_t q1 = text.find('?', 2);
  if (q1 == std::string_view::npos || q1 + 2 >= text.size() || text[q1 + 2] != '?') return 0;
  const std::size_t end = text.find("?=", q1 + 3);
  if (end == std::string_view::npos) return 0;
  const std::string_view payload = text.substr(q1 + 3, end - q1 - 3);
  if (std::any_of(payload.begin(), payload.end(), IsSpace)) return 0;
  const std::string_view name = text.substr(2, q1 - 2);
  *charset = Lower(name.substr(0, name.find('*')));
  const char encoding = static_cast<char>(std::tolower(static_cast<unsigned char>(text[q1 + 1])));
  if (encoding == 'b') {
    *bytes = DecodeBase64(payload);
  } else if (encoding == 'q') {
    *bytes = DecodeQ(payload);
  } else {
    return 0;
  }
  return end + 2;
}

// A parameter's value at the start of `text` (a token or a quoted string);
// `*used` is how much of `text` it took.
std::string ParamValue(std::string_view text, std::size_t* used) {
  std::string value;
  std::size_t i = 0;
  if (!text.empty() && text[0] == '"') {
    for (i = 1; i < text.size() && text[i] != '"'; ++i) {
      if (text[i] == '\\' && i + 1 < text.size()) ++i;
      value.push_back(text[i]);
    }
    *used = std::min(i + 1, text.size());
    return value;
  }
  while (i < text.size() && text[i] != ';' && !IsSpace(text[i])) value.push_back(text[i++]);
  *used = i;
  return value;
}

}  // namespace

std::string DecodeBase64(std::string_view text) {
  std::string out;
  out.reserve(text.size() / 4 * 3);
  std::uint32_t bits = 0;
  int count = 0;
  for (const char c : text) {
    if (c == '=') {
      count = 0;  // padding: the bits of an unfinished byte are dropped
      continue;
    }
    const int value = Base64Value(c);
    if (value < 0) continue;
    bits = (bits << 6) | static_cast<std::uint32_t>(value);
    count += 6;
    if (count >= 8) {
      count -= 8;
      out.push_back(static_cast<char>((bits >> count) & 0xFF));
    }
  }
  return out;
}

std::string DecodeQuotedPrintable(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '=') {
      out.push_back(text[i]);
      continue;
    }
    // A soft line break, possibly with white space the sender left after
    // the '='.
    std::size_t j = i + 1;
    while (j < text.size() && (text[j] == ' ' || text[j] == '\t' || text[j] == '\r')) ++j;
    if (j == text.size() || text[j] == '\n') {
      i = j;
      continue;
    }
    const int high = i + 2 < text.size() ? HexValue(text[i + 1]) : -1;
    const int low = high >= 0 ? HexValue(text[i + 2]) : -1;
    if (low < 0) {
      out.push_back('=');
      continue;
    }
    out.push_back(static_cast<char>(high * 16 + low));
    i += 2;
  }
  return out;
}

std::string DecodeHeaderText(std::string_view value) {
  std::u16string text;
  std::string pending_charset;
  std::string pending;  // bytes of adjacent encoded words in one charset
  const auto flush = [&] {
    if (pending.empty()) return;
    CharsetDecoder(pending_charset).Decode(pending, &text);
    pending.clear();
  };
  CharsetDecoder plain("UTF-8");
  std::size_t i = 0;
  while (i < value.size()) {
    std::string charset;
    std::string bytes;
    const std::size_t used = ParseEncodedWord(value.substr(i), &charset, &bytes);
    if (used > 0) {
      // Adjacent words are joined as bytes first: a sender may split one
      // multi-byte character across two words.
      if (charset != pending_charset) flush();
      pending_charset = charset;
      pending += bytes;
      i += used;
      std::size_t next = i;
      while (next < value.size() && IsSpace(value[next])) ++next;
      if (value.substr(next, 2) == "=?" && ParseEncodedWord(value.substr(next), &charset, &bytes)) {
        i = next;
      }
      continue;
    }
    flush();
    std::size_t next = value.find("=?", i + 1);
    if (next == std::string_view::npos) next = value.size();
    plain.Decode(value.substr(i, next - i), &text);
    i = next;
  }
  flush();
  return Utf16ToUtf8(text);
}

ContentType ParseContentType(std::string_view value) {
  ContentType result;
  const std::size_t semicolon = value.find(';');
  result.type = Lower(Trim(value.substr(0, semicolon)));
  std::size_t i = semicolon;
  while (i != std::string_view::npos && i < value.size()) {
    const std::size_t eq = value.find('=', i + 1);
    if (eq == std::string_view::npos) break;
    const std::size_t next = value.find(';', i + 1);
    if (next < eq) {  // a parameter without a value
      i = next;
      continue;
    }
    const std::string name = Lower(Trim(value.substr(i + 1, eq - i - 1)));
    std::size_t start = eq + 1;
    while (start < value.size() && IsSpace(value[start])) ++start;
    std::size_t used = 0;
    std::string param = ParamValue(value.substr(start), &used);
    if (name == "charset" && result.charset.empty()) result.charset = std::move(param);
    if (name == "boundary" && result.boundary.empty()) result.boundary = std::move(param);
    i = value.find(';', start + used);
  }
  return result;
}

}  // namespace docfilter
