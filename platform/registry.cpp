// The Win32-shaped registry API over the hive files of hive_store.h.
//
// Invariants:
//  1. A handle names a key by path, never by a pointer into a parsed hive:
//     every operation looks the key up in the hive as it is now, so a key
//     deleted by anyone answers ERROR_KEY_DELETED and changes made by other
//     processes are seen.
//  2. HKEY_CLASSES_ROOT is a view of two hives, the user's classes first; a
//     key exists in it when it exists in either.
//  3. Every change goes through MutateHive, which re-reads the hive under its
//     lock; a change therefore looks its key up again there and answers
//     ERROR_KEY_DELETED when the key went away since the operation read it.
#include "platform/registry.h"

#include <algorithm>
#include <cstring>
#include <functional>
#include <optional>
#include <span>

#include "platform/filetime.h"
#include "platform/hive_file.h"
#include "platform/hive_store.h"
#include "platform/hresult.h"
#include "platform/wstring.h"

using trovix::Hive;
using trovix::HiveId;
using trovix::HiveKey;
using trovix::HiveValue;
using trovix::KeyPath;
using trovix::LoadedHive;
using trovix::MutateHive;

// A handle opened by RegOpenKeyExW or RegCreateKeyExW. Immutable once made,
// so any thread may use it while it is open.
struct RegistryKey {
  enum class View { kUser, kMachine, kClasses };
  View view = View::kUser;
  KeyPath path;  // below the root of the view
};

using View = RegistryKey::View;

namespace {

// Recognised by address only; their contents are never read.
RegistryKey g_roots[3];

}  // namespace

const HKEY HKEY_CLASSES_ROOT = &g_roots[0];
const HKEY HKEY_CURRENT_USER = &g_roots[1];
const HKEY HKEY_LOCAL_MACHINE = &g_roots[2];

namespace {

constexpr LONG kOk = ERROR_SUCCESS;
constexpr LONG Fail(DWORD error) { return static_cast<LONG>(error); }

// Runs `change` on the key at `path` of hive `id`, under the hive's lock.
// ERROR_KEY_DELETED when the key is gone by then.
LONG MutateKey(HiveId id, const KeyPath& path,
               const std::function<LONG(HiveKey& key, bool* changed)>& change) {
  return MutateHive(id, [&](Hive& hive, bool* changed) {
    HiveKey* key = hive.Find(path);
    return key == nullptr ? Fail(ERROR_KEY_DELETED) : change(*key, changed);
  });
}

// --- handles and views --------------------------------------------------------

struct KeyRef {
  View view;
  KeyPath path;  // below the root of the view
  bool is_root;
};

std::optional<KeyRef> Resolve(HKEY key) {
  if (key == nullptr) return std::nullopt;
  if (key == HKEY_CLASSES_ROOT) return KeyRef{View::kClasses, {}, true};
  if (key == HKEY_CURRENT_USER) return KeyRef{View::kUser, {}, true};
  if (key == HKEY_LOCAL_MACHINE) return KeyRef{View::kMachine, {}, true};
  return KeyRef{key->view, key->path, false};
}

KeyPath Join(const KeyPath& a, const KeyPath& b) {
  KeyPath joined = a;
  joined.insert(joined.end(), b.begin(), b.end());
  return joined;
}

// Splits a '\'-separated key path. False when a name is empty, or, when
// `creating`, a name that cannot be stored.
bool SplitPath(const WCHAR* text, bool creating, KeyPath* path) {
  const WString whole = ToWString(text);
  if (whole.empty()) return true;
  for (std::size_t start = 0;;) {
    const std::size_t end = std::min(whole.find(u'\\', start), whole.size());
    WString name = whole.substr(start, end - start);
    if (name.empty() || (creating && !trovix::IsValidKeyName(name))) return false;
    path->push_back(std::move(name));
    if (end == whole.size()) return true;
    start = end + 1;
  }
}

// Where the keys of a view live in its hives, in the order they are consulted.
std::vector<HiveId> HivesOf(View view) {
  switch (view) {
    case View::kUser:
      return {HiveId::kUser};
    case View::kMachine:
      return {HiveId::kMachine};
    case View::kClasses:
      break;
  }
  return {HiveId::kUser, HiveId::kMachine};
}

KeyPath InHive(View view, const KeyPath& path) {
  return view == View::kClasses ? Join({u"Software", u"Classes"}, path) : path;
}

struct Located {
  HiveId hive;
  const HiveKey* key;
};

// The hives behind a view as read at one moment; keeps them alive for the
// pointers it hands out. Owned by one operation on one thread.
class Snapshot {
 public:
  LONG Load(View view) {
    view_ = view;
    for (const HiveId id : HivesOf(view_)) {
      LoadedHive loaded;
      if (const LONG result = trovix::LoadHive(id, &loaded); result != kOk) return result;
      hives_.emplace_back(id, std::move(loaded));
    }
    return kOk;
  }

