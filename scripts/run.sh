#!/bin/sh
# Builds Sweepbox (release) and starts it.
set -eu
cd "$(dirname "$0")/.."
scripts/deps.sh run
cmake -S . -B build-release -DCMAKE_BUILD_TYPE=Release -DSWEEPBOX_BUILD_TESTS=OFF >/dev/null
cmake --build build-release -j"$(nproc)" --target sweepbox
exec build-release/app/sweepbox
