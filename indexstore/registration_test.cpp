// Self-registration: exactly the keys clients and the component runtime
// rely on, written idempotently, and all of them removed again.
#include <dlfcn.h>

#include "indexstore/testing/ordalis_fixture.h"
#include "platform/reg_key.h"
#include "platform/registry.h"
#include "platform/wstring.h"

namespace ordalis::testing {
namespace {

using RegistrationTest = OrdalisTest;

WString DefaultValue(std::u16string_view path, std::u16string_view name = u"") {
  RegKey key;
  WString value;
  if (RegKey::Open(HKEY_CLASSES_ROOT, path, &key) != ERROR_SUCCESS) return u"<no key>";
  if (key.GetString(name, &value) != ERROR_SUCCESS) return u"<no value>";
  return value;
}

bool KeyExists(std::u16string_view path) {
  RegKey key;
  return RegKey::Open(HKEY_CLASSES_ROOT, path, &key) == ERROR_SUCCESS;
}

HRESULT CallEntry(const char* name) {
  void* handle = dlopen(BuiltModulePath().c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr) return E_FAIL;
  auto entry = reinterpret_cast<DllRegisterServerFn>(dlsym(handle, name));
  const HRESULT hr = entry != nullptr ? entry() : E_FAIL;
  dlclose(handle);
  return hr;
}

TEST_F(RegistrationTest, WritesTheClassProgIdAndTypeLibraryKeys) {
  const WString clsid = u"CLSID\\{26C95553-D9BE-43DB-ABCE-E24019190A41}";
  EXPECT_EQ(DefaultValue(u"Ordalis.TrovixDB.1"), u"TrovixDB Class");
  EXPECT_EQ(DefaultValue(u"Ordalis.TrovixDB.1\\CLSID"), u"{26C95553-D9BE-43DB-ABCE-E24019190A41}");
  EXPECT_EQ(DefaultValue(u"Ordalis.TrovixDB"), u"TrovixDB Class");
  EXPECT_EQ(DefaultValue(u"Ordalis.TrovixDB\\CurVer"), u"Ordalis.TrovixDB.1");
  EXPECT_EQ(DefaultValue(clsid), u"TrovixDB Class");
  EXPECT_EQ(DefaultValue(clsid + u"\\ProgID"), u"Ordalis.TrovixDB.1");
  EXPECT_EQ(DefaultValue(clsid + u"\\VersionIndependentProgID"), u"Ordalis.TrovixDB");
  EXPECT_EQ(DefaultValue(clsid + u"\\Programmable"), u"<no value>");
  EXPECT_EQ(DefaultValue(clsid + u"\\InprocServer32"), Utf8ToUtf16(BuiltModulePath()));
  EXPECT_EQ(DefaultValue(clsid + u"\\InprocServer32", u"ThreadingModel"), u"Apartment");
  EXPECT_EQ(DefaultValue(clsid + u"\\TypeLib"), u"{BB3406B2-FBD3-4352-97B4-5A61C2FCC6C2}");

  const WString clsid2 = u"CLSID\\{963DA8B2-6A9F-45DC-A7A9-6378A5B0B937}";
  EXPECT_EQ(DefaultValue(u"Ordalis.TrovixDB2.1"), u"TrovixDB2 Class");
  EXPECT_EQ(DefaultValue(u"Ordalis.TrovixDB2\\CurVer"), u"Ordalis.TrovixDB2.1");
  EXPECT_EQ(DefaultValue(clsid2 + u"\\ProgID"), u"Ordalis.TrovixDB2.1");
  EXPECT_EQ(DefaultValue(clsid2 + u"\\TypeLib"), u"{BB3406B2-FBD3-4352-97B4-5A61C2FCC6C2}");

  const WString lib = u"TypeLib\\{BB3406B2-FBD3-4352-97B4-5A61C2FCC6C2}\\1.0";
  EXPECT_EQ(DefaultValue(lib), u"Ordalis 1.0 Type Library");
  EXPECT_EQ(DefaultValue(lib + u"\\0\\linux64"), Utf8ToUtf16(BuiltModulePath()));
  EXPECT_EQ(DefaultValue(u"Interface\\{15AA8B43-2D99-4F9C-96C2-7EC2811072CF}"), u"ITrovixDB");
  // Registration goes to the machine hive: the user's stays untouched.
  EXPECT_EQ(trovix::testing::ReadFile(tree_->user_hive()), "");
}

TEST_F(RegistrationTest, RegisteringAgainChangesNothing) {
  const std::string first = trovix::testing::ReadFile(tree_->machine_hive());
  ASSERT_EQ(CallEntry("DllRegisterServer"), S_OK);
  EXPECT_EQ(trovix::testing::ReadFile(tree_->machine_hive()), first);
}

TEST_F(RegistrationTest, StaleKeysUnderTheClassAreReplaced) {
  const WString server = u"CLSID\\{26C95553-D9BE-43DB-ABCE-E24019190A41}\\InprocServer32";
  RegKey key;
  ASSERT_EQ(RegKey::Create(HKEY_CLASSES_ROOT, server, &key), ERROR_SUCCESS);
  ASSERT_EQ(key.SetString(u"", u"/old/place/libordalis.so"), ERROR_SUCCESS);
  ASSERT_EQ(RegKey::Create(HKEY_CLASSES_ROOT,
                           u"CLSID\\{26C95553-D9BE-43DB-ABCE-E24019190A41}\\Leftover", &key),
            ERROR_SUCCESS);
  ASSERT_EQ(CallEntry("DllRegisterServer"), S_OK);
  EXPECT_EQ(DefaultValue(server), Utf8ToUtf16(BuiltModulePath()));
  EXPECT_FALSE(KeyExists(u"CLSID\\{26C95553-D9BE-43DB-ABCE-E24019190A41}\\Leftover"));
}

TEST_F(RegistrationTest, UnregisteringRemovesEverythingButTheClassesParent) {
  RegKey other;
  ASSERT_EQ(RegKey::Create(HKEY_CLASSES_ROOT, u"CLSID\\{00000000-0000-0000-0000-0000000000AA}",
                           &other),
            ERROR_SUCCESS);
  ASSERT_EQ(CallEntry("DllUnregisterServer"), S_OK);
  for (const char16_t* path :
       {u"Ordalis.TrovixDB.1", u"Ordalis.TrovixDB", u"Ordalis.TrovixDB2.1", u"Ordalis.TrovixDB2",
        u"CLSID\\{26C95553-D9BE-43DB-ABCE-E24019190A41}",
        u"CLSID\\{963DA8B2-6A9F-45DC-A7A9-6378A5B0B937}",
        u"TypeLib\\{BB3406B2-FBD3-4352-97B4-5A61C2FCC6C2}",
        u"Interface\\{15AA8B43-2D99-4F9C-96C2-7EC2811072CF}",
        u"Interface\\{F15470CD-D50E-42DD-BFCC-A9CD67983002}"}) {
    EXPECT_FALSE(KeyExists(path)) << Utf16ToUtf8(path);
  }
  EXPECT_TRUE(KeyExists(u"CLSID\\{00000000-0000-0000-0000-0000000000AA}"));
  ComPtr<ITrovixDB> db;
  EXPECT_EQ(CoCreateInstance(CLSID_TrovixDB, nullptr, CLSCTX_INPROC_SERVER, IID_ITrovixDB,
                             db.put_void()),
            REGDB_E_CLASSNOTREG);
  // A second unregistration finds nothing to remove and still succeeds.
  EXPECT_EQ(CallEntry("DllUnregisterServer"), S_OK);
}

}  // namespace
}  // namespace ordalis::testing
