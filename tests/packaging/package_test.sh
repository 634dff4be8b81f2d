#!/bin/sh
# Builds the Debian package from the build and checks its control fields and
# that it carries everything the install rules put in place under /usr.
# Usage: package_test.sh CPACK BUILD_DIR APP_ID VERSION
set -u
cpack=$1 build=$2 id=$3 version=$4
. "$(dirname "$0")/common.sh"

"$cpack" -G DEB --config "$build/CPackConfig.cmake" -B "$scratch" >"$scratch/cpack.log" 2>&1 || {
  cat "$scratch/cpack.log" >&2
  fail "cpack -G DEB"
  finish
}
deb=$(ls "$scratch"/sweepbox_"$version"_*.deb 2>/dev/null)
[ -f "$deb" ] || {
  fail "no package sweepbox_${version}_<arch>.deb in: $(ls "$scratch")"
  finish
}

control=$(dpkg-deb -f "$deb")
for field in "Package: sweepbox" "Version: $version" "Section: mail" "Priority: optional" \
  "Maintainer: The Sweepbox developers <sweepbox@example.org>" "Homepage: https://sweepbox.example.org/" \
  "Description: list and delete mail on a POP3 server without downloading it
 Sweepbox logs in to a POP3 server and lists the messages waiting there
 with number,"; do
  check_contains "control" "$control" "$field"
done
depends=$(dpkg-deb -f "$deb" Depends)
for lib in libc6 libqt6widgets6 libqt6gui6 libqt6core6 libssl3 libstdc++6; do
  check_contains "Depends" "$depends" "$lib"
done

files=$(dpkg-deb -c "$deb")
for f in ./usr/bin/sweepbox "./usr/share/applications/$id.desktop" "./usr/share/metainfo/$id.metainfo.xml" \
  ./usr/share/man/man1/sweepbox.1 "./usr/share/icons/hicolor/scalable/apps/$id.svg" \
  "./usr/share/icons/hicolor/16x16/apps/$id.png" "./usr/share/icons/hicolor/256x256/apps/$id.png" \
  ./usr/share/doc/sweepbox/copyright; do
  check_contains "package contents" "$files" "$f"
done
# Installed as root, readable by all.
echo "$files" | grep -v '^[-d]r[-w][-x]r-[-x]r-[-x] root/root ' | grep . >"$scratch/odd" &&
  fail "files not root's or not readable by all: $(cat "$scratch/odd")"

finish
