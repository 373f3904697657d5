// Test support: files whose paths are as long as a test asks, in bytes, up
// to PATH_MAX. A name holds at most 255 bytes, so a long path is made of
// nested folders; every name mixes characters of two, three and four bytes
// in UTF-8 (é, 日本, an emoji) with ASCII that makes the length exact.
#pragma once

#include <cstddef>
#include <string>

namespace trovix::testing {

// Creates below `base` (an existing absolute folder) the folders of a path
// of exactly `total_bytes` bytes whose last name ends in `suffix` (".txt"),
// writes `text` to that file and returns its path. With `odd_byte`, one
// folder name holds the byte 0xFF, which is not UTF-8. At least one folder
// is made, so the path always has a parent of its own. `total_bytes` must
// leave room for a folder and the file: base.size() + 64 at least.
std::string MakeLongPathFile(const std::string& base, std::size_t total_bytes,
                             const std::string& suffix, const std::string& text,
                             bool odd_byte = false);

}  // namespace trovix::testing
