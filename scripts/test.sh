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
