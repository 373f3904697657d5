#include "filters/filter_host/charset_decoder.h"

#include <algorithm>
#include <bit>
#include <cerrno>
#include <string>

#include "filters/cp1252.h"

namespace docfilter {
namespace {

// UTF-16 in this machine's byte order, without a byte order mark.
constexpr const char* kTarget =
    std::endian::native == std::endian::little ? "UTF-16LE" : "UTF-16BE";

using trovix::filters::Cp1252;

std::string Lower(std::string_view s) {
  std::string lower(s);
  std::transform(lower.begin(), lower.end(), lower.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return lower;
}

// Names come from documents: only plain names reach iconv_open, never one
// with "//" suffixes or path-like parts, and never an overlong one.
bool IsSafeName(std::string_view name) {
  if (name.empty() || name.size() > 40) return false;
  return std::all_of(name.begin(), name.end(), [](unsigned char c) {
    return std::isalnum(c) || c == '-' || c == '_' || c == '.' || c == ':';
  });
}

// The iconv name for a MIME name, where the two differ in substance.
std::string IconvName(std::string_view charset) {
  const std::string name = Lower(charset);
  // Text labelled Latin-1 or ASCII is in practice often Windows-1252 or
  // UTF-8; Windows-1252 is a superset of Latin-1's printable characters.
  if (name == "iso-8859-1" || name == "latin1" || name == "iso_8859-1" || name == "l1") {
    return "CP1252";
  }
  if (name == "us-ascii" || name == "ascii" || name == "ansi_x3.4-1968") return "";
  if (name == "ks_c_5601-1987" || name == "ks_c_5601") return "CP949";
  if (name == "x-sjis" || name == "shift-jis") return "SHIFT_JIS";
  if (name == "gb2312" || name == "x-gbk") return "GBK";
  return name;
}

std::string CodePageName(int code_page) {
  switch (code_page) {
    case 10000:
      return "MACINTOSH";
    case 10007:
      return "MAC-CYRILLIC";
    case 10029:
      return "MAC-CENTRALEUROPE";
    case 20866:
      return "KOI8-R";
    case 21866:
      return "KOI8-U";
    case 20932:
    case 51932:
      return "EUC-JP";
    case 51949:
      return "EUC-KR";
    case 50220:
    case 50221:
    case 50222:
      return "ISO-2022-JP";
    case 54936:
      return "GB18030";
    case 65001:
      return "UTF-8";
    case 28603:
      return "ISO-8859-13";
    case 28605:
      return "ISO-8859-15";
    default:
      break;
  }
  if (code_page >= 28591 && code_page <= 28599) {
    return "ISO-8859-" + std::to_string(code_page - 28590);
  }
  if (code_page <= 0 || code_page > 65535) return "";
  return "CP" + std::to_string(code_page);
}

}  // namespace

CharsetDecoder::CharsetDecoder(std::string_view charset) {
  const std::string name = IsSafeName(charset) ? IconvName(charset) : std::string();
  iconv_t cd = name.empty() ? reinterpret_cast<iconv_t>(-1) : iconv_open(kTarget, name.c_str());
  if (cd == reinterpret_cast<iconv_t>(-1)) cd = iconv_open(kTarget, "UTF-8");
  if (cd != reinterpret_cast<iconv_t>(-1)) cd_.reset(cd);
}

CharsetDecoder CharsetDecoder::ForCodePage(int code_page) {
  return CharsetDecoder(CodePageName(code_page));
}

void CharsetDecoder::Decode(std::string_view bytes, std::u16string* out) {
  if (cd_ == nullptr) {  // iconv itself is unusable: one character per byte
    for (unsigned char b : bytes) out->push_back(Cp1252(b));
    return;
  }
  const iconv_t cd = static_cast<iconv_t>(cd_.get());
  iconv(cd, nullptr, nullptr, nullptr, nullptr);
  char16_t buffer[2048];
  char* in = const_cast<char*>(bytes.data());
  std::size_t in_left = bytes.size();
  while (in_left > 0) {
    char* to = reinterpret_cast<char*>(buffer);
    std::size_t to_left = sizeof buffer;
    const std::size_t done = iconv(cd, &in, &in_left, &to, &to_left);
    const int error = done == static_cast<std::size_t>(-1) ? errno : 0;
    out->append(buffer, (sizeof buffer - to_left) / sizeof(char16_t));
    // EILSEQ, or EINVAL for a sequence the input ends inside: that byte is
    // taken on its own and decoding goes on after it.
    if (error != 0 && error != E2BIG && in_left > 0) {
      out->push_back(Cp1252(static_cast<unsigned char>(*in)));
      ++in;
      --in_left;
    }
  }
  // Stateful sets may still owe output for the shift state they end in.
  char* to = reinterpret_cast<char*>(buffer);
  std::size_t to_left = sizeof buffer;
  iconv(cd, nullptr, nullptr, &to, &to_left);
  out->append(buffer, (sizeof buffer - to_left) / sizeof(char16_t));
}

int CodePageOfFontCharset(int charset) {
  switch (charset) {
    case 0:
      return 1252;
    case 77:
      return 10000;
    case 128:
      return 932;
    case 129:
      return 949;
    case 130:
      return 1361;
    case 134:
      return 936;
    case 136:
      return 950;
    case 161:
      return 1253;
    case 162:
      return 1254;
    case 163:
      return 1258;
    case 177:
      return 1255;
    case 178:
      return 1256;
    case 186:
      return 1257;
    case 204:
      return 1251;
    case 222:
      return 874;
    case 238:
      return 1250;
    case 254:
      return 437;
    case 255:
      return 850;
    default:
      return 0;  // 1 (default), 2 (symbol) and unknown values
  }
}

}  // namespace docfilter
