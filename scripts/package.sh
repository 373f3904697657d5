#!/usr/bin/env bash
# Builds the Debian packages trovix_<version>_amd64.deb and its debug symbols,
# trovix-dbgsym_<version>_amd64.deb, in build-deb/ with debhelper (debian/),
# then checks the first with scripts/package_test.sh.
#   scripts/package.sh [DPKG-BUILDPACKAGE-OPTION...]
# -nc, say, rebuilds without cleaning first, which keeps the objects of the
# last run. TROVIX_DEB_JOBS sets the parallel jobs (default: every core);
# TROVIX_DEB_CMAKE_ARGS adds to the configuration (see debian/rules).
#
# dpkg-buildpackage writes its packages into the parent of the source tree,
# so the sources are copied into build-deb/source first: the packages land
# in build-deb/, and debhelper's work files stay out of the checkout. The
# copy keeps the files' times, so that -nc rebuilds only what changed.
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
. "$here/scripts/packages.sh"
trovix_install_packages "${TROVIX_BUILD_PACKAGES[@]}" dpkg-dev debhelper file

out="${TROVIX_DEB_BUILD_DIR:-$here/build-deb}"
source="$out/source"
mkdir -p "$source"
find "$source" -mindepth 1 -maxdepth 1 ! -name 'obj-*' -exec rm -rf {} +
tar -C "$here" --exclude='./build*' --exclude=./.git --exclude=./.cache -cf - . |
  tar -C "$source" -xf -
rm -f "$out"/trovix_*.deb "$out"/trovix-dbgsym_*.deb "$out"/trovix_*.buildinfo \
  "$out"/trovix_*.changes
(cd "$source" && dpkg-buildpackage -us -uc -b -j"${TROVIX_DEB_JOBS:-$(nproc)}" "$@")

deb="$(ls "$out"/trovix_*_amd64.deb)"
ls "$out"/trovix-dbgsym_*_amd64.deb >/dev/null
echo "Built $deb"
"$here/scripts/package_test.sh" "$deb"
