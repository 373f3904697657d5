// SearchOpenTerms, CountQueryWords, RankFiles, GetAnalysisProgress and
// ReadUnanalysedFiles of ITrovixTerms. Read-only; the locks of
// SearchOpenFileType (the critical section, no write lock), and statements
// of the calls' own.
#include "indexstore/term_search.h"

#include <algorithm>
#include <cmath>
#include <iterator>
#include <mutex>
#include <new>
#include <utility>
#include <vector>

#include "analysis/query_words.h"
#include "indexstore/db_exception.h"
#include "indexstore/own_statement.h"
#include "indexstore/snippets.h"
#include "indexstore/term_query.h"
#include "indexstore/tokenizer.h"
#include "indexstore/trovix_db.h"
#include "indexstore/word_query.h"
#include "platform/com_object.h"
#include "platform/wstring.h"
#include "shared/itrovixrelevance.h"
#include "shared/itrovixterms.h"
#include "shared/search_result.h"

namespace ordalis {
namespace {

using trovix::analysis::QueryWord;

IndexStoreModule& Module() { return IndexStoreModule::Get(); }

bool IsWholeIndexWord(std::u16string_view word) {
  return word == u"*" || word == u"+" || word == u"-";
}

// A query cut at spaces: the whole-index words, and the analysed others.
struct ParsedQuery {
  std::vector<char16_t> whole_index;
  std::vector<QueryWord> words;
  bool phrases = false;  // some word was a quoted phrase
  [[nodiscard]] bool empty() const { return whole_index.empty() && words.empty(); }
};

ParsedQuery Parse(std::u16string_view text) {
  ParsedQuery parsed;
  for (const trovix::analysis::QueryPiece& piece : trovix::analysis::SplitQueryText(text)) {
    if (!piece.phrase && IsWholeIndexWord(piece.text)) {
      parsed.whole_index.push_back(piece.text.front());
    } else if (QueryWord analysed = trovix::analysis::AnalyseQueryWord(piece.text);
               !analysed.terms.empty()) {
      parsed.words.push_back(std::move(analysed));
      parsed.phrases = parsed.phrases || piece.phrase;
    }
  }
  return parsed;
}

TermMatching MatchingOf(UINT flags) {
  TermMatching matching;
  matching.exact_accents = (flags & kTermsExactAccents) != 0;
  matching.name_only = (flags & kTermsNameOnly) != 0;
  return matching;
}

// The files of the term index matching every word (and whole-index word).
std::vector<INT> MatchTerms(sqlite3* db, const ParsedQuery& query, UINT flags) {
  std::vector<std::unique_ptr<FileCursor>> cursors;
  const TermMatching matching = MatchingOf(flags);
  for (const QueryWord& word : query.words) {
    std::unique_ptr<FileCursor> cursor = OpenWordCursor(db, word, matching);
    if (cursor == nullptr) return {};  // a word no stored term answers
    cursors.push_back(std::move(cursor));
  }
  for (const char16_t word : query.whole_index) cursors.push_back(OpenWholeIndexCursor(db, word));
  // Terms stay in the index after their file left the catalogue (until a
  // compaction): a search that is not read with ReadResultRows checks each
  // file, by a cursor over the catalogue that the others lead.
  const bool checks_catalogue = std::find(query.whole_index.begin(), query.whole_index.end(),
                                          u'*') == query.whole_index.end();
  if ((flags & kTermsCandidates) == 0 && !query.words.empty() && checks_catalogue) {
    cursors.push_back(OpenWholeIndexCursor(db, u'*'));
  }
  return IntersectAll(std::move(cursors));
}

bool HasOldWords(sqlite3* db) {
  OwnStatement any(db, "SELECT EXISTS (SELECT 1 FROM FilesWords)");
  ORDALIS_CHECK(any.status());
  return ORDALIS_CHECK(any.Step()) == S_OK && sqlite3_column_int64(any.get(), 0) != 0;
}

// The files the word index finds for the query by its own rules, for the
// files whose terms are not in the term index yet. Only a query whose every
// word the word index can hold is asked: a word it drops (two letters, a
// number, a CJK piece) finds nothing there, and it keeps no positions, so a
// phrase is never asked (its files are found once their terms are in).
std::vector<INT> MatchOldWords(sqlite3* db, std::u16string_view text, const ParsedQuery& query,
                               UINT flags) {
  if ((flags & kTermsNameOnly) != 0 || query.words.empty() || query.phrases || !HasOldWords(db)) {
    return {};
  }
  WString cleaned(text);
  cleaned.push_back(0);
  cleaned.resize(CleanQueryInPlace(cleaned.data()));
  std::vector<WString> tokens = SplitQueryWords(cleaned);
  if (tokens.size() < query.words.size()) return {};
  for (const char16_t word : query.whole_index) tokens.emplace_back(1, word);
  return MatchWordTokens(db, tokens, /*check_catalogue=*/(flags & kTermsCandidates) == 0);
}

// Phrases that hold words too short to be terms ("vitamin a deficiency",
// "type 2 diabetes"): the index found the files where the other words
// stand in line; each file's text (or name) tells whether the short ones
// stand in their places. Files that left the catalogue go.
std::vector<INT> KeepExactPhrases(sqlite3* db, std::vector<INT> ids, const ParsedQuery& query,
                                  UINT flags) {
  std::vector<QueryWord> checked;
  for (const QueryWord& word : query.words) {
    if (!word.short_terms.empty()) checked.push_back(word);
  }
  if (checked.empty() || ids.empty()) return ids;
  OwnStatement select(db,
                      "SELECT Drives.Name || Directories.Name || Files.Name, Files.Name FROM "
                      "Files, Directories, Drives WHERE Files.FileID = ? AND "
                      "Directories.DirectoryID = Files.DirectoryID AND Drives.DriveID = "
                      "Directories.DriveID");
  ORDALIS_CHECK(select.status());
  std::vector<INT> kept;
  for (const INT id : ids) {
    select.Reset();
    ORDALIS_CHECK(select.Bind(1, std::int64_t{id}));
    if (ORDALIS_CHECK(select.Step()) != S_OK) continue;
    const auto* path = reinterpret_cast<const char*>(sqlite3_column_text(select.get(), 0));
    const auto* name = reinterpret_cast<const char*>(sqlite3_column_text(select.get(), 1));
    if (FileHoldsWords(Utf8ToUtf16(path == nullptr ? "" : path),
                       Utf8ToUtf16(name == nullptr ? "" : name), checked,
                       (flags & kTermsExactAccents) != 0, (flags & kTermsNameOnly) != 0)) {
      kept.push_back(id);
    }
  }
  return kept;
}

std::vector<INT> Union(const std::vector<INT>& a, const std::vector<INT>& b) {
  std::vector<INT> all;
  all.reserve(a.size() + b.size());
  std::set_union(a.begin(), a.end(), b.begin(), b.end(), std::back_inserter(all));
  return all;
}

// Runs `body` inside the module's critical section while the database is
// open and no compaction of this process runs (E_UNEXPECTED otherwise),
// with its failures logged and turned into status codes.
template <typename Body>
HRESULT WhileOpen(IndexStoreModule& module, Body&& body) {
  std::lock_guard<std::recursive_mutex> guard(module.critical_section());
  if (!module.database_open || module.compacting) return E_UNEXPECTED;
  return RunLogged(std::forward<Body>(body));
}

std::int64_t CountOf(sqlite3* db, const char* sql) {
  OwnStatement count(db, sql);
  ORDALIS_CHECK(count.status());
  if (ORDALIS_CHECK(count.Step()) != S_OK) ORDALIS_CHECK(E_FAIL);  // a count always yields a row
  return sqlite3_column_int64(count.get(), 0);
}

UINT ToUint(std::int64_t value) {
  return static_cast<UINT>(std::clamp<std::int64_t>(value, 0, 0xFFFFFFFF));
}

class TermSearch final : public ComObject<ITrovixTerms, IID_ITrovixTerms> {
 public:
  TermSearch() : ComObject(&g_live_objects) {}

