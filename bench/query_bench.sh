#!/usr/bin/env bash
# The query language measured: whether phrases find exactly the files that
# hold them, how fast the desktop search provider answers a keystroke with
# snippets, and how fast OR, NOT and the filters answer on a large home.
#
#   phrases    the Python 3.11 and PostgreSQL 15 HTML documentation (the corpus
#              of bench/versus_recoll.sh) indexed by `trovix index`; phrases of
#              2-4 consecutive words sampled from its text are searched and
#              compared with bench/query_bench.py's own reading of the files
#   keystroke  GetInitialResultSet + GetResultMetas over a private session bus
#              (bench/provider_bench.cpp) on the index of the generated home,
#              whose files are on disk, so the metas carry snippets
#   filters    OR, NOT, modified:, size: and type: queries on the generated
#              home, each a new process (hyperfine), median of 15 runs
#
# Usage: bench/query_bench.sh [phrases] [keystroke] [filters]   (default: all)
# Environment: TROVIX_RELEASE_BUILD (default build-release), TMPDIR (the work
# folder's parent, default /var/tmp), QUERY_BENCH_FILES (files of the home of
# bench/scale_home.cpp, default 1000000; 15% of them are indexed documents),
# QUERY_BENCH_KEEP=1 (keep the work folder and say where), QUERY_BENCH_REUSE
# (a work folder kept before: its home and index are used again, the build
# installed anew in it), QUERY_BENCH_PHRASES (default 300) and
# QUERY_BENCH_ONE_LETTER (phrases holding a one-letter word, default 90).
set -euo pipefail

