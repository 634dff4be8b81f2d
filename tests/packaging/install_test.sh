#!/bin/sh
# Installs the build into a scratch prefix and checks what a desktop finds
# there: the program, its desktop entry and metadata (both validated), the
# icons in every size, the manual page and the licence; then runs the
# installed program's command line. Needs no display.
# Usage: install_test.sh CMAKE BUILD_DIR APP_ID VERSION
set -u
cmake=$1 build=$2 id=$3 version=$4
. "$(dirname "$0")/common.sh"

prefix=$scratch/prefix
"$cmake" --install "$build" --prefix "$prefix" >"$scratch/install.log" 2>&1 || {
  cat "$scratch/install.log" >&2
  fail "cmake --install"
  finish
}

share=$prefix/share
icons=$share/icons/hicolor
for f in bin/sweepbox "share/applications/$id.desktop" "share/metainfo/$id.metainfo.xml" \
  share/man/man1/sweepbox.1 "share/icons/hicolor/scalable/apps/$id.svg" share/doc/sweepbox/copyright; do
  [ -s "$prefix/$f" ] || fail "$f is not installed"
done
[ -x "$prefix/bin/sweepbox" ] || fail "bin/sweepbox is not executable"

# Each PNG is as wide and high as the folder it is in says (the IHDR chunk
# holds both as 32-bit big-endian numbers from byte 16 on).
for size in 16 22 24 32 48 64 128 256; do
  png=$icons/${size}x$size/apps/$id.png
  if [ ! -s "$png" ]; then
    fail "no $size px icon"
    continue
  fi
  dims=$(od -An -tu1 -j16 -N8 "$png" | awk '{ printf "%dx%d", $3 * 256 + $4, $7 * 256 + $8 }')
  [ "$dims" = "${size}x$size" ] || fail "$png is $dims"
done
check_contains "svg icon" "$(head -c 200 "$icons/scalable/apps/$id.svg")" "<svg"

desktop=$share/applications/$id.desktop
out=$(desktop-file-validate "$desktop" 2>&1) || fail "desktop-file-validate: $out"
[ -z "$out" ] || fail "desktop-file-validate has something to say: $out"
for line in "Icon=$id" "Exec=sweepbox" "StartupWMClass=Sweepbox" "Type=Application"; do
  grep -qx "$line" "$desktop" || fail "desktop entry lacks $line"
done

metainfo=$share/metainfo/$id.metainfo.xml
out=$(appstreamcli validate --no-net "$metainfo" 2>&1) || fail "appstreamcli validate: $out"
out=$(appstreamcli validate-tree --no-net "$prefix" 2>&1) || fail "appstreamcli validate-tree: $out"
check_contains "metainfo" "$(cat "$metainfo")" "<id>$id</id>"
check_contains "metainfo" "$(cat "$metainfo")" "<launchable type=\"desktop-id\">$id.desktop</launchable>"
check_contains "metainfo" "$(cat "$metainfo")" "<release version=\"$version\""

out=$(groff -man -Tutf8 -ww "$share/man/man1/sweepbox.1" 2>&1 >/dev/null)
[ -z "$out" ] || fail "groff warns: $out"

# The installed program. Help and version need no display at all.
program=$prefix/bin/sweepbox
out=$(env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM "$program" --help 2>"$scratch/err") ||
  fail "--help exits with $?: $(cat "$scratch/err")"
check_contains "--help" "$out" "Usage: sweepbox [options]"
check_contains "--help" "$out" "-v, --version"
out=$(env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM "$program" -v 2>"$scratch/err") ||
  fail "-v exits with $?: $(cat "$scratch/err")"
[ "$out" = "Sweepbox $version" ] || fail "-v says '$out'"

# Anything else ends before a window opens, with the parser's error.
export QT_QPA_PLATFORM=offscreen
for args in "--bogus" "-platform offscreen --bogus" "mail.eml"; do
  # shellcheck disable=SC2086 # the words are separate arguments
  "$program" $args >"$scratch/out" 2>"$scratch/err"
  status=$?
  [ "$status" -eq 1 ] || fail "sweepbox $args exits with $status"
  [ ! -s "$scratch/out" ] || fail "sweepbox $args prints: $(cat "$scratch/out")"
  check_contains "sweepbox $args" "$(cat "$scratch/err")" "Try 'sweepbox --help' for more information."
done
# Qt's own options are Qt's, not errors.
out=$("$program" -platform offscreen --version 2>"$scratch/err") || fail "Qt option and --version: $(cat "$scratch/err")"
[ "$out" = "Sweepbox $version" ] || fail "Qt option and --version says '$out'"

finish
