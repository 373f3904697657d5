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
"$prefix/bin/trovix-setup"

# Start what this installation has: the indexer (which indexes the home
# folder by default), the search panel on a display, else the command line.
if [ -x "$prefix/bin/kestine" ]; then
  if pgrep -u "$(id -u)" -x kestine >/dev/null; then
    echo "The indexer is already running."
  else
    nohup "$prefix/bin/kestine" >/dev/null 2>&1 &
    echo "The indexer is running: it indexes your home folder and follows its changes."
  fi
fi
if [ -n "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ] && [ -x "$prefix/bin/vistrel" ]; then
  nohup "$prefix/bin/vistrel" >/dev/null 2>&1 &
elif [ -x "$prefix/bin/trovix" ]; then
  echo "Search from a terminal:  $prefix/bin/trovix search WORDS..."
else
  echo "Installed in $prefix. This build has the index store and its set-up only;"
  echo "the indexer, the search panel and the trovix command are not part of it yet."
fi