  // The key at `path` below the view's root in each hive holding it.
  std::vector<Located> Find(const KeyPath& path) const {
    std::vector<Located> found;
    const KeyPath in_hive = InHive(view_, path);
    for (const auto& [id, loaded] : hives_) {
      if (const HiveKey* key = loaded.hive->Find(in_hive)) found.push_back({id, key});
    }
    return found;
  }

  // Last change of the hive file (zero for a missing one).
  FILETIME WriteTime(HiveId id) const {
    for (const auto& [hive_id, loaded] : hives_) {
      if (hive_id == id && loaded.identity.inode != 0) {
        return TimespecToFileTime(loaded.identity.modified);
      }
    }
    return {0, 0};
  }

 private:
  View view_ = View::kUser;
  std::vector<std::pair<HiveId, LoadedHive>> hives_;
};

// How a function takes its `sub_key` argument. Null or empty names the
// handle's own key wherever null is accepted.
enum class SubKey {
  kOptional,  // null accepted
  kRequired,  // null is ERROR_INVALID_PARAMETER
  kCreating,  // as kRequired, and every name must be one a hive can store
};

// The key one registry call works on: the handle resolved, `sub_key` split,
// and the key as found in the hives of the handle's view. Owned by that call;
// `found` points into `snapshot`.
struct KeyLookup {
  KeyRef ref{};
  KeyPath sub;  // below the handle's key
  Snapshot snapshot;
  std::vector<Located> found;  // in the order the view consults its hives

  // Below the root of the view.
  KeyPath path() const { return Join(ref.path, sub); }

  // Resolves the handle and splits `sub_key`, reading no file:
  // ERROR_INVALID_HANDLE or ERROR_INVALID_PARAMETER when either is bad.
  LONG Prepare(HKEY key, const WCHAR* sub_key, SubKey rule) {
    const std::optional<KeyRef> resolved = Resolve(key);
    if (!resolved) return Fail(ERROR_INVALID_HANDLE);
    ref = *resolved;
    if (rule != SubKey::kOptional && sub_key == nullptr) return Fail(ERROR_INVALID_PARAMETER);
    if (!SplitPath(sub_key, rule == SubKey::kCreating, &sub)) return Fail(ERROR_INVALID_PARAMETER);
    return kOk;
  }

