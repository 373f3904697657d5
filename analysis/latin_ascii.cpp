#include "analysis/latin_ascii.h"

#include <dlfcn.h>
#include <unicode/utrans.h>
#include <unicode/uvernum.h>

#include <algorithm>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace trovix::analysis {
namespace {

// ICU renames its C functions by version (utrans_openU_72); the macros of
// its headers give the names the library exports.
#define TROVIX_ICU_NAME_TEXT(name) #name
#define TROVIX_ICU_NAME(name) TROVIX_ICU_NAME_TEXT(name)

// The library's entry points, resolved once; all null when it is missing.
struct Entry {
  decltype(&utrans_openU) open = nullptr;
  decltype(&utrans_close) close = nullptr;
  decltype(&utrans_transUChars) transliterate = nullptr;
};

const Entry& Library() {
  static const Entry entry = [] {
    Entry found;
    // The handle stays open for the process: the transliterators of the
    // pool are closed at exit through it.
    void* const library = dlopen("libicui18n.so." U_ICU_VERSION_SHORT, RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr) return found;
    found.open =
        reinterpret_cast<decltype(&utrans_openU)>(dlsym(library, TROVIX_ICU_NAME(utrans_openU)));
    found.close =
        reinterpret_cast<decltype(&utrans_close)>(dlsym(library, TROVIX_ICU_NAME(utrans_close)));
    found.transliterate = reinterpret_cast<decltype(&utrans_transUChars)>(
        dlsym(library, TROVIX_ICU_NAME(utrans_transUChars)));
    if (found.open == nullptr || found.close == nullptr || found.transliterate == nullptr) {
      return Entry{};
    }
    return found;
  }();
  return entry;
}

struct Closer {
  void operator()(UTransliterator* transliterator) const { Library().close(transliterator); }
};
using Transliterator = std::unique_ptr<UTransliterator, Closer>;

// Transliterators are not thread-safe: a call takes one from the pool and
// gives it back.
class Borrowed {
 public:
  Borrowed() {
    {
      const std::lock_guard lock(Pool().mutex);
      if (!Pool().idle.empty()) {
        instance_ = std::move(Pool().idle.back());
        Pool().idle.pop_back();
        return;
      }
    }
    if (Library().open == nullptr) return;
    static constexpr char16_t kId[] = u"Latin-ASCII";
    UErrorCode status = U_ZERO_ERROR;
    instance_.reset(Library().open(kId, -1, UTRANS_FORWARD, nullptr, 0, nullptr, &status));
    if (U_FAILURE(status)) instance_.reset();
  }
  ~Borrowed() {
    if (!instance_) return;
    const std::lock_guard lock(Pool().mutex);
    Pool().idle.push_back(std::move(instance_));
  }
  Borrowed(const Borrowed&) = delete;
  Borrowed& operator=(const Borrowed&) = delete;

  [[nodiscard]] UTransliterator* get() const { return instance_.get(); }

 private:
  struct Idle {
    std::mutex mutex;
    std::vector<Transliterator> idle;  // Guarded by mutex.
  };
  static Idle& Pool() {
    static Idle pool;
    return pool;
  }
  Transliterator instance_;
};

}  // namespace

bool LatinToAscii(icu::UnicodeString& text) {
  const Borrowed transliterator;
  if (transliterator.get() == nullptr || text.isBogus()) return false;
  const std::u16string original(text.getBuffer(), text.getBuffer() + text.length());
  // Each letter becomes a few ASCII letters at most; a text that outgrows
  // the room is tried once more with the room ICU asked for.
  std::size_t capacity = original.size() * 4 + 16;
  for (int attempt = 0; attempt < 2; ++attempt) {
    std::u16string buffer = original;
    buffer.resize(capacity);
    auto length = static_cast<int32_t>(original.size());
    int32_t limit = length;
    UErrorCode status = U_ZERO_ERROR;
    Library().transliterate(transliterator.get(), buffer.data(), &length,
                            static_cast<int32_t>(capacity), 0, &limit, &status);
    if (status == U_BUFFER_OVERFLOW_ERROR) {
      capacity = static_cast<std::size_t>(length) + 16;
      continue;
    }
    if (U_FAILURE(status)) return false;
    text.setTo(buffer.data(), length);
    return true;
  }
  return false;
}

}  // namespace trovix::analysis
