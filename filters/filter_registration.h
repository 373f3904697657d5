// Self-registration shared by the content filter modules: the filter class
// and its persistent handler class, written to the machine's classes.
#pragma once

#include "platform/guid.h"
#include "platform/types.h"

namespace trovix::filters {

struct FilterClasses {
  CLSID filter;
  CLSID handler;
  const char16_t* filter_name;   // "Trovix plain-text filter"
  const char16_t* handler_name;  // "Trovix plain-text persistent handler"
};

// Writes the filter class (InprocServer32 = the module holding
// `address_in_module`, ThreadingModel "Both") and the handler class with its
// PersistentAddinsRegistered entry for IFilter. Each key is removed and
// written afresh, so registering again leaves the hive as the first time.
// SELFREG_E_CLASS on failure.
[[nodiscard]] HRESULT RegisterFilterClasses(const FilterClasses& classes,
                                            const void* address_in_module);
// Removes both classes; absent keys are no error.
[[nodiscard]] HRESULT UnregisterFilterClasses(const FilterClasses& classes);

}  // namespace trovix::filters
