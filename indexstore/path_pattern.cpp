#include "indexstore/path_pattern.h"

#include <cstdlib>
#include <optional>

#include "indexstore/word_query.h"
#include "platform/hresult.h"
#include "platform/wstring.h"

namespace ordalis {
namespace {

// Longest pattern read before expansion, so a caller's unterminated or
// absurd text is not walked without bound (the environment's own limit).
constexpr std::size_t kMaxRawPatternUnits = 32767;

std::optional<WString> Variable(std::u16string_view name) {
  if (name.empty()) return std::nullopt;
  const char* value = std::getenv(Utf16ToUtf8(name).c_str());
  if (value == nullptr) return std::nullopt;
  return Utf8ToUtf16(value);
}

bool IsNameStart(WCHAR c) {
  return c == u'_' || (c >= u'A' && c <= u'Z') || (c >= u'a' && c <= u'z');
}
bool IsNameUnit(WCHAR c) { return IsNameStart(c) || (c >= u'0' && c <= u'9'); }

// The reference at text[at] ("%NAME%", "${NAME}" or "$NAME"): its length,
// and its value when the variable is set. Length 0 when no reference starts
// there.
std::size_t Reference(std::u16string_view text, std::size_t at, std::optional<WString>* value) {
  const WCHAR opener = text[at];
  std::size_t name_begin = at + 1;
  std::size_t name_end = 0;
  std::size_t end = 0;  // one past the reference
  if (opener == u'%' || (opener == u'$' && at + 1 < text.size() && text[at + 1] == u'{')) {
    if (opener == u'$') ++name_begin;
    name_end = text.find(opener == u'%' ? u'%' : u'}', name_begin);
    if (name_end == std::u16string_view::npos) return 0;
    end = name_end + 1;
  } else if (opener == u'$' && at + 1 < text.size() && IsNameStart(text[at + 1])) {
    name_end = name_begin;
    while (name_end < text.size() && IsNameUnit(text[name_end])) ++name_end;
    end = name_end;
  } else {
    return 0;
  }
  *value = Variable(text.substr(name_begin, name_end - name_begin));
  return end - at;
}

// True when text[at] is a "~" standing for the home folder.
bool IsHomeTilde(std::u16string_view text, std::size_t at) {
  if (text[at] != u'~') return false;
  if (at != 0 && !(at == 1 && text[0] == u'"')) return false;
  const std::size_t next = at + 1;
  return next == text.size() || text[next] == u'/' || text[next] == u'"';
}

}  // namespace

WString ExpandPatternVariables(std::u16string_view pattern) {
  WString out;
  std::size_t at = 0;
  while (at < pattern.size()) {
    const WCHAR c = pattern[at];
    if (c == u'%' || c == u'$') {
      std::optional<WString> value;
      const std::size_t length = Reference(pattern, at, &value);
      if (length != 0 && value) {
        out += *value;
        at += length;
        continue;
      }
      // An unset variable stays as written; for "%" only the sign is taken
      // as text, so its closing "%" may still open a reference that is set.
      const std::size_t literal = (length != 0 && c == u'$') ? length : 1;
      out += pattern.substr(at, literal);
      at += literal;
      continue;
    }
    std::optional<WString> home;
    if (IsHomeTilde(pattern, at) && (home = Variable(u"HOME"))) {
      out += *home;
    } else {
      out += c;
    }
    ++at;
  }
  return out;
}

HRESULT SplitPathPattern(const WCHAR* pattern, PatternParts* parts) {
  if (pattern == nullptr) return E_INVALIDARG;
  const std::size_t raw_length = WcsLenCapped(pattern, kMaxRawPatternUnits);
  if (raw_length > kMaxRawPatternUnits) return E_INVALIDARG;
  WString text = ExpandPatternVariables(std::u16string_view(pattern, raw_length));
  if (text.size() > kMaxPatternUnits) return E_INVALIDARG;
  if (text.size() >= 2 && text.front() == u'"' && text.back() == u'"') {
    text = text.substr(1, text.size() - 2);
  }
  std::u16string_view rest(text);
  PatternParts split;
  if (!rest.empty() && rest.front() == u'/') {
    split.drive = u"/";
    rest.remove_prefix(1);
  }
  const std::size_t last_slash = rest.rfind(u'/');
  const std::size_t file_begin = last_slash == std::u16string_view::npos ? 0 : last_slash + 1;
  split.file = rest.substr(file_begin);
  split.directory = rest.substr(0, file_begin);
  *parts = std::move(split);
  return S_OK;
}

WString CleanPathPattern(const PatternParts& parts) {
  return parts.drive + parts.directory + (parts.file.empty() ? WString(u"*") : parts.file);
}

std::string PathPatternQuery(const PatternParts& parts, std::vector<WString>* patterns) {
  for (const WString* part : {&parts.drive, &parts.directory, &parts.file}) {
    if (!part->empty()) patterns->push_back(LikePattern(*part));
  }
  const std::string drive = parts.drive.empty() ? "" : " and drives.name like ? escape '\\'";
  const std::string file = parts.file.empty() ? "" : " and files.name like ? escape '\\'";
  if (parts.directory.empty()) {
    return "select files.fileid from files, directories, drives where files.directoryid = "
           "directories.directoryid and directories.driveid = drives.driveid" +
           drive + file + " order by files.fileid";
  }
  return "select files.fileid from files where files.directoryid in (select "
         "directories.directoryid from directories, drives where directories.driveid = "
         "drives.driveid" +
         drive + " and directories.name like ? escape '\\')" + file + " order by files.fileid";
}

}  // namespace ordalis
