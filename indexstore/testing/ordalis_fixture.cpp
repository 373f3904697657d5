#include "indexstore/testing/ordalis_fixture.h"

#include <dlfcn.h>

#include <filesystem>

#include "platform/paths.h"
#include "platform/wstring.h"
#include "shared/database_format.h"
#include "tools/file_types.h"

namespace ordalis::testing {

std::string BuiltModulePath() { return std::string(TROVIX_MODULE_BUILD_DIR) + "/libordalis.so"; }

std::string ClientProgramPath() { return std::string(TROVIX_BUILD_DIR) + "/tests/ordalis_client"; }

namespace {

HRESULT CallRegisterServer(const std::string& module) {
  void* handle = dlopen(module.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr) return E_FAIL;
  auto reg = reinterpret_cast<DllRegisterServerFn>(dlsym(handle, "DllRegisterServer"));
  const HRESULT hr = reg != nullptr ? reg() : E_FAIL;
  dlclose(handle);
  return hr;
}

}  // namespace

HRESULT RegisterBuiltModule() { return CallRegisterServer(BuiltModulePath()); }

HRESULT RegisterBuiltTextFilter() {
  const HRESULT hr = CallRegisterServer(std::string(TROVIX_MODULE_BUILD_DIR) + "/libtxtfilter.so");
  if (FAILED(hr)) return hr;
  return trovix::setup::RegisterPlainTextTypes() == ERROR_SUCCESS ? S_OK : E_FAIL;
}

HRESULT RegisterBuiltDocFilter() {
  const HRESULT hr = CallRegisterServer(std::string(TROVIX_MODULE_BUILD_DIR) + "/libdocfilter.so");
  if (FAILED(hr)) return hr;
  return trovix::setup::RegisterDocumentTypes() == ERROR_SUCCESS ? S_OK : E_FAIL;
}

HRESULT PrepareBuiltStore(std::string* database) {
  HRESULT hr = RegisterBuiltModule();
  if (SUCCEEDED(hr)) hr = RegisterBuiltTextFilter();
  if (FAILED(hr)) return hr;
  *database = trovix::DefaultDatabaseLocation().path;
  std::filesystem::create_directories(std::filesystem::path(*database).parent_path());
  return trovix::CreateDatabase(*database);
}

ComPtr<ITrovixDB> OpenStore() {
  ComPtr<ITrovixDB> store;
  if (FAILED(CoCreateInstance(CLSID_TrovixDB, nullptr, CLSCTX_INPROC_SERVER, IID_ITrovixDB,
                              store.put_void())) ||
      store->Init() != S_OK) {
    store.reset();
  }
  return store;
}

bool ModuleIsLoaded() {
  void* handle = dlopen(BuiltModulePath().c_str(), RTLD_NOW | RTLD_NOLOAD);
  if (handle == nullptr) return false;
  dlclose(handle);
  return true;
}

void OrdalisTest::SetUp() {
  tree_.emplace();
  ASSERT_EQ(RegisterBuiltModule(), S_OK);
  ASSERT_FALSE(ModuleIsLoaded()) << "registration must leave the module unloaded";
  com_.emplace();
  ASSERT_EQ(com_->hr(), S_OK);
}

void OrdalisTest::TearDown() {
  com_.reset();
  tree_.reset();
}

void OpenedStoreTest::SetUp() {
  OrdalisTest::SetUp();
  ASSERT_EQ(RegisterBuiltTextFilter(), S_OK);
  CreateDatabaseFile();
  db_ = Create();
  ASSERT_TRUE(db_);
  ASSERT_EQ(db_->Init(), S_OK);
}

void OpenedStoreTest::TearDown() {
  if (db_) {
    EXPECT_EQ(db_->Cleanup(), S_OK);
  }
  db_.reset();
  OrdalisTest::TearDown();
}

INT OpenedStoreTest::AddIndexed(const std::string& relative, const std::string& text) {
  const std::string path = tree_->home() + "/" + relative;
  trovix::testing::WriteFile(path, text);
  const WString wide = Utf8ToUtf16(path);
  EXPECT_EQ(db_->AddFile(wide.c_str()), S_OK);
  EXPECT_EQ(db_->IndexFile(wide.c_str(), nullptr, nullptr), S_OK);
  INT id = 0;
  EXPECT_EQ(db_->GetFileID(wide.c_str(), &id), S_OK);
  return id;
}

std::string OrdalisTest::DatabasePath() const { return trovix::DefaultDatabaseLocation().path; }

void OrdalisTest::CreateDatabaseFile() {
  const std::string path = DatabasePath();
  ASSERT_EQ(MakePrivateDirs(std::filesystem::path(path).parent_path().string()), 0);
  ASSERT_EQ(trovix::CreateDatabase(path), S_OK);
}

ComPtr<ITrovixDB> OrdalisTest::Create(const CLSID& clsid) {
  ComPtr<ITrovixDB> db;
  EXPECT_EQ(CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_ITrovixDB, db.put_void()),
            S_OK);
  return db;
}

}  // namespace ordalis::testing
