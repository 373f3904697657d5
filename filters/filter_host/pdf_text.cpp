#include "filters/filter_host/pdf_text.h"

#include <poppler-document.h>
#include <poppler-global.h>
#include <poppler-page.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <memory>
#include <new>
#include <string>
#include <string_view>
#include <vector>

namespace docfilter {
namespace {

// Reading order: side-by-side columns one after the other, a space between
// words, a line break between lines. The physical layout interleaves the
// lines of such columns (a phrase running down a column is lost) and pads
// them with runs of spaces; the raw order follows the content stream, which
// may draw across the columns too. All three cost about the same.
constexpr poppler::page::text_layout_enum kLayout = poppler::page::non_raw_non_physical_layout;

// poppler looks for the header in the first KiB.
constexpr std::size_t kHeaderWindow = 1024;
// How far before the name "/Catalog" its object header may be, and how many
// such names are tried: bounds the search in a file full of the name.
constexpr std::size_t kCatalogReach = 64 * 1024;
constexpr int kCatalogCandidates = 16;
// Room for a trailer appended to a file cut short.
constexpr std::size_t kTrailerRoom = 4096;

// poppler reports every damaged object of a hostile file; the helper's
// standard error is no place for that.
void IgnorePopplerMessage(const std::string&, void*) {}

// The whole file. poppler keeps a pointer to these bytes rather than a copy,
// so they must outlive the document made from them.
[[nodiscard]] HRESULT ReadWholeFile(int fd, std::vector<char>* bytes) {
  struct stat st {};
  if (fstat(fd, &st) != 0) return HresultFromErrno(errno);
  // poppler takes the length as an int; such a file would not fit in the
  // helper's address space anyway.
  if (st.st_size > INT_MAX - static_cast<off_t>(kTrailerRoom)) return E_OUTOFMEMORY;
  // Room for a trailer from the start: growing a buffer of hundreds of MB
  // later would need twice that in the helper's address space.
  bytes->reserve(static_cast<std::size_t>(st.st_size) + kTrailerRoom);
  bytes->resize(static_cast<std::size_t>(st.st_size));
  std::size_t done = 0;
  while (done < bytes->size()) {
    const ssize_t n =
        pread(fd, bytes->data() + done, bytes->size() - done, static_cast<off_t>(done));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return HresultFromErrno(errno);
    if (n == 0) break;  // the file shrank since fstat: parse what is there
    done += static_cast<std::size_t>(n);
  }
  bytes->resize(done);
  return S_OK;
}

bool IsPdfSpace(char c) {
  return c == ' ' || c == '\n' || c == '\r' || c == '\t' || c == '\f' || c == '\0';
}

// The reference "N G" of an object header "N G obj" that ends where
// `window` does; empty when there is none (as before "endobj"). Looks no
// further back than the window.
std::string ReferenceAtEnd(std::string_view window) {
  std::string_view numbers[2];
  std::size_t end = window.size();
  for (int k = 1; k >= 0; --k) {
    std::size_t digits_end = end;
    while (digits_end > 0 && IsPdfSpace(window[digits_end - 1])) --digits_end;
    if (digits_end == end) return {};
    std::size_t start = digits_end;
    while (start > 0 && window[start - 1] >= '0' && window[start - 1] <= '9') --start;
    if (start == digits_end || digits_end - start > 10) return {};
    numbers[k] = window.substr(start, digits_end - start);
    end = start;
  }
  return std::string(numbers[0]) + " " + std::string(numbers[1]);
}

// A file cut short (an unfinished download or copy) has lost its trailer,
// and without one poppler rebuilds no cross-reference table from the
// objects that remain. Appends a trailer naming the catalog found last;
// false when the bytes are no PDF or hold no catalog.
bool AppendTrailer(std::vector<char>* bytes) {
  const std::string_view text(bytes->data(), bytes->size());
  if (text.substr(0, kHeaderWindow).find("%PDF-") == std::string_view::npos) return false;
  std::size_t before = std::string_view::npos;
  for (int tries = 0; tries < kCatalogCandidates; ++tries) {
    const std::size_t catalog = text.rfind("/Catalog", before);
    if (catalog == std::string_view::npos || catalog == 0) return false;
    before = catalog - 1;
    const std::size_t from = catalog > kCatalogReach ? catalog - kCatalogReach : 0;
    const std::string_view window = text.substr(from, catalog - from);
    const std::size_t keyword = window.rfind("obj");
    if (keyword == std::string_view::npos) continue;
    // After "endobj", the name is not in a catalog's dictionary.
    const std::string reference = ReferenceAtEnd(window.substr(0, keyword));
    if (reference.empty()) continue;
    const std::string trailer = "\ntrailer\n<< /Root " + reference + " R >>\n";
    bytes->insert(bytes->end(), trailer.begin(), trailer.end());
    return true;
  }
  return false;
}

// Null for anything poppler cannot make a document of, including files too
// short to be one.
std::unique_ptr<poppler::document> LoadOnce(const std::vector<char>& bytes) {
  return std::unique_ptr<poppler::document>(
      poppler::document::load_from_raw_data(bytes.data(), static_cast<int>(bytes.size())));
}

// The document, given a trailer if it lacks one; null when none can be
// made. Loaded with empty passwords: a document that opens without one is
// read, one that needs a user password comes back locked.
std::unique_ptr<poppler::document> Load(std::vector<char>* bytes) {
  std::unique_ptr<poppler::document> doc = LoadOnce(*bytes);
  if (doc == nullptr && AppendTrailer(bytes)) doc = LoadOnce(*bytes);
  return doc;
}

// poppler's strings hold UTF-16 in host byte order.
std::u16string_view View(const poppler::ustring& text) {
  return {reinterpret_cast<const char16_t*>(text.data()), text.size()};
}

bool IsBlank(char16_t c) {
  return c == u' ' || c == u'\t' || c == u'\r' || c == u'\n' || c == u'\f' || c == 0;
}

// Without the blanks around it: the line breaks and form feed poppler ends
// every page with, the NULs some writers end titles with.
std::u16string_view Trimmed(std::u16string_view text) {
  while (!text.empty() && IsBlank(text.front())) text.remove_prefix(1);
  while (!text.empty() && IsBlank(text.back())) text.remove_suffix(1);
  return text;
}

// Title chunk, then a chunk per page, until the sink wants no more.
void AddDocumentText(const poppler::document& doc, ChunkSink* sink) {
  const poppler::ustring title = doc.info_key("Title");
  if (!sink->Add(ChunkKind::kTitle, Trimmed(View(title)))) return;
  const int pages = doc.pages();
  for (int i = 0; i < pages; ++i) {
    // A page object poppler cannot find or read is left out; the others
    // still count.
    const std::unique_ptr<poppler::page> page(doc.create_page(i));
    if (page == nullptr) continue;
    const poppler::ustring text = page->text(poppler::rectf(), kLayout);
    if (!sink->Add(ChunkKind::kText, Trimmed(View(text)))) return;
  }
}

}  // namespace

HRESULT ExtractPdf(int fd, ChunkSink* sink) {
  poppler::set_debug_error_function(IgnorePopplerMessage, nullptr);
  try {
    std::vector<char> bytes;
    const HRESULT hr = ReadWholeFile(fd, &bytes);
    if (FAILED(hr)) return hr;
    const std::unique_ptr<poppler::document> doc = Load(&bytes);
    if (doc == nullptr) return HRESULT_FROM_WIN32(ERROR_BAD_FORMAT);
    if (doc->is_locked()) return FILTER_E_PASSWORD;
    AddDocumentText(*doc, sink);
    return S_OK;
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  }
}

}  // namespace docfilter
