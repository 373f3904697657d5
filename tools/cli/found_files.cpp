#include "tools/cli/found_files.h"

#include <algorithm>

#include "platform/wstring.h"

namespace trovix::cli {
namespace {

bool IsAscii(std::string_view text) {
  return std::all_of(text.begin(), text.end(),
                     [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

// The last component of a path: after its last "/" (a byte that UTF-8
// never uses inside a character, and that stays itself among bytes that
// are not UTF-8).
std::size_t NameStart(std::string_view path) {
  const std::size_t slash = path.rfind('/');
  return slash == std::string_view::npos ? 0 : slash + 1;
}

// See FoundFile::name_key. Between two keys, a byte below 0x80 is an ASCII
// character, ordered as its UTF-16 unit; 0x80 stands for any character
// from U+0080 on (or a byte that is not UTF-8, kept as a unit above 0x7F),
// which every UTF-16 form also puts after ASCII; 0 is the end of the name,
// before everything. Names with equal keys need the full comparison.
void SetNameKey(std::string_view name, std::uint64_t (&key)[2]) {
  for (std::size_t i = 0; i < 16; ++i) {
    std::uint64_t byte = 0;
    if (i < name.size()) byte = static_cast<unsigned char>(name[i]);
    const bool beyond_ascii = byte >= 0x80;
    key[i / 8] |= (beyond_ascii ? std::uint64_t{0x80} : byte) << (8 * (7 - i % 8));
    if (beyond_ascii) return;
  }
}

bool SameKey(const FoundFile& a, const FoundFile& b) {
  return a.name_key[0] == b.name_key[0] && a.name_key[1] == b.name_key[1];
}

bool KeyBefore(const FoundFile& a, const FoundFile& b) {
  return a.name_key[0] != b.name_key[0] ? a.name_key[0] < b.name_key[0]
                                        : a.name_key[1] < b.name_key[1];
}

template <typename View>
int Compare(View a, View b) {
  const int c = a.compare(b);
  return c < 0 ? -1 : (c > 0 ? 1 : 0);
}

}  // namespace

void FoundFiles::Reserve(std::size_t count) {
  constexpr std::size_t kUsualPathBytes = 96;
  files_.reserve(count);
  bytes_.reserve(count * kUsualPathBytes);
}

void FoundFiles::Add(INT id, std::string_view path, FILETIME creation, FILETIME modification,
                     UINT size_lo32) {
  FoundFile file;
  file.id = id;
  file.path_at = static_cast<std::uint32_t>(bytes_.size());
  file.path_bytes = static_cast<std::uint32_t>(path.size());
  file.name_at = static_cast<std::uint32_t>(NameStart(path));
  SetNameKey(path.substr(file.name_at), file.name_key);
  file.creation = creation;
  file.modification = modification;
  file.size_lo32 = size_lo32;
  if (!IsAscii(path)) {
    file.name_ascii = IsAscii(path.substr(file.name_at));
    file.wide = static_cast<std::int32_t>(wide_.size());
    wide_.push_back(Utf8ToUtf16(path));
  }
  bytes_.append(path);
  files_.push_back(file);
}

void FoundFiles::KeepOnePerId() {
  const auto by_id = [](const FoundFile& a, const FoundFile& b) { return a.id < b.id; };
  if (std::is_sorted(files_.begin(), files_.end(), by_id) &&
      std::adjacent_find(files_.begin(), files_.end(), [](const FoundFile& a, const FoundFile& b) {
        return a.id == b.id;
      }) == files_.end()) {
    return;  // the usual case: a result set is ascending without repeats
  }
  std::stable_sort(files_.begin(), files_.end(), by_id);
  files_.erase(std::unique(files_.begin(), files_.end(),
                           [](const FoundFile& a, const FoundFile& b) { return a.id == b.id; }),
               files_.end());
}

void FoundFiles::SortByName() {
  std::sort(files_.begin(), files_.end(), [this](const FoundFile& a, const FoundFile& b) {
    return SameKey(a, b) ? Before(a, b) : KeyBefore(a, b);
  });
}

WString FoundFiles::WidePath(const FoundFile& file) const {
  return file.wide >= 0 ? wide_[static_cast<std::size_t>(file.wide)] : Utf8ToUtf16(Path(file));
}

bool FoundFiles::Before(const FoundFile& a, const FoundFile& b) const {
  int c = 0;
  if (a.name_ascii || b.name_ascii) {
    c = Compare(Name(a), Name(b));
  } else {
    const std::u16string_view a_path = wide_[static_cast<std::size_t>(a.wide)];
    const std::u16string_view b_path = wide_[static_cast<std::size_t>(b.wide)];
    c = Compare(a_path.substr(a_path.rfind(u'/') + 1), b_path.substr(b_path.rfind(u'/') + 1));
  }
  if (c == 0) {
    c = a.wide < 0 || b.wide < 0
            ? Compare(Path(a), Path(b))
            : Compare(std::u16string_view(wide_[static_cast<std::size_t>(a.wide)]),
                      std::u16string_view(wide_[static_cast<std::size_t>(b.wide)]));
  }
  return c != 0 ? c < 0 : a.id < b.id;
}

}  // namespace trovix::cli