  HRESULT SearchOpenTerms(const WCHAR* sQuery, UINT dwFlags, UINT* phSearch) override {
    if (sQuery == nullptr || phSearch == nullptr || (dwFlags & ~kTermsAllFlags) != 0) {
      return E_INVALIDARG;
    }
    const std::u16string_view text(sQuery, WcsLen(sQuery));
    IndexStoreModule& module = Module();
    return WhileOpen(module, [&]() -> HRESULT {
      const ParsedQuery query = Parse(text);
      if (query.empty()) return S_FALSE;
      sqlite3* db = module.engine().handle();
      std::vector<INT> ids;
      if (module.engine().has_terms()) {
        ids = KeepExactPhrases(db, MatchTerms(db, query, dwFlags), query, dwFlags);
      }
      ids = Union(ids, MatchOldWords(db, text, query, dwFlags));
      const UINT handle =
          trovix::RegisterSearchResult(std::make_unique<trovix::SearchResult>(std::move(ids)));
      if (handle == 0) return E_OUTOFMEMORY;
      *phSearch = handle;
      return S_OK;
    });
  }

  HRESULT CountQueryWords(const WCHAR* sQuery, UINT* pcWords) override {
    if (pcWords == nullptr) return E_POINTER;
    if (sQuery == nullptr) return E_INVALIDARG;
    try {
      const ParsedQuery query = Parse(std::u16string_view(sQuery, WcsLen(sQuery)));
      *pcWords = static_cast<UINT>(query.words.size() + query.whole_index.size());
      return *pcWords > 0 ? S_OK : S_FALSE;
    } catch (const std::bad_alloc&) {
      return E_OUTOFMEMORY;
    }
  }

