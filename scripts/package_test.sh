#!/usr/bin/env bash
# Checks a built trovix .deb: its contents and dependencies, then the
# installed layout at work. The package is unpacked into a throw-away root;
# its trovix-setup, trovix index and trovix search run there on a private
# home (HOME and XDG_* temporary, no user service manager). Then, where the
# script may act as root (root itself, or sudo without a password), the
# package is installed on this machine with apt-get and used by a plain user
# created for the test, upgraded over, removed and purged (see
# package_install_test.sh).
#   scripts/package_test.sh trovix_<version>_amd64.deb
# Exits 77 (skipped) when dpkg-deb is missing.
set -uo pipefail
deb="$1"
if ! command -v dpkg-deb >/dev/null; then
  echo "dpkg-deb is missing (apt-get install dpkg); the package is not checked"
  exit 77
fi
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

contents="$(dpkg-deb -c "$deb" | awk '{print $NF}')"
for path in ./usr/bin/trovix ./usr/bin/trovix-setup ./usr/bin/kestine ./usr/bin/vistrel \
  ./usr/bin/trovix-band ./usr/libexec/trovix/trovix-filterhost \
  ./usr/libexec/trovix/trovix-search-provider ./usr/lib/trovix/libordalis.so \
  ./usr/lib/trovix/libtxtfilter.so ./usr/lib/trovix/libdocfilter.so \
  ./usr/lib/trovix/libtrovix-platform.so ./usr/lib/trovix/libtrovix-shared.so \
  ./usr/share/bash-completion/completions/trovix ./usr/share/doc/trovix/copyright \
  ./usr/share/doc/trovix/changelog.Debian.gz ./etc/Quillon/machine.reg; do
  grep -qxF "$path" <<<"$contents" || fail "$path is not in the package"
done
# The suite's libraries are its own: none in /usr/lib itself, where every
# program's loader would look, nor in the multiarch folder below it.
stray="$(grep -E '^\./usr/lib/[^/]+$|^\./usr/lib/[^/]+-linux-gnu/' <<<"$contents" |
  grep -vxF ./usr/lib/trovix/)"
[ -z "$stray" ] || fail "files outside /usr/lib/trovix: $stray"
# Every program in /usr/bin has its (compressed) manual page.
for program in $(sed -n 's|^\./usr/bin/\(.\+\)$|\1|p' <<<"$contents"); do
  grep -qxF "./usr/share/man/man1/$program.1.gz" <<<"$contents" ||
    fail "$program has no manual page"
done
info="$(dpkg-deb -I "$deb")"
# The machine hive is the package's one file in /etc, and its one conffile.
conffiles="$(dpkg-deb -I "$deb" conffiles 2>/dev/null)"
[ "$conffiles" = /etc/Quillon/machine.reg ] || fail "conffiles are not the machine hive: $conffiles"
in_etc="$(grep -E '^\./etc/.*[^/]$' <<<"$contents")"
[ "$in_etc" = ./etc/Quillon/machine.reg ] || fail "files in /etc besides the machine hive: $in_etc"
# The binaries are stripped; their symbols are in the -dbgsym package beside.
dbgsym="$(dirname "$deb")/$(basename "$deb" | sed 's/^trovix_/trovix-dbgsym_/')"
[ -f "$dbgsym" ] || fail "no debug symbol package $dbgsym"
depends="$(sed -n 's/^ Depends: //p' <<<"$info")"
for library in libc6 libqt6widgets6 libsqlite3-0; do
  grep -q "$library" <<<"$depends" || fail "Depends lacks $library: $depends"
done
grep -q '^ Maintainer: ' <<<"$info" || fail "no Maintainer"
grep -q '^ Architecture: amd64' <<<"$info" || fail "not amd64"

root="$(mktemp -d)"
trap 'rm -rf "$root"' EXIT
dpkg-deb -x "$deb" "$root/fs"
hive="$(cat "$root/fs/etc/Quillon/machine.reg")"
grep -qF '/usr/lib/trovix/libordalis.so' <<<"$hive" || fail "the machine hive lacks the store's module"
[ "$(stat -c %a "$root/fs/etc/Quillon/machine.reg")" = 644 ] || fail "the machine hive is not 0644"
for binary in usr/bin/trovix usr/libexec/trovix/trovix-filterhost usr/lib/trovix/libordalis.so; do
  file -b "$root/fs/$binary" | grep -q ', stripped' || fail "$binary is not stripped"
done

# Unpacked away from /, the installation's hive is <root>/usr/etc/Quillon:
# trovix-setup writes it there as it would in a prefix of the user's.
home="$root/home"
mkdir -p "$home/docs" "$root/runtime" && chmod 700 "$root/runtime"
echo "a packaged quetzal" >"$home/docs/bird.txt"
# A document the filter helper in /usr/libexec/trovix reads.
echo "<html><body><p>a packaged axolotl</p></body></html>" >"$home/docs/newt.html"
run() {
  env -u TROVIX_MACHINE_HIVE -u TROVIX_USER_HIVE HOME="$home" XDG_CONFIG_HOME="$home/.config" \
    XDG_DATA_HOME="$home/.local/share" XDG_STATE_HOME="$home/.local/state" \
    XDG_RUNTIME_DIR="$root/runtime" TROVIX_SYSTEMCTL=false "$@"
}
output="$(run "$root/fs/usr/bin/trovix-setup" 2>&1)" || fail "trovix-setup failed: $output"
grep -qF "Registered $root/fs/usr/lib/trovix/libordalis.so" <<<"$output" ||
  fail "trovix-setup did not register the unpacked modules: $output"
[ -f "$home/.config/autostart/org.trovix.Kestine.desktop" ] || fail "no autostart entry for kestine"
output="$(run "$root/fs/usr/bin/trovix" index "$home/docs" 2>&1)" ||
  fail "trovix index failed: $output"
output="$(run "$root/fs/usr/bin/trovix" search quetzal 2>&1)" || fail "trovix search failed: $output"
grep -qxF "$home/docs/bird.txt" <<<"$output" || fail "trovix search did not find the file: $output"
output="$(run "$root/fs/usr/bin/trovix" search axolotl 2>&1)" || fail "trovix search failed: $output"
grep -qxF "$home/docs/newt.html" <<<"$output" ||
  fail "trovix search did not find the document through the filter helper: $output"

"$(dirname "${BASH_SOURCE[0]}")/package_install_test.sh" "$deb" || fail "the install test failed"

[ "$failures" -eq 0 ] && echo "package $deb: all checks passed"
exit $((failures > 0))
