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

// Starts the indexer at login and now: with a user manager the unit is
// written (when its text differs), the manager reloaded (only then) and the
// unit enabled and started, and an autostart entry of an earlier run removed;
// without one the autostart entry is written instead and the indexer is left
// for the next login. Running it again changes no file.
[[nodiscard]] HRESULT InstallKestineLoginStart(const Installation& installation, std::ostream& out,
                                               std::ostream& err);

// Stops the service and removes the unit and the autostart entry. Nothing
// left to remove is not an error.
[[nodiscard]] HRESULT RemoveKestineLoginStart(std::ostream& out, std::ostream& err);

// Writes the entry that starts this installation's trovix-band at login,
// by its full path (so a prefix off the PATH works). Replaces an older entry.
[[nodiscard]] HRESULT InstallBandAutostart(const Installation& installation, std::ostream& out,
                                           std::ostream& err);
// Removes that entry; a missing one is not an error.
[[nodiscard]] HRESULT RemoveBandAutostart(std::ostream& out, std::ostream& err);

}  // namespace trovix::setup
