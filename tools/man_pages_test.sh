#!/usr/bin/env bash
# The manual pages and the bash completion of an installed prefix:
#   man_pages_test.sh PREFIX
# Each page renders without a warning, and every option a program's --help
# prints appears in its page. The completion offers the commands after
# "trovix " and the search options after "trovix search --".
set -uo pipefail
prefix="$1"
if ! command -v man >/dev/null || ! command -v groff >/dev/null; then
  echo "man or groff is missing (apt-get install man-db groff-base); pages not checked"
  exit 77
fi
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

# Every program a user can run, that is each one in bin/, has its page.
programs="$(ls "$prefix/bin" 2>/dev/null)"
[ -n "$programs" ] || fail "$prefix/bin holds no program"
for program in $programs; do
  page="$prefix/share/man/man1/$program.1"
  [ -f "$page" ] || { fail "$page is not installed"; continue; }
  warnings="$(MANWIDTH=80 LC_ALL=C.UTF-8 man --warnings -l "$page" 2>&1 >/dev/null)"
  [ -z "$warnings" ] || fail "$program.1 renders with warnings: $warnings"
  text="$(MANWIDTH=80 LC_ALL=C man -l "$page" 2>/dev/null | col -b)"
  [ -n "$text" ] || fail "$program.1 renders empty"
  # The programs with a usage text: each option in it (--name, or -0) is
  # documented. The others take --help for nothing (kestine would start).
  case "$program" in trovix|trovix-setup) ;; *) continue ;; esac
  help="$("$prefix/bin/$program" --help 2>/dev/null)" || fail "$program --help failed"
  options="$(grep -oE -- '(^|[^A-Za-z0-9-])--?[A-Za-z0-9][A-Za-z0-9-]*' <<<"$help" |
    grep -oE -- '--?[A-Za-z0-9][A-Za-z0-9-]*' | sort -u)"
  [ -n "$options" ] || fail "$program --help names no option"
  for option in $options; do
    grep -qF -- "$option" <<<"$text" || fail "$program.1 does not mention $option from --help"
  done
done

completion="$prefix/share/bash-completion/completions/trovix"
if [ ! -f "$completion" ]; then
  fail "$completion is not installed"
else
  complete_line() {  # complete_line WORD... : the completions of the last word
    bash --norc -c 'source "$1"; shift; COMP_WORDS=("$@"); COMP_CWORD=$(($# - 1));
      _trovix; printf "%s\n" "${COMPREPLY[@]}" | LC_ALL=C sort | tr "\n" " "' _ "$completion" "$@"
  }
  got="$(complete_line trovix "")"
  want="--help --version compact config duplicates help index pause repair resume search stats status "
  [ "$got" = "$want" ] || fail "trovix <TAB> gave '$got', want '$want'"
  got="$(complete_line trovix search --)"
  want="-- --exact-accents --exclude --include --json --long --name-only --null --snippets --sort "
  [ "$got" = "$want" ] || fail "trovix search --<TAB> gave '$got', want '$want'"
  got="$(complete_line trovix config set s)"
  want="scan-interval skip-paths suppress-startup-scan "
  [ "$got" = "$want" ] || fail "trovix config set s<TAB> gave '$got', want '$want'"
  folder="$(mktemp -d)"
  mkdir "$folder/notes" && touch "$folder/nothing.txt"
  got="$(complete_line trovix index "$folder/no")"
  want="$folder/notes $folder/nothing.txt "
  [ "$got" = "$want" ] || fail "trovix index <TAB> gave '$got', want '$want'"
  rm -rf "$folder"
fi
[ "$failures" -eq 0 ] && echo "manual pages and completion: all checks passed"
exit $((failures > 0))
