#!/usr/bin/env bash
# Runs the reliability suite (real programs killed, starved of disk, given
# damaged databases) and prints one summary line per case.
#
#   scripts/reliability.sh [--rounds N] [--window SECONDS] [--seed N]
#
# Defaults are the long run: 20 rounds of every crash case and a 60 s window
# for the damaged-database cases. Builds what the suite needs when missing.
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
rounds=20
window=60
seed=""
while [ $# -gt 0 ]; do
  case "$1" in
    --rounds) rounds="$2"; shift 2 ;;
    --rounds=*) rounds="${1#*=}"; shift ;;
    --window) window="$2"; shift 2 ;;
    --window=*) window="${1#*=}"; shift ;;
    --seed) seed="$2"; shift 2 ;;
    --seed=*) seed="${1#*=}"; shift ;;
    -h|--help) sed -n '2,8p' "$0"; exit 0 ;;
    *) echo "reliability.sh: unknown argument '$1'" >&2; exit 2 ;;
  esac
done

. "$here/scripts/packages.sh"
trovix_install_packages "${TROVIX_BUILD_PACKAGES[@]}" "${TROVIX_TEST_PACKAGES[@]}"

build="${TROVIX_TEST_BUILD_DIR:-$here/build-test}"
if [ ! -f "$build/CMakeCache.txt" ]; then
  cmake -S "$here" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTROVIX_WERROR=ON
fi
cmake --build "$build" -j "$(nproc)" --target reliability_test

summary="$(mktemp)"
trap 'rm -f "$summary"' EXIT
status=0
env TROVIX_RELIABILITY_ROUNDS="$rounds" TROVIX_RELIABILITY_WINDOW="$window" \
  TROVIX_RELIABILITY_SUMMARY="$summary" ${seed:+TROVIX_RELIABILITY_SEED="$seed"} \
  ctest --test-dir "$build" -R '^reliability_test$' --output-on-failure --timeout 14400 || status=$?
echo
echo "Reliability summary (rounds $rounds, window ${window} s):"
cat "$summary"
exit "$status"
