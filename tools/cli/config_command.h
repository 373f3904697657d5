// trovix config: the user's settings of the indexer, listed and changed.
#pragma once

#include <ostream>
#include <string>
#include <vector>

namespace trovix::cli {

// `args` after "config":
//   (none)                        every setting with its value and default
//   set NAME VALUE                one number or flag, range-checked
//   reset NAME                    back to the default (the value removed)
//   roots add|remove PATH         an index root (an existing folder)
//   skip add|remove PATTERN       a skip pattern
// Every write goes through the registry (one locked, atomic rewrite of the
// hive), then a running indexer is told to read its settings again. A bad
// name or value writes nothing. Returns 0 when done (or nothing to do), 2
// for a bad name, value or usage, or a registry that cannot be written.
int RunConfig(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);

// The names `trovix config set` takes, for the completion and the manual.
[[nodiscard]] std::vector<std::string> SettingNames();

// Tells a running indexer to read its settings again; nothing when none runs.
void NotifyIndexer();

}  // namespace trovix::cli
