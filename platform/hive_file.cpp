#include "platform/hive_file.h"

#include <algorithm>
#include <cstdio>
#include <optional>

#include "platform/registry.h"
#include "platform/wstring.h"

namespace trovix {
namespace {

constexpr std::string_view kHeader = "REGEDIT4";
constexpr std::string_view kBom = "\xEF\xBB\xBF";
constexpr std::u16string_view kNul(u"\0", 1);

char16_t FoldAscii(char16_t c) { return c >= u'a' && c <= u'z' ? c - (u'a' - u'A') : c; }

const WString& NameOf(const HiveValue& value) { return value.name; }
const WString& NameOf(const HiveKey& key) { return key.name(); }

// Keys hold tens of names, rarely hundreds: a linear search costs less than
// keeping an index in step with the ordered vector.
template <typename Items>
auto FindByName(Items& items, std::u16string_view name) {
  return std::find_if(items.begin(), items.end(),
                      [&](const auto& item) { return NamesEqual(NameOf(item), name); });
}

// --- UTF-16 data bytes -----------------------------------------------------

void AppendUnits(std::vector<BYTE>& out, std::u16string_view text) {
  std::size_t at = out.size();
  out.resize(at + 2 * text.size());
  for (const char16_t unit : text) {
    out[at++] = static_cast<BYTE>(unit & 0xFF);
    out[at++] = static_cast<BYTE>(unit >> 8);
  }
}

// The UTF-16 units of `data`, or nothing when its size is odd.
std::optional<WString> UnitsOf(const std::vector<BYTE>& data) {
  if (data.size() % 2 != 0) return std::nullopt;
  WString units;
  for (std::size_t i = 0; i < data.size(); i += 2) {
    units += static_cast<char16_t>(data[i] | (data[i + 1] << 8));
  }
  return units;
}

// True when `text` can stand between quotes on one line and read back as the
// same units: no control characters but tab, and nothing UTF-8 would alter.
bool IsQuotable(std::u16string_view text) {
  for (const char16_t unit : text) {
    if (unit < 0x20 && unit != u'\t') return false;
  }
  return Utf8ToUtf16(Utf16ToUtf8(text)) == text;
}

std::vector<BYTE> SzData(std::u16string_view text) {
  std::vector<BYTE> data;
  data.reserve(2 * text.size() + 2);
  AppendUnits(data, text);
  AppendUnits(data, kNul);
  return data;
}

// Canonical REG_MULTI_SZ bytes: every string terminated, then one more
// terminator. An empty list is a single terminator.
std::vector<BYTE> MultiSzData(const std::vector<WString>& strings) {
  std::vector<BYTE> data;
  for (const WString& s : strings) {
    AppendUnits(data, s);
    AppendUnits(data, kNul);
  }
  AppendUnits(data, kNul);
  return data;
}

// --- writing ---------------------------------------------------------------

void AppendQuoted(std::string& out, std::u16string_view text) {
  out += '"';
  for (const char c : Utf16ToUtf8(text)) {
    if (c == '\\' || c == '"') out += '\\';
    out += c;
  }
  out += '"';
}

void AppendHexBytes(std::string& out, const std::vector<BYTE>& data) {
  char digits[4];
  for (std::size_t i = 0; i < data.size(); ++i) {
    std::snprintf(digits, sizeof digits, "%02x", data[i]);
    if (i > 0) out += ',';
    out += digits;
  }
}

// The readable form of a REG_SZ value, when it reproduces the bytes exactly.
bool AppendSz(std::string& out, const std::vector<BYTE>& data) {
  const std::optional<WString> units = UnitsOf(data);
  if (!units || units->empty() || units->back() != 0) return false;
  const std::u16string_view text(units->data(), units->size() - 1);
  if (text.find(u'\0') != std::u16string_view::npos || !IsQuotable(text)) return false;
  AppendQuoted(out, text);
  return true;
}

bool AppendMultiSz(std::string& out, const std::vector<BYTE>& data) {
  const std::optional<WString> units = UnitsOf(data);
  if (!units || units->empty() || units->back() != 0) return false;
  std::vector<WString> strings;
  for (std::size_t start = 0; start + 1 < units->size();) {
    const std::size_t end = units->find(u'\0', start);
    strings.push_back(units->substr(start, end - start));
    start = end + 1;
  }
  for (const WString& s : strings) {
    if (s.empty() || !IsQuotable(s)) return false;
  }
  if (MultiSzData(strings) != data) return false;
  out += "multi_sz:";
  for (std::size_t i = 0; i < strings.size(); ++i) {
    if (i > 0) out += ',';
    AppendQuoted(out, strings[i]);
  }
  return true;
}

void AppendData(std::string& out, const HiveValue& value) {
  if (value.type == REG_SZ && AppendSz(out, value.data)) return;
  if (value.type == REG_MULTI_SZ && AppendMultiSz(out, value.data)) return;
  char text[32];
  if (value.type == REG_DWORD && value.data.size() == 4) {
    const auto& d = value.data;
    std::snprintf(text, sizeof text, "dword:%02x%02x%02x%02x", d[3], d[2], d[1], d[0]);
    out += text;
    return;
  }
  if (value.type == REG_BINARY) {
    out += "hex:";
  } else {
    std::snprintf(text, sizeof text, "hex(%x):", static_cast<unsigned>(value.type));
    out += text;
  }
  AppendHexBytes(out, value.data);
}

void AppendKey(std::string& out, const HiveKey& key, const std::string& path, bool is_root) {
  if (!is_root || !key.values().empty()) {
    out += "\n[" + path + "]\n";
    for (const HiveValue& value : key.values()) {
      if (value.name.empty()) {
        out += '@';
      } else {
        AppendQuoted(out, value.name);
      }
      out += '=';
      AppendData(out, value);
      out += '\n';
    }
  }
  for (const HiveKey& subkey : key.subkeys()) {
    AppendKey(out, subkey, path + '\\' + Utf16ToUtf8(subkey.name()), /*is_root=*/false);
  }
}

// --- reading ---------------------------------------------------------------

bool IsSpace(char c) { return c == ' ' || c == '\t' || c == '\r'; }

std::string_view Trim(std::string_view s) {
  while (!s.empty() && IsSpace(s.front())) s.remove_prefix(1);
  while (!s.empty() && IsSpace(s.back())) s.remove_suffix(1);
  return s;
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// A value line that ends in a backslash outside quotes goes on in the next
// line (how long hex data is folded). A backslash inside quotes is an escape.
bool EndsWithContinuation(std::string_view line) {
  bool quoted = false;
  for (std::size_t i = 0; i < line.size(); ++i) {
    if (line[i] == '"') {
      quoted = !quoted;
    } else if (line[i] == '\\') {
      if (quoted) {
        ++i;
      } else if (i + 1 == line.size()) {
        return true;
      }
    }
  }
  return false;
}

// Reads one value line left to right; every method returns false on the
// first thing it does not accept, and `reason` says what that was.
class ValueReader {
 public:
  explicit ValueReader(std::string_view text) : text_(text) {}

  bool Read(HiveValue* value) {
    if (!ReadName(&value->name) || !Expect('=') || !ReadData(value)) return false;
    return AtEnd() || Fail("unexpected text after the value");
  }

  const char* reason() const { return reason_; }

 private:
  bool Fail(const char* reason) {
    reason_ = reason;
    return false;
  }
  bool AtEnd() const { return pos_ >= text_.size(); }
  bool Skip(std::string_view word) {
    if (text_.substr(pos_, word.size()) != word) return false;
    pos_ += word.size();
    return true;
  }
  bool Expect(char c) {
    return Skip(std::string_view(&c, 1)) || Fail(c == '=' ? "expected '='" : "expected ','");
  }

  bool ReadName(WString* name) {
    if (Skip("@")) return true;
    return ReadQuoted(name);
  }

  // A string without escapes, the usual case, is converted straight from
  // the text; only one with escapes is copied first.
  bool ReadQuoted(WString* out) {
    if (!Skip("\"")) return Fail("expected a quoted string");
    const std::size_t start = pos_;
    while (!AtEnd() && text_[pos_] != '"' && text_[pos_] != '\\') {
      const auto c = static_cast<unsigned char>(text_[pos_]);
      if (c < 0x20 && c != '\t') return Fail("control character in a quoted string");
      ++pos_;
    }
    if (AtEnd() || text_[pos_] == '"') {
      const std::string_view plain = text_.substr(start, pos_ - start);
      if (!Skip("\"")) return Fail("unterminated quoted string");
      *out = Utf8ToUtf16(plain);
      return true;
    }
    std::string bytes(text_.substr(start, pos_ - start));
    while (!AtEnd() && text_[pos_] != '"') {
      char c = text_[pos_++];
      if (c == '\\') {
        if (AtEnd() || (text_[pos_] != '\\' && text_[pos_] != '"')) {
          return Fail("unknown escape in a quoted string");
        }
        c = text_[pos_++];
      } else if (static_cast<unsigned char>(c) < 0x20 && c != '\t') {
        return Fail("control character in a quoted string");
      }
      bytes += c;
    }
    if (!Skip("\"")) return Fail("unterminated quoted string");
    *out = Utf8ToUtf16(bytes);
    return true;
  }

  bool ReadHexNumber(std::size_t max_digits, DWORD* number) {
    std::size_t digits = 0;
    *number = 0;
    while (!AtEnd() && HexDigit(text_[pos_]) >= 0 && digits < max_digits) {
      *number = (*number << 4) | static_cast<DWORD>(HexDigit(text_[pos_++]));
      ++digits;
    }
    if (digits == 0 || (!AtEnd() && HexDigit(text_[pos_]) >= 0)) return Fail("bad hex number");
    return true;
  }

  bool ReadHexBytes(std::vector<BYTE>* data) {
    while (!AtEnd()) {
      if (!data->empty() && !Expect(',')) return false;
      const std::size_t start = pos_;
      DWORD byte = 0;
      if (!ReadHexNumber(2, &byte) || pos_ - start != 2) return Fail("bad hex byte");
      data->push_back(static_cast<BYTE>(byte));
    }
    return true;
  }

  bool ReadMultiSz(std::vector<BYTE>* data) {
    std::vector<WString> strings;
    while (!AtEnd()) {
      if (!strings.empty() && !Expect(',')) return false;
      if (!ReadQuoted(&strings.emplace_back())) return false;
      if (strings.back().empty()) return Fail("empty string in multi_sz");
    }
    *data = MultiSzData(strings);
    return true;
  }

  bool ReadData(HiveValue* value) {
    if (!AtEnd() && text_[pos_] == '"') {
      WString text;
      if (!ReadQuoted(&text)) return false;
      value->type = REG_SZ;
      value->data = SzData(text);
      return true;
    }
    if (Skip("dword:")) {
      DWORD number = 0;
      if (!ReadHexNumber(8, &number)) return false;
      value->type = REG_DWORD;
      value->data = {static_cast<BYTE>(number), static_cast<BYTE>(number >> 8),
                     static_cast<BYTE>(number >> 16), static_cast<BYTE>(number >> 24)};
      return true;
    }
    if (Skip("multi_sz:")) {
      value->type = REG_MULTI_SZ;
      return ReadMultiSz(&value->data);
    }
    if (Skip("hex:")) {
      value->type = REG_BINARY;
      return ReadHexBytes(&value->data);
    }
    if (Skip("hex(")) {
      if (!ReadHexNumber(8, &value->type)) return false;
      if (!Skip("):")) return Fail("expected '):' after the type");
      return ReadHexBytes(&value->data);
    }
    return Fail("unknown value data");
  }

  std::string_view text_;
  std::size_t pos_ = 0;
  const char* reason_ = "";
};

// A-Z and a-z as one, for text known to be ASCII on one side.
bool AsciiNamesEqual(std::string_view a, std::string_view b) {
  const auto fold = [](char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 32) : c; };
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(),
                                            [&](char x, char y) { return fold(x) == fold(y); });
}

// Finds or creates the key each section line names. A saved hive lists its
// keys in tree order, so a section shares most of its path with the one
// before; the keys of that shared part are taken from the previous section
// rather than looked up from the root again.
//
// Invariant: keys_[0] is the root and keys_[i + 1] the subkey named
// names_[i] of keys_[i]. A section adds subkeys only below keys_[n], n being
// the length of the shared part, which moves keys_[n + 1...] (they sit in
// the vector that grows) but none of keys_[0..n]; the moved ones are
// replaced at once.
class SectionReader {
 public:
  explicit SectionReader(Hive* hive) : hive_(hive), keys_{&hive->root()} {}

