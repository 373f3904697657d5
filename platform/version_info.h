// Version blocks of program files and modules.
//
// Each program file or module carries one VS_FIXEDFILEINFO record (the
// Windows layout, 52 bytes, host byte order) in an ELF section named
// ".trovix_version". The block is read back from the file on disk, not from
// memory, so a tool can ask any installed file for its version without
// loading it.
#pragma once

#include <string>

#include "platform/types.h"

struct VS_FIXEDFILEINFO {
  DWORD dwSignature;
  DWORD dwStrucVersion;
  DWORD dwFileVersionMS;
  DWORD dwFileVersionLS;
  DWORD dwProductVersionMS;
  DWORD dwProductVersionLS;
  DWORD dwFileFlagsMask;
  DWORD dwFileFlags;
  DWORD dwFileOS;
  DWORD dwFileType;
  DWORD dwFileSubtype;
  DWORD dwFileDateMS;
  DWORD dwFileDateLS;
};
static_assert(sizeof(VS_FIXEDFILEINFO) == 52 && alignof(VS_FIXEDFILEINFO) == 4);

inline constexpr DWORD VS_FFI_SIGNATURE = 0xFEEF04BD;
inline constexpr DWORD VS_FFI_STRUCVERSION = 0x00010000;
inline constexpr DWORD VS_FFI_FILEFLAGSMASK = 0x0000003F;
// None of the Windows operating-system values describes Linux.
inline constexpr DWORD VOS_UNKNOWN = 0;
inline constexpr DWORD VFT_APP = 1;
inline constexpr DWORD VFT_DLL = 2;

// The block for version major.minor.patch.build; file and product version
// are the same. No flags, no file date (as most Windows files have).
constexpr VS_FIXEDFILEINFO MakeFixedFileInfo(WORD major, WORD minor, WORD patch, WORD build,
                                             DWORD file_type) {
  const DWORD ms = (DWORD{major} << 16) | minor;
  const DWORD ls = (DWORD{patch} << 16) | build;
  return VS_FIXEDFILEINFO{
      VS_FFI_SIGNATURE, VS_FFI_STRUCVERSION, ms, ls, ms, ls, VS_FFI_FILEFLAGSMASK, 0,
      VOS_UNKNOWN,      file_type,           0,  0,  0};
}

// Defines the version block of the file being linked. Use it in exactly one
// .cpp of each program or module (at namespace scope): blocks of several
// translation units would be concatenated and only the first one is read.
// `used` keeps the otherwise unreferenced constant in the object file.
#define TROVIX_VERSION_BLOCK(major, minor, patch, build, file_type)          \
  __attribute__((section(".trovix_version"),                                 \
                 used)) static const VS_FIXEDFILEINFO trovix_version_block = \
      MakeFixedFileInfo(major, minor, patch, build, file_type)

// Size in bytes of the version block of the ELF file at `path`; 0 when the
// file cannot be read, is not a 64-bit ELF file of this machine's byte
// order, is malformed, or has no block (or an implausibly large one).
[[nodiscard]] DWORD GetFileVersionInfoSize(const std::string& path);

// Copies the version block of the file at `path` into `buffer`, which holds
// `size` bytes. False (buffer untouched) when there is no block, it is larger
// than `size`, or the file cannot be read.
[[nodiscard]] bool GetFileVersionInfo(const std::string& path, DWORD size, void* buffer);

// Points `*out` at the VS_FIXEDFILEINFO at the start of `block` (which must
// be 4-byte aligned, as any allocated buffer is) when `size` covers it and
// its signature is right; false and `*out` untouched otherwise.
[[nodiscard]] bool VerQueryFixedFileInfo(const void* block, DWORD size,
                                         const VS_FIXEDFILEINFO** out);

// Canonical path of the file (program or shared object) whose mapping holds
// `address`; empty when no file holds it.
[[nodiscard]] std::string ModulePathOfAddress(const void* address);
