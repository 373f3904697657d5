// The file extensions the indexer reads: every extension registered with a
// file type that has a shell verb (an "open" command), as the installation
// registers them. Filled once; read-only afterwards, so any thread may read it.
#pragma once

#include <set>
#include <string_view>

#include "platform/types.h"

namespace trovix::indexer {

class IndexableExtensionSet {
 public:
  // Reads the registered file types from HKEY_CLASSES_ROOT, and Kestine's
  // "Index All File Names" (kIndexAllFileNames).
  [[nodiscard]] static IndexableExtensionSet FromRegistry();

  void Insert(std::u16string_view extension);
  // Every file is wanted, whatever its extension or none: a file of no
  // registered type is catalogued by its name alone (the store finds no
  // filter for it), so that pictures, archives and videos are found by
  // name too.
  void IncludeEveryName() { every_name_ = true; }
  // `extension` with its dot; compared without regard to case (".TXT" is
  // indexable when ".txt" is). Also true for the empty extension once
  // IncludeEveryName was called.
  [[nodiscard]] bool Contains(std::u16string_view extension) const;
  [[nodiscard]] std::size_t size() const { return extensions_.size(); }

 private:
  std::set<WString> extensions_;  // upper-cased
  bool every_name_ = false;
};

}  // namespace trovix::indexer