  // The key, or null with a reason when the line is not a section of this
  // hive. Names are views into the parsed text, which outlives the reader.
  HiveKey* Read(std::string_view line, const char** reason) {
    *reason = "section is not closed by ']'";
    if (line.size() < 2 || line.back() != ']') return nullptr;
    const std::string_view inner = line.substr(1, line.size() - 2);
    const std::string_view root = hive_->root_name();
    *reason = "section is not below this hive's root";
    // The root name is ASCII, so bytes compare as the names' units would.
    if (!AsciiNamesEqual(inner.substr(0, root.size()), root)) return nullptr;
    std::string_view rest = inner.substr(root.size());
    if (!rest.empty() && rest.front() != '\\') return nullptr;
    std::size_t depth = 0;
    bool shared = true;
    while (!rest.empty()) {
      rest.remove_prefix(1);
      const std::size_t end = std::min(rest.find('\\'), rest.size());
      const std::string_view name = rest.substr(0, end);
      rest.remove_prefix(end);
      shared = shared && depth < names_.size() && names_[depth] == name;
      if (!shared) {
        const WString wide = Utf8ToUtf16(name);
        *reason = "invalid key name in section";
        if (!IsValidKeyName(wide)) return nullptr;
        HiveKey* key = &keys_[depth]->AddSubkey(wide);
        names_.resize(depth);
        keys_.resize(depth + 1);
        names_.push_back(name);
        keys_.push_back(key);
      }
      ++depth;
    }
    names_.resize(depth);
    keys_.resize(depth + 1);
    return keys_.back();
  }

