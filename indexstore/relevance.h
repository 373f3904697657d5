// ITrovixRelevance (shared/itrovixrelevance.h): a small object of its own,
// handed out by TrovixDB::QueryInterface. It keeps no state: everything it
// reads is the module's, under the module's critical section.
#pragma once

#include "platform/unknwn.h"

namespace ordalis {

// A new relevance object with one reference, at `*ppv`. E_OUTOFMEMORY (and
// null) when memory runs out. It counts as a live object of the module.
[[nodiscard]] HRESULT CreateRelevance(void** ppv);

}  // namespace ordalis
