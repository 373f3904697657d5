// ITrovixSnippets (shared/itrovixsnippets.h): a small object of its own,
// handed out by TrovixDB::QueryInterface. It reads files through their
// content filters and keeps the texts last read in a cache of the module's,
// which has its own lock: no call takes the module's critical section.
#pragma once

#include "platform/unknwn.h"

namespace ordalis {

// A new snippet object with one reference, at `*ppv`. E_OUTOFMEMORY (and
// null) when memory runs out. It counts as a live object of the module.
[[nodiscard]] HRESULT CreateSnippets(void** ppv);

}  // namespace ordalis