 private:
  Hive* hive_;
  std::vector<std::string_view> names_;
  std::vector<HiveKey*> keys_;
};

// Splits text into logical lines: '\n' ends a line, and a value line ending
// in a backslash continues in the next one (leading blanks dropped).
class LineReader {
 public:
  explicit LineReader(std::string_view text) : text_(text) {}

  // The next logical line, trimmed; false at the end or when a continued
  // line runs into the end of the text (then `*truncated` is set). The line
  // is valid until the next call.
  bool Next(std::string_view* line, int* number, bool* truncated) {
    *truncated = false;
    if (pos_ >= text_.size()) return false;
    *number = line_number_ + 1;
    *line = Trim(Physical());
    if (line->empty() || (line->front() != '"' && line->front() != '@') ||
        !EndsWithContinuation(*line)) {
      return true;
    }
    joined_.assign(*line);
    while (EndsWithContinuation(joined_)) {
      joined_.pop_back();
      if (pos_ >= text_.size()) return !(*truncated = true);
      joined_ += Trim(Physical());
    }
    *line = joined_;
    return true;
  }

 private:
  std::string_view Physical() {
    const std::size_t end = std::min(text_.find('\n', pos_), text_.size());
    const std::string_view line = text_.substr(pos_, end - pos_);
    pos_ = end + 1;
    ++line_number_;
    return line;
  }

