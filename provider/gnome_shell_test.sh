#!/usr/bin/env bash
# The search provider of an installed prefix in the real GNOME Shell:
#   gnome_shell_test.sh PREFIX
# A headless gnome-shell runs in a private home on private system and session
# buses, with PREFIX/share among the data folders and PREFIX/bin off the PATH,
# as for a user who installed into a prefix of their own. The suite is set up
# and indexes a few notes; then the overview is driven over org.gnome.Shell.Eval
# (a test extension allows it) and its search results read back. Checked: the
# shell loads the provider (its DesktopId entry resolves, so no "Ignoring
# search provider"), the session bus starts the provider from the prefix and
# the shell's calls to it succeed, a word shows exactly the files that contain
# it under the provider's section with the passage that has it, and a word in
# no file shows none. Exits 77 only when gnome-shell or dbus-daemon is missing.
set -uo pipefail
for program in gnome-shell dbus-daemon; do
  if ! command -v "$program" >/dev/null; then
    echo "not checked, missing: $program (apt-get install gnome-shell dbus)"
    exit 77
  fi
done

prefix="$1"
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
extension_source="$here/testing/gnome-shell-extension"
uuid="shell-eval@test.trovix.org"
desktop_id="org.trovix.Vistrel.desktop"
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

root="$(mktemp -d)"
shell_log="$root/gnome-shell.log"
runtime="$root/runtime"
started=()
# Everything this test started ends with it: the shell and the buses by their
# process ids, then whatever they started in turn (the provider and dconf,
# started by the bus; ibus, by the shell), found by the private runtime folder
# in their environment, which nothing else has.
cleanup() {
  local pid
  for pid in "${started[@]}"; do kill "$pid" 2>/dev/null; done
  for pid in "${started[@]}"; do wait "$pid" 2>/dev/null; done
  local environ
  while read -r environ; do
    pid="${environ#/proc/}"
    kill "${pid%/environ}" 2>/dev/null
  done < <(grep -lzx "XDG_RUNTIME_DIR=$runtime" /proc/[0-9]*/environ 2>/dev/null)
  rm -rf "$root"
}
trap cleanup EXIT
trap 'exit 1' INT TERM
# A daemon started through this ends when the test's shell does, even when
# that is killed outright (a test runner's time-out) and no trap runs.
guard=()
command -v setpriv >/dev/null && guard=(setpriv --pdeathsig TERM)

# The private home and session: nothing of the caller's desktop leaks in.
home="$root/home"
export HOME="$home"
export XDG_CONFIG_HOME="$home/.config" XDG_DATA_HOME="$home/.local/share"
export XDG_STATE_HOME="$home/.local/state" XDG_CACHE_HOME="$home/.cache"
export XDG_RUNTIME_DIR="$runtime"
mkdir -p "$XDG_CONFIG_HOME" "$XDG_DATA_HOME" "$XDG_STATE_HOME" "$XDG_CACHE_HOME" "$runtime"
chmod 700 "$runtime"
# The test extension is the system's, in a data folder of the test's own: the
# shell asks the extensions website for updates of the user's extensions at
# start, and there is no network to ask.
shell_share="$root/share"
export XDG_DATA_DIRS="$shell_share:$prefix/share:/usr/local/share:/usr/share"
export XDG_CONFIG_DIRS=/etc/xdg
export GSETTINGS_BACKEND=dconf
# No systemd user manager: trovix-setup writes autostart entries, which no
# session manager reads here, so no indexer runs beside the test.
export TROVIX_SYSTEMCTL=false
unset DISPLAY WAYLAND_DISPLAY SESSION_MANAGER DESKTOP_SESSION XDG_CURRENT_DESKTOP \
  XDG_SESSION_TYPE XDG_SESSION_DESKTOP XDG_SESSION_ID XDG_SEAT XDG_VTNR \
  GNOME_SHELL_SESSION_MODE TROVIX_MACHINE_HIVE TROVIX_USER_HIVE
# The shell must start the provider and open the entry's program by the
# absolute paths in the installed files, never through the PATH.
PATH="$(tr ':' '\n' <<<"$PATH" | grep -vxF "$prefix/bin" | paste -sd: -)"
export PATH

xml_escape() { sed -e 's/&/\&amp;/g' -e 's/</\&lt;/g' -e 's/>/\&gt;/g' <<<"$1"; }

