// Registry key and value names shared by the deliverables.
#pragma once

#include <string_view>

namespace trovix::keys {

// Under HKEY_CURRENT_USER.
inline constexpr std::u16string_view kTrovix = u"Software\\Quillon\\Trovix";
inline constexpr std::u16string_view kOrdalis = u"Software\\Quillon\\Trovix\\Ordalis";
inline constexpr std::u16string_view kKestine = u"Software\\Quillon\\Trovix\\Kestine";
inline constexpr std::u16string_view kVistrel = u"Software\\Quillon\\Trovix\\Vistrel";

// Values of kTrovix: the installed bin/ folder, ending with '/'.
inline constexpr std::u16string_view kBinPath = u"BinPath";
// Value of kTrovix: characters of text taken from one document at most
// (DWORD; absent or 0: 16 Mi).
inline constexpr std::u16string_view kMaxTextPerFile = u"Max Text Per File";
// Value of kTrovix: 1 when searches tell accented letters from plain ones
// (café is not cafe); absent or 0: accents are folded away. Case is always
// folded. Read by every front end.
inline constexpr std::u16string_view kMatchAccents = u"Match Accents";
// Values of kOrdalis: the statistics counters kept between runs.
inline constexpr std::u16string_view kFilesIndexed = u"Files Indexed";
inline constexpr std::u16string_view kFilesProcessed = u"Files Processed";

}  // namespace trovix::keys