  HRESULT RankFiles(const WCHAR* sQuery, UINT dwFlags, const INT* pFileIDs, UINT cFiles,
                    double* pWeights, BOOL* pNameHits) override {
    if (sQuery == nullptr || (dwFlags & ~kTermsAllFlags) != 0 || cFiles > kRelevanceMaxFiles ||
        (cFiles > 0 && (pFileIDs == nullptr || pWeights == nullptr || pNameHits == nullptr))) {
      return E_INVALIDARG;
    }
    const std::u16string_view text(sQuery, WcsLen(sQuery));
    IndexStoreModule& module = Module();
    return WhileOpen(module, [&]() -> HRESULT {
      const ParsedQuery query = Parse(text);
      const std::vector<INT> files(pFileIDs, pFileIDs + cFiles);
      std::vector<double> weights(cFiles, 0);
      std::vector<BOOL> name_hits(cFiles, 0);
      if (module.engine().has_terms() && cFiles > 0) {
        sqlite3* db = module.engine().handle();
        const TermMatching matching = MatchingOf(dwFlags);
        const double indexed =
            std::max<double>({1.0, double(module.files_indexed), double(cFiles)});
        for (const QueryWord& word : query.words) {
          for (const trovix::analysis::QueryTerm& term : word.terms) {
            std::vector<double> counts(cFiles, 0);
            std::int64_t holders = 0;
            if (!CountTerm(db, term, matching, files, &counts, kRelevanceFrequencyCap, &holders)) {
              continue;
            }
            const double rarity = std::log1p(indexed / std::max<double>(1, double(holders)));
            for (UINT i = 0; i < cFiles; ++i) weights[i] += counts[i] * rarity;
          }
        }
        MarkNameHits(db, query, matching, files, &name_hits);
      }
      std::copy(weights.begin(), weights.end(), pWeights);
      std::copy(name_hits.begin(), name_hits.end(), pNameHits);
      return S_OK;
    });
  }

