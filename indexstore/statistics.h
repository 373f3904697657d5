// Counting the catalogue: the statistics counters' recount from the database.
#pragma once

#include "indexstore/engine.h"

namespace ordalis {

// Number of Files rows.
[[nodiscard]] HRESULT CountProcessed(Engine& engine, UINT* count);
// Number of distinct files with at least one FilesWords row.
[[nodiscard]] HRESULT CountIndexed(Engine& engine, UINT* count);

}  // namespace ordalis
