// The registry on hive files.
//
// Invariants:
//  1. This code changes a hive file only by renaming a complete new file over
//     it, under the exclusive flock of "<hive>.lock"; the text is re-read and
//     parsed under that lock before every change, so no change of another
//     process or thread is lost and no reader sees half a file.
//  2. A hive file that does not parse is never written; every operation on
//     it answers ERROR_BADDB until someone repairs it.
//  3. A handle names a key by path, never by a pointer into a parsed hive:
//     every operation looks the key up in the hive as it is now, so a key
//     deleted by anyone answers ERROR_KEY_DELETED and changes made by other
//     processes are seen.
//  4. HKEY_CLASSES_ROOT is a view of two hives, the user's classes first; a
//     key exists in it when it exists in either.
#include "platform/registry.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>

#include "platform/filetime.h"
#include "platform/hive_file.h"
#include "platform/hresult.h"
#include "platform/paths.h"
#include "platform/wstring.h"

using trovix::Hive;
using trovix::HiveKey;
using trovix::HiveValue;
using trovix::KeyPath;

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
LONG FailErrno(int error) { return Fail(Win32ErrorFromErrno(error)); }

enum class HiveId { kUser, kMachine };

// --- where the hives are ------------------------------------------------------

// Anchors the search for the installation that holds this library.
const char kLibraryAnchor = 0;

std::string Environment(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr ? value : "";
}

// Looked up at every operation, so that pointing a variable elsewhere (as
// every test does) takes effect at once.
std::string HivePath(HiveId id) {
  if (id == HiveId::kUser) {
    if (std::string path = Environment("TROVIX_USER_HIVE"); !path.empty()) return path;
    const std::string config = ConfigHome();
    return config.empty() ? "" : config + "/Quillon/user.reg";
  }
  if (std::string path = Environment("TROVIX_MACHINE_HIVE"); !path.empty()) return path;
  // The library lives in <prefix>/lib; the machine hive in <prefix>/etc.
  const std::string folder = FolderOfAddress(&kLibraryAnchor);
  if (folder.empty()) return "";
  return (std::filesystem::path(folder) / "../etc/Quillon/machine.reg").lexically_normal().string();
}

const char* RootName(HiveId id) {
  return id == HiveId::kUser ? "HKEY_CURRENT_USER" : "HKEY_LOCAL_MACHINE";
}

// --- reading hive files -------------------------------------------------------

class UniqueFd {
 public:
  explicit UniqueFd(int fd) : fd_(fd) {}
  ~UniqueFd() {
    if (fd_ >= 0) close(fd_);
  }
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  int get() const { return fd_; }

 private:
  int fd_;
};

// 0 or the errno value of the failing read.
int ReadAll(int fd, std::string* text) {
  char buffer[16384];
  for (;;) {
    const ssize_t n = read(fd, buffer, sizeof buffer);
    if (n == 0) return 0;
    if (n < 0 && errno != EINTR) return errno;
    if (n > 0) text->append(buffer, static_cast<std::size_t>(n));
  }
}

// What identifies one version of a hive file. A rewrite renames a new inode
// into place, and an edit in place changes size or modification time.
struct FileIdentity {
  dev_t device = 0;
  ino_t inode = 0;
  off_t size = 0;
  timespec modified{};

  bool operator==(const FileIdentity& other) const {
    return device == other.device && inode == other.inode && size == other.size &&
           modified.tv_sec == other.modified.tv_sec && modified.tv_nsec == other.modified.tv_nsec;
  }
};

FileIdentity IdentityOf(const struct stat& st) {
  return {st.st_dev, st.st_ino, st.st_size, st.st_mtim};
}

// A file modified this recently may be modified again within the same clock
// tick of the file system, and inode numbers are reused, so its identity
// alone cannot prove that a cached parse is current. Two seconds covers file
// systems with whole-second (or FAT's two-second) timestamps.
bool IsSettled(const FileIdentity& identity) {
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  return now.tv_sec - identity.modified.tv_sec >= 2;
}

struct LoadedHive {
  std::shared_ptr<const Hive> hive;  // null when the file is damaged
  FileIdentity identity;             // zero for a missing file
};

// Parsed hives by file path, shared by every thread of the process.
class HiveCache {
 public:
  // The cached parse of that version of the file, if there is a trustworthy one.
  std::optional<LoadedHive> Find(const std::string& path, const FileIdentity& identity) {
    std::lock_guard lock(mutex_);
    const auto it = entries_.find(path);
    if (it == entries_.end() || !it->second.settled || !(it->second.loaded.identity == identity)) {
      return std::nullopt;
    }
    return it->second.loaded;
  }

  void Store(const std::string& path, const LoadedHive& loaded) {
    std::lock_guard lock(mutex_);
    entries_[path] = {loaded, IsSettled(loaded.identity)};
  }

