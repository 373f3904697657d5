// UTF-16 text and its conversion to the UTF-8 of the operating system.
//
// Names on disk are bytes. A byte sequence that is not valid UTF-8 maps each
// bad byte 0xXY to the lone surrogate U+DCXY, and such a surrogate maps back to
// the byte, so every name on disk survives the round trip unchanged.
#pragma once

#include <string>
#include <string_view>

#include "platform/types.h"

[[nodiscard]] WString Utf8ToUtf16(std::string_view utf8);
[[nodiscard]] std::string Utf16ToUtf8(std::u16string_view utf16);

// Length of a zero-terminated UTF-16 string, 0 for null.
[[nodiscard]] std::size_t WcsLen(const WCHAR* s);
// Length, but stops counting past `limit`: callers only need to know whether a
// caller's string exceeds a limit, without reading unbounded memory.
[[nodiscard]] std::size_t WcsLenCapped(const WCHAR* s, std::size_t limit);
// A copy of a zero-terminated string; empty for null.
[[nodiscard]] WString ToWString(const WCHAR* s);
[[nodiscard]] std::string ToUtf8(const WCHAR* s);
