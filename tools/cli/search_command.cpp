#include "tools/cli/search_command.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstdint>
#include <new>
#include <unordered_map>

#include "platform/com.h"
#include "platform/filetime.h"
#include "platform/wstring.h"
#include "query/query_language.h"
#include "query/query_plan.h"
#include "query/query_steps.h"
#include "query/relevance_order.h"
#include "shared/itrovixresultrows.h"
#include "shared/itrovixterms.h"
#include "shared/search_result.h"
#include "tools/cli/found_files.h"
#include "tools/cli/output.h"
#include "tools/cli/snippet_lines.h"
#include "tools/cli/store_session.h"

namespace trovix::cli {
namespace {

using query::ResultHandle;

class SearchRun {
 public:
  SearchRun(ITrovixDB* store, std::ostream& err) : store_(store), err_(err) {}

  // Parses the query and searches its words; keeps the plan for the rows,
  // the relevance order and the snippets.
  bool OpenQuery(const SearchOptions& options, ResultHandle* result);
  bool OpenPatterns(const std::string& list, ResultHandle* result);
  // Reads the files of (word ∩ include) − exclude into `found`; with no
  // include, of word − exclude.
  bool Collect(const ResultHandle& word, const ResultHandle* include, const ResultHandle& exclude,
               FoundFiles* found);
  [[nodiscard]] const query::QueryPlan& plan() const { return plan_; }
  [[nodiscard]] UINT flags() const { return flags_; }

 private:
  bool Fail(const char* what, HRESULT hr) {
    err_ << "trovix: " << what << ": " << Describe(hr) << "\n";
    return false;
  }
  void Read(UINT result, FoundFiles* found);
  void ReadRowByRow(UINT result, FoundFiles* found);

