// Type libraries: static descriptions of a module's interfaces and classes,
// compiled into the module, from which IDispatch works and which registration
// writes to the registry.
#pragma once

#include <atomic>
#include <span>
#include <tuple>
#include <type_traits>

#include "platform/com_object.h"
#include "platform/unknwn.h"

// Parameter direction flags as the Windows type libraries spell them.
inline constexpr WORD PARAMFLAG_FIN = 0x1;
inline constexpr WORD PARAMFLAG_FOUT = 0x2;

struct ParamDesc {
  const WCHAR* name;
  VARTYPE type;  // VT_LPWSTR, VT_I4, VT_UI4 | VT_BYREF, ...
  WORD flags;
};

struct FuncDesc {
  DISPID id;
  const WCHAR* name;
  const WCHAR* help;
  std::span<const ParamDesc> params;
};

enum class TypeKind { kDispatch, kDualInterface, kCoClass };

struct TypeDesc {
  TypeKind kind;
  GUID guid;
  const WCHAR* name;
  const WCHAR* help;
  std::span<const FuncDesc> funcs;
};

struct TypeLibDesc {
  GUID libid;
  const WCHAR* name;
  const WCHAR* help;
  WORD major_version;
  WORD minor_version;
  std::span<const TypeDesc> types;
};

// A reference-counted ITypeInfo over one static TypeDesc. The description
// lives in the module that created the object, so the module counts the object
// among its live objects (`module_objects`) and cannot be unloaded under it.
class TypeInfo final : public ComObject<ITypeInfo, IID_ITypeInfo> {
 public:
  // Creates the object with one reference.
  static TypeInfo* Create(const TypeDesc& desc, std::atomic<long>* module_objects);

  HRESULT GetTypeGuid(GUID* guid) override;
  HRESULT GetDocumentation(DISPID memid, const WCHAR** name, const WCHAR** doc_string) override;
  HRESULT GetFuncCount(UINT* count) override;
  HRESULT GetFuncId(UINT index, DISPID* memid) override;
  HRESULT GetNames(DISPID memid, const WCHAR** names, UINT max_names, UINT* count) override;
  HRESULT GetIDsOfNames(const WCHAR* const* names, UINT count, DISPID* memids) override;

 private:
  TypeInfo(const TypeDesc& desc, std::atomic<long>* module_objects)
      : ComObject(module_objects), desc_(desc) {}

  const TypeDesc& desc_;
};

// IDispatch::GetTypeInfo of an object whose one type is `desc`: index 0
// only, a new TypeInfo counted in `module_objects`.
[[nodiscard]] HRESULT DispatchTypeInfo(const TypeDesc& desc, UINT index, ITypeInfo** info,
                                       std::atomic<long>* module_objects);

// Finds a function by dispatch identifier; null when there is none.
[[nodiscard]] const FuncDesc* FindFunc(const TypeDesc& desc, DISPID id);
// Resolves names as IDispatch::GetIDsOfNames does: the first name is a
// method (case-blind), the rest its parameter names. Unknown names get
// DISPID_UNKNOWN and the answer is DISP_E_UNKNOWNNAME.
[[nodiscard]] HRESULT IdsOfNames(const TypeDesc& desc, const WCHAR* const* names, UINT count,
                                 DISPID* ids);

// Writes TypeLib\{libid}\<major.minor> (help string, "0\linux64" = module
// path, FLAGS, HELPDIR) and Interface\{iid} for each interface and
// dispinterface under HKEY_CLASSES_ROOT. SELFREG_E_TYPELIB on failure.
[[nodiscard]] HRESULT RegisterTypeLib(const TypeLibDesc& lib, const WString& module_path);
// Removes what RegisterTypeLib wrote; keys already absent are not an error.
[[nodiscard]] HRESULT UnRegisterTypeLib(const TypeLibDesc& lib);

// ---- Invoke support: unpacking DISPPARAMS into a typed method call. ----

