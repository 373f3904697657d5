#!/usr/bin/env bash
# The package's life on a real machine, as root would live it:
#   scripts/package_install_test.sh trovix_<version>_amd64.deb
#  1. a package of the previous version number (the same files, repacked
#     with a lower version) is installed with apt-get install ./FILE;
#  2. a plain user created for the test runs trovix-setup, kestine (directly,
#     as there is no user manager here), trovix index and trovix search, and
#     changes a setting;
#  3. the given package is installed over it: the user's index, settings and
#     unit stay and work, and the unit names the packaged /usr/lib/systemd one;
#  4. the package is removed, then purged: dpkg -L knows nothing of it, and
#     none of its files, nor its folders in /etc, /usr/lib and /usr/libexec,
#     are left.
# Needs root or sudo without a password; without either, or when trovix is
# already installed here (the test would replace it), it says so and exits
# 0 having checked nothing else.
set -uo pipefail
deb="$(realpath "$1")"
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

if [ "$(id -u)" -eq 0 ]; then
  root=()
elif sudo -n true 2>/dev/null; then
  root=(sudo -n)
else
  echo "SKIP: the install test needs root or sudo without a password"
  exit 0
fi
if dpkg-query -W -f='${Status}' trovix 2>/dev/null | grep -q 'ok installed'; then
  echo "SKIP: trovix is installed on this machine; the install test would replace it"
  exit 0
fi
as_root() { "${root[@]}" "$@"; }
apt_get() {
  as_root env DEBIAN_FRONTEND=noninteractive apt-get -y -q -o DPkg::Lock::Timeout=600 "$@"
}

work="$(mktemp -d)"
chmod 755 "$work"
user="trovixpkg$$"
# shellcheck disable=SC2317 # run by the trap
cleanup() {
  as_root pkill -u "$user" -x kestine 2>/dev/null
  if dpkg-query -W trovix >/dev/null 2>&1; then apt_get purge trovix >/dev/null 2>&1; fi
  id "$user" >/dev/null 2>&1 && as_root userdel --remove "$user" 2>/dev/null
  as_root rm -rf "$work"
}
trap cleanup EXIT

