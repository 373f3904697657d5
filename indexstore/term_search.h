// ITrovixTerms (shared/itrovixterms.h): a small object of its own, handed
// out by TrovixDB::QueryInterface. It keeps no state: everything it reads is
// the module's, under the module's critical section.
#pragma once

#include "platform/unknwn.h"

namespace ordalis {

// A new term search object with one reference, at `*ppv`. E_OUTOFMEMORY
// (and null) when memory runs out. It counts as a live object of the module.
[[nodiscard]] HRESULT CreateTermSearch(void** ppv);

}  // namespace ordalis
