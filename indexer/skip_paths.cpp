#include "indexer/skip_paths.h"

#include <cstdlib>

#include "platform/paths.h"
#include "platform/reg_key.h"
#include "platform/wstring.h"
#include "shared/database_format.h"
#include "shared/registry_keys.h"

namespace trovix::indexer {
namespace {

bool IsNameChar(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_';
}

// "~" opening the text (alone or before "/") and $NAME or ${NAME}; a
// variable that is not set stays as written.
std::string Expand(std::string_view pattern) {
  std::string out;
  std::size_t at = 0;
  if (pattern.starts_with('~') && (pattern.size() == 1 || pattern[1] == '/')) {
    const char* home = std::getenv("HOME");
    out = home != nullptr ? home : "~";
    at = 1;
  }
  while (at < pattern.size()) {
    const char c = pattern[at];
    if (c != '$') {
      out += c;
      ++at;
      continue;
    }
    const bool braced = at + 1 < pattern.size() && pattern[at + 1] == '{';
    std::size_t begin = at + (braced ? 2 : 1);
    std::size_t end = begin;
    while (end < pattern.size() && IsNameChar(pattern[end])) ++end;
    const bool closed = !braced || (end < pattern.size() && pattern[end] == '}');
    const std::string name(pattern.substr(begin, end - begin));
    const char* value = name.empty() || !closed ? nullptr : std::getenv(name.c_str());
    const std::size_t next = end + (braced && closed ? 1 : 0);
    if (value != nullptr) {
      out += value;
    } else {
      out += pattern.substr(at, next - at);
    }
    at = std::max(next, at + 1);
  }
  return out;
}

std::vector<std::string_view> Split(std::string_view path) {
  std::vector<std::string_view> names;
  std::size_t at = 0;
  while (at <= path.size()) {
    const std::size_t slash = std::min(path.find('/', at), path.size());
    if (slash > at) names.push_back(path.substr(at, slash - at));
    at = slash + 1;
  }
  return names;
}

// `*` matches any run of characters; everything else itself.
bool GlobMatch(std::string_view pattern, std::string_view name) {
  std::size_t p = 0;
  std::size_t n = 0;
  std::size_t star = std::string_view::npos;
  std::size_t resume = 0;
  while (n < name.size()) {
    if (p < pattern.size() && pattern[p] == '*') {
      star = p++;
      resume = n;
    } else if (p < pattern.size() && pattern[p] == name[n]) {
      ++p;
      ++n;
    } else if (star != std::string_view::npos) {
      p = star + 1;
      n = ++resume;
    } else {
      return false;
    }
  }
  while (p < pattern.size() && pattern[p] == '*') ++p;
  return p == pattern.size();
}

std::string WithoutTrailingSlash(std::string path) {
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  return path;
}

// The suite's own folders: the database's and the state folder (backlog,
// run marker, logs).
std::vector<std::string> OwnFolders() {
  std::vector<std::string> own;
  const std::string database = DefaultDatabaseLocation().path;
  if (const std::size_t slash = database.rfind('/'); slash != std::string::npos && slash > 0) {
    own.push_back(database.substr(0, slash));
  }
  if (const std::string state = SuiteStateDir(); !state.empty()) own.push_back(state);
  return own;
}

}  // namespace

std::vector<std::string> DefaultSkipPatterns() {
  return {"~/.cache/", "~/.local/share/Trash/", "node_modules/", "__pycache__/", ".git/", ".hg/",
          ".svn/"};
}

std::vector<std::string> ConfiguredSkipPatterns() {
  RegKey key;
  std::vector<WString> values;
  if (RegKey::Open(HKEY_CURRENT_USER, keys::kKestine, &key) != ERROR_SUCCESS ||
      key.GetMultiString(kestine::kSkipPaths, &values) != ERROR_SUCCESS) {
    return DefaultSkipPatterns();
  }
  std::vector<std::string> patterns;
  for (const WString& value : values) patterns.push_back(Utf16ToUtf8(value));
  return patterns;
}

SkipRules::SkipRules(const std::vector<std::string>& patterns, bool index_hidden,
                     std::vector<std::string> always)
    : index_hidden_(index_hidden) {
  for (const std::string& text : patterns) {
    const std::string expanded = Expand(text);
    Pattern pattern;
    pattern.absolute = expanded.starts_with('/');
    pattern.folders_only = expanded.ends_with('/');
    for (const std::string_view name : Split(expanded)) pattern.names.emplace_back(name);
    if (!pattern.names.empty()) patterns_.push_back(std::move(pattern));
  }
  for (std::string& folder : always) {
    if (folder.starts_with('/')) always_.push_back(WithoutTrailingSlash(std::move(folder)));
  }
}

SkipRules SkipRules::FromRegistry() {
  const std::optional<DWORD> hidden = KestineKey::Global().Read(kestine::kIndexHiddenFolders);
  return SkipRules(ConfiguredSkipPatterns(),
                   hidden.value_or(kestine::kDefaultIndexHiddenFolders) == 1, OwnFolders());
}

bool SkipRules::Matches(const Pattern& pattern, const std::vector<std::string_view>& names) {
  if (pattern.names.size() > names.size()) return false;
  if (pattern.absolute && pattern.names.size() != names.size()) return false;
  const std::size_t offset = names.size() - pattern.names.size();
  for (std::size_t i = 0; i < pattern.names.size(); ++i) {
    if (!GlobMatch(pattern.names[i], names[offset + i])) return false;
  }
  return true;
}

bool SkipRules::Skips(std::string_view path, bool folder) const {
  const std::vector<std::string_view> names = Split(path);
  if (names.empty()) return false;  // the root folder "/"
  if (folder) {
    if (!index_hidden_ && names.back().starts_with('.')) return true;
    for (const std::string& own : always_) {
      if (path == own) return true;
    }
  }
  for (const Pattern& pattern : patterns_) {
    if (pattern.folders_only && !folder) continue;
    if (Matches(pattern, names)) return true;
  }
  return false;
}

bool SkipRules::SkipsBelow(std::string_view top, std::string_view path, bool folder) const {
  while (top.size() > 1 && top.ends_with('/')) top.remove_suffix(1);
  std::size_t from = 1;
  if (path.starts_with(top) &&
      (path.size() == top.size() || path[top.size()] == '/' || top == "/")) {
    if (path.size() == top.size()) return false;
    from = top.size() + 1;
  }
  for (std::size_t slash = path.find('/', from); slash != std::string_view::npos;
       slash = path.find('/', slash + 1)) {
    if (slash > 0 && Skips(path.substr(0, slash), /*folder=*/true)) return true;
  }
  return Skips(path, folder);
}

}  // namespace trovix::indexer
