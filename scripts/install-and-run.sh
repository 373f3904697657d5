#!/usr/bin/env bash
# Installs Trovix for the current user and starts it: Debian packages, a
# release build, installation into $TROVIX_PREFIX (default ~/.local), the
# per-user set-up (registrations and the index database), then the suite.
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
. "$here/scripts/packages.sh"
trovix_install_packages "${TROVIX_BUILD_PACKAGES[@]}"

prefix="${TROVIX_PREFIX:-$HOME/.local}"
build="$here/build-release"
cmake -S "$here" -B "$build" -DCMAKE_BUILD_TYPE=Release -DTROVIX_BUILD_TESTS=OFF
cmake --build "$build" -j "$(nproc)"
cmake --install "$build" --prefix "$prefix"
# trovix-setup also starts the indexer now and at every login: as the
# systemd user service kestine, or from an autostart entry without a user
# manager (see man trovix-setup).
"$prefix/bin/trovix-setup"

# Report what runs. Without a user manager nothing started the indexer yet;
# start it as its autostart entry will at the next login, unless one runs.
if [ -x "$prefix/bin/kestine" ]; then
  if "${TROVIX_SYSTEMCTL:-systemctl}" --user is-active --quiet kestine 2>/dev/null; then
    echo "The indexer runs as the systemd user service kestine: it indexes your home folder"
    echo "and follows its changes (systemctl --user status kestine)."
  elif pgrep -u "$(id -u)" -x kestine >/dev/null; then
    echo "The indexer is already running."
  elif [ -f "${XDG_CONFIG_HOME:-$HOME/.config}/autostart/org.trovix.Kestine.desktop" ]; then
    setsid "$prefix/bin/kestine" </dev/null >/dev/null 2>&1 &
    echo "The indexer is running: it indexes your home folder and follows its changes."
    echo "It starts at every login from ${XDG_CONFIG_HOME:-$HOME/.config}/autostart/org.trovix.Kestine.desktop."
  fi
fi
if [ -n "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ] && [ -x "$prefix/bin/vistrel" ]; then
  setsid "$prefix/bin/vistrel" </dev/null >/dev/null 2>&1 &
else
  echo "Search from a terminal:  $prefix/bin/trovix search WORDS..."
fi
