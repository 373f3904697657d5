#include "filters/text_decoder.h"

#include "filters/cp1252.h"

namespace txtfilter {
namespace {

using trovix::filters::Cp1252;

void AppendUnit(char16_t unit, std::u16string* out) { out->push_back(unit == 0 ? u' ' : unit); }

enum class Utf8Status { kComplete, kTruncated, kInvalid };

// Reads one multi-byte UTF-8 sequence at `p` (lead byte >= 0x80) of which
// `avail` bytes are known. kTruncated: the known bytes are a proper prefix
// of a well-formed sequence. Overlong forms, surrogates and code points past
// U+10FFFF are invalid.
Utf8Status ReadUtf8(const unsigned char* p, std::size_t avail, char32_t* cp, std::size_t* len) {
  const unsigned char lead = p[0];
  if (lead < 0xC2 || lead > 0xF4) return Utf8Status::kInvalid;
  *len = lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
  // The range of the second byte narrows for the leads that could otherwise
  // start an overlong form, a surrogate or a code point past U+10FFFF.
  const unsigned char low = lead == 0xE0 ? 0xA0 : lead == 0xF0 ? 0x90 : 0x80;
  const unsigned char high = lead == 0xED ? 0x9F : lead == 0xF4 ? 0x8F : 0xBF;
  char32_t value = lead & (0xFF >> (*len + 1));
  for (std::size_t k = 1; k < *len; ++k) {
    if (k >= avail) return Utf8Status::kTruncated;
    const unsigned char c = p[k];
    if (c < (k == 1 ? low : 0x80) || c > (k == 1 ? high : 0xBF)) return Utf8Status::kInvalid;
    value = (value << 6) | (c & 0x3F);
  }
  *cp = value;
  return Utf8Status::kComplete;
}

void AppendCodePoint(char32_t cp, std::u16string* out) {
  if (cp < 0x10000) {
    out->push_back(static_cast<char16_t>(cp));
  } else {
    cp -= 0x10000;
    out->push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
    out->push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
  }
}

// Decodes UTF-8 with the Windows-1252 fallback; returns the bytes consumed.
std::size_t DecodeUtf8(const std::string& bytes, bool final, std::u16string* out) {
  const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
  const std::size_t n = bytes.size();
  std::size_t i = 0;
  while (i < n) {
    if (p[i] < 0x80) {
      AppendUnit(p[i++], out);
      continue;
    }
    char32_t cp = 0;
    std::size_t len = 0;
    const Utf8Status status = ReadUtf8(p + i, n - i, &cp, &len);
    if (status == Utf8Status::kComplete) {
      AppendCodePoint(cp, out);
      i += len;
    } else if (status == Utf8Status::kTruncated && !final) {
      break;  // the rest of the sequence comes with the next block
    } else {
      out->push_back(Cp1252(p[i++]));
    }
  }
  return i;
}

std::size_t DecodeUtf16(const std::string& bytes, bool big_endian, std::u16string* out) {
  const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
  const std::size_t units = bytes.size() / 2;
  for (std::size_t u = 0; u < units; ++u) {
    const unsigned first = p[2 * u];
    const unsigned second = p[2 * u + 1];
    AppendUnit(static_cast<char16_t>(big_endian ? (first << 8) | second : (second << 8) | first),
               out);
  }
  return units * 2;
}

}  // namespace

void TextDecoder::Decode(std::span<const BYTE> bytes, std::u16string* out) {
  pending_.append(reinterpret_cast<const char*>(bytes.data()), bytes.size());
  Drain(/*final=*/false, out);
}

void TextDecoder::Finish(std::u16string* out) {
  Drain(/*final=*/true, out);
  pending_.clear();  // an odd byte at the end of UTF-16 text is no character
}

void TextDecoder::Reset() {
  encoding_ = TextEncoding::kUnknown;
  pending_.clear();
}

bool TextDecoder::DetectEncoding(bool final) {
  if (pending_.size() < 3 && !final) return false;
  const auto starts = [this](std::string_view mark) { return pending_.starts_with(mark); };
  if (starts("\xFF\xFE")) {
    encoding_ = TextEncoding::kUtf16Le;
    pending_.erase(0, 2);
  } else if (starts("\xFE\xFF")) {
    encoding_ = TextEncoding::kUtf16Be;
    pending_.erase(0, 2);
  } else {
    encoding_ = TextEncoding::kUtf8;
    if (starts("\xEF\xBB\xBF")) pending_.erase(0, 3);
  }
  return true;
}

void TextDecoder::Drain(bool final, std::u16string* out) {
  if (encoding_ == TextEncoding::kUnknown && !DetectEncoding(final)) return;
  std::size_t consumed = 0;
  switch (encoding_) {
    case TextEncoding::kUtf16Le:
    case TextEncoding::kUtf16Be:
      consumed = DecodeUtf16(pending_, encoding_ == TextEncoding::kUtf16Be, out);
      break;
    default:
      consumed = DecodeUtf8(pending_, final, out);
      break;
  }
  pending_.erase(0, consumed);
}

}  // namespace txtfilter
