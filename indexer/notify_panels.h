// Telling the search panels and desk bands of the user's session about a
// compaction, by posting to their message ports.
#pragma once

#include "platform/types.h"

namespace trovix::indexer {

// Posts `message` (WM_COMPACTION_BEGIN or WM_COMPACTION_END, parameters 0)
// to every top-level port whose title begins with "Vistrel", and to every
// descendant titled "Trovix..." of every top-level port titled "Trovix...".
// Ports that cannot take it are passed over.
void NotifyPanels(UINT message);

}  // namespace trovix::indexer