  // Loads the hives and finds the key `sub` below the handle's key.
  // ERROR_KEY_DELETED when the handle's own key is gone, ERROR_FILE_NOT_FOUND
  // when only `sub` is missing. A root always exists, even when no hive holds
  // its path (the classes root of two empty hives), and `found` is then empty.
  LONG Locate() {
    if (const LONG result = snapshot.Load(ref.view); result != kOk) return result;
    found = snapshot.Find(path());
    if (!found.empty() || (ref.is_root && sub.empty())) return kOk;
    if (!ref.is_root && snapshot.Find(ref.path).empty()) return Fail(ERROR_KEY_DELETED);
    return Fail(ERROR_FILE_NOT_FOUND);
  }
};

// Prepare, then Locate, for the calls that check nothing in between.
LONG LookUp(HKEY key, const WCHAR* sub_key, SubKey rule, KeyLookup* lookup) {
  if (const LONG result = lookup->Prepare(key, sub_key, rule); result != kOk) return result;
  return lookup->Locate();
}

// The hive a new key at `path` (below the classes root) goes to: the one
// holding its nearest existing ancestor (itself included), the user's first;
// the machine's when no ancestor exists.
HiveId ClassesTarget(const Snapshot& snapshot, const KeyPath& path) {
  for (std::size_t n = path.size(); n > 0; --n) {
    const std::vector<Located> found =
        snapshot.Find(KeyPath(path.begin(), path.begin() + static_cast<std::ptrdiff_t>(n)));
    if (!found.empty()) return found.front().hive;
  }
  return HiveId::kMachine;
}

// --- copying results out ------------------------------------------------------

// The size protocol of RegQueryValueExW: with null `data` only the size is
// reported; a buffer too small gets ERROR_MORE_DATA and the size needed.
LONG CopyData(const std::vector<BYTE>& bytes, BYTE* data, DWORD* cb_data) {
  if (cb_data == nullptr) return kOk;
  const DWORD needed = static_cast<DWORD>(bytes.size());
  const DWORD room = *cb_data;
  *cb_data = needed;
  if (data == nullptr) return kOk;
  if (room < needed) return Fail(ERROR_MORE_DATA);
  if (needed > 0) std::memcpy(data, bytes.data(), needed);
  return kOk;
}

LONG CopyName(const WString& name, WCHAR* buffer, DWORD* cch) {
  if (*cch <= name.size()) {
    *cch = static_cast<DWORD>(name.size() + 1);
    return Fail(ERROR_MORE_DATA);
  }
  std::copy(name.begin(), name.end(), buffer);
  buffer[name.size()] = 0;
  *cch = static_cast<DWORD>(name.size());
  return kOk;
}

// Subkey names of a key seen in several hives: the first hive's first, then
// names the earlier hives lack.
std::vector<WString> MergedSubkeyNames(const std::vector<Located>& found) {
  std::vector<WString> names;
  for (const Located& at : found) {
    for (const HiveKey& subkey : at.key->subkeys()) {
      const auto same = [&](const WString& n) { return trovix::NamesEqual(n, subkey.name()); };
      if (std::none_of(names.begin(), names.end(), same)) names.push_back(subkey.name());
    }
  }
  return names;
}

// Values of a key seen in several hives, merged like subkey names.
std::vector<const HiveValue*> MergedValues(const std::vector<Located>& found) {
  std::vector<const HiveValue*> values;
  for (const Located& at : found) {
    for (const HiveValue& value : at.key->values()) {
      const auto same = [&](const HiveValue* v) { return trovix::NamesEqual(v->name, value.name); };
      if (std::none_of(values.begin(), values.end(), same)) values.push_back(&value);
    }
  }
  return values;
}

const HiveValue* FindMergedValue(const std::vector<Located>& found, std::u16string_view name) {
  for (const Located& at : found) {
    if (const HiveValue* value = at.key->FindValue(name)) return value;
  }
  return nullptr;
}

// REG_SZ data is stored with its terminator whether or not the caller
// counted it, so that every reader gets a terminated string back.
std::vector<BYTE> StoredData(DWORD type, const BYTE* data, DWORD cb_data) {
  std::vector<BYTE> bytes(data, data + cb_data);
  const bool terminated = cb_data >= 2 && bytes[cb_data - 1] == 0 && bytes[cb_data - 2] == 0;
  if (type == REG_SZ && cb_data % 2 == 0 && !terminated) bytes.insert(bytes.end(), {0, 0});
  return bytes;
}

// --- deleting -----------------------------------------------------------------

// Deletes the key at `path` of a view from every hive holding it. With
// `whole_tree` false a key that has subkeys in any hive is refused.
LONG DeleteKeyEverywhere(View view, const std::vector<Located>& found, const KeyPath& path,
                         bool whole_tree) {
  for (const Located& at : found) {
    if (!whole_tree && !at.key->subkeys().empty()) return Fail(ERROR_ACCESS_DENIED);
  }
  const KeyPath in_hive = InHive(view, path);
  const KeyPath parent(in_hive.begin(), in_hive.end() - 1);
  for (const Located& at : found) {
    const LONG result = MutateKey(at.hive, parent, [&](HiveKey& key, bool* changed) {
      const HiveKey* victim = key.FindSubkey(in_hive.back());
      if (victim != nullptr && !whole_tree && !victim->subkeys().empty()) {
        return Fail(ERROR_ACCESS_DENIED);
      }
      *changed = key.DeleteSubkey(in_hive.back());
      return kOk;
    });
    if (result != kOk && result != Fail(ERROR_KEY_DELETED)) return result;
  }
  return kOk;
}

// Empties the key at `path` of a view in every hive holding it.
LONG ClearKeyEverywhere(View view, const std::vector<Located>& found, const KeyPath& path) {
  for (const Located& at : found) {
    const LONG result = MutateKey(at.hive, InHive(view, path), [](HiveKey& key, bool* changed) {
      *changed = !key.values().empty() || !key.subkeys().empty();
      key.Clear();
      return kOk;
    });
    if (result != kOk && result != Fail(ERROR_KEY_DELETED)) return result;
  }
  return kOk;
}

}  // namespace

