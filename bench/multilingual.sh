#!/usr/bin/env bash
# Whether Trovix finds words of many languages, against Recoll, on real text:
# Debian's translated manual pages in Japanese, Chinese (simplified and
# traditional), French, German, Spanish and Portuguese, one folder each.
# Words sampled from the text are asked as written, upper-cased and without
# their accents, CJK text as pieces of two and three characters, and numbers;
# the relevant files come from bench/multilingual.py's own reading of the
# text. Prints recall and precision per language and kind of query, and
# whether Trovix meets its targets.
#
# Usage: bench/multilingual.sh [--keep]     (--keep: leave the work folder, for a look at misses)
# Environment: TROVIX_PREFIX (an installed Trovix to use; otherwise
# TROVIX_RELEASE_BUILD, default build-release, is built and installed
# privately), MULTILINGUAL_PAGES (pages per language, default 300),
# MULTILINGUAL_QUERIES (queries per language and kind, default 40), TMPDIR
# (the work folder's parent, default /var/tmp).
#
# Fairness: each tool indexes the same corpus in its own fresh private tree
# (HOME, the XDG folders, RECOLL_CONFDIR) under one UTF-8 locale, and both are
# asked the same queries by the same harness. Recoll keeps its defaults (case
# and accents folded, CJK as n-grams) but for no stemming and no spelling
# data, and indexes plain text only, which is all the corpus holds.
set -euo pipefail

KEEP=
if [[ ${1:-} == --keep ]]; then
  KEEP=1
elif [[ $# -gt 0 ]]; then
  sed -n '11,16p' "$0" >&2
  exit 2
fi

SRC=$(cd "$(dirname "$0")/.." && pwd)
HELPER=(python3 "$SRC/bench/multilingual.py")
PAGES=${MULTILINGUAL_PAGES:-300}
PER_KIND=${MULTILINGUAL_QUERIES:-40}
START_SECONDS=$SECONDS
# Both tools read and the pages are rendered as UTF-8, whatever the caller's
# locale: Recoll takes a plain text file's encoding from the locale.
export LC_ALL=C.UTF-8

# --- packages ---------------------------------------------------------------
missing=()
command -v recollindex >/dev/null || missing+=(recollcmd)
command -v man >/dev/null || missing+=(man-db)
command -v col >/dev/null || missing+=(bsdextrautils)
for package in $("${HELPER[@]}" packages); do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'ok installed' ||
    missing+=("$package")
done
if ((${#missing[@]})); then
  SUDO=()
  ((EUID == 0)) || SUDO=(sudo)
  "${SUDO[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -o DPkg::Lock::Timeout=600 \
    "${missing[@]}"
fi

# --- work folder and its clean-up --------------------------------------------
WORK=$(mktemp -d "${TMPDIR:-/var/tmp}/multilingual.XXXXXX")
cleanup() {
  if [[ -n $KEEP ]]; then
    echo "work folder kept: $WORK" >&2
  else
    rm -rf "$WORK"
  fi
}
trap cleanup EXIT

# --- Trovix: the given prefix, or built for release and installed privately -----
if [[ -n ${TROVIX_PREFIX:-} ]]; then
  PREFIX=$TROVIX_PREFIX
else
  BUILD=${TROVIX_RELEASE_BUILD:-$SRC/build-release}
  if [[ ! -f $BUILD/CMakeCache.txt ]]; then
    cmake -S "$SRC" -B "$BUILD" -DCMAKE_BUILD_TYPE=Release -DTROVIX_BUILD_TESTS=ON >/dev/null
  fi
  cmake --build "$BUILD" -j2 --target trovix_installable >/dev/null
  PREFIX=$WORK/prefix
  env -u TROVIX_MACHINE_HIVE cmake --install "$BUILD" --prefix "$PREFIX" >/dev/null
fi
for program in trovix trovix-setup; do
  [[ -x $PREFIX/bin/$program ]] || { echo "no $PREFIX/bin/$program" >&2; exit 1; }
done

# --- corpus -------------------------------------------------------------------
# The folder names are words of no page; the manifest, outside the corpus,
# names each file's source page.
CORPUS=$WORK/corpus
MANIFEST=$WORK/manifest.tsv
"${HELPER[@]}" corpus "$CORPUS" "$MANIFEST" "$PAGES"
CORPUS=$(realpath "$CORPUS")
QUERIES=$WORK/queries.json
"${HELPER[@]}" queries "$CORPUS" "$QUERIES" "$PER_KIND"

# --- private trees --------------------------------------------------------------
. "$SRC/bench/private_tree.sh"

# --- indexes ------------------------------------------------------------------------
T_TREE=$(new_tree)
in_tree "$T_TREE" "$PREFIX/bin/trovix-setup" >/dev/null
echo "trovix index"
# 1 is "some files failed or were only partly read": the table still tells
# what was found, and the failures are shown.
status=0
in_tree "$T_TREE" "$PREFIX/bin/trovix" index "$CORPUS" 2>"$T_TREE/index-stderr.txt" || status=$?
if ((status > 1)); then
  cat "$T_TREE/index-stderr.txt" >&2
  exit 1
elif ((status == 1)); then
  echo "trovix index: some files failed:" >&2
  head -n 5 "$T_TREE/index-stderr.txt" >&2
fi

R_TREE=$(new_tree)
write_recoll_conf "$R_TREE" "$CORPUS" text/plain
echo "recollindex"
in_tree "$R_TREE" recollindex -c "$R_TREE/recoll" 2>"$R_TREE/index-stderr.txt" || {
  tail -n 20 "$R_TREE/index-stderr.txt" >&2
  exit 1
}

# --- queries, each a new process of each tool ---------------------------------------
in_tree "$T_TREE" "${HELPER[@]}" ask trovix "$QUERIES" "$WORK/trovix.json" \
  "$PREFIX/bin/trovix" search
in_tree "$R_TREE" "${HELPER[@]}" ask recoll "$QUERIES" "$WORK/recoll.json" \
  recollq -c "$R_TREE/recoll" -b -n 0-100000

# --- the table ------------------------------------------------------------------------
DETAILS=${TMPDIR:-/var/tmp}/multilingual-details.txt
"${HELPER[@]}" table "$QUERIES" "$WORK/trovix.json" "$WORK/recoll.json" "$MANIFEST" "$DETAILS"
echo
echo "every query where Trovix differs from the text: $DETAILS"
echo "machine: $(nproc) cores, load $(cut -d' ' -f1-3 /proc/loadavg); run time: $((SECONDS - START_SECONDS)) s"
