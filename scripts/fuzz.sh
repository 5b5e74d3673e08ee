#!/usr/bin/env bash
# Builds the libFuzzer targets (clang, ASan + UBSan) and runs each for a bounded time, starting
# from its seed corpus in fuzz/corpus/<target>/. Any crash, sanitizer report, failed check,
# time-out or memory blow-up fails the run; the input that caused it is left in the build
# folder (artifacts/<target>/) and should become a regression input in fuzz/regressions/<target>/
# plus a test of the subsystem.
# Usage: scripts/fuzz.sh [target ...]
#   PCV_FUZZ_SECONDS    seconds per target (default: 60, or less so that all targets together
#                       take at most PCV_FUZZ_BUDGET seconds, default 440: with the start and
#                       the final merge of each target the whole run stays under 8 minutes)
#   PCV_FUZZ_BUILD_DIR  build folder (default build-fuzz)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

build=${PCV_FUZZ_BUILD_DIR:-build-fuzz}
cxx=$(command -v clang++-14 || command -v clang++)

cmake -S . -B "$build" -DCMAKE_CXX_COMPILER="$cxx" -DPCV_FUZZ=ON -DPCV_BUILD_TESTS=OFF \
    -DPCV_WERROR=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j2 --target pcv_fuzzers

targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
    for dir in fuzz/corpus/*/; do
        targets+=("$(basename "$dir")")
    done
fi

if [ -n "${PCV_FUZZ_SECONDS:-}" ]; then
    seconds=$PCV_FUZZ_SECONDS
else
    seconds=$(( ${PCV_FUZZ_BUDGET:-440} / ${#targets[@]} ))
    [ "$seconds" -le 60 ] || seconds=60
    [ "$seconds" -ge 10 ] || seconds=10
fi

export ASAN_OPTIONS="halt_on_error=1:detect_leaks=1:detect_stack_use_after_return=1"
export LSAN_OPTIONS="suppressions=$root/scripts/lsan.supp:print_suppressions=0"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"

failed=()
summary=()
for t in "${targets[@]}"; do
    bin="$build/fuzz/$t"
    # The fuzzer adds what it learns to a working copy; the committed seeds stay as they are.
    work="$build/fuzz/work/$t"
    artifacts="$build/fuzz/artifacts/$t/"
    mkdir -p "$work" "$artifacts"
    log="$build/fuzz/$t.log"
    echo "== $t: ${seconds} s"
    status=0
    "$bin" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -max_len=4096 \
        -print_final_stats=1 -artifact_prefix="$artifacts" "$work" "fuzz/corpus/$t" \
        >"$log" 2>&1 || status=$?
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
    cov=$(grep -Eo 'cov: [0-9]+' "$log" | tail -1 || true)
    if [ $status -ne 0 ]; then
        failed+=("$t")
        grep -E 'ERROR|check failed|runtime error|Test unit written|SUMMARY' "$log" | head -20 || true
        summary+=("$t: FAILED (exit $status) after ${runs:-?} runs, see $log")
    else
        summary+=("$t: ${runs:-?} runs, ${cov:-cov: ?}, corpus $(ls "$work" | wc -l) inputs")
    fi
done

echo "== fuzz summary (${seconds} s per target)"
printf '%s\n' "${summary[@]}"
if [ ${#failed[@]} -gt 0 ]; then
    echo "fuzz.sh: failed: ${failed[*]}"
    exit 1
fi
