#!/usr/bin/env bash
# Builds and runs the serial-search benchmark: FindInterface over COM3 … COM30 with no
# interface present, against the 20 ms budget. Usage: bench/serial_search.sh [runs]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${PCV_BUILD_DIR:-$root/build}
cmake -S "$root" -B "$build" >/dev/null
cmake --build "$build" -j2 --target serial_search_bench >/dev/null
"$build/bench/serial_search_bench" "$@"
