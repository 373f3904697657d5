// One registry hive in memory, and its text form.
//
// A hive is a tree of keys below one root. Every key holds its values in the
// order they were first created and its subkeys sorted by name (without
// regard to the case of A-Z), as the registry enumerates them; those orders
// are the enumeration order and the order of the text form. Key and value names
// compare without regard to the case of A-Z only (no locale, no Unicode case
// folding), and keep the spelling they were created with.
//
// Value data is kept as the bytes RegQueryValueExW hands out: strings are
// UTF-16 in host (little-endian) order with their terminators, DWORDs are 4
// little-endian bytes. The text form is the REGEDIT4 layout, UTF-8:
//
//   REGEDIT4
//
//   [HKEY_CURRENT_USER\Software\Quillon\Trovix]
//   @="default value"
//   "Name"="text with \\ and \" escaped"
//   "Count"=dword:0000002a
//   "Blob"=hex:01,ff
//   "List"=multi_sz:"first","second"
//   "Other"=hex(2):41,00,00,00
//
// Every key below the root has a section of its own, empty keys included, so
// an empty key survives a save and load. A value whose bytes the readable
// forms cannot reproduce exactly (an odd-sized string, a string with a line
// break or an unpaired surrogate that UTF-8 cannot carry) is written as
// hex(N), so that every value round-trips byte for byte.
//
// Threads: a Hive is a plain value; callers synchronise access to one object.
#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/types.h"

namespace trovix {

struct HiveValue {
  WString name;  // empty for the key's default value
  DWORD type = 0;
  std::vector<BYTE> data;
};

class HiveKey {
 public:
  explicit HiveKey(std::u16string_view name) : name_(name) {}

  const WString& name() const { return name_; }
  const std::vector<HiveValue>& values() const { return values_; }
  const std::vector<HiveKey>& subkeys() const { return subkeys_; }

  // Null when absent.
  const HiveValue* FindValue(std::u16string_view name) const;
  const HiveKey* FindSubkey(std::u16string_view name) const;
  HiveKey* FindSubkey(std::u16string_view name);

  // Replaces the type and data of an existing value (keeping its spelling and
  // place) or appends a new one.
  void SetValue(HiveValue value);
  // False when there was no such value.
  bool DeleteValue(std::u16string_view name);
  // The existing subkey of that name, else a new one in its sorted place. The reference is
  // valid until the next subkey of this key is added or deleted.
  HiveKey& AddSubkey(std::u16string_view name, bool* created = nullptr);
  // Deletes the subkey and everything below it; false when absent.
  bool DeleteSubkey(std::u16string_view name);
  // Drops every value and subkey.
  void Clear();

 private:
  WString name_;
  std::vector<HiveValue> values_;
  std::vector<HiveKey> subkeys_;
};

// A key path below the root, one name per element.
using KeyPath = std::vector<WString>;

class Hive {
 public:
  // `root_name` is the section prefix of the text form, "HKEY_CURRENT_USER".
  explicit Hive(std::string root_name) : root_name_(std::move(root_name)), root_(u"") {}

  const std::string& root_name() const { return root_name_; }
  const HiveKey& root() const { return root_; }
  HiveKey& root() { return root_; }

  // The key at `path` (the root for an empty path), null when absent.
  const HiveKey* Find(const KeyPath& path) const;
  HiveKey* Find(const KeyPath& path);
  // The key at `path`, created with its missing parents; `*created` tells
  // whether the last one was new.
  HiveKey& Create(const KeyPath& path, bool* created = nullptr);

 private:
  std::string root_name_;
  HiveKey root_;
};

// True when `a` and `b` are equal, comparing A-Z and a-z as one.
[[nodiscard]] bool NamesEqual(std::u16string_view a, std::u16string_view b);

// True when the name can be stored and written: no line break, no NUL, and
// UTF-8 carries it unchanged. Key names must also be non-empty and free of
// '\' (the path separator).
[[nodiscard]] bool IsValidValueName(std::u16string_view name);
[[nodiscard]] bool IsValidKeyName(std::u16string_view name);

struct HiveParseError {
  int line = 0;  // 1-based line of the text where parsing stopped
  std::string reason;
};

// Parses the text form into `*hive` (whose root name fixes the section
// prefix every section must carry). Empty text is an empty hive. On failure
// returns false, fills `*error` and leaves `*hive` in an unspecified state.
// Parsing is strict: a line that is not a blank line, a ';' comment, a
// section or a well-formed value fails the whole parse, so that a damaged
// file is never mistaken for a smaller hive and then saved over.
[[nodiscard]] bool ParseHive(std::string_view text, Hive* hive, HiveParseError* error);

// The text form of `hive`; ParseHive of it gives back an equal hive.
[[nodiscard]] std::string SerializeHive(const Hive& hive);

}  // namespace trovix
