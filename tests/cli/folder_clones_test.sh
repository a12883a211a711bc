#!/usr/bin/env bash
# Folder clones from the command line: the groups written as the folder list's CSV.
set -u
scan="$1"
dir="$(mktemp -d)"
trap 'rm -rf "$dir"' EXIT
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
export LC_ALL=C # the size column's decimal separator follows the locale

t="$dir/tree"
mkdir -p "$t/A/s" "$t/B/s" "$t/q,\"x\""
printf 'abc' >"$t/A/f"
printf '12345' >"$t/A/s/g"
printf 'xyz' >"$t/B/f"
printf '54321' >"$t/B/s/g"
printf '00000' >"$t/q,\"x\"/G" # a clone of A/s: letter case of names does not count
ln -s "$t/A" "$t/link-to-A"     # a link is an entry of its own, never a clone of A

"$scan" --no-file-clones --folder-clones --min-size-mb 0 --max-groups 0 --dirs-csv - "$t" \
  >"$dir/out" 2>"$dir/err"
status=$?
[ "$status" -eq 0 ] || fail "exit status $status"

row() { printf '"%s","%s","%s"\r\n' "$1" "$2" "$3"; }
{
  printf '\xEF\xBB\xBFGroup,Directory,Size\r\n'
  row 1 "$t/A" "0.00 MB"
  row 1 "$t/B" "0.00 MB"
  row 2 "$t/A/s" "0.00 MB"
  row 2 "$t/B/s" "0.00 MB"
  row 2 "$t/q,\"\"x\"\"" "0.00 MB"
} >"$dir/expected"
cmp -s "$dir/out" "$dir/expected" || fail "CSV differs: $(diff <(cat -A "$dir/expected") <(cat -A "$dir/out"))"

grep -qx "Collecting directories: $t/" "$dir/err" || fail "no 'Collecting directories' line"
grep -qx 'Analyzing directories (6/6)...' "$dir/err" || fail "no 'Analyzing directories (6/6)...'"
status_lines=$(grep -v '^Summary: ' "$dir/err") # the summary follows the status lines
[ "$(tail -n 2 <<<"$status_lines" | head -n 1)" = "Duplicate directory groups listed." ] ||
  fail "no 'Duplicate directory groups listed.' before the end"
[ "$(tail -n 1 <<<"$status_lines")" = "  Done." ] || fail "last line is not '  Done.'"

# Folders that cannot be read are never clones, nor are the folders holding them: as an
# unprivileged user, x/locked and y/locked (0700, owned by root) would both sign as "unknown".
if ! command -v setpriv >/dev/null; then
  echo "SKIP: setpriv is missing (unreadable folders as an unprivileged user)"
elif [ "$(id -u)" -ne 0 ]; then
  echo "SKIP: not root, cannot make folders that another user cannot read"
else
  u="$dir/unreadable"
  mkdir -p "$u/x/locked" "$u/y/locked"
  printf 'a' >"$u/x/locked/a.txt"
  printf 'v' >"$u/y/locked/video.mp4"
  chmod 0700 "$u/x/locked" "$u/y/locked"
  chmod 0755 "$dir" "$u" "$u/x" "$u/y"
  setpriv --reuid=65534 --regid=65534 --clear-groups \
    "$scan" --no-file-clones --folder-clones --dirs-csv - "$u" >"$dir/out" 2>"$dir/err"
  printf '\xEF\xBB\xBFGroup,Directory,Size\r\n' >"$dir/expected"
  cmp -s "$dir/out" "$dir/expected" ||
    fail "unreadable folders listed as clones: $(cat -A "$dir/out")"
fi

if [ "$failures" -eq 0 ]; then echo "folder clones cli: all checks passed"; fi
[ "$failures" -eq 0 ]