namespace typelib_detail {

// Reads one argument of C++ type T from a variant; false on a type mismatch.
template <typename T>
bool FromVariant(const VARIANT& v, T* out);

template <typename Member>
struct MethodTraits;
template <typename C, typename... Args>
struct MethodTraits<HRESULT (C::*)(Args...)> {
  using Class = C;
  using ArgTuple = std::tuple<std::remove_cv_t<Args>...>;
  static constexpr std::size_t kArity = sizeof...(Args);
};

// Strings travel as VT_LPWSTR; VT_EMPTY passes a null pointer, so a script
// can observe the methods' null-argument answers.
template <>
inline bool FromVariant(const VARIANT& v, const WCHAR** out) {
  if (v.vt != VT_LPWSTR && v.vt != VT_EMPTY) return false;
  *out = v.vt == VT_EMPTY ? nullptr : v.pwszVal;
  return true;
}
template <>
inline bool FromVariant(const VARIANT& v, WCHAR** out) {
  if (v.vt != VT_LPWSTR && v.vt != VT_EMPTY) return false;
  *out = v.vt == VT_EMPTY ? nullptr : v.pwszVal;
  return true;
}
template <>
inline bool FromVariant(const VARIANT& v, INT* out) {
  if (v.vt != VT_I4 && v.vt != VT_INT) return false;
  *out = v.lVal;
  return true;
}
template <>
inline bool FromVariant(const VARIANT& v, UINT* out) {
  if (v.vt != VT_UI4 && v.vt != VT_UINT && v.vt != VT_I4) return false;
  *out = v.ulVal;
  return true;
}
template <>
inline bool FromVariant(const VARIANT& v, UINT_PTR* out) {
  if (v.vt != VT_UINT_PTR && v.vt != VT_UI8) return false;
  *out = v.uintptrVal;
  return true;
}
template <>
inline bool FromVariant(const VARIANT& v, INT** out) {
  if (v.vt != (VT_BYREF | VT_I4) && v.vt != (VT_BYREF | VT_INT) && v.vt != VT_EMPTY) return false;
  *out = v.vt == VT_EMPTY ? nullptr : v.plVal;
  return true;
}
template <>
inline bool FromVariant(const VARIANT& v, UINT** out) {
  if (v.vt != (VT_BYREF | VT_UI4) && v.vt != (VT_BYREF | VT_UINT) && v.vt != VT_EMPTY) {
    return false;
  }
  *out = v.vt == VT_EMPTY ? nullptr : v.pulVal;
  return true;
}
template <>
inline bool FromVariant(const VARIANT& v, VARIANT** out) {
  if (v.vt != (VT_BYREF | VT_VARIANT) && v.vt != VT_EMPTY) return false;
  *out = v.vt == VT_EMPTY ? nullptr : v.pvarVal;
  return true;
}

}  // namespace typelib_detail

// Calls `Method` on `self` with the arguments of `params` (in reverse order,
// as IDispatch passes them). DISP_E_BADPARAMCOUNT when the count differs,
// DISP_E_TYPEMISMATCH with `*arg_err` set to the argument's position when a
// variant has the wrong type, else the method's own status.
template <auto Method>
HRESULT InvokeMethod(typename typelib_detail::MethodTraits<decltype(Method)>::Class* self,
                     const DISPPARAMS* params, UINT* arg_err) {
  using Traits = typelib_detail::MethodTraits<decltype(Method)>;
  constexpr std::size_t kArity = Traits::kArity;
  if (params == nullptr || params->cArgs != kArity || params->cNamedArgs != 0) {
    return DISP_E_BADPARAMCOUNT;
  }
  typename Traits::ArgTuple args{};
  bool ok = true;
  [&]<std::size_t... I>(std::index_sequence<I...>) {
    ((ok = ok &&
           [&] {
             const UINT position = static_cast<UINT>(kArity - 1 - I);
             if (typelib_detail::FromVariant(params->rgvarg[position], &std::get<I>(args)))
               return true;
             if (arg_err != nullptr) *arg_err = position;
             return false;
           }()),
     ...);
  }
  (std::make_index_sequence<kArity>{});
  if (!ok) return DISP_E_TYPEMISMATCH;
  return std::apply([self](auto... a) { return (self->*Method)(a...); }, args);
}
