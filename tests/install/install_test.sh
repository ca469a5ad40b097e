#!/usr/bin/env bash
# Installs the build into a temporary prefix and checks the manual pages and
# the bash completion there.
# Usage: install_test.sh BUILD_DIR MAN_SOURCE_DIR
set -euo pipefail
build=$1
sources=$2
prefix=$(mktemp -d "${TMPDIR:-/tmp}/tonwell-install-XXXXXX")
trap 'rm -rf "$prefix"' EXIT
cmake --install "$build" --prefix "$prefix" >/dev/null

fail=0
man1=$prefix/share/man/man1
# Every page in the sources is installed: tonwell(1) and one per command.
for page in "$sources"/*.1; do
  [ -f "$man1/$(basename "$page")" ] || { echo "not installed: $(basename "$page")" >&2; fail=1; }
done
for command in $("$prefix/bin/tonwell" --help | awk '/^commands:/ { on = 1; next } on && !NF { exit } on { print $1 }'); do
  [ -f "$man1/tonwell-$command.1" ] || { echo "command '$command' has no manual page" >&2; fail=1; }
done
for page in "$man1"/tonwell*.1; do
  # groff: no warning of any kind.
  warnings=$(groff -man -Tutf8 -ww -z "$page" 2>&1)
  [ -z "$warnings" ] || { echo "$page: $warnings" >&2; fail=1; }
  # man renders it, with its name section.
  rendered=$(MANWIDTH=80 man -l "$page" 2>&1)
  grep -q '^NAME' <<<"$rendered" || { echo "$page: man -l does not render it" >&2; fail=1; }
  name=$(basename "$page" .1)
  grep -q "$name" <<<"$rendered" || { echo "$page: does not name $name" >&2; fail=1; }
done

completion=$prefix/share/bash-completion/completions/tonwell
[ -f "$completion" ] || { echo "bash completion not installed" >&2; exit 1; }
# The completion completes: commands, fix's options and trace's kinds.
complete_line() {
  bash -c '
    source "$1"; shift
    COMP_WORDS=("$@"); COMP_CWORD=$(( $# - 1 ))
    _tonwell tonwell "${COMP_WORDS[COMP_CWORD]}" "${COMP_WORDS[COMP_CWORD-1]}"
    printf "%s\n" "${COMPREPLY[@]}"' _ "$completion" "$@"
}
expect() {
  local want=$1; shift
  local got
  got=$(complete_line "$@" | sort | tr '\n' ' ')
  [ "$got" = "$want" ] || { echo "completing '$*': got '$got', want '$want'" >&2; fail=1; }
}
expect "fix " tonwell fi
expect "--dry-run " tonwell fix --dr
expect "--explain " tonwell fix --ex
expect "--jobs --json " tonwell analyze --j
expect "errors " tonwell trace enable err
expect "delete " tonwell reg del
expect "reg register " tonwell re
expect "limit " tonwell trace li
[ $fail -eq 0 ] && echo "manual pages and completion installed and working"
exit $fail
