#include "platform/testing/long_path.h"

#include <filesystem>
#include <stdexcept>

#include "platform/testing/private_tree.h"

namespace trovix::testing {
namespace {

// A folder name's bytes at most, with its '/'; below the 255 a name may hold.
constexpr std::size_t kFolderStep = 201;
// What is left for the file's name after the folders, at least.
constexpr std::size_t kFileNameRoom = 50;

// A name of exactly `bytes` bytes ending in `tail`: whole characters of
// several widths, then ASCII to the length.
std::string Name(std::size_t bytes, const std::string& tail, bool odd_byte) {
  static const char* const kPieces[] = {"\xC3\xA9", "\xE6\x97\xA5\xE6\x9C\xAC", "\xF0\x9F\x98\x80",
                                        "-"};
  std::string name = odd_byte ? "\xFF" : "";
  for (std::size_t i = 0;; ++i) {
    const std::string piece = kPieces[i % std::size(kPieces)];
    if (name.size() + piece.size() + tail.size() > bytes) break;
    name += piece;
  }
  name.append(bytes - tail.size() - name.size(), 'x');
  return name + tail;
}

}  // namespace

std::string MakeLongPathFile(const std::string& base, std::size_t total_bytes,
                             const std::string& suffix, const std::string& text, bool odd_byte) {
  if (total_bytes < base.size() + 1 + kFileNameRoom + 2) {
    throw std::invalid_argument("no room for a folder and a file below " + base);
  }
  std::string path = base;
  std::size_t left = total_bytes - base.size() - 1;  // the file's '/' is counted here
  bool first = true;
  while (first || left > 250) {
    const std::size_t step = std::min(kFolderStep, left - kFileNameRoom);
    path += "/" + Name(step - 1, "", odd_byte && first);
    left -= step;
    first = false;
  }
  std::filesystem::create_directories(path);
  path += "/" + Name(left, suffix, false);
  WriteFile(path, text);
  if (path.size() != total_bytes) throw std::logic_error("long path of the wrong length");
  return path;
}

}  // namespace trovix::testing
