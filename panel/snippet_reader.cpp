#include "panel/snippet_reader.h"

#include "panel/store_object.h"
#include "platform/com.h"
#include "query/query_steps.h"
#include "shared/itrovixdb.h"
#include "shared/itrovixsnippets.h"

namespace trovix::panel {
PassageReading ReadPassages(const WString& query, UINT flags, const WString& path) {
  PassageReading reading;
  if (query.empty()) return reading;
  reading.status = PassageStatus::kUnreadable;
  // Declared in this order so that the objects are released before the
  // library is uninitialised.
  const ComInit com;
  const ComPtr<ITrovixDB> store = CreateStore();
  if (!store) return reading;
  // A compaction holds the database: the panel leaves it alone meanwhile,
  // as its searches do.
  if (store->IsCompacting() == S_OK) return reading;
  static_cast<void>(store->Init());
  const HRESULT hr = query::ReadPassages(store.get(), query, flags, path, kSnippetMaxPassages,
                                         &reading.passages);
  reading.status = hr == S_OK      ? PassageStatus::kFound
                   : hr == S_FALSE ? PassageStatus::kNone
                                   : PassageStatus::kUnreadable;
  return reading;
}

}  // namespace trovix::panel