  // Reports a damaged file on stderr once, not at every operation that
  // meets it; a file that parses again is reported anew when damaged later.
  void ReportDamage(const std::string& path, const trovix::HiveParseError* error) {
    std::lock_guard lock(mutex_);
    if (error == nullptr) {
      reported_.erase(path);
      return;
    }
    std::string message = "line " + std::to_string(error->line) + ": " + error->reason;
    if (reported_[path] == message) return;
    std::fprintf(stderr, "trovix: registry hive %s is damaged at %s; it is left unchanged\n",
                 path.c_str(), message.c_str());
    reported_[path] = std::move(message);
  }

 private:
  struct Entry {
    LoadedHive loaded;
    bool settled = false;
  };
  std::mutex mutex_;
  std::map<std::string, Entry> entries_;         // Guarded by mutex_.
  std::map<std::string, std::string> reported_;  // Guarded by mutex_.
};

// Never destroyed: registry calls from other static destructors stay valid.
HiveCache& Cache() {
  static HiveCache* cache = new HiveCache;
  return *cache;
}

// Parses `text` as hive `id`; reports damage. Null when damaged.
std::shared_ptr<Hive> ParseFile(HiveId id, const std::string& path, const std::string& text) {
  auto hive = std::make_shared<Hive>(RootName(id));
  trovix::HiveParseError error;
  if (!ParseHive(text, hive.get(), &error)) {
    Cache().ReportDamage(path, &error);
    return nullptr;
  }
  Cache().ReportDamage(path, nullptr);
  return hive;
}

