// QueryCleanup: the search panel's query text reduced to the words a word
// search can find.
#include <algorithm>
#include <string_view>

#include "indexstore/tokenizer.h"
#include "indexstore/trovix_db.h"

namespace ordalis {
namespace {

// A query keeps the words the index holds, and any pattern word with "*",
// whatever its length.
bool Keep(std::u16string_view token) {
  return AcceptWord(token) || token.find(u'*') != std::u16string_view::npos;
}

}  // namespace

// Cleans in place without allocating. Invariant: the write position never
// passes the start of the token being read, because every kept token but the
// first is preceded in the input by at least one separator, which the single
// joining space replaces; so the copies never overwrite text still to be read.
std::size_t CleanQueryInPlace(WCHAR* sQry) {
  WCHAR* out = sQry;
  WCHAR* context = nullptr;
  for (WCHAR* token = NextToken(sQry, &context, /*query_mode=*/true); token != nullptr;
       token = NextToken(nullptr, &context, /*query_mode=*/true)) {
    const std::u16string_view word(token);
    if (!Keep(word)) continue;
    if (out != sQry) *out++ = u' ';
    // std::copy forbids a destination that starts at the source itself.
    out = out == token ? out + word.size() : std::copy(word.begin(), word.end(), out);
  }
  *out = 0;
  return static_cast<std::size_t>(out - sQry);
}

HRESULT TrovixDB::QueryCleanup(WCHAR* sQry, UINT* pcch) {
  if (sQry == nullptr) return E_INVALIDARG;
  // A lone sign is the panel's whole-index query; it stays as it is.
  if ((sQry[0] == u'+' || sQry[0] == u'-') && sQry[1] == 0) {
    if (pcch != nullptr) *pcch = 2;
    return S_OK;
  }
  const std::size_t length = CleanQueryInPlace(sQry);
  if (pcch != nullptr) *pcch = static_cast<UINT>(length);
  return S_OK;
}

}  // namespace ordalis
