#!/usr/bin/env bash
# Trovix on a synthetic home of FILES files (15% of them text or HTML
# documents, the rest binary or non-indexable, see bench/scale_home.cpp), and
# Recoll on the same home in the same run: the first index of each (wall, CPU,
# peak memory of the indexer and its helpers, index size on disk, bytes
# written), then the median and 95th percentile of one- and two-word queries
# of common and rare words and of a prefix query, each a new process
# (hyperfine). Prints one table with the ratios Trovix / Recoll and the
# targets: the first index in at most half Recoll's wall time, each query in
# at most half Recoll's time and under 50 ms median, at most 3 times its own
# database written and no more than Recoll writes, at most 100 MiB of peak
# memory at 1,000,000 files.
#
# Usage: bench/scale_bench.sh [--recoll | --no-recoll] [FILES [SEED]]
#   FILES defaults to 300000 (try it with 20000), SEED to 20260101. Recoll
#   runs by default below 1,000,000 files; --recoll runs it at any size,
#   --no-recoll measures Trovix alone.
# Environment: TROVIX_RELEASE_BUILD (default build-release), TMPDIR (the work
# folder's parent, default /var/tmp; on a disk, not tmpfs, for the bytes
# written to count), TROVIX_SCALE_KEEP=1 keeps the work folder (home, private
# trees, installed build) for further queries and says where,
# TROVIX_SCALE_ALL_NAMES=1 turns index-all-file-names on first (every file
# catalogued, those no filter reads by their names; Recoll then indexes the
# names of the files it does not read too), to measure its cost.
#
# Fairness: each tool indexes in a fresh private tree (bench/private_tree.sh)
# whose HOME is the generated home, so that the folders both skip under HOME
# (~/.cache) are the same folders; the home moves from one tree to the other
# (a rename: the same files, still in the page cache). Trovix runs first. The
# disk is synced before each first index, so neither pays for the other's
# write-back. Recoll reads only the types Trovix reads, without stemming or
# spelling data, and tells file types by suffix alone, as Trovix does.
set -euo pipefail

usage() {
  sed -n '/^# Usage:/,/^# Environment:/p' "$0" | sed '$d' >&2
  exit 2
}
FILES='' SEED='' RECOLL=''
for argument in "$@"; do
  case $argument in
    --recoll) RECOLL=1 ;;
    --no-recoll) RECOLL=0 ;;
    *[!0-9]* | '') usage ;;
    *) if [[ -z $FILES ]]; then FILES=$argument; elif [[ -z $SEED ]]; then SEED=$argument; else usage; fi ;;
  esac
done
FILES=${FILES:-300000}
SEED=${SEED:-20260101}
((FILES >= 100)) || usage
if [[ -z $RECOLL ]]; then
  RECOLL=$((FILES < 1000000 ? 1 : 0))
fi

SRC=$(cd "$(dirname "$0")/.." && pwd)
BUILD=${TROVIX_RELEASE_BUILD:-$SRC/build-release}
MEASURE=(python3 "$SRC/bench/measure.py")
START_SECONDS=$SECONDS
LOAD_AT_START=$(cut -d' ' -f1-3 /proc/loadavg)
# shellcheck source=bench/private_tree.sh
. "$SRC/bench/private_tree.sh"
missing=()
command -v hyperfine >/dev/null || missing+=(hyperfine)
((RECOLL)) && ! command -v recollindex >/dev/null && missing+=(recollcmd)
install_packages "${missing[@]}"

# About 5.5 KB a file on disk and 1 KB of index a file, with room to spare;
# Recoll's index takes less than 3 KB more a file.
PARENT=${TMPDIR:-/var/tmp}
NEEDED_KIB=$((FILES * (RECOLL ? 13 : 10)))
df -h "$PARENT"
AVAILABLE_KIB=$(df -Pk "$PARENT" | awk 'NR == 2 {print $4}')
if ((AVAILABLE_KIB < NEEDED_KIB)); then
  echo "not enough room in $PARENT: $((NEEDED_KIB / 1048576)) GiB needed" >&2
  exit 1
fi

