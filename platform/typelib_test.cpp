// Type libraries: name resolution, argument unpacking for IDispatch, and
// their registration keys.
#include "platform/typelib.h"

#include <gtest/gtest.h>

#include "platform/reg_key.h"
#include "platform/registry.h"
#include "platform/testing/private_tree.h"

namespace {

// An interface of the shape the suite's interfaces have.
struct ISample : IUnknown {
  virtual HRESULT Resize(const WCHAR* name, INT width, UINT* area) = 0;
};

struct Sample final : ISample {
  HRESULT QueryInterface(REFIID, void**) override { return E_NOINTERFACE; }
  ULONG AddRef() override { return 1; }
  ULONG Release() override { return 1; }
  HRESULT Resize(const WCHAR* name, INT width, UINT* area) override {
    last_name = name;
    if (width < 0) return E_INVALIDARG;
    *area = static_cast<UINT>(width * width);
    return S_OK;
  }
  const WCHAR* last_name = u"unset";
};

constexpr ParamDesc kResizeParams[] = {{u"name", VT_LPWSTR, PARAMFLAG_FIN},
                                       {u"width", VT_I4, PARAMFLAG_FIN},
                                       {u"pArea", VT_UINT | VT_BYREF, PARAMFLAG_FOUT}};
constexpr FuncDesc kFuncs[] = {{1, u"Resize", u"method Resize", kResizeParams},
                               {2, u"Reset", u"method Reset", {}}};
constexpr TypeDesc kTypes[] = {
    {TypeKind::kDualInterface, MakeGuid("{0C0FFEE0-0000-4000-8000-000000000001}"), u"ISample",
     u"ISample Interface", kFuncs},
    {TypeKind::kCoClass, MakeGuid("{0C0FFEE0-0000-4000-8000-000000000002}"), u"Sample",
     u"Sample Class", {}},
};
constexpr TypeLibDesc kLib = {MakeGuid("{0C0FFEE0-0000-4000-8000-000000000003}"), u"SAMPLELib",
                              u"Sample 2.5 Type Library", 2, 5, kTypes};

TEST(TypeLibTest, NamesResolveWithoutRegardToCase) {
  const WCHAR* names[] = {u"rESIZE", u"WIDTH", u"parea", u"nonsense"};
  DISPID ids[4] = {};
  EXPECT_EQ(IdsOfNames(kTypes[0], names, 3, ids), S_OK);
  EXPECT_EQ(ids[0], 1);
  EXPECT_EQ(ids[1], 1);
  EXPECT_EQ(ids[2], 2);
  EXPECT_EQ(IdsOfNames(kTypes[0], names, 4, ids), DISP_E_UNKNOWNNAME);
  EXPECT_EQ(ids[3], DISPID_UNKNOWN);
  const WCHAR* unknown[] = {u"Grow", u"width"};
  EXPECT_EQ(IdsOfNames(kTypes[0], unknown, 2, ids), DISP_E_UNKNOWNNAME);
  EXPECT_EQ(ids[0], DISPID_UNKNOWN);
  EXPECT_EQ(ids[1], DISPID_UNKNOWN) << "parameter names belong to a method";
}

TEST(TypeLibTest, InvokeUnpacksArgumentsInReverseOrder) {
  Sample sample;
  UINT area = 0;
  VARIANT args[3];
  for (VARIANT& v : args) VariantInit(&v);
  args[2].vt = VT_LPWSTR;
  args[2].pwszVal = const_cast<WCHAR*>(u"box");
  args[1].vt = VT_I4;
  args[1].lVal = 7;
  args[0].vt = VT_UINT | VT_BYREF;
  args[0].puintVal = &area;
  DISPPARAMS params{args, nullptr, 3, 0};
  UINT arg_err = 99;
  EXPECT_EQ(InvokeMethod<&ISample::Resize>(&sample, &params, &arg_err), S_OK);
  EXPECT_EQ(area, 49u);
  EXPECT_EQ(WString(sample.last_name), u"box");

  args[1].lVal = -1;  // the method's own answer comes back
  EXPECT_EQ(InvokeMethod<&ISample::Resize>(&sample, &params, &arg_err), E_INVALIDARG);

  args[2].vt = VT_EMPTY;  // a null string is passed as null
  args[1].lVal = 2;
  EXPECT_EQ(InvokeMethod<&ISample::Resize>(&sample, &params, &arg_err), S_OK);
  EXPECT_EQ(sample.last_name, nullptr);

  args[1].vt = VT_LPWSTR;  // the second argument is reported by its position
  EXPECT_EQ(InvokeMethod<&ISample::Resize>(&sample, &params, &arg_err), DISP_E_TYPEMISMATCH);
  EXPECT_EQ(arg_err, 1u);
  args[1].vt = VT_I4;
  args[0].vt = VT_UINT;  // a by-value integer where a pointer belongs
  EXPECT_EQ(InvokeMethod<&ISample::Resize>(&sample, &params, &arg_err), DISP_E_TYPEMISMATCH);
  EXPECT_EQ(arg_err, 0u);

  params.cArgs = 2;
  EXPECT_EQ(InvokeMethod<&ISample::Resize>(&sample, &params, &arg_err), DISP_E_BADPARAMCOUNT);
  EXPECT_EQ(InvokeMethod<&ISample::Resize>(&sample, nullptr, &arg_err), DISP_E_BADPARAMCOUNT);
}

TEST(TypeLibTest, TypeInfoDescribesFunctionsAndCountsAsAModuleObject) {
  std::atomic<long> objects{0};
  TypeInfo* info = TypeInfo::Create(kTypes[0], &objects);
  ASSERT_NE(info, nullptr);
  EXPECT_EQ(objects, 1);
  const WCHAR* names[4] = {};
  UINT count = 0;
  ASSERT_EQ(info->GetNames(1, names, 4, &count), S_OK);
  ASSERT_EQ(count, 4u);
  EXPECT_EQ(WString(names[3]), u"pArea");
  ASSERT_EQ(info->GetNames(1, names, 2, &count), S_OK);
  EXPECT_EQ(count, 2u) << "never more names than the caller has room for";
  EXPECT_EQ(info->GetNames(3, names, 4, &count), TYPE_E_ELEMENTNOTFOUND);
  DISPID id = 0;
  EXPECT_EQ(info->GetFuncId(2, &id), TYPE_E_ELEMENTNOTFOUND);
  info->AddRef();
  info->Release();
  EXPECT_EQ(objects, 1);
  info->Release();
  EXPECT_EQ(objects, 0);
}

TEST(TypeLibTest, RegistrationWritesAndRemovesTheLibraryAndInterfaceKeys) {
  trovix::testing::PrivateTree tree;
  ASSERT_EQ(RegisterTypeLib(kLib, u"/opt/trovix/lib/trovix/libsample.so"), S_OK);
  RegKey key;
  WString value;
  const WString lib = u"TypeLib\\{0C0FFEE0-0000-4000-8000-000000000003}\\2.5";
  ASSERT_EQ(RegKey::Open(HKEY_CLASSES_ROOT, lib, &key), ERROR_SUCCESS);
  ASSERT_EQ(key.GetString(u"", &value), ERROR_SUCCESS);
  EXPECT_EQ(value, u"Sample 2.5 Type Library");
  ASSERT_EQ(RegKey::Open(HKEY_CLASSES_ROOT, lib + u"\\HELPDIR", &key), ERROR_SUCCESS);
  ASSERT_EQ(key.GetString(u"", &value), ERROR_SUCCESS);
  EXPECT_EQ(value, u"/opt/trovix/lib/trovix/");
  const WString iface = u"Interface\\{0C0FFEE0-0000-4000-8000-000000000001}";
  ASSERT_EQ(RegKey::Open(HKEY_CLASSES_ROOT, iface + u"\\TypeLib", &key), ERROR_SUCCESS);
  ASSERT_EQ(key.GetString(u"Version", &value), ERROR_SUCCESS);
  EXPECT_EQ(value, u"2.5");
  EXPECT_NE(RegKey::Open(HKEY_CLASSES_ROOT, u"Interface\\{0C0FFEE0-0000-4000-8000-000000000002}",
                         &key),
            ERROR_SUCCESS)
      << "classes are not interfaces";

  ASSERT_EQ(UnRegisterTypeLib(kLib), S_OK);
  EXPECT_NE(RegKey::Open(HKEY_CLASSES_ROOT, lib, &key), ERROR_SUCCESS);
  EXPECT_NE(RegKey::Open(HKEY_CLASSES_ROOT, iface, &key), ERROR_SUCCESS);
  EXPECT_EQ(UnRegisterTypeLib(kLib), S_OK);
}

}  // namespace
