#include "indexstore/snippets.h"

#include <sys/stat.h>

#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <vector>

#include "analysis/passages.h"
#include "analysis/query_words.h"
#include "indexstore/text_source.h"
#include "indexstore/trovix_db.h"
#include "platform/com_object.h"
#include "platform/filter.h"
#include "platform/hresult.h"
#include "platform/wstring.h"
#include "shared/itrovixsnippets.h"
#include "shared/itrovixterms.h"

namespace ordalis {
namespace {

using trovix::analysis::Passage;
using trovix::analysis::PassageFinder;

// The text read so far is checked for passages good enough to stop at
// after each this many more units.
constexpr std::size_t kCheckEveryUnits = 64 * 1024;
// Units of text the cache keeps in all (two bytes each).
constexpr std::size_t kCacheUnits = 8u << 20;

// A file's text as a filter gave it, and what it was read from.
struct FileText {
  WString path;
  off_t size = 0;
  timespec written{};
  std::u16string text;
  bool complete = false;  // the whole text (up to kSnippetTextUnits), not a first part
};

// The texts last read, most recent first, within kCacheUnits. Any thread;
// the lock is held for lookups and insertions only, never while reading.
class TextCache {
 public:
  std::shared_ptr<const FileText> Find(const WString& path, const struct stat& now) {
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto it = texts_.begin(); it != texts_.end(); ++it) {
      const FileText& text = **it;
      if (text.path != path) continue;
      if (text.size != now.st_size || text.written.tv_sec != now.st_mtim.tv_sec ||
          text.written.tv_nsec != now.st_mtim.tv_nsec) {
        units_ -= text.text.size();
        texts_.erase(it);
        return nullptr;
      }
      texts_.splice(texts_.begin(), texts_, it);
      return texts_.front();
    }
    return nullptr;
  }

  void Keep(std::shared_ptr<const FileText> text) {
    if (text->text.size() > kCacheUnits / 4) return;  // one text would crowd out the rest
    std::lock_guard<std::mutex> lock(mutex_);
    texts_.remove_if([&](const std::shared_ptr<const FileText>& kept) {
      if (kept->path != text->path) return false;
      units_ -= kept->text.size();
      return true;
    });
    units_ += text->text.size();
    texts_.push_front(std::move(text));
    while (units_ > kCacheUnits && !texts_.empty()) {
      units_ -= texts_.back()->text.size();
      texts_.pop_back();
    }
  }

 private:
  std::mutex mutex_;
  std::list<std::shared_ptr<const FileText>> texts_;
  std::size_t units_ = 0;
};

// An object of the module's image, destroyed when the module is unloaded:
// a front end that loads the store for one operation at a time (the panel)
// must not keep a cache per load.
TextCache& Cache() {
  static TextCache cache;
  return cache;
}

// Reads the text of `path` into `*text`, stopping early once `enough`
// answers true for `finder` (the text is then marked incomplete). S_OK, or
// the failure of opening the file through its filter.
HRESULT ReadText(const WString& path, PassageFinder* finder,
                 const std::function<bool(PassageFinder&)>& enough, FileText* text) {
  TextSource source;
  const HRESULT opened = source.Open(path.c_str());
  if (FAILED(opened)) return opened;
  std::size_t checked = 0;
  for (;;) {
    if (source.NextChunk() != S_OK) break;  // the end, or a chunk the filter cannot give
    // Chapters apart as the index holds them (batch.cpp).
    if (source.chunk().breakType == CHUNK_EOC && !text->text.empty() &&
        text->text.size() < kSnippetTextUnits) {
      text->text.push_back(u'\n');
      finder->BreakText();
    }
    std::u16string_view piece;
    while (source.NextPiece(&piece) == S_OK) {
      const std::size_t room = kSnippetTextUnits - text->text.size();
      if (piece.size() > room) piece = piece.substr(0, room);
      text->text.append(piece);
      finder->Feed(piece);
      if (text->text.size() >= kSnippetTextUnits) {
        text->complete = true;
        return S_OK;
      }
      if (text->text.size() - checked >= kCheckEveryUnits) {
        checked = text->text.size();
        if (enough(*finder)) return S_OK;
      }
    }
  }
  text->complete = true;
  return S_OK;
}

HRESULT Report(const std::vector<Passage>& passages, ISnippetSink* sink) {
  if (passages.empty()) return S_FALSE;
  for (const Passage& passage : passages) {
    std::vector<UINT> marks;
    for (const auto& [from, to] : passage.marks) {
      marks.push_back(from);
      marks.push_back(to);
    }
    const HRESULT answered =
        sink->Passage(passage.text.data(), static_cast<UINT>(passage.text.size()), marks.data(),
                      static_cast<UINT>(passage.marks.size()));
    if (answered != S_OK) return answered;
  }
  return S_OK;
}

// The text of `path` with `*finder` fed all of it that was read: the
// cache's text when it is whole or enough for `enough`, else the file read
// through its filter up to `enough` (and kept). S_OK; S_FALSE for a file that
// is not regular or that no filter reads; HRESULT_FROM_WIN32(
// ERROR_FILE_NOT_FOUND) for a file that is gone; the failure of reading it.
HRESULT ReadThrough(const WString& path, const std::vector<trovix::analysis::QueryWord>& words,
                    bool exact_accents, const std::function<bool(PassageFinder&)>& enough,
                    std::unique_ptr<PassageFinder>* finder, std::shared_ptr<const FileText>* text) {
  struct stat now {};
  if (stat(Utf16ToUtf8(path).c_str(), &now) != 0) {
    return errno == ENOENT ? HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND) : HresultFromErrno(errno);
  }
  if (!S_ISREG(now.st_mode)) return S_FALSE;
  if (std::shared_ptr<const FileText> kept = Cache().Find(path, now)) {
    *finder = std::make_unique<PassageFinder>(words, exact_accents);
    (*finder)->Feed(kept->text);
    (*finder)->Finish();
    if (kept->complete || enough(**finder)) {
      *text = std::move(kept);
      return S_OK;
    }
  }
  auto read = std::make_shared<FileText>();
  read->path = path;
  read->size = now.st_size;
  read->written = now.st_mtim;
  *finder = std::make_unique<PassageFinder>(words, exact_accents);
  const HRESULT hr = ReadText(path, finder->get(), enough, read.get());
  if (hr == E_NOINTERFACE) return S_FALSE;  // no filter reads this type
  if (FAILED(hr)) return hr;
  (*finder)->Finish();
  Cache().Keep(read);
  *text = std::move(read);
  return S_OK;
}

