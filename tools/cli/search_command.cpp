#include "tools/cli/search_command.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstdint>
#include <map>

#include "platform/wstring.h"
#include "shared/search_result.h"
#include "tools/cli/output.h"
#include "tools/cli/store_session.h"

namespace trovix::cli {
namespace {

// An open result set of the index store, closed on every path.
class Handle {
 public:
  explicit Handle(ITrovixDB* store) : store_(store) {}
  ~Handle() {
    if (value_ != 0) static_cast<void>(store_->SearchClose(value_));
  }
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;
  UINT* put() { return &value_; }
  UINT get() const { return value_; }

 private:
  ITrovixDB* store_;
  UINT value_ = 0;
};

struct Found {
  WString path;
  WString name;  // the last component, the sort key
  SearchResultRecord record;
};

class SearchRun {
 public:
  SearchRun(ITrovixDB* store, std::ostream& err) : store_(store), err_(err) {}

  bool OpenWords(const std::vector<std::string>& words, Handle* result);
  bool OpenPatterns(const std::string& list, std::vector<std::unique_ptr<Handle>>* results);
  // Reads the files of word ∩ include − every exclude into `found`.
  bool Collect(const Handle& word, const Handle* include,
               const std::vector<std::unique_ptr<Handle>>& excludes, std::map<INT, Found>* found);

 private:
  bool Fail(const char* what, HRESULT hr) {
    err_ << "trovix: " << what << ": " << Describe(hr) << "\n";
    return false;
  }
  bool Read(UINT result, std::map<INT, Found>* found);

  ITrovixDB* store_;
  std::ostream& err_;
};

bool SearchRun::OpenWords(const std::vector<std::string>& words, Handle* result) {
  std::string joined;
  for (const std::string& word : words) joined += (joined.empty() ? "" : " ") + word;
  WString query = Utf8ToUtf16(joined);
  query.push_back(0);
  UINT length = 0;
  HRESULT hr = store_->QueryCleanup(query.data(), &length);
  if (FAILED(hr)) return Fail("cannot read the query", hr);
  const bool no_words = query[0] == 0;
  hr = no_words ? store_->SearchOpenFileType(u"*", result->put())
                : store_->SearchOpenWord(query.c_str(), result->put());
  if (FAILED(hr)) return Fail("the word search failed", hr);
  return true;  // S_FALSE: no word to search for, so no file matches
}

// Splits at ";", skipping empty pieces, and opens one result per pattern.
bool SearchRun::OpenPatterns(const std::string& list,
                             std::vector<std::unique_ptr<Handle>>* results) {
  std::size_t start = 0;
  while (start <= list.size()) {
    const std::size_t end = std::min(list.find(';', start), list.size());
    const std::string pattern = list.substr(start, end - start);
    start = end + 1;
    if (pattern.empty()) continue;
    results->push_back(std::make_unique<Handle>(store_));
    const HRESULT hr =
        store_->SearchOpenFileType(Utf8ToUtf16(pattern).c_str(), results->back()->put());
    if (FAILED(hr)) return Fail(("the pattern \"" + pattern + "\" failed").c_str(), hr);
  }
  return true;
}

// Without an include pattern (`include` null) the word result is read
// directly: "*" would select every catalogued file, and the word result
// holds catalogued files only.
bool SearchRun::Collect(const Handle& word, const Handle* include,
                        const std::vector<std::unique_ptr<Handle>>& excludes,
                        std::map<INT, Found>* found) {
  std::unique_ptr<Handle> owned;
  UINT current = word.get();
  if (include != nullptr) {
    owned = std::make_unique<Handle>(store_);
    const HRESULT hr = store_->SearchOpenIntersection(word.get(), include->get(), owned->put());
    if (FAILED(hr)) return Fail("combining the results failed", hr);
    current = owned->get();
  }
  for (const auto& exclude : excludes) {
    auto next = std::make_unique<Handle>(store_);
    const HRESULT hr = store_->SearchOpenSubtraction(current, exclude->get(), next->put());
    if (FAILED(hr)) return Fail("combining the results failed", hr);
    owned = std::move(next);
    current = owned->get();
  }
  return Read(current, found);
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

}  // namespace

int RunSearch(const SearchOptions& options, std::ostream& out, std::ostream& err) {
  StoreSession store;
  if (FAILED(store.status())) {
    err << "trovix: " << store.error() << "\n";
    return 2;
  }
  SearchRun run(store.get(), err);
  Handle word(store.get());
  std::vector<std::unique_ptr<Handle>> includes;
  std::vector<std::unique_ptr<Handle>> excludes;
  const bool include_all = options.include == "*";
  if (!run.OpenWords(options.words, &word) ||
      (!include_all && !run.OpenPatterns(options.include, &includes)) ||
      !run.OpenPatterns(options.exclude, &excludes)) {
    return 2;
  }
  std::map<INT, Found> found;
  if (word.get() != 0 && include_all && !run.Collect(word, nullptr, excludes, &found)) return 2;
  for (const auto& include : includes) {
    if (word.get() != 0 && !run.Collect(word, include.get(), excludes, &found)) return 2;
  }
  std::vector<const Found*> rows;
  for (const auto& [id, item] : found) rows.push_back(&item);
  std::sort(rows.begin(), rows.end(), [](const Found* a, const Found* b) {
    return a->name != b->name ? a->name < b->name : a->path < b->path;
  });
  Print(rows, options, out);
  err << rows.size() << (rows.size() == 1 ? " file matched\n" : " files matched\n");
  return rows.empty() ? 1 : 0;
}

}  // namespace trovix::cli
