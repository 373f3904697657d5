// Formatting what the command-line tool prints.
#pragma once

#include <string>
#include <string_view>

#include "platform/types.h"

namespace trovix::cli {

// "2026-12-06 21:08:48" in local time; "-" for a zero time.
[[nodiscard]] std::string LocalTimeText(FILETIME time);

// A JSON string literal (quotes included) for UTF-16 text. A unit that is not
// valid Unicode (a lone surrogate, which stands for a name byte that is not
// UTF-8) is written as U+FFFD, so the output is valid JSON that any parser
// takes; the exact bytes are then given by Base64 (see NameIsUtf8).
[[nodiscard]] std::string JsonString(std::u16string_view text);

// False when `name` holds a lone surrogate: the name on disk is not UTF-8.
[[nodiscard]] bool NameIsUtf8(std::u16string_view name);

// Standard base64 (RFC 4648, with "=" padding) of `bytes`.
[[nodiscard]] std::string Base64(std::string_view bytes);

// A name made safe to show on a terminal, so that it cannot move the cursor,
// change colours or split a line: "\" is written "\\"; tab, line feed and
// carriage return "\t", "\n", "\r"; the other C0 controls and DEL "\xHH";
// the C1 controls U+0080 to U+009F "\u0080" to "\u009f"; each byte that is
// not UTF-8 "\xHH" (HH from 80 to ff, which UTF-8 text never shows as an
// escape otherwise). Every other character is itself, in UTF-8.
[[nodiscard]] std::string TerminalText(std::u16string_view name);

}  // namespace trovix::cli
