// What trovix-setup arranges to start at login: the indexer (always) and the
// desk band strip (on request).
//
// The indexer is a systemd user service when the user has a service manager:
// <config home>/systemd/user/kestine.service, enabled and started. Without
// one (no systemd, a container, a session without a user bus) it is an XDG
// autostart entry, <config home>/autostart/org.trovix.Kestine.desktop, which
// the desktop runs at the next graphical login. Only one of the two is left
// in place, so a login never starts the indexer twice.
//
// The systemctl program is $TROVIX_SYSTEMCTL when set, else "systemctl" found
// on the PATH. The variable is for tests (a stand-in that records its
// arguments) and for systems where systemctl lies off the PATH.
#pragma once

#include <ostream>
#include <string>

#include "platform/types.h"
#include "tools/installer.h"

namespace trovix::setup {

// <config home>/systemd/user/kestine.service; empty without a config home.
[[nodiscard]] std::string KestineUnitPath();
// <config home>/autostart/org.trovix.Kestine.desktop; empty without a config
// home.
[[nodiscard]] std::string KestineAutostartPath();
// <config home>/autostart/org.trovix.Band.desktop; empty without a config
// home.
[[nodiscard]] std::string BandAutostartPath();

// The unit file text for the installation's kestine.
[[nodiscard]] std::string KestineUnit(const Installation& installation);

// <prefix>/lib/systemd/user/kestine.service: where a package installs the
// unit (/usr/lib/systemd/user), shared by every user of the machine.
[[nodiscard]] std::string PackagedKestineUnitPath(const Installation& installation);
// True when that unit exists and the user manager reads its folder (its
// UnitPath names it); each user then enables it, and no per-user copy is
// written. A source install elsewhere writes the per-user unit instead.
[[nodiscard]] bool UsesPackagedKestineUnit(const Installation& installation);

// Starts the indexer at login and now: with a user manager the unit is
// written (when its text differs; not when the packaged unit is in use, see
// UsesPackagedKestineUnit), the manager reloaded (only then) and the
// unit enabled and started, and an autostart entry of an earlier run removed;
// without one the autostart entry is written instead and the indexer is left
// for the next login. Running it again changes no file.
[[nodiscard]] HRESULT InstallKestineLoginStart(const Installation& installation, std::ostream& out,
                                               std::ostream& err);

// Stops and disables the service, removes the per-user unit (the packaged
// one belongs to the package) and the autostart entry. Nothing left to
// remove is not an error.
[[nodiscard]] HRESULT RemoveKestineLoginStart(const Installation& installation, std::ostream& out,
                                              std::ostream& err);

// Writes the entry that starts this installation's trovix-band at login,
// by its full path (so a prefix off the PATH works). Replaces an older entry.
[[nodiscard]] HRESULT InstallBandAutostart(const Installation& installation, std::ostream& out,
                                           std::ostream& err);
// Removes that entry; a missing one is not an error.
[[nodiscard]] HRESULT RemoveBandAutostart(std::ostream& out, std::ostream& err);

}  // namespace trovix::setup
