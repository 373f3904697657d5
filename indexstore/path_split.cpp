#include "indexstore/path_split.h"

namespace ordalis {
namespace {

constexpr std::size_t kNone = std::u16string_view::npos;

// Where the second component starts; kNone when the path has no root.
std::size_t SecondComponent(std::u16string_view path) {
  if (path.empty() || path[0] != u'/') return kNone;
  return path.size() > 1 && path[1] == u'/' ? 2 : 1;
}

// Where the last component starts: after the last "/" followed by a character
// other than "/"; kNone when there is none. Such a "/" is never part of the
// drive, so the result never lies before the second component.
std::size_t LastComponent(std::u16string_view path) {
  for (std::size_t i = path.size(); i-- > 1;) {
    if (path[i] != u'/' && path[i - 1] == u'/') return i;
  }
  return kNone;
}

}  // namespace

bool SplitPath(std::u16string_view path, PathParts* out) {
  const std::size_t second = SecondComponent(path);
  const std::size_t last = LastComponent(path);
  if (second == kNone || last == kNone) return false;
  out->drive.assign(path.substr(0, second));
  out->directory.assign(path.substr(second, last - second));
  out->file.assign(path.substr(last));
  return true;
}

bool SplitDirectoryPath(std::u16string_view path, PathParts* out) {
  const std::size_t second = SecondComponent(path);
  if (second == kNone) return false;
  out->drive.assign(path.substr(0, second));
  out->directory.assign(path.substr(second));
  if (!out->directory.empty() && out->directory.back() != u'/') out->directory += u'/';
  out->file.clear();
  return true;
}

}  // namespace ordalis
