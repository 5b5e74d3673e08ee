#!/usr/bin/env bash
# Builds the program and runs every test. Usage: scripts/test.sh [ctest arguments]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

bash scripts/setup.sh

build=${PCV_BUILD_DIR:-build}
cmake -S . -B "$build" -DPCV_WERROR=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j2
(cd "$build" && ctest --output-on-failure -j2 "$@")

# The same suite under AddressSanitizer + UndefinedBehaviorSanitizer, then every fuzz target for
# a bounded time, then the Windows program: its folder and zip, and its tests under Wine.
# PCV_SKIP_SANITIZE=1 / PCV_SKIP_FUZZ=1 / PCV_SKIP_WINDOWS=1 leave a stage out of a local run.
if [ "${PCV_SKIP_SANITIZE:-0}" != 1 ]; then
    bash scripts/sanitize.sh
fi
if [ "${PCV_SKIP_FUZZ:-0}" != 1 ]; then
    bash scripts/fuzz.sh
fi
if [ "${PCV_SKIP_WINDOWS:-0}" != 1 ]; then
    # Both parts run even when the first fails, so that one run shows everything.
    windows=0
    bash scripts/windows.sh || windows=1
    bash scripts/windows-test.sh || windows=1
    [ "$windows" = 0 ]
fi
