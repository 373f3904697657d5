// CountWord: how often a query word occurs in given files, and in how many
// files it occurs, for ranking a result. Read-only; the same locks as
// SearchOpenFileType (the critical section, no write lock).
#include "indexstore/relevance.h"

#include <algorithm>
#include <mutex>
#include <new>
#include <vector>

#include "indexstore/db_exception.h"
#include "indexstore/trovix_db.h"
#include "platform/com_object.h"
#include "platform/wstring.h"
#include "shared/itrovixrelevance.h"

namespace ordalis {
namespace {

constexpr const char* kExactWord = "SELECT ID FROM Words WHERE Word = ?";
// Words is NOCASE, so LIKE (case-insensitive) can walk the index by prefix.
constexpr const char* kPrefixWords = R"(SELECT ID FROM Words WHERE Word LIKE ? ESCAPE '\' LIMIT ?)";
constexpr const char* kFilesOfWord =
    "SELECT COUNT(*) FROM (SELECT 1 FROM FilesWords WHERE WordID = ? LIMIT ?)";
constexpr const char* kCountInFile =
    "SELECT WordCount FROM FilesWords WHERE FileID = ? AND WordID = ?";
constexpr const char* kWordsOfFile = "SELECT WordID, WordCount FROM FilesWords WHERE FileID = ?";
// Up to this many words a file's count is read word by word (one key
// lookup each); beyond, the file's whole word list is read once.
constexpr std::size_t kLookupsPerFile = 16;

// `prefix` with LIKE's wildcards and the escape character escaped, then "%".
WString LikePattern(std::u16string_view prefix) {
  WString pattern;
  for (const WCHAR c : prefix) {
    if (c == u'%' || c == u'_' || c == u'\\') pattern.push_back(u'\\');
    pattern.push_back(c);
  }
  pattern.push_back(u'%');
  return pattern;
}

// Raises on an engine failure. Ascending identifiers.
std::vector<std::int64_t> WordIds(Engine& engine, std::u16string_view word, bool prefix) {
  std::vector<std::int64_t> ids;
  Statement select(engine, prefix ? kPrefixWords : kExactWord);
  if (prefix) {
    ORDALIS_CHECK(select.Bind(1, std::u16string_view(LikePattern(word))));
    ORDALIS_CHECK(select.Bind(2, std::int64_t{kRelevancePrefixWords}));
  } else {
    ORDALIS_CHECK(select.Bind(1, word));
  }
  while (ORDALIS_CHECK(select.Step()) == S_OK) ids.push_back(select.ColumnInt(0));
  std::sort(ids.begin(), ids.end());
  return ids;
}

UINT FilesWithWords(Engine& engine, const std::vector<std::int64_t>& ids) {
  std::int64_t total = 0;
  for (const std::int64_t id : ids) {
    if (total >= kRelevanceFrequencyCap) break;
    Statement count(engine, kFilesOfWord);
    ORDALIS_CHECK(count.Bind(1, id));
    ORDALIS_CHECK(count.Bind(2, std::int64_t{kRelevanceFrequencyCap} - total));
    if (ORDALIS_CHECK(count.Step()) == S_OK) total += count.ColumnInt(0);
  }
  return static_cast<UINT>(std::min<std::int64_t>(total, kRelevanceFrequencyCap));
}

UINT CountInFile(Engine& engine, INT file, const std::vector<std::int64_t>& ids) {
  std::int64_t sum = 0;
  if (ids.size() <= kLookupsPerFile) {
    for (const std::int64_t id : ids) {
      Statement select(engine, kCountInFile);
      ORDALIS_CHECK(select.Bind(1, std::int64_t{file}));
      ORDALIS_CHECK(select.Bind(2, id));
      if (ORDALIS_CHECK(select.Step()) == S_OK) sum += select.ColumnInt(0);
    }
  } else {
    Statement select(engine, kWordsOfFile);
    ORDALIS_CHECK(select.Bind(1, std::int64_t{file}));
    while (ORDALIS_CHECK(select.Step()) == S_OK) {
      if (std::binary_search(ids.begin(), ids.end(), select.ColumnInt(0))) {
        sum += select.ColumnInt(1);
      }
    }
  }
  return static_cast<UINT>(std::clamp<std::int64_t>(sum, 0, UINT_MAX));
}

class Relevance final : public ComObject<ITrovixRelevance, IID_ITrovixRelevance> {
 public:
  Relevance() : ComObject(&g_live_objects) {}

  HRESULT CountWord(const WCHAR* sWord, BOOL bPrefix, const INT* pFileIDs, UINT cFiles,
                    UINT* pCounts, UINT* pcFilesWithWord) override {
    if (pcFilesWithWord == nullptr) return E_POINTER;
    if (sWord == nullptr || sWord[0] == 0 || cFiles > kRelevanceMaxFiles ||
        (cFiles > 0 && (pFileIDs == nullptr || pCounts == nullptr))) {
      return E_INVALIDARG;
    }
    const std::u16string_view word(sWord, WcsLen(sWord));
    IndexStoreModule& module = IndexStoreModule::Get();
    std::lock_guard<std::recursive_mutex> guard(module.critical_section());
    if (!module.database_open || module.compacting) return E_UNEXPECTED;
    return RunLogged([&]() -> HRESULT {
      const std::vector<std::int64_t> ids = WordIds(module.engine(), word, bPrefix != 0);
      std::vector<UINT> counts(cFiles, 0);
      UINT files_with_word = 0;
      if (!ids.empty()) {
        files_with_word = FilesWithWords(module.engine(), ids);
        for (UINT i = 0; i < cFiles; ++i)
          counts[i] = CountInFile(module.engine(), pFileIDs[i], ids);
      }
      std::copy(counts.begin(), counts.end(), pCounts);
      *pcFilesWithWord = files_with_word;
      return ids.empty() ? S_FALSE : S_OK;
    });
  }
};

}  // namespace

HRESULT CreateRelevance(void** ppv) {
  *ppv = static_cast<ITrovixRelevance*>(new (std::nothrow) Relevance());
  return *ppv != nullptr ? S_OK : E_OUTOFMEMORY;
}

}  // namespace ordalis