# start_bus NAME TYPE SERVICE_FOLDER...: a dbus-daemon that lets anyone do
# anything, listening in the private folder; its address is in NAME.address.
start_bus() {
  local name="$1" type="$2" folder
  shift 2
  {
    echo '<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"'
    echo ' "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">'
    echo "<busconfig><type>$type</type>"
    echo "<listen>unix:path=$(xml_escape "$root/$name.socket")</listen>"
    for folder in "$@"; do echo "<servicedir>$(xml_escape "$folder")</servicedir>"; done
    echo '<policy context="default"><allow user="*"/><allow own="*"/>'
    echo '<allow send_destination="*" eavesdrop="true"/><allow eavesdrop="true"/></policy>'
    echo '</busconfig>'
  } >"$root/$name.conf"
  "${guard[@]}" dbus-daemon --nofork --nopidfile --config-file="$root/$name.conf" \
    --print-address=3 3>"$root/$name.address" 2>>"$root/$name.log" &
  started+=($!)
  local deadline=$((SECONDS + 20))
  # The address is printed once the bus accepts connections.
  until [ -s "$root/$name.address" ]; do
    if [ $SECONDS -ge $deadline ] || ! kill -0 "${started[-1]}" 2>/dev/null; then
      fail "the $type bus did not start: $(cat "$root/$name.log")"
      exit 1
    fi
    sleep 0.1
  done
}

# The session bus starts the provider from the prefix, and dconf, which keeps
# the settings in XDG_CONFIG_HOME, from a copy of its system activation file.
# Nothing else is activatable, so the shell starts no other services.
mkdir -p "$root/services"
cp /usr/share/dbus-1/services/ca.desrt.dconf.service "$root/services/" 2>/dev/null ||
  fail "dconf's D-Bus service is not installed (apt-get install dconf-service)"
start_bus system system
start_bus session session "$prefix/share/dbus-1/services" "$root/services"
DBUS_SYSTEM_BUS_ADDRESS="$(head -n 1 "$root/system.address")"
DBUS_SESSION_BUS_ADDRESS="$(head -n 1 "$root/session.address")"
export DBUS_SYSTEM_BUS_ADDRESS DBUS_SESSION_BUS_ADDRESS

# The suite as a user sets it up: trovix-setup once, then notes indexed.
notes="$home/Notes"
mkdir -p "$notes"
echo "The grey heron waited by the quokkaberry hedge." >"$notes/heron field notes.txt"
echo "Quokkaberry jam, second batch: less sugar." >"$notes/orchard.txt"
echo "Spring tides at the zanderfell jetty." >"$notes/tides.txt"
output="$("$prefix/bin/trovix-setup" 2>&1)" || fail "trovix-setup failed: $output"
output="$("$prefix/bin/trovix" index "$notes" 2>&1)" || fail "trovix index failed: $output"
# One path a line on standard output; a count of matches goes to the terminal.
output="$("$prefix/bin/trovix" search quokkaberry 2>"$root/search.err")" ||
  fail "trovix search failed: $output $(cat "$root/search.err")"
