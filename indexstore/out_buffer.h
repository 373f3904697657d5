// The size-query protocol of the string getters.
#pragma once

#include <algorithm>
#include <string_view>

#include "platform/hresult.h"

namespace ordalis {

// With n = text length + 1 (the terminator counted): a null `buffer` sets
// *pcch = n and answers S_FALSE (a size query); *pcch < n sets *pcch = n and
// answers E_INVALIDARG, copying nothing; else the text and its terminator are
// copied, *pcch = n, S_OK. `pcch` must not be null.
[[nodiscard]] inline HRESULT CopyOut(std::u16string_view text, WCHAR* buffer, UINT* pcch) {
  const auto needed = static_cast<UINT>(text.size() + 1);
  if (buffer == nullptr) {
    *pcch = needed;
    return S_FALSE;
  }
  if (*pcch < needed) {
    *pcch = needed;
    return E_INVALIDARG;
  }
  std::copy(text.begin(), text.end(), buffer);
  buffer[text.size()] = 0;
  *pcch = needed;
  return S_OK;
}

}  // namespace ordalis
