// Window messages that cross programs.
#pragma once

#include "platform/types.h"

inline constexpr UINT WM_USER = 0x0400;
// Posted by the indexer to the panel and the band around a compaction; both
// parameters are 0.
inline constexpr UINT WM_COMPACTION_BEGIN = WM_USER + 239;
inline constexpr UINT WM_COMPACTION_END = WM_USER + 240;
static_assert(WM_COMPACTION_BEGIN == 1263 && WM_COMPACTION_END == 1264);
