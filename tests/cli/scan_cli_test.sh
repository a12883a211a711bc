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
[ "$(grep -v '^Summary: ' "$dir/err" | tail -n 1)" = "  Done." ] || fail "last status is not '  Done.'"
[ "$(tail -n 1 "$dir/err")" = "Summary: no clones looked for" ] || fail "summary: $(tail -n 1 "$dir/err")"
[ -s "$dir/out" ] && fail "standard output is not empty"

# The summary follows the status lines: groups, files, the space of the extra copies, and the
# groups that "Max groups" left out.
mkdir -p "$dir/dups/x" "$dir/dups/y"
for d in x y; do
  printf 'aaaa' >"$dir/dups/$d/four.bin"
  printf 'bb' >"$dir/dups/$d/two.bin"
done
"$scan" --min-size-mb 0 "$dir/dups" 2>"$dir/err" >/dev/null || fail "duplicate scan failed"
[ "$(tail -n 1 "$dir/err")" = "Summary: 2 groups, 4 files, 6 B in extra copies" ] ||
  fail "summary: $(tail -n 1 "$dir/err")"
"$scan" --min-size-mb 0 --max-groups 1 "$dir/dups" 2>"$dir/err" >/dev/null
[ "$(tail -n 1 "$dir/err")" = "Summary: 1 group, 2 files, 4 B in extra copies; 1 group not listed (Max groups)" ] ||
  fail "summary with Max groups: $(tail -n 1 "$dir/err")"

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

# Negative sizes and counts, and numbers too large to hold, are refused the same way; the
# message gives the range.
while read -r option bad range; do
  expect_usage "invalid value for $option: '$bad' (expected a whole number from $range)" \
    "$option" "$bad" "$dir/tree"
done <<'TABLE'
--min-size-mb -1 0 to 2147483647
--min-size-mb 2147483648 0 to 2147483647
--min-size-mb 99999999999999999999 0 to 2147483647
--max-groups -5 0 to 2147483647
--max-groups -0x1 0 to 2147483647
--min-group-size -2 0 to 2147483647
TABLE
"$scan" --quiet --min-size-mb 1048576 --max-groups 5000000 --min-group-size 1 "$dir/tree" ||
  fail "values past the window's fields are refused"
"$scan" --quiet --min-size-mb 0 --max-groups 0 --min-group-size 2 "$dir/tree" ||
  fail "the smallest values of the ranges are refused"

# Errors that end the work: the exit status, a message that names the cause, and no hang.
# Cases run as nobody where root would read anything; the tree must be reachable for them.
chmod 755 "$dir"
as_nobody=(setpriv --reuid=65534 --regid=65534 --clear-groups)
mkdir -p "$dir/locked" && chmod 700 "$dir/locked"
mkdir -p "$dir/shared" && chmod 1777 "$dir/shared"
printf 'keep' >"$dir/victim.csv"
"${as_nobody[@]}" ln -s "$dir/victim.csv" "$dir/shared/planted.csv"
mkfifo "$dir/no-reader.fifo"
expect_error() {
  local status="$1" what="$2"
  shift 2
  timeout 5 "$@" >"$dir/out" 2>"$dir/err" </dev/null
  local s=$?
  [ "$s" -eq "$status" ] || fail "$what: exit status $s, expected $status: $(tail -n 2 "$dir/err")"
  grep -qF -e "$what" "$dir/err" || fail "message does not mention '$what': $(tail -n 2 "$dir/err")"
}
q=(--quiet --min-size-mb 0)
expect_error 1 "/does/not/exist" "$scan" "${q[@]}" /does/not/exist "$dir/tree"
grep -qx 'Found 2 files (after filters).' <("$scan" --min-size-mb 0 /does/not/exist "$dir/tree" 2>&1) ||
  fail "the other folders are not scanned after a missing one"
expect_error 1 "/etc/hostname" "$scan" "${q[@]}" /etc/hostname
expect_error 1 "$dir/locked" "${as_nobody[@]}" "$scan" "${q[@]}" "$dir/locked"
expect_error 2 "Invalid file mask '[': the set has no closing bracket." "$scan" "${q[@]}" --masks '[' "$dir/tree"
expect_error 2 "Invalid file mask 'Photos/*.jpg'" "$scan" "${q[@]}" --masks 'Photos/*.jpg' "$dir/tree"
expect_error 1 "cannot write to standard output: No space left on device" \
  sh -c '"$0" "$@" >/dev/full' "$scan" "${q[@]}" --files-csv - "$dir/tree"
expect_error 1 "it is a pipe that no program is reading from" \
  "$scan" "${q[@]}" --files-csv "$dir/no-reader.fifo" "$dir/tree"
expect_error 1 "it is a symbolic link that another user made in a shared folder" \
  "$scan" "${q[@]}" --files-csv "$dir/shared/planted.csv" "$dir/tree"
[ "$(cat "$dir/victim.csv")" = "keep" ] || fail "the planted link was followed"
[ -L "$dir/shared/planted.csv" ] || fail "the planted link was replaced"
[ -p "$dir/no-reader.fifo" ] || fail "the pipe is no longer a pipe"

# Ctrl-C while the export waits for a reader that does not read: exit 130, at once.
mkdir -p "$dir/many"
long=$(printf 'n%.0s' $(seq 150))
for i in $(seq 1000); do printf 'x' >"$dir/many/$long$i"; done # far more CSV than a pipe holds
mkfifo "$dir/slow.fifo"
sleep 30 <"$dir/slow.fifo" &
reader=$!
"$scan" --compare size --min-size-mb 0 --max-groups 0 --files-csv "$dir/slow.fifo" "$dir/many" \
  2>"$dir/err" &
pid=$!
for _ in $(seq 100); do grep -q '^  Done.' "$dir/err" 2>/dev/null && break; sleep 0.1; done
sleep 0.3
kill -INT "$pid"
(sleep 5 && kill -KILL "$pid" 2>/dev/null) &
watchdog=$!
wait "$pid"
s=$?
kill "$watchdog" "$reader" 2>/dev/null
[ "$s" -eq 130 ] || fail "Ctrl-C during an export: exit status $s, expected 130: $(tail -n 1 "$dir/err")"
grep -q 'Interrupted system call' "$dir/err" && fail "Ctrl-C reported as an error"

"$scan" --help | grep -q '^Usage: parvolane-scan' || fail "--help"
"$scan" --version | grep -q '^parvolane-scan [0-9]' || fail "--version"

if [ "$failures" -eq 0 ]; then echo "cli: all checks passed"; fi
[ "$failures" -eq 0 ]