// --- the API --------------------------------------------------------------------

LONG RegCreateKeyExW(HKEY key, const WCHAR* sub_key, DWORD /*reserved*/, WCHAR* /*class_name*/,
                     DWORD /*options*/, REGSAM /*sam*/, void* /*security*/, HKEY* result,
                     DWORD* disposition) {
  if (result == nullptr) return Fail(ERROR_INVALID_PARAMETER);
  *result = nullptr;
  KeyLookup at;
  LONG status = LookUp(key, sub_key, SubKey::kCreating, &at);
  bool created = false;
  if (status == Fail(ERROR_FILE_NOT_FOUND)) {
    const KeyRef& ref = at.ref;
    const KeyPath path = at.path();
    const HiveId target =
        ref.view == View::kClasses ? ClassesTarget(at.snapshot, path) : HivesOf(ref.view).front();
    status = MutateHive(target, [&](Hive& hive, bool* changed) {
      if (!ref.is_root && hive.Find(InHive(ref.view, ref.path)) == nullptr) {
        return Fail(ERROR_KEY_DELETED);
      }
      hive.Create(InHive(ref.view, path), &created);
      *changed = created;
      return kOk;
    });
  }
  if (status != kOk) return status;
  if (disposition != nullptr)
    *disposition = created ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
  *result = new RegistryKey{at.ref.view, at.path()};
  return kOk;
}

LONG RegOpenKeyExW(HKEY key, const WCHAR* sub_key, DWORD /*options*/, REGSAM /*sam*/,
                   HKEY* result) {
  if (result == nullptr) return Fail(ERROR_INVALID_PARAMETER);
  *result = nullptr;
  KeyLookup at;
  if (const LONG status = LookUp(key, sub_key, SubKey::kOptional, &at); status != kOk) {
    return status;
  }
  *result = new RegistryKey{at.ref.view, at.path()};
  return kOk;
}

LONG RegCloseKey(HKEY key) {
  if (key == nullptr) return Fail(ERROR_INVALID_HANDLE);
  if (key != HKEY_CLASSES_ROOT && key != HKEY_CURRENT_USER && key != HKEY_LOCAL_MACHINE) {
    delete key;
  }
  return kOk;
}

LONG RegQueryValueExW(HKEY key, const WCHAR* value_name, DWORD* reserved, DWORD* type, BYTE* data,
                      DWORD* cb_data) {
  if (reserved != nullptr || (data != nullptr && cb_data == nullptr)) {
    return Fail(ERROR_INVALID_PARAMETER);
  }
  KeyLookup at;
  if (const LONG status = LookUp(key, nullptr, SubKey::kOptional, &at); status != kOk) {
    return status;
  }
  const HiveValue* value = FindMergedValue(at.found, ToWString(value_name));
  if (value == nullptr) return Fail(ERROR_FILE_NOT_FOUND);
  if (type != nullptr) *type = value->type;
  return CopyData(value->data, data, cb_data);
}

