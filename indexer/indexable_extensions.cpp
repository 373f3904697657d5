#include "indexer/indexable_extensions.h"

#include "indexer/kestine_settings.h"
#include "platform/reg_key.h"
#include "platform/registry.h"

namespace trovix::indexer {
namespace {

WString Upper(std::u16string_view text) {
  WString upper(text);
  for (WCHAR& unit : upper) {
    if (unit >= u'a' && unit <= u'z') unit = static_cast<WCHAR>(unit - 32);
  }
  return upper;
}

// True when `extension` names a file type that has a shell key.
bool HasShellVerb(const WString& extension) {
  RegKey key;
  WString file_type;
  if (RegKey::Open(HKEY_CLASSES_ROOT, extension, &key) != ERROR_SUCCESS ||
      key.GetString(u"", &file_type) != ERROR_SUCCESS || file_type.empty()) {
    return false;
  }
  RegKey shell;
  return RegKey::Open(HKEY_CLASSES_ROOT, file_type + u"\\shell", &shell) == ERROR_SUCCESS;
}

}  // namespace

IndexableExtensionSet IndexableExtensionSet::FromRegistry() {
  IndexableExtensionSet set;
  WCHAR name[1024];
  for (DWORD index = 0;; ++index) {
    DWORD length = 1024;
    if (RegEnumKeyExW(HKEY_CLASSES_ROOT, index, name, &length, nullptr, nullptr, nullptr,
                      nullptr) != ERROR_SUCCESS) {
      break;
    }
    const WString extension(name, length);
    if (extension.starts_with(u'.') && HasShellVerb(extension)) set.Insert(extension);
  }
  if (KestineKey::Global()
          .Read(kestine::kIndexAllFileNames)
          .value_or(kestine::kDefaultIndexAllFileNames) == 1) {
    set.IncludeEveryName();
  }
  return set;
}

void IndexableExtensionSet::Insert(std::u16string_view extension) {
  extensions_.insert(Upper(extension));
}

bool IndexableExtensionSet::Contains(std::u16string_view extension) const {
  if (every_name_) return true;
  return !extension.empty() && extensions_.contains(Upper(extension));
}

}  // namespace trovix::indexer
