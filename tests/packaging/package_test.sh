#!/usr/bin/env bash
# Builds the Debian package, unpacks it into a scratch root and checks that every file is where
# the desktop and man look for it, that the metadata validates, and that the tool runs.
set -u
build="$1"
source_dir="$(cd "$(dirname "$0")/../.." && pwd)"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

(cd "$build" && cpack -G DEB -B "$work/out" >"$work/cpack.log" 2>&1) || {
  cat "$work/cpack.log"
  echo "FAIL: cpack"
  exit 1
}
deb="$(ls "$work"/out/parvolane_*.deb 2>/dev/null | head -n 1)"
[ -n "$deb" ] || { echo "FAIL: no parvolane_*.deb"; exit 1; }
dpkg-deb -x "$deb" "$work/root"

for f in usr/bin/parvolane usr/bin/parvolane-scan \
  usr/share/applications/parvolane.desktop \
  usr/share/icons/hicolor/scalable/apps/parvolane.svg \
  usr/share/metainfo/parvolane.metainfo.xml \
  usr/share/man/man1/parvolane-scan.1; do
  [ -e "$work/root/$f" ] || fail "missing /$f"
done

depends="$(dpkg-deb -f "$deb" Depends)"
for lib in libqt6widgets6 libqt6network6 libssl3 libicu qt6-qpa-plugins; do
  case "$depends" in *"$lib"*) ;; *) fail "Depends lacks $lib: $depends" ;; esac
done

grep -q '^Exec=parvolane' "$work/root/usr/share/applications/parvolane.desktop" ||
  fail "desktop entry does not start parvolane"
if command -v desktop-file-validate >/dev/null; then
  desktop-file-validate "$work/root/usr/share/applications/parvolane.desktop" || fail "desktop entry"
fi
if command -v appstreamcli >/dev/null; then
  appstreamcli validate --no-net "$work/root/usr/share/metainfo/parvolane.metainfo.xml" \
    >"$work/as.log" 2>&1 || { cat "$work/as.log"; fail "metainfo does not validate"; }
fi
man -l "$work/root/usr/share/man/man1/parvolane-scan.1" 2>/dev/null | grep -q 'EXIT STATUS' ||
  fail "man page does not render"
"$work/root/usr/bin/parvolane-scan" --version | grep -q '^parvolane-scan 1.0' ||
  fail "packaged parvolane-scan does not run"

if [ "$failures" -eq 0 ]; then echo "package: all checks passed"; fi
[ "$failures" -eq 0 ]
