#!/usr/bin/env bash
# A content scan whose hashing threads the system refuses (all of them, or all but the first)
# finds the same groups as a normal scan, and ends: the preloaded library plays the limit.
set -u
scan="$1"
shim="$2"
dir="$(mktemp -d)"
trap 'rm -rf "$dir"' EXIT
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
# A sanitizer runtime wants to come first among the loaded libraries; the preload is harmless.
export ASAN_OPTIONS="${ASAN_OPTIONS:+$ASAN_OPTIONS:}verify_asan_link_order=0"

t="$dir/tree"
mkdir -p "$t/a" "$t/b"
for i in 1 2 3 4 5 6 7 8; do
  head -c $((i * 1000)) /dev/urandom >"$t/a/small$i"
  cp "$t/a/small$i" "$t/b/small$i"
  head -c $((i * 70000 + 5000)) /dev/urandom >"$t/a/large$i"
  cp "$t/a/large$i" "$t/b/large$i"
  cp "$t/a/large$i" "$t/b/large$i.copy"
  head -c $((i * 70000 + 5000)) /dev/urandom >"$t/b/large$i.other"
done

run() {  # mode, output file, extra environment...
  local mode=$1 out=$2
  shift 2
  env "$@" timeout 120 "$scan" --quiet $mode --min-size-mb 0 --max-groups 0 --files-csv - "$t" \
    >"$out" 2>"$dir/err"
}
for mode in "" "--sequential"; do
  run "$mode" "$dir/expected.csv"
  s=$?
  [ "$s" -eq 0 ] || fail "normal scan ${mode:-parallel}: exit status $s: $(cat "$dir/err")"
  [ "$(wc -l <"$dir/expected.csv")" -eq 41 ] || fail "normal scan ${mode:-parallel}: $(wc -l <"$dir/expected.csv") lines"
  for from in 1 2; do
    rm -f "$dir/refused"
    run "$mode" "$dir/got.csv" LD_PRELOAD="$shim" PARVOLANE_REFUSE_THREADS_FROM=$from \
      PARVOLANE_REFUSED_LOG="$dir/refused"
    s=$?
    what="${mode:-parallel}, threads refused from call $from on"
    [ "$s" -eq 0 ] || fail "$what: exit status $s (124 = hung): $(cat "$dir/err")"
    sort "$dir/expected.csv" >"$dir/a" && sort "$dir/got.csv" >"$dir/b"
    cmp -s "$dir/a" "$dir/b" || fail "$what: other groups"
    if [ -z "$mode" ] && [ "$from" = 1 ] && [ ! -s "$dir/refused" ]; then
      fail "$what: no thread was refused (is the library preloaded?)"
    fi
  done
done
[ "$failures" -eq 0 ] && echo "all passed"
exit $((failures > 0))
