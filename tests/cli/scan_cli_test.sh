#!/usr/bin/env bash
# The command-line contract of parvolane-scan: texts, exit statuses and usage errors.
set -u
scan="$1"
dir="$(mktemp -d)"
trap 'rm -rf "$dir"' EXIT
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

mkdir -p "$dir/tree/sub"
printf 'one' >"$dir/tree/a.txt"
printf 'two' >"$dir/tree/sub/b.txt"

# A real tree: the folder scan's texts in order, then "  Done.", exit 0.
"$scan" --min-size-mb 0 --no-file-clones "$dir/tree" 2>"$dir/err" >"$dir/out"
status=$?
[ "$status" -eq 0 ] || fail "exit status $status for a plain scan"
grep -qx 'Scanning folders...' "$dir/err" || fail "no 'Scanning folders...'"
grep -qx "Scanning folder list: $dir/tree/   \[\*\.\*\]" "$dir/err" || fail "no walk line"
grep -qx 'Found 2 files (after filters).' "$dir/err" || fail "no 'Found 2 files'"
[ "$(tail -n 1 "$dir/err")" = "  Done." ] || fail "last line is not '  Done.'"
[ -s "$dir/out" ] && fail "standard output is not empty"

# --quiet prints nothing; the same folder twice is scanned once.
"$scan" --quiet --min-size-mb 0 --no-file-clones "$dir/tree" "$dir/tree/" "$dir/tree/sub/.." \
  2>"$dir/err" || fail "quiet scan failed"
[ -s "$dir/err" ] && fail "--quiet printed: $(cat "$dir/err")"

# Bad usage: exit 2 with a message that names the problem.
expect_usage() {
  local what="$1"
  shift
  "$scan" "$@" >/dev/null 2>"$dir/err"
  local s=$?
  [ "$s" -eq 2 ] || fail "$what: exit status $s, expected 2"
  grep -q -e "$what" "$dir/err" || fail "message does not mention '$what': $(head -n 1 "$dir/err")"
  grep -q '^Usage: parvolane-scan' "$dir/err" || fail "$what: no usage text"
}
expect_usage "--min-size-mb" --min-size-mb abc "$dir/tree"
expect_usage "--max-groups" --max-groups 1.5 "$dir/tree"
expect_usage "--min-group-size" --min-group-size "" "$dir/tree"
expect_usage "--compare" --compare bytes "$dir/tree"
expect_usage "unknown option" --frobnicate "$dir/tree"
expect_usage "no folder" --min-size-mb 0
expect_usage "needs a value" "$dir/tree" --masks

"$scan" --help | grep -q '^Usage: parvolane-scan' || fail "--help"
"$scan" --version | grep -q '^parvolane-scan [0-9]' || fail "--version"

if [ "$failures" -eq 0 ]; then echo "cli: all checks passed"; fi
[ "$failures" -eq 0 ]
