// How the catalogue cuts a path into the three keys of its tables: the drive
// (the root "/"), the directory below it ("home/ann/docs/", always ending in
// "/" unless empty) and the file name ("a.txt").
//
// The rules are textual: nothing is resolved or normalised, so callers pass
// absolute paths in the form they want catalogued (the indexer passes
// canonical ones). Only "/" separates; a colon or a backslash is an ordinary
// character of a name. Names compare exactly, in UTF-16 code units.
#pragma once

#include <string_view>

#include "platform/types.h"

namespace ordalis {

struct PathParts {
  WString drive;      // "/" (or "//" for a path that begins with two slashes)
  WString directory;  // "" for the root itself, else ends in "/"
  WString file;       // "" from SplitDirectoryPath
};

// Splits a file path. The second component starts after the leading "/" (after
// the second one when the path begins with "//"); the drive is the text before
// it. The last component starts after the last "/" that is followed by a
// character other than "/", so a trailing "/" stays with it: "/a/b/" gives the
// file "b/" in the directory "a/". The directory is the text between the two.
// False, with `*out` unchanged, when the path does not begin with "/" or has
// no last component ("/", "//").
[[nodiscard]] bool SplitPath(std::u16string_view path, PathParts* out);

// Splits a directory path: the drive as SplitPath gives it, and as directory
// the whole text after the drive with a "/" appended unless that text is empty
// or already ends in one ("/a/b" and "/a/b/" both give "a/b/", "/" gives "").
// False, with `*out` unchanged, when the path does not begin with "/".
[[nodiscard]] bool SplitDirectoryPath(std::u16string_view path, PathParts* out);

}  // namespace ordalis
