#!/bin/sh
# Builds Sweepbox with AddressSanitizer and UndefinedBehaviorSanitizer and runs
# every test. Needs no display; the POP3 server the tests use is started and
# stopped by the tests themselves.
set -eu
cd "$(dirname "$0")/.."
scripts/deps.sh test
cmake -S . -B build-test -DCMAKE_BUILD_TYPE=Debug -DSWEEPBOX_SANITIZE=ON >/dev/null
cmake --build build-test -j"$(nproc)"
cd build-test
QT_QPA_PLATFORM=offscreen ctest --output-on-failure -j"$(nproc)" --timeout 600
