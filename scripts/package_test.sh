#!/usr/bin/env bash
# Checks a built trovix .deb: its contents and dependencies, then the
# installed layout at work. The package is unpacked into a throw-away root;
# its trovix-setup, trovix index and trovix search run there on a private
# home (HOME and XDG_* temporary, no user service manager).
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
  ./usr/bin/trovix-band ./usr/bin/trovix-filterhost ./usr/lib/trovix/libordalis.so \
  ./usr/lib/trovix/libtxtfilter.so ./usr/lib/trovix/libdocfilter.so \
  ./usr/share/man/man1/trovix.1 ./usr/share/man/man1/kestine.1 \
  ./usr/share/bash-completion/completions/trovix ./etc/Quillon/machine.reg; do
  grep -qxF "$path" <<<"$contents" || fail "$path is not in the package"
done
info="$(dpkg-deb -I "$deb")"
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

# Unpacked away from /, the installation's hive is <root>/usr/etc/Quillon:
# trovix-setup writes it there as it would in a prefix of the user's.
home="$root/home"
mkdir -p "$home/docs" "$root/runtime" && chmod 700 "$root/runtime"
echo "a packaged quetzal" >"$home/docs/bird.txt"
run() {
  env -u TROVIX_MACHINE_HIVE -u TROVIX_USER_HIVE HOME="$home" XDG_CONFIG_HOME="$home/.config" \
    XDG_DATA_HOME="$home/.local/share" XDG_STATE_HOME="$home/.local/state" \
    XDG_RUNTIME_DIR="$root/runtime" TROVIX_SYSTEMCTL=false "$@"
}
output="$(run "$root/fs/usr/bin/trovix-setup" 2>&1)" || fail "trovix-setup failed: $output"
grep -qF "Registered $root/fs/usr/lib/trovix/libordalis.so" <<<"$output" ||
  fail "trovix-setup did not register the unpacked modules: $output"
[ -f "$home/.config/autostart/kestine.desktop" ] || fail "no autostart entry for kestine"
output="$(run "$root/fs/usr/bin/trovix" index "$home/docs" 2>&1)" ||
  fail "trovix index failed: $output"
output="$(run "$root/fs/usr/bin/trovix" search quetzal 2>&1)" || fail "trovix search failed: $output"
grep -qxF "$home/docs/bird.txt" <<<"$output" || fail "trovix search did not find the file: $output"

[ "$failures" -eq 0 ] && echo "package $deb: all checks passed"
exit $((failures > 0))
