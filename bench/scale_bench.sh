#!/usr/bin/env bash
# Trovix on a synthetic home of FILES files (default 1,000,000; 15% of them
# text or HTML documents, the rest binary or non-indexable, see
# bench/scale_home.cpp): generation time, the first `trovix index` of the home,
# the database size, and the median and 95th percentile of one- and two-word
# queries of common and rare words, each a new process (hyperfine). Target:
# every query under 50 ms median.
#
# Usage: bench/scale_bench.sh [FILES [SEED]]     (try it with 20000)
# Environment: TROVIX_RELEASE_BUILD (default build-release), TMPDIR (the work
# folder's parent, default /var/tmp), TROVIX_SCALE_KEEP=1 keeps the work folder
# (home, private tree, installed build) for further queries and says where,
# TROVIX_SCALE_ALL_NAMES=1 turns index-all-file-names on first (every file
# catalogued, those no filter reads by their names), to measure its cost.
set -euo pipefail

FILES=${1:-1000000}
SEED=${2:-20260101}
if ! [[ $FILES =~ ^[0-9]+$ && $SEED =~ ^[0-9]+$ ]] || ((FILES < 100)); then
  sed -n '9,14p' "$0" >&2
  exit 2
fi
SRC=$(cd "$(dirname "$0")/.." && pwd)
BUILD=${TROVIX_RELEASE_BUILD:-$SRC/build-release}
MEASURE=(python3 "$SRC/bench/measure.py")
START_SECONDS=$SECONDS
command -v hyperfine >/dev/null ||
  { echo "hyperfine is missing (apt-get install hyperfine)" >&2; exit 1; }

# About 5.5 KB a file on disk and 1 KB of index a file, with room to spare.
PARENT=${TMPDIR:-/var/tmp}
NEEDED_KIB=$((FILES * 10))
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
RESULTS=$WORK/results.txt
: >"$RESULTS"

if [[ ! -f $BUILD/CMakeCache.txt ]]; then
  cmake -S "$SRC" -B "$BUILD" -DCMAKE_BUILD_TYPE=Release -DTROVIX_BUILD_TESTS=ON >/dev/null
fi
cmake --build "$BUILD" -j2 --target trovix_installable scale_home >/dev/null
PREFIX=$WORK/prefix
env -u TROVIX_MACHINE_HIVE cmake --install "$BUILD" --prefix "$PREFIX" >/dev/null
TROVIX=$PREFIX/bin/trovix

TREE=$WORK/tree
mkdir -p "$TREE"/{home,config,data,state,runtime}
chmod 700 "$TREE"/*
in_tree() {
  env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM -u TROVIX_MACHINE_HIVE -u TROVIX_USER_HIVE \
    HOME="$TREE/home" XDG_CONFIG_HOME="$TREE/config" XDG_DATA_HOME="$TREE/data" \
    XDG_STATE_HOME="$TREE/state" XDG_RUNTIME_DIR="$TREE/runtime" "$@"
}
in_tree "$PREFIX/bin/trovix-setup" >/dev/null
ALL_NAMES=${TROVIX_SCALE_ALL_NAMES:-0}
if [[ $ALL_NAMES == 1 ]]; then
  in_tree "$TROVIX" config set index-all-file-names 1 >/dev/null
fi

echo "generating $FILES files (seed $SEED)"
"$BUILD/bench/scale_home" "$TREE/home" "$FILES" "$SEED" | sed 's/^/home./' >>"$RESULTS"
# The value recorded for a key: the rest of its line.
value() { awk -v key="$1" '$1 == key {sub(/^[^ ]* /, ""); print}' "$RESULTS"; }
du -sh "$TREE/home"
# The index is built from a cold page cache only if the caller dropped it;
# the generator has just written the files, so most are in memory.
echo "indexing"
in_tree "${MEASURE[@]}" run index -- "$TROVIX" index "$TREE/home" 2>"$WORK/index-stderr.txt" \
  >>"$RESULTS"
DB=$TREE/data/Quillon/Ordalis.mdb
echo "db.size $(($(stat -c %s "$DB") + $(stat -c %s "$DB-wal" 2>/dev/null || echo 0)))" >>"$RESULTS"

# Each query word is recorded with the number of documents that hold it.
word() { value "home.$1" | cut -d' ' -f1; }
QUERIES=("$(word common)" "$(word common2)" "$(word medium)" "$(word rare)"
  "$(word common) $(word common2)" "$(word medium) $(word medium2)" "$(word rare) $(word rare2)"
  "$(word rare_common) $(word rare)")
NAMES=("one common word (30% of documents)" "one common word (15%)" "one word of 5%"
  "one rare word" "two common words (30%, 15%)" "two words of 5% and 2.5%" "two rare words"
  "a common and a rare word")
for n in "${!QUERIES[@]}"; do
  echo "query: ${QUERIES[$n]}"
  read -ra words <<<"${QUERIES[$n]}"
  echo "q$n.count $(in_tree "$TROVIX" search "${words[@]}" 2>/dev/null | wc -l)" >>"$RESULTS"
  if ! in_tree hyperfine -N -w 3 -r 15 --export-json "$WORK/q.json" \
    "$TROVIX search ${QUERIES[$n]}" >"$WORK/hyperfine.txt" 2>&1; then
    cat "$WORK/hyperfine.txt" >&2
    exit 1
  fi
  python3 - "$WORK/q.json" "q$n" >>"$RESULTS" <<'EOF'
import json, sys
times = sorted(json.load(open(sys.argv[1]))["results"][0]["times"])
median = times[len(times) // 2] if len(times) % 2 else sum(times[len(times) // 2 - 1 : len(times) // 2 + 1]) / 2
p95 = times[min(len(times) - 1, round(0.95 * (len(times) - 1)))]
print(f"{sys.argv[2]}.median_ms {median * 1000:.1f}\n{sys.argv[2]}.p95_ms {p95 * 1000:.1f}")
EOF
done

echo
echo "machine: $(nproc) cores, $(lscpu | sed -n 's/^Model name: *//p'), $(free -g | awk '/^Mem:/ {print $2}') GiB"
printf 'home: %s files, %s documents (%s MB of text), %s MB of other files; seed %s\n' \
  "$FILES" "$(value home.documents)" "$(($(value home.document_bytes) / 1000000))" \
  "$(($(value home.other_bytes) / 1000000))" "$SEED"
echo
echo "| measure | Trovix | target |"
echo "|---|---|---|"
echo "| index-all-file-names | $ALL_NAMES | — |"
echo "| generation of the home | $(value home.seconds) s | — |"
echo "| \`trovix index\` first scan: wall (CPU) | $(value index.wall) s ($(value index.cpu) s) | — |"
echo "| \`trovix index\` summary | $(value index.stdout) | — |"
echo "| \`trovix index\` peak memory, bytes written | $(($(value index.peak_kib) / 1024)) MiB, $(($(value index.written) / 1000000)) MB | — |"
echo "| database size | $(($(value db.size) / 1000000)) MB | — |"
for n in "${!QUERIES[@]}"; do
  median=$(value "q$n.median_ms")
  met=$(awk -v m="$median" 'BEGIN {print (m < 50) ? "met" : "not met"}')
  echo "| query, ${NAMES[$n]} \`${QUERIES[$n]}\` ($(value "q$n.count") files): median / p95 | $median ms / $(value "q$n.p95_ms") ms | < 50 ms median $met |"
done
echo "run time: $((SECONDS - START_SECONDS)) s"