[ "$(sort <<<"$output")" = "$notes/heron field notes.txt
$notes/orchard.txt" ] || fail "trovix search quokkaberry found: $output"

# The test extension turns on org.gnome.Shell.Eval; the settings that enable
# it must land in the private dconf database, not the caller's.
mkdir -p "$shell_share/gnome-shell/extensions"
cp -r "$extension_source" "$shell_share/gnome-shell/extensions/$uuid"
# The first start of a version greets with a modal tour dialog.
version="$(gnome-shell --version | awk '{print $NF}')"
if ! { gsettings set org.gnome.shell disable-user-extensions false &&
  gsettings set org.gnome.shell enabled-extensions "['$uuid']" &&
  gsettings set org.gnome.shell disable-extension-version-validation true &&
  gsettings set org.gnome.shell welcome-dialog-last-shown-version "'$version'"; }; then
  fail "gsettings could not write the shell's settings"
fi
[ "$(gsettings get org.gnome.shell enabled-extensions)" = "['$uuid']" ] ||
  fail "enabled-extensions is $(gsettings get org.gnome.shell enabled-extensions)"
[ -f "$XDG_CONFIG_HOME/dconf/user" ] || fail "the settings did not go to $XDG_CONFIG_HOME/dconf"
if [ "$failures" -gt 0 ]; then
  echo "$failures failure(s) before the shell started"
  exit 1
fi

"${guard[@]}" gnome-shell --headless --wayland --no-x11 --virtual-monitor 1280x800 \
  >"$shell_log" 2>&1 &
shell_pid=$!
started=("$shell_pid" "${started[@]}")

# shell_eval CODE: the JSON of CODE's value in the shell, or nothing (and
# status 1) when the shell does not answer or the code fails.
shell_eval() {
  local reply
  reply="$(gdbus call --session --timeout 10 --dest org.gnome.Shell --object-path /org/gnome/Shell \
    --method org.gnome.Shell.Eval "$1" 2>/dev/null)" || return 1
  sed -n "s/^(true, '\(.*\)')\$/\1/p" <<<"$reply" | grep .
}

# The shell answers Eval once it runs and has enabled the extension; a
# headless start takes 10 to 30 seconds on a small machine.
deadline=$((SECONDS + 120))
until [ "$(shell_eval 'Main.layoutManager._startingUp === false')" = true ]; do
  if ! kill -0 "$shell_pid" 2>/dev/null; then
    fail "gnome-shell exited during start-up; its log:"
    cat "$shell_log"
    exit 1
  fi
  if [ $SECONDS -ge $deadline ]; then
    # Shells from 45 on load extensions as modules, which this one is not.
    fail "gnome-shell $version did not answer org.gnome.Shell.Eval in 120 s" \
      "(the test extension is for 43 and 44); its log:"
    cat "$shell_log"
    exit 1
  fi
  sleep 0.5
done
echo "gnome-shell answered after ${SECONDS} s"

view='Main.overview._overview._controls._searchController._searchResults'
provider="$view._providers.find(p => p.appInfo && p.appInfo.get_id() === '$desktop_id')"
providers="$(shell_eval "$view._providers.map(p => p.appInfo ? p.appInfo.get_id() : p.id)")"
# Other packages' providers are not this test's business.
refused="$(grep -E "(Ignoring|Failed to add) search provider .*org\.trovix" "$shell_log")"
[ -z "$refused" ] || fail "the shell refused the Trovix search provider: $refused"
if ! grep -qF "\"$desktop_id\"" <<<"$providers"; then
  # Nothing to search in: the rest would only repeat this.
  fail "the shell did not load the Trovix search provider; it has: $providers"
  echo "the shell's log:"
  cat "$shell_log"
  exit 1
fi

# search WORD: sets names to the names the overview shows under the Trovix
# provider for WORD, as a JSON list, once every provider has answered.
search() {
  local deadline=$((SECONDS + 20))
  names=""
  # From an empty entry, so each word is a search of its own, not a narrowing
  # of the one before.
  if ! shell_eval "Main.overview.show(); Main.overview.searchEntry.set_text(''); \
    Main.overview.searchEntry.set_text('$1'); true" >/dev/null; then
    fail "the overview did not take the search '$1'"
    return 1
  fi
  until names="$(shell_eval "(() => {
      const view = $view, provider = $provider;
      if (view.searchInProgress || view.terms.join(' ') !== '$1')
        return null;
      return provider.display.visible
        ? provider.display._content.get_children().map(c => c.metaInfo.name) : [];
    })()")" && [ "$names" != null ]; do
    if [ $SECONDS -ge $deadline ]; then
      fail "the overview's search for '$1' did not finish in 20 s"
      return 1
    fi
    sleep 0.2
  done
  echo "$1 shows: $names"
}

# The provider's order is its own: either order of the two is right.
if search quokkaberry; then
  case "$names" in
    '["heron field notes.txt","orchard.txt"]' | '["orchard.txt","heron field notes.txt"]') ;;
    *) fail "the overview shows for quokkaberry: $names" \
      "(wanted heron field notes.txt, orchard.txt)" ;;
  esac
fi
if search zanderfell; then
  if [ "$names" = '["tides.txt"]' ]; then
    # Under the name, the passage that has the word tells why the file is there.
    passages="$(shell_eval \
      "$provider.display._content.get_children().map(c => c.metaInfo.description)")"
    grep -qF zanderfell <<<"$passages" || fail "the overview shows tides.txt with: $passages"
  else
    fail "the overview shows for zanderfell: $names (wanted tides.txt)"
  fi
fi
if search plovermint; then
  [ "$names" = '[]' ] || fail "the overview shows for plovermint, in no file: $names"
fi

# The shell logs each failed call to a provider (one that could not be
# started, a wrong answer) and shows nothing from it.
provider_errors="$(grep -F "search provider $desktop_id:" "$shell_log")"
[ -z "$provider_errors" ] ||
  fail "the shell's calls to the Trovix provider failed: $provider_errors"
# The provider the bus started is the prefix's.
provider_pid="$(gdbus call --session --dest org.freedesktop.DBus \
  --object-path /org/freedesktop/DBus --method org.freedesktop.DBus.GetConnectionUnixProcessID \
  org.trovix.SearchProvider 2>/dev/null |
  sed -n 's/^(uint32 \([0-9]*\),)$/\1/p')"
provider_program="$(readlink "/proc/${provider_pid:-0}/exe")"
[ "$provider_program" = "$prefix/libexec/trovix/trovix-search-provider" ] ||
  fail "org.trovix.SearchProvider is not the prefix's provider:" \
    "process '$provider_pid' runs '$provider_program'"

if [ "$failures" -gt 0 ]; then
  echo "$failures failure(s); the shell's log:"
  cat "$shell_log"
  exit 1
fi
echo "gnome-shell search: all checks passed"