WORK=$(mktemp -d "$PARENT/scale-bench.XXXXXX")
if [[ ${TROVIX_SCALE_KEEP:-0} == 1 ]]; then
  trap 'echo "kept: $WORK"' EXIT
else
  trap 'rm -rf "$WORK"' EXIT
fi
if [[ $(stat -f -c %T "$WORK") == tmpfs ]]; then
  echo "warning: $WORK is on tmpfs; bytes written will read 0" >&2
fi
RESULTS=$WORK/results.txt
: >"$RESULTS"
record files "$FILES"
record seed "$SEED"
record recoll "$RECOLL"

if [[ ! -f $BUILD/CMakeCache.txt ]]; then
  cmake -S "$SRC" -B "$BUILD" -DCMAKE_BUILD_TYPE=Release -DTROVIX_BUILD_TESTS=ON >/dev/null
fi
cmake --build "$BUILD" -j2 --target trovix_installable scale_home >/dev/null
PREFIX=$WORK/prefix
env -u TROVIX_MACHINE_HIVE cmake --install "$BUILD" --prefix "$PREFIX" >/dev/null
TROVIX=$PREFIX/bin/trovix

T_TREE=$(new_tree)
in_tree "$T_TREE" "$PREFIX/bin/trovix-setup" >/dev/null
ALL_NAMES=${TROVIX_SCALE_ALL_NAMES:-0}
[[ $ALL_NAMES == 1 ]] || ALL_NAMES=0
record all_names "$ALL_NAMES"
if ((ALL_NAMES)); then
  in_tree "$T_TREE" "$TROVIX" config set index-all-file-names 1 >/dev/null
fi

echo "generating $FILES files (seed $SEED)"
"$BUILD/bench/scale_home" "$T_TREE/home" "$FILES" "$SEED" | sed 's/^/home./' >>"$RESULTS"
# The value recorded for a key: the rest of its line.
value() { awk -v key="$1" '$1 == key {sub(/^[^ ]* /, ""); print}' "$RESULTS"; }
du -sh "$T_TREE/home"

# The prefix query: the longest beginning of the 30% word, of 3 letters at
# least, that begins 5 or more of the documents' words. Reading every
# document for it also leaves them all in the page cache for both tools.
word() { value "home.$1" | cut -d' ' -f1; }
COMMON=$(word common)
STEM=${COMMON:0:3} STEM_WORDS=0
find "$T_TREE/home" -type f \( -name '*.txt' -o -name '*.md' -o -name '*.htm' -o -name '*.html' \
  -o -name '*.c' -o -name '*.h' -o -name '*.cpp' -o -name '*.py' \) -print0 >"$WORK/documents"
{ xargs -0 grep -ohiw "${COMMON:0:3}[[:alpha:]]*" <"$WORK/documents" || true; } |
  tr '[:upper:]' '[:lower:]' | sort -u >"$WORK/prefix-words"