# The previous version: the package's own files under a lower version, so
# that what is tested is dpkg's upgrade path (maintainer scripts, the
# conffile, the folders) over a user's live state.
version="$(dpkg-deb -f "$deb" Version)"
previous="${version%-*}-0"
mkdir "$work/repack"
dpkg-deb -R "$deb" "$work/repack/tree"
sed -i "s/^Version: .*/Version: $previous/" "$work/repack/tree/DEBIAN/control"
dpkg-deb --root-owner-group -b "$work/repack/tree" "$work/trovix_${previous}_amd64.deb" >/dev/null
cp "$deb" "$work/trovix_${version}_amd64.deb"
chmod 644 "$work"/*.deb

installed_version() { dpkg-query -W -f='${Version}' trovix 2>/dev/null; }

apt_get install "$work/trovix_${previous}_amd64.deb" >"$work/apt.log" 2>&1 ||
  { cat "$work/apt.log"; fail "apt-get install of $previous failed"; exit 1; }
[ "$(installed_version)" = "$previous" ] || fail "version $previous is not installed"
files_before="$(dpkg -L trovix)"

as_root useradd --create-home --shell /bin/sh "$user" || { fail "cannot create $user"; exit 1; }
home="$(getent passwd "$user" | cut -d: -f6)"
runtime="$work/runtime"
as_root install -d -m 700 -o "$user" "$runtime"
# A plain user's session: its own home and folders, no display, no manager.
as_user() {
  as_root runuser -u "$user" -- env -i PATH=/usr/bin:/bin HOME="$home" USER="$user" \
    XDG_RUNTIME_DIR="$runtime" TROVIX_SYSTEMCTL=false "$@"
}
as_user mkdir -p "$home/docs"
as_user sh -c "echo 'an installed quetzal' >'$home/docs/bird.txt'"

output="$(as_user trovix-setup 2>&1)" || fail "trovix-setup failed: $output"
grep -qxF "Registrations kept: /etc/Quillon/machine.reg belongs to the system" <<<"$output" ||
  fail "trovix-setup did not find the package's registrations: $output"
as_user trovix config roots add "$home/docs" >/dev/null || fail "trovix config roots add failed"
as_user trovix config set scan-interval 600 >/dev/null || fail "trovix config set failed"

# kestine from /usr/bin: its first scan finds the file, a later one a new file.
"${root[@]}" runuser -u "$user" -- env -i PATH=/usr/bin:/bin HOME="$home" USER="$user" \
  XDG_RUNTIME_DIR="$runtime" /usr/bin/kestine >"$work/kestine.log" 2>&1 &
kestine_pid=$!
found() {
  local word="$1" file="$2"
  for _ in $(seq 1 120); do
    as_user trovix search "$word" 2>/dev/null | grep -qxF "$file" && return 0
    sleep 0.5
  done
  return 1
}
found quetzal "$home/docs/bird.txt" || fail "kestine did not index $home/docs/bird.txt"
as_user sh -c "echo 'a watched okapi' >'$home/docs/okapi.txt'"
found okapi "$home/docs/okapi.txt" || fail "kestine did not index a new file"
# runuser waits for kestine, so its end is kestine's.
as_root pkill -u "$user" -x kestine
wait "$kestine_pid" || fail "kestine did not stop cleanly: $(cat "$work/kestine.log")"
as_user sh -c "echo 'an axolotl' >'$home/docs/newt.txt'"
output="$(as_user trovix index "$home/docs" 2>&1)" || fail "trovix index failed: $output"
found axolotl "$home/docs/newt.txt" || fail "trovix index did not index the new file"

as_user trovix config >"$work/config.before" 2>&1
apt_get install "$work/trovix_${version}_amd64.deb" >"$work/apt.log" 2>&1 ||
  { cat "$work/apt.log"; fail "apt-get install of $version over $previous failed"; }
[ "$(installed_version)" = "$version" ] || fail "the upgrade did not install $version"
for word in quetzal okapi axolotl; do
  as_user trovix search "$word" 2>/dev/null | grep -q "^$home/docs/" ||
    fail "the index lost $word in the upgrade"
done
as_user trovix config >"$work/config.after" 2>&1
diff "$work/config.before" "$work/config.after" || fail "the settings changed in the upgrade"
grep -qF "$home/docs" "$work/config.after" || fail "the index root is not kept"
output="$(as_user trovix-setup 2>&1)" || fail "trovix-setup after the upgrade failed: $output"
[ -f /usr/lib/systemd/user/kestine.service ] || fail "no /usr/lib/systemd/user/kestine.service"
grep -qx 'ExecStart="/usr/bin/kestine"' /usr/lib/systemd/user/kestine.service ||
  fail "the packaged unit does not start /usr/bin/kestine"
# Enabled per user by trovix-setup, never for every user by the package.
[ ! -e /etc/systemd/user/default.target.wants/kestine.service ] ||
  fail "the package enabled kestine for every user"
as_user trovix-setup --uninstall >/dev/null 2>&1 || fail "trovix-setup --uninstall failed"

apt_get remove trovix >"$work/apt.log" 2>&1 || { cat "$work/apt.log"; fail "apt-get remove failed"; }
[ -f /etc/Quillon/machine.reg ] || fail "remove took the conffile, which only purge should take"
apt_get purge trovix >"$work/apt.log" 2>&1 || { cat "$work/apt.log"; fail "apt-get purge failed"; }
if dpkg -L trovix >/dev/null 2>&1; then fail "dpkg -L still lists trovix: $(dpkg -L trovix)"; fi
while IFS= read -r path; do
  [ -d "$path" ] && [ ! -L "$path" ] && continue  # shared folders such as /usr/bin
  if [ -e "$path" ] || [ -L "$path" ]; then fail "$path is left after the purge"; fi
done <<<"$files_before"
for folder in /etc/Quillon /usr/lib/trovix /usr/libexec/trovix /usr/share/doc/trovix; do
  [ ! -e "$folder" ] || fail "$folder is left after the purge"
done
# The user's index and settings are theirs: a purge leaves the home alone.
as_user test -f "$home/.local/share/Quillon/Ordalis.mdb" || fail "the purge touched the user's index"

[ "$failures" -eq 0 ] && echo "install test: $previous installed, used, upgraded to $version, removed and purged"
exit $((failures > 0))
