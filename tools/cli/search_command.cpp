#include "tools/cli/search_command.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstdint>
#include <map>

#include "platform/filetime.h"
#include "platform/wstring.h"
#include "query/query_steps.h"
#include "query/relevance_order.h"
#include "shared/search_result.h"
#include "tools/cli/output.h"
#include "tools/cli/store_session.h"

namespace trovix::cli {
namespace {

struct Found {
  WString path;
  WString name;  // the last component, the sort key
  SearchResultRecord record;
};

using query::ResultHandle;

class SearchRun {
 public:
  SearchRun(ITrovixDB* store, std::ostream& err) : store_(store), err_(err) {}

  // Also keeps the cleaned query, for the relevance order.
  bool OpenWords(const std::vector<std::string>& words, ResultHandle* result);
  bool OpenPatterns(const std::string& list, ResultHandle* result);
  // Reads the files of (word ∩ include) − exclude into `found`; with no
  // include, of word − exclude.
  bool Collect(const ResultHandle& word, const ResultHandle* include, const ResultHandle& exclude,
               std::map<INT, Found>* found);
  [[nodiscard]] const WString& cleaned_query() const { return cleaned_query_; }

 private:
  bool Fail(const char* what, HRESULT hr) {
    err_ << "trovix: " << what << ": " << Describe(hr) << "\n";
    return false;
  }
  bool Read(UINT result, std::map<INT, Found>* found);