for ((length = ${#COMMON} - 1; length >= 3; length--)); do
  STEM=${COMMON:0:length}
  STEM_WORDS=$(grep -c "^$STEM" "$WORK/prefix-words" || true)
  if ((STEM_WORDS >= 5)); then break; fi
done

# Recoll reads plain text and, when the home has web pages and Recoll reads
# them itself (no helper program), HTML. The source files Trovix reads as
# plain text Recoll would otherwise hand to other readers (a Python helper
# for .py), so its private mime map names them text/plain.
RECOLL_TYPES=text/plain
RECOLL_READS="text/plain (.txt, .md, and .c .h .cpp .py mapped to it as Trovix reads them)"
if grep -qzE '\.html?$' "$WORK/documents" &&
  grep -qE '^text/html *= *internal' /usr/share/recoll/examples/mimeconf 2>/dev/null; then
  RECOLL_TYPES+=" text/html"
  RECOLL_READS+=" and text/html (.html, .htm: Recoll's own HTML reader, no helper)"
else
  RECOLL_READS+="; no HTML (none in the home, or Recoll needs a helper for it)"
fi
record recoll_reads "$RECOLL_READS"

echo "indexing with Trovix"
sync -f "$T_TREE/home"
in_tree "$T_TREE" "${MEASURE[@]}" run trovix.index -- "$TROVIX" index "$T_TREE/home" \
  2>"$WORK/trovix-index-stderr.txt" >>"$RESULTS"
record trovix.size "$(trovix_size "$T_TREE")"

# Each query word is recorded with the number of documents that hold it.
QUERIES=("$(word common)" "$(word common2)" "$(word medium)" "$(word rare)"
  "$(word common) $(word common2)" "$(word medium) $(word medium2)" "$(word rare) $(word rare2)"
  "$(word rare_common) $(word rare)" "$STEM*")
NAMES=("one common word (30% of documents)" "one common word (15%)" "one word of 5%"
  "one rare word" "two common words (30%, 15%)" "two words of 5% and 2.5%" "two rare words"
  "a common and a rare word" "a prefix of the 30% word ($STEM_WORDS words)")
# The queries Recoll is timed on too.
COMPARED=(0 4 8)
for n in "${!QUERIES[@]}"; do
  record "q$n.query" "${QUERIES[$n]}"
  record "q$n.name" "${NAMES[$n]}"
done
for n in "${COMPARED[@]}"; do record "q$n.compared" 1; done
record common_query 0
for n in "${!QUERIES[@]}"; do
  echo "Trovix query: ${QUERIES[$n]}"
  read -ra words <<<"${QUERIES[$n]}"
  record "trovix.q$n.count" "$(trovix_count "$T_TREE" "${words[@]}")"
  time_query "$T_TREE" "trovix.q$n" "$TROVIX search ${QUERIES[$n]}"
done

if ((RECOLL)); then
  R_TREE=$(new_tree)
  rmdir "$R_TREE/home"
  mv "$T_TREE/home" "$R_TREE/home"
  # Files are told apart by suffix alone (no `file` or xdg-mime run on the
  # others), compressed files are not unpacked to look inside, the types
  # Trovix does not read are skipped whole, and the default skipped names
  # (.cache, .git, __pycache__ and the like) stand, as Trovix's own defaults
  # skip the same folders of this home.
  write_recoll_conf "$R_TREE" "$R_TREE/home" "$RECOLL_TYPES" "usesystemfilecommand = 0" \
    "compressedfilemaxkbs = 0" "indexallfilenames = $ALL_NAMES"
  printf '%s = text/plain\n' .c .h .cpp .py >"$R_TREE/recoll/mimemap"
  echo "indexing with Recoll"
  sync -f "$R_TREE/home"
  in_tree "$R_TREE" "${MEASURE[@]}" run recoll.index -- recollindex -c "$R_TREE/recoll" \
    2>"$WORK/recoll-index-stderr.txt" >>"$RESULTS"
  if [[ $(value recoll.index.status) != 0 ]]; then
    tail -n 20 "$WORK/recoll-index-stderr.txt" >&2
  fi
  record recoll.size "$(recoll_size "$R_TREE")"
  # Recoll lists there the helper programs it lacked for some file.
  record recoll.missing "$(tr '\n' ' ' <"$R_TREE/recoll/missing" 2>/dev/null || true)"
  for n in "${COMPARED[@]}"; do
    echo "Recoll query: ${QUERIES[$n]}"
    read -ra words <<<"${QUERIES[$n]}"
    record "recoll.q$n.count" "$(recoll_count "$R_TREE" "${words[@]}")"
    time_query "$R_TREE" "recoll.q$n" "recollq -c $R_TREE/recoll -b -n 0 ${QUERIES[$n]}"
  done
  # Trovix's tree gets its home back, for further queries in a kept folder,
  # without the state Recoll left in it.
  rm -rf "$R_TREE/home/.config/Recoll.org"
  mv "$R_TREE/home" "$T_TREE/home"
fi

record machine "$(nproc) cores, $(lscpu | sed -n 's/^Model name: *//p'), $(free -g | awk '/^Mem:/ {print $2}') GiB"
record load "$LOAD_AT_START at start, $(cut -d' ' -f1-3 /proc/loadavg) at end"
echo
python3 "$SRC/bench/scale_table.py" "$RESULTS"
echo "run time: $((SECONDS - START_SECONDS)) s"
