// The registry: keys and typed values in per-user and per-installation hive
// files, with the Win32 calling shape.
//
// Hives. HKEY_CURRENT_USER is the file named by $TROVIX_USER_HIVE, else
// $XDG_CONFIG_HOME/Quillon/user.reg (default ~/.config/Quillon/user.reg).
// HKEY_LOCAL_MACHINE is $TROVIX_MACHINE_HIVE, else etc/Quillon/machine.reg of
// the installation that holds the platform library (the prefix above its
// lib/trovix/ folder, or above lib/ in a build tree; /etc/Quillon/machine.reg
// for the prefix /usr). HKEY_CLASSES_ROOT is a view:
// HKCU\Software\Classes over HKLM\Software\Classes. A key read through it is found in the user's
// classes first; a key written through it goes to the user's classes when it exists there, else to
// the machine's classes.
//
// Files. Each hive is a REGEDIT4-style text file (UTF-8). Every change is a
// read-modify-write of the whole file under an exclusive flock on
// "<hive>.lock", written to a temporary file in the same folder, flushed and
// renamed over the hive, so readers never see a half-written hive and several
// processes may write at once. Readers re-read a hive whenever the file
// changed since they last parsed it. A hive file that cannot be parsed is
// reported with ERROR_BADDB and left exactly as it is; writes to that hive
// fail until it is repaired.
//
// Names. Key paths use '\' as separator; '/' is an ordinary character in a key
// name. Key and value names compare without regard to the case of A-Z and keep
// the spelling of their creation. The empty value name (or null) is the key's
// default value.
//
// Threads: every function may be called from any thread.
#pragma once

#include "platform/hresult.h"
#include "platform/types.h"

struct RegistryKey;
using HKEY = RegistryKey*;

// The predefined roots are fixed handles; closing them does nothing.
extern const HKEY HKEY_CLASSES_ROOT;
extern const HKEY HKEY_CURRENT_USER;
extern const HKEY HKEY_LOCAL_MACHINE;

inline constexpr DWORD REG_NONE = 0;
inline constexpr DWORD REG_SZ = 1;
inline constexpr DWORD REG_BINARY = 3;
inline constexpr DWORD REG_DWORD = 4;
inline constexpr DWORD REG_MULTI_SZ = 7;

inline constexpr DWORD REG_CREATED_NEW_KEY = 1;
inline constexpr DWORD REG_OPENED_EXISTING_KEY = 2;

// Access masks are accepted for source compatibility and not enforced: the
// hives are private files of the user.
using REGSAM = DWORD;
inline constexpr REGSAM KEY_READ = 0x20019;
inline constexpr REGSAM KEY_WRITE = 0x20006;
inline constexpr REGSAM KEY_ALL_ACCESS = 0xF003F;

// All functions return ERROR_SUCCESS or a Windows error number:
// ERROR_FILE_NOT_FOUND (key or value missing), ERROR_MORE_DATA (buffer too
// small; the size needed is reported), ERROR_NO_MORE_ITEMS (enumeration end),
// ERROR_INVALID_PARAMETER (null or malformed arguments), ERROR_BADDB (hive file
// damaged), ERROR_KEY_DELETED (the key of an open handle was deleted),
// ERROR_ACCESS_DENIED (RegDeleteKeyW of a key with subkeys, or a root), or the
// error of the failing file operation.

// Opens or creates `sub_key` (and its missing parents) below `key`. Handles
// are closed with RegCloseKey. `disposition` may be null.
[[nodiscard]] LONG RegCreateKeyExW(HKEY key, const WCHAR* sub_key, DWORD reserved,
                                   WCHAR* class_name, DWORD options, REGSAM sam, void* security,
                                   HKEY* result, DWORD* disposition);
// Opens an existing key; a null or empty `sub_key` opens `key` itself anew.
[[nodiscard]] LONG RegOpenKeyExW(HKEY key, const WCHAR* sub_key, DWORD options, REGSAM sam,
                                 HKEY* result);
LONG RegCloseKey(HKEY key);

// Reads a value. `type`, `data` and `cb_data` may be null as in Win32: with
// null `data`, the size in bytes is reported in `*cb_data`. Strings are
// returned as UTF-16 with their terminator(s) counted in the size.
[[nodiscard]] LONG RegQueryValueExW(HKEY key, const WCHAR* value_name, DWORD* reserved, DWORD* type,
                                    BYTE* data, DWORD* cb_data);
// Writes a value. REG_SZ data is UTF-16 with terminator, REG_MULTI_SZ a
// sequence of terminated strings ending with an empty one.
[[nodiscard]] LONG RegSetValueExW(HKEY key, const WCHAR* value_name, DWORD reserved, DWORD type,
                                  const BYTE* data, DWORD cb_data);
[[nodiscard]] LONG RegDeleteValueW(HKEY key, const WCHAR* value_name);
// One change of RegChangeValuesW: with `remove` the value `name` is deleted
// (a missing one is no error) and the other fields are ignored; otherwise it
// is written as RegSetValueExW writes it.
struct RegValueChange {
  const WCHAR* name;
  bool remove;
  DWORD type;
  const BYTE* data;
  DWORD cb_data;
};
// Applies `count` changes, in order, to the values of `key` in one locked
// rewrite of its hive: several values cost one write of the file instead of
// one each, and no reader sees some of them changed without the others. The
// file is not written when nothing changes. For keys of HKEY_CURRENT_USER and
// HKEY_LOCAL_MACHINE only (a key of the classes view, which spans two hives,
// answers ERROR_INVALID_PARAMETER). Errors as RegSetValueExW; on an error
// nothing is changed.
[[nodiscard]] LONG RegChangeValuesW(HKEY key, const RegValueChange* changes, DWORD count);
// Deletes a key without subkeys (ERROR_ACCESS_DENIED when it has some).
[[nodiscard]] LONG RegDeleteKeyW(HKEY key, const WCHAR* sub_key);
// Deletes a key with everything below it; a null `sub_key` deletes the values
// and subkeys of `key` but keeps the key.
[[nodiscard]] LONG RegDeleteTreeW(HKEY key, const WCHAR* sub_key);
// Enumerates subkey names sorted without regard to the case of A-Z. `*cch_name` is the buffer
// size in characters on entry and the name length without terminator on
// success; on ERROR_MORE_DATA it holds the buffer size needed, terminator
// included. The same holds for `*cch_value_name` of RegEnumValueW.
[[nodiscard]] LONG RegEnumKeyExW(HKEY key, DWORD index, WCHAR* name, DWORD* cch_name,
                                 DWORD* reserved, WCHAR* class_name, DWORD* cch_class,
                                 FILETIME* last_write);
[[nodiscard]] LONG RegEnumValueW(HKEY key, DWORD index, WCHAR* value_name, DWORD* cch_value_name,
                                 DWORD* reserved, DWORD* type, BYTE* data, DWORD* cb_data);

// The hive file behind a predefined root (HKCU or HKLM), as UTF-8 path.
[[nodiscard]] std::string HiveFilePath(HKEY root);
