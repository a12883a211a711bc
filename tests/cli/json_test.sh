#!/usr/bin/env bash
# parvolane-scan --json: a document Python's json module reads, that agrees with the CSV lists
# of the same scan and with the disk, whatever the names hold.
set -u
scan="$1"
dir="$(mktemp -d)"
trap 'chmod -R u+rwx "$dir" 2>/dev/null; rm -rf "$dir"' EXIT
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
export LC_ALL=C # the CSV's decimal separator follows the locale; the JSON never does

t="$dir/tree"
bad=$'bad\xff\xfe'
hostile=$'x,"q"\n\ttab\xF0\x9F\x98\x80'
mkdir -p "$t/A/s" "$t/B/s" "$t/$bad" "$t/$hostile"
head -c 1578107 /dev/urandom >"$t/A/big.bin" # 1.505 MB: a size text that rounds
printf 'abc' >"$t/A/s/f"
cp "$t/A/big.bin" "$t/B/big.bin"
printf 'abc' >"$t/B/s/f"
cp "$t/A/big.bin" "$t/$bad/$bad"
printf 'same' >"$t/$bad/small"
printf 'same' >"$t/$hostile/$hostile"
printf 'other' >"$t/$hostile/alone"

common=(--quiet --no-cache --min-size-mb 0 --max-groups 0 --folder-clones)
"$scan" "${common[@]}" --files-csv "$dir/files.csv" --dirs-csv "$dir/dirs.csv" --json - "$t" \
  >"$dir/out.json" 2>"$dir/err"
status=$?
[ "$status" -eq 0 ] || fail "exit status $status: $(cat "$dir/err")"

python3 - "$dir/out.json" "$dir/files.csv" "$dir/dirs.csv" >"$dir/py" 2>&1 <<'EOF' ||
import base64, csv, datetime, decimal, hashlib, io, json, os, sys

doc = json.load(open(sys.argv[1], "rb"))

def raw(entry, key="path"):
    """The entry's bytes; "path" must be their replacing decode."""
    data = base64.b64decode(entry[key + "_bytes"]) if key + "_bytes" in entry else entry[key].encode()
    assert entry[key] == data.decode("utf-8", "replace"), entry
    return data

def size_text(size):
    mb = (decimal.Decimal(size) / 1048576).quantize(decimal.Decimal("0.01"), decimal.ROUND_HALF_UP)
    return f"{mb} MB"

def csv_rows(path):
    text = open(path, "rb").read().decode("utf-8", "surrogateescape")
    assert text.startswith("\ufeff")
    rows = list(csv.reader(io.StringIO(text[1:], newline="")))
    return [[cell.encode("utf-8", "surrogateescape") for cell in row] for row in rows[1:]]

def join(folder, name):
    return folder + name if folder.endswith(b"/") else folder + b"/" + name

def check_group(group, rows, is_file):
    assert rows, group
    assert [r["checked"] for r in rows] == [is_file and i > 0 for i in range(len(rows))], group
    assert group["total_size"] == sum(r["size"] for r in rows), group

def check_file(row):
    path = raw(row)
    st = os.stat(path, follow_symlinks=False)
    assert (row["size"], row["device"], row["inode"], row["mtime_ns"]) == (
        st.st_size, st.st_dev, st.st_ino, st.st_mtime_ns), row
    assert raw(row, "name") == os.path.basename(path), row
    assert row["sha1"] == hashlib.sha1(open(path, "rb").read()).hexdigest(), row
    seconds, nanos = divmod(row["mtime_ns"], 10**9)
    when = datetime.datetime.fromtimestamp(seconds, datetime.timezone.utc)
    assert row["mtime"] == when.strftime("%Y-%m-%dT%H:%M:%S") + ".%09dZ" % nanos, row

assert doc["format"] == "parvolane-scan" and doc["format_version"] == 1
assert doc["looked_for"] == {"file_clones": True, "folder_clones": True}
listed = []
for group in doc["file_groups"]:
    check_group(group, group["files"], True)
    for row in group["files"]:
        check_file(row)
        listed.append([str(group["group"]).encode(), os.path.basename(raw(row)),
                       os.path.dirname(raw(row)), size_text(row["size"]).encode()])