  ITrovixDB* store_;
  std::ostream& err_;
  query::QueryPlan plan_;
  bool tests_rows_ = false;
  UINT flags_ = 0;
};

bool SearchRun::OpenQuery(const SearchOptions& options, ResultHandle* result) {
  std::string joined;
  for (const std::string& word : options.words) joined += (joined.empty() ? "" : " ") + word;
  const WString text = Utf8ToUtf16(joined);
  flags_ = query::SettingsTermFlags() | (options.exact_accents ? kTermsExactAccents : 0) |
           (options.name_only ? kTermsNameOnly : 0);
  query::QueryNode root;
  query::QueryError error;
  if (!query::ParseQuery(text, query::ParseOptionsNow(), &root, &error)) {
    err_ << "trovix: " << query::DescribeError(text, error) << "\n";
    return false;
  }
  if (root.children.empty()) {
    // No words: every catalogued file, narrowed by the patterns alone.
    const HRESULT hr = query::OpenWordsToReadWhole(store_, WString(), result);
    if (FAILED(hr)) return Fail("the search failed", hr);
    return true;
  }
  HRESULT hr = query::QueryPlan::Open(store_, root, flags_, /*to_read_whole=*/true, &plan_);
  if (FAILED(hr)) return Fail("the word search failed", hr);
  if (hr == S_FALSE) {
    err_ << "trovix: no searchable words in the query\n";
    return false;
  }
  tests_rows_ = plan_.tests_rows();
  if (!plan_.candidates()) {
    // Only filters or exclusions: every catalogued file is a candidate.
    hr = query::OpenWordsToReadWhole(store_, WString(), result);
    if (FAILED(hr)) return Fail("the search failed", hr);
    return true;
  }
  std::optional<ResultHandle> made = query::MakeResult(*plan_.candidates());
  if (!made) return Fail("the word search failed", E_OUTOFMEMORY);
  *result = std::move(*made);
  return true;
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
// catalogued files only (or, read whole, files the reading skips unless
// they are catalogued).
bool SearchRun::Collect(const ResultHandle& word, const ResultHandle* include,
                        const ResultHandle& exclude, FoundFiles* found) {
  std::optional<UINT> included;
  if (include != nullptr) included = include->get();
  ResultHandle result;
  const HRESULT hr = query::Combine(store_, word.get(), included, exclude.get(), &result);
  if (FAILED(hr)) return Fail("combining the results failed", hr);
  Read(result.get(), found);
  return true;
}

// Adds each row the store reports, that the query accepts (when it tests
// rows at all), to the found files.
class Collector final : public IResultRowSink {
 public:
  Collector(FoundFiles* found, const query::QueryPlan* plan) : found_(found), plan_(plan) {}

  HRESULT Row(const ResultRow& row) override {
    const std::string_view path(row.path, row.path_bytes);
    if (plan_ != nullptr && !plan_->Accepts({row.file_id, path, row.modification, row.size_lo32})) {
      return S_OK;
    }
    try {
      found_->Add(row.file_id, std::string_view(row.path, row.path_bytes), row.creation,
                  row.modification, row.size_lo32);
    } catch (const std::bad_alloc&) {
      return E_OUTOFMEMORY;
    }
    return S_OK;
  }

 private:
  FoundFiles* found_;
  const query::QueryPlan* plan_;
};

// The whole set in one call when the store offers it. Files not in the
// catalogue are skipped without a word: the word set may hold such files
// by design (see OpenWordsToReadWhole). A failure keeps the rows read
// before it, as the reading row by row does.
void SearchRun::Read(UINT result, FoundFiles* found) {
  ComPtr<ITrovixResultRows> reader;
  if (FAILED(store_->QueryInterface(IID_ITrovixResultRows, reader.put_void()))) {
    ReadRowByRow(result, found);
    return;
  }
  UINT size = 0;
  if (SUCCEEDED(store_->SearchGetSize(result, &size))) found->Reserve(size);
  Collector sink(found, tests_rows_ ? &plan_ : nullptr);
  const HRESULT hr = reader->ReadResultRows(result, &sink);
  if (FAILED(hr)) err_ << "trovix: reading the results failed: " << Describe(hr) << "\n";
}

// For a store without ITrovixResultRows.
void SearchRun::ReadRowByRow(UINT result, FoundFiles* found) {
  for (;;) {
    SearchResultRecord record{};
    const HRESULT hr = store_->SearchNext(result, reinterpret_cast<UINT_PTR>(&record));
    if (hr == DB_S_ENDOFROWSET) return;
    if (FAILED(hr)) {
      // A file that left the index after the search stops the reading there.
      err_ << "trovix: some files left the index while they were read: " << Describe(hr) << "\n";
      return;
    }
    const std::string path = Utf16ToUtf8(record.path);
    if (tests_rows_ &&
        !plan_.Accepts({record.FileID, path, record.ModificationDateTime, record.SizeLo32})) {
      continue;
    }
    found->Add(record.FileID, Utf16ToUtf8(record.path), record.CreationDateTime,
               record.ModificationDateTime, record.SizeLo32);
  }
}

std::uint64_t SizeOnDisk(const FoundFiles& found, const FoundFile& file) {
  struct stat st {};
  if (lstat(std::string(found.Path(file)).c_str(), &st) == 0 && S_ISREG(st.st_mode)) {
    return static_cast<std::uint64_t>(st.st_size);
  }
  return file.size_lo32;
}

// "path" stays valid JSON for any name; "path_bytes" (only for names that
// are not UTF-8) gives the exact bytes.
// "snippet" only for the files snippets were made for.
void AppendJson(const FoundFiles& found, const FoundFile& file,
                const std::vector<SnippetPassage>* snippet, std::string* text) {
  const WString path = found.WidePath(file);
  *text += "{\"path\":" + JsonString(path);
  if (!NameIsUtf8(path)) *text += ",\"path_bytes\":\"" + Base64(found.Path(file)) + "\"";
  *text += ",\"size\":" + std::to_string(SizeOnDisk(found, file)) + ",\"created\":\"" +
           LocalTimeText(file.creation) + "\",\"written\":\"" + LocalTimeText(file.modification) +
           "\"";
  if (snippet != nullptr) *text += ",\"snippet\":" + SnippetJson(*snippet);
  *text += "}\n";
}

// Lines are gathered and written a block at a time: a stream insertion per
// piece costs more than the piece.
// `snippets` holds the passages of the first files, in their order.
void Print(const FoundFiles& found, const SearchOptions& options,
           const std::vector<std::vector<SnippetPassage>>& snippets, std::ostream& out) {
  constexpr std::size_t kBlock = 64 * 1024;
  std::string text;
  const auto append_shown = [&](const FoundFile& file) {
    if (options.terminal) {
      text += TerminalText(found.WidePath(file));
    } else {
      text += found.Path(file);  // the bytes of the name, as they are on disk
    }
  };
  for (std::size_t i = 0; i < found.files().size(); ++i) {
    const FoundFile& file = found.files()[i];
    const std::vector<SnippetPassage>* snippet = i < snippets.size() ? &snippets[i] : nullptr;
    if (options.null_separated) {
      text += found.Path(file);
      text += '\0';
    } else if (options.json) {
      AppendJson(found, file, snippet, &text);
    } else {
      if (options.long_format) {
        text += LocalTimeText(file.creation) + "  " + LocalTimeText(file.modification) + "  " +
                std::to_string(SizeOnDisk(found, file)) + "  ";
      }
      append_shown(file);
      text += '\n';
      if (snippet != nullptr) text += SnippetLines(*snippet, options.terminal);
    }
    if (text.size() >= kBlock) {
      out.write(text.data(), static_cast<std::streamsize>(text.size()));
      text.clear();
    }
  }
  out.write(text.data(), static_cast<std::streamsize>(text.size()));
}

// Reorders the files best first; false (after a message) when the store
// fails.
bool ByRelevance(ITrovixDB* store, const WString& text, UINT flags, FoundFiles* found,
                 std::ostream& err) {
  std::vector<query::RankedFile> ranked;
  ranked.reserve(found->files().size());
  std::unordered_map<INT, FoundFile> by_id;
  for (const FoundFile& file : found->files()) {
    WString path = found->WidePath(file);
    WString name = path.substr(path.rfind(u'/') + 1);
    ranked.push_back({file.id, std::move(path), std::move(name),
                      static_cast<double>(FileTimeToInt64(file.modification))});
    by_id.emplace(file.id, file);
  }
  const HRESULT hr = query::RankByRelevance(store, text, flags, &ranked);
  if (FAILED(hr)) {
    err << "trovix: ranking the results failed: " << Describe(hr) << "\n";
    return false;
  }
  std::vector<FoundFile>& files = found->files();
  files.clear();
  for (const query::RankedFile& file : ranked) files.push_back(by_id.at(file.id));
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
  if (!run.OpenQuery(options, &word) ||
      (!include_all && !run.OpenPatterns(options.include, &include)) ||
      !run.OpenPatterns(options.exclude, &exclude)) {
    return 2;
  }
  FoundFiles found;
  if (word.get() != 0 && !run.Collect(word, include_all ? nullptr : &include, exclude, &found)) {
    return 2;
  }
  found.KeepOnePerId();
  found.SortByName();
  if (options.by_relevance &&
      !ByRelevance(store.get(), run.plan().ranking_text(), run.flags(), &found, err)) {
    return 2;
  }
  std::vector<WString> shown;
  const bool with_snippets =
      !options.null_separated && (options.snippets || options.long_format || options.json);
  for (std::size_t i = 0; with_snippets && i < found.files().size() && i < options.snippet_files;
       ++i) {
    shown.push_back(found.WidePath(found.files()[i]));
  }
  Print(found, options, MakeSnippets(store.get(), run.plan().snippet_text(), run.flags(), shown),
        out);
  const std::size_t count = found.files().size();
  err << count << (count == 1 ? " file matched\n" : " files matched\n");
  return count == 0 ? 1 : 0;
}

}  // namespace trovix::cli