class Snippets final : public ComObject<ITrovixSnippets, IID_ITrovixSnippets> {
 public:
  Snippets() : ComObject(&g_live_objects) {}

  HRESULT GetSnippets(const WCHAR* sQuery, UINT dwFlags, const WCHAR* sPath, UINT cPassages,
                      ISnippetSink* sink) override {
    if (sQuery == nullptr || sPath == nullptr || sink == nullptr ||
        (dwFlags & ~kTermsAllFlags) != 0 || cPassages < 1 || cPassages > kSnippetMaxPassages) {
      return E_INVALIDARG;
    }
    try {
      return Make(std::u16string_view(sQuery, WcsLen(sQuery)), dwFlags, WString(sPath), cPassages,
                  sink);
    } catch (const std::bad_alloc&) {
      return E_OUTOFMEMORY;
    }
  }

 private:
  static HRESULT Make(std::u16string_view query, UINT flags, const WString& path, UINT count,
                      ISnippetSink* sink) {
    std::vector<trovix::analysis::QueryWord> words = trovix::analysis::AnalyseQueryWords(query);
    if (words.empty() || (flags & kTermsNameOnly) != 0) return S_FALSE;
    std::unique_ptr<PassageFinder> finder;
    std::shared_ptr<const FileText> text;
    const HRESULT hr = ReadThrough(
        path, words, (flags & kTermsExactAccents) != 0,
        [count](PassageFinder& so_far) { return so_far.Satisfied(count, kSnippetPassageUnits); },
        &finder, &text);
    if (hr != S_OK) return hr;
    return Report(finder->Passages(text->text, count, kSnippetPassageUnits), sink);
  }
};

}  // namespace

bool FileHoldsWords(const WString& path, std::u16string_view name,
                    const std::vector<trovix::analysis::QueryWord>& words, bool exact_accents,
                    bool name_only) {
  std::vector<trovix::analysis::QueryWord> rest;
  for (const trovix::analysis::QueryWord& word : words) {
    PassageFinder in_name({word}, exact_accents);
    in_name.Feed(name);
    in_name.Finish();
    if (!in_name.HoldsEveryWord()) rest.push_back(word);
  }
  if (rest.empty()) return true;
  if (name_only) return false;
  std::unique_ptr<PassageFinder> finder;
  std::shared_ptr<const FileText> text;
  const HRESULT hr = ReadThrough(
      path, rest, exact_accents, [](PassageFinder& so_far) { return so_far.HoldsEveryWord(); },
      &finder, &text);
  return hr == S_OK && finder->HoldsEveryWord();
}

HRESULT CreateSnippets(void** ppv) {
  *ppv = static_cast<ITrovixSnippets*>(new (std::nothrow) Snippets());
  return *ppv != nullptr ? S_OK : E_OUTOFMEMORY;
}

}  // namespace ordalis