// The current content of hive `id` for reading. A missing file (or no place
// for one) is an empty hive.
LONG LoadHive(HiveId id, LoadedHive* out) {
  const std::string path = HivePath(id);
  const UniqueFd fd(path.empty() ? -1 : open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (fd.get() < 0) {
    if (!path.empty() && errno != ENOENT) return FailErrno(errno);
    *out = {std::make_shared<Hive>(RootName(id)), {}};
    return kOk;
  }
  struct stat st {};
  if (fstat(fd.get(), &st) != 0) return FailErrno(errno);
  const FileIdentity identity = IdentityOf(st);
  if (std::optional<LoadedHive> cached = Cache().Find(path, identity)) {
    *out = std::move(*cached);
  } else {
    std::string text;
    if (const int error = ReadAll(fd.get(), &text); error != 0) return FailErrno(error);
    *out = {ParseFile(id, path, text), identity};
    Cache().Store(path, *out);
  }
  return out->hive != nullptr ? kOk : Fail(ERROR_BADDB);
}

// --- changing hive files ------------------------------------------------------

// Applies `change` to the hive; sets `*changed` when the hive must be saved.
using HiveChange = std::function<LONG(Hive& hive, bool* changed)>;

// One locked read-modify-write of hive `id`. The flock is held across the
// file I/O on purpose: it is what serialises writers, in this process (each
// call opens its own lock description) and in others.
LONG MutateHive(HiveId id, const HiveChange& change) {
  const std::string path = HivePath(id);
  if (path.empty()) return FailErrno(ENOENT);
  const std::string folder = std::filesystem::path(path).parent_path();
  if (const int error = folder.empty() ? 0 : MakePrivateDirs(folder); error != 0) {
    return FailErrno(error);
  }
  const UniqueFd lock(open((path + ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600));
  if (lock.get() < 0) return FailErrno(errno);
  while (flock(lock.get(), LOCK_EX) != 0) {
    if (errno != EINTR) return FailErrno(errno);
  }
  std::string text;
  if (const UniqueFd file(open(path.c_str(), O_RDONLY | O_CLOEXEC)); file.get() >= 0) {
    if (const int error = ReadAll(file.get(), &text); error != 0) return FailErrno(error);
  } else if (errno != ENOENT) {
    return FailErrno(errno);
  }
  const std::shared_ptr<Hive> hive = ParseFile(id, path, text);
  if (hive == nullptr) return Fail(ERROR_BADDB);
  bool changed = false;
  if (const LONG result = change(*hive, &changed); result != kOk || !changed) return result;
  if (const int error = WriteFileAtomically(path, SerializeHive(*hive)); error != 0) {
    return FailErrno(error);
  }
  return kOk;
}

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
  explicit Snapshot(View view) : view_(view) {}

  LONG Load() {
    for (const HiveId id : HivesOf(view_)) {
      LoadedHive loaded;
      if (const LONG result = LoadHive(id, &loaded); result != kOk) return result;
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
  View view_;
  std::vector<std::pair<HiveId, LoadedHive>> hives_;
};

// Loads the hives of `ref` and finds the key `sub` below the handle's key.
// ERROR_KEY_DELETED when the handle's own key is gone, ERROR_FILE_NOT_FOUND
// when only `sub` is missing. A root always exists, even when no hive holds
// its path (the classes root of two empty hives).
LONG Locate(const KeyRef& ref, const KeyPath& sub, Snapshot* snapshot,
            std::vector<Located>* found) {
  if (const LONG result = snapshot->Load(); result != kOk) return result;
  *found = snapshot->Find(Join(ref.path, sub));
  if (!found->empty() || (ref.is_root && sub.empty())) return kOk;
  if (!ref.is_root && snapshot->Find(ref.path).empty()) return Fail(ERROR_KEY_DELETED);
  return Fail(ERROR_FILE_NOT_FOUND);
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
  const std::optional<KeyRef> ref = Resolve(key);
  if (!ref) return Fail(ERROR_INVALID_HANDLE);
  KeyPath sub;
  if (sub_key == nullptr || !SplitPath(sub_key, /*creating=*/true, &sub)) {
    return Fail(ERROR_INVALID_PARAMETER);
  }
  Snapshot snapshot(ref->view);
  std::vector<Located> found;
  LONG status = Locate(*ref, sub, &snapshot, &found);
  bool created = false;
  if (status == Fail(ERROR_FILE_NOT_FOUND)) {
    const KeyPath path = Join(ref->path, sub);
    const HiveId target =
        ref->view == View::kClasses ? ClassesTarget(snapshot, path) : HivesOf(ref->view).front();
    status = MutateHive(target, [&](Hive& hive, bool* changed) {
      if (!ref->is_root && hive.Find(InHive(ref->view, ref->path)) == nullptr) {
        return Fail(ERROR_KEY_DELETED);
      }
      hive.Create(InHive(ref->view, path), &created);
      *changed = created;
      return kOk;
    });
  }
  if (status != kOk) return status;
  if (disposition != nullptr)
    *disposition = created ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
  *result = new RegistryKey{ref->view, Join(ref->path, sub)};
  return kOk;
}

LONG RegOpenKeyExW(HKEY key, const WCHAR* sub_key, DWORD /*options*/, REGSAM /*sam*/,
                   HKEY* result) {
  if (result == nullptr) return Fail(ERROR_INVALID_PARAMETER);
  *result = nullptr;
  const std::optional<KeyRef> ref = Resolve(key);
  if (!ref) return Fail(ERROR_INVALID_HANDLE);
  KeyPath sub;
  if (!SplitPath(sub_key, /*creating=*/false, &sub)) return Fail(ERROR_INVALID_PARAMETER);
  Snapshot snapshot(ref->view);
  std::vector<Located> found;
  if (const LONG status = Locate(*ref, sub, &snapshot, &found); status != kOk) return status;
  *result = new RegistryKey{ref->view, Join(ref->path, sub)};
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
  const std::optional<KeyRef> ref = Resolve(key);
  if (!ref) return Fail(ERROR_INVALID_HANDLE);
  Snapshot snapshot(ref->view);
  std::vector<Located> found;
  if (const LONG status = Locate(*ref, {}, &snapshot, &found); status != kOk) return status;
  const HiveValue* value = FindMergedValue(found, ToWString(value_name));
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
  const std::optional<KeyRef> ref = Resolve(key);
  if (!ref) return Fail(ERROR_INVALID_HANDLE);
  Snapshot snapshot(ref->view);
  std::vector<Located> found;
  if (const LONG status = Locate(*ref, {}, &snapshot, &found); status != kOk) return status;
  // Through the classes root a value goes where the key is, the user's hive
  // first; only the classes root itself can be in neither hive yet.
  const HiveId target = found.empty() ? HiveId::kMachine : found.front().hive;
  HiveValue value{name, type, StoredData(type, data, cb_data)};
  return MutateHive(target, [&](Hive& hive, bool* changed) {
    const KeyPath path = InHive(ref->view, ref->path);
    HiveKey* at = hive.Find(path);
    if (at == nullptr && !ref->is_root) return Fail(ERROR_KEY_DELETED);
    if (at == nullptr) at = &hive.Create(path);
    const HiveValue* old = at->FindValue(name);
    *changed = old == nullptr || old->type != value.type || old->data != value.data;
    at->SetValue(std::move(value));
    return kOk;
  });
}

LONG RegDeleteValueW(HKEY key, const WCHAR* value_name) {
  const std::optional<KeyRef> ref = Resolve(key);
  if (!ref) return Fail(ERROR_INVALID_HANDLE);
  Snapshot snapshot(ref->view);
  std::vector<Located> found;
  if (const LONG status = Locate(*ref, {}, &snapshot, &found); status != kOk) return status;
  const WString name = ToWString(value_name);
  bool deleted = false;
  for (const Located& at : found) {
    if (at.key->FindValue(name) == nullptr) continue;
    const LONG status =
        MutateKey(at.hive, InHive(ref->view, ref->path), [&](HiveKey& k, bool* changed) {
          *changed = k.DeleteValue(name);
          deleted = deleted || *changed;
          return kOk;
        });
    if (status != kOk && status != Fail(ERROR_KEY_DELETED)) return status;
  }
  return deleted ? kOk : Fail(ERROR_FILE_NOT_FOUND);
}

LONG RegDeleteKeyW(HKEY key, const WCHAR* sub_key) {
  const std::optional<KeyRef> ref = Resolve(key);
  if (!ref) return Fail(ERROR_INVALID_HANDLE);
  KeyPath sub;
  if (sub_key == nullptr || !SplitPath(sub_key, /*creating=*/false, &sub)) {
    return Fail(ERROR_INVALID_PARAMETER);
  }
  if (ref->is_root && sub.empty()) return Fail(ERROR_ACCESS_DENIED);
  Snapshot snapshot(ref->view);
  std::vector<Located> found;
  if (const LONG status = Locate(*ref, sub, &snapshot, &found); status != kOk) return status;
  return DeleteKeyEverywhere(ref->view, found, Join(ref->path, sub), /*whole_tree=*/false);
}

LONG RegDeleteTreeW(HKEY key, const WCHAR* sub_key) {
  const std::optional<KeyRef> ref = Resolve(key);
  if (!ref) return Fail(ERROR_INVALID_HANDLE);
  KeyPath sub;
  if (!SplitPath(sub_key, /*creating=*/false, &sub)) return Fail(ERROR_INVALID_PARAMETER);
  Snapshot snapshot(ref->view);
  std::vector<Located> found;
  if (const LONG status = Locate(*ref, sub, &snapshot, &found); status != kOk) return status;
  const KeyPath path = Join(ref->path, sub);
  // An empty `sub_key` empties the handle's own key, as a null one does.
  if (sub.empty()) return ClearKeyEverywhere(ref->view, found, path);
  return DeleteKeyEverywhere(ref->view, found, path, /*whole_tree=*/true);
}

LONG RegEnumKeyExW(HKEY key, DWORD index, WCHAR* name, DWORD* cch_name, DWORD* reserved,
                   WCHAR* class_name, DWORD* cch_class, FILETIME* last_write) {
  if (name == nullptr || cch_name == nullptr || reserved != nullptr) {
    return Fail(ERROR_INVALID_PARAMETER);
  }
  const std::optional<KeyRef> ref = Resolve(key);
  if (!ref) return Fail(ERROR_INVALID_HANDLE);
  Snapshot snapshot(ref->view);
  std::vector<Located> found;
  if (const LONG status = Locate(*ref, {}, &snapshot, &found); status != kOk) return status;
  const std::vector<WString> names = MergedSubkeyNames(found);
  if (index >= names.size()) return Fail(ERROR_NO_MORE_ITEMS);
  if (const LONG status = CopyName(names[index], name, cch_name); status != kOk) return status;
  // Keys have no class names here, and the hive file's time stands for the
  // last write time of each of its keys.
  if (cch_class != nullptr) {
    if (class_name != nullptr && *cch_class > 0) class_name[0] = 0;
    *cch_class = 0;
  }
  if (last_write != nullptr) *last_write = snapshot.WriteTime(found.front().hive);
  return kOk;
}

LONG RegEnumValueW(HKEY key, DWORD index, WCHAR* value_name, DWORD* cch_value_name, DWORD* reserved,
                   DWORD* type, BYTE* data, DWORD* cb_data) {
  if (value_name == nullptr || cch_value_name == nullptr || reserved != nullptr ||
      (data != nullptr && cb_data == nullptr)) {
    return Fail(ERROR_INVALID_PARAMETER);
  }
  const std::optional<KeyRef> ref = Resolve(key);
  if (!ref) return Fail(ERROR_INVALID_HANDLE);
  Snapshot snapshot(ref->view);
  std::vector<Located> found;
  if (const LONG status = Locate(*ref, {}, &snapshot, &found); status != kOk) return status;
  const std::vector<const HiveValue*> values = MergedValues(found);
  if (index >= values.size()) return Fail(ERROR_NO_MORE_ITEMS);
  const HiveValue& value = *values[index];
  if (const LONG status = CopyName(value.name, value_name, cch_value_name); status != kOk) {
    return status;
  }
  if (type != nullptr) *type = value.type;
  return CopyData(value.data, data, cb_data);
}

std::string HiveFilePath(HKEY root) {
  if (root == HKEY_CURRENT_USER) return HivePath(HiveId::kUser);
  if (root == HKEY_LOCAL_MACHINE) return HivePath(HiveId::kMachine);
  return {};
}