  ITrovixDB* store_;
  std::ostream& err_;
  WString cleaned_query_;
};

bool SearchRun::OpenWords(const std::vector<std::string>& words, ResultHandle* result) {
  std::string joined;
  for (const std::string& word : words) joined += (joined.empty() ? "" : " ") + word;
  HRESULT hr = query::CleanQuery(store_, Utf8ToUtf16(joined), &cleaned_query_);
  if (FAILED(hr)) return Fail("cannot read the query", hr);
  hr = query::OpenWords(store_, cleaned_query_, result);
  if (FAILED(hr)) return Fail("the word search failed", hr);
  return true;  // S_FALSE: no word to search for, so no file matches
}

// One set for the whole list: the union of what each pattern selects.
bool SearchRun::OpenPatterns(const std::string& list, ResultHandle* result) {
  const std::vector<WString> patterns = query::SplitPatterns(Utf8ToUtf16(list));
  std::size_t failed_at = 0;
  const HRESULT hr = query::OpenPatternUnion(store_, patterns, result, nullptr, &failed_at);
  if (hr == E_OUTOFMEMORY) return Fail("combining the results failed", hr);
  if (FAILED(hr)) {
    return Fail(("the pattern \"" + Utf16ToUtf8(patterns[failed_at]) + "\" failed").c_str(), hr);
  }
  return true;
}

// Without an include (`include` null) the word result is read directly:
// "*" would select every catalogued file, and the word result holds
// catalogued files only.
bool SearchRun::Collect(const ResultHandle& word, const ResultHandle* include,
                        const ResultHandle& exclude, std::map<INT, Found>* found) {
  std::optional<UINT> included;
  if (include != nullptr) included = include->get();
  ResultHandle result;
  const HRESULT hr = query::Combine(store_, word.get(), included, exclude.get(), &result);
  if (FAILED(hr)) return Fail("combining the results failed", hr);
  return Read(result.get(), found);
}

bool SearchRun::Read(UINT result, std::map<INT, Found>* found) {
  for (;;) {
    Found item{};
    const HRESULT hr = store_->SearchNext(result, reinterpret_cast<UINT_PTR>(&item.record));
    if (hr == DB_S_ENDOFROWSET) return true;
    if (FAILED(hr)) {
      // A file that left the index after the search stops the reading there.
      err_ << "trovix: some files left the index while they were read: " << Describe(hr) << "\n";
      return true;
    }
    item.path = item.record.path;
    const std::size_t slash = item.path.rfind(u'/');
    item.name = slash == WString::npos ? item.path : item.path.substr(slash + 1);
    found->emplace(item.record.FileID, std::move(item));
  }
}

std::uint64_t SizeOnDisk(const Found& row) {
  struct stat st {};
  if (lstat(Utf16ToUtf8(row.path).c_str(), &st) == 0 && S_ISREG(st.st_mode)) {
    return static_cast<std::uint64_t>(st.st_size);
  }
  return row.record.SizeLo32;
}

// "path" stays valid JSON for any name; "path_bytes" (only for names that
// are not UTF-8) gives the exact bytes.
void PrintJson(const Found& row, std::ostream& out) {
  const SearchResultRecord& r = row.record;
  out << "{\"path\":" << JsonString(row.path);
  if (!NameIsUtf8(row.path)) out << ",\"path_bytes\":\"" << Base64(Utf16ToUtf8(row.path)) << "\"";
  out << ",\"size\":" << SizeOnDisk(row) << ",\"created\":\"" << LocalTimeText(r.CreationDateTime)
      << "\",\"written\":\"" << LocalTimeText(r.ModificationDateTime) << "\"}\n";
}

void Print(const std::vector<const Found*>& rows, const SearchOptions& options, std::ostream& out) {
  const auto shown = [&options](const Found& row) {
    return options.terminal ? TerminalText(row.path) : Utf16ToUtf8(row.path);
  };
  for (const Found* row : rows) {
    const SearchResultRecord& r = row->record;
    if (options.null_separated) {
      out << Utf16ToUtf8(row->path) << '\0';
    } else if (options.json) {
      PrintJson(*row, out);
    } else if (options.long_format) {
      out << LocalTimeText(r.CreationDateTime) << "  " << LocalTimeText(r.ModificationDateTime)
          << "  " << SizeOnDisk(*row) << "  " << shown(*row) << "\n";
    } else {
      out << shown(*row) << "\n";
    }
  }
}

// Reorders `rows` best first; false (after a message) when the store fails.
bool ByRelevance(ITrovixDB* store, const WString& cleaned, const std::map<INT, Found>& found,
                 std::vector<const Found*>* rows, std::ostream& err) {
  std::vector<query::RankedFile> ranked;
  ranked.reserve(rows->size());
  for (const Found* row : *rows) {
    ranked.push_back({row->record.FileID, row->path, row->name,
                      static_cast<double>(FileTimeToInt64(row->record.ModificationDateTime))});
  }
  const HRESULT hr = query::RankByRelevance(store, query::RankingWords(cleaned), &ranked);
  if (FAILED(hr)) {
    err << "trovix: ranking the results failed: " << Describe(hr) << "\n";
    return false;
  }
  rows->clear();
  for (const query::RankedFile& file : ranked) rows->push_back(&found.at(file.id));
  return true;
}

}  // namespace

int RunSearch(const SearchOptions& options, std::ostream& out, std::ostream& err) {
  StoreSession store;
  if (FAILED(store.status())) {
    err << "trovix: " << store.error() << "\n";
    return 2;
  }
  SearchRun run(store.get(), err);
  ResultHandle word;
  ResultHandle include;
  ResultHandle exclude;
  const bool include_all = options.include == "*";
  if (!run.OpenWords(options.words, &word) ||
      (!include_all && !run.OpenPatterns(options.include, &include)) ||
      !run.OpenPatterns(options.exclude, &exclude)) {
    return 2;
  }
  std::map<INT, Found> found;
  if (word.get() != 0 && !run.Collect(word, include_all ? nullptr : &include, exclude, &found)) {
    return 2;
  }
  std::vector<const Found*> rows;
  for (const auto& [id, item] : found) rows.push_back(&item);
  std::sort(rows.begin(), rows.end(), [](const Found* a, const Found* b) {
    return a->name != b->name ? a->name < b->name : a->path < b->path;
  });
  if (options.by_relevance && !ByRelevance(store.get(), run.cleaned_query(), found, &rows, err)) {
    return 2;
  }
  Print(rows, options, out);
  err << rows.size() << (rows.size() == 1 ? " file matched\n" : " files matched\n");
  return rows.empty() ? 1 : 0;
}

}  // namespace trovix::cli
