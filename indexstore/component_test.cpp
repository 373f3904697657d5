// The index store as a component: creation by class identifier across a real
// dlopen, its interfaces, IDispatch over the type library, the version block,
// and unloading once the process is idle again.
#include <sqlite3.h>

#include <vector>

#include "indexstore/testing/ordalis_fixture.h"
#include "platform/version_info.h"
#include "platform/wstring.h"

namespace ordalis::testing {
namespace {

using ComponentTest = OrdalisTest;

TEST_F(ComponentTest, ModuleLoadsOnCreationAndUnloadsWithTheLastUninitialise) {
  CreateDatabaseFile();
  {
    ComPtr<ITrovixDB> db = Create();
    ASSERT_TRUE(db);
    EXPECT_TRUE(ModuleIsLoaded());
    ASSERT_EQ(db->Init(), S_OK);
    EXPECT_TRUE(trovix::testing::HasDescriptorOpenOn(DatabasePath()));
  }
  // An idle process keeps no connection: unloading the module destroys its
  // state, which closes the database without Cleanup.
  com_.reset();
  EXPECT_FALSE(ModuleIsLoaded());
  EXPECT_FALSE(trovix::testing::HasDescriptorOpenOn(DatabasePath()));
}

TEST_F(ComponentTest, ModuleStaysLoadedWhileAnObjectLivesOrAnotherThreadIsInitialised) {
  ComPtr<ITrovixDB> db = Create();
  ASSERT_TRUE(db);
  CoFreeUnusedLibraries();
  EXPECT_TRUE(ModuleIsLoaded());
  db.reset();
  CoFreeUnusedLibraries();
  EXPECT_FALSE(ModuleIsLoaded());
}

TEST_F(ComponentTest, CreationFailsCleanlyWithoutRegistrationOrInitialisation) {
  ComPtr<ITrovixDB> db;
  const GUID unknown = MakeGuid("{00000000-1111-2222-3333-444444444444}");
  EXPECT_EQ(CoCreateInstance(unknown, nullptr, CLSCTX_INPROC_SERVER, IID_ITrovixDB, db.put_void()),
            REGDB_E_CLASSNOTREG);
  EXPECT_FALSE(db);
  com_.reset();
  EXPECT_EQ(CoCreateInstance(CLSID_TrovixDB, nullptr, CLSCTX_INPROC_SERVER, IID_ITrovixDB,
                             db.put_void()),
            CO_E_NOTINITIALIZED);
  EXPECT_FALSE(ModuleIsLoaded());
}

TEST_F(ComponentTest, InterfacesAnswerInTheirOrderAndShareOneIdentity) {
  ComPtr<ITrovixDB> db = Create();
  ComPtr<IUnknown> unknown;
  ComPtr<IDispatch> dispatch;
  ComPtr<ISupportErrorInfo> error_info;
  ComPtr<IConnectionPointContainer> container;
  ASSERT_EQ(db->QueryInterface(IID_IUnknown, unknown.put_void()), S_OK);
  ASSERT_EQ(db->QueryInterface(IID_IDispatch, dispatch.put_void()), S_OK);
  ASSERT_EQ(db->QueryInterface(IID_ISupportErrorInfo, error_info.put_void()), S_OK);
  ASSERT_EQ(db->QueryInterface(IID_IConnectionPointContainer, container.put_void()), S_OK);
  EXPECT_EQ(static_cast<void*>(dispatch.get()), static_cast<void*>(db.get()));
  ComPtr<IUnknown> again;
  ASSERT_EQ(container->QueryInterface(IID_IUnknown, again.put_void()), S_OK);
  EXPECT_EQ(again.get(), unknown.get());
  void* none = &none;
  EXPECT_EQ(db->QueryInterface(IID_IClassFactory, &none), E_NOINTERFACE);
  EXPECT_EQ(none, nullptr);

  EXPECT_EQ(error_info->InterfaceSupportsErrorInfo(IID_ITrovixDB), S_OK);
  EXPECT_EQ(error_info->InterfaceSupportsErrorInfo(IID_IDispatch), S_FALSE);

  IConnectionPoint* point = reinterpret_cast<IConnectionPoint*>(&none);
  EXPECT_EQ(container->FindConnectionPoint(DIID__ITrovixDBEvents, &point), CONNECT_E_NOCONNECTION);
  EXPECT_EQ(point, nullptr);
  ComPtr<IEnumConnectionPoints> points;
  ASSERT_EQ(container->EnumConnectionPoints(points.put()), S_OK);
  ULONG fetched = 7;
  EXPECT_EQ(points->Next(1, &point, &fetched), S_FALSE);
  EXPECT_EQ(fetched, 0u);
}

TEST_F(ComponentTest, SecondClassBehavesLikeTheFirst) {
  CreateDatabaseFile();
  ComPtr<ITrovixDB> db2 = Create(CLSID_TrovixDB2);
  ASSERT_TRUE(db2);
  EXPECT_EQ(db2->Init(), S_OK);
  ComPtr<ITrovixDB> db = Create();
  // One module state per process, whichever class opened it.
  EXPECT_EQ(db->Init(), E_UNEXPECTED);
  UINT n = 0;
  EXPECT_EQ(db->GetDBFileName(nullptr, &n), S_FALSE);
  EXPECT_EQ(n, Utf8ToUtf16(DatabasePath()).size() + 1);
  EXPECT_EQ(db2->Cleanup(), S_OK);
}

TEST_F(ComponentTest, PermanentlyUnimplementedMethodsTouchNothing) {
  ComPtr<ITrovixDB> db = Create();
  UINT handle = 42;
  WCHAR word[8] = u"keep";
  UINT cch = 8;
  EXPECT_EQ(db->OpenWordEnumeration(u"word", &handle), E_NOTIMPL);
  EXPECT_EQ(db->NextWordEnumeration(1, word, &cch), E_NOTIMPL);
  EXPECT_EQ(db->SkipWordEnumeration(1, 5), E_NOTIMPL);
  EXPECT_EQ(db->CloseWordEnumeration(1), E_NOTIMPL);
  EXPECT_EQ(db->SearchNextCombined(0, 0), E_NOTIMPL);
  EXPECT_EQ(db->OpenWordEnumeration(nullptr, nullptr), E_NOTIMPL);
  EXPECT_EQ(handle, 42u);
  EXPECT_EQ(cch, 8u);
  EXPECT_EQ(WString(word), u"keep");
}

TEST_F(ComponentTest, ModuleInfoFollowsTheSizeQueryProtocol) {
  ComPtr<ITrovixDB> db = Create();
  EXPECT_EQ(db->GetModuleInfo(0, nullptr), E_INVALIDARG);
  UINT size = 0;
  ASSERT_EQ(db->GetModuleInfo(0, &size), S_FALSE);
  ASSERT_EQ(size, sizeof(VS_FIXEDFILEINFO));

  std::vector<BYTE> small(size - 1, 0xAB);
  UINT small_size = size - 1;
  EXPECT_EQ(db->GetModuleInfo(reinterpret_cast<UINT_PTR>(small.data()), &small_size), E_INVALIDARG);
  EXPECT_EQ(small_size, size);
  EXPECT_EQ(small[0], 0xAB) << "a too small buffer must stay untouched";

  std::vector<BYTE> block(size);
  UINT block_size = size;
  ASSERT_EQ(db->GetModuleInfo(reinterpret_cast<UINT_PTR>(block.data()), &block_size), S_OK);
  const VS_FIXEDFILEINFO* info = nullptr;
  ASSERT_TRUE(VerQueryFixedFileInfo(block.data(), block_size, &info));
  EXPECT_EQ(info->dwFileVersionMS >> 16, static_cast<DWORD>(TROVIX_TEST_VERSION_MAJOR));
  EXPECT_EQ(info->dwFileType, VFT_DLL);
  // The block is the one in the module's file, so a program can read the
  // version without loading the module.
  EXPECT_EQ(GetFileVersionInfoSize(BuiltModulePath()), size);
}

TEST_F(ComponentTest, DispatchReachesEveryMethodThroughTheTypeLibrary) {
  ComPtr<ITrovixDB> db = Create();
  UINT count = 0;
  ASSERT_EQ(db->GetTypeInfoCount(&count), S_OK);
  EXPECT_EQ(count, 1u);
  ComPtr<ITypeInfo> type;
  ASSERT_EQ(db->GetTypeInfo(0, 0, type.put()), S_OK);
  UINT funcs = 0;
  ASSERT_EQ(type->GetFuncCount(&funcs), S_OK);
  ASSERT_EQ(funcs, 55u);
  for (UINT i = 0; i < funcs; ++i) {
    DISPID id = 0;
    ASSERT_EQ(type->GetFuncId(i, &id), S_OK);
    EXPECT_EQ(id, static_cast<DISPID>(i + 1));
  }
  const WCHAR* name = nullptr;
  const WCHAR* doc = nullptr;
  ASSERT_EQ(type->GetDocumentation(44, &name, &doc), S_OK);
  EXPECT_EQ(WString(name), u"GetModuleInfo");
  EXPECT_EQ(WString(doc), u"method GetModuleInfo");
  ASSERT_EQ(type->GetDocumentation(DISPID_UNKNOWN, &name, &doc), S_OK);
  EXPECT_EQ(WString(doc), u"ITrovixDB Interface");

  const WCHAR* names[] = {u"getdbfilename", u"pcch"};
  DISPID ids[2] = {};
  ASSERT_EQ(db->GetIDsOfNames(IID_NULL, names, 2, 0, ids), S_OK);
  EXPECT_EQ(ids[0], 18);
  EXPECT_EQ(ids[1], 1);

  // GetDBFileName(null, &n) through Invoke: before Init it answers
  // E_UNEXPECTED, and a wrongly typed argument is pointed out.
  UINT n = 0;
  VARIANT args[2];
  VariantInit(&args[0]);
  VariantInit(&args[1]);
  args[0].vt = VT_UINT | VT_BYREF;  // arguments travel in reverse order
  args[0].puintVal = &n;
  DISPPARAMS params{args, nullptr, 2, 0};
  VARIANT result;
  UINT arg_err = 99;
  EXPECT_EQ(db->Invoke(18, IID_NULL, 0, DISPATCH_METHOD, &params, &result, nullptr, &arg_err),
            E_UNEXPECTED);
  EXPECT_EQ(result.vt, VT_HRESULT);
  args[0].vt = VT_I4;
  EXPECT_EQ(db->Invoke(18, IID_NULL, 0, DISPATCH_METHOD, &params, &result, nullptr, &arg_err),
            DISP_E_TYPEMISMATCH);
  EXPECT_EQ(arg_err, 0u);
  params.cArgs = 1;
  EXPECT_EQ(db->Invoke(18, IID_NULL, 0, DISPATCH_METHOD, &params, &result, nullptr, &arg_err),
            DISP_E_BADPARAMCOUNT);
  EXPECT_EQ(db->Invoke(56, IID_NULL, 0, DISPATCH_METHOD, &params, &result, nullptr, &arg_err),
            DISP_E_MEMBERNOTFOUND);
  DISPPARAMS none{nullptr, nullptr, 0, 0};
  EXPECT_EQ(db->Invoke(42, IID_NULL, 0, DISPATCH_METHOD, &none, nullptr, nullptr, nullptr),
            DISP_E_BADPARAMCOUNT);
}

TEST_F(ComponentTest, TypeInfoKeepsTheModuleLoaded) {
  ComPtr<ITypeInfo> type;
  {
    ComPtr<ITrovixDB> db = Create();
    ASSERT_EQ(db->GetTypeInfo(0, 0, type.put()), S_OK);
  }
  CoFreeUnusedLibraries();
  ASSERT_TRUE(ModuleIsLoaded());
  const WCHAR* name = nullptr;
  ASSERT_EQ(type->GetDocumentation(1, &name, nullptr), S_OK);
  EXPECT_EQ(WString(name), u"AddFile");
  type.reset();
  CoFreeUnusedLibraries();
  EXPECT_FALSE(ModuleIsLoaded());
}

TEST_F(ComponentTest, RepeatedLoadAndUnloadLeaksNoDescriptors) {
  CreateDatabaseFile();
  // A first cycle, so that lazily opened descriptors of the test itself exist.
  auto cycle = [this] {
    ComInit again;
    ComPtr<ITrovixDB> db = Create();
    ASSERT_EQ(db->Init(), S_OK);
    ASSERT_EQ(db->Cleanup(), S_OK);
  };
  com_.reset();
  cycle();
  const int before = trovix::testing::OpenDescriptorCount();
  for (int i = 0; i < 20; ++i) cycle();
  EXPECT_FALSE(ModuleIsLoaded());
  EXPECT_EQ(trovix::testing::OpenDescriptorCount(), before);
}

}  // namespace
}  // namespace ordalis::testing
