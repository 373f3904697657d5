// What trovix-setup does to an installation and to the user's tree.
#pragma once

#include <ostream>
#include <string>

#include "platform/types.h"

namespace trovix::setup {

// Where the installation lies: the prefix P of P/bin and P/lib/trovix.
struct Installation {
  std::string prefix;
  [[nodiscard]] std::string bin_dir() const { return prefix + "/bin/"; }
  [[nodiscard]] std::string module_dir() const { return prefix + "/lib/trovix"; }
};

// Makes the installation ready for the current user, step by step:
//  1. the folders the suite writes to (config, state, data, runtime; 0700);
//  2. every component module in module_dir() registered, and the indexer
//     (`kestine -RegServer`) when the installation has it;
//  3. "BinPath" under the user's Software\Quillon\Trovix;
//  4. the plain-text file types;
//  5. the database file, created with its tables when missing; an existing
//     file is never touched;
//  6. the indexer started now and at every login, when the installation has
//     it (see login_start.h).
// Running it again changes nothing. Each step done is reported on `out`; the
// first failure is reported on `err` and ends the run with its status.
[[nodiscard]] HRESULT Install(const Installation& installation, std::ostream& out,
                              std::ostream& err);

// Stops the indexer's service, removes it and the autostart entries, removes
// what Install registered (modules, file types, "BinPath"), and leaves the
// user's database, log and settings in place.
[[nodiscard]] HRESULT Uninstall(const Installation& installation, std::ostream& out,
                                std::ostream& err);

}  // namespace trovix::setup
