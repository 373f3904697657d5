// The file types an installation registers, as a desktop installer would:
// extension keys with their file type and content type, and the file type's
// open command.
#pragma once

#include <span>
#include <string_view>

#include "platform/types.h"

namespace trovix::setup {

// The file type of plain text and the extensions registered for it.
inline constexpr std::u16string_view kTextFileType = u"txtfile";
[[nodiscard]] std::span<const std::u16string_view> PlainTextExtensions();

// Writes HKCR\.ext (default "txtfile", "Content Type" "text/plain",
// "PerceivedType" "text") for every plain-text extension, HKCR\txtfile
// with its shell\open\command, and the persistent handler of the text
// filter as HKLM\Software\Classes\.txt\PersistentHandler. Answers the
// first registry error.
[[nodiscard]] LONG RegisterPlainTextTypes();
// Removes the ".txt" handler key while it names the text filter, the
// extension keys that still name "txtfile" and the txtfile key.
[[nodiscard]] LONG UnregisterPlainTextTypes();

// Writes HKCR\.ext with its file type and Content Type for the markup
// (.html, .htm, .xhtml, .xml), PDF, OpenDocument (.odt, .ods, .odp, .odg),
// Office Open XML (.docx, .xlsx, .pptx), EPUB, RTF and e-mail (.eml) types,
// each file type's shell\open\command, and
// HKLM\Software\Classes\.ext\PersistentHandler naming the document
// filter's handler for each. Answers the first registry error.
[[nodiscard]] LONG RegisterDocumentTypes();
// Removes those keys where they still name the document filter and its file
// types.
[[nodiscard]] LONG UnregisterDocumentTypes();

}  // namespace trovix::setup
