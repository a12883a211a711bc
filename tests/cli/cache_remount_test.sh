#!/usr/bin/env bash
# The hash cache across unmounts. A block-level copy of a disk image, with one file's data
# changed under the same metadata and mounted on the same loop device, has the same device
# number, inodes, sizes and times as the image: it must not get the image's hashes. A memory
# file system mounted again numbers its files anew: it is never cached at all.
# Needs root, loop devices and mkfs.ext4/debugfs; exits 77 (skipped) without them.
set -u
scan="$1"
[ "$(id -u)" -eq 0 ] || { echo "skipped: needs root"; exit 77; }
for tool in mkfs.ext4 debugfs losetup python3; do
  command -v "$tool" >/dev/null || { echo "skipped: no $tool"; exit 77; }
done
dir="$(mktemp -d)"
loop=""
cleanup() {
  mountpoint -q "$dir/m" && umount "$dir/m"
  [ -n "$loop" ] && losetup -d "$loop" 2>/dev/null
  rm -rf "$dir"
}
trap cleanup EXIT
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

export XDG_CACHE_HOME="$dir/cache"
db="$XDG_CACHE_HOME/parvolane/hashes.sqlite"
mkdir "$dir/m"
summary() { "$scan" --min-size-mb 0 "$dir/m" 2>&1 >/dev/null | grep '^Summary: '; }
entries() {
  python3 -c 'import sqlite3, sys; print(sqlite3.connect(sys.argv[1]).execute("select count(*) from hashes").fetchone()[0])' "$db"
}
metadata() { stat -c '%d %i %s %Y.%y %Z.%z %W.%w' "$dir/m/a" "$dir/m/b"; }
# Two files of the same bytes, left long enough for their times to pin their content.
two_equal_files() {
  head -c 8192 /dev/zero | tr '\0' x >"$dir/m/a"
  cp "$dir/m/a" "$dir/m/b"
  sync
  sleep 2.2
}

# A disk image on a loop device, scanned with the cache.
truncate -s 16M "$dir/disk.img"
mkfs.ext4 -q -F -b 4096 "$dir/disk.img" || fail "mkfs.ext4"
loop="$(losetup -f --show "$dir/disk.img" 2>/dev/null)" || { loop=""; echo "skipped: no loop device"; exit 77; }
mount "$loop" "$dir/m" 2>/dev/null || { echo "skipped: cannot mount a loop device"; exit 77; }
two_equal_files
before="$(metadata)"
s="$(summary)"
[[ "$s" == "Summary: 1 group, 2 files,"* ]] || fail "image: $s"
[[ "$s" == *"hash cache not used"* ]] && fail "the cache was not used on ext4: $s"
[ "$(entries)" -ge 2 ] || fail "nothing stored for the files of a disk image"

# Its block-level copy, the data of b overwritten in place, on the same loop device.
umount "$dir/m"
losetup -d "$loop"
cp "$dir/disk.img" "$dir/copy.img"
block="$(debugfs -R "bmap /b 0" "$dir/copy.img" 2>/dev/null)"
[[ "$block" =~ ^[0-9]+$ ]] || fail "no block for b: $block"
head -c 4096 /dev/zero | tr '\0' y | dd of="$dir/copy.img" bs=4096 seek="$block" conv=notrunc status=none
losetup "$loop" "$dir/copy.img" 2>/dev/null || loop="$(losetup -f --show "$dir/copy.img")"
mount "$loop" "$dir/m" || fail "cannot mount the copy"
[ "$(metadata)" = "$before" ] || echo "note: the copy's metadata differs (other loop device?)"
[ "$(head -c 1 "$dir/m/b")" = y ] || fail "the copy's b was not changed"
s="$(summary)"
[[ "$s" == "Summary: 0 groups,"* ]] || fail "the copy took the image's hashes: $s"
umount "$dir/m"
losetup -d "$loop"
loop=""

# A memory file system: its files are never cached, and the summary says so.
stored="$(entries)"
mount -t tmpfs -o size=4m none "$dir/m" || fail "cannot mount tmpfs"
two_equal_files
s="$(summary)"
[ "$s" = "Summary: 1 group, 2 files, 8.0 KB in extra copies; hash cache not used for 2 files (file system without a stable identity)" ] ||
  fail "tmpfs: $s"
umount "$dir/m"
mount -t tmpfs -o size=4m none "$dir/m" || fail "cannot mount tmpfs again"
two_equal_files
head -c 4096 /dev/zero | tr '\0' y | dd of="$dir/m/b" bs=4096 conv=notrunc status=none
s="$(summary)"
[[ "$s" == "Summary: 0 groups,"* ]] || fail "tmpfs again: $s"
[ "$(entries)" = "$stored" ] || fail "files of a memory file system were stored"
umount "$dir/m"

[ "$failures" -eq 0 ] && echo "all cache remount checks passed"
exit $((failures > 0))
