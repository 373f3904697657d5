#include "tools/cli/output.h"

#include <cstdio>
#include <ctime>

#include "platform/filetime.h"
#include "platform/wstring.h"

namespace trovix::cli {

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
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char16_t unit = text[i];
    const bool pair = unit >= 0xD800 && unit <= 0xDBFF && i + 1 < text.size() &&
                      text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF;
    if (pair) {
      out += Utf16ToUtf8(text.substr(i, 2));
      ++i;
    } else if (unit == u'"' || unit == u'\\') {
      out += '\\';
      out += static_cast<char>(unit);
    } else if (unit < 0x20 || (unit >= 0xD800 && unit <= 0xDFFF)) {
      char escape[8];
      std::snprintf(escape, sizeof escape, "\\u%04x", static_cast<unsigned>(unit));
      out += escape;
    } else {
      out += Utf16ToUtf8(text.substr(i, 1));
    }
  }
  return out + "\"";
}

}  // namespace trovix::cli
