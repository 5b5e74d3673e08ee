#!/usr/bin/env bash
# Builds the program and the whole test suite with AddressSanitizer and UndefinedBehaviorSanitizer
# in a build folder of its own and runs every test there. Any sanitizer report fails the test that
# produced it, and with it this script.
# Usage: scripts/sanitize.sh [ctest arguments]     (PCV_SANITIZE_BUILD_DIR: build folder)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

build=${PCV_SANITIZE_BUILD_DIR:-build-asan}
start=$(date +%s)

cmake -S . -B "$build" -DPCV_SANITIZE=ON -DPCV_WERROR=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    >/dev/null
cmake --build "$build" -j2
built=$(date +%s)

# halt_on_error: the first report ends the process with a failure. Reports are also written to
# files, one per process: a report from a child process (the program run by an end-to-end
# test, say) must fail the run even when the test only expected the child to fail. Leak
# checking stays on; the only suppressions allowed are for objects that Qt's own libraries keep
# until exit (see the file).
case "$build" in
/*) reports="$build/sanitizer-reports" ;;
*) reports="$root/$build/sanitizer-reports" ;;
esac
rm -rf "$reports"
mkdir -p "$reports"
export ASAN_OPTIONS="halt_on_error=1:detect_leaks=1:detect_stack_use_after_return=1:check_initialization_order=1:strict_init_order=1:strict_string_checks=1:log_path=$reports/asan"
export LSAN_OPTIONS="suppressions=$root/scripts/lsan.supp:print_suppressions=0"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1:report_error_type=1:log_path=$reports/ubsan"

status=0
(cd "$build" && ctest --output-on-failure -j2 "$@") || status=$?
end=$(date +%s)
if [ -n "$(ls -A "$reports")" ]; then
    for f in "$reports"/*; do
        echo "== $f"
        cat "$f"
    done
    echo "sanitize.sh: sanitizer reports above"
    status=1
fi
echo "sanitize.sh: build $((built - start)) s, tests $((end - built)) s"
exit $status
