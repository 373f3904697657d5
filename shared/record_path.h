// The whole path of a file SearchNext reported. Its record holds MAX_PATH + 1
// units of path at most, and the catalogue holds paths of up to
// kMaxCataloguedPathBytes (shared/index_limits.h); a record whose path is
// longer than MAX_PATH units was cut, and the row of ITrovixResultRows
// carries the path whole.
#pragma once

#include "platform/types.h"
#include "shared/itrovixdb.h"
#include "shared/search_result.h"

namespace trovix {

// The path of the file of `record`: the record's own, or for a cut one the
// path read by its file identifier through ITrovixResultRows. S_OK with
// `*path` set; S_FALSE when the file has left the catalogue since; the
// store's failure (E_NOINTERFACE without that interface). `*path` is
// unchanged unless S_OK. The calling thread uses `store` as its other calls
// do; the store's critical section is taken for the one row.
[[nodiscard]] HRESULT RecordPath(ITrovixDB* store, const SearchResultRecord& record, WString* path);

}  // namespace trovix
