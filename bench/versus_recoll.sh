#!/usr/bin/env bash
# Trovix against Recoll, a desktop search tool of another design, on the same
# corpus and the same machine: full indexes, re-indexing after a few changes,
# queries of words and of phrases, snippets, a query while an index is built,
# the indexer's first scan and save-to-found; prints one table with the targets.
#
# Usage: bench/versus_recoll.sh [--quick]     (--quick: one run of each instead of three)
# Environment: TROVIX_RELEASE_BUILD (default build-release), TMPDIR (the work
# folder's parent, default /var/tmp; it must be on a disk, not tmpfs, for the
# bytes written to be counted).
#
# Fairness: every run of either tool starts in a fresh private tree (HOME and
# the XDG folders, RECOLL_CONFDIR); runs alternate between the tools so that
# the page cache and the machine's other load treat both alike; both index the
# same copy of the corpus after it was read once; both are measured by the
# same harness (bench/measure.py).
set -euo pipefail

RUNS=3
if [[ ${1:-} == --quick ]]; then
  RUNS=1
elif [[ $# -gt 0 ]]; then
  sed -n '7,10p' "$0" >&2
  exit 2
fi

SRC=$(cd "$(dirname "$0")/.." && pwd)
BUILD=${TROVIX_RELEASE_BUILD:-$SRC/build-release}
MEASURE=(python3 "$SRC/bench/measure.py")
START_SECONDS=$SECONDS
# Other work on the machine skews every figure; the table shows the load.
LOAD_AT_START=$(cut -d' ' -f1-3 /proc/loadavg)

# --- packages ---------------------------------------------------------------
missing=()
command -v recollindex >/dev/null || missing+=(recollcmd)
command -v hyperfine >/dev/null || missing+=(hyperfine)
[[ -d /usr/share/doc/python3.11/html ]] || missing+=(python3.11-doc)
[[ -d /usr/share/doc/postgresql-doc-15/html ]] || missing+=(postgresql-doc-15)
. "$SRC/bench/private_tree.sh"
install_packages "${missing[@]}"

# --- work folder and its clean-up --------------------------------------------
WORK=$(mktemp -d "${TMPDIR:-/var/tmp}/versus-recoll.XXXXXX")
KESTINE_PID=
cleanup() {
  if [[ -n $KESTINE_PID ]]; then
    kill "$KESTINE_PID" 2>/dev/null || true
    wait "$KESTINE_PID" 2>/dev/null || true
  fi
  rm -rf "$WORK"
}
trap cleanup EXIT
if [[ $(stat -f -c %T "$WORK") == tmpfs ]]; then
  echo "warning: $WORK is on tmpfs; bytes written will read 0" >&2
fi
RESULTS=$WORK/results.txt
: >"$RESULTS"

# --- Trovix, built for release and installed privately -----------------------
if [[ ! -f $BUILD/CMakeCache.txt ]]; then
  cmake -S "$SRC" -B "$BUILD" -DCMAKE_BUILD_TYPE=Release -DTROVIX_BUILD_TESTS=ON >/dev/null
fi
cmake --build "$BUILD" -j2 --target trovix_installable >/dev/null
PREFIX=$WORK/prefix
env -u TROVIX_MACHINE_HIVE cmake --install "$BUILD" --prefix "$PREFIX" >/dev/null
TROVIX=$PREFIX/bin/trovix

# --- corpus -------------------------------------------------------------------
CORPUS=$WORK/corpus
TXT_CORPUS=$WORK/corpus-txt
mkdir -p "$CORPUS" "$TXT_CORPUS"
cp -r /usr/share/doc/python3.11/html "$CORPUS/python3.11-html"
cp -r /usr/share/doc/postgresql-doc-15/html "$CORPUS/postgresql-doc-15-html"
(cd "$CORPUS" && find . -type f -name '*.txt' -exec cp --parents {} "$TXT_CORPUS" \;)
CORPUS=$(realpath "$CORPUS")
TXT_CORPUS=$(realpath "$TXT_CORPUS")
# Read once, so that neither tool's first run pays for a cold cache.
find "$CORPUS" "$TXT_CORPUS" -type f -exec cat {} + >/dev/null
describe() {
  printf '%s files, %s MB' "$(find "$1" -type f | wc -l)" "$(du -sm --apparent-size "$1" | cut -f1)"
}
echo "corpus: $(describe "$CORPUS") (txt only: $(describe "$TXT_CORPUS"))"

# --- private trees --------------------------------------------------------------
trovix_tree() {
  local tree
  tree=$(new_tree)
  in_tree "$tree" "$PREFIX/bin/trovix-setup" >/dev/null
  echo "$tree"
}
# Recoll indexes the same two types, so both tools do the same work.
recoll_tree() {
  local tree
  tree=$(new_tree)
  write_recoll_conf "$tree" "$1" "text/plain text/html"
  echo "$tree"
}

# --- full indexes, the tools taking turns -----------------------------------------
declare -A KEEP
for corpus in all txt; do
  folder=$CORPUS
  [[ $corpus == txt ]] && folder=$TXT_CORPUS
  for ((run = 1; run <= RUNS; run++)); do
    echo "full index, $corpus, run $run of $RUNS"
    tree=$(trovix_tree)
    in_tree "$tree" "${MEASURE[@]}" run "trovix.$corpus.$run" -- "$TROVIX" index "$folder" \
      2>"$tree/stderr.txt" >>"$RESULTS"
    record "trovix.$corpus.$run.size" "$(trovix_size "$tree")"
    KEEP[trovix.$corpus]=$tree
    tree=$(recoll_tree "$folder")
    in_tree "$tree" "${MEASURE[@]}" run "recoll.$corpus.$run" -- recollindex -c "$tree/recoll" \
      2>"$tree/stderr.txt" >>"$RESULTS"
    record "recoll.$corpus.$run.size" "$(recoll_size "$tree")"
    KEEP[recoll.$corpus]=$tree
  done
done
# Only the last trees of the whole corpus are used further.
for tree in "$WORK"/tree.*; do
  [[ $tree == "${KEEP[trovix.all]}" || $tree == "${KEEP[recoll.all]}" ]] || rm -rf "$tree"
done
T_TREE=${KEEP[trovix.all]}
R_TREE=${KEEP[recoll.all]}

# --- re-index after changing 10 files ----------------------------------------------
# Each round changes 10 files and both tools index that same change, so
# neither sees the other's edits as extra work; the order alternates.
mapfile -t DOCUMENTS < <(find "$CORPUS" -type f \( -name '*.html' -o -name '*.txt' \) | sort)
for ((round = 1; round <= RUNS; round++)); do
  echo "re-index after 10 changes, round $round of $RUNS"
  for ((k = 0; k < 10; k++)); do
    file=${DOCUMENTS[$(((round * 7919 + k * 211) % ${#DOCUMENTS[@]}))]}
    echo "<p>edited in round $round: revisionmark$round$k</p>" >>"$file"
  done
  trovix_reindex() {
    in_tree "$T_TREE" "${MEASURE[@]}" run "trovix.inc.$round" -- "$TROVIX" index "$CORPUS" \
      2>>"$T_TREE/stderr.txt" >>"$RESULTS"
  }
  recoll_reindex() {
    in_tree "$R_TREE" "${MEASURE[@]}" run "recoll.inc.$round" -- recollindex -c "$R_TREE/recoll" \
      2>>"$R_TREE/stderr.txt" >>"$RESULTS"
  }
  if ((round % 2)); then trovix_reindex && recoll_reindex; else recoll_reindex && trovix_reindex; fi
done

# --- queries, each a new process ---------------------------------------------------
QUERIES=("function" "thread lock" "serializ*" "pg_stat_statements")
for n in "${!QUERIES[@]}"; do
  query=${QUERIES[$n]}
  echo "query: $query"
  record "q$n.label" "$query"
  read -ra words <<<"$query"
  record "trovix.q$n.count" "$(trovix_count "$T_TREE" "${words[@]}")"
  record "recoll.q$n.count" "$(recoll_count "$R_TREE" "${words[@]}")"
  time_query "$T_TREE" "trovix.q$n" "$TROVIX search $query"
  time_query "$R_TREE" "recoll.q$n" "recollq -c $R_TREE/recoll -b -n 0 $query"
done

# Phrases, each tool's own phrase query: the words next to each other, in order.
PHRASES=("for example" "return value" "the default value")
for n in "${!PHRASES[@]}"; do
  phrase=${PHRASES[$n]}
  echo "phrase: \"$phrase\""
  record "p$n.label" "\"$phrase\""
  record "trovix.p$n.count" "$(trovix_count "$T_TREE" "\"$phrase\"")"
  record "recoll.p$n.count" "$(recoll_count "$R_TREE" "\"$phrase\"")"
  time_query "$T_TREE" "trovix.p$n" "$TROVIX search '\"$phrase\"'"
  time_query "$R_TREE" "recoll.p$n" "recollq -c $R_TREE/recoll -b -n 0 '\"$phrase\"'"
done

# Snippets of the first 20 files for a word of about 1,300 files. Recoll's
# nearest is 2 snippets (-A -p 2, as many as Trovix shows) of each of its
# first 20 results; it then lists only those 20, where Trovix lists every
# file.
SNIPPET_WORD=function
echo "snippets: $SNIPPET_WORD"
record snippets.label "$SNIPPET_WORD"
record trovix.snippets.count "$(trovix_count "$T_TREE" "$SNIPPET_WORD")"
record trovix.snippets.shown \
  "$(in_tree "$T_TREE" "$TROVIX" search --json "$SNIPPET_WORD" 2>/dev/null | grep -c '"snippet":\[{' || true)"
time_query "$T_TREE" trovix.snippets "$TROVIX search --snippets $SNIPPET_WORD"
time_query "$R_TREE" recoll.snippets "recollq -c $R_TREE/recoll -A -p 2 -n 20 $SNIPPET_WORD"

# --- a query while a first index is built -----------------------------------------
median_of() {
  grep -E "^$1\.[0-9]+\.wall " "$RESULTS" | cut -d' ' -f2 | sort -g |
    awk '{v[NR] = $1} END {print v[int((NR + 1) / 2)]}'
}
echo "queries while indexing"
tree=$(trovix_tree)
in_tree "$tree" "${MEASURE[@]}" during trovix.during 50 \
  "$(awk -v s="$(median_of trovix.all)" 'BEGIN {print s / 50}')" \
  "$TROVIX" index "$CORPUS" -- "$TROVIX" search function >>"$RESULTS"
rm -rf "$tree"
tree=$(recoll_tree "$CORPUS")
in_tree "$tree" "${MEASURE[@]}" during recoll.during 50 \
  "$(awk -v s="$(median_of recoll.all)" 'BEGIN {print s / 50}')" \
  recollindex -c "$tree/recoll" -- recollq -c "$tree/recoll" -b -n 0 function >>"$RESULTS"
rm -rf "$tree"

# --- the indexer's first scan, then save to found while it runs --------------------
# Points a tree's indexer at the corpus (the hive is plain text while no
# Trovix program runs).
set_index_root() {
  local hive=$1/config/Quillon/user.reg
  local key='[HKEY_CURRENT_USER\Software\Quillon\Trovix\Kestine]'
  local roots="\"Index Roots\"=multi_sz:\"$2\""
  if grep -qxF "$key" "$hive"; then
    # ENVIRON, unlike -v, takes the backslashes as they are.
    KEY=$key LINE=$roots awk '{print} $0 == ENVIRON["KEY"] {print ENVIRON["LINE"]}' "$hive" \
      >"$hive.new"
    mv "$hive.new" "$hive"
  else
    printf '\n%s\n%s\n' "$key" "$roots" >>"$hive"
  fi
}
stop_kestine() {
  kill "$KESTINE_PID"
  wait "$KESTINE_PID" || true
  KESTINE_PID=
}
for ((run = 1; run <= RUNS; run++)); do
  echo "kestine: first scan, run $run of $RUNS"
  tree=$(trovix_tree)
  set_index_root "$tree" "$CORPUS"
  tree_env "$tree"
  "${TREE_ENV[@]}" "$PREFIX/bin/kestine" >/dev/null 2>"$tree/kestine-stderr.txt" &
  KESTINE_PID=$!
  # The scanner looks at its roots some seconds after start-up; the scan is
  # timed from its start record to its completion record.
  in_tree "$tree" "${MEASURE[@]}" scan "kestine.$run" "$tree/config/Quillon/user.reg" "$CORPUS" \
    >>"$RESULTS"
  if ((run == RUNS)); then
    echo "kestine: save to found"
    in_tree "$tree" "${MEASURE[@]}" saves save 20 "$CORPUS/saved-notes" "$TROVIX" search \
      >>"$RESULTS"
  fi
  stop_kestine
  rm -rf "$tree" "$CORPUS/saved-notes"
done

record machine "$(nproc) cores, $(lscpu | sed -n 's/^Model name: *//p'), $(free -g | awk '/^Mem:/ {print $2}') GiB"
record runs "$RUNS"
record load "$LOAD_AT_START at start, $(cut -d' ' -f1-3 /proc/loadavg) at end"
python3 "$SRC/bench/versus_table.py" "$RESULTS"
KEPT=${TMPDIR:-/var/tmp}/versus-recoll-results.txt
cp "$RESULTS" "$KEPT"
echo "raw figures: $KEPT"
echo "run time: $((SECONDS - START_SECONDS)) s"