  HRESULT GetAnalysisProgress(UINT* pcPending, UINT* pcFiles) override {
    if (pcPending == nullptr || pcFiles == nullptr) return E_POINTER;
    IndexStoreModule& module = Module();
    return WhileOpen(module, [&]() -> HRESULT {
      sqlite3* db = module.engine().handle();
      const std::int64_t files = CountOf(db, "SELECT count(*) FROM Files");
      const std::int64_t pending =
          module.engine().has_terms() ? CountOf(db, "SELECT count(*) FROM Files WHERE Analysis = 0")
                                      : files;
      *pcPending = ToUint(pending);
      *pcFiles = ToUint(files);
      return S_OK;
    });
  }

  HRESULT ReadUnanalysedFiles(INT nAfterID, UINT cMax, IUnanalysedFileSink* sink) override {
    if (sink == nullptr) return E_INVALIDARG;
    IndexStoreModule& module = Module();
    std::vector<std::pair<INT, WString>> found;
    {
      const HRESULT hr = WhileOpen(module, [&]() -> HRESULT {
        if (!module.engine().has_terms()) return S_OK;
        OwnStatement select(module.engine().handle(),
                            "SELECT Files.FileID, Drives.Name || Directories.Name || Files.Name "
                            "FROM Files, Directories, Drives WHERE Files.Analysis = 0 AND "
                            "Files.FileID > ? AND Directories.DirectoryID = Files.DirectoryID "
                            "AND Drives.DriveID = Directories.DriveID ORDER BY Files.FileID "
                            "LIMIT ?");
        ORDALIS_CHECK(select.status());
        ORDALIS_CHECK(select.Bind(1, std::int64_t{nAfterID}));
        ORDALIS_CHECK(select.Bind(2, std::int64_t{cMax}));
        while (ORDALIS_CHECK(select.Step()) == S_OK) {
          const auto* path = reinterpret_cast<const char*>(sqlite3_column_text(select.get(), 1));
          found.emplace_back(static_cast<INT>(sqlite3_column_int64(select.get(), 0)),
                             Utf8ToUtf16(path == nullptr ? "" : path));
        }
        return S_OK;
      });
      if (FAILED(hr)) return hr;
    }
    // Reported outside the section: the sink may take its time.
    for (const auto& [id, path] : found) {
      if (const HRESULT answered = sink->File(id, path.c_str()); answered != S_OK) return answered;
    }
    return S_OK;
  }

 private:
  // A file's name is a hit when every term of some query word is a term of
  // it.
  static void MarkNameHits(sqlite3* db, const ParsedQuery& query, const TermMatching& matching,
                           const std::vector<INT>& files, std::vector<BOOL>* hits) {
    OwnStatement select(db, "SELECT Name FROM Files WHERE FileID = ?");
    ORDALIS_CHECK(select.status());
    for (std::size_t i = 0; i < files.size(); ++i) {
      select.Reset();
      ORDALIS_CHECK(select.Bind(1, std::int64_t{files[i]}));
      if (ORDALIS_CHECK(select.Step()) != S_OK) continue;
      const auto* name = reinterpret_cast<const char*>(sqlite3_column_text(select.get(), 0));
      const std::vector<std::string> terms = NameTerms(Utf8ToUtf16(name == nullptr ? "" : name));
      (*hits)[i] = std::any_of(query.words.begin(), query.words.end(), [&](const QueryWord& word) {
        return std::all_of(word.terms.begin(), word.terms.end(), [&](const auto& wanted) {
          return std::any_of(terms.begin(), terms.end(), [&](const std::string& term) {
            return TermMatches(wanted, term, matching);
          });
        });
      });
    }
  }
};

}  // namespace

HRESULT CreateTermSearch(void** ppv) {
  *ppv = static_cast<ITrovixTerms*>(new (std::nothrow) TermSearch());
  return *ppv != nullptr ? S_OK : E_OUTOFMEMORY;
}

}  // namespace ordalis
