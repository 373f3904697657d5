// The kinds of file a query narrows to with "type:", told by the file name's
// extension (the file types the installation registers are told the same
// way, and a file's kind must not cost a read of it).
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace trovix::query {

// "document", "pdf", "text", "web", "mail", "ebook", "spreadsheet",
// "presentation", "image", "audio", "video", "archive".
[[nodiscard]] const std::vector<std::string>& FileKindNames();

// The extension of the last component of `path` (UTF-8), lower case (A-Z
// only), without its dot; empty when the name has none (".profile" has
// none: a leading dot starts a hidden name).
[[nodiscard]] std::string ExtensionOf(std::string_view path);

// True when a file of extension `extension` (as ExtensionOf gives it) is of
// the kind `kind` (one of FileKindNames()). "document" covers text
// documents of every format: PDF, word processing, e-books, RTF, plain text
// and markup.
[[nodiscard]] bool IsOfKind(std::string_view extension, std::string_view kind);

}  // namespace trovix::query