expected = [[g, n, d, s] for g, n, d, s in csv_rows(sys.argv[2])]
assert listed == expected, f"file rows\n{listed}\nCSV\n{expected}"
assert len(doc["file_groups"]) == 3, doc["file_groups"]

listed = []
for group in doc["folder_groups"]:
    check_group(group, group["folders"], False)
    for row in group["folders"]:
        st = os.stat(raw(row), follow_symlinks=False)
        assert (row["device"], row["inode"], row["mtime_ns"]) == (
            st.st_dev, st.st_ino, st.st_mtime_ns), row
        listed.append([str(group["group"]).encode(), raw(row), size_text(row["size"]).encode()])
expected = csv_rows(sys.argv[3])
assert listed == expected, f"folder rows\n{listed}\nCSV\n{expected}"
assert len(doc["folder_groups"]) == 2, doc["folder_groups"]

summary = doc["summary"]
assert summary["skipped"] == {"unreadable_folder": 0, "unreadable_file": 0, "vanished": 0,
                              "path_too_long": 0, "total": 0}, summary
assert summary["skipped_entries"] == [] and summary["folder_errors"] == [], summary
assert (summary["file_groups_cut"], summary["folder_groups_cut"], summary["folders_left_out"]) == (0, 0, 0)
EOF
  fail "the JSON does not agree with the CSV or the disk: $(cat "$dir/py")"

# The same document written to a file, in another locale, as to standard output.
LC_ALL=C.UTF-8 "$scan" "${common[@]}" --json "$dir/again.json" "$t" 2>"$dir/err" ||
  fail "writing to a file: $(cat "$dir/err")"
cmp -s "$dir/out.json" "$dir/again.json" || fail "the JSON differs between stdout and a file"
leftovers=$(find "$dir" -maxdepth 1 -name '.*.tmp' | wc -l)
[ "$leftovers" -eq 0 ] || fail "temporary files left behind"

# What the scan passed over and the folders it could not scan are in the summary, and the
# document is still written when a scan folder is missing (exit status 1).
chmod 755 "$dir"
mkdir -p "$t/locked/inner" && chmod 000 "$t/locked"
as_nobody=()
if [ "$(id -u)" -eq 0 ]; then as_nobody=(setpriv --reuid=65534 --regid=65534 --clear-groups); fi
"${as_nobody[@]}" "$scan" "${common[@]}" --json - "$t" /does/not/exist >"$dir/partial.json" 2>"$dir/err"
status=$?
[ "$status" -eq 1 ] || fail "a missing scan folder: exit status $status, expected 1"
python3 - "$dir/partial.json" "$t/locked" >"$dir/py" 2>&1 <<'EOF' ||
import json, sys
summary = json.load(open(sys.argv[1], "rb"))["summary"]
assert summary["skipped"]["unreadable_folder"] == 1 and summary["skipped"]["total"] == 1, summary
entry, = summary["skipped_entries"]
assert entry["kind"] == "unreadable_folder" and entry["path"].rstrip("/") == sys.argv[2], entry
assert entry["message"] == "Permission denied", entry
error, = summary["folder_errors"]
assert "/does/not/exist" in error, summary
EOF
  fail "the summary of a scan with problems: $(cat "$dir/py")"
chmod 755 "$t/locked"

# One stream cannot hold a JSON document and a CSV list.
"$scan" --json - --files-csv - "$t" >/dev/null 2>"$dir/err"
status=$?
[ "$status" -eq 2 ] || fail "--json - with --files-csv -: exit status $status, expected 2"
grep -q -e '--json - cannot share standard output' "$dir/err" || fail "no message: $(head -n 1 "$dir/err")"
"$scan" --help | grep -q -e '--json PATH' || fail "--help does not mention --json"

if [ "$failures" -eq 0 ]; then echo "json: all checks passed"; fi
[ "$failures" -eq 0 ]
