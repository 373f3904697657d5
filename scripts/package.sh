#!/usr/bin/env bash
# Builds the Debian package trovix_<version>_amd64.deb in build-deb/, then
# checks it with scripts/package_test.sh.
#
# The package installs to /usr with the component modules in /usr/lib/trovix.
# Its machine hive, /etc/Quillon/machine.reg, is made here: the suite is
# installed into a staging folder, its trovix-setup registers the staged
# modules, and the staging prefix is replaced by /usr in the hive's text. Each
# user then runs trovix-setup, which finds the registrations in place.
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
. "$here/scripts/packages.sh"
trovix_install_packages "${TROVIX_BUILD_PACKAGES[@]}" dpkg-dev file

build="${TROVIX_DEB_BUILD_DIR:-$here/build-deb}"
# TROVIX_DEB_CMAKE_ARGS adds to the configuration (a compiler launcher, say).
# The libraries go to /usr/lib, not the multiarch folder: they are the
# suite's own, and the programs find them through their run path.
configure() {
  cmake -S "$here" -B "$build" -DCMAKE_BUILD_TYPE=Release -DTROVIX_BUILD_TESTS=OFF \
    -DCMAKE_INSTALL_PREFIX=/usr -DCMAKE_INSTALL_LIBDIR=lib ${TROVIX_DEB_CMAKE_ARGS:-} "$@"
}
configure -DTROVIX_PACKAGE_MACHINE_HIVE=
cmake --build "$build" -j "$(nproc)"

work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
stage="$work/stage"
hive="$work/machine.reg"
DESTDIR="$stage" cmake --install "$build" >/dev/null
mkdir -p "$work/home" "$work/runtime" && chmod 700 "$work/runtime"
env HOME="$work/home" XDG_CONFIG_HOME="$work/home/.config" XDG_DATA_HOME="$work/home/.local/share" \
  XDG_STATE_HOME="$work/home/.local/state" XDG_RUNTIME_DIR="$work/runtime" \
  TROVIX_MACHINE_HIVE="$hive" TROVIX_SYSTEMCTL=false "$stage/usr/bin/trovix-setup" >/dev/null
sed -i "s|$stage/usr/|/usr/|g" "$hive"
if grep -qF "$stage" "$hive"; then
  echo "package.sh: the machine hive still names the staging folder" >&2
  exit 1
fi
mkdir -p "$build/package"
cp "$hive" "$build/package/machine.reg"
configure -DTROVIX_PACKAGE_MACHINE_HIVE="$build/package/machine.reg"
(cd "$build" && cpack -G DEB)
deb="$(ls "$build"/trovix_*_amd64.deb)"
echo "Built $deb"
"$here/scripts/package_test.sh" "$deb"
