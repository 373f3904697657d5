#include "indexer/kestine/kestine_registration.h"

#include "platform/reg_key.h"
#include "platform/registry.h"
#include "shared/registry_keys.h"

namespace trovix::indexer {
namespace {

constexpr std::u16string_view kAppId = u"{779BA293-F2B4-4E45-AADA-927E5CF41A78}";
constexpr std::u16string_view kAppIdKey = u"AppID\\{779BA293-F2B4-4E45-AADA-927E5CF41A78}";
constexpr std::u16string_view kProgramKey = u"AppID\\kestine";

// Registering again (every run of trovix-setup does) keeps what the user set.
LONG SetDwordWhenMissing(const RegKey& key, std::u16string_view name, DWORD value) {
  DWORD existing = 0;
  if (key.GetDword(name, &existing) == ERROR_SUCCESS) return ERROR_SUCCESS;
  return key.SetDword(name, value);
}

}  // namespace

LONG RegisterKestine() {
  RegKey key;
  LONG rc = RegKey::Create(HKEY_CLASSES_ROOT, kAppIdKey, &key);
  if (rc == ERROR_SUCCESS) rc = key.SetString(u"", u"Kestine");
  if (rc == ERROR_SUCCESS) rc = RegKey::Create(HKEY_CLASSES_ROOT, kProgramKey, &key);
  if (rc == ERROR_SUCCESS) rc = key.SetString(u"AppID", kAppId);
  if (rc == ERROR_SUCCESS) rc = RegKey::Create(HKEY_CURRENT_USER, trovix::keys::kKestine, &key);
  if (rc == ERROR_SUCCESS) rc = SetDwordWhenMissing(key, u"Scan Interval", 4320);
  if (rc == ERROR_SUCCESS) rc = SetDwordWhenMissing(key, u"Suppress Startup Scan", 0);
  return rc;
}

LONG UnregisterKestine() {
  const LONG rc = RegDeleteTreeIfExists(HKEY_CLASSES_ROOT, kAppIdKey);
  const LONG program = RegDeleteTreeIfExists(HKEY_CLASSES_ROOT, kProgramKey);
  return rc != ERROR_SUCCESS ? rc : program;
}

}  // namespace trovix::indexer
