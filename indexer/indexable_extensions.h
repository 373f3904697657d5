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
  // Reads the registered file types from HKEY_CLASSES_ROOT.
  [[nodiscard]] static IndexableExtensionSet FromRegistry();

  void Insert(std::u16string_view extension);
  // `extension` with its dot; compared without regard to case (".TXT" is
  // indexable when ".txt" is).
  [[nodiscard]] bool Contains(std::u16string_view extension) const;
  [[nodiscard]] std::size_t size() const { return extensions_.size(); }

 private:
  std::set<WString> extensions_;  // upper-cased
};

}  // namespace trovix::indexer
