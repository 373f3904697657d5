// A minimal VARIANT for IDispatch calls: the integer, string, pointer and
// interface types the suite's interfaces use, by value and by reference.
#pragma once

#include "platform/types.h"

struct IUnknown;

enum VARENUM : VARTYPE {
  VT_EMPTY = 0,
  VT_I2 = 2,
  VT_I4 = 3,
  VT_R8 = 5,
  VT_DATE = 7,
  VT_ERROR = 10,
  VT_BOOL = 11,
  VT_VARIANT = 12,
  VT_UNKNOWN = 13,
  VT_UI4 = 19,
  VT_I8 = 20,
  VT_UI8 = 21,
  VT_INT = 22,
  VT_UINT = 23,
  VT_HRESULT = 25,
  VT_LPWSTR = 31,  // zero-terminated UTF-16 owned by the caller
  VT_UINT_PTR = 38,
  VT_BYREF = 0x4000,
};

struct VARIANT {
  VARTYPE vt;
  WORD wReserved1;
  WORD wReserved2;
  WORD wReserved3;
  union {
    std::int16_t iVal;
    LONG lVal;
    ULONG ulVal;
    INT intVal;
    UINT uintVal;
    std::int64_t llVal;
    std::uint64_t ullVal;
    double dblVal;
    DATE date;
    HRESULT scode;
    WCHAR* pwszVal;
    IUnknown* punkVal;
    LONG* plVal;
    ULONG* pulVal;
    INT* pintVal;
    UINT* puintVal;
    UINT_PTR uintptrVal;
    IUnknown** ppunkVal;
    VARIANT* pvarVal;
    void* byref;
  };
};

// Sets the variant to VT_EMPTY without releasing anything: the variants of
// this layer never own what they point at.
inline void VariantInit(VARIANT* v) {
  *v = VARIANT{};
  v->vt = VT_EMPTY;
}
