#!/usr/bin/env bash
# File clone groups as parvolane-scan exports them, in every compare mode.
set -u
scan="$1"
dir="$(mktemp -d)"
trap 'rm -rf "$dir"' EXIT
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
export LC_ALL=C # sizes with a '.' as the decimal separator

t="$dir/tree"
mkdir -p "$t/a" "$t/b" "$t/c" "$t/d"
fill() { head -c "$2" /dev/zero | tr '\0' "$3" >"$1"; }
fill "$t/a/Report.PDF" 100 a
fill "$t/b/report.pdf" 200 b
fill "$t/c/one.bin" 300 c
fill "$t/d/two,\"q\".bin" 300 c # same content as one.bin, a name that needs quoting
fill "$t/d/other.bin" 300 d     # same size, other content

header='Group,File name,Directory,File size (MB)'
bom=$'\xEF\xBB\xBF'

# Runs one mode and compares the CSV: the header line exactly, then the rows. The rows of a
# group follow the order the folders were walked in, which the file system decides, so rows
# are compared sorted; group numbers are part of each row.
check_mode() {
  local mode="$1" expected="$2"
  "$scan" --quiet --compare "$mode" --min-size-mb 0 --max-groups 0 --files-csv - "$t" \
    >"$dir/out.csv" 2>"$dir/err"
  local s=$?
  [ "$s" -eq 0 ] || fail "$mode: exit status $s: $(cat "$dir/err")"
  [ "$(head -n 1 "$dir/out.csv")" = "$bom$header"$'\r' ] || fail "$mode: header line"
  local lines crlf
  lines=$(wc -l <"$dir/out.csv")
  crlf=$(grep -c $'\r$' "$dir/out.csv")
  [ "$lines" -eq "$crlf" ] || fail "$mode: $crlf of $lines lines end in CR LF"
  [ "$(tail -c 2 "$dir/out.csv" | od -An -tx1 | tr -d ' ')" = "0d0a" ] || fail "$mode: last line end"
  local rows
  rows=$(tail -n +2 "$dir/out.csv" | tr -d '\r' | LC_ALL=C sort)
  [ "$rows" = "$expected" ] || fail "$mode: rows are
$rows
expected
$expected"
}

check_mode content "\"1\",\"one.bin\",\"$t/c\",\"0.00 MB\"
\"1\",\"two,\"\"q\"\".bin\",\"$t/d\",\"0.00 MB\""

check_mode size "\"1\",\"one.bin\",\"$t/c\",\"0.00 MB\"
\"1\",\"other.bin\",\"$t/d\",\"0.00 MB\"
\"1\",\"two,\"\"q\"\".bin\",\"$t/d\",\"0.00 MB\""

check_mode name "\"1\",\"Report.PDF\",\"$t/a\",\"0.00 MB\"
\"1\",\"report.pdf\",\"$t/b\",\"0.00 MB\""

check_mode name-size ""

# Into a file: the same bytes as on standard output, replacing what was there.
"$scan" --quiet --compare content --min-size-mb 0 --files-csv - "$t" >"$dir/stdout.csv"
printf 'old' >"$dir/file.csv"
"$scan" --quiet --compare content --min-size-mb 0 --files-csv "$dir/file.csv" "$t" ||
  fail "export to a file failed"
cmp -s "$dir/stdout.csv" "$dir/file.csv" || fail "the file differs from standard output"

# A folder that does not exist: exit 1, the path and the reason, nothing left behind.
"$scan" --quiet --compare content --min-size-mb 0 --files-csv "$dir/missing/x.csv" "$t" \
  >/dev/null 2>"$dir/err"
s=$?
[ "$s" -eq 1 ] || fail "exit status $s for a missing folder, expected 1"
grep -qF "cannot write '$dir/missing/x.csv': No such file or directory" "$dir/err" ||
  fail "error text: $(cat "$dir/err")"
leftovers=$(find "$dir" -maxdepth 1 -name '.*.tmp' | wc -l)
[ "$leftovers" -eq 0 ] || fail "temporary files left behind"

if [ "$failures" -eq 0 ]; then echo "file clones: all checks passed"; fi
[ "$failures" -eq 0 ]
