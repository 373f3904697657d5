#include "tools/cli/config_command.h"

#include <algorithm>
#include <charconv>
#include <cstdlib>
#include <memory>
#include <optional>

#include "indexer/compaction_scheduler.h"
#include "indexer/indexer_status.h"
#include "indexer/kestine_settings.h"
#include "indexer/skip_paths.h"
#include "platform/file_info.h"
#include "platform/index_roots.h"
#include "platform/message_port.h"
#include "platform/reg_key.h"
#include "platform/wstring.h"
#include "shared/registry_keys.h"

namespace trovix::cli {
namespace {

namespace ks = indexer::kestine;

constexpr std::u16string_view kIndexRoots = u"Index Roots";
constexpr DWORD kDefaultMaxText = 16 * 1024 * 1024;

enum class Kind { kNumber, kFlag, kList };

struct Setting {
  const char* name;         // on the command line
  std::u16string_view key;  // below HKEY_CURRENT_USER
  std::u16string_view value;
  Kind kind;
  DWORD fallback;  // numbers and flags
  DWORD min;
  DWORD max;
  const char* unit;
};

const Setting kSettings[] = {
    {"roots", keys::kKestine, kIndexRoots, Kind::kList, 0, 0, 0, ""},
    {"skip-paths", keys::kKestine, ks::kSkipPaths, Kind::kList, 0, 0, 0, ""},
    {"index-hidden-folders", keys::kKestine, ks::kIndexHiddenFolders.name, Kind::kFlag,
     ks::kDefaultIndexHiddenFolders, 0, 1, ""},
    {"scan-interval", keys::kKestine, ks::kScanInterval.name, Kind::kNumber,
     ks::kDefaultScanInterval, 1, 0xFFFFFFFF, " minutes"},
    {"suppress-startup-scan", keys::kKestine, ks::kSuppressStartupScan.name, Kind::kFlag,
     ks::kDefaultSuppressStartupScan, 0, 1, ""},
    {"night-start-hour", keys::kKestine, ks::kNightStartHour.name, Kind::kNumber,
     indexer::kDefaultNightStartHour, 0, 23, ""},
    {"night-end-hour", keys::kKestine, ks::kNightEndHour.name, Kind::kNumber,
     indexer::kDefaultNightEndHour, 0, 24, ""},
    {"nighttime-delta", keys::kKestine, ks::kNighttimeDelta.name, Kind::kNumber,
     ks::kDefaultNighttimeDelta, 0, 0xFFFFFFFF, " bytes"},
    {"daytime-delta", keys::kKestine, ks::kDaytimeDelta.name, Kind::kNumber,
     ks::kDefaultDaytimeDelta, 0, 0xFFFFFFFF, " bytes"},
    {"index-all-file-names", keys::kKestine, ks::kIndexAllFileNames.name, Kind::kFlag,
     ks::kDefaultIndexAllFileNames, 0, 1, ""},
    {"pause-on-battery", keys::kKestine, ks::kPauseOnBattery.name, Kind::kFlag,
     ks::kDefaultPauseOnBattery, 0, 1, ""},
    {"match-accents", keys::kTrovix, keys::kMatchAccents, Kind::kFlag, 0, 0, 1, ""},
    {"max-text-per-file", keys::kTrovix, keys::kMaxTextPerFile, Kind::kNumber, kDefaultMaxText, 1,
     0xFFFFFFFF, " characters"},
};

const Setting* Find(const std::string& name) {
  for (const Setting& setting : kSettings) {
    if (name == setting.name) return &setting;
  }
  return nullptr;
}

std::optional<DWORD> ReadNumber(const Setting& setting) {
  RegKey key;
  DWORD value = 0;
  if (RegKey::Open(HKEY_CURRENT_USER, setting.key, &key) != ERROR_SUCCESS ||
      key.GetDword(setting.value, &value) != ERROR_SUCCESS) {
    return std::nullopt;
  }
  return value;
}

std::optional<std::vector<std::string>> ReadList(const Setting& setting) {
  RegKey key;
  std::vector<WString> values;
  if (RegKey::Open(HKEY_CURRENT_USER, setting.key, &key) != ERROR_SUCCESS ||
      key.GetMultiString(setting.value, &values) != ERROR_SUCCESS) {
    return std::nullopt;
  }
  std::vector<std::string> list;
  for (const WString& value : values) list.push_back(Utf16ToUtf8(value));
  return list;
}

std::string Home() {
  const char* home = std::getenv("HOME");
  return home != nullptr ? home : "";
}

std::vector<std::string> DefaultList(const Setting& setting) {
  if (setting.value == ks::kSkipPaths) return indexer::DefaultSkipPatterns();
  return {Home()};
}

int Fail(std::ostream& err, const std::string& message) {
  err << "trovix: " << message << "\n";
  return 2;
}

// The registry's answer as a message; 0 when it took (the indexer is told).
int Written(LONG status, std::ostream& err) {
  if (status != ERROR_SUCCESS) {
    return Fail(err, "cannot write the settings (registry error " + std::to_string(status) + ")");
  }
  NotifyIndexer();
  return 0;
}

LONG WriteList(const Setting& setting, const std::vector<std::string>& list) {
  RegKey key;
  LONG status = RegKey::Create(HKEY_CURRENT_USER, setting.key, &key);
  if (status != ERROR_SUCCESS) return status;
  if (list.empty()) {
    // A REG_MULTI_SZ cannot hold an empty list; an empty pattern list is
    // kept as one that matches nothing, so the defaults stay off.
    return key.SetMultiString(setting.value, {u"/"});
  }
  std::vector<WString> values;
  for (const std::string& item : list) values.push_back(Utf8ToUtf16(item));
  return key.SetMultiString(setting.value, values);
}

std::optional<DWORD> ParseValue(const Setting& setting, const std::string& text) {
  if (setting.kind == Kind::kFlag) {
    if (text == "1" || text == "yes" || text == "true" || text == "on") return 1;
    if (text == "0" || text == "no" || text == "false" || text == "off") return 0;
    return std::nullopt;
  }
  std::uint64_t value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (text.empty() || error != std::errc() || end != text.data() + text.size()) {
    return std::nullopt;
  }
  if (value < setting.min || value > setting.max) return std::nullopt;
  return static_cast<DWORD>(value);
}

std::string Range(const Setting& setting) {
  if (setting.kind == Kind::kFlag) return "0 or 1";
  return "a whole number from " + std::to_string(setting.min) + " to " +
         std::to_string(setting.max);
}

void List(std::ostream& out) {
  for (const Setting& setting : kSettings) {
    if (setting.kind == Kind::kList) {
      const std::optional<std::vector<std::string>> list = ReadList(setting);
      out << setting.name << (list ? ":" : " (default):") << "\n";
      for (const std::string& item : list.value_or(DefaultList(setting))) {
        if (setting.value == ks::kSkipPaths && item == "/") continue;  // the empty list's mark
        out << "  " << item << "\n";
      }
      continue;
    }
    const std::optional<DWORD> value = ReadNumber(setting);
    out << setting.name << ": " << value.value_or(setting.fallback) << setting.unit;
    if (!value) {
      out << " (default)\n";
    } else {
      out << " (default " << setting.fallback << ")\n";
    }
  }
}

int Set(const std::string& name, const std::string& text, std::ostream& err) {
  const Setting* setting = Find(name);
  if (setting == nullptr) return Fail(err, "no setting named '" + name + "'");
  if (setting->kind == Kind::kList) {
    return Fail(err, name + " is a list: use trovix config " +
                         (name == "roots" ? "roots" : "skip") + " add|remove");
  }
  const std::optional<DWORD> value = ParseValue(*setting, text);
  if (!value) {
    return Fail(err, "bad value '" + text + "' for " + name + ": expected " + Range(*setting));
  }
  RegKey key;
  LONG status = RegKey::Create(HKEY_CURRENT_USER, setting->key, &key);
  if (status == ERROR_SUCCESS) status = key.SetDword(setting->value, *value);
  return Written(status, err);
}

int Reset(const std::string& name, std::ostream& err) {
  const Setting* setting = Find(name);
  if (setting == nullptr) return Fail(err, "no setting named '" + name + "'");
  RegKey key;
  if (RegKey::Open(HKEY_CURRENT_USER, setting->key, &key) != ERROR_SUCCESS) return 0;
  const LONG status = key.DeleteValue(setting->value);
  return Written(status == ERROR_FILE_NOT_FOUND ? ERROR_SUCCESS : status, err);
}

std::string Canonical(const std::string& path) {
  const std::unique_ptr<char, decltype(&std::free)> real(realpath(path.c_str(), nullptr),
                                                         &std::free);
  return real ? std::string(real.get()) : std::string();
}

int Roots(const std::string& action, const std::string& path, std::ostream& out,
          std::ostream& err) {
  const Setting& setting = *Find("roots");
  std::vector<std::string> roots = ReadList(setting).value_or(DefaultList(setting));
  const std::string canonical = Canonical(path);
  const auto same = [&](const std::string& root) {
    return root == path || (!canonical.empty() && Canonical(root) == canonical);
  };
  const auto found = std::find_if(roots.begin(), roots.end(), same);
  if (action == "add") {
    if (canonical.empty() || DriveTypeOfRoot(canonical) == DRIVE_NO_ROOT_DIR) {
      return Fail(err, "cannot add " + path + ": not an existing folder");
    }
    if (found != roots.end()) {
      out << canonical << " is already an index root\n";
      return 0;
    }
    roots.push_back(canonical);
  } else {
    if (found == roots.end()) return Fail(err, path + " is not an index root");
    if (roots.size() == 1) return Fail(err, "cannot remove the last index root");
    roots.erase(found);
  }
  return Written(WriteList(setting, roots), err);
}

int Skips(const std::string& action, const std::string& pattern, std::ostream& out,
          std::ostream& err) {
  const Setting& setting = *Find("skip-paths");
  if (pattern.empty() || pattern == "/") return Fail(err, "an empty pattern skips nothing");
  std::vector<std::string> patterns = indexer::ConfiguredSkipPatterns();
  std::erase(patterns, std::string("/"));
  const auto found = std::find(patterns.begin(), patterns.end(), pattern);
  if (action == "add") {
    if (found != patterns.end()) {
      out << pattern << " is already skipped\n";
      return 0;
    }
    patterns.push_back(pattern);
  } else {
    if (found == patterns.end()) return Fail(err, pattern + " is not in the skip list");
    patterns.erase(found);
  }
  return Written(WriteList(setting, patterns), err);
}

}  // namespace

std::vector<std::string> SettingNames() {
  std::vector<std::string> names;
  for (const Setting& setting : kSettings) names.emplace_back(setting.name);
  return names;
}

void NotifyIndexer() {
  std::vector<PortInfo> ports;
  if (EnumerateTopLevelPorts(indexer::kControlPortTitle, &ports) != S_OK) return;
  for (const PortInfo& port : ports) {
    static_cast<void>(PostPortMessage(port, indexer::WM_TROVIX_SETTINGS_CHANGED, 0, 0));
  }
}

int RunConfig(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
  if (args.empty()) {
    List(out);
    return 0;
  }
  const std::string& verb = args[0];
  if (verb == "set" && args.size() == 3) return Set(args[1], args[2], err);
  if (verb == "reset" && args.size() == 2) return Reset(args[1], err);
  const bool list_change = args.size() == 3 && (args[1] == "add" || args[1] == "remove");
  if (verb == "roots" && list_change) return Roots(args[1], args[2], out, err);
  if (verb == "skip" && list_change) return Skips(args[1], args[2], out, err);
  return Fail(err,
              "usage: trovix config [set NAME VALUE | reset NAME | roots add|remove PATH | "
              "skip add|remove PATTERN]");
}

}  // namespace trovix::cli
