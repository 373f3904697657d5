#include "platform/wstring.h"

namespace {

constexpr char16_t kEscapeBase = 0xDC00;

// Length of the valid UTF-8 sequence at s[i], decoding it into `cp`; 0 when
// the bytes there are not a valid, shortest-form, non-surrogate sequence.
std::size_t DecodeUtf8(std::string_view s, std::size_t i, char32_t& cp) {
  const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(s[k]); };
  const unsigned char b0 = byte(i);
  if (b0 < 0x80) {
    cp = b0;
    return 1;
  }
  std::size_t len;
  char32_t min;
  if ((b0 & 0xE0) == 0xC0) {
    len = 2, cp = b0 & 0x1F, min = 0x80;
  } else if ((b0 & 0xF0) == 0xE0) {
    len = 3, cp = b0 & 0x0F, min = 0x800;
  } else if ((b0 & 0xF8) == 0xF0) {
    len = 4, cp = b0 & 0x07, min = 0x10000;
  } else {
    return 0;
  }
  if (i + len > s.size()) return 0;
  for (std::size_t k = 1; k < len; ++k) {
    const unsigned char b = byte(i + k);
    if ((b & 0xC0) != 0x80) return 0;
    cp = (cp << 6) | (b & 0x3F);
  }
  if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return 0;
  return len;
}

void AppendUtf8(std::string& out, char32_t cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

}  // namespace

// Both conversions write into a buffer sized for the worst case and cut it
// to length at the end: the names and values of the registry, the paths and
// the words they carry are mostly ASCII, which then costs one store per
// character instead of an append with its capacity check.

WString Utf8ToUtf16(std::string_view utf8) {
  // Never more units than bytes: a 4-byte sequence gives 2 units.
  WString out(utf8.size(), u'\0');
  char16_t* to = out.data();
  for (std::size_t i = 0; i < utf8.size();) {
    const auto b0 = static_cast<unsigned char>(utf8[i]);
    if (b0 < 0x80) {
      *to++ = b0;
      ++i;
      continue;
    }
    char32_t cp = 0;
    const std::size_t len = DecodeUtf8(utf8, i, cp);
    if (len == 0) {
      *to++ = static_cast<char16_t>(kEscapeBase | b0);
      ++i;
      continue;
    }
    if (cp >= 0x10000) {
      cp -= 0x10000;
      *to++ = static_cast<char16_t>(0xD800 + (cp >> 10));
      *to++ = static_cast<char16_t>(0xDC00 + (cp & 0x3FF));
    } else {
      *to++ = static_cast<char16_t>(cp);
    }
    i += len;
  }
  out.resize(static_cast<std::size_t>(to - out.data()));
  return out;
}

std::string Utf16ToUtf8(std::u16string_view utf16) {
  std::string out;
  std::size_t i = 0;
  // The ASCII run at the start, which is usually the whole text.
  while (i < utf16.size() && utf16[i] < 0x80) ++i;
  out.reserve(utf16.size() + (utf16.size() - i) * 2);
  out.resize(i);
  for (std::size_t k = 0; k < i; ++k) out[k] = static_cast<char>(utf16[k]);
  for (; i < utf16.size(); ++i) {
    const char16_t u = utf16[i];
    if (u >= 0xD800 && u <= 0xDBFF && i + 1 < utf16.size() && utf16[i + 1] >= 0xDC00 &&
        utf16[i + 1] <= 0xDFFF) {
      AppendUtf8(out,
                 0x10000 + ((static_cast<char32_t>(u - 0xD800) << 10) | (utf16[i + 1] - 0xDC00)));
      ++i;
    } else if (u >= 0xDC80 && u <= 0xDCFF) {
      // An escaped byte of a name that was not valid UTF-8 (bytes below 0x80
      // are always valid, so U+DC00..U+DC7F never stand for a byte).
      out += static_cast<char>(u & 0xFF);
    } else if (u >= 0xD800 && u <= 0xDFFF) {
      AppendUtf8(out, 0xFFFD);
    } else {
      AppendUtf8(out, u);
    }
  }
  return out;
}

std::size_t WcsLen(const WCHAR* s) {
  if (s == nullptr) return 0;
  std::size_t n = 0;
  while (s[n] != 0) ++n;
  return n;
}

std::size_t WcsLenCapped(const WCHAR* s, std::size_t limit) {
  if (s == nullptr) return 0;
  std::size_t n = 0;
  while (n <= limit && s[n] != 0) ++n;
  return n;
}

WString ToWString(const WCHAR* s) { return s == nullptr ? WString() : WString(s); }

std::string ToUtf8(const WCHAR* s) { return Utf16ToUtf8(ToWString(s)); }
