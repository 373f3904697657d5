#include "tools/cli/info_commands.h"

#include <chrono>
#include <cstdio>

#include "platform/wstring.h"
#include "tools/cli/store_session.h"

namespace trovix::cli {
namespace {

template <typename Getter>
std::string Text(Getter getter) {
  WCHAR buffer[MAX_PATH + 2] = {};
  UINT size = MAX_PATH + 2;
  return getter(buffer, &size) == S_OK ? Utf16ToUtf8(buffer) : std::string("unknown");
}

std::string Number(HRESULT hr, UINT value) {
  return SUCCEEDED(hr) ? std::to_string(value) : "unknown (" + Describe(hr) + ")";
}

bool Open(StoreSession& store, std::ostream& err) {
  if (SUCCEEDED(store.status())) return true;
  err << "trovix: " << store.error() << "\n";
  return false;
}

}  // namespace

int RunStats(std::ostream& out, std::ostream& err) {
  StoreSession store;
  if (!Open(store, err)) return 2;
  // Counters kept between runs may be behind what another process (the
  // indexer) has done since: count the rows afresh.
  const HRESULT recount_hr = store->RequeryStatistics();
  if (FAILED(recount_hr)) err << "trovix: cannot count the files: " << Describe(recount_hr) << "\n";
  UINT processed = 0, indexed = 0, added = 0, updated = 0, size = 0, reclaimable = 0;
  const HRESULT processed_hr = store->GetProcessedFileCount(&processed);
  const HRESULT indexed_hr = store->GetIndexedFileCount(&indexed);
  const HRESULT stats_hr = store->GetCompactionStats(&added, &updated, nullptr);
  const HRESULT size_hr = store->GetDBFileSize(&size);
  const HRESULT free_hr = store->GetCompactionSpaceFree(&reclaimable);
  out << "Files catalogued:      " << Number(processed_hr, processed) << "\n"
      << "Files indexed:         " << Number(indexed_hr, indexed) << "\n"
      << "Files updated (now):   " << Number(stats_hr, updated) << "\n"
      << "Database size:         " << Number(size_hr, size) << " bytes\n"
      << "Reclaimable by compact:"
      << " " << Number(free_hr, reclaimable) << " bytes\n"
      << "Last indexed file:     "
      << Text([&](WCHAR* s, UINT* n) { return store->GetLastIndexedFile(s, n); }) << "\n"
      << "Database:              "
      << Text([&](WCHAR* s, UINT* n) { return store->GetDBFileName(s, n); }) << "\n"
      << "Diagnostic log:        "
      << Text([&](WCHAR* s, UINT* n) { return store->GetLogFileName(s, n); }) << "\n";
  // A counter that cannot be read means the numbers above are not the
  // index's: a script must not take them for it.
  for (const HRESULT hr : {processed_hr, indexed_hr, stats_hr, size_hr, free_hr}) {
    if (SUCCEEDED(hr)) continue;
    err << "trovix: cannot read the counters: " << Describe(hr) << "\n";
    return 2;
  }
  return FAILED(recount_hr) ? 2 : 0;
}

int RunDuplicates(const std::string& file, std::ostream& out, std::ostream& err) {
  StoreSession store;
  if (!Open(store, err)) return 2;
  WCHAR path[MAX_PATH + 2] = {};
  UINT handle = 0;
  HRESULT hr =
      store->FindFirstDuplicateFile(Utf8ToUtf16(file).c_str(), path, MAX_PATH + 1, &handle);
  if (FAILED(hr)) {
    err << "trovix: cannot look for duplicates of " << file << ": " << Describe(hr) << "\n";
    return 2;
  }
  int found = 0;
  while (hr == S_OK) {
    out << Utf16ToUtf8(path) << "\n";
    ++found;
    hr = store->FindNextDuplicateFile(path, MAX_PATH + 1, handle);
  }
  if (handle != 0) static_cast<void>(store->FindCloseDuplicateFile(handle));
  if (FAILED(hr)) err << "trovix: reading the duplicates failed: " << Describe(hr) << "\n";
  return FAILED(hr) ? 2 : found > 0 ? 0 : 1;
}

int RunCompact(std::ostream& out, std::ostream& err) {
  StoreSession store;
  if (!Open(store, err)) return 2;
  UINT before = 0;
  UINT after = 0;
  const HRESULT size_hr = store->GetDBFileSize(&before);
  const auto start = std::chrono::steady_clock::now();
  const HRESULT hr = store->CompactDatabase();
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  if (FAILED(hr)) {
    err << "trovix: compaction failed: " << Describe(hr)
        << "; the database is unchanged, details are in the diagnostic log\n";
    return 2;
  }
  char line[160];
  if (SUCCEEDED(size_hr) && SUCCEEDED(store->GetDBFileSize(&after))) {
    std::snprintf(line, sizeof line, "Compacted in %.2f s: %u bytes before, %u after\n", seconds,
                  before, after);
  } else {
    std::snprintf(line, sizeof line, "Compacted in %.2f s\n", seconds);
  }
  out << line;
  return 0;
}

}  // namespace trovix::cli
