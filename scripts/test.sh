#!/usr/bin/env bash
# Builds Trovix with warnings as errors and runs every test.
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
. "$here/scripts/packages.sh"
trovix_install_packages "${TROVIX_BUILD_PACKAGES[@]}" "${TROVIX_TEST_PACKAGES[@]}"

build="${TROVIX_TEST_BUILD_DIR:-$here/build-test}"
# A compiler cache, where the machine has one, makes a rebuild of unchanged
# files nearly free; its absence changes nothing.
launcher=()
if command -v ccache >/dev/null; then
  launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)
  export TROVIX_DEB_CMAKE_ARGS="${TROVIX_DEB_CMAKE_ARGS:-${launcher[*]}}"
fi
cmake -S "$here" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTROVIX_WERROR=ON "${launcher[@]}"
cmake --build "$build" -j "$(nproc)"

# The Debian package: built from its own Release tree, then unpacked into a
# throw-away root where the installed trovix-setup, index and search run.
"$here/scripts/package.sh"

ctest --test-dir "$build" --output-on-failure -j "$(nproc)"