LONG RegSetValueExW(HKEY key, const WCHAR* value_name, DWORD /*reserved*/, DWORD type,
                    const BYTE* data, DWORD cb_data) {
  const WString name = ToWString(value_name);
  if ((data == nullptr && cb_data > 0) || !trovix::IsValidValueName(name)) {
    return Fail(ERROR_INVALID_PARAMETER);
  }
  KeyLookup at;
  if (const LONG status = LookUp(key, nullptr, SubKey::kOptional, &at); status != kOk) {
    return status;
  }
  // Through the classes root a value goes where the key is, the user's hive
  // first; only the classes root itself can be in neither hive yet.
  const HiveId target = at.found.empty() ? HiveId::kMachine : at.found.front().hive;
  HiveValue value{name, type, StoredData(type, data, cb_data)};
  const KeyRef& ref = at.ref;
  return MutateHive(target, [&](Hive& hive, bool* changed) {
    const KeyPath path = InHive(ref.view, ref.path);
    HiveKey* key_in_hive = hive.Find(path);
    if (key_in_hive == nullptr && !ref.is_root) return Fail(ERROR_KEY_DELETED);
    if (key_in_hive == nullptr) key_in_hive = &hive.Create(path);
    const HiveValue* old = key_in_hive->FindValue(name);
    *changed = old == nullptr || old->type != value.type || old->data != value.data;
    key_in_hive->SetValue(std::move(value));
    return kOk;
  });
}

LONG RegDeleteValueW(HKEY key, const WCHAR* value_name) {
  KeyLookup at;
  if (const LONG status = LookUp(key, nullptr, SubKey::kOptional, &at); status != kOk) {
    return status;
  }
  const WString name = ToWString(value_name);
  bool deleted = false;
  for (const Located& in : at.found) {
    if (in.key->FindValue(name) == nullptr) continue;
    const LONG status =
        MutateKey(in.hive, InHive(at.ref.view, at.ref.path), [&](HiveKey& k, bool* changed) {
          *changed = k.DeleteValue(name);
          deleted = deleted || *changed;
          return kOk;
        });
    if (status != kOk && status != Fail(ERROR_KEY_DELETED)) return status;
  }
  return deleted ? kOk : Fail(ERROR_FILE_NOT_FOUND);
}

LONG RegChangeValuesW(HKEY key, const RegValueChange* changes, DWORD count) {
  if (changes == nullptr && count > 0) return Fail(ERROR_INVALID_PARAMETER);
  struct Step {
    bool remove;
    HiveValue value;
  };
  std::vector<Step> steps;
  for (const RegValueChange& change : std::span(changes, count)) {
    WString name = ToWString(change.name);
    if (!trovix::IsValidValueName(name)) return Fail(ERROR_INVALID_PARAMETER);
    if (change.remove) {
      steps.push_back({true, HiveValue{std::move(name), REG_NONE, {}}});
      continue;
    }
    if (change.data == nullptr && change.cb_data > 0) return Fail(ERROR_INVALID_PARAMETER);
    steps.push_back({false, HiveValue{std::move(name), change.type,
                                      StoredData(change.type, change.data, change.cb_data)}});
  }
  KeyLookup at;
  if (const LONG status = at.Prepare(key, nullptr, SubKey::kOptional); status != kOk) {
    return status;
  }
  if (at.ref.view == View::kClasses) return Fail(ERROR_INVALID_PARAMETER);
  const KeyRef& ref = at.ref;
  // The key is looked up only under the hive's lock, where the change is made.
  return MutateHive(HivesOf(ref.view).front(), [&](Hive& hive, bool* changed) {
    HiveKey* target = hive.Find(ref.path);
    if (target == nullptr && !ref.is_root) return Fail(ERROR_KEY_DELETED);
    if (target == nullptr) target = &hive.Create(ref.path);
    for (Step& step : steps) {
      if (step.remove) {
        *changed = target->DeleteValue(step.value.name) || *changed;
        continue;
      }
      const HiveValue* old = target->FindValue(step.value.name);
      *changed = *changed || old == nullptr || old->type != step.value.type ||
                 old->data != step.value.data;
      target->SetValue(std::move(step.value));
    }
    return kOk;
  });
}

