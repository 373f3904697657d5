// Path patterns of the file-name search: "/home/ann/docs/*.txt", "*.pdf",
// "$HOME/notes/". A pattern is cut into the three parts the catalogue keeps
// (drive, directory, file name), each matched on its own with `like`, "*"
// standing for any run of characters.
//
// The cut is textual, like SplitPath of the catalogue, but a pattern need not
// be absolute: without a leading "/" it has no drive part, and its directory
// part (if any) is matched as a directory name below the root.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "platform/types.h"

namespace ordalis {

struct PatternParts {
  WString drive;      // "/" or empty
  WString directory;  // empty, or ends in "/"
  WString file;       // empty when the pattern ends in "/" or has no text
};

// Longest pattern after expansion, in UTF-16 units: one path.
inline constexpr std::size_t kMaxPatternUnits = MAX_PATH - 1;

// Expands environment variables written %NAME%, $NAME or ${NAME} (NAME from
// the process environment, UTF-8) and a "~" that opens the text or follows
// the opening quote, when "~" stands alone or before "/" ($HOME). A reference
// to a variable that is not set stays as written. One pass: text taken from
// a variable's value is not expanded again.
[[nodiscard]] WString ExpandPatternVariables(std::u16string_view pattern);

// Expands `pattern`, removes one pair of quotes around the whole text, and
// cuts it into parts:
//  - drive: "/" when the text begins with "/", else empty;
//  - the rest: the text after that first "/", or all of it;
//  - file: the last component of the rest, empty when the rest is empty or
//    ends in "/";
//  - directory: the rest without its file part.
// E_INVALIDARG for a null pattern or one longer than kMaxPatternUnits after
// expansion (`*parts` is then unchanged); S_OK otherwise.
[[nodiscard]] HRESULT SplitPathPattern(const WCHAR* pattern, PatternParts* parts);

// The normalised form of a pattern: drive + directory + file, "*" standing in
// for an empty file part, so "/home/x/" reads "/home/x/*".
[[nodiscard]] WString CleanPathPattern(const PatternParts& parts);

// The statement selecting the identifiers of the files matching `parts`,
// ascending, with one `like` condition per non-empty part; the patterns to
// bind, in order, are appended to `patterns`. A directory part is matched
// against Directories first, so that only the files of the matching folders
// are read (through FilesByDirectoryAndName) and then sorted; without one,
// every file is read anyway, in identifier order, which needs no sort.
[[nodiscard]] std::string PathPatternQuery(const PatternParts& parts,
                                           std::vector<WString>* patterns);

}  // namespace ordalis
