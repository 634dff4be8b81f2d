#!/bin/sh
# Start-up of the program beside a bare Qt Widgets window (and one with a text
# field, which loads the fonts as the program must) on a private Xvfb:
#   bench/startup_bench.sh BUILD_DIR [NAME=PROGRAM ...]
# BUILD_DIR is a Release tree configured with -DSWEEPBOX_BUILD_BENCH=ON; more
# programs (an older build of the program, say) may be named after it.
# STARTUP_DISPLAY picks the display number (default 77), ROUNDS the rounds
# (default 20).
set -eu
build=${1:?usage: $0 BUILD_DIR [NAME=PROGRAM ...]}
shift
display=:${STARTUP_DISPLAY:-77}
Xvfb "$display" -screen 0 1280x1024x24 -nolisten tcp >/dev/null 2>&1 &
xvfb=$!
trap 'kill "$xvfb" 2>/dev/null || true' EXIT INT TERM
# The server is ready once its socket answers.
tries=0
until [ -S "/tmp/.X11-unix/X${display#:}" ] && xdpyinfo -display "$display" >/dev/null 2>&1; do
    tries=$((tries + 1))
    if [ "$tries" -gt 100 ] || ! kill -0 "$xvfb" 2>/dev/null; then
        echo "Xvfb $display did not start" >&2
        exit 1
    fi
    sleep 0.1
done
DISPLAY=$display "$build/bench/startup_bench" --rounds "${ROUNDS:-20}" --reference bare+text \
    bare="$build/bench/bare_window" sweepbox="$build/app/sweepbox" \
    bare+text="$build/bench/bare_text_window" "$@"
