# shellcheck shell=bash
# Private trees for benchmark runs, sourced by the scripts that compare
# Trovix with Recoll, and the steps those scripts share. Each run of either
# tool gets a tree of its own under $WORK: HOME, the XDG folders and the
# Recoll configuration folder, so that no run sees the user's index, settings
# or another run's files.
#
# The measuring helpers (record, time_query) append to $RESULTS and run
# "${MEASURE[@]}" (bench/measure.py); the counting helpers run $TROVIX.

# A fresh tree for one run; prints its folder.
new_tree() {
  local tree
  tree=$(mktemp -d "$WORK/tree.XXXXXX")
  mkdir -p "$tree"/{home,config,data,state,runtime,recoll}
  chmod 700 "$tree"/*
  echo "$tree"
}
# The environment of a tree: its HOME, XDG folders and Recoll configuration,
# no display. A command run as "${TREE_ENV[@]}" cmd & keeps the pid $! (env
# execs it), so it can be stopped by that pid.
tree_env() {
  TREE_ENV=(env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM -u TROVIX_MACHINE_HIVE
    -u TROVIX_USER_HIVE HOME="$1/home" XDG_CONFIG_HOME="$1/config" XDG_DATA_HOME="$1/data"
    XDG_STATE_HOME="$1/state" XDG_RUNTIME_DIR="$1/runtime" RECOLL_CONFDIR="$1/recoll")
}
# Runs a command in a tree's environment.
in_tree() {
  tree_env "$1"
  shift
  "${TREE_ENV[@]}" "$@"
}
# Installs the Debian packages named (none: nothing), with sudo when not root.
install_packages() {
  (($#)) || return 0
  local sudo=()
  ((EUID == 0)) || sudo=(sudo)
  "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -o DPkg::Lock::Timeout=600 "$@"
}

# Recoll's configuration in a tree: TREE TOPDIR MIMETYPES [LINE...]. Recoll
# keeps its defaults otherwise (case and accents folded, CJK n-grams) but
# does not stem, as Trovix does not, and builds no spelling data; each LINE
# is a further recoll.conf line.
write_recoll_conf() {
  local tree=$1 topdir=$2 types=$3
  shift 3
  {
    echo "topdirs = $topdir"
    echo "indexedmimetypes = $types"
    echo "indexstemminglanguages ="
    echo "noaspell = 1"
    if (($#)); then printf '%s\n' "$@"; fi
  } >"$tree/recoll/recoll.conf"
}
# Bytes on disk of a tree's Trovix database, its write-ahead log included.
trovix_size() {
  local db=$1/data/Quillon/Ordalis.mdb
  echo $(($(stat -c %s "$db") + $(stat -c %s "$db-wal" 2>/dev/null || echo 0)))
}
# Bytes on disk of a tree's Recoll index, its Xapian folder.
recoll_size() { du -sb "$1/recoll/xapiandb" | cut -f1; }

# Files a query finds in a tree: TREE WORD... Both tools print one file a
# line (Recoll with -b, as URLs, and every one with -n 0).
trovix_count() {
  local tree=$1
  shift
  { in_tree "$tree" "$TROVIX" search "$@" 2>/dev/null || true; } | wc -l
}
recoll_count() {
  local tree=$1
  shift
  { in_tree "$tree" recollq -c "$tree/recoll" -b -n 0 "$@" 2>/dev/null || true; } |
    grep -c '^file://' || true
}

# Appends `KEY VALUE` to the results.
record() { echo "$1 $2" >>"$RESULTS"; }
# Times one query command line in a tree's environment, a new process each
# time (15 runs after 3 warm-ups): TREE KEY COMMAND records KEY.median_ms and
# KEY.p95_ms. hyperfine -N splits COMMAND at spaces and expands no pattern,
# so `word*` reaches the tool as it is.
time_query() {
  if ! in_tree "$1" hyperfine -N -w 3 -r 15 --export-json "$WORK/q.json" "$3" \
    >"$WORK/hyperfine.txt" 2>&1; then
    cat "$WORK/hyperfine.txt" >&2
    exit 1
  fi
  "${MEASURE[@]}" hyperfine "$2" "$WORK/q.json" >>"$RESULTS"
}
