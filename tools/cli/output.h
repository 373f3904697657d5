// Formatting what the command-line tool prints.
#pragma once

#include <string>
#include <string_view>

#include "platform/types.h"

namespace trovix::cli {

// "2026-12-06 21:08:48" in local time; "-" for a zero time.
[[nodiscard]] std::string LocalTimeText(FILETIME time);
// A JSON string literal (quotes included) for UTF-16 text. Units that are not
// valid Unicode (a name byte that is not UTF-8) are written as \uXXXX escapes,
// so the output stays valid JSON and the name can be recovered.
[[nodiscard]] std::string JsonString(std::u16string_view text);

}  // namespace trovix::cli
