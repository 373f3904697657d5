#!/usr/bin/env bash
# The files an installed prefix gives the desktop:
#   desktop_files_test.sh PREFIX
# Every desktop entry passes desktop-file-validate; the application entries
# start their programs by absolute path and show the suite's icon, which is
# installed at every size it claims; the search providers name installed
# entries; the AppStream metainfo passes appstreamcli with no warning and
# names what is installed. Exits 77 when a validator is missing and nothing
# else failed.
set -uo pipefail
prefix="$1"
share="$prefix/share"
failures=0
missing=()
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

# The value of KEY in the file's [Desktop Entry] (or other) group.
key() { sed -n "s/^$2=//p" "$1" | head -n 1; }

entries=("$share/applications/org.trovix.Vistrel.desktop" "$share/applications/org.trovix.Band.desktop")
for entry in "${entries[@]}"; do
  [ -f "$entry" ] || { fail "$entry is not installed"; continue; }
  # Exec is the quoted program alone; the prefix has a space, so the quotes
  # are needed and nothing else is escaped.
  exec_value="$(key "$entry" Exec)"
  program="$(sed -n 's/^"\(.*\)"$/\1/p' <<<"$exec_value")"
  case "$program" in
    /*) [ -x "$program" ] && [ -f "$program" ] || fail "$entry: $program is not an installed program" ;;
    "") fail "$entry: Exec=$exec_value is not one quoted absolute path" ;;
    *) fail "$entry: Exec names $program, not an absolute path" ;;
  esac
  [ "$(key "$entry" Icon)" = org.trovix.Trovix ] || fail "$entry: Icon is not org.trovix.Trovix"
done
for legacy in vistrel.desktop trovix-band.desktop; do
  [ ! -e "$share/applications/$legacy" ] || fail "$legacy is still installed"
done

# Each PNG is the size its folder says: the theme scales none of them.
for size in 16 22 24 32 48 64 128 256; do
  png="$share/icons/hicolor/${size}x${size}/apps/org.trovix.Trovix.png"
  [ -f "$png" ] || { fail "$png is not installed"; continue; }
  # A PNG's IHDR: width and height, big-endian, at bytes 16 to 23.
  read -r width height < <(od -An -tu1 -j16 -N8 "$png" |
    awk '{ print $1*16777216 + $2*65536 + $3*256 + $4, $5*16777216 + $6*65536 + $7*256 + $8 }')
  [ "$width" = "$size" ] && [ "$height" = "$size" ] ||
    fail "$png is ${width}x${height}, not ${size}x${size}"
done
svg="$share/icons/hicolor/scalable/apps/org.trovix.Trovix.svg"
grep -q "<svg" "$svg" 2>/dev/null || fail "$svg is not installed"

# GNOME Shell shows the provider's results under the named entry's name and
# icon, and drops a provider whose entry is not installed.
ini="$share/gnome-shell/search-providers/org.trovix.SearchProvider.ini"
desktop_id="$(key "$ini" DesktopId)"
[ -n "$desktop_id" ] && [ -f "$share/applications/$desktop_id" ] ||
  fail "$ini names DesktopId=$desktop_id, which is not installed"
runner="$share/krunner/dbusplugins/org.trovix.SearchProvider.desktop"
[ "$(key "$runner" Icon)" = org.trovix.Trovix ] || fail "$runner: Icon is not org.trovix.Trovix"

if command -v desktop-file-validate >/dev/null; then
  for entry in "${entries[@]}" "$runner"; do
    [ -f "$entry" ] || continue
    # Hints are suggestions; an error or a warning is a fault.
    report="$(desktop-file-validate "$entry" 2>&1)"
    status=$?
    problems="$(grep -v ': hint: ' <<<"$report")"
    [ "$status" -eq 0 ] && [ -z "$problems" ] || fail "desktop-file-validate $entry: $report"
  done
else
  missing+=("desktop-file-validate (apt-get install desktop-file-utils)")
fi

metainfo="$share/metainfo/org.trovix.Trovix.metainfo.xml"
if [ -f "$metainfo" ]; then
  launchable="$(sed -n 's:.*<launchable type="desktop-id">\(.*\)</launchable>.*:\1:p' "$metainfo")"
  [ -n "$launchable" ] && [ -f "$share/applications/$launchable" ] ||
    fail "$metainfo launches '$launchable', which is not installed"
  for binary in $(sed -n 's:.*<binary>\(.*\)</binary>.*:\1:p' "$metainfo"); do
    [ -x "$prefix/bin/$binary" ] || fail "$metainfo provides $binary, which is not installed"
  done
  if command -v appstreamcli >/dev/null; then
    # Pedantic notes aside, nothing may be reported.
    report="$(appstreamcli validate --no-net --no-color "$metainfo" 2>&1)"
    status=$?
    problems="$(grep -E '^[EWI]: ' <<<"$report")"
    [ "$status" -eq 0 ] && [ -z "$problems" ] || fail "appstreamcli validate $metainfo: $report"
  else
    missing+=("appstreamcli (apt-get install appstream)")
  fi
else
  fail "$metainfo is not installed"
fi

if [ "$failures" -gt 0 ]; then
  echo "$failures failure(s)"
  exit 1
fi
if [ ${#missing[@]} -gt 0 ]; then
  echo "not checked, missing: ${missing[*]}"
  exit 77
fi
echo "desktop files: all checks passed"