  std::string_view text_;
  std::size_t pos_ = 0;
  int line_number_ = 0;
  std::string joined_;  // a continued line, put together
};

bool Failed(HiveParseError* error, int line, std::string reason) {
  *error = {line, std::move(reason)};
  return false;
}

}  // namespace

bool NamesEqual(std::u16string_view a, std::u16string_view b) {
  return a.size() == b.size() &&
         std::equal(a.begin(), a.end(), b.begin(),
                    [](char16_t x, char16_t y) { return FoldAscii(x) == FoldAscii(y); });
}

bool IsValidValueName(std::u16string_view name) {
  // Plain ASCII needs no round trip through UTF-8 to prove it survives one.
  if (std::all_of(name.begin(), name.end(),
                  [](char16_t c) { return c < 0x80 && c != 0 && c != u'\r' && c != u'\n'; })) {
    return true;
  }
  return name.find_first_of(std::u16string_view(u"\0\r\n", 3)) == std::u16string_view::npos &&
         Utf8ToUtf16(Utf16ToUtf8(name)) == name;
}

bool IsValidKeyName(std::u16string_view name) {
  return !name.empty() && name.find(u'\\') == std::u16string_view::npos && IsValidValueName(name);
}

const HiveValue* HiveKey::FindValue(std::u16string_view name) const {
  const auto it = FindByName(values_, name);
  return it == values_.end() ? nullptr : &*it;
}

