// Folders and files the indexer leaves alone: the scanner does not walk them,
// the change monitor puts no watch on them, `trovix index` passes them over
// below the paths it is given, and a walk's pruning takes what was catalogued
// in them out of the index.
//
// The rules come from key K (see kestine_settings.h):
//  - "Skip Paths" (REG_MULTI_SZ): patterns; when the value is missing the
//    default list (DefaultSkipPatterns) applies. A REG_MULTI_SZ cannot hold
//    an empty list, so `trovix config` writes one holding only "/" for it: a
//    pattern without names, which matches nothing.
//  - "Index Hidden Folders" (DWORD, default 0): unless it is 1, a folder whose
//    name begins with "." is skipped.
//  - The index store's own folders (the database's and the suite's state
//    folder) are always skipped: indexing them would index the index.
//
// Pattern syntax (that of the panel's path patterns): "~" opening the pattern
// and $NAME or ${NAME} expand to the environment's values; "*" stands for any
// run of characters within one name (never a "/"); a pattern ending in "/"
// names folders only, any other pattern files and folders alike. A pattern
// beginning with "/" (after expansion) is matched against the whole path; any
// other against the path's last names, so "node_modules" skips a folder of
// that name wherever it is and "build/tmp/" every "tmp" folder of a "build".
// Names compare exactly (case included), as the file system does.
#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "indexer/kestine_settings.h"

namespace trovix::indexer {

namespace kestine {
// REG_MULTI_SZ beside "Index Roots".
inline constexpr std::u16string_view kSkipPaths = u"Skip Paths";
inline constexpr DwordValue kIndexHiddenFolders{u"Index Hidden Folders"};
inline constexpr DWORD kDefaultIndexHiddenFolders = 0;
}  // namespace kestine

// The patterns in force when "Skip Paths" is missing. The version-control
// folders are hidden anyway; they are listed so that indexing hidden folders
// still leaves them out.
[[nodiscard]] std::vector<std::string> DefaultSkipPatterns();

// The "Skip Paths" patterns as configured (UTF-8); the default list when the
// value is missing or cannot be read.
[[nodiscard]] std::vector<std::string> ConfiguredSkipPatterns();

// Immutable once made: any thread may ask it.
class SkipRules {
 public:
  // Skips nothing.
  SkipRules() = default;
  // `patterns` in the syntax above, expanded now; `always` absolute folders
  // skipped whatever the settings say.
  SkipRules(const std::vector<std::string>& patterns, bool index_hidden,
            std::vector<std::string> always);
  // The rules of the user's registry, with the suite's own folders.
  [[nodiscard]] static SkipRules FromRegistry();

  // True when the entry at the absolute `path` (no trailing "/") is skipped:
  // a folder then with everything below it. Only the entry's own name and
  // path are tested, not its parents': a walk asks before entering each
  // folder.
  [[nodiscard]] bool Skips(std::string_view path, bool folder) const;
  // True when `path`, or a folder between `top` and it, is skipped. `top`
  // itself is not tested: a root, or a path named on the command line, is
  // indexed whatever the rules say. A `path` not below `top` has all its
  // folders tested.
  [[nodiscard]] bool SkipsBelow(std::string_view top, std::string_view path, bool folder) const;

 private:
  struct Pattern {
    std::vector<std::string> names;  // the components, "*" wildcards kept
    bool absolute = false;
    bool folders_only = false;
  };
  [[nodiscard]] static bool Matches(const Pattern& pattern,
                                    const std::vector<std::string_view>& names);

  std::vector<Pattern> patterns_;
  bool index_hidden_ = true;
  std::vector<std::string> always_;
};

// The rules in force, replaced as a whole when the settings change. Any
// thread; a caller keeps the snapshot it got for the length of one walk.
class SharedSkipRules {
 public:
  [[nodiscard]] std::shared_ptr<const SkipRules> Get() const {
    const std::lock_guard lock(mutex_);
    return rules_;
  }
  void Set(SkipRules rules) {
    auto fresh = std::make_shared<const SkipRules>(std::move(rules));
    const std::lock_guard lock(mutex_);
    rules_ = std::move(fresh);
  }

 private:
  mutable std::mutex mutex_;
  std::shared_ptr<const SkipRules> rules_ = std::make_shared<const SkipRules>();  // guarded
};

}  // namespace trovix::indexer