LONG RegDeleteKeyW(HKEY key, const WCHAR* sub_key) {
  KeyLookup at;
  if (const LONG status = at.Prepare(key, sub_key, SubKey::kRequired); status != kOk) {
    return status;
  }
  // A root cannot be deleted, whatever its hives hold; no file need be read.
  if (at.ref.is_root && at.sub.empty()) return Fail(ERROR_ACCESS_DENIED);
  if (const LONG status = at.Locate(); status != kOk) return status;
  return DeleteKeyEverywhere(at.ref.view, at.found, at.path(), /*whole_tree=*/false);
}

LONG RegDeleteTreeW(HKEY key, const WCHAR* sub_key) {
  KeyLookup at;
  if (const LONG status = LookUp(key, sub_key, SubKey::kOptional, &at); status != kOk) {
    return status;
  }
  // An empty `sub_key` empties the handle's own key, as a null one does.
  if (at.sub.empty()) return ClearKeyEverywhere(at.ref.view, at.found, at.path());
  return DeleteKeyEverywhere(at.ref.view, at.found, at.path(), /*whole_tree=*/true);
}

LONG RegEnumKeyExW(HKEY key, DWORD index, WCHAR* name, DWORD* cch_name, DWORD* reserved,
                   WCHAR* class_name, DWORD* cch_class, FILETIME* last_write) {
  if (name == nullptr || cch_name == nullptr || reserved != nullptr) {
    return Fail(ERROR_INVALID_PARAMETER);
  }
  KeyLookup at;
  if (const LONG status = LookUp(key, nullptr, SubKey::kOptional, &at); status != kOk) {
    return status;
  }
  const std::vector<WString> names = MergedSubkeyNames(at.found);
  if (index >= names.size()) return Fail(ERROR_NO_MORE_ITEMS);
  if (const LONG status = CopyName(names[index], name, cch_name); status != kOk) return status;
  // Keys have no class names here, and the hive file's time stands for the
  // last write time of each of its keys.
  if (cch_class != nullptr) {
    if (class_name != nullptr && *cch_class > 0) class_name[0] = 0;
    *cch_class = 0;
  }
  if (last_write != nullptr) *last_write = at.snapshot.WriteTime(at.found.front().hive);
  return kOk;
}

LONG RegEnumValueW(HKEY key, DWORD index, WCHAR* value_name, DWORD* cch_value_name, DWORD* reserved,
                   DWORD* type, BYTE* data, DWORD* cb_data) {
  if (value_name == nullptr || cch_value_name == nullptr || reserved != nullptr ||
      (data != nullptr && cb_data == nullptr)) {
    return Fail(ERROR_INVALID_PARAMETER);
  }
  KeyLookup at;
  if (const LONG status = LookUp(key, nullptr, SubKey::kOptional, &at); status != kOk) {
    return status;
  }
  const std::vector<const HiveValue*> values = MergedValues(at.found);
  if (index >= values.size()) return Fail(ERROR_NO_MORE_ITEMS);
  const HiveValue& value = *values[index];
  if (const LONG status = CopyName(value.name, value_name, cch_value_name); status != kOk) {
    return status;
  }
  if (type != nullptr) *type = value.type;
  return CopyData(value.data, data, cb_data);
}

std::string HiveFilePath(HKEY root) {
  if (root == HKEY_CURRENT_USER) return trovix::HivePath(HiveId::kUser);
  if (root == HKEY_LOCAL_MACHINE) return trovix::HivePath(HiveId::kMachine);
  return {};
}