STAGES=("$@")
((${#STAGES[@]})) || STAGES=(phrases keystroke filters)
for stage in "${STAGES[@]}"; do
  if [[ ! $stage =~ ^(phrases|keystroke|filters)$ ]]; then
    sed -n '16,24p' "$0" >&2
    exit 2
  fi
done
wants() { [[ " ${STAGES[*]} " == *" $1 "* ]]; }

SRC=$(cd "$(dirname "$0")/.." && pwd)
BUILD=${TROVIX_RELEASE_BUILD:-$SRC/build-release}
HELPER=(python3 "$SRC/bench/query_bench.py")
MEASURE=(python3 "$SRC/bench/measure.py")
FILES=${QUERY_BENCH_FILES:-1000000}
SEED=20260101
START_SECONDS=$SECONDS
LOAD_AT_START=$(cut -d' ' -f1-3 /proc/loadavg)

missing=()
command -v hyperfine >/dev/null || missing+=(hyperfine)
command -v dbus-daemon >/dev/null || missing+=(dbus-daemon)
[[ -d /usr/share/doc/python3.11/html ]] || missing+=(python3.11-doc)
[[ -d /usr/share/doc/postgresql-doc-15/html ]] || missing+=(postgresql-doc-15)
. "$SRC/bench/private_tree.sh"
install_packages "${missing[@]}"

# --- work folder -------------------------------------------------------------------
if [[ -n ${QUERY_BENCH_REUSE:-} ]]; then
  WORK=$(realpath "$QUERY_BENCH_REUSE")
  [[ -d $WORK/scale/home ]] || { echo "$WORK holds no generated home" >&2; exit 1; }
  trap 'echo "kept: $WORK"' EXIT
else
  WORK=$(mktemp -d "${TMPDIR:-/var/tmp}/query-bench.XXXXXX")
  if [[ ${QUERY_BENCH_KEEP:-0} == 1 ]]; then
    trap 'echo "kept: $WORK"' EXIT
  else
    trap 'rm -rf "$WORK"' EXIT
  fi
fi
OUT=$WORK/out
rm -rf "$OUT"
mkdir -p "$OUT"

# --- Trovix, built for release and installed privately -----------------------------
if [[ ! -f $BUILD/CMakeCache.txt ]]; then
  cmake -S "$SRC" -B "$BUILD" -DCMAKE_BUILD_TYPE=Release -DTROVIX_BUILD_TESTS=ON >/dev/null
fi
cmake --build "$BUILD" -j2 --target trovix_installable scale_home provider_bench >/dev/null
PREFIX=$WORK/prefix
env -u TROVIX_MACHINE_HIVE cmake --install "$BUILD" --prefix "$PREFIX" >/dev/null
TROVIX=$PREFIX/bin/trovix
echo "machine: $(nproc) cores, $(lscpu | sed -n 's/^Model name: *//p'), $(free -g | awk '/^Mem:/ {print $2}') GiB; load average $LOAD_AT_START at start"

# --- phrases ---------------------------------------------------------------------------
if wants phrases; then
  CORPUS=$WORK/corpus
  rm -rf "$CORPUS"
  mkdir -p "$CORPUS"
  cp -r /usr/share/doc/python3.11/html "$CORPUS/python3.11-html"
  cp -r /usr/share/doc/postgresql-doc-15/html "$CORPUS/postgresql-doc-15-html"
  CORPUS=$(realpath "$CORPUS")
  tree=$(new_tree)
  in_tree "$tree" "$PREFIX/bin/trovix-setup" >/dev/null
  echo
  echo "== phrases: $(find "$CORPUS" -type f | wc -l) files; $(in_tree "$tree" "$TROVIX" index "$CORPUS" 2>&1 | tail -1)"
  tree_env "$tree"
  "${HELPER[@]}" phrases "$CORPUS" "${QUERY_BENCH_PHRASES:-300}" "${QUERY_BENCH_ONE_LETTER:-90}" \
    -- "${TREE_ENV[@]}" "$TROVIX" search | tee "$OUT/phrases.txt"
  rm -rf "$tree"
fi

# --- the generated home ---------------------------------------------------------------
SCALE=$WORK/scale
HOME_RESULTS=$SCALE/results.txt
value() { awk -v key="$1" '$1 == key {sub(/^[^ ]* /, ""); print}' "$HOME_RESULTS"; }
if wants keystroke || wants filters; then
  if [[ -z ${QUERY_BENCH_REUSE:-} ]]; then
    mkdir -p "$SCALE"/{home,config,data,state,runtime}
    chmod 700 "$SCALE"/*
    : >"$HOME_RESULTS"
    # About 5.5 KB a file on disk and 1 KB of index a file, with room to spare.
    if (($(df -Pk "$WORK" | awk 'NR == 2 {print $4}') < FILES * 10)); then
      echo "not enough room in $WORK for $FILES files" >&2
      exit 1
    fi
    in_tree "$SCALE" "$PREFIX/bin/trovix-setup" >/dev/null
    echo
    echo "generating $FILES files (seed $SEED), file times spread over six years"
    "$BUILD/bench/scale_home" "$SCALE/home" "$FILES" "$SEED" --ages | sed 's/^/home./' \
      >>"$HOME_RESULTS"
    echo "indexing"
    in_tree "$SCALE" "${MEASURE[@]}" run index -- "$TROVIX" index "$SCALE/home" \
      2>"$SCALE/index-stderr.txt" >>"$HOME_RESULTS"
  fi
  DB=$SCALE/data/Quillon/Ordalis.mdb
  echo
  echo "home: $(value home.files) files, $(value home.documents) documents; first index $(value index.wall) s wall: $(value index.stdout); database $((($(stat -c %s "$DB") + $(stat -c %s "$DB-wal" 2>/dev/null || echo 0)) / 1000000)) MB"
fi

# --- keystrokes -------------------------------------------------------------------------
if wants keystroke; then
  "${HELPER[@]}" typed "$SCALE/home" "$OUT/typed.txt" "$OUT/hostile.txt"
  # The provider's caches start cold: the first of the queries only warm it.
  in_tree "$SCALE" "$BUILD/bench/provider_bench" --provider "$PREFIX/libexec/trovix/trovix-search-provider" \
    --queries "$OUT/typed.txt" --hostile "$OUT/hostile.txt" --times "$OUT/keystroke-times.txt" \
    >"$OUT/keystroke.txt"
  key() { awk -v key="$1" '$1 == key {sub(/^[^ ]* /, ""); print}' "$OUT/keystroke.txt"; }
  echo
  echo "== keystroke: the desktop search provider on the index of $(value home.documents) documents"
  grep -v '^[a-z_]*\.[a-z0-9_.]* ' "$OUT/keystroke.txt"
  echo
  echo "| GNOME Shell keystroke (GetInitialResultSet + GetResultMetas) | figure | target |"
  echo "|---|---|---|"
  median=$(key keystroke.median_ms)
  p95=$(key keystroke.p95_ms)
  met=$(awk -v m="$median" -v p="$p95" 'BEGIN {print (m <= 30 && p <= 60) ? "met" : "not met"}')
  echo "| $(key keystroke.queries) typed queries, $(key keystroke.snippets) of $(key keystroke.results) metas with a snippet: median / p95 | $median ms / $p95 ms | ≤ 30 ms / ≤ 60 ms $met |"
  for ((h = 0; ; h++)); do
    [[ -n $(key "hostile.$h.terms") ]] || break
    echo "| hostile \`$(key "hostile.$h.terms")\` ($(key "hostile.$h.results") results, $(key "hostile.$h.snippets") snippets): median / max of 20 | $(key "hostile.$h.median_ms") ms / $(key "hostile.$h.max_ms") ms | — |"
  done
  echo "| service peak resident memory (VmHWM) | $(($(key provider.vmhwm_kb) / 1024)) MiB | — |"
fi

# --- OR, NOT and the filters ---------------------------------------------------------------
if wants filters; then
  word() { value "home.$1" | cut -d' ' -f1; }
  share() { value "home.$1" | awk -v d="$(value home.documents)" '{printf "%.1f%%", 100 * $2 / d}'; }
  common=$(word common) common2=$(word common2) medium=$(word medium) medium2=$(word medium2)
  QUERIES=("$medium OR $medium2" "$common OR $common2" "$medium -$common" "$medium NOT $medium2"
    "$medium modified:7d" "$medium size:>10k" "type:pdf $medium" "type:web $medium"
    "modified:today" "size:>1M" "modified:2024")
  NAMES=("OR, words of $(share medium) and $(share medium2)"
    "OR, words of $(share common) and $(share common2)"
    "NOT, a word of $(share medium) without one of $(share common)"
    "NOT, $(share medium) without $(share medium2)"
    "a word of $(share medium), changed in the last 7 days" "a word of $(share medium), over 10 KiB"
    "PDF files with a word of $(share medium) (the home has none)"
    "web pages with a word of $(share medium)" "filter alone: changed today"
    "filter alone: over 1 MiB" "filter alone: changed in 2024")
  : >"$OUT/filters.txt"
  for n in "${!QUERIES[@]}"; do
    read -ra words <<<"${QUERIES[$n]}"
    # Exit status 1 is "no file found", an answer like any other here.
    count=$(in_tree "$SCALE" "$TROVIX" search "${words[@]}" 2>/dev/null | wc -l) || true
    echo "f$n.count $count" >>"$OUT/filters.txt"
    if ! in_tree "$SCALE" hyperfine -N -i -w 3 -r 15 --export-json "$OUT/q.json" \
      "$TROVIX search ${QUERIES[$n]}" >"$OUT/hyperfine.txt" 2>&1; then
      cat "$OUT/hyperfine.txt" >&2
      exit 1
    fi
    "${HELPER[@]}" time "f$n" "$OUT/q.json" >>"$OUT/filters.txt"
  done
  f() { awk -v key="$1" '$1 == key {print $2}' "$OUT/filters.txt"; }
  echo
  echo "== OR, NOT and filters on the home of $(value home.files) files ($(value home.documents) documents indexed), each a new process printing every file, median of 15 runs"
  echo
  echo "| query | what | files | median / p95 | target |"
  echo "|---|---|---:|---|---|"
  for n in "${!QUERIES[@]}"; do
    median=$(f "f$n.median_ms")
    met=$(awk -v m="$median" 'BEGIN {print (m <= 100) ? "met" : "not met"}')
    echo "| \`${QUERIES[$n]}\` | ${NAMES[$n]} | $(f "f$n.count") | $median ms / $(f "f$n.p95_ms") ms | ≤ 100 ms median $met |"
  done
fi
echo
echo "load average $LOAD_AT_START at start, $(cut -d' ' -f1-3 /proc/loadavg) at end; run time $((SECONDS - START_SECONDS)) s"
