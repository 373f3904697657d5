#include "tools/cli/output.h"

#include <cstdio>
#include <ctime>

#include "platform/filetime.h"
#include "platform/wstring.h"

namespace trovix::cli {
namespace {

bool IsHighSurrogate(char16_t unit) { return unit >= 0xD800 && unit <= 0xDBFF; }
bool IsLowSurrogate(char16_t unit) { return unit >= 0xDC00 && unit <= 0xDFFF; }

// The length of the character at text[i]: 2 for a surrogate pair, else 1.
// `*lone` is set when text[i] is a surrogate outside a pair.
std::size_t CharacterAt(std::u16string_view text, std::size_t i, bool* lone) {
  const char16_t unit = text[i];
  if (IsHighSurrogate(unit) && i + 1 < text.size() && IsLowSurrogate(text[i + 1])) {
    *lone = false;
    return 2;
  }
  *lone = IsHighSurrogate(unit) || IsLowSurrogate(unit);
  return 1;
}

std::string Hex(const char* format, unsigned value) {
  char text[16];
  std::snprintf(text, sizeof text, format, value);
  return text;
}

}  // namespace

std::string LocalTimeText(FILETIME time) {
  if (FileTimeToInt64(time) == 0) return "-";
  const std::time_t seconds = FileTimeToTimespec(time).tv_sec;
  std::tm tm{};
  localtime_r(&seconds, &tm);
  char text[80];
  std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d", tm.tm_year + 1900,
                tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec);
  return text;
}

std::string JsonString(std::u16string_view text) {
  std::string out = "\"";
  for (std::size_t i = 0; i < text.size();) {
    bool lone = false;
    const std::size_t length = CharacterAt(text, i, &lone);
    const char16_t unit = text[i];
    if (lone) {
      out += "\xEF\xBF\xBD";  // U+FFFD
    } else if (unit == u'"' || unit == u'\\') {
      out += '\\';
      out += static_cast<char>(unit);
    } else if (unit < 0x20) {
      out += Hex("\\u%04x", unit);
    } else {
      out += Utf16ToUtf8(text.substr(i, length));
    }
    i += length;
  }
  return out + "\"";
}

bool NameIsUtf8(std::u16string_view name) {
  for (std::size_t i = 0; i < name.size();) {
    bool lone = false;
    i += CharacterAt(name, i, &lone);
    if (lone) return false;
  }
  return true;
}

std::string Base64(std::string_view bytes) {
  static constexpr char kDigits[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  out.reserve((bytes.size() + 2) / 3 * 4);
  for (std::size_t i = 0; i < bytes.size(); i += 3) {
    const std::size_t left = bytes.size() - i;
    std::uint32_t group = static_cast<unsigned char>(bytes[i]) << 16;
    if (left > 1) group |= static_cast<unsigned char>(bytes[i + 1]) << 8;
    if (left > 2) group |= static_cast<unsigned char>(bytes[i + 2]);
    out += kDigits[(group >> 18) & 63];
    out += kDigits[(group >> 12) & 63];
    out += left > 1 ? kDigits[(group >> 6) & 63] : '=';
    out += left > 2 ? kDigits[group & 63] : '=';
  }
  return out;
}

// A lone surrogate U+DCxx stands for the byte xx (see platform/wstring.h).
std::string TerminalText(std::u16string_view name) {
  std::string out;
  for (std::size_t i = 0; i < name.size();) {
    bool lone = false;
    const std::size_t length = CharacterAt(name, i, &lone);
    const char16_t unit = name[i];
    if (lone) {
      out += Hex("\\x%02x", unit & 0xFFu);
    } else if (unit == u'\\') {
      out += "\\\\";
    } else if (unit == u'\t') {
      out += "\\t";
    } else if (unit == u'\n') {
      out += "\\n";
    } else if (unit == u'\r') {
      out += "\\r";
    } else if (unit < 0x20 || unit == 0x7F) {
      out += Hex("\\x%02x", unit);
    } else if (unit >= 0x80 && unit <= 0x9F) {
      out += Hex("\\u%04x", unit);
    } else {
      out += Utf16ToUtf8(name.substr(i, length));
    }
    i += length;
  }
  return out;
}

}  // namespace trovix::cli
