// The component runtime: per-thread initialisation, creation through the
// registry and dlopen, and unloading of idle modules, observed through the
// module's own static destructor.
#include "platform/com.h"

#include <dlfcn.h>
#include <gtest/gtest.h>

#include <thread>

#include "platform/reg_key.h"
#include "platform/registry.h"
#include "platform/testing/private_tree.h"
#include "platform/wstring.h"

namespace {

constexpr CLSID kTestClass = MakeGuid("{7A1C3E55-0B2D-4F6A-9E81-2C4D6F8A0B13}");
const std::string kModule = std::string(TROVIX_BUILD_DIR) + "/tests/libtest_component.so";

class ComTest : public ::testing::Test {
 protected:
  void SetUp() override {
    marker_ = tree_.root() + "/unloaded";
    setenv("TROVIX_TEST_UNLOAD_MARKER", marker_.c_str(), 1);
    Register(kTestClass, kModule);
  }
  void TearDown() override { unsetenv("TROVIX_TEST_UNLOAD_MARKER"); }

  static void Register(const CLSID& clsid, const std::string& module) {
    RegKey key;
    ASSERT_EQ(RegKey::Create(HKEY_CLASSES_ROOT,
                             u"CLSID\\" + GuidToWString(clsid) + u"\\InprocServer32", &key),
              ERROR_SUCCESS);
    ASSERT_EQ(key.SetString(u"", Utf8ToUtf16(module)), ERROR_SUCCESS);
  }

  static HRESULT Create(const CLSID& clsid, ComPtr<IUnknown>* out) {
    return CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown, out->put_void());
  }

  static bool Loaded() {
    void* handle = dlopen(kModule.c_str(), RTLD_NOW | RTLD_NOLOAD);
    if (handle != nullptr) dlclose(handle);
    return handle != nullptr;
  }

  int Unloads() const {
    const std::string text = trovix::testing::ReadFile(marker_);
    int count = 0;
    for (std::size_t at = text.find("unloaded"); at != std::string::npos;
         at = text.find("unloaded", at + 1)) {
      ++count;
    }
    return count;
  }

  trovix::testing::PrivateTree tree_;
  std::string marker_;
};

TEST_F(ComTest, InitialisationCountsPerThread) {
  EXPECT_EQ(CoInitialize(nullptr), S_OK);
  EXPECT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_FALSE);
  std::thread([] {
    EXPECT_EQ(CoInitialize(nullptr), S_OK) << "each thread counts for itself";
    CoUninitialize();
  }).join();
  CoUninitialize();
  CoUninitialize();
  ComPtr<IUnknown> object;
  EXPECT_EQ(Create(kTestClass, &object), CO_E_NOTINITIALIZED);
  CoUninitialize();  // one too many does no harm
  EXPECT_EQ(CoInitialize(nullptr), S_OK);
  CoUninitialize();
}

TEST_F(ComTest, TheLastUninitialiseUnloadsAnIdleModuleAndRunsItsDestructors) {
  {
    ComInit com;
    ComPtr<IUnknown> object;
    ASSERT_EQ(Create(kTestClass, &object), S_OK);
    EXPECT_TRUE(Loaded());
  }
  EXPECT_FALSE(Loaded());
  EXPECT_EQ(Unloads(), 1);
  // Loading again gives fresh statics.
  {
    ComInit com;
    ComPtr<IUnknown> object;
    ASSERT_EQ(Create(kTestClass, &object), S_OK);
  }
  EXPECT_EQ(Unloads(), 2);
}

TEST_F(ComTest, ALiveObjectOrAnotherInitialisedThreadKeepsTheModule) {
  ComPtr<IUnknown> survivor;
  {
    ComInit com;
    ASSERT_EQ(Create(kTestClass, &survivor), S_OK);
  }
  EXPECT_TRUE(Loaded()) << "an object still lives";
  survivor.reset();
  CoFreeUnusedLibraries();
  EXPECT_FALSE(Loaded());

  ComInit com;
  std::thread([this] {
    ComInit other;
    ComPtr<IUnknown> object;
    ASSERT_EQ(Create(kTestClass, &object), S_OK);
  }).join();
  EXPECT_TRUE(Loaded()) << "this thread is still initialised";
  EXPECT_EQ(Unloads(), 1);
}

TEST_F(ComTest, CreationFailuresAreReportedAndLeaveNothingLoaded) {
  ComInit com;
  ComPtr<IUnknown> object;
  const CLSID unregistered = MakeGuid("{11111111-2222-3333-4444-555555555555}");
  EXPECT_EQ(Create(unregistered, &object), REGDB_E_CLASSNOTREG);

  const CLSID missing = MakeGuid("{11111111-2222-3333-4444-555555555556}");
  Register(missing, tree_.root() + "/no-such-module.so");
  EXPECT_EQ(Create(missing, &object), HRESULT_FROM_WIN32(ERROR_MOD_NOT_FOUND));

  // A shared library that is no component: it has no DllGetClassObject.
  const CLSID not_component = MakeGuid("{11111111-2222-3333-4444-555555555557}");
  Register(not_component, std::string(TROVIX_BUILD_DIR) + "/lib/libtrovix-platform.so");
  EXPECT_EQ(Create(not_component, &object), HRESULT_FROM_WIN32(ERROR_PROC_NOT_FOUND));

  // The module offers another class than the one registered for it.
  const CLSID wrong = MakeGuid("{11111111-2222-3333-4444-555555555558}");
  Register(wrong, kModule);
  EXPECT_EQ(Create(wrong, &object), CLASS_E_CLASSNOTAVAILABLE);
  EXPECT_FALSE(object);

  void* ppv = &ppv;
  EXPECT_EQ(CoCreateInstance(kTestClass, reinterpret_cast<IUnknown*>(&ppv), CLSCTX_INPROC_SERVER,
                             IID_IUnknown, &ppv),
            CLASS_E_NOAGGREGATION);
  EXPECT_EQ(ppv, nullptr);
  EXPECT_EQ(CoCreateInstance(kTestClass, nullptr, CLSCTX_LOCAL_SERVER, IID_IUnknown, &ppv),
            REGDB_E_CLASSNOTREG);
}

TEST_F(ComTest, LoadingAndUnloadingLeaksNoDescriptors) {
  auto cycle = [] {
    ComInit com;
    ComPtr<IUnknown> object;
    ASSERT_EQ(Create(kTestClass, &object), S_OK);
  };
  cycle();
  const int before = trovix::testing::OpenDescriptorCount();
  for (int i = 0; i < 50; ++i) cycle();
  EXPECT_EQ(trovix::testing::OpenDescriptorCount(), before);
  EXPECT_EQ(Unloads(), 51);
}

}  // namespace
