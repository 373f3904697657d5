// Finding the content filter for a file from the file types registered in
// the machine's classes.
//
// The chain, for the file's extension ".ext" (from the last dot of the file
// name; a name without a dot has none), all default values of keys under
// HKEY_LOCAL_MACHINE read into buffers of MAX_PATH units:
//  1. Software\Classes\.ext\PersistentHandler names the persistent handler;
//     if it is missing, the extension must have a character after its dot:
//  2. Software\Classes\extfile\CLSID names the file type's class, and
//  3. Software\Classes\CLSID\{class}\PersistentHandler its handler.
//  4. Software\Classes\CLSID\{handler}\PersistentAddinsRegistered\{IID_IFilter}
//     names the filter class, created in-process.
// A missing key or value, a value that is not a string, a value or key path
// that does not fit its buffer: each is a failed read. Key names compare
// without regard to case, so ".TXT" finds the key ".txt".
//
// Threads: any thread; creating the filter needs a thread initialised for
// the component runtime.
#pragma once

#include "platform/unknwn.h"

namespace ordalis {

// Creates the content filter object for `path`'s extension into `*out` (null
// on failure). E_FAIL when a registry read of the chain fails, CO_E_CLASSSTRING
// when the filter class is not of the form "{...}", else what CoCreateInstance
// answers. E_INVALIDARG for a null path, E_POINTER for a null `out`.
[[nodiscard]] HRESULT LoadFilterForPath(const WCHAR* path, IUnknown** out);

// True when HKEY_CLASSES_ROOT\.ext has "Content Type" = "text/plain" (in any
// case, read into 64 units). False on any failure, and for a null path.
[[nodiscard]] bool IsPlainTextType(const WCHAR* path);

}  // namespace ordalis