const HiveKey* HiveKey::FindSubkey(std::u16string_view name) const {
  const auto it = FindByName(subkeys_, name);
  return it == subkeys_.end() ? nullptr : &*it;
}

HiveKey* HiveKey::FindSubkey(std::u16string_view name) {
  return const_cast<HiveKey*>(std::as_const(*this).FindSubkey(name));
}

void HiveKey::SetValue(HiveValue value) {
  const auto it = FindByName(values_, value.name);
  if (it == values_.end()) {
    values_.push_back(std::move(value));
  } else {
    it->type = value.type;
    it->data = std::move(value.data);
  }
}

bool HiveKey::DeleteValue(std::u16string_view name) {
  const auto it = FindByName(values_, name);
  if (it == values_.end()) return false;
  values_.erase(it);
  return true;
}

HiveKey& HiveKey::AddSubkey(std::u16string_view name, bool* created) {
  HiveKey* existing = FindSubkey(name);
  if (created != nullptr) *created = existing == nullptr;
  if (existing != nullptr) return *existing;
  // Subkeys stay sorted as the registry enumerates them, so a key deleted and
  // created again lands where it was and re-registration rewrites nothing.
  const auto before = [](const HiveKey& key, std::u16string_view wanted) {
    return std::lexicographical_compare(
        key.name().begin(), key.name().end(), wanted.begin(), wanted.end(),
        [](char16_t x, char16_t y) { return FoldAscii(x) < FoldAscii(y); });
  };
  const auto at = std::lower_bound(subkeys_.begin(), subkeys_.end(), name, before);
  return *subkeys_.insert(at, HiveKey(name));
}

bool HiveKey::DeleteSubkey(std::u16string_view name) {
  const auto it = FindByName(subkeys_, name);
  if (it == subkeys_.end()) return false;
  subkeys_.erase(it);
  return true;
}

void HiveKey::Clear() {
  values_.clear();
  subkeys_.clear();
}

const HiveKey* Hive::Find(const KeyPath& path) const {
  const HiveKey* key = &root_;
  for (std::size_t i = 0; key != nullptr && i < path.size(); ++i) key = key->FindSubkey(path[i]);
  return key;
}

HiveKey* Hive::Find(const KeyPath& path) {
  return const_cast<HiveKey*>(std::as_const(*this).Find(path));
}

HiveKey& Hive::Create(const KeyPath& path, bool* created) {
  HiveKey* key = &root_;
  bool last_created = false;
  for (const WString& name : path) key = &key->AddSubkey(name, &last_created);
  if (created != nullptr) *created = last_created;
  return *key;
}

bool ParseHive(std::string_view text, Hive* hive, HiveParseError* error) {
  if (text.substr(0, kBom.size()) == kBom) text.remove_prefix(kBom.size());
  if (text.empty()) return true;
  LineReader lines(text);
  SectionReader sections(hive);
  std::string_view line;
  int number = 0;
  bool truncated = false;
  if (!lines.Next(&line, &number, &truncated) || line != kHeader) {
    return Failed(error, 1, "the first line is not REGEDIT4");
  }
  HiveKey* key = nullptr;
  while (lines.Next(&line, &number, &truncated)) {
    if (line.empty() || line.front() == ';') continue;
    const char* reason = "";
    if (line.front() == '[') {
      key = sections.Read(line, &reason);
      if (key == nullptr) return Failed(error, number, reason);
      continue;
    }
    if (key == nullptr) return Failed(error, number, "value outside a section");
    HiveValue value;
    ValueReader reader(line);
    if (!reader.Read(&value)) return Failed(error, number, reader.reason());
    key->SetValue(std::move(value));
  }
  if (truncated) return Failed(error, number, "continued line at the end of the file");
  return true;
}

std::string SerializeHive(const Hive& hive) {
  std::string out(kHeader);
  out += '\n';
  AppendKey(out, hive.root(), hive.root_name(), /*is_root=*/true);
  return out;
}

}  // namespace trovix
