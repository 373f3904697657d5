// The indexer's values in the user's registry: key K
// (HKEY_CURRENT_USER\Software\Quillon\Trovix\Kestine) and, for the scan
// records, the subkey of K named by each index root.
//
// Every value has exactly one type, fixed by its descriptor below, so a value
// cannot be written as one type and read as another. A read fails
// (std::nullopt) when the key or the value is missing, or when the stored
// value has another type or size. A write creates missing keys and answers
// whether it took; the indexer ignores failed writes (a registry it cannot
// write must not stop indexing).
//
// Byte layouts:
//  - 32-bit values: 4 bytes, REG_DWORD.
//  - time values: 8 bytes, REG_BINARY, a FILETIME (UTC) as its low then its
//    high half, each little-endian.
//  - text values: the UTF-16 characters are handed to the registry without a
//    terminator (byte length 2 x character count). The registry layer keeps
//    every REG_SZ terminated so that no reader can run off its end; what is
//    read back is exactly the characters written.
//  - narrow text values: 8-bit text (UTF-8, the encoding of every locale the
//    suite runs in) handed over with its terminator. The registry holds
//    UTF-16 only, so the text is stored converted, terminator included, and
//    read back as the same 8-bit text.
//
// Threads: every function may be called from any thread; each call opens and
// closes a key of its own, and the registry layer makes each write atomic.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "platform/types.h"

namespace trovix::indexer {

struct DwordValue {
  std::u16string_view name;
};
struct TimeValue {
  std::u16string_view name;
};
struct TextValue {
  std::u16string_view name;
};
struct NarrowTextValue {
  std::u16string_view name;
};

namespace kestine {

// Global values of key K.
inline constexpr DwordValue kScanInterval{u"Scan Interval"};  // minutes
inline constexpr DwordValue kSuppressStartupScan{u"Suppress Startup Scan"};
inline constexpr DwordValue kNighttimeDelta{u"Nighttime Delta"};   // bytes
inline constexpr DwordValue kDaytimeDelta{u"Daytime Delta"};       // bytes
inline constexpr DwordValue kNightStartHour{u"Night Start Hour"};  // 0-23, local time
inline constexpr DwordValue kNightEndHour{u"Night End Hour"};      // 0-24, not included
// 1: every regular file below the roots is catalogued, by its name when no
// filter reads its type (indexable_extensions.h).
inline constexpr DwordValue kIndexAllFileNames{u"Index All File Names"};
inline constexpr DWORD kDefaultIndexAllFileNames = 0;
// Indexing paused (1) or not; with "Pause Ends", the time it resumes by
// itself (none: until resumed).
inline constexpr DwordValue kPaused{u"Paused"};
inline constexpr TimeValue kPauseEnds{u"Pause Ends"};
// 1: indexing also pauses while UPower says the machine runs on battery
// (a pause of its own: resuming the user's pause does not lift it). On by
// default; a machine without a battery never runs on one.
inline constexpr DwordValue kPauseOnBattery{u"Pause On Battery"};
inline constexpr DWORD kDefaultPauseOnBattery = 1;
inline constexpr DwordValue kLastSizeAtStart{u"Last Size At Start"};
inline constexpr DwordValue kLastSizeAtEnd{u"Last Size At End"};
inline constexpr NarrowTextValue kLastCompactionCompleted{u"Last Compaction Completed"};

// Values of each root's subkey.
inline constexpr TextValue kLastScanStartText{u"Last Scan Start Text"};
inline constexpr TimeValue kLastScanCompletion{u"Last Scan Completion"};
inline constexpr DwordValue kLastScanOutcome{u"Last Scan Outcome"};
inline constexpr TextValue kLastScanCompletionText{u"Last Scan Completion Text"};
// Why the last walk failed (outcome 2); removed by a walk that does not fail.
inline constexpr TextValue kLastScanFailureText{u"Last Scan Failure Text"};

// "Last Scan Outcome" values.
inline constexpr DWORD kScanStopped = 0;    // stopped, or a rescan was asked for
inline constexpr DWORD kScanCompleted = 1;  // ran to its end
inline constexpr DWORD kScanFailed = 2;     // the database failed during the walk

// "Scan Interval" and "Suppress Startup Scan" are written at registration;
// the deltas are written by the compaction thread when missing.
inline constexpr DWORD kDefaultScanInterval = 4320;  // three days
inline constexpr DWORD kDefaultSuppressStartupScan = 0;
inline constexpr DWORD kDefaultNighttimeDelta = 104857600;  // 100 MiB
inline constexpr DWORD kDefaultDaytimeDelta = 524288000;    // 500 MiB

}  // namespace kestine

// The name of `root`'s subkey of K: the root's path without trailing '/'
// ("/home/ann/" and "/home/ann" share one record), and "/" for the root
// folder. The name may contain '/'; it is one key name, never a key path.
// Registry names compare without regard to the case of A-Z, so two roots
// that differ only in that case share one record.
[[nodiscard]] WString RootSubkeyName(std::string_view root);

class KestineKey {
 public:
  // Key K itself.
  [[nodiscard]] static KestineKey Global();
  // The subkey of K that holds `root`'s scan records. Unlike a fixed-size
  // path buffer, the key path is never cut short: a cut would make two long
  // roots share one record.
  [[nodiscard]] static KestineKey ForRoot(std::string_view root);

  // The key path below HKEY_CURRENT_USER.
  [[nodiscard]] const WString& path() const { return path_; }
  // Creates the key when it is missing; false when it can be neither created
  // nor opened.
  [[nodiscard]] bool Create() const;

  [[nodiscard]] std::optional<DWORD> Read(DwordValue value) const;
  bool Write(DwordValue value, DWORD data) const;
  [[nodiscard]] std::optional<FILETIME> Read(TimeValue value) const;
  bool Write(TimeValue value, FILETIME data) const;
  [[nodiscard]] std::optional<WString> Read(TextValue value) const;
  bool Write(TextValue value, std::u16string_view text) const;
  [[nodiscard]] std::optional<std::string> Read(NarrowTextValue value) const;
  bool Write(NarrowTextValue value, std::string_view text) const;
  // Removes the value; true when it is gone (or was never there).
  bool Delete(TextValue value) const;
  bool Delete(TimeValue value) const;

 private:
  explicit KestineKey(WString path) : path_(std::move(path)) {}

  WString path_;
};

}  // namespace trovix::indexer
